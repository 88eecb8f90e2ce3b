#!/usr/bin/env python3
"""Keeps the man page in step with the README and the code.

The tables of LED patterns live in README.md, each after a
"<!-- leds: NAME -->" comment. Run without arguments, this writes them into
the regions between '.\\" leds: NAME' and '.\\" end leds' of docs/glowkeeper.8,
the status line's texts of each group that glowkeeper-status-texts prints
(GLOWKEEPER_STATUS_TEXTS, else build/glowkeeper-status-texts) into the regions
between '.\\" status: GROUP' and '.\\" end status', and the version and month
of .TH from debian/changelog.

With --check it changes nothing and fails when the man page is out of date,
when it does not explain a log line that the daemon can write, when a table
row states a pattern that the scenario of its picture does not check (count,
colour and period), when the README grows past 12 KB, or when a relative link
in README.md or docs/*.md points nowhere.
"""

import argparse
import difflib
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
from glowsim import lines  # noqa: E402  the one list of the daemon's lines
README = ROOT / "README.md"
MAN_PAGE = ROOT / "docs" / "glowkeeper.8"
CHANGELOG = ROOT / "debian" / "changelog"
README_LIMIT = 12 * 1024

TABLE_MARK = re.compile(r"^<!-- leds: (\w+) -->$")
REGION_START = re.compile(r'^\.\\" leds: (\w+)$')
REGION_END = '.\\" end leds'
PATTERN_HEADERS = {"Single LED", "RGB LED"}
STATUS_START = re.compile(r'^\.\\" status: (\w+)$')
STATUS_END = '.\\" end status'
STATUS_TEXTS = ROOT / "build" / "glowkeeper-status-texts"


class DocError(Exception):
    pass


def split_row(line):
    # Cells may hold "\|" (an escaped bar inside code).
    cells = re.split(r"(?<!\\)\|", line.strip())
    if len(cells) < 3 or cells[0] or cells[-1]:
        raise DocError(f"not a table row: {line!r}")
    return [cell.strip().replace("\\|", "|") for cell in cells[1:-1]]


@dataclass
class Row:
    pattern: str
    meaning: str
    lane: str  # "led" or "rgb", as scenario files name the LEDs
    timeline: str


def readme_tables(text):
    """Returns {name: [Row, ...]} from the marked tables."""
    tables = {}
    lines = text.splitlines()
    for number, line in enumerate(lines):
        mark = TABLE_MARK.match(line)
        if not mark:
            continue
        name = mark.group(1)
        where = f"README.md:{number + 1}"
        if name in tables:
            raise DocError(f"{where}: a second table named {name}")
        rows = []
        for row in lines[number + 1 :]:
            if not row.strip() and not rows:
                continue
            if not row.startswith("|"):
                break
            rows.append(split_row(row))
        if len(rows) < 3:
            raise DocError(f"{where}: no table with a header and rows follows the mark")
        header = rows[0]
        if header[0] not in PATTERN_HEADERS or header[1] != "Meaning":
            raise DocError(f"{where}: the table's first two columns must be "
                           f"'Single LED' or 'RGB LED', then 'Meaning'; found {header[:2]}")
        lane = "led" if header[0] == "Single LED" else "rgb"
        tables[name] = [Row(row[0], row[1], lane, row[2] if len(row) > 2 else "") for row in rows[2:]]
    if not tables:
        raise DocError("README.md: no '<!-- leds: NAME -->' table")
    return tables


def roff_text(markdown):
    """Inline markdown of a table cell to roff: code spans in bold."""
    if not markdown.isascii():
        raise DocError(f"not plain ASCII, which a man page on any terminal needs: {markdown!r}")
    if re.search(r"!\[|\]\(|\*\*|<", markdown):
        raise DocError(f"markup the man page cannot show: {markdown!r}")
    parts = markdown.split("`")
    if len(parts) % 2 == 0:
        raise DocError(f"unbalanced code span: {markdown!r}")
    out = []
    for index, part in enumerate(parts):
        part = part.replace("\\", "\\e")
        if index % 2:
            # Names and commands: a real minus, so they can be copied.
            out.append("\\fB" + part.replace("-", "\\-") + "\\fR")
        else:
            out.append(part)
    text = "".join(out)
    return "\\&" + text if text[:1] in (".", "'") else text


def region_lines(rows):
    lines = []
    for row in rows:
        lines += [".TP", "\\fB" + roff_text(row.pattern) + "\\fR", roff_text(row.meaning)]
    return lines


def changelog_title():
    head = CHANGELOG.read_text().splitlines()
    version = re.match(r"^glowkeeper \(([^)]+)\)", head[0])
    date = next((re.search(r", \d+ (\w{3}) (\d{4}) ", line) for line in head if line.startswith(" -- ")), None)
    if not version or not date:
        raise DocError("debian/changelog: no version or date in its first entry")
    months = "January February March April May June July August September October November December".split()
    month = next(m for m in months if m.startswith(date.group(1)))
    return version.group(1), f"{month} {date.group(2)}"


