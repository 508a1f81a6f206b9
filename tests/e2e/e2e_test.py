#!/usr/bin/env python3
"""End-to-end tests: quarv-update.exe under Wine, driven through its dialog, against quarv-sim
devices linked as COM ports of a private prefix. `walk` takes one run of the tool through a
technician's session; `fatal` ends the tool through a port that cannot be opened; `stamped` runs
an updater that quarv-stamp made. The engine's
answers to faulty devices are the virtual-line tests' part; these check what only the real exe
and its window show. See --help for the paths they need."""
import argparse
import difflib
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "winerig"))
from harness import (Device, Prefix, Tool, expected_requests, expected_update_trace,  # noqa: E402
                     padded, start_trace, summarise)

FAILURES = []
DONE = "Programming Completed"
LOST = "Port lost: reconnect, press again"


def check(condition, what, detail=""):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        FAILURES.append(what)
        if detail:
            print("     " + str(detail).replace("\n", "\n     "), flush=True)


def check_equal(actual, expected, what):
    check(actual == expected, what, "expected %r\nactual   %r" % (expected, actual))


def press(tool, item, how="press"):
    """Selects a list item, or types a name when item is text, and presses the button."""
    tool.drive("type" if isinstance(item, str) else "select", str(item))
    tool.drive(how)


def reach(tool, status, what, timeout_s=30):
    tool.wait_status(status, timeout_s)
    check(True, what)


def check_flash(device, image, what):
    flash, image = device.stop(), padded(image)
    check(flash == image + b"\xff" * (len(flash) - len(image)), what)


def walk(args, prefix, image):
    """Start-up, a pulled adapter and the one plugged in after it, the port list, a press without
    a port, updates by key, by list item and by typed name, and what follows completion."""
    pulled = Device(args.sim, prefix, "com3", "--drop", "4")  # holds the first block's reply
    com12 = Device(args.sim, prefix, "com12")
    Device(args.sim, prefix, "com999")
    tool = Tool(prefix, args.exe, args.driver)
    try:
        check_equal(tool.drive("status"), " - Idle - \n", "start-up status, byte for byte")
        press(tool, 0)
        deadline = time.monotonic() + 20
        while len(pulled.requests()) < 4 and time.monotonic() < deadline:
            time.sleep(0.05)
        pulled.stop()  # the adapter is pulled while the tool waits for the block's reply
        reach(tool, LOST, "a pulled adapter ends the update at the resend", 20)
        lost_at = time.monotonic()
        check_equal(tool.drive("ports").splitlines(), ["\\\\.\\com3", "\\\\.\\com12"],
                    "port list: com3 before com12, no com999")
        press(tool, "")
        reach(tool, "Choose the Lumvi's COM port first", "press with no port selected")
        cpu = tool.cpu_seconds()
        time.sleep(2)
        check(tool.cpu_seconds() - cpu < 0.1, "the tool idles after the loss")
        check(not tool.holds(pulled.tty), "the lost port is closed")
        time.sleep(max(0.0, lost_at + 6 - time.monotonic()))  # past the next resend, if any
        replaced = Device(args.sim, prefix, "com3")
        press(tool, 0)
        reach(tool, DONE, "an adapter plugged in again is updated by the next press")

        press(tool, 1, "press-key")
        reach(tool, DONE, "Enter on the focused button, through the message loop, updates com12")
        tool.drive("set-status", "-")  # a tick after completion would write its status again
        time.sleep(1)
        check_equal(tool.drive("status"), "-\n", "no tick after completion")
        check(not tool.holds(com12.tty), "the port is closed after completion")
        press(tool, "COM12")
        reach(tool, DONE, "the typed name \"COM12\" updates com12 again, on a fresh handle")
        tool.drive("close")
        check_equal(tool.wait_exit(), 0, "closing the window exits with 0")
    finally:
        tool.kill()
    check_equal(tool.beeps(), 3, "one beep for each completed update, none for the lost one")
    erased = b"\xff" * 4
    block = "PROG ADDR 0x8000000, LEN 0x400, FROM 0... - SENT - "
    com3 = expected_update_trace("\\\\.\\com3", image, erased)
    expected = (start_trace(image) + "".join(com3.splitlines(True)[:7]) + block + "TIMEOUT\n" +
                block + "PORT LOST, error 21\n" + com3 +
                expected_update_trace("\\\\.\\com12", image, erased) +
                expected_update_trace("\\\\.\\com12", image, padded(image))).splitlines()
    actual = tool.trace().splitlines()
    check(actual == expected, "trace line for line",
          "\n".join(difflib.unified_diff(expected, actual, "expected", "actual", lineterm="")))
    check_equal(summarise(com12.requests()), expected_requests(image) * 2,
                "com12 saw two full updates and nothing after them")
    check_equal(summarise(replaced.requests()), expected_requests(image),
                "the replaced adapter's device saw one full update")
    check_flash(com12, image, "com12's flash holds the padded image")
    check_flash(replaced, image, "the replaced device's flash holds the padded image")


def fatal(args, prefix, image):
    """A listed port held by another program when the button is pressed: the box, OK, exit 1."""
    del image
    device = Device(args.sim, prefix, "com7")
    tool = Tool(prefix, args.exe, args.driver)
    try:
        prefix.relink("com7", prefix.held)  # Wine's error for a port another program holds
        tool.drive("press")
        text = tool.drive("wait-box", "20000")
        described = tool.drive("error-text", "5")
        check(described != "", "error 5 has a system description")
        check_equal(text, "\n\nAn Error has occurred as follows:\n          Unable to open serial "
                    "port. In use already, or not present\nError number 5 reported\n%s\n\n The "
                    "program will now abort\n\n\n" % described, "\"Terminate Program\" text")
        tool.drive("box-ok")
        check_equal(tool.wait_exit(), 1, "OK ends the process with status 1")
    finally:
        tool.kill()
        device.stop()
    check_equal(device.requests(), [], "nothing reached the device")


def stamped(args, prefix, image):
    """An updater made by quarv-stamp writes its new image (--image, raw) and traces its size."""
    device = Device(args.sim, prefix, "com4")
    tool = Tool(prefix, args.exe, args.driver)
    try:
        press(tool, "COM4")
        reach(tool, DONE, "the stamped updater completes an update")
    finally:
        tool.kill()
    check(tool.trace().startswith(start_trace(image)), "its trace gives the new image's size")
    check_flash(device, image, "the device's flash holds the stamped image, padded")


SCENARIOS = {"walk": walk, "fatal": fatal, "stamped": stamped}


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
