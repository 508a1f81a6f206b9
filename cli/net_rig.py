"""Debian's ser2net on loopback, serving quarv-sim devices on pseudo-terminals over RFC 2217 or raw
TCP, for quarv-flash's network tests and its bench. Each server listens on a port of its own,
found free at start (several tests and benches may run at once)."""
import os
import signal
import socket
import subprocess
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Ser2net:
    """One ser2net process; connections is a list of (device link, "rfc2217" or "tcp", options),
    options a dict of ser2net's connection options beside kickolduser. urls[i] names connection i."""

    def __init__(self, work, connections, name="ser2net"):
        self.config = os.path.join(work, name + ".yaml")
        for _attempt in range(5):
            self.ports = [free_port() for _ in connections]
            with open(self.config, "w") as f:
                for i, ((link, kind, options), port) in enumerate(zip(connections, self.ports)):
                    accepter = ("telnet(rfc2217),tcp" if kind == "rfc2217" else "tcp")
                    lines = ["connection: &c%d" % i,
                             "    accepter: %s,127.0.0.1,%d" % (accepter, port),
                             "    enable: on", "    options:", "      kickolduser: true"]
                    lines += ["      %s: %s" % item for item in options.items()]
                    lines.append("    connector: serialdev,%s,115200e81,local"
                                 % os.path.realpath(link))
                    f.write("\n".join(lines) + "\n")
            self.process = subprocess.Popen(["ser2net", "-n", "-d", "-c", self.config],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self.listening():
                break
            self.stop()
        else:
            raise RuntimeError("ser2net did not start")
        self.urls = ["%s://127.0.0.1:%d" % (kind, port)
                     for (_, kind, _), port in zip(connections, self.ports)]

    def restart(self):
        """The same connections on the same ports again, after stop."""
        self.process = subprocess.Popen(["ser2net", "-n", "-d", "-c", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not self.listening():
            raise RuntimeError("ser2net did not start again")

    def listening(self):
        deadline = time.monotonic() + 5
        waiting = set(self.ports)
        while waiting and time.monotonic() < deadline and self.process.poll() is None:
            for port in list(waiting):
                with socket.socket() as probe:
                    if probe.connect_ex(("127.0.0.1", port)) == 0:
                        waiting.discard(port)
            time.sleep(0.02)
        return not waiting

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=10)
