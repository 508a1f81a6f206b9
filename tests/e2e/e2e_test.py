#!/usr/bin/env python3
"""End-to-end tests: quarv-update.exe under Wine, driven through its dialog, against quarv-sim
devices linked as COM ports of a private prefix. Each scenario shares one prefix and as few
runs of the tool as it can; see --help for the paths it needs."""
import argparse
import difflib
import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "winerig"))
from harness import (FLASH_BASE, Device, Prefix, Tool, crc16, expected_requests,
                     expected_update_trace, padded, start_trace, summarise)

FAILURES = []
INSTRUCTIONS = [
    "1) Completely UNPLUG the Quarv so it is powered-down.\n\n"
    "2) Connect the Lumvi to the PC but do not connect to the Quarv yet.\n\n"
    "3) Choose the COM port below corresponding to the Lumvi.\n\n"
    '4) Press the ""Update Quarv"" button.\n\n',
    "5) Now plug the Lumvi into the remote port on the Quarv (powering it up).\n\n"
    "6) Programming should start automatically.\n\n"
    "7) After programming the unit should restart automatically.",
    "There should now be a flashing red LED on the Lumvi if the correct COM port was chosen.\n\n",
]
ES_READONLY = 0x0800
DONE = "Programming Completed"


def check(condition, what, detail=""):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        FAILURES.append(what)
        if detail:
            print("     " + str(detail).replace("\n", "\n     "), flush=True)


def check_equal(actual, expected, what):
    check(actual == expected, what, "expected %r\nactual   %r" % (expected, actual))


def press(tool, item):
    """Selects a list item, or types a name when item is text, and presses the button."""
    tool.drive("type" if isinstance(item, str) else "select", str(item))
    tool.drive("press")


def reach(tool, status, what, timeout_s=30):
    tool.wait_status(status, timeout_s)
    check(True, what)


def wait_until(condition, timeout_s, what):
    deadline = time.monotonic() + timeout_s
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def check_flash(flash, image, what):
    image = padded(image)
    check(flash == image + b"\xff" * (len(flash) - len(image)), what)


def scenario_main(args, prefix, image):
    """Dialog texts, discovery, the press without a port, the happy path and a second update."""
    devices = {name: Device(args.sim, prefix, name) for name in ("com3", "com12", "com999")}
    com12 = devices["com12"]
    tool = Tool(prefix, args.exe, args.driver)
    try:
        dialog = json.loads(tool.drive("dump"))
        check_equal(dialog["caption"], "Quarv2.0 Bootloader Update Tool", "caption")
        statics = [c["text"] for c in dialog["controls"] if c["class"].lower() == "static"]
        check_equal(statics, INSTRUCTIONS, "the three instruction texts, byte for byte")
        status_field = [c for c in dialog["controls"] if c["id"] == 5]
        check(len(status_field) == 1 and status_field[0]["style"] & ES_READONLY,
              "status field is read-only", status_field)
        check_equal(tool.drive("ports").splitlines(), ["\\\\.\\com3", "\\\\.\\com12"],
                    "port list: com3 before com12, no com999")

        press(tool, "")
        reach(tool, "Choose the Lumvi's COM port first", "press with no port selected")
        press(tool, 1)
        reach(tool, DONE, "update through the second item completes")
        # A typed name, and a second update on a port opened afresh.
        press(tool, "COM12")
        wait_until(lambda: len(com12.requests()) >= 2 * len(expected_requests(image)), 30,
                   "the second update")
        reach(tool, DONE, "second update through the typed name \"COM12\" completes")
        tool.drive("close")
        check_equal(tool.wait_exit(), 0, "closing the window exits with 0")
    finally:
        tool.kill()
    flashes = {name: device.stop() for name, device in devices.items()}

    port = "\\\\.\\com12"
    expected = (start_trace(image) + expected_update_trace(port, image, b"\xff" * 4) +
                expected_update_trace(port, image, padded(image))).splitlines()
    actual = tool.trace().splitlines()
    check(actual == expected, "trace line for line",
          "\n".join(difflib.unified_diff(expected, actual, "expected", "actual", lineterm="")))
    check_equal(summarise(com12.requests()), expected_requests(image) * 2,
                "com12 saw two full updates: 3 probes, the blocks, one CRC query, one reset")
    check_flash(flashes["com12"], image, "com12's flash holds the padded image")
    check_equal(com12.exit_record["flash_crc"], crc16(flashes["com12"]),
                "the log's closing flash CRC matches the dumped flash")
    check_equal(devices["com3"].requests() + devices["com999"].requests(), [],
                "com3 and com999 saw nothing")


