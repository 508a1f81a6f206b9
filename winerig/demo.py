#!/usr/bin/env python3
"""make demo: quarv-update.exe flashes a simulated Quarv on a COM port of a private Wine prefix.

On the user's display when $DISPLAY is set (the user presses the button); otherwise on a
private Xvfb with a Wine virtual desktop, the button pressed for the user. Streams the trace,
prints the final status and the device's verdict, and saves a screenshot of the dialog."""
import argparse
import os
import subprocess
import sys
import time

from harness import Device, Prefix, Tool, crc16, padded

PORT = "com3"
FINAL = ("Programming Completed", "FAILED")
CAPTION = "Quarv2.0 Bootloader Update Tool"


def start_xvfb():
    """A private X server; returns the process and its display name."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as reader:
        number = reader.readline().strip()
    if not number:
        raise RuntimeError("Xvfb did not start")
    return xvfb, ":" + number


def screenshot(tool, display, path, own_display):
    """The dialog with its caption bar: on a desktop the window manager draws the bar around
    the dialog's own X window; in the virtual desktop Wine draws it, so cut it out of the screen."""
    if own_display:
        source = ["-window", CAPTION, "-frame"]
    else:
        left, top, right, bottom = map(int, tool.drive("rect").split())
        geometry = "%dx%d+%d+%d" % (right - left, bottom - top, max(left, 0), max(top, 0))
        source = ["-window", "root", "-crop", geometry, "+repage"]
    done = subprocess.run(["import", "-display", display, *source, path], capture_output=True,
                          check=False)
    return done.returncode == 0


class TraceStream:
    """Prints what the tool has written to its standard output since the last call."""

    def __init__(self, tool):
        self.tool = tool
        self.shown = 0

    def show(self):
        text = self.tool.trace()
        sys.stdout.write(text[self.shown:])
        sys.stdout.flush()
        self.shown = len(text)


def wait_final(tool, stream, timeout_s):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        stream.show()
        if tool.process.poll() is not None:
            return None
        status = tool.drive("status", check=False)[1].strip()
        if status in FINAL:
            return status
        time.sleep(0.2)
    return None


def main():
    parser = argparse.ArgumentParser()
    for name in ("template", "sim", "exe", "driver", "image", "work", "screenshot"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    with open(args.image, "rb") as file:
        image = padded(file.read())
    os.makedirs(args.work, exist_ok=True)

    own_display = os.environ.get("DISPLAY")
    xvfb = None
    registry = [("HKCU\\Software\\Wine\\Drivers", "Graphics", "x11")]
    if own_display:
        display = own_display
    else:
        xvfb, display = start_xvfb()
        # A virtual desktop draws the caption bar without a window manager.
        registry += [("HKCU\\Software\\Wine\\Explorer", "Desktop", "Default"),
                     ("HKCU\\Software\\Wine\\Explorer\\Desktops", "Default", "800x600")]
    print("Preparing a private Wine prefix (display %s) ..." % display, flush=True)
    prefix = Prefix(args.template, args.work, registry, {"DISPLAY": display})
    device = tool = None
    verdict_ok = False
    try:
        device = Device(args.sim, prefix, PORT)
        print("The %s updater %s under %s" % ("32-bit" if prefix.arch == "win32" else
                                              "64-bit twin of the", args.exe, prefix.wine))
        print("Simulated Quarv on \\\\.\\%s (log %s)\n" % (PORT, device.log_path), flush=True)
        tool = Tool(prefix, args.exe, args.driver)
        stream = TraceStream(tool)
        if own_display:
            print(">>> In the window: choose \\\\.\\%s and press \"Update Quarv\". <<<\n" % PORT,
                  flush=True)
            status = wait_final(tool, stream, 600)
        else:
            time.sleep(0.5)
            tool.drive("press")
            status = wait_final(tool, stream, 120)
        time.sleep(0.3)
        stream.show()
        print("\nStatus: %s" % (status or tool.drive("status", check=False)[1].strip()))
        if tool.process.poll() is None:
            if screenshot(tool, display, args.screenshot, own_display):
                print("Screenshot: %s" % args.screenshot)
            tool.drive("close")
            tool.wait_exit()
    finally:
        if tool:
            tool.kill()
        flash = device.stop() if device else b""
        prefix.close()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
    if flash:
        verdict_ok = flash[:len(image)] == image
        print("Device: %d requests, %d write blocks; flash %s the image (%d bytes, CRC %#06x)"
              % (device.exit_record["requests"], device.exit_record["writes"],
                 "matches" if verdict_ok else "does NOT match", len(image), crc16(image)))
    return 0 if verdict_ok else 1


if __name__ == "__main__":
    sys.exit(main())
