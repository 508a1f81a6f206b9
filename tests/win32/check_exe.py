#!/usr/bin/env python3
"""Build check of the shipped exe: PE32 GUI, no DLL beyond Windows' own, and its dialog,
manifest, version and firmware image resources. usage: check_exe.py EXE FIRMWARE VERSION OBJDUMP
WINDRES"""
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "ui"))
from dialog_class_case import entries, read_id  # noqa: E402

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll",
               "comctl32.dll", "shell32.dll", "ole32.dll"}

WS_CHILD_VISIBLE = 0x50000000
# id, class, style, x, y, cx, cy, text; the end-to-end tests read the instructions' texts back
# from the running dialog, so here they are only told apart by their place.
CONTROLS = [
    (3, "COMBOBOX", 0x0002 | 0x0200 | 0x00200000 | 0x00010000, 17, 68, 56, 123, ""),
    (4, "BUTTON", 0x0001 | 0x00010000, 81, 68, 100, 14, "Update Quarv"),
    (5, "EDIT", 0x0800 | 0x0080 | 0x00010000, 185, 71, 148, 12, ""),
    (-1, "STATIC", 0x00020000, 11, 7, 286, 56, None),
    (-1, "STATIC", 0x00020000, 13, 111, 314, 49, None),
    (-1, "STATIC", 0x00020000, 18, 87, 316, 14, None),
]
ORDINAL_CLASSES = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC", 0x85: "COMBOBOX"}

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def resources(res):
    """(type, name) -> the data of each language's entry, from a compiled .res file."""
    found = {}
    for kind, name, body, size in entries(res):
        if size:
            found.setdefault((kind, name), []).append(res[body:body + size])
    return found


def parse_dialog(data):
    signature, version, _help, ex_style, style, count, x, y, cx, cy = struct.unpack_from(
        "<HHIIIHhhhh", data, 0)
    menu, at = read_id(data, 26)
    cls, at = read_id(data, at)
    title, at = read_id(data, at)
    points, weight, italic, charset = struct.unpack_from("<HHBB", data, at)
    face, at = read_id(data, at + 6)
    dialog = dict(signature=(signature, version), ex_style=ex_style, style=style,
                  rect=(x, y, cx, cy), menu=menu, cls=cls, title=title,
                  font=(points, weight, italic, charset, face), controls=[])
    for _ in range(count):
        at = (at + 3) & ~3
        _help, ex, st, x, y, cx, cy, ident = struct.unpack_from("<IIIhhhhi", data, at)
        cls, at = read_id(data, at + 24)
        text, at = read_id(data, at)
        extra = struct.unpack_from("<H", data, at)[0]
        at += 2 + extra
        dialog["controls"].append((ident, ORDINAL_CLASSES.get(cls, cls), ex, st, x, y, cx, cy, text))
    return dialog


def only(found, key, what):
    entries = found.get(key, [])
    check(len(entries) == 1, "one " + what)
    return entries[0] if entries else b""


def check_dialog(data):
    d = parse_dialog(data)
    d["controls"] = [c[:8] + (None if c[1] == "STATIC" else c[8],) for c in d["controls"]]
    wanted = dict(signature=(1, 0xFFFF), ex_style=0x00040000,
                  style=0x80000000 | 0x10000000 | 0x00C00000 | 0x00080000 | 0x80 | 0x40,
                  rect=(32, 32, 337, 210), menu="", cls="zqf",
                  title="Quarv2.0 Bootloader Update Tool", font=(8, 0, 0, 0, "MS Sans Serif"),
                  controls=[(i, c, 0, WS_CHILD_VISIBLE | s, x, y, cx, cy, t)
                            for i, c, s, x, y, cx, cy, t in CONTROLS])
    for key, value in wanted.items():
        check(d[key] == value, "dialog %s\n  %r\n  expected\n  %r" % (key, d[key], value))


def main(exe, firmware, version, objdump, windres):
    headers = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout
    check("file format pei-i386" in headers, "i386 PE")
    check(re.search(r"Magic\s+010b\s+\(PE32\)", headers), "PE32")
    check(re.search(r"Subsystem\s+00000002\s+\(Windows GUI\)", headers), "GUI subsystem")
    dlls = re.findall(r"DLL Name: (\S+)", headers)
    check(dlls, "imports listed")
    for dll in dlls:
        check(dll.lower() in SYSTEM_DLLS, "imports %s, not a Windows system DLL" % dll)

    with tempfile.TemporaryDirectory() as work:
        res_path = os.path.join(work, "exe.res")
        subprocess.run([windres, "-J", "coff", "-i", exe, "-O", "res", "-o", res_path], check=True)
        found = resources(open(res_path, "rb").read())
    dialog = only(found, (5, "ZQF"), "dialog ZQF")
    if dialog:
        check_dialog(dialog)

    check([key for key in found if key[0] == 24] == [(24, 1)], "no manifest but id 1")
    text = only(found, (24, 1), "manifest").decode("utf-8")
    check('level="asInvoker"' in text and 'uiAccess="false"' in text, "asInvoker manifest")

    data = only(found, (16, 1), "version resource")
    fixed = data.find(struct.pack("<I", 0xFEEF04BD))
    major, minor, patch = (int(p) for p in version.split("."))
    check(fixed > 0 and struct.unpack_from("<II", data, fixed + 8) ==
          ((major << 16) | minor, patch << 16), "file version %s" % version)
    for text in ("ProductName", "Quarv Update Tool", version):
        check(text.encode("utf-16-le") in data, "version resource holds %r" % text)

    image = only(found, (10, "BINFILE"), "RCDATA BINFILE")
    check(image == open(firmware, "rb").read(), "BINFILE equals " + firmware)

    for failure in failures:
        print("FAIL:", failure)
    print("%s: %d bytes, imports %s" % (exe, os.path.getsize(exe), ", ".join(dlls)))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
