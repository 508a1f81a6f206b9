#!/usr/bin/env python3
"""Which Wine runs the Windows builds on this machine. Some kernels cannot run 32-bit programs
(no IA-32 emulation), and Debian's `wine` command then fails for every program, 64-bit ones
included, because it prefers the 32-bit loader. So each architecture's loader is named here, and
whether the 32-bit one starts is found by starting it, once per build tree and boot.

usage: wine_arch.py BUILD_ROOT             the line that says which Wine runs, and why
       wine_arch.py BUILD_ROOT --arch      win32 or win64 only
       wine_arch.py BUILD_ROOT --can-run ARCH
                                           exit 0 if ARCH's programs run here, else the reason
                                           on standard output and exit 77 (CTest's skip)
       wine_arch.py BUILD_ROOT --env ARCH  shell assignments of ARCH's loader and server
QUARV_WINE_ARCH=win64 forces the 64-bit path on any machine."""
import os
import subprocess
import sys

LOADERS = {"win32": "/usr/lib/wine/wine", "win64": "/usr/lib/wine/wine64"}
# Debian's wineserver script takes the 64-bit server where there is one, and that server
# serves 32-bit programs as well; the 32-bit server alone would fail where the loader fails.
WINESERVER = "/usr/lib/wine/wineserver"
PROBE_SECONDS = 20
SKIP = 77
CANNOT = "this machine cannot run 32-bit programs: "


def boot_id():
    try:
        with open("/proc/sys/kernel/random/boot_id") as f:
            return f.read().strip()
    except OSError:
        return "unknown"


def start_32bit_loader(loader=LOADERS["win32"], seconds=PROBE_SECONDS):
    """(True, version) when the 32-bit loader ran, else (False, why not)."""
    try:
        done = subprocess.run([loader, "--version"], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=seconds,
                              env=dict(os.environ, WINEDEBUG="-all"))
    except subprocess.TimeoutExpired:
        return False, "%s did not answer within %g s" % (loader, seconds)
    except OSError as error:  # ENOEXEC where the kernel has no 32-bit execution
        return False, "%s: %s" % (loader, error.strerror)
    words = (done.stdout + done.stderr).strip().splitlines()
    if done.returncode != 0 or not done.stdout.startswith("wine-"):
        return False, "%s --version exited with %d%s" % (
            loader, done.returncode, (": " + words[-1]) if words else "")
    return True, done.stdout.strip()


def probe(root, start=start_32bit_loader):
    """The 32-bit loader's answer, cached in ROOT: a kernel option decides it, so a new boot asks
    again. A cache that cannot be read or written only costs another start."""
    cache = os.path.join(root, "wine32-probe.txt")
    boot = boot_id()
    try:
        with open(cache) as f:
            cached_boot, verdict, reason = f.read().rstrip("\n").split("\t")
        if cached_boot == boot and verdict in ("runs", "cannot"):
            return verdict == "runs", reason
    except (OSError, ValueError):
        pass
    runs, reason = start()
    try:
        os.makedirs(root, exist_ok=True)
        temporary = "%s.%d" % (cache, os.getpid())
        with open(temporary, "w") as f:
            f.write("%s\t%s\t%s\n" % (boot, "runs" if runs else "cannot", reason))
        os.replace(temporary, cache)
    except OSError:
        pass
    return runs, reason


def forced():
    value = os.environ.get("QUARV_WINE_ARCH", "")
    if value not in ("", "win32", "win64"):
        sys.exit("QUARV_WINE_ARCH is %r: it takes win64 (or win32), or is left unset" % value)
    return value


def can_run(root, arch):
    """(True, "") or (False, the one-line reason)."""
    if arch == "win64":
        return True, ""
    if forced() == "win64":
        return False, "32-bit programs are not run: QUARV_WINE_ARCH=win64 forces the 64-bit path"
    runs, reason = probe(root)
    return (True, "") if runs else (False, CANNOT + reason)


def chosen(root):
    """(arch, the line that says so)."""
    if forced():
        return forced(), "Wine: %s, as QUARV_WINE_ARCH says" % forced()
    runs, reason = probe(root)
    if runs:
        return "win32", "Wine: win32 and win64 (the 32-bit loader runs: %s)" % reason
    return "win64", "Wine: win64 only, %s%s" % (CANNOT, reason)


def main(args):
    if not args or len(args) > 3:
        sys.exit(__doc__)
    root, rest = args[0], args[1:]
    if not rest:
        print(chosen(root)[1])
    elif rest == ["--arch"]:
        print(chosen(root)[0])
    elif len(rest) == 2 and rest[0] == "--can-run" and rest[1] in LOADERS:
        ok, reason = can_run(root, rest[1])
        if not ok:
            print(reason)
            return SKIP
    elif len(rest) == 2 and rest[0] == "--env" and rest[1] in LOADERS:
        print("WINELOADER=%s\nWINESERVER=%s" % (LOADERS[rest[1]], WINESERVER))
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
