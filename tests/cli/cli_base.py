#!/usr/bin/env python3
"""What the tests of quarv-flash share: quarv-sim devices on pseudo-terminals, the tool's runs and
log, trees of /dev and /sys of their own, and the command line they take:
--flash EXE --sim SIM [--w32 EXE --template PREFIX]."""
import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "winerig"))
import harness  # noqa: E402

ARGS = argparse.Namespace(flash=None, sim=None, w32=None, template=None)
IMAGE = os.path.join(HERE, "..", "..", "firmware", "standin.bin")
README = os.path.join(HERE, "..", "..", "README.md")
with open(IMAGE, "rb") as f:
    PADDED = harness.padded(f.read())


class Sim:
    """quarv-sim behind a link in the test's directory."""

    def __init__(self, work, name, *options):
        self.link, self.log, self.dump = (os.path.join(work, name + s) for s in ("", ".log", ".bin"))
        self.process = subprocess.Popen([ARGS.sim, "--link", self.link, "--log", self.log,
                                         "--dump", self.dump, *options], stderr=subprocess.DEVNULL)
        while not os.path.islink(self.link):
            time.sleep(0.01)

    def requests(self):
        with open(self.log) as log:
            return [r for r in map(json.loads, log) if "command" in r]

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)
        with open(self.dump, "rb") as dump:
            return dump.read()[:len(PADDED)]


class CliBase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quarv-cli-")
        self.sims = []
        self.stations = []
        self.log = os.path.join(self.work, "run.log")

    def tearDown(self):
        # A station ends only on a signal: one left by a failed test would run on to CTest's
        # time-out, holding its ports.
        for station in self.stations:
            if station.poll() is None:
                station.kill()
                station.communicate()
        for sim in self.sims:
            if sim.process.poll() is None:
                sim.stop()

    def sim(self, name, *options):
        self.sims.append(Sim(self.work, name, *options))
        return self.sims[-1]

    def flash(self, *args, image=IMAGE, log=None, **popen):
        popen.setdefault("capture_output", True)
        return subprocess.run([ARGS.flash, "--image", image, "--log", log or self.log, *args],
                              text=True, timeout=120, **popen)

    def events(self, port=None, event=None):
        if not os.path.exists(self.log):
            return []
        # Strict UTF-8, as any reader of the log decodes it.
        with open(self.log, encoding="utf-8") as log:
            return [e for e in map(json.loads, log)
                    if port in (None, e["port"]) and event in (None, e["event"])]

    def station(self, *ports, stdout=subprocess.PIPE, image=IMAGE, **popen):
        self.stations.append(subprocess.Popen([ARGS.flash, "--station", "--image", image, "--log",
                                               self.log, *ports], stdout=stdout, text=True, **popen))
        return self.stations[-1]

    def wait_for(self, condition, timeout_s=60):
        deadline = time.monotonic() + timeout_s
        while not condition():
            self.assertLess(time.monotonic(), deadline, "timed out")
            time.sleep(0.05)

    def usb_root(self, adapters):
        """A /dev and /sys of the test's own: tty name -> (vid, pid, serial) of its adapter."""
        root = os.path.join(self.work, "root")
        for tty, (vid, pid, serial) in adapters.items():
            usb = os.path.join(root, "sys", "devices", "usb1", "1-" + serial)
            os.makedirs(os.path.join(usb, "1-1:1.0", tty), exist_ok=True)
            for name, text in (("idVendor", vid), ("idProduct", pid), ("serial", serial)):
                with open(os.path.join(usb, name), "w") as f:
                    f.write(text + "\n")
            os.makedirs(os.path.join(root, "sys", "class", "tty", tty))
            os.symlink(os.path.join(usb, "1-1:1.0", tty),
                       os.path.join(root, "sys", "class", "tty", tty, "device"))
        os.makedirs(os.path.join(root, "dev"), exist_ok=True)
        return root


def main(*suites):
    """Runs the first suite natively, the second (if any) with --w32."""
    parser = argparse.ArgumentParser()
    for option in ("--flash", "--sim", "--w32", "--template"):
        parser.add_argument(option)
    vars(ARGS).update(vars(parser.parse_known_args()[0]))
    suite = suites[1] if ARGS.w32 and len(suites) > 1 else suites[0]
    tests = unittest.defaultTestLoader.loadTestsFromTestCase(suite)
    sys.exit(not unittest.TextTestRunner(verbosity=2).run(tests).wasSuccessful())