def status_texts():
    """{group: [text, ...]} as the daemon's own code words them."""
    binary = os.environ.get("GLOWKEEPER_STATUS_TEXTS", str(STATUS_TEXTS))
    try:
        result = subprocess.run([binary], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError) as error:
        raise DocError(f"cannot run {binary} (build its target glowkeeper-status-texts): {error}") from error
    groups = {}
    for line in result.stdout.splitlines():
        group, text = line.split("\t", 1)
        groups.setdefault(group, []).append(text)
    return groups


def status_lines(texts):
    lines = []
    for text in texts:
        text = text.replace("\\", "\\e").replace("-", "\\-")
        lines.append("\\&" + text if text[:1] in (".", "'") else text)
    return lines


def render_man_page(current, tables, statuses):
    version, month = changelog_title()
    out = []
    lines = iter(current.splitlines())
    seen = set()
    for line in lines:
        if line.startswith(".TH "):
            line = f'.TH GLOWKEEPER 8 "{month}" "glowkeeper {version}" "System Administration"'
        out.append(line)
        start, status = REGION_START.match(line), STATUS_START.match(line)
        if start:
            name, sources, end = start.group(1), tables, REGION_END
        elif status:
            name, sources, end = status.group(1), statuses, STATUS_END
        else:
            continue
        if name not in sources:
            raise DocError(f"docs/glowkeeper.8: region '{name}' has nothing to fill it")
        seen.add((end, name))
        out += region_lines(sources[name]) if start else status_lines(sources[name])
        for rest in lines:
            if rest == end:
                out.append(rest)
                break
        else:
            raise DocError(f"docs/glowkeeper.8: region '{name}' has no '{end}'")
    missing = {(REGION_END, name) for name in tables} | {(STATUS_END, name) for name in statuses}
    missing -= seen
    if missing:
        raise DocError(f"docs/glowkeeper.8: no region for {sorted(name for _, name in missing)}")
    return "\n".join(out) + "\n"


def plain_man_page():
    # Wide lines, so that no log line is broken across two.
    result = subprocess.run(["groff", "-man", "-Tascii", "-rLL=1000n", "-P-cbou", "-ww", str(MAN_PAGE)],
                            capture_output=True, text=True, check=False)
    if result.returncode != 0 or result.stderr:
        raise DocError(f"docs/glowkeeper.8 does not render cleanly:\n{result.stderr}")
    return re.sub(r"[ \t]+", " ", result.stdout)


def source_literals():
    """Every string literal of the daemon's sources, its escapes undone, with
    where it stands."""
    escapes = {"n": "\n", "t": "\t", '"': '"', "\\": "\\"}
    found = {}
    for source in sorted((ROOT / "src").rglob("*.[ch]pp")):
        text = source.read_text()
        for match in re.finditer(r'"((?:[^"\\\n]|\\.)*)"', text):
            literal = re.sub(r"\\(.)", lambda m: escapes.get(m.group(1), m.group(0)), match.group(1))
            line = text.count("\n", 0, match.start()) + 1
            found.setdefault(literal, f"{source.relative_to(ROOT)}:{line}")
    return found


def logged_literals():
    """The texts the sources hand to the logger or to stdout and stderr."""
    calls = [
        r'(?:->|\.)(?:debug|info|warn|error|critical)\(\s*"((?:[^"\\]|\\.)*)"',
        r'std::c(?:out|err)\s*<<\s*"((?:[^"\\]|\\.)*)"',
        r'withPriority\([^,]+,[^,]+,\s*(?:std::string\()?"((?:[^"\\]|\\.)*)"',
        r'"(\[Monitor\][^"]*)"',
        r'usageText\s*=\s*"((?:[^"\\]|\\.)*)"',
        r'writeLine\(STD\w+,[^;]*?"((?:[^"\\]|\\.)*)"',
    ]
    found = {}
    for source in sorted((ROOT / "src").rglob("*.[ch]pp")):
        text = source.read_text()
        for call in calls:
            for match in re.finditer(call, text):
                literal = match.group(1).replace("\\t", "\t").replace('\\"', '"')
                for line in literal.split("\\n"):  # the usage: one line of output each
                    found.setdefault(line, f"{source.relative_to(ROOT)}:{text.count(chr(10), 0, match.start()) + 1}")
    return found


def lines_out_of_step():
    """The list of the daemon's lines (tools/glowsim/lines.py) against the
    sources, both ways: a template is a literal of the sources (or one with
    a value appended), and every text the sources log is a template."""
    templates = {template for stream in lines.LINES.values() for _, template in stream} - set(lines.NOT_FROM_DAEMON)
    literals = source_literals()
    problems = [f"tools/glowsim/lines.py: {template!r} is in no string of src/" for template in sorted(templates)
                if not any(template in literal for literal in literals)
                and template.removesuffix("{}") not in literals]
    problems += [f"{where}: {text!r} is missing from tools/glowsim/lines.py"
                 for text, where in logged_literals().items() if not {text, text + "{}"} & templates]
    return problems


