"""The private mount and network namespace that every run happens in."""

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


def run(command):
    subprocess.run(command, check=True, env={"PATH": SYSTEM_PATH})


def require_private_namespace():
    """Refuses to touch mounts or the network outside the namespace that
    enter() made: no test traffic may leave it."""
    names = {name for _, name in socket.if_nameindex()}
    if os.environ.get(NS_MARK) != "1" or "lo" not in names or names - {"lo"} - FALLBACK_DEVICES:
        raise RuntimeError(f"glowsim: not in its private namespace (interfaces {sorted(names)}); refusing")


def enter(unavailable_status=UNAVAILABLE):
    """Re-executes this program in a private mount and network namespace,
    then refuses to go on if any network interface but loopback is visible.
    Where such namespaces cannot be made (no root, no unshare), says so in
    one line and exits with `unavailable_status`."""
    if os.environ.get(NS_MARK) != "1":
        probe = ["unshare", "-m", "-n", "--fork", "true"]
        if shutil.which("unshare") is None or subprocess.run(probe, stderr=subprocess.DEVNULL).returncode != 0:
            print("glowsim: needs root and private mount and network namespaces (unshare from util-linux); "
                  "none can be made here", file=sys.stderr)
            sys.exit(unavailable_status)
        env = dict(os.environ, **{NS_MARK: "1"})
        argv = [sys.executable, *sys.orig_argv[1:]] if hasattr(sys, "orig_argv") else [sys.executable, *sys.argv]
        os.execvpe("unshare", ["unshare", "-m", "-n", "--fork", "--", *argv], env)
    try:
        require_private_namespace()
    except RuntimeError as error:
        sys.exit(str(error))
    run(["mount", "--make-rprivate", "/"])


def mount_tmpfs(target):
    os.makedirs(target, exist_ok=True)
    run(["mount", "-t", "tmpfs", "-o", "mode=0755", "glowsim", target])
