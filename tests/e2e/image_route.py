#!/usr/bin/env python3
"""plovex on disk images against plovex on a folder, judged by mtools and dosfstools.

One Windows 95 installation (the sample's INF files as setup leaves them, with a
read-only MSHDC.INF, sixty other INF files so that the INF folder spans several
sectors, Windows 95's own hive as SYSTEM.DAT with the read-only, hidden and
system attributes, and other files and long names elsewhere) is put on a folder
and, with mkfs.fat and mcopy, on images of every kind plovex opens: a FAT12
floppy, FAT16 and FAT32 disks with an MBR, a FAT16 logical partition behind a
Linux partition, a bare FAT16 volume, and fixed and dynamic VHD (qemu-img). The
same scripts run on each. Afterwards, read back with mtools (VHD through
qemu-img convert): every INF file, SYSTEM.DAT and SYSTEM.PLX equal the folder
route's byte for byte, every other file is unchanged, the boxes and exit codes
are the folder route's, fsck.fat -n finds nothing, and the names and attributes
are as Windows 95 leaves them (lower-case long names for the files plovex
writes, R H S kept on the hive and its copy, R kept on mshdc.inf).

Then the partition choice: two FAT partitions that both hold WINDOWS are refused
with a list, --partition picks one; an image a second run or QEMU holds is
refused (and QEMU cannot open one a run holds), and so is a qcow2 image, with
the qemu-img lines that convert it.

Usage: image_route.py PLOVEX SAMPLE CREG_FIXTURES   (exits 77, a skip, without the tools)
"""
import fcntl
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

plovex, sample, creg = sys.argv[1:4]
TOOLS = ["mkfs.fat", "mcopy", "mtype", "mdir", "mattrib", "fsck.fat", "qemu-img", "qemu-io"]
missing = [tool for tool in TOOLS if not shutil.which(tool)]
if missing:
    print("skipped: missing", " ".join(missing))
    sys.exit(77)

os.environ["MTOOLS_SKIP_CHECK"] = "1"
failures = 0


def check(condition, what):
    global failures
    if not condition:
        failures += 1
        print("FAIL:", what)
    return condition


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, **kwargs)


def qemu_open_once_held(image):
    """QEMU opening the image (qemu-io opens it as QEMU does, locks and all),
    tried until it finds the image held, or for 5 s."""
    for _ in range(100):
        opened = run(["qemu-io", "-f", "raw", "-c", "read 0 512", image])
        if opened.returncode != 0:
            break
        time.sleep(0.05)
    return opened


# ---- the installation -------------------------------------------------------------

def installation(root):
    """The files of the installation below `root`: {relative path: bytes}."""
    files = {}
    for name in ("MACHINE.INF", "MSHDC.INF"):
        with open(os.path.join(sample, "WINDOWS", "INF", name), "rb") as f:
            files["WINDOWS/INF/" + name] = f.read()
    for n in range(60):
        files["WINDOWS/INF/OEM%02d.INF" % n] = b"[Version]\r\nSignature=$CHICAGO$\r\n; filler %d\r\n" % n * (n + 1)
    with open(os.path.join(creg, "live", "LIVE.DAT"), "rb") as f:
        files["WINDOWS/SYSTEM.DAT"] = f.read()
    files["WINDOWS/WIN.INI"] = b"[windows]\r\nload=\r\nrun=\r\n"
    files["COMMAND.COM"] = bytes(range(256)) * 20
    files["Program Files/Accessories/A long name.txt"] = b"kept as it is\r\n"
    for path, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
        with open(os.path.join(root, path), "wb") as f:
            f.write(data)
    return files


READ_ONLY, HIDDEN_SYSTEM = ["WINDOWS/INF/MSHDC.INF"], ["WINDOWS/SYSTEM.DAT"]


def make_volume(path, fat, size_kib, root, hidden=0):
    """A FAT volume file holding the installation, attributes set with mattrib."""
    if os.path.exists(path):
        os.unlink(path)
    args = ["mkfs.fat", "-C", "-F", str(fat), "-n", "WIN95", "-h", str(hidden), path, str(size_kib)]
    if fat == 32:
        args[1:1] = ["-s", "1"]
    check(run(args).returncode == 0, "mkfs.fat " + " ".join(args))
    image = "-i", path
    for folder, _, names in sorted(os.walk(root)):
        relative = os.path.relpath(folder, root)
        if relative != ".":
            run(["mmd", *image, "::/" + relative])
        for name in names:
            target = "::/" + (name if relative == "." else relative + "/" + name)
            check(run(["mcopy", *image, os.path.join(folder, name), target]).returncode == 0, "mcopy " + target)
    for name in READ_ONLY:
        run(["mattrib", *image, "+r", "::/" + name])
    for name in HIDDEN_SYSTEM:
        run(["mattrib", *image, "+r", "+h", "+s", "::/" + name])


