#!/usr/bin/env python3
"""quarv-flash choosing ports by what they are, a station taking adapters as they come, and
updates longer than --wait. Usage: cli_adapter_test.py --flash EXE --sim SIM"""
import json
import os
import re
import signal
import subprocess
import time

from cli_base import PADDED, CliBase, harness, main


class AdapterTest(CliBase):
    def test_match_chooses_ports_by_identity(self):
        root = self.usb_root({"ttyUSB0": ("0403", "6001", "S1"), "ttyUSB1": ("1a86", "7523", "X")})
        env = dict(os.environ, QUARV_FLASH_ROOT=root)
        chosen, other = self.sim("root/dev/ttyUSB0"), self.sim("root/dev/ttyUSB1")
        # Named and matched: one port, flashed once.
        done = self.flash("--match", "0403:6001:S1", chosen.link, env=env)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual([e["serial"] for e in self.events(event="result")], ["S1"])
        self.assertEqual([r["command"] for r in chosen.requests()].count("write"), 2)
        self.assertEqual(other.requests(), [])
        missing = self.flash("--match", "serial=S9", env=env)
        self.assertEqual(missing.returncode, 2)
        self.assertIn("  %s  1a86:7523  serial=X" % other.link, missing.stderr)
        self.assertEqual(other.requests(), [])
        self.assertEqual(chosen.stop(), PADDED)

    def test_station_takes_adapters_as_they_come(self):
        # Two plugged in at once mid-run; one pulled between units, back under another name,
        # pulled mid-unit, back again: one tally for it, by its serial number, and the next
        # good unit's result without the removal. An adapter of another kind is never touched.
        # A serial number that holds terminal controls is shown without them.
        odd = "S2\x1b]0;owned\x07\x1b[2J\x1b[31mRED\x9b"
        root = self.usb_root({"ttyUSB0": ("0403", "6001", "S1"), "ttyUSB1": ("0403", "6001", odd),
                              "ttyUSB2": ("1a86", "7523", "X"), "ttyUSB3": ("0403", "6001", "S1")})
        run_env = dict(os.environ, QUARV_FLASH_ROOT=root)
        run = self.station("--match", "0403:6001", env=run_env, stderr=subprocess.PIPE)
        time.sleep(0.5)
        plugged = time.monotonic()
        s1, s2 = (self.sim("root/dev/ttyUSB%d" % n, "--app-after-reset") for n in (0, 1))
        other = self.sim("root/dev/ttyUSB2")
        results = lambda serial: [e for e in self.events(event="result") if e.get("serial") == serial]
        self.wait_for(lambda: s1.requests() and s2.requests())
        self.assertLess(time.monotonic() - plugged, 3)  # loose: the machine may be busy
        self.wait_for(lambda: results("S1") and results(odd))
        # A second station over the same adapters finds each held, says so once, takes nothing.
        second = self.station("--match", "serial=S*", env=run_env, stderr=subprocess.PIPE)
        time.sleep(1.5)
        second.send_signal(signal.SIGINT)
        told = second.communicate(timeout=30)[1]
        self.assertEqual((second.returncode, told.count("is busy")), (0, 2), told)
        self.assertEqual(s1.stop(), PADDED)
        slow = self.sim("root/dev/ttyUSB3", "--program-ms", "300")
        self.wait_for(lambda: any(r["command"] == "write" for r in slow.requests()))
        slow.stop()
        self.wait_for(lambda: len(results("S1")) == 2)
        self.assertEqual(results("S1")[1]["text"], "FAILED")
        self.assertEqual(results("S1")[1]["detail"], "adapter removed")
        again = self.sim("root/dev/ttyUSB0", "--app-after-reset")
        self.wait_for(lambda: len(results("S1")) == 3)
        self.assertEqual((results("S1")[2]["text"], results("S1")[2].get("detail")), ("OK", None))
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=30)
        self.assertEqual(run.returncode, 1, out)
        # One row an adapter; nothing said of the ports it served itself.
        self.assertEqual(len(re.findall(r"serial=S1\n", out)), 1, out)
        self.assertRegex(out, r" 2 OK +1 FAILED +serial=S1\n")
        self.assertRegex(out, r" 1 OK +0 FAILED +serial=S2\?\]0;owned\?\?\[2J\?\[31mRED\?\n")
        self.assertNotIn("\x1b", out + err)
        self.assertNotIn("busy", err)
        self.assertEqual(other.requests(), [])
        self.assertEqual(again.stop(), PADDED)

    def test_long_update_after_late_power_up(self):
        # --wait bounds each wait for an answer, not the whole update: 28 blocks of 0.26 s take
        # longer than its 6 s floor once writing. In a station too, where a second quarv-flash
        # finds the port held, root or not.
        image = os.path.join(self.work, "28k.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(28 * 1024))
        late = self.sim("late", "--power-off-ms", "1500", "--program-ms", "150")
        line = self.sim("line", "--program-ms", "150", "--app-after-reset")
        started = time.monotonic()
        run = self.station("--wait", "1", line.link, image=image)
        self.wait_for(lambda: line.requests())
        second = self.flash("--wait", "1", line.link)
        self.assertEqual((second.returncode, "busy" in second.stderr), (3, True), second.stderr)
        done = self.flash("--wait", "2", late.link, image=image, log=os.path.join(self.work, "l"))
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertGreater(time.monotonic() - started, 8)
        self.assertGreaterEqual(min(r["time_ms"] for r in late.requests()), 1500)
        self.wait_for(lambda: self.events(line.link, "result"))
        run.send_signal(signal.SIGINT)
        self.assertRegex(run.communicate(timeout=30)[0], r"%s +1 OK +0 FAILED" % line.link)
        with open(image, "rb") as f:
            padded = harness.padded(f.read())
        late.stop()
        with open(late.log) as log:
            exit_line = json.loads(log.read().splitlines()[-1])
        with open(late.dump, "rb") as dump:
            flash = dump.read()
        self.assertEqual(exit_line["flash_crc"], harness.crc16(flash))
        self.assertEqual(flash[:len(padded)], padded)


if __name__ == "__main__":
    main(AdapterTest)
