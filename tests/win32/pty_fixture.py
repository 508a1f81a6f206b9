#!/usr/bin/env python3
"""Serial ports for the Windows-side tests: in DIR/prefix, a private copy of $WINEPREFIX (else of
TEMPLATE_PREFIX), com3 is a pseudo-terminal that echoes, com12 and com999 silent ones, and com1
(linked to /dev/ttyS0 at every wineserver start) a directory, which opens like a port that another
program holds: not at all. A background process holds the ptys until `stop`.

usage: pty_fixture.py start DIR TEMPLATE_PREFIX | stop DIR"""
import os
import shutil
import signal
import subprocess
import sys
import time
import tty


def quiet(args, prefix, **options):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    return subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, **options)


def relink(dosdevices, name, target):
    link = os.path.join(dosdevices, name)
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(target, link)


def hold(dosdevices, ready_path):
    """The background process: links the ptys, then echoes com3 until it is killed."""
    masters = {}
    for name in ("com3", "com12", "com999"):
        masters[name], slave = os.openpty()
        tty.setraw(slave)  # and kept open, so the master never sees a hang-up
        relink(dosdevices, name, os.ttyname(slave))
    with open(ready_path, "w") as ready:
        ready.write(str(os.getpid()))
    while True:
        os.write(masters["com3"], os.read(masters["com3"], 4096))


def start(state_dir, template):
    stop(state_dir)
    prefix = os.path.join(state_dir, "prefix")
    os.makedirs(os.path.join(state_dir, "held"))
    subprocess.run(["cp", "-a", template, prefix], check=True)
    shutil.rmtree(os.path.join(prefix, "wineserver"), ignore_errors=True)
    # A persistent server: the com1 link made at its start stays replaced for the tests' runs.
    quiet(["wineserver", "-p"], prefix).wait()
    quiet(["wine", "cmd", "/c", "exit"], prefix).wait()
    dosdevices = os.path.join(prefix, "dosdevices")
    relink(dosdevices, "com1", os.path.join(state_dir, "held"))
    ready = os.path.join(state_dir, "holder.pid")
    holder = quiet([sys.executable, __file__, "hold", dosdevices, ready], prefix,
                   start_new_session=True)
    deadline = time.monotonic() + 10
    while not os.path.exists(ready):
        if holder.poll() is not None or time.monotonic() > deadline:
            sys.exit("pty holder did not start")
        time.sleep(0.05)
    print("ports ready in", prefix)


def stop(state_dir):
    prefix = os.path.join(state_dir, "prefix")
    if os.path.isdir(prefix):
        quiet(["wineserver", "-k"], prefix).wait()
    try:
        with open(os.path.join(state_dir, "holder.pid")) as ready:
            os.kill(int(ready.read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass
    shutil.rmtree(state_dir, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "start":
        start(os.path.abspath(sys.argv[2]), os.environ.get("WINEPREFIX") or sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "stop":
        stop(os.path.abspath(sys.argv[2]))
    elif len(sys.argv) == 4 and sys.argv[1] == "hold":
        hold(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
