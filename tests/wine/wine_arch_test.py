#!/usr/bin/env python3
"""Which Wine runs the Windows builds: the 32-bit loader's answer however it fails, the cache that
keeps it for one boot, and QUARV_WINE_ARCH."""
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "winerig"))
import wine_arch  # noqa: E402


class LoaderProbeTest(unittest.TestCase):
    def loader(self, body, mode=0o755):
        path = os.path.join(self.dir.name, "loader%d" % len(os.listdir(self.dir.name)))
        with open(path, "wb") as f:
            f.write(body)
        os.chmod(path, mode)
        return path

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def test_each_way_the_loader_can_fail_is_a_reason(self):
        elf32 = b"\x7fELF\x01\x01\x01" + bytes(60)  # what a kernel without IA-32 cannot execute
        cases = [  # loader file, runs, words in the reason
            (b"#!/bin/sh\necho 'wine-8.0 (Debian)'\n", True, "wine-8.0"),
            (elf32, False, "Exec format error"),
            (b"#!/bin/sh\nexec sleep 30\n", False, "did not answer within 0.5 s"),
            (b"#!/bin/sh\necho 'cannot map' >&2; exit 3\n", False, "exited with 3: cannot map"),
            (b"#!/bin/sh\necho 'not wine'\n", False, "exited with 0: not wine"),
            (None, False, "No such file or directory"),
        ]
        for body, runs, words in cases:
            path = self.loader(body) if body else os.path.join(self.dir.name, "missing")
            got_runs, reason = wine_arch.start_32bit_loader(path, seconds=0.5)
            self.assertEqual((got_runs, words in reason), (runs, True), (body, reason))

    def test_the_answer_is_kept_for_one_boot(self):
        starts = []
        start = lambda: starts.append(1) or (False, "Exec format error")  # noqa: E731
        root = os.path.join(self.dir.name, "build")
        for boot in ("boot-a", "boot-a", "boot-b"):
            with mock.patch.object(wine_arch, "boot_id", return_value=boot):
                self.assertEqual(wine_arch.probe(root, start), (False, "Exec format error"))
        self.assertEqual(len(starts), 2)
        with open(os.path.join(root, "wine32-probe.txt"), "w") as f:
            f.write("garbage")
        with mock.patch.object(wine_arch, "boot_id", return_value="boot-b"):
            wine_arch.probe(root, start)
        self.assertEqual(len(starts), 3)

    def test_forcing_the_64_bit_path(self):
        runs = mock.patch.object(wine_arch, "probe", return_value=(True, "wine-8.0"))
        cannot = mock.patch.object(wine_arch, "probe", return_value=(False, "Exec format error"))
        cases = [  # QUARV_WINE_ARCH, probe, chosen, can win32 run
            ("", runs, "win32", True),
            ("", cannot, "win64", False),
            ("win64", runs, "win64", False),
        ]
        for value, probe, arch, win32_runs in cases:
            with probe, mock.patch.dict(os.environ, {"QUARV_WINE_ARCH": value}):
                self.assertEqual(wine_arch.chosen("build")[0], arch)
                ok, reason = wine_arch.can_run("build", "win32")
                self.assertEqual(ok, win32_runs)
                self.assertEqual(wine_arch.can_run("build", "win64"), (True, ""))
                if not ok:
                    self.assertRegex(reason, "^(this machine cannot run 32-bit programs|32-bit "
                                             "programs are not run): ")
        with mock.patch.dict(os.environ, {"QUARV_WINE_ARCH": "x86"}):
            self.assertRaises(SystemExit, wine_arch.chosen, "build")


if __name__ == "__main__":
    unittest.main()