def undocumented_messages(plain):
    missing = []
    for stream, table in lines.LINES.items():
        for _, template in table:
            # The page's blanks are collapsed to one space; a value is one word.
            pieces = [re.escape(re.sub(r"\s+", " ", piece)) for piece in template.strip().split("{}")]
            if template not in lines.NOT_FROM_DAEMON and not re.search(r"\S+".join(pieces), plain):
                missing.append(f"{stream}: {template!r}")
    return missing


COUNTS = {"two": 2, "three": 3, "four": 4}
COLOUR_WORDS = "red|green|blue|white|yellow|cyan|magenta"


def expectation_for(row):
    """The words of the scenario expectation that shows a row's pattern; None
    for a row that defers to another table."""
    pattern = row.pattern
    flashes = re.match(rf"^(two|three|four) fast (?:({COLOUR_WORDS}) )?flashes", pattern)
    if flashes:
        words = f"{row.lane} flashes {COUNTS[flashes.group(1)]} {flashes.group(2) or 'on'}"
        period = re.search(r"again every (\d+(?:\.\d+)?) s", pattern)
        if not period:
            # The period tells bursts of the same count and colour apart.
            raise DocError(f"README.md: say how often the burst repeats ('again every S s'): {pattern!r}")
        return f"{words} every {period.group(1)}"
    forms = ((rf"^solid ({COLOUR_WORDS})$", "solid {}"), (rf"^slow ({COLOUR_WORDS}) blinking$", "blink {} slow"))
    for form, words in forms:
        match = re.match(form, pattern)
        if match:
            return f"{row.lane} " + words.format(match.group(1))
    simple = {"on": "solid on", "dark": "dark", "the status display below": None}
    if pattern not in simple:
        raise DocError(f"README.md: a pattern this check cannot read: {pattern!r}")
    return simple[pattern] and f"{row.lane} {simple[pattern]}"


def expectation_line(words):
    # A solid colour may also say how often it is rewritten, or that it dips.
    tail = r"(?:\s+every\s+\S+)?(?:\s+dipping)?" if " solid " in words else ""
    body = r"\s+".join(re.escape(word) for word in words.split())
    return re.compile(rf"^expect\s+(?:\S+\.\.\S+\s+)?{body}{tail}\s*(?:#.*)?$")


# Pictures whose scenario cannot check the row's pattern yet, and why. An
# entry whose scenario starts checking it fails the check: remove it then.
UNSEEN = {}


def untested_rows(tables):
    """README rows whose pattern no scenario of their pictures expects."""
    untested = []
    for rows in tables.values():
        names = []
        for row in rows:
            if row.timeline != "(the same run)":
                names = re.findall(r"docs/pictures/([\w-]+)\.svg", row.timeline)
            words = expectation_for(row)
            if words is None:
                continue
            line = expectation_line(words)
            scenarios = [ROOT / "tests" / "scenarios" / f"{name}.scenario" for name in names]
            tested = any(scenario.exists() and any(line.match(text) for text in scenario.read_text().splitlines())
                         for scenario in scenarios)
            unseen = [name for name in names if name in UNSEEN]
            if unseen and tested:
                untested.append(f"{row.pattern!r}: its scenario checks it now; remove {unseen} from UNSEEN")
            elif not tested and not unseen:
                untested.append(f"{row.pattern!r} ({', '.join(names) or 'no picture'}): no line 'expect A..B {words}'")
    return untested


def broken_links():
    broken = []
    for page in [README, *sorted((ROOT / "docs").glob("*.md"))]:
        for target in re.findall(r"\]\(([^)\s]+)\)", page.read_text()):
            if re.match(r"^[a-z]+:", target) or target.startswith("#"):
                continue
            if not (page.parent / target.split("#")[0]).exists():
                broken.append(f"{page.relative_to(ROOT)}: {target}")
    return broken


def check(expected, tables):
    current = MAN_PAGE.read_text()
    problems = []
    if current != expected:
        diff = difflib.unified_diff(current.splitlines(), expected.splitlines(),
                                    "docs/glowkeeper.8", "from README.md and the code", lineterm="")
        problems.append("docs/glowkeeper.8 is out of date: run scripts/docs.py\n" + "\n".join(diff))
    size = README.stat().st_size
    if size > README_LIMIT:
        problems.append(f"README.md has {size} bytes, more than {README_LIMIT}: move details to docs/")
    missing = undocumented_messages(plain_man_page())
    if missing:
        problems.append("log lines the man page does not explain (LOG LINES):\n  " + "\n  ".join(missing))
    out_of_step = lines_out_of_step()
    if out_of_step:
        problems.append("the list of the daemon's lines is out of step with the sources:\n  "
                        + "\n  ".join(out_of_step))
    untested = untested_rows(tables)
    if untested:
        problems.append("README rows whose scenario does not check the pattern they state:\n  "
                        + "\n  ".join(untested))
    broken = broken_links()
    if broken:
        problems.append("links that point nowhere:\n  " + "\n  ".join(broken))
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="change nothing; fail on any difference")
    args = parser.parse_args()
    try:
        tables = readme_tables(README.read_text())
        expected = render_man_page(MAN_PAGE.read_text(), tables, status_texts())
        if args.check:
            return check(expected, tables)
        MAN_PAGE.write_text(expected)
        return 0
    except DocError as error:
        print(f"docs: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
