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


def listening_ports():
    """The local ports in LISTEN state (0A), as the kernel's TCP tables give them, in hex."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for row in f.readlines()[1:]:
                local, state = row.split()[1], row.split()[3]
                if state == "0A":
                    found.add(local.rsplit(":", 1)[1])
    return found


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
        """Whether every port listens, read from the kernel's socket table: a connection of the
        rig's own would be a client to ser2net, and under kickolduser it may take the port from
        the client under test."""
        deadline = time.monotonic() + 5
        wanted = {"%04X" % port for port in self.ports}
        while time.monotonic() < deadline and self.process.poll() is None:
            if wanted <= listening_ports():
                return True
            time.sleep(0.02)
        return False

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=10)
