#!/usr/bin/env python3
"""The hive module against an independent reader, libcreg (Debian's python3-libcreg).

For A.DAT, B.DAT, C.DAT and live/LIVE.DAT (saved by the running registry): the keys the module lists and every value it reads
are what libcreg reads. Then the 24 device keys are deleted from B.DAT, and from
C.DAT (three RGDB blocks) together with keys in its other blocks;
after every deletion libcreg reads the written hive as the hive before less
exactly the deleted subtrees, key for key and value for value.

Last, the real runner patches an installation with each hive as its SYSTEM.DAT
(no --registry): libcreg reads the result as the hive less exactly the 24
device subtrees, creginfo and cregexport read it without a complaint, the
untouched copy SYSTEM.PLX is the hive as it was, and the platform kind comes
from the hive (A: Windows 95, 52 lines in machine.inf; B, C: OSR2, 55).

Usage: libcreg_check.py HIVE_PROBE FIXTURE_FOLDER [PLOVEX SAMPLE_FOLDER]
(exits 77, a skip, without pycreg)
"""
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import pycreg
except ImportError:
    print("skipped: python3-libcreg (pycreg) is not installed for", sys.executable)
    sys.exit(77)

DEVICES = ["8086&DEV_7110", "8086&DEV_7100", "8086&DEV_7113", "1106&DEV_0571", "1039&DEV_5513",
           "8086&DEV_7111", "8086&DEV_7180", "8086&DEV_7181", "8086&DEV_7190", "8086&DEV_7191",
           "8086&DEV_7192", "1039&DEV_5571", "1039&DEV_5597", "1039&DEV_5591", "1039&DEV_0001",
           "1039&DEV_0009", "1106&DEV_0597", "1106&DEV_3040", "1106&DEV_0586", "1106&DEV_8598",
           "8086&DEV_7112", "8086&DEV_7020", "1039&DEV_7001", "1106&DEV_3038"]
DEVICE_KEYS = ["Enum\\PCI\\VEN_" + device for device in DEVICES]
CODEPAGE = "cp1252"  # libcreg's default for key and value names

probe, fixtures = sys.argv[1], sys.argv[2]
runner, sample = (sys.argv[3], sys.argv[4]) if len(sys.argv) > 4 else (None, None)
failures = 0


def check(condition, what):
    global failures
    if not condition:
        failures += 1
        print("FAIL:", what)


def libcreg_tree(path):
    """[(key path, [(value name, type, data)])], parents first, as libcreg reads the file."""
    hive = pycreg.file()
    hive.open(path)
    tree = []

    def walk(key, prefix):
        for sub in key.sub_keys:
            check(not sub.is_corrupted(), "%s: libcreg finds key %s%s corrupted" % (path, prefix, sub.name))
            name = prefix + sub.name
            values = []
            for value in sub.values:
                check(not value.is_corrupted(), "%s: libcreg finds a value of %s corrupted" % (path, name))
                values.append((value.name or "", value.type, value.data or b""))
            tree.append((name, values))
            walk(sub, name + "\\")

    walk(hive.get_root_key(), "")
    hive.close()
    return tree


def run_probe(*args, stdin=b""):
    done = subprocess.run([probe] + list(args), input=stdin, capture_output=True)
    if done.returncode != 0:
        raise SystemExit("hive_probe %s failed: %s" % (" ".join(args), done.stderr.decode(errors="replace")))
    return done.stdout.decode(CODEPAGE).splitlines()


def within(key, top):
    return key.upper() == top.upper() or key.upper().startswith(top.upper() + "\\")


# The module reads what libcreg reads.
trees = {}
for name in ("A.DAT", "B.DAT", "C.DAT", "live/LIVE.DAT"):
    path = os.path.join(fixtures, name)
    tree = trees[name] = libcreg_tree(path)
    check(run_probe("keys", path) == [key for key, _ in tree], name + ": the module's keys are not libcreg's")
    asked = [(key, value) for key, values in tree for value in values]
    lines = "".join("%s\t%s\n" % (key, value[0]) for key, value in asked).encode(CODEPAGE)
    read = run_probe("values", path, stdin=lines)
    expected = ["%d %s" % (value[1], value[2].hex()) for _, value in asked]
    check(read == expected, name + ": the module reads values other than libcreg's")
    print("%s: %d keys, %d values read alike" % (name, len(tree), len(asked)))

