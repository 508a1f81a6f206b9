#!/usr/bin/env python3
"""Build check of the shipped exe: a PE32 GUI program that needs no DLL beyond Windows' own, with
the dialog, manifest, version and firmware image resources as they should be.

usage: check_exe.py EXE FIRMWARE VERSION OBJDUMP WINDRES
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll",
               "comctl32.dll", "shell32.dll", "ole32.dll"}

WS_CHILD_VISIBLE = 0x50000000
STEPS_1_TO_4 = ("1) Completely UNPLUG the Quarv so it is powered-down.\n\n"
                "2) Connect the Lumvi to the PC but do not connect to the Quarv yet.\n\n"
                "3) Choose the COM port below corresponding to the Lumvi.\n\n"
                '4) Press the ""Update Quarv"" button.\n\n')
STEPS_5_TO_7 = ("5) Now plug the Lumvi into the remote port on the Quarv (powering it up).\n\n"
                "6) Programming should start automatically.\n\n"
                "7) After programming the unit should restart automatically.")
LED_HINT = ("There should now be a flashing red LED on the Lumvi if the correct COM port was "
            "chosen.\n\n")
# id, class, style, x, y, cx, cy, text
CONTROLS = [
    (3, "COMBOBOX", 0x0002 | 0x0200 | 0x00200000 | 0x00010000, 17, 68, 56, 123, ""),
    (4, "BUTTON", 0x0001 | 0x00010000, 81, 68, 100, 14, "Update Quarv"),
    (5, "EDIT", 0x0800 | 0x0080 | 0x00010000, 185, 71, 148, 12, ""),
    (-1, "STATIC", 0x00020000, 11, 7, 286, 56, STEPS_1_TO_4),
    (-1, "STATIC", 0x00020000, 13, 111, 314, 49, STEPS_5_TO_7),
    (-1, "STATIC", 0x00020000, 18, 87, 316, 14, LED_HINT),
]
ORDINAL_CLASSES = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC", 0x85: "COMBOBOX"}

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def read_id(data, at):
    if struct.unpack_from("<H", data, at)[0] == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def resources(res):
    """(type, name) -> list of (language, data) from a compiled .res file."""
    found = {}
    at = 0
    while at < len(res):
        size, header = struct.unpack_from("<II", res, at)
        kind, after = read_id(res, at + 8)
        name, after = read_id(res, after)
        after = (after + 3) & ~3
        language = struct.unpack_from("<H", res, after + 6)[0]
        if size:
            found.setdefault((kind, name), []).append((language, res[at + header:at + header + size]))
        at = (at + header + size + 3) & ~3
    return found


def parse_dialog(data):
    at = 0
    signature, version, _help, ex_style, style, count, x, y, cx, cy = struct.unpack_from(
        "<HHIIIHhhhh", data, at)
    at += 26
    menu, at = read_id(data, at)
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


def check_dialog(found):
    entries = found.get((5, "ZQF"), [])
    check(len(entries) == 1, "one dialog ZQF")
    if not entries:
        return
    d = parse_dialog(entries[0][1])
    check(d["signature"] == (1, 0xFFFF), "extended dialog template")
    check(d["style"] == 0x80000000 | 0x10000000 | 0x00C00000 | 0x00080000 | 0x80 | 0x40,
          "dialog style %#x" % d["style"])
    check(d["ex_style"] == 0x00040000, "dialog extended style %#x" % d["ex_style"])
    check(d["rect"] == (32, 32, 337, 210), "dialog rectangle %s" % (d["rect"],))
    check(d["menu"] == "", "no menu")
    check(d["cls"] == "zqf", "class %r" % d["cls"])
    check(d["title"] == "Quarv2.0 Bootloader Update Tool", "caption %r" % d["title"])
    check(d["font"] == (8, 0, 0, 0, "MS Sans Serif"), "font %s" % (d["font"],))
    expected = [(i, c, 0, WS_CHILD_VISIBLE | s, x, y, cx, cy, t)
                for i, c, s, x, y, cx, cy, t in CONTROLS]
    check(d["controls"] == expected, "controls\n  %s\n  expected\n  %s" % (d["controls"], expected))


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
    check_dialog(found)

    manifests = [data for (kind, _), entries in found.items() if kind == 24 for _, data in entries]
    check(len(manifests) == 1 and (24, 1) in found, "one manifest, id 1")
    if manifests:
        text = manifests[0].decode("utf-8")
        check('level="asInvoker"' in text and 'uiAccess="false"' in text, "asInvoker manifest")

    versions = found.get((16, 1), [])
    check(len(versions) == 1, "one version resource")
    if versions:
        data = versions[0][1]
        fixed = data.find(struct.pack("<I", 0xFEEF04BD))
        major, minor, patch = (int(p) for p in version.split("."))
        check(fixed > 0 and struct.unpack_from("<II", data, fixed + 8) ==
              ((major << 16) | minor, patch << 16), "file version %s" % version)
        for text in ("ProductName", "Quarv Update Tool", version):
            check(text.encode("utf-16-le") in data, "version resource holds %r" % text)

    images = found.get((10, "BINFILE"), [])
    check(len(images) == 1, "one RCDATA BINFILE")
    if images:
        check(images[0][1] == open(firmware, "rb").read(), "BINFILE equals " + firmware)

    for failure in failures:
        print("FAIL:", failure)
    print("%s: %d bytes, imports %s" % (exe, os.path.getsize(exe), ", ".join(dlls)))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
