#!/usr/bin/env python3
"""Copies a compiled .res file, writing the class name of dialog "ZQF" in lower case.

windres upper-cases the name given to CLASS in a dialog template; the template names the class
"zqf", which the window class "ZQF" matches regardless of case.
usage: dialog_class_case.py IN.res OUT.res
"""
import struct
import sys

RT_DIALOG = 5


def read_id(data, at):
    """A resource type or name: an ordinal (0xFFFF, n) or a NUL-ended UTF-16 string."""
    if struct.unpack_from("<H", data, at)[0] == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def entries(data):
    """(type, name, offset of the data, size of the data) of each entry of a compiled .res file."""
    at = 0
    while at < len(data):
        size, header = struct.unpack_from("<II", data, at)
        kind, after = read_id(data, at + 8)
        name, _ = read_id(data, after)
        yield kind, name, at + header, size
        at = (at + header + size + 3) & ~3


def main(source, target):
    data = bytearray(open(source, "rb").read())
    patched = 0
    for kind, name, body, _size in entries(data):
        if kind == RT_DIALOG and name == "ZQF":
            signature, version = struct.unpack_from("<HH", data, body)
            if (signature, version) != (1, 0xFFFF):
                sys.exit("dialog ZQF is not an extended template")
            # helpId, exStyle, style, item count, x, y, cx, cy: 26 bytes, then the menu.
            menu, cls = read_id(data, body + 26)
            if menu != "" or data[cls:cls + 8] != "ZQF\0".encode("utf-16-le"):
                sys.exit("dialog ZQF has no menu-less class ZQF to write in lower case")
            data[cls:cls + 6] = "zqf".encode("utf-16-le")
            patched += 1
    if patched != 1:
        sys.exit("dialog ZQF not found")
    open(target, "wb").write(data)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
