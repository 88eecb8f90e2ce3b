"""The private mount and network namespace that every run happens in.

As root these are made directly; as anyone else, inside an unprivileged user
namespace of their own, where that user is root over its own mounts and
network but has no second user to switch to and no say over the host's
control groups.
"""

import os
import shutil
import socket
import subprocess
import sys

SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
NS_MARK = "GLOWSIM_IN_NAMESPACE"
# Exit status for "cannot run here"; ctest counts it as a skip.
UNAVAILABLE = 77

# Fallback tunnel devices that a new network namespace gets when their
# modules are loaded; they start down and route nothing.
FALLBACK_DEVICES = {"sit0", "tunl0", "ip6tnl0", "gre0", "gretap0", "erspan0", "ip6gre0", "ip_vti0", "ip6_vti0"}
# Settings that can forbid unprivileged user namespaces (Debian's own switch,
# the general limit, Ubuntu's AppArmor restriction): value that forbids, value
# that allows.
USERNS_SWITCHES = {
    "kernel.unprivileged_userns_clone": ("0", "1"),
    "user.max_user_namespaces": ("0", "15000"),
    "kernel.apparmor_restrict_unprivileged_userns": ("1", "0"),
}


def run(command):
    subprocess.run(command, check=True, env={"PATH": SYSTEM_PATH})


def rootless():
    """True unless this is root of the host's own user namespace (uid 0
    there, every uid mapped)."""
    try:
        with open("/proc/self/uid_map") as file:
            return os.geteuid() != 0 or file.read().split() != ["0", "0", "4294967295"]
    except OSError:
        return True


def require_root(what, why, status=UNAVAILABLE):
    """Without root, says in one line that `what` needs it and `why`, and
    exits with `status` (a skip by default)."""
    if rootless():
        skipped = "skipped: " if status == UNAVAILABLE else ""
        print(f"{skipped}{what} needs root: {why}", file=sys.stderr)
        sys.exit(status)


def require_private_namespace():
    """Refuses to touch mounts or the network outside the namespace that
    enter() made: no test traffic may leave it."""
    names = {name for _, name in socket.if_nameindex()}
    if os.environ.get(NS_MARK) != "1" or "lo" not in names or names - {"lo"} - FALLBACK_DEVICES:
        raise RuntimeError(f"glowsim: not in its private namespace (interfaces {sorted(names)}); refusing")


def unshare_command():
    """unshare's options for this user and None, or None and one line saying
    why no private namespace can be made here."""
    if shutil.which("unshare") is None:
        return None, "glowsim: needs unshare (util-linux) to make a private mount and network namespace"
    if os.geteuid() == 0:
        options = ["-m", "-n", "--fork"]
        if subprocess.run(["unshare", *options, "true"], stderr=subprocess.DEVNULL).returncode == 0:
            return options, None
        return None, "glowsim: cannot make a private mount and network namespace here, even as root"
    options = ["-r", "-m", "-n", "--fork"]
    if subprocess.run(["unshare", *options, "true"], stderr=subprocess.DEVNULL).returncode == 0:
        return options, None
    for name, (forbids, allows) in USERNS_SWITCHES.items():
        try:
            with open("/proc/sys/" + name.replace(".", "/")) as file:
                if file.read().strip() != forbids:
                    continue
        except OSError:
            continue
        return None, (f"glowsim: the kernel refuses unprivileged user namespaces ({name} = {forbids}); "
                      f"`sysctl {name}={allows}` as root allows them, or run this as root")
    return None, ("glowsim: the kernel refuses an unprivileged user namespace here (a security policy?); "
                  "run this as root")


def enter(unavailable_status=UNAVAILABLE):
    """Re-executes this program in a private mount and network namespace,
    then refuses to go on if any network interface but loopback is visible.
    Where such namespaces cannot be made, says so in one line and exits with
    `unavailable_status`."""
    if os.environ.get(NS_MARK) != "1":
        options, refusal = unshare_command()
        if refusal:
            print(refusal, file=sys.stderr)
            sys.exit(unavailable_status)
        env = dict(os.environ, **{NS_MARK: "1"})
        argv = [sys.executable, *sys.orig_argv[1:]] if hasattr(sys, "orig_argv") else [sys.executable, *sys.argv]
        os.execvpe("unshare", ["unshare", *options, "--", *argv], env)
    try:
        require_private_namespace()
    except RuntimeError as error:
        sys.exit(str(error))
    run(["mount", "--make-rprivate", "/"])


def mount_tmpfs(target):
    os.makedirs(target, exist_ok=True)
    run(["mount", "-t", "tmpfs", "-o", "mode=0755", "glowsim", target])


if __name__ == "__main__":
    # Scripts ask before they build: says why no namespace can be made here.
    _, why = unshare_command()
    if why:
        sys.exit(why)