def scenario_faults(args, prefix, image):
    """Late power-up, a lost write reply, a flipped flash bit and ignored resets, in one run."""
    late = Device(args.sim, prefix, "com4", "--power-on-signal")
    lossy = Device(args.sim, prefix, "com5", "--drop", "4")
    flipped = Device(args.sim, prefix, "com6", "--flip-write", "2:13")
    deaf = Device(args.sim, prefix, "com9", "--resets-unanswered", "2")
    tool = Tool(prefix, args.exe, args.driver)
    try:
        press(tool, 0)
        time.sleep(2)
        late.power_on()
        reach(tool, DONE, "late power-up: the update completes")
        press(tool, 1)
        wait_until(lambda: len(lossy.requests()) >= 4, 10, "the first block")
        reach(tool, DONE, "lost write reply: the update completes")
        press(tool, 2)
        reach(tool, "FAILED", "flipped bit: the update fails")
        time.sleep(1)
        check(tool.process.poll() is None, "after \"FAILED\" the tool stays up")
        # The failed update's port stays open; another port starts afresh.
        press(tool, 3)
        reach(tool, DONE, "after a failure, an update on another port completes")
        tool.drive("close")
        check_equal(tool.wait_exit(), 0, "closing the window after a failure exits with 0")
    finally:
        tool.kill()
    flashes = [late.stop(), lossy.stop(), flipped.stop(), deaf.stop()]
    runs = tool.trace().split(" . Opening serial port ")  # [0] is the start-up part
    check_flash(flashes[0], image, "late power-up: flash holds the image")
    check_flash(flashes[1], image, "lost write reply: flash holds the image")
    check_flash(flashes[3], image, "ignored resets: flash holds the image")

    check(runs[1].count("CONTACTING...\n") >= 6, "probes keep coming while the device is off",
          runs[1])

    writes = [r for r in lossy.requests() if r["command"] == "write"]
    check_equal([w["address"] for w in writes[:3]], [FLASH_BASE, FLASH_BASE, FLASH_BASE + 0x400],
                "lost write reply: the same block again, then the next")
    check(len(writes) >= 2 and writes[1]["time_ms"] - writes[0]["time_ms"] > 5000,
          "lost write reply: repeated after more than 5 s", writes[:2])
    check("PROG ADDR 0x8000000, LEN 0x400, FROM 0... - SENT - TIMEOUT\n"
          "PROG ADDR 0x8000000, LEN 0x400, FROM 0... - SENT - - OK\n" in runs[2],
          "lost write reply: TIMEOUT in the trace, then the same block", runs[2])

    check("CRC FAIL\n" in runs[3] and "Resetting target" not in runs[3],
          "flipped bit: CRC FAIL and no reset in the trace", runs[3])
    check(all(r["command"] != "reset" for r in flipped.requests()),
          "flipped bit: no reset request reaches the device")
    size = len(padded(image))
    diff = [a ^ b for a, b in zip(flashes[2][:size], padded(image)) if a != b]
    check_equal(diff, [1 << 5], "flipped bit: exactly bit 13 of the second block differs")

    check_equal([r["command"] for r in deaf.requests()][-3:], ["reset"] * 3,
                "ignored resets: the request is repeated until answered")
    check(runs[4].endswith("Resetting target\nframe length    5 bytes sent\n" * 3 +
                           "frame length    6 bytes received & OK\n"),
          "ignored resets: three reset lines, then the reply", runs[4])


def press_into_fatal(args, prefix, name, target, code):
    """Discovers name, makes it unusable, presses: the box, its text, OK, exit 1."""
    device = Device(args.sim, prefix, name)
    tool = Tool(prefix, args.exe, args.driver)
    try:
        check_equal(tool.drive("ports").splitlines(), ["\\\\.\\" + name], name + " is listed")
        prefix.relink(name, target)
        tool.drive("press")
        text = tool.drive("wait-box", "20000")
        described = tool.drive("error-text", str(code))
        check(described != "", "error %d has a system description" % code)
        check_equal(text, "\n\nAn Error has occurred as follows:\n          Unable to open serial "
                    "port. In use already, or not present\nError number %d reported\n%s\n\n The "
                    "program will now abort\n\n\n" % (code, described),
                    "\"Terminate Program\" text for error %d" % code)
        tool.drive("box-ok")
        check_equal(tool.wait_exit(), 1, "OK ends the process with status 1 (error %d)" % code)
    finally:
        tool.kill()
        device.stop()
    check_equal(device.requests(), [], "nothing reached the device")


def scenario_fatal(args, prefix, image):
    """A port that is busy (error 5) or gone (error 2) when the button is pressed."""
    del image
    press_into_fatal(args, prefix, "com7", prefix.held, 5)
    prefix.unlink("com7")
    press_into_fatal(args, prefix, "com8", os.path.join(prefix.dir, "unplugged"), 2)


SCENARIOS = {"main": scenario_main, "faults": scenario_faults, "fatal": scenario_fatal}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    for name in ("template", "sim", "exe", "driver", "image"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--work")
    args = parser.parse_args()
    for path in (args.template, args.sim, args.exe, args.driver, args.image):
        if not os.path.exists(path):
            return "missing: " + path
    with open(args.image, "rb") as file:
        image = file.read()
    started = time.monotonic()
    prefix = Prefix(args.template, args.work)
    try:
        SCENARIOS[args.scenario](args, prefix, image)
    except AssertionError as error:
        check(False, str(error))
    finally:
        prefix.close()
    print("%s: %d failure(s) in %.1f s"
          % (args.scenario, len(FAILURES), time.monotonic() - started))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
