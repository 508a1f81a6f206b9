#!/usr/bin/env python3
"""Loading a 1 MiB image as Intel HEX against the same image as a raw binary, side by side, through
quarv-flash (it loads, prints what it loaded, then fails to open a port that is not there) and
quarv-stamp; then the size of each Windows exe. usage: bench_loader.py --flash EXE --stamp EXE
--template UPDATER.exe --work DIR [--exe PATH...]"""
import argparse
import os
import random
import statistics
import subprocess
import time

RUNS = 7


def median_seconds(command):
    times = []
    for _ in range(RUNS):
        started = time.perf_counter()
        done = subprocess.run(command, capture_output=True)
        times.append(time.perf_counter() - started)
    return statistics.median(times), done


def main():
    parser = argparse.ArgumentParser()
    for name in ("flash", "stamp", "template", "work"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--exe", nargs="*", default=[])
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    raw, hex_file = (os.path.join(args.work, "image-1m" + s) for s in (".bin", ".hex"))
    rng = random.Random(1)
    with open(raw, "wb") as f:
        f.write(bytes([0, 0x20, 0, 0x20]) + bytes(rng.getrandbits(8) for _ in range((1 << 20) - 4)))
    subprocess.run(["objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", "0x08000000",
                    raw, hex_file], check=True)
    print("1 MiB image: Intel HEX %d bytes, raw %d bytes; median of %d runs"
          % (os.path.getsize(hex_file), os.path.getsize(raw), RUNS))
    missing = os.path.join(args.work, "no-such-port")
    for tool, command in (("quarv-flash", [args.flash, "--image", "%s", missing]),
                          ("quarv-stamp", [args.stamp, "--image", "%s", "--template",
                                           args.template, "--out",
                                           os.path.join(args.work, "stamped-1m.exe")])):
        seconds = {}
        for kind, path in (("HEX", hex_file), ("raw", raw)):
            seconds[kind], done = median_seconds([path if a == "%s" else a for a in command])
            print("  %s --image %-14s %.3f s   %s" % (tool, os.path.basename(path), seconds[kind],
                                                     done.stdout.decode().splitlines()[:1]))
        print("  %s: HEX %.3f s against raw %.3f s, ratio %.2f (HEX load under 0.2 s: %s)"
              % (tool, seconds["HEX"], seconds["raw"], seconds["HEX"] / seconds["raw"],
                 "yes" if seconds["HEX"] < 0.2 else "NO"))
    for exe in args.exe:
        print("%-40s %7d bytes" % (exe, os.path.getsize(exe)))


if __name__ == "__main__":
    main()
