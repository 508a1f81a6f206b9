"""The pieces an end-to-end run is made of: a private Wine prefix, simulated devices linked as
COM ports, the tool itself and the driver that presses its buttons. Shared by the tests, the
demo and the benchmark."""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

from wine_arch import LOADERS, WINESERVER

BLOCK = 1024
FLASH_BASE = 0x08000000


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def padded(image):
    size = max(1, (len(image) + BLOCK - 1) // BLOCK) * BLOCK
    return image + bytes(size - len(image))


class Prefix:
    """A copy of the template prefix with its own wineserver, kept up for the whole run."""

    def __init__(self, template, work_dir=None, registry=(), env=None):
        """registry: (key, value name, data) settings made before the server is kept up."""
        self.dir = os.path.abspath(tempfile.mkdtemp(prefix="quarv-e2e-", dir=work_dir))
        self.path = os.path.join(self.dir, "prefix")
        subprocess.run(["cp", "-a", template, self.path], check=True)
        shutil.rmtree(os.path.join(self.path, "wineserver"), ignore_errors=True)
        # The prefix names its architecture (cmake/setup-wine.sh), and only that architecture's
        # loader may run in it: Debian's `wine` would take the 32-bit one, runnable or not.
        with open(os.path.join(template, ".quarv-ready")) as marker:
            self.arch = marker.read().strip()
        self.wine = LOADERS[self.arch]
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all", WINESERVER=WINESERVER,
                        **(env or {}))
        if self.arch == "win64":
            self.env["WINELOADER"] = self.wine
        self.devices = []
        for key, name, data in registry:
            self.run_quietly([self.wine, "reg", "add", key, "/v", name, "/d", data, "/f"])
        if registry:  # graphics settings are read when the server and its desktop start
            self.stop_server()
        self.run_quietly([WINESERVER, "-p"])
        self.run_quietly([self.wine, "cmd", "/c", "exit"])
        # The server's start links com1 to /dev/ttyS0 and links it again when it is missing; a
        # directory in its place keeps it out of the list, as a port held by another program.
        self.held = os.path.join(self.dir, "held")
        os.makedirs(self.held)
        self.relink("com1", self.held)

    def run_quietly(self, args):
        subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)

    def stop_server(self):
        self.run_quietly([WINESERVER, "-k"])
        self.run_quietly([WINESERVER, "-w"])

    def port(self, name):
        return os.path.join(self.path, "dosdevices", name)

    def unlink(self, name):
        if os.path.lexists(self.port(name)):
            os.remove(self.port(name))

    def relink(self, name, target):
        self.unlink(name)
        os.symlink(target, self.port(name))

    def close(self):
        for device in self.devices:  # those a failed scenario left running
            if device.process.poll() is None:
                device.process.kill()
                device.process.wait()
        self.stop_server()
        shutil.rmtree(self.dir, ignore_errors=True)


