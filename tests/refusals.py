#!/usr/bin/python3
# Plays every file in scenarios/bad/ and compares what the player says with
# the file's first line: "# refused: LINE: TEXT" is refused before anything
# runs, naming the file and line; "# fails: TEXT" is played and fails, saying
# TEXT. Exit 77 when no played file could run here.

import glob
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.environ.get("GLOWKEEPER_BINARY", "build/glowkeeper")
wrong, skipped = [], 0
for path in sorted(glob.glob(f"{HERE}/scenarios/bad/*.scenario")):
    with open(path) as file:
        kind, _, want = file.readline().removeprefix("# ").rstrip("\n").partition(": ")
    run = subprocess.run([sys.executable, "-m", "glowsim", "play", "--binary", BINARY, path],
                         cwd=f"{HERE}/../tools", capture_output=True, text=True, timeout=60)
    if run.returncode == 77:
        skipped += 1
        continue
    if kind == "refused":
        ok = run.returncode == 1 and not run.stdout and f"{os.path.basename(path)}:{want}" in run.stderr
    else:
        said = f"FAIL  {want}" if want.startswith("line ") else want
        ok = run.returncode == 1 and said in run.stdout
    print(f"{'ok' if ok else 'WRONG'}  {os.path.basename(path)}: {kind} {want}")
    if not ok:
        wrong.append(f"{path}: exit {run.returncode}\n{run.stdout[-2000:]}{run.stderr}")
print("\n".join(wrong), file=sys.stderr)
sys.exit(1 if wrong else 77 if skipped else 0)
