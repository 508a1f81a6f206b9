#!/usr/bin/env python3
"""quarv-stamp against the build: the test firmware in every format stamped onto the shipped
updater must list, through windres, exactly the resources of the updater the build makes from
objcopy's raw bytes of it; the PE headers must agree with the file; nothing of the old image may
remain; stamping twice equals stamping once; a signed template stamps as the unsigned one;
refused templates leave --out untouched; the Windows build, under Wine, writes the same bytes.
Leaves stamped.exe, signed by a throw-away certificate, in --work for the e2e run."""
import argparse
import glob
import os
import random
import resource
import stat
import shutil
import struct
import subprocess
import sys
import time

FAILURES = []
SKIP = 77  # what cmake/wine-run.sh exits with where the architecture cannot run
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


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


def shared_directories(template):
    """The template with its resource tree made of four levels of 15 entries that share one
    directory each and, at the bottom, one data entry holding the whole section: 50,625 leaves
    from a few hundred bytes."""
    data = bytearray(template)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    for i in range(count):
        name, vsize, rva, raw_size, raw_at = struct.unpack_from(
            "<8sIIII", data, pe + 24 + optional_size + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            break
    for level in range(4):
        at = raw_at + 136 * level
        struct.pack_into("<IIIHH", data, at, 0, 0, 0, 0, 15)
        for k in range(15):
            struct.pack_into("<II", data, at + 16 + 8 * k, k + 1,
                             136 * (level + 1) | (0x80000000 if level < 3 else 0))
    struct.pack_into("<IIII", data, raw_at + 544, rva, min(vsize, raw_size), 0, 0)
    return bytes(data)


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


def signing(args, work, read):
    """A throw-away CA's code-signing certificate: the template signed by release/sign.sh stamps
    as the unsigned one does, and says the copy is unsigned; the stamped updater signed verifies
    and loses its signature whole; the signing script's refusals leave no file."""
    certs = work("certs")
    subprocess.run(["bash", os.path.join(SOURCE, "tests/signing/make_certs.sh"), certs], check=True)
    def sign(src, dst, pfx="signer", password="pass", path=os.environ["PATH"]):  # noqa: E306
        env = dict(os.environ, QUARV_SIGN_PFX=os.path.join(certs, pfx + ".pfx"), PATH=path,
                   QUARV_SIGN_PASS_FILE=os.path.join(certs, password), SOURCE_DATE_EPOCH="1")
        return subprocess.run(["/bin/bash", os.path.join(SOURCE, "release/sign.sh"), src, dst],
                              capture_output=True, text=True, env=env)
    verify = lambda exe: subprocess.run(  # noqa: E731
        ["osslsigncode", "verify", "-CAfile", os.path.join(certs, "ca.pem"), "-in", exe],
        capture_output=True, text=True)
    done = sign(args.template, work("signed-template.exe"))
    check(done.returncode == 0 and verify(work("signed-template.exe")).returncode == 0,
          "release/sign.sh signs the template %s" % done.stderr.strip())
    done = stamp(args, args.firmware + ".elf", work("from-signed.exe"), work("signed-template.exe"))
    check(done.returncode == 0 and read(work("from-signed.exe")) == read(work("stamped-elf.exe")) and
          "from-signed.exe is NOT signed" in done.stderr and "osslsigncode sign" in done.stderr,
          "a signed template stamps as the unsigned one and says the copy is unsigned %r"
          % done.stderr[-300:])
    for name in ("stamped.exe", "stripped.exe", "refused.exe"):
        if os.path.exists(work(name)):
            os.remove(work(name))
    sign(work("stamped-elf.exe"), work("stamped.exe"))
    verified = verify(work("stamped.exe"))
    subprocess.run(["osslsigncode", "remove-signature", "-in", work("stamped.exe"), "-out",
                    work("stripped.exe")], capture_output=True)
    check(verified.returncode == 0 and "digest algorithm  : SHA256" in verified.stdout and
          read(work("stripped.exe")) == read(work("stamped-elf.exe")),
          "the stamped updater signed (SHA-256) verifies, and without its signature is itself "
          "again %s"
          % verified.stdout.strip().splitlines()[-1:])
    tools = work("no-osslsigncode")
    os.makedirs(tools, exist_ok=True)
    for row in (("signer", "wrong-pass", os.environ["PATH"], "does not open"),
                ("expired", "pass", os.environ["PATH"], "expired on"),
                ("server", "pass", os.environ["PATH"], "is not for code signing"),
                ("signer", "pass", tools, "osslsigncode is not installed")):
        done = sign(work("stamped-elf.exe"), work("refused.exe"), *row[:3])
        check(done.returncode == 1 and row[3] in done.stderr and
              not glob.glob(work("refused.exe*")),
              "release/sign.sh refuses, writing nothing: %s" % done.stderr.strip())


def main(args):
    for name, value in vars(args).items():
        if name not in ("windres", "arch"):
            setattr(args, name, os.path.abspath(value))
    # A failed run leaves what it made: the checks below look for leftovers of this run only.
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
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
    stamp(args, args.old_image, work("own.exe"), args.template)
    check(read(work("own.exe")) == read(args.template),
          "the build's own image stamped onto its exe gives that exe, byte for byte")
    signing(args, work, read)

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
    with open(work("trailing.exe"), "wb") as f:
        f.write(template + bytes(512))
    with open(work("shared.exe"), "wb") as f:
        f.write(shared_directories(read(work("a.exe"))))  # 70 KB of image, 50,625 times
    # Where --out must not be replaced: a link to a file, a FIFO, a directory, a device (a null
    # device of the test's own: a broken build must not replace the system's /dev/null).
    for name in ("kept-link.exe", "fifo.exe", "folder.exe", "device.exe"):
        if os.path.lexists(work(name)):
            os.rmdir(work(name)) if os.path.isdir(work(name)) else os.remove(work(name))
    os.symlink(kept, work("kept-link.exe"))
    os.mkfifo(work("fifo.exe"))
    os.mkdir(work("folder.exe"))
    device = work("device.exe") if os.geteuid() == 0 else work("folder.exe")
    if os.geteuid() == 0:
        os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    def certificates(name, at, size, tail=b""):  # noqa: E306
        with open(patched(name, directories_at(template, pe + 24) + 32, struct.pack("<II", at, size)),
                  "ab") as f:
            f.write(tail)
        return work(name)
    cases = [  # template, image, out, message
        (fw, fw, kept, "not a Windows executable"),
        (args.stamp_w32, fw, kept, "not the Quarv updater: it has no resource section"),
        (patched("mixed.exe", pe + 24, b"\x0b\x03"), fw, kept, "not a Windows executable of"),
        (certificates("in-headers.exe", 0x100, 0x200), fw, kept, "certificate table overlaps"),
        (certificates("in-section.exe", len(template) - 512, 1024, bytes(512)), fw, kept,
         "damaged: its certificate table overlaps its headers or a section"),
        (certificates("beyond.exe", len(template), 1024, bytes(512)), fw, kept,
         "damaged: its certificate table lies beyond the end of the file"),
        (certificates("not-last.exe", len(template), 512, bytes(1024)), fw, kept,
         "damaged: its certificate table is not at the end of the file"),
        (certificates("gap.exe", len(template) + 512, 512, bytes(1024)), fw, kept,
         "carries data after its last section"),
        (patched("dll.exe", pe + 22, b"\x0e\x23"), fw, kept, "a library"),
        (args.template, empty, kept, "is empty"),
        (args.template, fw, work("link.exe"), "is the template itself"),
        (work("trailing.exe"), fw, kept, "carries data after its last section"),
        (work("shared.exe"), fw, kept, "bytes (four times the template and the image together)"),
        (args.template, fw, work("kept-link.exe"), "is a symbolic link"),
        (args.template, fw, work("fifo.exe"), "is not a regular file"),
        (args.template, fw, work("folder.exe"), "is not a regular file"),
        (args.template, fw, device, "is not a regular file"),
    ]
    def state(path):  # noqa: E306
        node = os.lstat(path)
        return (stat.S_IFMT(node.st_mode), node.st_ino,
                read(path) if stat.S_ISREG(node.st_mode) else None)
    for template_path, image, out, message in cases:
        with open(kept, "wb") as f:
            f.write(b"kept")
        before = state(out)
        done = stamp(args, image, out, template_path)
        check(done.returncode == 2 and message in done.stderr and state(out) == before and
              not glob.glob(out + ".quarv-stamp*"),
              "refused, output untouched: %s (%s)" % (message, done.stderr.strip()))

    # A write that fails (here at the file-size limit): exit 3 with the system's reason, the old
    # --out whole, no temporary file left.
    def small_files():  # noqa: E306
        resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
    with open(kept, "wb") as f:
        f.write(b"kept")
    done = subprocess.run([args.stamp, "--image", fw, "--out", kept, "--template", args.template],
                          capture_output=True, text=True, preexec_fn=small_files)
    check(done.returncode == 3 and "File too large" in done.stderr and read(kept) == b"kept" and
          not glob.glob(kept + ".quarv-stamp*"),
          "a failed write: exit 3, its reason, --out as it was (%s)" % done.stderr.strip())

    # Two runs at once onto one --out: whatever each says is true of the file when it ends; the
    # file is one of the two whole, never a mix or a half.
    # Two images of one size, so that the two writes overlap as often as not.
    images = {}
    for name in ("a", "b"):
        with open(work("race-%s.bin" % name), "wb") as f:
            f.write(b"\1" + os.urandom(2 << 20))
        stamp(args, work("race-%s.bin" % name), work("race-%s.exe" % name), args.template)
        images[read(work("race-%s.exe" % name))] = name
    wrong = []
    for attempt in range(16):
        out = work("race.exe")
        if os.path.exists(out):
            os.remove(out)
        runs = {}
        for name in ("a", "b"):
            runs[name] = subprocess.Popen(
                [args.stamp, "--out", out, "--template", args.template, "--image",
                 work("race-%s.bin" % name)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            time.sleep(random.uniform(0, 0.01))
        for run in runs.values():
            run.communicate()
        got = images.get(read(out)) if os.path.exists(out) else None
        claims = [name for name, run in runs.items() if run.returncode == 0]
        if got not in claims or glob.glob(out + ".quarv-stamp*"):
            wrong.append((attempt, got, claims))
    check(wrong == [], "two runs at once: each exit status true of --out %s" % wrong)

    # A firmware name outside ASCII: the version fields the build writes for it.
    utf8_out = work("stamped-utf8.exe")
    done = stamp(args, args.firmware_utf8, utf8_out, args.template)
    check(done.returncode == 0 and
          listing(args.windres, utf8_out) == listing(args.windres, args.oracle_utf8),
          "a name outside ASCII: the build's version fields %s" % done.stderr.strip())

    # The Windows builds under Wine: the same file, and names in Cyrillic and Chinese, which the
    # ANSI API would turn into question marks.
    shutil.copy(args.template, work("template.exe"))
    cyrillic, chinese = "прошивка-2.4.srec", "固件-2.4.hex"
    os.makedirs(work("фв"), exist_ok=True)
    shutil.copy(args.firmware + ".srec", work(os.path.join("фв", cyrillic)))
    shutil.copy(args.firmware + ".hex", work(chinese))
    stamp(args, work(os.path.join("фв", cyrillic)), work("host-named.exe"), args.template)
    wine = [args.wine_run, args.arch]
    done = subprocess.run([*wine, args.stamp_w32, "--image", "фв\\" + cyrillic, "--out",
                           "新.exe", "--template", "template.exe"], capture_output=True,
                          cwd=args.work)
    if done.returncode == SKIP:  # this machine cannot run the architecture: said, not passed
        print("%d failure(s); skipped: the Windows builds under Wine: %s"
              % (len(FAILURES), done.stdout.decode().strip()))
        return 1 if FAILURES else SKIP
    same = (done.returncode == 0 and os.path.exists(work("新.exe")) and
            read(work("新.exe")) == read(work("host-named.exe")))
    check(same and ("新.exe: template.exe with фв\\" + cyrillic).encode() in done.stdout,
          "quarv-stamp.exe under Wine: a Cyrillic image into a Chinese name, the same bytes as "
          "here, the names shown %r" % (done.stdout + done.stderr)[-300:])
    done = subprocess.run([*wine, args.flash_w32, "--image", chinese, "COM250"],
                          capture_output=True, cwd=args.work)
    check((chinese + ": Intel HEX, 0x08000000-").encode() in done.stdout,
          "quarv-flash.exe under Wine reads a Chinese name %r" % (done.stdout + done.stderr)[-300:])
    print("%d failure(s)" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ("stamp", "stamp-w32", "flash-w32", "wine-run", "arch", "template", "oracle",
                 "oracle-utf8", "firmware", "firmware-utf8", "old-image", "windres", "work"):
        parser.add_argument("--" + name, required=True)
    sys.exit(main(parser.parse_args()))