class Device:
    """quarv-sim behind one COM port of a prefix."""

    def __init__(self, sim, prefix, name, *options):
        self.name = name
        self.log_path = os.path.join(prefix.dir, name + ".log")
        self.dump_path = os.path.join(prefix.dir, name + ".flash")
        self.link = prefix.port(name)
        self.process = subprocess.Popen(
            [sim, "--link", self.link, "--log", self.log_path, "--dump", self.dump_path,
             *options], stderr=subprocess.PIPE, text=True)
        prefix.devices.append(self)
        deadline = time.monotonic() + 10
        while not os.path.islink(self.link):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("quarv-sim did not come up: " + self.process.stderr.read())
            time.sleep(0.01)
        self.tty = os.readlink(self.link)  # the terminal the tool opens as this COM port
        self.exit_record = None

    def requests(self):
        """The requests logged so far."""
        with open(self.log_path) as log:
            return [entry for entry in map(json.loads, log) if "command" in entry]

    def power_on(self):
        self.process.send_signal(signal.SIGUSR1)

    def stop(self):
        """Ends the device; returns its flash. The exit record is kept in exit_record."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=10)
        if status != 0:
            raise RuntimeError("quarv-sim %s exited with %d: %s"
                               % (self.name, status, self.process.stderr.read()))
        with open(self.log_path) as log:
            self.exit_record = json.loads(log.read().splitlines()[-1])
        with open(self.dump_path, "rb") as dump:
            return dump.read()


def drive(prefix, driver, *args, check=True):
    """Runs one ui_driver command in the prefix; its output, or (status, output) unchecked."""
    done = subprocess.run([prefix.wine, driver, *args], env=prefix.env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120)
    text = done.stdout.decode("latin-1")
    if check and done.returncode != 0:
        raise AssertionError("driver %s failed: %s %s" % (
            " ".join(args), text, done.stderr.decode("latin-1")))
    return text if check else (done.returncode, text)


class Tool:
    """quarv-update.exe running in a prefix, its standard output in a file. Its standard error is
    a terminal, because Wine's Beep writes a BEL there only when it is one: beeps can be counted."""

    def __init__(self, prefix, exe, driver):
        self.prefix = prefix
        self.driver_exe = driver
        self.out_path = os.path.join(prefix.dir, "trace-%d.txt" % time.monotonic_ns())
        self.errors, terminal = os.openpty()
        os.set_blocking(self.errors, False)
        self.error_bytes = b""
        with open(self.out_path, "wb") as out:
            self.process = subprocess.Popen([prefix.wine, exe], env=prefix.env, stdout=out,
                                            stdin=subprocess.DEVNULL, stderr=terminal)
        os.close(terminal)
        self.drive("wait-window", "20000")

    def drive(self, *args, check=True):
        """Runs one driver command; returns its standard output as text."""
        return drive(self.prefix, self.driver_exe, *args, check=check)

    def wait_status(self, text, timeout_s):
        code, last = self.drive("wait-status", text, str(int(timeout_s * 1000)), check=False)
        if code != 0:
            raise AssertionError("status %r, not %r, after %g s" % (last.strip(), text, timeout_s))

    def trace(self):
        with open(self.out_path, "rb") as out:
            # The C runtime writes text mode: each line ends in CR LF on Windows.
            return out.read().decode("latin-1").replace("\r\n", "\n")

    def wait_exit(self, timeout_s=20):
        return self.process.wait(timeout=timeout_s)

    def stderr(self):
        """All the tool has written to its standard error so far."""
        try:
            while self.errors is not None and (chunk := os.read(self.errors, 4096)):
                self.error_bytes += chunk
        except (BlockingIOError, OSError):  # nothing more now, or the tool has ended
            pass
        return self.error_bytes

    def beeps(self):
        return self.stderr().count(b"\a")

    def cpu_seconds(self):
        """User and system time the tool's process has used so far."""
        with open("/proc/%d/stat" % self.process.pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def holds(self, path):
        """Whether the tool's process has path open (Wine keeps a descriptor of each open file
        handle in the process that owns it)."""
        fd_dir = "/proc/%d/fd" % self.process.pid
        for fd in os.listdir(fd_dir):
            try:
                if os.readlink(os.path.join(fd_dir, fd)) in (path, path + " (deleted)"):
                    return True
            except OSError:  # closed meanwhile
                pass
        return False

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.errors is not None:
            self.stderr()
            os.close(self.errors)
            self.errors = None


def c_hex(value):
    """printf's %#x: zero has no 0x prefix."""
    return "%#x" % value if value else "0"


def expected_update_trace(port_path, image, flash_before):
    """The trace of one undisturbed update, from the press to the reset reply."""
    image = padded(image)
    probe_crc = crc16(flash_before[:4])
    probe = bytes([4, 0x2B, 0xF6, 8, 0, 0, 0, 0, 0, 0, 4, probe_crc >> 8, probe_crc & 0xFF])
    probe += crc16(probe).to_bytes(2, "little")
    rx = ["RX:" + "".join(" %02x" % byte for byte in data) + "\n" for data in (probe * 2, probe)]
    local = crc16(image)
    lines = [" . Opening serial port %s at 115200 baud\n" % port_path, "CONTACTING...\n",
             "CONTACTING...\n", rx[0], "CONTACTING...\n", rx[1], "REMOTE DEVICE LINK ESTABLISHED\n"]
    lines += ["PROG ADDR %#x, LEN %#x, FROM %s... - SENT - - OK\n"
              % (FLASH_BASE + offset, BLOCK, c_hex(offset))
              for offset in range(0, len(image), BLOCK)]
    lines += ["Verifying address %#x, image size %#x bytes\n" % (FLASH_BASE, len(image)),
              "frame length   13 bytes sent\n", "Remote CRC %s\n" % c_hex(local),
              "Local  CRC %s\n" % c_hex(local), "CRCs match\n", "Resetting target\n",
              "frame length    5 bytes sent\n", "frame length    6 bytes received & OK\n"]
    return "".join(lines)


def start_trace(image):
    return ("Running on windows version: a00\n\nFlash Image Base 0x8000000\n"
            "Flash Image Size %#x bytes\n" % len(padded(image)))


def summarise(requests):
    """The requests as (command, address, length) triples, in order."""
    return [(r["command"], r["address"], r["length"]) for r in requests]


def expected_requests(image):
    size = len(padded(image))
    return ([("crc", FLASH_BASE, 4)] * 3 +
            [("write", FLASH_BASE + offset, BLOCK) for offset in range(0, size, BLOCK)] +
            [("crc", FLASH_BASE, size), ("reset", 0, 0)])
