#!/usr/bin/env python3
"""Makes the release media of Plovex.exe in a folder, for Windows 95 users on
old PCs and in emulators:

  plovex-VERSION.zip  PLOVEX.EXE and README.TXT
  plovex-VERSION.img  a 1.44 MB FAT12 floppy image (volume label PLOVEX), by mtools
  plovex-VERSION.iso  an ISO 9660 level 1 CD image (volume PLOVEX; Rock Ridge for
                      Linux, which Windows ignores), by xorriso
  SHA256SUMS          the three files' SHA-256 sums, as sha256sum writes them, for a
                      user to check a download with: sha256sum -c SHA256SUMS

README.TXT is the project's docs/README.TXT with the version and the text of
LICENSE filled in, in CR LF line ends and plain ASCII. The same inputs give the
same bytes every time: every file time is SOURCE_DATE_EPOCH when it is set, else
the time of the source's last commit, and the floppy's volume serial number is
derived from it.

Usage: make-media.py OUTPUT_FOLDER PLOVEX.EXE README.TXT VERSION SOURCE_FOLDER
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time
import zipfile

FILES = ['PLOVEX.EXE', 'README.TXT']


def source_date(source):
    if os.environ.get('SOURCE_DATE_EPOCH'):
        return int(os.environ['SOURCE_DATE_EPOCH'])
    try:
        return int(subprocess.run(['git', '-C', source, 'log', '-1', '--format=%ct'], check=True,
                                  capture_output=True, text=True).stdout)
    except (OSError, subprocess.CalledProcessError, ValueError):
        sys.exit('make-media: no SOURCE_DATE_EPOCH and no git history in %s to take the file times from; '
                 'set SOURCE_DATE_EPOCH' % source)


def readme_text(path, version, license_path):
    """The README as DOS reads it: ASCII, CR LF, lines that fit an 80-column screen."""
    # anything but ASCII fails here
    with open(path, encoding='ascii') as f, open(license_path, encoding='ascii') as license_file:
        text = f.read().replace('@VERSION@', version).replace('@LICENSE@\n', license_file.read())
    lines = text.split('\n')
    if lines[-1] == '':
        lines.pop()
    for number, line in enumerate(lines, 1):
        if len(line) > 78 or '\t' in line or '\r' in line:
            sys.exit('make-media: %s:%d: longer than 78 columns, or a tab or CR' % (path, number))
    return ''.join(line + '\r\n' for line in lines).encode('ascii')


def run(command, env):
    """Runs a tool quietly; its own output is shown only when it fails."""
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        sys.exit('%s\nmake-media: %s failed (exit code %d)' % (done.stdout, command[0], done.returncode))


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    out, exe, readme, version, source = sys.argv[1:]
    epoch = source_date(source)
    # Tools that write local times (FAT, ZIP) write the UTC time of the epoch.
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch), TZ='UTC', MTOOLSRC='/dev/null', MTOOLS_SKIP_CHECK='1')

    stage = os.path.join(out, 'files')
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(stage)
    shutil.copyfile(exe, os.path.join(stage, 'PLOVEX.EXE'))
    with open(os.path.join(stage, 'README.TXT'), 'wb') as f:
        f.write(readme_text(readme, version, os.path.join(source, 'LICENSE')))
    for name in FILES + ['.']:
        os.utime(os.path.join(stage, name), (epoch, epoch))
    paths = [os.path.join(stage, name) for name in FILES]

    base = os.path.join(out, 'plovex-' + version)
    sums = os.path.join(out, 'SHA256SUMS')
    for path in (base + '.zip', base + '.img', base + '.iso', sums):
        if os.path.exists(path):
            os.remove(path)

    with zipfile.ZipFile(base + '.zip', 'w') as archive:
        for name, path in zip(FILES, paths):
            info = zipfile.ZipInfo(name, time.gmtime(epoch)[:6])
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0      # MS-DOS
            info.external_attr = 0x20   # the archive attribute
            with open(path, 'rb') as f:
                archive.writestr(info, f.read())

    serial = '%08X' % (epoch & 0xFFFFFFFF)
    run(['mformat', '-i', base + '.img', '-C', '-f', '1440', '-v', 'PLOVEX', '-N', serial, '::'], env)
    run(['mcopy', '-i', base + '.img', '-m'] + paths + ['::'], env)

    run(['xorriso', '-as', 'mkisofs', '-iso-level', '1', '-r', '-V', 'PLOVEX', '-o', base + '.iso', stage], env)

    with open(sums, 'w') as f:
        for suffix in ('.zip', '.img', '.iso'):
            with open(base + suffix, 'rb') as medium:
                f.write('%s  %s\n' % (hashlib.sha256(medium.read()).hexdigest(), os.path.basename(base + suffix)))


if __name__ == '__main__':
    main()
