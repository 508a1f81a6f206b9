#!/usr/bin/env python3
"""Serial ports for the Windows-side tests: pseudo-terminals linked as COM ports in a private
copy of the Wine prefix, held open by a background process.

  pty_fixture.py start DIR TEMPLATE_PREFIX   copy the prefix ($WINEPREFIX if set, else
                                             TEMPLATE_PREFIX) to DIR/prefix, link the ports
  pty_fixture.py stop DIR                    stop its wineserver and the pty holder, remove DIR

com3 echoes every byte it receives, com12 and com999 stay silent. com1, which every wineserver
start links to /dev/ttyS0, is pointed at a directory instead, so it opens like a port that
another program holds: not at all.
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import time
import tty

PORTS = {"com3": "echo", "com12": "silent", "com999": "silent"}


def wine_env(prefix):
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")


def quiet(*args, env):
    return subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, check=False).returncode


def hold_ports(dosdevices, ready_path):
    """Runs in the detached child: makes the ptys, links them, then serves them until killed."""
    masters = {}
    slaves = []
    for name, role in PORTS.items():
        master, slave = os.openpty()
        tty.setraw(slave)
        slaves.append(slave)  # kept open, so the master never sees a hang-up
        link = os.path.join(dosdevices, name)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.ttyname(slave), link)
        masters[master] = role
    with open(ready_path, "w") as ready:
        ready.write(str(os.getpid()))
    while True:
        readable, _, _ = select.select(list(masters), [], [], 1.0)
        for master in readable:
            try:
                data = os.read(master, 4096)
            except OSError:
                continue
            if masters[master] == "echo" and data:
                os.write(master, data)


def start(state_dir, template):
    stop(state_dir)
    prefix = os.path.join(state_dir, "prefix")
    os.makedirs(state_dir)
    subprocess.run(["cp", "-a", template, prefix], check=True)
    shutil.rmtree(os.path.join(prefix, "wineserver"), ignore_errors=True)
    env = wine_env(prefix)
    # A persistent server: the com1 link made at its start stays replaced for the tests' runs.
    quiet("wineserver", "-p", env=env)
    quiet("wine", "cmd", "/c", "exit", env=env)
    dosdevices = os.path.join(prefix, "dosdevices")
    held = os.path.join(state_dir, "held")
    os.makedirs(held)
    com1 = os.path.join(dosdevices, "com1")
    if os.path.lexists(com1):
        os.remove(com1)
    os.symlink(held, com1)

    ready = os.path.join(state_dir, "holder.pid")
    pid = os.fork()
    if pid == 0:
        os.setsid()
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        try:
            hold_ports(dosdevices, ready)
        finally:
            os._exit(1)
    deadline = time.monotonic() + 10
    while not os.path.exists(ready):
        if time.monotonic() > deadline:
            sys.exit("pty holder did not start")
        time.sleep(0.05)
    print("ports ready in", prefix)


def stop(state_dir):
    prefix = os.path.join(state_dir, "prefix")
    if os.path.isdir(prefix):
        quiet("wineserver", "-k", env=wine_env(prefix))
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
    else:
        sys.exit(__doc__)
