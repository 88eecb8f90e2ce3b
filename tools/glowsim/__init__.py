"""glowsim: runs the unchanged glowkeeper binary on simulated hardware.

Verbs (python3 -m glowsim VERB --help):
  run    the live simulator: both LEDs, the world and the daemon's log, keys change the world
  play   plays a scenario file, prints the recorded timeline, fails on a broken expectation
  draw   renders a recorded timeline as an SVG picture
  soak   runs the daemon in a churning world and fails on any growth of its resources

Every run happens in a private mount and network namespace (see namespace.py);
the sandbox (sandbox.py) is the one piece that tests, simulator and pictures share.
Scenario files are parsed in scenario.py, played in player.py and checked in
checks.py; lines.py lists every line the daemon prints.
"""
