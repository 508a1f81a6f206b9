#!/usr/bin/env python3
"""quarv-stamp against the build: the test firmware in every format stamped onto the shipped
updater must list, through windres, exactly the resources of the updater the build makes from
objcopy's raw bytes of it; the PE headers must agree with the file; nothing of the old image may
remain; stamping twice equals stamping once; refused templates leave --out untouched; the Windows
build, under Wine, writes the same bytes. Leaves stamped.exe in --work for the e2e run."""
import argparse
import os
import shutil
import struct
import subprocess
import sys

FAILURES = []
SKIP = 77  # what cmake/wine-run.sh exits with where the architecture cannot run


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        FAILURES.append(what)


def listing(windres, exe):
    return subprocess.run([windres, "-J", "coff", "-i", exe, "-O", "rc"], capture_output=True,
                          text=True, check=True).stdout


def stamp(args, image, out, template=None, tool=None):
    command = [tool or args.stamp, "--image", image, "--out", out]
    if template:
        command += ["--template", template]
    return subprocess.run(command, capture_output=True, text=True, cwd=args.work)


def directories_at(data, opt):
    """PE32+ (the 64-bit twin) has its data directories 16 bytes further than PE32."""
    return opt + 96 + (16 if data[opt:opt + 2] == b"\x0b\x02" else 0)