# Deletions, each result read by libcreg. In C.DAT, Key00173 is the first
# record of block 1, Key00299 and Key00300 lie side by side in it, Key00500 is
# in block 2. Deleting all of Software\Padding is left to hive_test: libcreg
# 20200725 (Debian 12) reads a free record's link as its size in use, so it
# fails on a block whose free list links to the block's first record, which is
# what Windows 95 writes when that record is freed before another one.
padding = ["Software\\Padding\\Key00300", "software\\padding\\KEY00299", "Software\\Padding\\Key00500",
           "Software\\Padding\\Key00173"]
for name, doomed in (("B.DAT", DEVICE_KEYS), ("C.DAT", DEVICE_KEYS + padding)):
    before = trees[name]
    check(all(any(within(key, top) for key, _ in before) for top in doomed), name + ": a key to delete is missing")
    with tempfile.TemporaryDirectory() as out:
        run_probe("delete", os.path.join(fixtures, name), out, *doomed)
        for step in range(1, len(doomed) + 1):
            expected = [(key, values) for key, values in before if not any(within(key, top) for top in doomed[:step])]
            after = libcreg_tree(os.path.join(out, "%02d.DAT" % step))
            check(after == expected, "%s after deleting %s: libcreg reads other keys or values than expected"
                  % (name, ", ".join(doomed[:step])))
    print("%s: %d deletions, each read back by libcreg as the hive less the deleted subtrees (%d keys left)"
          % (name, len(doomed), len(expected)))

# The whole job on an installation: the runner finds SYSTEM.DAT itself.
for name, marked in (("A.DAT", 52), ("B.DAT", 55), ("C.DAT", 55), ("live/LIVE.DAT", 55)) if runner else ():
    with tempfile.TemporaryDirectory() as work:
        drive, original = os.path.join(work, "C"), os.path.join(fixtures, name)
        shutil.copytree(os.path.join(sample, "WINDOWS"), os.path.join(drive, "WINDOWS"))
        hive = os.path.join(drive, "WINDOWS", "SYSTEM.DAT")
        shutil.copyfile(original, hive)
        os.chmod(hive, 0o444)  # as Windows 9x keeps it
        done = subprocess.run([runner, "--drive-c", drive], input=b"install\nexit\nno\n", capture_output=True)
        check(done.returncode == 0, "%s: plovex ended with %d: %s" % (name, done.returncode, done.stderr.decode()))
        expected = [(key, values) for key, values in trees[name]
                    if not any(within(key, top) for top in DEVICE_KEYS)]
        check(libcreg_tree(hive) == expected, name + ": libcreg reads other keys or values than the hive less "
              "the 24 device subtrees")
        for tool in ("creginfo", "cregexport"):
            read = subprocess.run([tool, hive], capture_output=True)
            said = (read.stdout + read.stderr).decode(errors="replace").lower()
            check(read.returncode == 0 and "warning" not in said and "error" not in said,
                  "%s: %s complains: %s" % (name, tool, said[-300:]))
        with open(original, "rb") as a, open(os.path.join(drive, "WINDOWS", "SYSTEM.PLX"), "rb") as b:
            check(a.read() == b.read(), name + ": SYSTEM.PLX is not the hive as it was")
        check(not os.stat(hive).st_mode & 0o222, name + ": SYSTEM.DAT lost its read-only attribute")
        with open(os.path.join(drive, "WINDOWS", "INF", "machine.inf"), "rb") as f:
            lines = f.read().count(b";Plovex\r\n")
        check(lines == marked, "%s: %d lines in machine.inf, not %d" % (name, lines, marked))
    print("%s as SYSTEM.DAT: 24 device keys deleted and nothing else, %d lines for its version" % (name, marked))

sys.exit(1 if failures else 0)
