#!/usr/bin/env python3
"""make bench: how close an update comes to what the serial line allows, and how long the tool
takes to come up next to a bare dialog. Prints ratios; the device's log gives the times.

Update time: from the first link probe to the reset request, as the device logged them.
Model time: every frame on the line between those two points (the probe replies, the later
probes, the blocks and their acknowledgements, the CRC query and its reply, the reset request)
at 11 bits per byte and 115,200 baud, plus the programming time of every block."""
import argparse
import os
import platform
import statistics
import sys
import time

from harness import Device, Prefix, Tool, drive

BYTE_S = 11 / 115200
REQUEST_BYTES = {"crc": 13, "reset": 5}
REPLY_BYTES = {"crc": 15, "write": 10}
LAUNCHES = 15


def update_times(requests, program_ms):
    """(measured, model) seconds from the first probe to the reset request."""
    first = requests[0]
    reset = next(r for r in requests if r["command"] == "reset")
    between = [r for r in requests if first["time_ms"] <= r["time_ms"] <= reset["time_ms"]]
    line_bytes = 0
    for request in between:
        if request is not first:
            line_bytes += REQUEST_BYTES.get(request["command"], request["length"] + 11)
        if request is not reset:
            line_bytes += REPLY_BYTES[request["command"]]
    blocks = sum(1 for r in between if r["command"] == "write")
    model = line_bytes * BYTE_S + blocks * program_ms / 1000
    return (reset["time_ms"] - first["time_ms"]) / 1000, model


def run_update(args, prefix, exe, port, program_ms):
    device = Device(args.sim, prefix, port, "--program-ms", str(program_ms))
    tool = Tool(prefix, exe, args.driver)
    try:
        tool.drive("press")
        tool.wait_status("Programming Completed", 300)
        tool.drive("close")
        tool.wait_exit()
    finally:
        tool.kill()
        device.stop()
        prefix.unlink(port)
    return update_times(device.requests(), program_ms)


def launch_ms(args, prefix, exe):
    # The launched program shares the driver's standard output; the time is the last line.
    return float(drive(prefix, args.driver, "time-idle", exe).split()[-1])


def launch_times(args, prefix):
    """The tool and the bare dialog, launched in turn after one warm-up each, so that a busy
    moment of the machine falls on both alike."""
    times = {args.exe: [], args.bare: []}
    for exe in times:
        launch_ms(args, prefix, exe)
    for _ in range(LAUNCHES):
        for exe, runs in times.items():
            runs.append(launch_ms(args, prefix, exe))
    return times[args.exe], times[args.bare]


def machine():
    model = ""
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%s, %d cores, %s" % (model or platform.machine(), os.cpu_count(), platform.system())


def main():
    parser = argparse.ArgumentParser()
    for name in ("template", "sim", "exe", "exe64k", "bare", "driver", "work"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    prefix = Prefix(args.template, args.work)
    rows = []
    try:
        for label, exe in (("stand-in image", args.exe), ("64 KiB image", args.exe64k)):
            for program_ms in (0, 25):
                measured, model = run_update(args, prefix, exe, "com3", program_ms)
                rows.append((label, program_ms, measured, model))
        tool_ms, bare_ms = launch_times(args, prefix)
    finally:
        prefix.close()

    print("Machine: %s; the %s updater under %s" % (
        machine(), "32-bit" if prefix.arch == "win32" else "64-bit twin of the", prefix.wine))
    print("Update, first probe to reset request, line paced at 115,200 baud 8E1:")
    print("  %-15s %10s %11s %11s %7s" % ("image", "program", "measured", "model", "ratio"))
    for label, program_ms, measured, model in rows:
        print("  %-15s %7d ms %9.3f s %9.3f s %7.2f"
              % (label, program_ms, measured, model, measured / model))
    print("Launch to \" - Idle - \" (%d launches each, null graphics driver):" % LAUNCHES)
    for name, pick in (("median", statistics.median), ("fastest", min)):
        tool, bare = pick(tool_ms), pick(bare_ms)
        print("  %-8s quarv-update %6.1f ms, bare dialog %6.1f ms, ratio %.2f"
              % (name, tool, bare, tool / bare))
    return 0


if __name__ == "__main__":
    started = time.monotonic()
    status = main()
    print("(bench took %.0f s)" % (time.monotonic() - started))
    sys.exit(status)
