#!/usr/bin/env python3
"""Build check of the shipped exe: PE32 GUI, no DLL beyond Windows' own, the dialog template and
the manifest exactly as in EXPECTED (in windres's notation: styles as numbers, "" for a quote)
and the firmware image. usage: check_exe.py EXE FIRMWARE EXPECTED OBJDUMP WINDRES"""
import difflib
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "ui"))
from dialog_class_case import entries  # noqa: E402

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll",
               "comctl32.dll", "shell32.dll", "ole32.dll"}


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


def main(exe, firmware, expected, objdump, windres):
    failures = []
    headers = run(objdump, "-p", exe)
    for pattern in ("file format pei-i386", r"Magic\s+010b\s+\(PE32\)",
                    r"Subsystem\s+00000002\s+\(Windows GUI\)"):
        if not re.search(pattern, headers):
            failures.append("no " + pattern)
    dlls = re.findall(r"DLL Name: (\S+)", headers)
    if not dlls or not {dll.lower() for dll in dlls} <= SYSTEM_DLLS:
        failures.append("imports %s" % dlls)

    # Every dialog named ZQF and every manifest, in the order the exe holds them.
    script = run(windres, "-J", "coff", "-i", exe, "-O", "rc")
    found = "\n\n".join(re.findall(r'^(?:"ZQF" DIALOG|\S+ 24 ).*?^END$', script, re.S | re.M))
    want = open(expected).read().strip()
    if found != want:
        failures += difflib.unified_diff(want.split("\n"), found.split("\n"), lineterm="")

    with tempfile.TemporaryDirectory() as work:
        res_path = os.path.join(work, "exe.res")
        run(windres, "-J", "coff", "-i", exe, "-O", "res", "-o", res_path)
        res = open(res_path, "rb").read()
    images = [res[at:at + size] for kind, name, at, size in entries(res) if name == "BINFILE"]
    if images != [open(firmware, "rb").read()]:
        failures.append("BINFILE is not " + firmware)

    for failure in failures:
        print("FAIL:", failure)
    print("%s: %d bytes, imports %s" % (exe, os.path.getsize(exe), ", ".join(dlls)))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
