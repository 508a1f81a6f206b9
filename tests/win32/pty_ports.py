#!/usr/bin/env python3
"""Runs EXE in a private copy of the TEMPLATE Wine prefix whose com1, com12, com998 and com999 are
pseudo-terminals, silent but for "stale" waiting on com998. usage: pty_ports.py TEMPLATE WORK EXE"""
import os
import subprocess
import sys
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "winerig"))
from harness import Prefix  # noqa: E402


def main(template, work_dir, exe):
    prefix = Prefix(template, work_dir)  # keeps its server up, so com1 stays as linked here
    try:
        for name in ("com1", "com12", "com998", "com999"):
            master, slave = os.openpty()  # both ends held open until the test ends
            tty.setraw(slave)
            prefix.relink(name, os.ttyname(slave))
            if name == "com998":
                os.write(master, b"stale")
        # Ended before CTest's own time-out, so that the prefix and its server go too.
        return subprocess.run([prefix.wine, exe], env=prefix.env, timeout=90).returncode
    finally:
        prefix.close()


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
