#!/usr/bin/env python3
"""quarv-flash through serial servers on loopback: Debian's ser2net with quarv-sim devices behind
it, and peers of the test's own for what ser2net will not do. With --w32, the Windows console
build once under Wine through ser2net. Usage: cli_net_test.py --flash EXE --sim SIM [--w32 EXE
--template PREFIX]"""
import errno
import json
import os
import random
import select
import signal
import socket
import subprocess
import threading
import time
import tty
import unittest

from cli_base import ARGS, IMAGE, PADDED, CliBase, harness, main

from net_rig import Ser2net

IAC, SB, SE, NOP, WILL, WONT, DO, DONT = 255, 250, 240, 241, 251, 252, 253, 254
COM_PORT = 44
# What quarv-flash asks of a server: DTR off, RTS off, 115200 baud, 8 bits, even, 1 stop, no flow.
SETTINGS = [(5, b"\x09"), (5, b"\x0c"), (1, (115200).to_bytes(4, "big")), (2, b"\x08"),
            (3, b"\x03"), (4, b"\x01"), (5, b"\x01")]


class Peer(threading.Thread):
    """A serial server between one client and a quarv-sim device, with a fault (mode): "" none,
    "odd" answers parity none, "mute" never answers the line settings, "deaf" never answers an
    option, "split" sends every byte in a
    segment of its own, "chatter" puts commands between reply bytes, "close" closes mid-frame,
    "hang" goes silent mid-update without closing, "flood" sends commands and bytes without end
    mid-update, "babble" from the moment the line is set.
    It records the client's COM port commands, and its line data after Telnet is undone."""

    def __init__(self, device, mode="", host="127.0.0.1"):
        super().__init__(daemon=True)
        six = ":" in host
        self.listener = socket.create_server((host, 0), family=socket.AF_INET6 if six else
                                             socket.AF_INET)
        self.url = "rfc2217://%s:%d" % ("[%s]" % host if six else host,
                                        self.listener.getsockname()[1])
        self.device, self.mode, self.commands, self.data = device, mode, [], bytearray()
        self.options = []
        self.start()

    def send(self, client, raw, reply=False):
        """raw to the client: a reply's bytes doubled where 0xFF; split a byte (or an escaped
        0xFF) to a segment ("split", "chatter"), with commands between a reply's bytes
        ("chatter")."""
        pieces = [bytes([b]) * (1 + (b == IAC and reply)) for b in raw]
        if self.mode not in ("split", "chatter"):
            return client.sendall(b"".join(pieces))
        for piece in pieces:
            for i in range(0, len(piece), 1 if self.mode == "split" else 2):
                client.sendall(piece[i:i + 2])
            if self.mode == "chatter" and reply:
                client.sendall(bytes([IAC, NOP, IAC, SB, COM_PORT, 107, 0x30, IAC, SE]))
            time.sleep(0.0003)

    def client_bytes(self, client, raw, state, fd):
        for byte in raw:
            if state["sub"] is not None:
                if state["iac"] and byte == SE:
                    sub, state["sub"], state["iac"] = state["sub"], None, False
                    if sub[:1] == bytes([COM_PORT]) and len(sub) > 1:
                        self.commands.append((sub[1], bytes(sub[2:])))
                        self.answer(client, sub[1], bytes(sub[2:]))
                elif state["iac"] or byte != IAC:
                    state["sub"].append(byte)
                    state["iac"] = False
                else:
                    state["iac"] = True
            elif state["verb"]:
                self.options.append((state["verb"], byte))
                state["verb"] = 0
            elif state["iac"]:
                state["iac"] = False
                if byte == IAC:
                    self.data.append(byte)
                    os.write(fd, bytes([byte]))
                elif byte == SB:
                    state["sub"] = bytearray()
                elif byte >= WILL:
                    state["verb"] = byte
            elif byte == IAC:
                state["iac"] = True
            else:
                self.data.append(byte)
                os.write(fd, bytes([byte]))

    def answer(self, client, code, value):
        if self.mode == "mute" or (code == 5 and value[0] in (9, 12)):  # no modem lines
            return
        if code == 3 and self.mode == "odd":
            value = b"\x01"
        self.send(client, bytes([IAC, SB, COM_PORT, code + 100]) + value.replace(b"\xff", b"\xff\xff")
                  + bytes([IAC, SE]))

    def run(self):
        client, _ = self.listener.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        fd = os.open(self.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(fd)
        if self.mode != "deaf":
            self.send(client, bytes([IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3,
                                     IAC, DO, COM_PORT, IAC, WILL, 1]))
        state = {"sub": None, "iac": False, "verb": 0}
        try:
            while True:
                if self.mode in ("close", "hang", "flood") and len(self.data) > 1500:
                    break
                if self.mode == "babble" and len(self.commands) >= len(SETTINGS):
                    break
                ready = select.select([client, fd], [], [], 0.5)[0]
                if client in ready:
                    raw = client.recv(4096)
                    if not raw:
                        return
                    self.client_bytes(client, raw, state, fd)
                if fd in ready:
                    reply = os.read(fd, 4096)
                    self.send(client, reply, True)
            if self.mode == "close":
                client.sendall(b"\x01\x02\x03")  # a reply's first bytes, then the end
                client.close()
            elif self.mode in ("flood", "babble"):
                noise = random.Random(1).randbytes(4096)
                while True:
                    client.sendall(bytes([IAC, NOP, IAC, SB, COM_PORT, 106, 0]) * 100 + noise)
            else:
                time.sleep(60)  # hang: open, silent
        except OSError:
            pass
        finally:
            os.close(fd)


class NetTest(CliBase):
    def test_updates_through_ser2net(self):
        # Through one server: two devices, one with a flipped bit; through a second: one over
        # RFC 2217 with ser2net's default chardelay, one over raw TCP; a local port beside them.
        good, bad, slow, raw = (self.sim("good"), self.sim("bad", "--flip-write", "2:5"),
                                self.sim("slow"), self.sim("raw"))
        one = Ser2net(self.work, [(good.link, "rfc2217", {"chardelay": "false"}),
                                  (bad.link, "rfc2217", {"chardelay": "false"})], "one")
        two = Ser2net(self.work, [(slow.link, "rfc2217", {}), (raw.link, "tcp", {})], "two")
        local = self.sim("local")
        try:
            done = self.flash(*one.urls, local.link, *two.urls)
        finally:
            one.stop()
            two.stop()
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        crc = "CRC 0x%04x" % harness.crc16(PADDED)
        summary = {line.split()[0]: line.split()[1] for line in done.stdout.splitlines()
                   if crc in line}
        self.assertEqual(summary, {one.urls[0]: "OK", one.urls[1]: "FAILED", two.urls[0]: "OK",
                                   two.urls[1]: "OK", local.link: "OK"})
        # ser2net's pseudo-terminals have no modem lines: said, and used all the same.
        notes = [e["text"] for e in self.events(event="trace") if e["port"] is None]
        self.assertIn(one.urls[0] + ": line set to 115200 baud 8E1, no flow control", notes)
        self.assertTrue(any(one.urls[0] + ": the server did not answer DTR and RTS" in n
                            for n in notes), notes)
        self.assertFalse(any(two.urls[1] in n for n in notes))  # raw TCP sets nothing
        for sim in (good, slow, raw, local):
            self.assertEqual(sim.stop(), PADDED)
        self.assertNotEqual(bad.stop(), PADDED)

    def test_settings_and_telnet_through_peers(self):
        # Every 0xFF of this image is doubled on the way out and undone by the peer; replies come
        # split byte by byte (from an IPv6 address), or with commands between their bytes.
        image = os.path.join(self.work, "ff.bin")
        with open(image, "wb") as f:
            f.write(bytes([0xff, 0x00, 0xff, 0xff]) * 512)
        split, chatter = self.sim("split"), self.sim("chatter")
        peers = [Peer(split.link, "split", "::1"), Peer(chatter.link, "chatter")]
        done = self.flash(*[p.url for p in peers], image=image)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        with open(image, "rb") as f:
            written = harness.padded(f.read())
        for sim, peer in ((split, peers[0]), (chatter, peers[1])):
            self.assertEqual(sim.stop()[:len(written)], written)
            self.assertEqual(peer.commands[:len(SETTINGS)], SETTINGS)
            self.assertIn((12, b"\x03"), peer.commands)  # the engine's purge, and at connect
            self.assertTrue({(WILL, 0), (DO, 0), (WILL, 3), (DO, 3), (WILL, COM_PORT),
                             (DONT, 1)} <= set(peer.options), peer.options)

    def test_servers_refused(self):
        # Each refused with the reason before a byte reaches its device; all run at once.
        closed = free_port_closed()
        backlogged = socket.create_server(("127.0.0.1", 0), backlog=0)
        full = [socket.socket() for _ in range(3)]  # its queue full: a connect is never answered
        for client in full:
            client.setblocking(False)
            client.connect_ex(backlogged.getsockname())
        cases = [("odd", 2, "answered 115200 baud, 8 data bits, parity none (1), stop bits 1"),
                 ("mute", 3, "the server did not answer the line settings within 10 s"),
                 ("deaf", 3, "the server did not agree to COM port control (RFC 2217) within 10 s"),
                 ("rfc2217://127.0.0.1:%d" % closed, 3,
                  "cannot connect to 127.0.0.1 port %d (%s)" % (closed, os.strerror(errno.ECONNREFUSED))),
                 ("tcp://nosuch.invalid:2217", 3, "unknown host nosuch.invalid"),
                 ("tcp://127.0.0.1:%d" % backlogged.getsockname()[1], 3,
                  "no answer from 127.0.0.1 port %d within 2 s" % backlogged.getsockname()[1])]
        runs = []
        for mode, status, message in cases:
            device = self.sim("refused-%d" % len(runs))
            url = mode if "://" in mode else Peer(device.link, mode).url
            runs.append((mode, status, message, device, time.monotonic(), subprocess.Popen(
                [ARGS.flash, "--image", IMAGE, "--wait", "2", "--log", "%s.log" % device.link, url],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)))
        for mode, status, message, device, started, run in runs:
            with self.subTest(mode):
                err = run.communicate(timeout=30)[1]
                self.assertLess(time.monotonic() - started, 13)
                self.assertEqual(run.returncode, status, err)
                self.assertIn(message, err)
                self.assertIn("nothing was flashed", err)
                self.assertEqual(device.requests(), [])
        for client in full + [backlogged]:
            client.close()

    def test_stopped_while_connecting(self):
        # Ctrl-C while a server is still being set up, or connected to, ends the run at once:
        # interrupted, the log whole, nothing sent to the device.
        backlogged = socket.create_server(("127.0.0.1", 0), backlog=0)
        full = [socket.socket() for _ in range(3)]
        for client in full:
            client.setblocking(False)
            client.connect_ex(backlogged.getsockname())
        cases = [("mute", signal.SIGINT), ("unanswered", signal.SIGTERM)]
        for mode, sent in cases:
            with self.subTest(mode):
                device = self.sim("stopped-%s" % mode)
                url = (Peer(device.link, mode).url if mode == "mute"
                       else "tcp://127.0.0.1:%d" % backlogged.getsockname()[1])
                log = "%s.log" % device.link
                run = subprocess.Popen([ARGS.flash, "--image", IMAGE, "--log", log, url],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                time.sleep(1.5)
                run.send_signal(sent)
                stopped = time.monotonic()
                err = run.communicate(timeout=15)[1]
                self.assertLess(time.monotonic() - stopped, 1.5)
                self.assertEqual(run.returncode, 130, err)
                self.assertIn("stopped before every port was open: nothing was flashed", err)
                with open(log) as f:
                    events = [json.loads(line)["event"] for line in f]
                self.assertEqual(events[-1], "error")
                self.assertEqual(device.requests(), [])
        for client in full + [backlogged]:
            client.close()

    def test_connections_lost_or_silent(self):
        # One closed mid-frame, one gone silent without a close, one flooding mid-update and one
        # from the start: none OK, each ended under --wait. A stopped ser2net, and one that gives the port to another client
        # (kickolduser), end their updates as a pulled adapter would.
        big = os.path.join(self.work, "big.bin")
        with open(big, "wb") as f:
            f.write(os.urandom(16384))
        sims = [self.sim(mode) for mode in ("close", "hang", "flood", "babble", "stopped",
                                            "kicked")]
        peers = [Peer(sim.link, os.path.basename(sim.link)) for sim in sims[:4]]
        stopped, kicking = (Ser2net(self.work, [(sim.link, "rfc2217", {"chardelay": "false"})],
                                    os.path.basename(sim.link)) for sim in sims[4:])
        run = subprocess.Popen([ARGS.flash, "--image", big, "--log", self.log, "--wait", "1",
                                *[p.url for p in peers], *stopped.urls, *kicking.urls],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for sim in sims[4:]:
            self.wait_for(lambda: any(r["command"] == "write" for r in sim.requests()))
        stopped.stop()
        other = socket.create_connection(("127.0.0.1", kicking.ports[0]))
        out, err = run.communicate(timeout=60)
        other.close()
        kicking.stop()
        self.assertEqual(run.returncode, 3, out + err)
        verdicts = {e["port"]: (e["text"], e.get("detail")) for e in self.events(event="result")}
        lost = ("PORT LOST", "connection lost")
        # Noise read at some alignment may hold a well-formed reply; then the verify fails it.
        for flooding in peers[2:4]:
            self.assertIn(verdicts.pop(flooding.url), [("NO ANSWER", None), ("FAILED", None)])
        self.assertEqual(verdicts, {peers[0].url: lost, peers[1].url: ("NO ANSWER", None),
                                    stopped.urls[0]: lost, kicking.urls[0]: lost})
        for url in stopped.urls + kicking.urls:
            self.assertIn("%s was lost (connection lost: the server closed it, or gave the port to "
                          "another client" % url, err)

    def test_station_connects_again(self):
        # A station's unit through ser2net; the server goes away and comes back on the same port:
        # the next unit is flashed on the same tally.
        device = self.sim("unit", "--app-after-reset", "--next-unit-ms", "1500")
        server = Ser2net(self.work, [(device.link, "rfc2217", {"chardelay": "false"})])
        run = self.station(server.urls[0])
        self.wait_for(lambda: len(self.events(event="result")) == 1)
        server.stop()
        self.wait_for(lambda: self.events(event="removed"))
        server.restart()
        self.wait_for(lambda: len(self.events(event="result")) == 2, timeout_s=30)
        run.send_signal(signal.SIGINT)
        out = run.communicate(timeout=30)[0]
        self.assertEqual(run.returncode, 0, out)
        self.assertEqual([e["text"] for e in self.events(event="result")], ["OK", "OK"])
        self.assertRegex(out, r"%s +2 OK +0 FAILED" % server.urls[0])
        self.assertTrue(self.events(event="connected"))
        server.stop()

def free_port_closed():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class WindowsNetTest(CliBase):
    def test_flashes_through_ser2net_under_wine(self):
        # Winsock: two devices through ser2net over RFC 2217 and raw TCP in one run; then a port
        # where nothing listens, refused in the system's words.
        prefix = harness.Prefix(ARGS.template)
        devices = [self.sim("wine-rfc2217"), self.sim("wine-tcp")]
        server = Ser2net(self.work, [(devices[0].link, "rfc2217", {"chardelay": "false"}),
                                     (devices[1].link, "tcp", {"chardelay": "false"})])
        closed = free_port_closed()
        try:
            refused = b"cannot connect to 127.0.0.1 port %d (" % closed
            for urls, status, said in ((server.urls, 0, []),
                                       (["tcp://127.0.0.1:%d" % closed], 3,
                                        [refused, b"error 10061)"])):
                done = subprocess.run([prefix.wine, ARGS.w32, "--image", IMAGE, *urls],
                                      env=prefix.env, capture_output=True, timeout=120)
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                for words in said:
                    self.assertIn(words, done.stderr)
            for device in devices:
                self.assertEqual(device.stop(), PADDED)
        finally:
            server.stop()
            prefix.close()


if __name__ == "__main__":
    main(NetTest, WindowsNetTest)
