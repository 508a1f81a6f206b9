#!/usr/bin/env python3
"""Build check of the shipped exe: PE32 GUI, no DLL beyond Windows' own, the dialog template and
the manifest exactly as in EXPECTED (in windres's notation: styles as numbers, "" for a quote),
the icon's sizes as listed there and its pictures those of ICON, and the firmware image.
usage: check_exe.py EXE FIRMWARE EXPECTED OBJDUMP WINDRES ICON"""
import difflib
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "ui"))
from dialog_class_case import entries  # noqa: E402

RT_ICON, RT_GROUP_ICON = 3, 14
ICON_BUDGET = 12 * 1024  # what the icon may add to the exe
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll",
               "comctl32.dll", "shell32.dll", "ole32.dll"}


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


def icon_check(res, ico):
    """The one icon group as a listing line, and failures where its pictures are not ICON's."""
    groups = [(at, size) for kind, name, at, size in entries(res) if kind == RT_GROUP_ICON]
    pictures = {name: res[at:at + size] for kind, name, at, size in entries(res) if kind == RT_ICON}
    if len(groups) != 1:
        return "%d icon groups" % len(groups), []
    at, _ = groups[0]
    count = struct.unpack_from("<H", res, at + 4)[0]
    members = [struct.unpack_from("<BBBBHHIH", res, at + 6 + 14 * i) for i in range(count)]
    line = "ICON " + ", ".join("%dx%d %d-bit" % (w or 256, h or 256, bits)
                               for w, h, _c, _r, _p, bits, _n, _id in members)
    file = open(ico, "rb").read()
    wanted = []
    for i in range(struct.unpack_from("<H", file, 4)[0]):
        size, offset = struct.unpack_from("<II", file, 6 + 16 * i + 8)
        wanted.append(file[offset:offset + size])
    failures = []
    if [pictures.get(member[-1]) for member in members] != wanted:
        failures.append("the icon's pictures are not those of " + ico)
    # Windows reads a PNG picture of an icon only as 8-bit RGBA (IHDR depth 8, colour type 6).
    if any(p[:8] == b"\x89PNG\r\n\x1a\n" and p[24:26] != b"\x08\x06" for p in wanted):
        failures.append("a PNG picture of the icon is not 8-bit RGBA")
    if sum(map(len, pictures.values())) + 6 + 14 * count > ICON_BUDGET:
        failures.append("the icon takes more than %d bytes" % ICON_BUDGET)
    return line, failures


def main(exe, firmware, expected, objdump, windres, ico):
    failures = []
    headers = run(objdump, "-p", exe)
    for pattern in ("file format pei-i386", r"Magic\s+010b\s+\(PE32\)",
                    r"Subsystem\s+00000002\s+\(Windows GUI\)"):
        if not re.search(pattern, headers):
            failures.append("no " + pattern)
    dlls = re.findall(r"DLL Name: (\S+)", headers)
    if not dlls or not {dll.lower() for dll in dlls} <= SYSTEM_DLLS:
        failures.append("imports %s" % dlls)

    with tempfile.TemporaryDirectory() as work:
        res_path = os.path.join(work, "exe.res")
        run(windres, "-J", "coff", "-i", exe, "-O", "res", "-o", res_path)
        res = open(res_path, "rb").read()
    icon_line, icon_failures = icon_check(res, ico)
    failures += icon_failures

    # Every dialog named ZQF and every manifest, in the order the exe holds them, then the icon.
    script = run(windres, "-J", "coff", "-i", exe, "-O", "rc")
    found = "\n\n".join(re.findall(r'^(?:"ZQF" DIALOG|\S+ 24 ).*?^END$', script, re.S | re.M))
    found += "\n\n" + icon_line
    want = open(expected).read().strip()
    if found != want:
        failures += difflib.unified_diff(want.split("\n"), found.split("\n"), lineterm="")

    images = [res[at:at + size] for kind, name, at, size in entries(res) if name == "BINFILE"]
    if images != [open(firmware, "rb").read()]:
        failures.append("BINFILE is not " + firmware)

    for failure in failures:
        print("FAIL:", failure)
    print("%s: %d bytes, imports %s" % (exe, os.path.getsize(exe), ", ".join(dlls)))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