def mbr(entries, disk_sectors):
    """An MBR sector: entries of (type, first sector, sectors); a type 0x05 entry is
    an extended partition whose logical partitions follow as EBR chains."""
    sector = bytearray(512)
    for i, (kind, first, count) in enumerate(entries):
        struct.pack_into("<B3sB3sII", sector, 446 + 16 * i, 0, b"\xfe\xff\xff", kind, b"\xfe\xff\xff", first, count)
    sector[510:512] = b"\x55\xaa"
    return bytes(sector)


def make_disk(path, partitions, root):
    """A raw disk: partitions of (kind, fat, size KiB, logical); each FAT partition
    holds the installation, a Linux one (fat 0) only zeros."""
    layout, at = [], 2048
    for kind, fat, kib, logical in partitions:
        sectors = kib * 2
        first = at + (1 if logical else 0)  # a logical partition's EBR sits in front of it
        layout.append((kind, fat, first, sectors, logical))
        at = first + sectors
    if os.path.exists(path):
        os.unlink(path)
    with open(path, "wb") as disk:
        disk.truncate((at + 2048) * 512)
        primaries, logicals = [], [p for p in layout if p[4]]
        for kind, _, first, sectors, logical in layout:
            if not logical:
                primaries.append((kind, first, sectors))
        if logicals:
            start = logicals[0][2] - 1
            primaries.append((0x05, start, at - start))
            for i, (kind, _, first, sectors, _) in enumerate(logicals):
                ebr = bytearray(mbr([(kind, 1, sectors)], 0))
                if i + 1 < len(logicals):
                    nxt = logicals[i + 1][2] - 1
                    struct.pack_into("<B3sB3sII", ebr, 446 + 16, 0, b"\xfe\xff\xff", 0x05, b"\xfe\xff\xff",
                                     nxt - start, logicals[i + 1][3] + 1)
                disk.seek((first - 1) * 512)
                disk.write(ebr)
        disk.seek(0)
        disk.write(mbr(primaries, at))
        for kind, fat, first, sectors, _ in layout:
            if fat:
                volume = path + ".part"
                make_volume(volume, fat, sectors // 2, root, hidden=first)
                with open(volume, "rb") as f:
                    disk.seek(first * 512)
                    disk.write(f.read())
                os.unlink(volume)


# ---- reading an image back --------------------------------------------------------

def raw_of(image, work):
    """The image as a raw disk: a VHD converted by qemu-img, which reads VHD on its own."""
    if not image.endswith(".vhd"):
        return image
    raw = os.path.join(work, "converted.img")
    check(run(["qemu-img", "convert", "-f", "vpc", "-O", "raw", image, raw]).returncode == 0, "qemu-img convert")
    return raw


def volume_offset(raw, partition):
    if partition is None:
        return 0
    with open(raw, "rb") as f:
        table = f.read(512)
        entries = [struct.unpack_from("<4xB3xI", table, 446 + 16 * i) for i in range(4)]
        if partition <= 4:
            return entries[partition - 1][1] * 512
        base = [first for kind, first in entries if kind in (0x05, 0x0f)][0]  # the first logical partition's EBR
        f.seek(base * 512)
        ebr = f.read(512)
        return (base + struct.unpack_from("<I", ebr, 446 + 8)[0]) * 512


def read_back(image, partition, work, names):
    raw = raw_of(image, work)
    spec = "%s@@%d" % (raw, volume_offset(raw, partition))
    files = {}
    for name in names:
        out = os.path.join(work, "read")
        if os.path.exists(out):
            os.unlink(out)
        done = run(["mcopy", "-n", "-i", spec, "::/" + name, out])
        files[name] = open(out, "rb").read() if done.returncode == 0 else None
    fsck = run(["fsck.fat", "-n", extract(raw, spec, work) if partition else raw])
    listing = run(["mdir", "-a", "-i", spec, "::/WINDOWS/INF", "::/WINDOWS"]).stdout.decode("latin-1")
    attributes = run(["mattrib", "-i", spec, "::/WINDOWS/SYSTEM.DAT", "::/WINDOWS/SYSTEM.PLX",
                      "::/WINDOWS/INF/mshdc.inf"]).stdout.decode("latin-1")
    return files, fsck, listing, attributes


def extract(raw, spec, work):
    """fsck.fat reads a whole file: the partition's bytes copied out."""
    offset = int(spec.rsplit("@@", 1)[1])
    volume = os.path.join(work, "volume.img")
    with open(raw, "rb") as f, open(volume, "wb") as out:
        f.seek(offset)
        out.write(f.read())
    return volume


def folder_files(root, names):
    files = {}
    for name in names:
        matches = [n for n in os.listdir(os.path.join(root, os.path.dirname(name)))
                   if n.lower() == os.path.basename(name).lower()]
        files[name] = open(os.path.join(root, os.path.dirname(name), matches[0]), "rb").read() if matches else None
    return files


# ---- the comparison ---------------------------------------------------------------

SCRIPTS = [("Install", ["install\nexit\nno\n"]),
           ("Install then Uninstall", ["install\nexit\nno\n", "uninstall\nexit\nno\n"]),
           ("Install of the chipset group", ["uncheck usb\ninstall\nexit\nno\n"])]
CHANGED = ["WINDOWS/INF/machine.inf", "WINDOWS/INF/mshdc.inf", "WINDOWS/INF/usb.inf", "WINDOWS/SYSTEM.DAT",
           "WINDOWS/SYSTEM.PLX", "WINDOWS/INF/out.inf", "WINDOWS/INF/machine.in@", "WINDOWS/INF/usb.in@"]


def plovex_run(drive, scripts, work, extra=()):
    said = []
    for i, script in enumerate(scripts):
        path = os.path.join(work, "script%d.txt" % i)
        with open(path, "w") as f:
            f.write(script)
        done = run([plovex, "--drive-c", drive, "--script", path, *extra])
        said.append((done.returncode, done.stdout))
    return said


KINDS = [  # name, builder, the partition plovex should pick (for reading back)
    ("FAT12 floppy", lambda p, r: make_volume(p, 12, 1440, r), None),
    ("FAT16 disk with an MBR", lambda p, r: make_disk(p, [(0x06, 16, 24 * 1024, False)], r), 1),
    ("FAT32 disk with an MBR", lambda p, r: make_disk(p, [(0x0c, 32, 40 * 1024, False)], r), 1),
    ("FAT16 logical partition", lambda p, r: make_disk(p, [(0x83, 0, 1024, False), (0x06, 16, 16 * 1024, True)], r), 5),
    ("bare FAT16 volume", lambda p, r: make_volume(p, 16, 16 * 1024, r), None),
    ("fixed VHD", "fixed", 1),
    ("dynamic VHD", "dynamic", 1),
]

with tempfile.TemporaryDirectory() as work:
    source = os.path.join(work, "source")
    original = installation(source)
    others = [name for name in original if name.upper() not in (c.upper() for c in CHANGED)]
    for title, scripts in SCRIPTS:
        folder = os.path.join(work, "folder")
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(source, folder)
        for name in READ_ONLY:
            os.chmod(os.path.join(folder, name), 0o444)
        said_folder = plovex_run(folder, scripts, work)
        expected = folder_files(folder, CHANGED)
        for kind, builder, partition in KINDS:
            what = "%s, %s" % (kind, title)
            image = os.path.join(work, "disk.vhd" if isinstance(builder, str) else "disk.img")
            if isinstance(builder, str):
                raw = os.path.join(work, "raw.img")
                make_disk(raw, [(0x06, 16, 24 * 1024, False)], source)
                check(run(["qemu-img", "convert", "-f", "raw", "-O", "vpc", "-o", "subformat=" + builder, raw,
                           image]).returncode == 0, what + ": qemu-img makes the VHD")
            else:
                builder(image, source)
            said = plovex_run(image, scripts, work)
            check(said == said_folder, "%s: boxes and exit codes differ from the folder's: %s against %s"
                  % (what, said, said_folder))
            files, fsck, listing, attributes = read_back(image, partition, work, CHANGED + others)
            for name in CHANGED:
                check(files[name] == expected[name], "%s: %s is not the folder route's (%s bytes against %s)" % (
                    what, name, len(files[name] or b""), len(expected[name] or b"")))
            for name in others:
                check(files[name] == original[name], "%s: %s changed" % (what, name))
            said_fsck = (fsck.stdout + fsck.stderr).decode("latin-1").strip().split("\n")
            check(fsck.returncode == 0 and len(said_fsck) == 2, "%s: fsck.fat -n: %s" % (what, said_fsck))
            # Windows 95 wrote lower-case long names for the files plovex writes;
            # the hive and its copy are R H S, mshdc.inf stays read-only.
            for name in ("machine.inf", "mshdc.inf", "usb.inf", "SYSTEM.PLX"):
                path = ("WINDOWS/INF/" if name.endswith(".inf") else "WINDOWS/") + name
                if expected[path] is not None:
                    shown = [line for line in listing.splitlines() if line.endswith(" " + name) or
                             line.split()[:2] == [name.split(".")[0], name.split(".")[1]]]
                    check(shown, "%s: mdir does not show %s as written:\n%s" % (what, name, listing))
            flags = {line.split("::/")[1]: line.split("::/")[0] for line in attributes.splitlines() if "::/" in line}
            check("SHR" in flags.get("WINDOWS/SYSTEM.DAT", ""), "%s: SYSTEM.DAT attributes %s" % (what, flags))
            check("R" in flags.get("WINDOWS/INF/mshdc.inf", ""), "%s: mshdc.inf attributes %s" % (what, flags))
            if expected["WINDOWS/SYSTEM.PLX"] is not None:
                check("SHR" in flags.get("WINDOWS/SYSTEM.PLX", ""), "%s: SYSTEM.PLX attributes %s" % (what, flags))
        print("%s: the folder route and %d kinds of image agree" % (title, len(KINDS)))

    # Two FAT partitions that both hold WINDOWS: refused with a list; --partition picks one.
    image = os.path.join(work, "two.img")
    make_disk(image, [(0x06, 16, 16 * 1024, False), (0x0b, 32, 40 * 1024, False)], source)
    before = open(image, "rb").read()
    said = plovex_run(image, ["install\nexit\nno\n"], work)
    check(said[0][0] == 2 and open(image, "rb").read() == before, "two candidates: not refused, or written")
    chosen = plovex_run(image, ["install\nexit\nno\n"], work, ["--partition", "2"])
    check(chosen[0][0] == 0, "--partition 2: %s" % (chosen,))
    files, _, _, _ = read_back(image, 2, work, ["WINDOWS/INF/usb.inf"])
    check(files["WINDOWS/INF/usb.inf"] is not None, "--partition 2 did not patch partition 2")
    files, _, _, _ = read_back(image, 1, work, ["WINDOWS/INF/usb.inf"])
    check(files["WINDOWS/INF/usb.inf"] is None, "--partition 2 patched partition 1")

    # An image another run holds is refused, nothing written.
    with open(image, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        before = open(image, "rb").read()
        said = plovex_run(image, ["install\nexit\nno\n"], work, ["--partition", "1"])
        check(said[0][0] == 2 and open(image, "rb").read() == before, "a held image was not refused")
    # QEMU's own locks, as a running machine holds its disk (qemu-io opens an
    # image as QEMU does): plovex refuses the image while QEMU holds it, and
    # QEMU cannot open an image while a plovex run holds it.
    qemu = subprocess.Popen(["qemu-io", "-f", "raw", "-c", "sleep 20000", image], stdout=subprocess.DEVNULL)
    try:
        qemu_open_once_held(image)  # the sleeping QEMU holds its lock by then
        said = plovex_run(image, ["install\nexit\nno\n"], work, ["--partition", "1"])
        check(said[0][0] == 2 and open(image, "rb").read() == before, "an image QEMU holds was not refused")
    finally:
        qemu.kill()
        qemu.wait()
    holding = subprocess.Popen([plovex, "--drive-c", image, "--partition", "1", "--script", "-"],
                               stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    opened = qemu_open_once_held(image)
    holding.communicate(b"exit\n")
    check(opened.returncode != 0 and b"lock" in opened.stderr, "QEMU opened an image a run holds: %s" % opened.stderr)
    # Another format: refused with the qemu-img lines that convert it, nothing written.
    qcow2 = os.path.join(work, "disk.qcow2")
    check(run(["qemu-img", "convert", "-f", "raw", "-O", "qcow2", image, qcow2]).returncode == 0, "qemu-img qcow2")
    before = open(qcow2, "rb").read()
    done = run([plovex, "--drive-c", qcow2, "--script", os.path.join(work, "script0.txt")])
    said = done.stderr.decode("latin-1")
    check(done.returncode == 2 and "qemu-img convert" in said and open(qcow2, "rb").read() == before,
          "a qcow2 image: %d %s" % (done.returncode, said))
    print("partition choice, locks and other formats as they should be")

sys.exit(1 if failures else 0)
