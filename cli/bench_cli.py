#!/usr/bin/env python3
"""make bench, the command-line part: quarv-flash natively against quarv-sim on pseudo-terminals
paced at 115,200 baud 8E1, the same simulated line as the dialog's figures.

- Block phase: from the first write request to the verify query, as the device logged them,
  against the model: the blocks and acknowledgements on the line between those two points at
  11 bits per byte, plus the programming time of every block. The update from the first probe
  to the reset request is given too, measured as the dialog's figures are.
- Ports: the wall time of quarv-flash flashing 8 devices at once against one device.
- Waiting: CPU time of quarv-flash while its devices stay silent, per port, in % of one core.
- Network: the update from the first probe to the reset request through Debian's ser2net on
  loopback (RFC 2217 with chardelay false and with ser2net's default, raw TCP) beside a local
  pseudo-terminal, in the same run, each against the model and against the local port."""
import argparse
import json
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "winerig"))
from bench import update_times  # noqa: E402  the dialog's own model of the whole update

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "cli"))
from net_rig import Ser2net  # noqa: E402  ser2net serving the devices' pseudo-terminals

BYTE_S = 11 / 115200
BLOCK_FRAME, ACK, QUERY = 1024 + 11, 10, 13
PORTS = 8


def start_devices(args, work, count, *options):
    devices = []
    for i in range(count):
        link = os.path.join(work, "port%d" % i)
        log = link + ".log"
        process = subprocess.Popen([args.sim, "--link", link, "--log", log, *options],
                                   stderr=subprocess.DEVNULL)
        devices.append((link, log, process))
    for link, _, _ in devices:
        while not os.path.islink(link):
            time.sleep(0.01)
    return devices


def stop_devices(devices):
    requests = []
    for _, log, process in devices:
        process.send_signal(signal.SIGTERM)
        process.wait()
        with open(log) as lines:
            requests.append([r for r in map(json.loads, lines) if "command" in r])
    return requests


def flash(args, devices, *options, names=None):
    """(wall seconds, CPU seconds) of one quarv-flash run over the devices (or those names)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    subprocess.run([args.flash, "--image", args.image, *options,
                    *(names or [d[0] for d in devices])],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.monotonic() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def block_phase(requests, program_ms):
    """(measured, model) seconds from the first write request to the verify query."""
    writes = [r for r in requests if r["command"] == "write"]
    query = next(r for r in requests if r["command"] == "crc" and r["length"] > 4)
    line_bytes = (len(writes) - 1) * BLOCK_FRAME + len(writes) * ACK + QUERY
    model = line_bytes * BYTE_S + len(writes) * program_ms / 1000
    return (query["time_ms"] - writes[0]["time_ms"]) / 1000, model


def main():
    parser = argparse.ArgumentParser()
    for name in ("flash", "sim", "image", "work"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="bench-cli-", dir=args.work)

    print("quarv-flash, %s, on the same simulated line:" % os.path.basename(args.image))
    print("  %-30s %10s %10s %10s %7s" % ("", "program", "measured", "model", "ratio"))
    walls = {}
    for program_ms in (0, 25):
        devices = start_devices(args, work, 1, "--program-ms", str(program_ms))
        walls[program_ms] = flash(args, devices)[0]
        requests = stop_devices(devices)[0]
        for label, (measured, model) in (("block phase", block_phase(requests, program_ms)),
                                         ("first probe to reset request",
                                          update_times(requests, program_ms))):
            print("  %-30s %7d ms %8.3f s %8.3f s %7.3f"
                  % (label, program_ms, measured, model, measured / model))

    devices = start_devices(args, work, PORTS)
    wall = flash(args, devices)[0]
    stop_devices(devices)
    print("  %d ports at once %.3f s, one port %.3f s (program 0 ms): ratio %.3f"
          % (PORTS, wall, walls[0], wall / walls[0]))

    for count in (1, PORTS):
        devices = start_devices(args, work, count, "--power-on-signal")
        wall, cpu = flash(args, devices, "--wait", "5")
        stop_devices(devices)
        print("  waiting on %d silent port%s for %.1f s: CPU %.3f s, %.2f %% of a core per port"
              % (count, "s" if count > 1 else "", wall, cpu, 100 * cpu / wall / count))

    print("  first probe to reset request, program 0 ms, the same device model behind each:")
    local = None
    for label, kind, options in (("local pseudo-terminal", None, {}),
                                 ("ser2net rfc2217, chardelay false", "rfc2217",
                                  {"chardelay": "false"}),
                                 ("ser2net rfc2217, its default", "rfc2217", {}),
                                 ("ser2net tcp, chardelay false", "tcp", {"chardelay": "false"})):
        devices = start_devices(args, work, 1)
        server = kind and Ser2net(work, [(devices[0][0], kind, options)], "bench-%s" % kind)
        try:
            flash(args, devices, names=server and server.urls)
        finally:
            if server:
                server.stop()
        measured, model = update_times(stop_devices(devices)[0], 0)
        local = local or measured
        print("  %-34s %8.3f s %8.3f s %7.3f, against the local port %.3f"
              % (label, measured, model, measured / model, measured / local))
    return 0


if __name__ == "__main__":
    sys.exit(main())
