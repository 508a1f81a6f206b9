#!/usr/bin/env python3
"""Fills the firmware fields of the updater's resource script from the image it embeds: its file
name without the extension, its size, and the CRC-16/MODBUS of the image padded with zeros to
whole 1,024-byte blocks (the CRC the device reports). quarv-stamp writes the same values.
usage: firmware_fields.py IN.rc OUT.rc FIRMWARE"""
import os
import sys


def crc16_modbus(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def main(source, target, firmware):
    image = open(firmware, "rb").read()
    padded = image + bytes(-len(image) % 1024 or (1024 if not image else 0))
    # As quarv-stamp reads a name: UTF-8 where it decodes as such, else one character a byte.
    raw_name = os.path.basename(os.fsencode(firmware))
    try:
        name = raw_name.decode("utf-8")
    except UnicodeDecodeError:
        name = raw_name.decode("latin-1")
    if "." in name[1:]:
        name = name[:name.rindex(".")]
    fields = {"@QUARV_FIRMWARE_NAME@": name.replace('"', '""'),
              "@QUARV_FIRMWARE_SIZE@": str(len(image)),
              "@QUARV_FIRMWARE_CRC@": "0x%04x" % crc16_modbus(padded)}
    text = open(source, encoding="utf-8").read()
    for key, value in fields.items():
        text = text.replace(key, value)
    with open(target, "w", encoding="utf-8") as out:
        out.write(text)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