def pe_problems(data):
    """Where the headers disagree with the file: sections, image size, directories, checksum."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    opt = pe + 24
    section_alignment, file_alignment = struct.unpack_from("<II", data, opt + 32)
    image_size, = struct.unpack_from("<I", data, opt + 56)
    checksum_at = opt + 64
    directories = [struct.unpack_from("<II", data, directories_at(data, opt) + 8 * i)
                   for i in range(16)]
    problems, end_rva, end_raw = [], 0, 0
    for i in range(count):
        name, vsize, rva, raw_size, raw_at = struct.unpack_from("<8sIIII", data, opt + optional_size + 40 * i)
        if rva < end_rva or raw_at and raw_at < end_raw or raw_size % file_alignment:
            problems.append("section %s overlaps or is misaligned" % name)
        end_rva = rva + -(-vsize // section_alignment) * section_alignment
        end_raw = raw_at + raw_size if raw_size else end_raw
        if name.rstrip(b"\0") == b".rsrc" and directories[2] != (rva, vsize):
            problems.append("resource directory %r is not .rsrc %r" % (directories[2], (rva, vsize)))
        if name.rstrip(b"\0") == b".reloc" and directories[5][0] != rva:
            problems.append("relocation directory is not .reloc")
    if image_size != end_rva or end_raw != len(data):
        problems.append("image size or file size does not match the sections")
    words = data[:checksum_at] + b"\0\0\0\0" + data[checksum_at + 4:]
    total = 0
    for (word,) in struct.iter_unpack("<H", words + b"\0" * (len(words) % 2)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    if struct.unpack_from("<I", data, checksum_at)[0] != total + len(data):
        problems.append("checksum")
    return problems


def main(args):
    for name, value in vars(args).items():
        if name not in ("windres", "arch"):
            setattr(args, name, os.path.abspath(value))
    os.makedirs(args.work, exist_ok=True)
    read = lambda path: open(path, "rb").read()  # noqa: E731
    work = lambda name: os.path.join(args.work, name)  # noqa: E731
    wanted = listing(args.windres, args.oracle)
    old = read(args.old_image)
    oracle = read(args.oracle)
    for suffix in ("elf", "hex", "srec", "bin"):
        out = work("stamped-%s.exe" % suffix)
        done = stamp(args, args.firmware + "." + suffix, out, args.template)
        check(done.returncode == 0, "stamps the %s firmware: %s" % (suffix, done.stderr.strip()))
        if done.returncode:
            continue
        check(listing(args.windres, out) == wanted, suffix + ": windres lists the build's resources")
        data = read(out)
        check(pe_problems(data) == [], suffix + ": PE headers agree %s" % pe_problems(data))
        left = [at for at in range(0, len(old) - 31, 16)
                if old[at:at + 32] in data and old[at:at + 32] not in oracle]
        check(left == [], suffix + ": nothing of the old image is left %s" % left[:4])

    # A larger image in between: the file grows, then shrinks back to stamping once.
    big = work("big.bin")
    with open(big, "wb") as f:
        f.write(bytes([1, 2, 3]) + os.urandom(70000))
    stamp(args, big, work("a.exe"), args.template)
    stamp(args, args.firmware + ".bin", work("ab.exe"), work("a.exe"))
    once = read(work("stamped-bin.exe"))
    check(len(read(work("a.exe"))) > len(once) + 65536 and pe_problems(read(work("a.exe"))) == [],
          "the file grows with the image, its headers with it")
    check(read(work("ab.exe")) == once, "stamping A then B gives the file B alone gives")
    shutil.copy(work("stamped-elf.exe"), work("stamped.exe"))
    stamp(args, args.old_image, work("own.exe"), args.template)
    check(read(work("own.exe")) == read(args.template),
          "the build's own image stamped onto its exe gives that exe, byte for byte")

    # Refusals: exit 2 and --out untouched.
    template = read(args.template)
    pe = struct.unpack_from("<I", template, 0x3C)[0]
    def patched(name, at, value):  # noqa: E306
        data = bytearray(template)
        data[at:at + len(value)] = value
        with open(work(name), "wb") as f:
            f.write(data)
        return work(name)
    if not os.path.lexists(work("link.exe")):
        os.symlink(args.template, work("link.exe"))
    empty, kept, fw = work("empty.hex"), work("kept.exe"), args.firmware + ".bin"
    open(empty, "w").close()
    cases = [  # template, image, out, message
        (fw, fw, kept, "not a Windows executable"),
        (args.stamp_w32, fw, kept, "not the Quarv updater: it has no resource section"),
        (patched("mixed.exe", pe + 24, b"\x0b\x03"), fw, kept, "not a Windows executable of"),
        (patched("signed.exe", directories_at(template, pe + 24) + 32, b"\0\x10\0\0\0\x02\0\0"),
         fw, kept,
         "signed: stamping would break its signature"),
        (patched("dll.exe", pe + 22, b"\x0e\x23"), fw, kept, "a library"),
        (args.template, empty, kept, "is empty"),
        (args.template, fw, work("link.exe"), "is the template itself"),
    ]
    for template_path, image, out, message in cases:
        with open(kept, "wb") as f:
            f.write(b"kept")
        before = read(out)
        done = stamp(args, image, out, template_path)
        check(done.returncode == 2 and message in done.stderr and read(out) == before and
              not os.path.exists(out + ".quarv-stamp-tmp"),
              "refused, output untouched: %s (%s)" % (message, done.stderr.strip()))

    # The Windows build writes the same file.
    shutil.copy(args.template, work("template.exe"))
    shutil.copy(args.firmware + ".srec", work("oracle_fw.srec"))
    done = subprocess.run([args.wine_run, args.arch, args.stamp_w32, "--image", "oracle_fw.srec", "--out",
                           "w32.exe", "--template", "template.exe"], capture_output=True,
                          cwd=args.work)
    if done.returncode == SKIP:  # this machine cannot run the architecture: said, not passed
        print("%d failure(s); skipped: quarv-stamp.exe under Wine: %s"
              % (len(FAILURES), done.stdout.decode().strip()))
        return 1 if FAILURES else SKIP
    same = done.returncode == 0 and read(work("w32.exe")) == read(work("stamped-srec.exe"))
    check(same, "quarv-stamp.exe under Wine writes the same bytes" +
          ("" if same else ": %r" % done.stderr[-300:]))
    print("%d failure(s)" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ("stamp", "stamp-w32", "wine-run", "arch", "template", "oracle", "firmware", "old-image",
                 "windres", "work"):
        parser.add_argument("--" + name, required=True)
    sys.exit(main(parser.parse_args()))
