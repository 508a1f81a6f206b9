#!/usr/bin/env python3
"""quarv-flash against quarv-sim devices on pseudo-terminals, natively; with --w32, the Windows
console build once under Wine. Usage: cli_test.py --flash EXE --sim SIM [--w32 EXE --template P]"""
import errno
import fcntl
import glob
import json
import os
import re
import signal
import struct
import subprocess
import termios
import threading
import time
import unittest

from cli_base import ARGS, IMAGE, PADDED, README, CliBase, harness, main


class CliTest(CliBase):
    def test_three_ports_one_flipped_bit(self):
        # A quote in a port's name must not break its log lines, nor a name in Latin-1 (a byte
        # that is not UTF-8, carried by Python as a lone surrogate) the log's encoding.
        good, bad, other = self.sim("a"), self.sim("b", "--flip-write", "2:5"), self.sim('c"\udce9')
        done = self.flash(good.link, bad.link, other.link, errors="surrogateescape")
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        crc = "CRC 0x%04x" % harness.crc16(PADDED)
        summary = {line.split()[0]: line.split()[1] for line in done.stdout.splitlines()
                   if crc in line}
        # Shown as the log writes it, in UTF-8.
        shown = other.link.replace("\udce9", "\xe9")
        self.assertEqual(summary, {good.link: "OK", bad.link: "FAILED", shown: "OK"})
        flipped = bytearray(PADDED)
        flipped[1024] ^= 1 << 5
        self.assertIn("device CRC 0x%04x" % harness.crc16(bytes(flipped)), done.stdout)
        for sim, last in ((good, "CRCs match"), (bad, "CRC FAIL"), (other, "CRCs match")):
            trace = [e["text"] for e in self.events(sim.link.replace("\udce9", "\xe9"), "trace")]
            # Each port's own trace, whole and unmixed: one link, two blocks, one verdict.
            self.assertEqual(sum(t.startswith("PROG ADDR") for t in trace), 2, trace)
            self.assertEqual(trace.count("REMOTE DEVICE LINK ESTABLISHED"), 1)
            self.assertEqual(trace.count("CONTACTING..."), 1)  # its reply read before another
            self.assertIn(last, trace)
            self.assertTrue(all(e["time"].endswith("Z") for e in self.events(sim.link)))
        self.assertNotIn("reset", [r["command"] for r in bad.requests()])
        # The next request follows a whole reply at once, not after a read's pause (20 ms at
        # least): from the last block's arrival, the reply and the 13-byte query take 2.6 ms.
        times = {r["command"]: r["time_ms"] for r in good.requests()}  # the last of each
        self.assertLess(min(times["crc"] - times["write"], times["reset"] - times["crc"]), 10)
        self.assertEqual(good.stop(), PADDED)
        self.assertEqual(other.stop(), PADDED)
        self.assertNotEqual(bad.stop(), PADDED)

    def test_station_counts_units_and_flashes_each_once(self):
        # One line takes units one after another. On the next, a new unit answers after only
        # 0.5 s of silence, too soon to be told from the last: never flashed. The third's unit
        # fails and stays answering.
        line = self.sim("line", "--app-after-reset", "--next-unit-ms", "1300")
        soon = self.sim("soon", "--app-after-reset", "--next-unit-ms", "500")
        bad = self.sim("bad", "--flip-write", "1")
        run = self.station(line.link, soon.link, bad.link)
        self.wait_for(lambda: len(self.events(line.link, "result")) == 2)
        self.assertTrue(any(r["unit"] == 2 for r in soon.requests()))
        run.send_signal(signal.SIGINT)
        out = run.communicate(timeout=30)[0]
        self.assertEqual(run.returncode, 1, out)
        for sim, ok, failed in ((line, 2, 0), (soon, 1, 0), (bad, 0, 1)):
            self.assertRegex(out, r"%s +%d OK +%d FAILED" % (sim.link, ok, failed))
        writes = [r["unit"] for r in line.requests() if r["command"] == "write"]
        self.assertEqual(writes, [1, 1, 2, 2])
        self.assertEqual([r["unit"] for r in soon.requests() if r["command"] == "write"], [1, 1])
        self.assertEqual(line.stop(), PADDED)

    def test_silent_port_ends_after_wait(self):
        silent, bad = self.sim("silent", "--power-on-signal"), self.sim("bad", "--flip-write", "1")
        # The engine resends a block after 5 s: a short --wait must not end the port before.
        dropped = self.sim("dropped", "--drop-write", "1")
        # A probe answered after its time-out is heard, and not probed for again before.
        late = self.sim("late", "--delay", "1:130")
        started = time.monotonic()
        done = self.flash("--wait", "1", silent.link, bad.link, dropped.link, late.link)
        self.assertEqual(done.returncode, 4, done.stdout)  # no answer wins over a failed unit
        self.assertGreaterEqual(time.monotonic() - started, 1.0)
        self.assertRegex(done.stdout, "%s +NO ANSWER" % silent.link)
        self.assertRegex(done.stdout, "%s +FAILED" % bad.link)
        self.assertRegex(done.stdout, "%s +OK" % dropped.link)
        self.assertRegex(done.stdout, "%s +OK" % late.link)
        self.assertEqual([r["command"] for r in late.requests()][:2], ["crc", "write"])

    def test_line_that_does_not_answer_is_named(self):
        # A device that stays silent, and an adapter looped back: every request comes back.
        silent = self.sim("silent", "--power-on-signal")
        master, slave = os.openpty()
        loop = os.path.join(self.work, "loop")
        os.symlink(os.ttyname(slave), loop)

        def echo():
            try:
                while True:
                    os.write(master, os.read(master, 4096))
            except OSError:
                pass
        threading.Thread(target=echo, daemon=True).start()
        done = self.flash("--wait", "11", silent.link, loop)
        os.close(slave)
        os.close(master)
        self.assertEqual(done.returncode, 4, done.stdout + done.stderr)
        quiet, echoed = "no valid reply from the device for 10 s", "the port reads back the requests"
        for port, told in ((silent.link, [quiet]), (loop, [echoed, quiet])):
            warnings = self.events(port, "warning")
            self.assertEqual(len(warnings), len(told), warnings)
            for warning, words in zip(warnings, told):
                self.assertTrue(warning["text"].startswith(port + ": ") and words in warning["text"])
            self.assertGreaterEqual(warnings[-1]["quiet_ms"], 10000)
            result = self.events(port, "result")[0]
            self.assertGreaterEqual(result["quiet_ms"], 10000)
            for t in told:
                self.assertIn("%s: %s" % (port, t), done.stderr)
        self.assertGreater(self.events(loop, "warning")[0]["echoes"], 0)
        self.assertGreater(self.events(loop, "result")[0]["echoes"], 2)  # probe, blocks, query
        self.assertNotIn("echoes", self.events(silent.link, "result")[0])

    def test_ports_that_cannot_be_used(self):
        device = self.sim("device")
        plain = os.path.join(self.work, "plain")
        open(plain, "w").close()
        holder = os.open(device.link, os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(holder, fcntl.LOCK_EX)
        # Run on a terminal of its own, which is refused as a port by any name.
        master, slave = os.openpty()
        cases = [(device.link, "busy"), (plain, "not a serial port"), (self.work, "directory"),
                 (os.path.join(self.work, "missing"), "no such port"),
                 ("/dev/tty", "is the terminal quarv-flash runs in")]
        for port, message in cases:
            other = self.sim("other-" + message.split()[-1])
            done = self.flash("--wait=1", other.link, port, stdin=slave, start_new_session=True,
                              preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
            self.assertEqual(done.returncode, 3, port)
            self.assertIn(port, done.stderr)
            self.assertIn(message, done.stderr)
            self.assertEqual(other.requests(), [], "a port was flashed after all")
        for fd in (holder, master, slave):
            os.close(fd)

    def test_intel_hex_image_flashes_its_bytes(self):
        image = os.path.join(self.work, "standin.hex")
        subprocess.run(["objcopy", "-I", "binary", "-O", "ihex", "--change-addresses",
                        "0x08000000", IMAGE, image], check=True)
        device = self.sim("hex")
        done = self.flash(device.link, image=image)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        loaded = "%s: Intel HEX, 0x08000000-0x080007db, 2012 bytes (2048 padded), CRC-16/MODBUS 0x%04x" % (
            image, harness.crc16(PADDED))
        self.assertEqual(done.stdout.splitlines()[0], loaded)
        self.assertEqual([e["format"] for e in self.events(event="image")], ["Intel HEX"])
        self.assertEqual(device.stop(), PADDED)

    def test_lost_port_ends_its_job(self):
        device = self.sim("gone")
        image = os.path.join(self.work, "big.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(32768))
        run = subprocess.Popen([ARGS.flash, "--image", image, device.link],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.wait_for(lambda: any(r["command"] == "write" for r in device.requests()))
        device.process.kill()
        out, err = run.communicate(timeout=30)
        self.assertEqual(run.returncode, 3, out)
        self.assertIn("lost (%s)" % os.strerror(errno.EIO), err)

    def test_bad_options_and_images(self):
        device = self.sim("untouched")
        empty, port = os.path.join(self.work, "empty"), device.link
        open(empty, "w").close()
        docx = os.path.join(self.work, "notes.docx")
        with open(docx, "wb") as f:
            f.write(b"PK\x03\x04\x14\x00\x06\x00" + bytes(64))
        hex_text = os.path.join(self.work, "bad.hex")
        with open(hex_text, "w") as f:
            f.write(":020000040800F3\n:00000001FF\n")
        cases = [([], "--image FILE is required"), (["--image"], "needs a value"),
                 (["--image", IMAGE], "no PORT"), (["--bogus", port], "unknown option"),
                 (["--image", IMAGE, "--wait", "-1", port], "whole seconds"),
                 (["--image", IMAGE, "--wait", "1.5", port], "whole seconds"),
                 (["--image", empty, port], "empty"), (["--image", self.work, port], "directory"),
                 (["--image", os.path.join(self.work, "none"), port], "cannot read"),
                 (["--image", IMAGE, port, port], "same port twice"),
                 (["--image", IMAGE, "--log", self.work, port], "cannot write the log"),
                 (["--list", port], "--list takes only --json and --match"),
                 (["--image", IMAGE, "--match", "0403"], "VID:PID, VID:PID:SERIAL, serial=SERIAL"),
                 (["--image", IMAGE, "--match", "colour=red", port], "vid=VID"),
                 # Network names: only the two schemes, a host, a port of 1 to 65535, nothing more.
                 *[(["--image", IMAGE, port, url], "rfc2217://HOST:PORT or tcp://HOST:PORT")
                   for url in ("rfc2217://127.0.0.1", "tcp://127.0.0.1:0", "tcp://h:65536",
                               "rfc2217://[::1:2217", "telnet://h:23", "tcp://:2217",
                               "tcp://a b:1", "tcp://h:1/", "tcp://u@h:1", "tcp://[]:1",
                               "tcp://h:+1", "tcp://h:0x10", "tcp://-h:1")],
                 (["--image", IMAGE, "rfc2217://127.0.0.1:2217", "tcp://127.0.0.1:2217"],
                  "same port twice"),
                 (["--image", IMAGE, "--match", "0403:6001", "tcp://127.0.0.1:2217"],
                  "give network ports without --match"),
                 # Refused images: never sent as raw bytes, nothing endless read whole.
                 (["--image", hex_text, port], "line 1: checksum error"),
                 (["--image", README, port], "all printable text"),
                 (["--image", docx, port], "notes.docx is a ZIP archive, not firmware"),
                 (["--image", "/dev/zero", port], "larger than the largest image")]
        for args, message in cases:
            done = subprocess.run([ARGS.flash, *args], capture_output=True, text=True)
            self.assertEqual((done.returncode, message in done.stderr), (2, True), (args, done.stderr))
        self.assertEqual(device.requests(), [])

    def test_closed_outputs_change_nothing(self):
        # stdout and stderr to a closed pipe (as under `| head -1`), or closed at start (`>&-
        # 2>&-`, where the log would take descriptor 1): every job runs to its end, the log
        # stays JSON and the exit status is what the devices earned.
        read_end, broken = os.pipe()
        os.close(read_end)
        for name, popen in (("pipe", dict(stdout=broken, stderr=broken)),
                            ("closed", dict(preexec_fn=lambda: (os.close(1), os.close(2))))):
            with self.subTest(name):
                good, bad = self.sim(name + "-good"), self.sim(name + "-bad", "--flip-write", "1")
                done = self.flash(good.link, bad.link, capture_output=False, **popen)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(sorted((e["port"], e["text"]) for e in self.events(
                    event="result")), [(bad.link, "FAILED"), (good.link, "OK")])
                self.assertEqual(name == "pipe", "Broken pipe" in str(self.events(event="output")))
                self.assertEqual(good.stop(), PADDED)
                os.unlink(self.log)
        # What is asked for is the output itself: not written, not done.
        env = dict(os.environ, QUARV_FLASH_ROOT=self.usb_root({"ttyUSB0": ("0403", "6001", "S")}))
        open(os.path.join(self.work, "root", "dev", "ttyUSB0"), "w").close()
        for args in (["--help"], ["--version"], ["--list"], ["--list", "--json"]):
            self.assertEqual(subprocess.run([ARGS.flash, *args], stdout=broken, env=env).returncode,
                             1, args)
        os.close(broken)

    def test_log_that_cannot_be_written(self):
        # A disk that fills mid-run (a file-size limit here): told, the run goes on, and the log
        # keeps only whole lines.
        import resource
        device = self.sim("device")
        done = self.flash(device.link, preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_FSIZE, (3000, resource.RLIM_INFINITY)))
        self.assertEqual(done.returncode, 5, done.stdout + done.stderr)
        self.assertIn("cannot be written (%s)" % os.strerror(errno.EFBIG), done.stderr)
        self.assertIn("the log %s was not written whole" % self.log, done.stdout)
        self.assertTrue(self.events())  # each line read as JSON
        self.assertEqual(device.stop(), PADDED)

    def test_station_tells_a_new_board_from_the_last(self):
        # One line loses the verified unit's reset reply; on the next the unit is taken off
        # mid-write, and told so within the engine's reply time-out and one resend. Each next
        # board, answering after the silence, is a unit of its own. A lost reply to a block, a
        # line that loses every reply for 1.2 s, a block that takes 2.5 s to program (a sector
        # erased, deaf meanwhile): each is the same board, flashed once, OK.
        lost = self.sim("lost", "--app-after-reset", "--next-unit-ms", "4500",
                        "--lose-reset-reply", "1")
        pulled = self.sim("pulled", "--app-after-reset", "--next-unit-ms", "6500",
                          "--leave-at-write", "1:2")
        slow = [self.sim(name, "--app-after-reset", *fault) for name, fault in (
            ("dropped", ("--drop-write", "1")), ("muted", ("--mute-write", "2:1200")),
            ("erasing", ("--slow-write", "1:2500")))]
        run = self.station(lost.link, pulled.link, *(sim.link for sim in slow))
        self.wait_for(lambda: len(self.events(event="result")) >= 7, timeout_s=30)
        run.send_signal(signal.SIGINT)
        out = run.communicate(timeout=30)[0]
        self.assertEqual(run.returncode, 1, out)
        for sim, verdict, detail in ((lost, "OK", "reset not confirmed"),
                                     (pulled, "FAILED", "left before done")):
            self.assertEqual([(e["text"], e.get("detail")) for e in self.events(
                sim.link, "result")][:2], [(verdict, detail), ("OK", None)])
            self.assertEqual([(r["unit"], r["command"]) for r in sim.requests()
                              if r["command"] != "crc" and r["unit"] <= 2],
                             [(1, "write"), (1, "write")] + [(1, "reset")] * (sim == lost) +
                             [(2, "write"), (2, "write"), (2, "reset")])
        self.assertRegex(out, r"%s +2 OK +0 FAILED" % lost.link)
        for sim in slow:
            self.assertRegex(out, r"%s +1 OK +0 FAILED" % sim.link)
            self.assertEqual([e["text"] for e in self.events(sim.link, "result")], ["OK"])
            self.assertEqual(sim.stop(), PADDED)

    def test_station_unit_cut_short_keeps_its_result(self):
        for stop in (signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=stop):
                device = self.sim("slow-%d" % stop, "--program-ms", "250")
                run = self.station(device.link)
                self.wait_for(lambda: any(r["command"] == "write" for r in device.requests()))
                run.send_signal(stop)
                out = run.communicate(timeout=30)[0]
                self.assertEqual(run.returncode, 130, out)
                result = self.events(device.link, "result")
                self.assertEqual([(e["text"], e["blocks"]) for e in result], [("INTERRUPTED", 2)])
                self.assertIn(result[0]["block"], (1, 2))
                self.assertRegex(out, r"0 OK +0 FAILED +1 INTERRUPTED")
                self.assertIn("INTERRUPTED", [l for l in out.splitlines() if device.link in l][-1])

    def test_live_lines_fit_the_terminal(self):
        # Never wider than the terminal, as it is at each redraw; once a unit is done, the
        # waiting line says what comes next instead of that unit's figures.
        device, (master, slave) = self.sim("p", "--app-after-reset"), os.openpty()

        def redraw(columns, wanted):
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
            screen, deadline = b"", time.monotonic() + 15
            while time.monotonic() < deadline:
                screen += os.read(master, 4096)
                whole = re.split(rb"\x1b\[\d+A", screen)[2:-1]  # the first may predate the resize
                for lines in (re.sub(rb"\x1b\[[KJ]|\r", b"", w).split(b"\n") for w in whole):
                    self.assertTrue(all(len(line) < columns for line in lines), lines)
                if whole and wanted(whole[-1]):
                    return screen
            self.fail(screen[-200:])
        run = self.station(device.link, stdout=slave)
        waiting = redraw(60, lambda screen: b"next unit" in screen)
        self.assertNotIn(b"%", waiting.split(b"\x1b[1A")[-2])
        # Narrowed: a terminal that rewraps shows the 59 columns drawn before on two rows, and
        # both are gone over before the line is drawn again.
        self.assertIn(b"\x1b[2A\r\x1b[J", redraw(40, lambda screen: True))
        run.send_signal(signal.SIGINT)
        run.wait(timeout=30)
        os.close(slave)
        os.close(master)


def terminal_open(tty):
    """Whether any process has the terminal open (the simulator holds only the other end)."""
    for fd_dir in glob.glob("/proc/[0-9]*/fd"):
        try:
            if any(os.readlink(os.path.join(fd_dir, fd)) == tty for fd in os.listdir(fd_dir)):
                return True
        except OSError:
            continue
    return False


class WindowsConsoleTest(unittest.TestCase):
    def test_flashes_one_device_under_wine(self):
        prefix = harness.Prefix(ARGS.template)
        try:
            device = harness.Device(ARGS.sim, prefix, "com5")
            # The ports Wine has, COM5 among them, as lines and as JSON.
            for args, line in ((["--list"], "COM5"), (["--list", "--json"], '{"port":"COM5",')):
                listed = subprocess.run([prefix.wine, ARGS.w32, *args], env=prefix.env,
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual(listed.returncode, 0, listed.stderr)
                self.assertIn(line, [l[:len(line)] for l in listed.stdout.splitlines()])
            done = subprocess.run([prefix.wine, ARGS.w32, "--image", IMAGE, "COM5"], env=prefix.env,
                                  capture_output=True, timeout=120)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertEqual(device.stop()[:len(PADDED)], PADDED)
            # A port another program holds is listed still: here a station's, on a silent line.
            held = harness.Device(ARGS.sim, prefix, "com6", "--power-on-signal")
            station = subprocess.Popen([prefix.wine, ARGS.w32, "--image", IMAGE, "--station",
                                        "COM6"], env=prefix.env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 60
                while not terminal_open(held.tty):
                    self.assertLess(time.monotonic(), deadline, "the station never opened COM6")
                    time.sleep(0.1)
                listed = subprocess.run([prefix.wine, ARGS.w32, "--list"], env=prefix.env,
                                        capture_output=True, text=True, timeout=60)
                self.assertIn("COM6", [l[:4] for l in listed.stdout.splitlines()], listed.stdout)
            finally:
                station.kill()
                station.wait()
        finally:
            prefix.close()


if __name__ == "__main__":
    main(CliTest, WindowsConsoleTest)
