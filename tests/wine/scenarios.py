#!/usr/bin/env python3
"""End-to-end scenarios of the real Plovex.exe under Wine, each compared with the
host runner.

Every scenario starts from the same state: the sample inf folder (MACHINE.INF,
MSHDC.INF, and USB.INF where the scenario has one) in the prefix's C:\\windows\\inf,
the sample registry imported into HKEY_LOCAL_MACHINE, and a Windows version.
The driver (plovex-driver.exe) runs the scenario's script against the program's
dialog and message boxes. Wine's relay trace of the program's MessageBoxA,
RegDeleteKeyA and ExitWindowsEx calls gives the order of events, the device key
deletions and the restart request, which no window shows. The driver can also
start a second Plovex.exe while the first one's dialog is up; the trace of its
file, dialog, message box and foreground calls shows what it did.

A scenario passes when its own expectations hold and the host runner, given the
same files, registry, version and script (less the driver's own actions), leaves
the same INF files (names, bytes and read-only attribute), shows the same message
boxes (caption, text, type, answer), deletes the same keys, asks for a restart
the same way and ends with the same exit code.

The unattended scenarios start Plovex.exe with switches and no script. Besides
the host runner given the same switches (--command-line), which must also write
the same log of /L byte for byte, each that changes anything is run once more
through the dialog on the same starting files: the INF files, the keys left and
the keys deleted, in order, must be the dialog's.

  scenarios.py --exe Plovex.exe --driver plovex-driver.exe --runner build/plovex
               --sample sample --fixtures tests/wine/fixtures
               [--wine LOADER --wineserver SERVER --arch win32|win64] [--only NAME] [--keep]

Prints one line per scenario and a closing 'N passed, N failed'; exits 1 when
any scenario failed, 2 when Wine could not be set up.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

OUR_NAMES = {'machine.inf', 'mshdc.inf', 'usb.inf', 'out.inf', 'machine.in@', 'mshdc.in@', 'usb.in@'}
MARKER = b';Plovex\r\n'

# Message boxes as (caption, text, type).
DONE = ('OK', ' The utility has updated completely!', 0)
UNDONE = ('OK', 'The utility has uninstalled completely!', 0)
RESTART = ('Finish', 'You must restart your computer.\n Do you want to restart your computer now?', 4)
CHOOSE = ('Do what?', ' Please choice drivers!', 0x20)
WARNING = ('Warning', ' The OS is not Windows 95 system.\n Continue, anyway?', 0x44)
CANT_FIND_USB = ('File Open Error', "Can't find C:\\windows\\inf\\usb.inf", 0x10)
RENAME_FAILED = ('rename error', 'Install Failure', 0)
BAD_SWITCH = ('Bad switches', 'Unknown switch: /X.\nPlovex.exe /? lists the switches.', 0x10)

CHIPSET_KEYS = ['VEN_8086&DEV_7110', 'VEN_8086&DEV_7100', 'VEN_8086&DEV_7113', 'VEN_1106&DEV_0571',
                'VEN_1039&DEV_5513', 'VEN_8086&DEV_7111', 'VEN_8086&DEV_7180', 'VEN_8086&DEV_7181',
                'VEN_8086&DEV_7190', 'VEN_8086&DEV_7191', 'VEN_8086&DEV_7192', 'VEN_1039&DEV_5571',
                'VEN_1039&DEV_5597', 'VEN_1039&DEV_5591', 'VEN_1039&DEV_0001', 'VEN_1039&DEV_0009',
                'VEN_1106&DEV_0597', 'VEN_1106&DEV_3040', 'VEN_1106&DEV_0586', 'VEN_1106&DEV_8598']
USB_KEYS = ['VEN_8086&DEV_7112', 'VEN_8086&DEV_7020', 'VEN_1039&DEV_7001', 'VEN_1106&DEV_3038']

# Windows version settings: Wine's own setting, or (osr2) none, so that Wine takes
# the version from the Windows 95 registry values as a real OSR2 machine holds them.
VERSIONS = {
    'win95': ('"Version"="win95"', '"CurrentVersion"="6.1"', '"VersionNumber"="4.00.950"', '"SubVersionNumber"=""'),
    'win95osr2': ('"Version"=-', '"CurrentVersion"=-', '"VersionNumber"="4.00.1111"', '"SubVersionNumber"=" B"'),
    'nt': ('"Version"="winxp"', '"CurrentVersion"="6.1"', '"VersionNumber"="4.00.950"', '"SubVersionNumber"=""'),
}


def boxes(run):
    return [(e['caption'], e['text'], e['type']) for e in run['events'] if e['event'] == 'messagebox']


def answers(run):
    return [e['answer'] for e in run['events'] if e['event'] == 'messagebox']


def deleted(run):
    return [e['key'].split('\\')[-1] for e in run['events'] if e['event'] == 'regdelete']


def marked(run, name):
    data = run['files'].get(name)
    return None if data is None else data.count(MARKER)


def pci_keys(run):
    return {k.split('\\')[3] for k in run['keys'] if k.count('\\') >= 3 and k.split('\\')[2] == 'PCI'}


def unchanged(run, sample, name):
    return run['files'].get(name) == sample.get(name)


def left_behind(run):
    return sorted(n for n in run['files'] if n.lower() in ('out.inf', 'machine.in@', 'mshdc.in@', 'usb.in@'))


# The driver's own action, which the host runner's script leaves out, and its report.
SECOND_INSTANCE = 'second instance'


def second(run):
    return run['second'] or {}


# name, version, has usb.inf, extra setup, script, expectations (run, sample) -> [(ok, what)]
SCENARIOS = [
    ('install both groups, usb.inf missing', 'win95', False, None, 'install\nexit\nno\n',
     lambda r, s: [(boxes(r) == [DONE, RESTART], 'completion, then the restart prompt'),
                   (marked(r, 'machine.inf') == 52, 'machine.inf: 52 marked lines (no IRQ miniport lines)'),
                   (marked(r, 'mshdc.inf') == 6, 'mshdc.inf: 6 marked lines'),
                   (marked(r, 'usb.inf') == 21 and r['files']['usb.inf'].count(b'\r\n') == 21,
                    'usb.inf created with its 21 lines'),
                   (deleted(r) == CHIPSET_KEYS + USB_KEYS, 'the 24 device keys deleted in order'),
                   (not pci_keys(r) & set(CHIPSET_KEYS + USB_KEYS), 'no device key of ours is left'),
                   (r['code'] == 0, 'exit code 0')]),
    ('install chipsets only', 'win95', True, None, 'uncheck usb\ninstall\nexit\nno\n',
     lambda r, s: [(boxes(r) == [DONE, RESTART], 'completion, then the restart prompt'),
                   (unchanged(r, s, 'USB.INF'), 'USB.INF untouched'),
                   (deleted(r) == CHIPSET_KEYS, 'only the chipset keys deleted'),
                   ('VEN_8086&DEV_7112' in pci_keys(r), 'the USB controller key is left')]),
    ('install USB only, usb.inf present', 'win95', True, None, 'uncheck chipset\ninstall\nexit\nno\n',
     lambda r, s: [(boxes(r) == [DONE, RESTART], 'completion, then the restart prompt'),
                   (unchanged(r, s, 'MACHINE.INF') and unchanged(r, s, 'MSHDC.INF'), 'chipset files untouched'),
                   (marked(r, 'usb.inf') == 15, 'usb.inf patched: 15 lines, not the 6 it already held'),
                   (deleted(r) == USB_KEYS, 'only the USB keys deleted')]),
    ('install with no group chosen', 'win95', True, None, 'uncheck chipset\nuncheck usb\ninstall\nexit\n',
     lambda r, s: [(boxes(r) == [CHOOSE], 'the choose-drivers box, no restart prompt'),
                   (r['files'] == s, 'no file touched'), (not deleted(r), 'no key deleted')]),
    ('install, then uninstall both', 'win95', False, None, 'install\nuninstall\nexit\nno\n',
     lambda r, s: [(boxes(r) == [DONE, UNDONE, RESTART], 'both completions, then the restart prompt'),
                   (r['files'].get('machine.inf') == s['MACHINE.INF'], 'machine.inf back to its bytes'),
                   (marked(r, 'mshdc.inf') == 6, 'mshdc.inf keeps its lines'),
                   (r['files'].get('usb.inf') == b'', 'usb.inf emptied of its lines')]),
    ('uninstall chipsets only', 'win95', True, None, 'uncheck usb\nuninstall\nexit\nno\n',
     lambda r, s: [(boxes(r) == [UNDONE, RESTART], 'completion, then the restart prompt'),
                   (r['files'].get('machine.inf') == s['MACHINE.INF'], 'machine.inf rewritten unchanged'),
                   (deleted(r) == CHIPSET_KEYS, 'the chipset keys deleted')]),
    ('uninstall USB only, usb.inf missing', 'win95', False, None, 'uncheck chipset\nuninstall\nexit\n',
     lambda r, s: [(boxes(r) == [CANT_FIND_USB], "Can't find usb.inf, no restart prompt"),
                   (r['files'] == s, 'no file touched'), (not deleted(r), 'no key deleted'),
                   (r['code'] == 0, 'exit code 0')]),
    ('uninstall both, usb.inf missing', 'win95', False, None, 'uninstall\nexit\nno\n',
     lambda r, s: [(boxes(r) == [CANT_FIND_USB, RESTART], "Can't find usb.inf; machine.inf was replaced"),
                   (deleted(r) == CHIPSET_KEYS, 'the chipset keys deleted')]),
    ('failed rename: a folder named machine.in@', 'win95', True, 'backup-folder', 'install\nexit\n',
     lambda r, s: [(boxes(r) == [RENAME_FAILED], 'the rename error, no completion, no restart prompt'),
                   (unchanged(r, s, 'MACHINE.INF'), 'MACHINE.INF kept'),
                   (not deleted(r), 'no key deleted')]),
    ('Windows 95 OSR2 (service release " B")', 'win95osr2', False, None, 'uncheck usb\ninstall\nexit\nno\n',
     lambda r, s: [(boxes(r) == [DONE, RESTART], 'no platform warning; completion'),
                   (marked(r, 'machine.inf') == 55, 'machine.inf: 55 marked lines with the IRQ miniport lines')]),
    ('platform warning under NT, No', 'nt', False, None, 'no\n',
     lambda r, s: [(boxes(r) == [WARNING] and answers(r) == [7], 'the platform warning, answered No'),
                   (r['code'] == 0 and not r['dialog'], 'exit code 0 without a dialog'),
                   (r['files'] == s, 'no file touched')]),
    ('platform warning under NT, Yes', 'nt', False, None, 'yes\nescape\nexit\n',
     lambda r, s: [(boxes(r) == [WARNING] and answers(r) == [6], 'the platform warning, answered Yes'),
                   (r['dialog'] and r['code'] == 0, 'the dialog opened; Escape did nothing; Exit ended it')]),
    ('restart accepted', 'win95', True, None, 'uncheck chipset\ninstall\nexit\nyes\n',
     lambda r, s: [(boxes(r) == [DONE, RESTART] and answers(r) == [1, 6], 'restart prompt answered Yes'),
                   (r['reboot'] == 1, 'ExitWindowsEx(EWX_REBOOT, 0) called once'),
                   (r['code'] == 0, 'exit code 0')]),
    # The first one's dialog is up (and minimised); the second must go at once, touching nothing.
    ('a second Plovex.exe while the first runs', 'win95', True, None, SECOND_INSTANCE + '\ninstall\nexit\nno\n',
     lambda r, s: [(second(r).get('code') == 0, 'the second one ended with exit code 0'),
                   (second(r).get('windows') == 0, 'the second one opened no window'),
                   (second(r).get('files') == 'kept', 'the inf folder as it was after the second one'),
                   (r['second_calls'] == ['SetForegroundWindow'],
                    'of the traced calls the second one made SetForegroundWindow alone (no file, key, dialog '
                    'or box): %s' % r['second_calls']),
                   (second(r).get('restored') and second(r).get('foreground'),
                    'the first dialog restored and in front'),
                   (boxes(r) == [DONE, RESTART], 'the first one then installed as ever')]),
    ('read-only machine.inf: 2 installs, uninstall', 'win95', True, 'read-only',
     'install\ninstall\nuninstall\nexit\nno\n',
     lambda r, s: [(boxes(r) == [DONE, DONE, UNDONE, RESTART], 'every command completed'),
                   (not left_behind(r), 'no backup or work file left: %s' % left_behind(r)),
                   (r['readonly'] == ['machine.inf'], 'machine.inf still read-only: %s' % r['readonly']),
                   (r['files'].get('machine.inf') == s['MACHINE.INF'], 'machine.inf back to its bytes')]),
    # An unattended second one goes silently: no window, nothing brought forward, only its log written.
    ('a second Plovex.exe /S while the first runs', 'win95', True, None,
     SECOND_INSTANCE + ' /S /L:' + 'C:\\plovex\\plovex.log\ninstall\nexit\nno\n',
     lambda r, s: [(second(r).get('code') == 6, 'the second one ended with exit code 6'),
                   (second(r).get('windows') == 0 and second(r).get('files') == 'kept', 'no window, no INF file'),
                   (r['second_calls'] == ['CreateFileA'], 'of the traced calls the second one made CreateFileA '
                    '(its log) alone: %s' % r['second_calls']),
                   (not second(r).get('restored'), 'the first dialog left minimised'),
                   (log_lines(r)[1:] == ['Another Plovex.exe is running: nothing done', 'Exit code 6'],
                    'the log says so: %s' % log_lines(r)),
                   (boxes(r) == [DONE, RESTART], 'the first one then installed as ever')]),
]

LOG = 'C:\\plovex\\plovex.log'
UPDATED = 'OK:  The utility has updated completely!'
FINISH = 'Finish: You must restart your computer. Do you want to restart your computer now?'
WARNED = 'Warning:  The OS is not Windows 95 system. Continue, anyway?'


def log_lines(run):
    return None if run['log'] is None else run['log'].decode('latin-1').split('\r\n')[:-1]


def logged(run, *lines):
    """The log holds these lines in this order, each a whole line, and ends with the exit code."""
    got, at = log_lines(run) or [], 0
    for line in lines:
        while at < len(got) and got[at] != line:
            at += 1
        if at == len(got):
            return False
    return bool(got) and got[-1] == 'Exit code %d' % run['code']


# name, version, has usb.inf, extra setup, switches, the same through the dialog (a
# script, or None when nothing may change), expectations (run, sample) -> [(ok, what)]
UNATTENDED = [
    ('/S, usb.inf missing', 'win95', False, None, '/S /L:' + LOG, 'install\nexit\nno\n',
     lambda r, s: [(r['code'] == 0 and not boxes(r), 'exit code 0, no box'),
                   (deleted(r) == CHIPSET_KEYS + USB_KEYS, 'the 24 device keys deleted in order'),
                   (marked(r, 'usb.inf') == 21, 'usb.inf created with its 21 lines'),
                   (logged(r, 'Plovex.exe R1.03 /S /L:' + LOG, UPDATED, FINISH + ' [No]'), 'the log: %s' % log_lines(r)),
                   (not r['reboot'], 'no restart without /R')]),
    ('/s /usb, usb.inf present', 'win95', True, None, '/s /usb', 'uncheck chipset\ninstall\nexit\nno\n',
     lambda r, s: [(r['code'] == 0 and not boxes(r), 'exit code 0, no box'),
                   (deleted(r) == USB_KEYS, 'only the USB keys deleted'),
                   (unchanged(r, s, 'MACHINE.INF') and unchanged(r, s, 'MSHDC.INF'), 'chipset files untouched'),
                   (r['log'] is None, 'no /L, no log')]),
    ('/U, usb.inf present', 'win95', True, None, '-U /L:' + LOG, 'uninstall\nexit\nno\n',
     lambda r, s: [(r['code'] == 0 and not boxes(r), 'exit code 0, no box'),
                   (deleted(r) == CHIPSET_KEYS + USB_KEYS, 'the 24 device keys deleted in order'),
                   (logged(r, 'OK: The utility has uninstalled completely!'), 'the log: %s' % log_lines(r))]),
    ('/S /R /CHIPSET: the restart', 'win95', True, None, '/S /R /CHIPSET /L:' + LOG, 'uncheck usb\ninstall\nexit\nyes\n',
     lambda r, s: [(r['code'] == 0 and not boxes(r), 'exit code 0, no box'),
                   (r['reboot'] == 1, 'ExitWindowsEx(EWX_REBOOT, 0) called once'),
                   (logged(r, UPDATED, FINISH + ' [Yes]', 'Restart of Windows requested'), 'the log: %s' % log_lines(r))]),
    ('/S, failed rename', 'win95', True, 'backup-folder', '/S /L:' + LOG, 'install\nexit\n',
     lambda r, s: [(r['code'] == 4 and not boxes(r), 'exit code 4 (a step failed), no box'),
                   (unchanged(r, s, 'MACHINE.INF'), 'MACHINE.INF kept'),
                   (logged(r, 'rename error: Install Failure'), 'the log: %s' % log_lines(r))]),
    ('bad switch without /S: one box', 'win95', True, None, '/X', None,
     lambda r, s: [(r['code'] == 5 and boxes(r) == [BAD_SWITCH], 'exit code 5 after the box: %s' % boxes(r))]),
    ('bad switches with /S: no box', 'win95', True, None, '/S /U /L:' + LOG, None,
     lambda r, s: [(r['code'] == 5 and not boxes(r), 'exit code 5, no box'),
                   (logged(r, 'Bad switches: /S and /U do not go together. Plovex.exe /? lists the switches.'),
                    'the log: %s' % log_lines(r))]),
    ('/S under NT: nothing without /F', 'nt', True, None, '/S /L:' + LOG, None,
     lambda r, s: [(r['code'] == 7 and not boxes(r), 'exit code 7, no box'),
                   (logged(r, WARNED + ' [No]', 'Not Windows 95: nothing done without /F'), 'the log: %s' % log_lines(r))]),
    ('/S /F under NT', 'nt', False, None, '/S /F /L:' + LOG, 'yes\ninstall\nexit\nno\n',
     lambda r, s: [(r['code'] == 0 and not boxes(r), 'exit code 0, no box'),
                   (logged(r, WARNED + ' [Yes]', 'Device key not deleted: HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_7110',
                           UPDATED), 'the log, with a key NT keeps for its subkeys: %s' % log_lines(r))]),
]


# ---- Wine ----------------------------------------------------------------------

class Wine:
    def __init__(self, loader, server, arch, prefix):
        self.loader, self.server, self.prefix = loader, server, prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEARCH=arch, WINELOADER=loader, WINESERVER=server,
                        WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=')
        self.env.pop('DISPLAY', None)
        self.inf = os.path.join(prefix, 'drive_c', 'windows', 'inf')
        self.home = os.path.join(prefix, 'drive_c', 'plovex')

    def run(self, args, timeout=60, debug=None):
        # Output goes through files, not pipes: Wine's own background processes
        # inherit them and would hold a pipe open long after the command ended.
        env = dict(self.env, WINEDEBUG=debug) if debug else self.env
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([self.loader] + args, env=env, stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(done.args, done.returncode, out.read(), err.read())

    def import_reg(self, text):
        path = os.path.join(self.home, 'state.reg')
        with open(path, 'w', newline='\r\n') as f:
            f.write(text)
        done = self.run(['regedit', '/S', 'C:\\plovex\\state.reg'])
        if done.returncode != 0:
            raise RuntimeError('regedit failed: %s' % done.stderr.decode(errors='replace')[-400:])

    def keys(self, root='HKLM\\Enum'):
        done = self.run(['reg', 'query', root, '/s'])
        return {line.strip().replace('HKEY_LOCAL_MACHINE', 'HKLM', 1)
                for line in done.stdout.decode('latin-1').splitlines() if line.startswith('HKEY_')}

    def setup(self, exe, driver):
        os.makedirs(self.prefix, exist_ok=True)
        # One server for the whole suite, so that each command finds it warm.
        subprocess.run([self.server, '-p'], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        done = self.run(['wineboot', '-i'], timeout=300)
        if done.returncode != 0:
            raise RuntimeError('wineboot failed: %s' % done.stderr.decode(errors='replace')[-400:])
        os.makedirs(self.home, exist_ok=True)
        shutil.copy(exe, os.path.join(self.home, 'Plovex.exe'))
        shutil.copy(driver, os.path.join(self.home, 'plovex-driver.exe'))
        # No X: the null display driver. Relay trace of the calls no window shows.
        self.import_reg('REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\n"Graphics"="null"\n\n'
                        '[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n'
                        '"RelayInclude"="user32.MessageBoxA;advapi32.RegDeleteKeyA;user32.ExitWindowsEx;'
                        'DialogBoxParamA;CreateFileA;MoveFileA;DeleteFileA;SetFileAttributesA;'
                        'SetForegroundWindow"\n')
        # The desktop process chose its display driver before the setting existed: start afresh.
        self.stop()
        subprocess.run([self.server, '-p'], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def stop(self):
        subprocess.run([self.server, '-k'], env=self.env, capture_output=True)


def decode_debugstr(text):
    """Undoes Wine's escaping of a traced string."""
    out, i = bytearray(), 0
    simple = {'n': 10, 'r': 13, 't': 9, '\\': 92, '"': 34}
    while i < len(text):
        c = text[i]
        if c == '\\' and i + 1 < len(text):
            n = text[i + 1]
            if n in simple:
                out.append(simple[n])
                i += 2
                continue
            if n == 'x':
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
        out.extend(c.encode('latin-1'))
        i += 1
    return out.decode('latin-1')


RELAY = re.compile(r'^([0-9a-f]+):(Call|Ret)\s+(\w+)\.(\w+)\((.*)\)(?: retval=([0-9a-f]+))? ret=[0-9a-f]+$')
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')


def relay_calls(stderr, program='program'):
    """(Call|Ret, function, arguments, return value) of the traced calls of the
    program's thread, or of the second program's ('second program')."""
    text = stderr.decode('latin-1').replace('\r\n', '\n')
    thread = re.search(r'^driver: %s thread ([0-9a-f]+)$' % program, text, re.M)
    if not thread:
        return []
    matches = (RELAY.match(line) for line in text.splitlines())
    return [(m.group(2), m.group(4), m.group(5), m.group(6)) for m in matches
            if m and int(m.group(1), 16) == int(thread.group(1), 16)]


def relay_events(stderr):
    """The program's events in order, from the relay trace of its thread."""
    events, pending = [], None
    for kind, function, args, retval in relay_calls(stderr):
        strings = [decode_debugstr(s) for s in QUOTED.findall(args)]
        if kind == 'Call' and function == 'MessageBoxA':
            pending = {'event': 'messagebox', 'caption': strings[1], 'text': strings[0],
                       'type': int(args.rsplit(',', 1)[1], 16)}
        elif kind == 'Call' and function == 'RegDeleteKeyA':
            pending = {'event': 'regdelete', 'key': strings[0]}
        elif kind == 'Call' and function == 'ExitWindowsEx':
            events.append({'event': 'reboot', 'flags': [int(a, 16) for a in args.split(',')]})
        elif kind == 'Ret' and pending and function in ('MessageBoxA', 'RegDeleteKeyA'):
            if function == 'MessageBoxA':
                pending['answer'] = int(retval, 16)
            else:
                pending['found'] = int(retval, 16) == 0
            events.append(pending)
            pending = None
    return events


def with_ancestors(keys):
    """The keys and every key above them below HKLM\\Enum: a REGEDIT4 file need not
    list a key whose only content is its subkeys."""
    closed = set()
    for key in keys:
        parts = key.split('\\')
        for depth in range(2, len(parts) + 1):
            closed.add('\\'.join(parts[:depth]))
    return closed


# ---- one scenario --------------------------------------------------------------

def read_only(folder, only_ours):
    return sorted(name for name in os.listdir(folder) if (not only_ours or name.lower() in OUR_NAMES) and
                  os.path.isfile(os.path.join(folder, name)) and
                  not os.stat(os.path.join(folder, name)).st_mode & 0o200)


def folder_state(folder, only_ours):
    """{name: bytes, or 'folder'} of the inf folder's entries."""
    state = {}
    for name in sorted(os.listdir(folder)):
        if only_ours and name.lower() not in OUR_NAMES:
            continue
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            state[name] = 'folder'
        else:
            with open(path, 'rb') as f:
                state[name] = f.read()
    return state


def place_files(folder, sample, fixtures, with_usb, extra):
    shutil.copy(os.path.join(sample, 'WINDOWS', 'INF', 'MACHINE.INF'), folder)
    shutil.copy(os.path.join(sample, 'WINDOWS', 'INF', 'MSHDC.INF'), folder)
    if with_usb:
        shutil.copy(os.path.join(fixtures, 'USB.INF'), folder)
    if extra == 'read-only':  # Wine and the host runner both take a file without write permission as read-only
        os.chmod(os.path.join(folder, 'MACHINE.INF'), 0o444)
    if extra == 'backup-folder':  # MoveFileA onto it must fail, and it cannot be deleted as a file
        os.makedirs(os.path.join(folder, 'machine.in@'))
        with open(os.path.join(folder, 'machine.in@', 'keep.txt'), 'w') as f:
            f.write('not empty\n')


def registry_text(sample, version):
    with open(os.path.join(sample, 'SYSTEM.REG'), encoding='latin-1') as f:
        body = f.read().split('\n', 1)[1]
    wine, nt, number, sub = VERSIONS[version]
    return ('REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Enum]\n' + body.replace('\r\n', '\n') +
            '\n[HKEY_CURRENT_USER\\Software\\Wine]\n%s\n\n'
            '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]\n%s\n\n'
            '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\n%s\n%s\n' % (wine, nt, number, sub))


def read_log(path):
    if not os.path.exists(path):
        return None
    with open(path, 'rb') as f:
        return f.read()


def run_wine(wine, args, version, with_usb, extra, script, switches=None):
    for name in os.listdir(wine.inf):
        if name.lower() in OUR_NAMES:
            path = os.path.join(wine.inf, name)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    log = os.path.join(wine.home, 'plovex.log')
    if os.path.exists(log):
        os.remove(log)
    place_files(wine.inf, args.sample, args.fixtures, with_usb, extra)
    wine.import_reg(registry_text(args.sample, version))
    with open(os.path.join(wine.home, 'script.txt'), 'w', newline='\r\n') as f:
        f.write(script)
    done = wine.run(['C:\\plovex\\plovex-driver.exe', 'C:\\plovex\\Plovex.exe', 'C:\\plovex\\script.txt'] +
                    ([switches] if switches else []), debug='-all,+relay')
    transcript = [json.loads(line) for line in done.stdout.decode('latin-1').splitlines() if line.startswith('{')]
    notes = [l.rstrip('\r') for l in done.stderr.decode('latin-1').splitlines() if l.startswith('driver: ')]
    driver_errors = [l for l in notes if l != 'driver: dialog open' and 'program thread' not in l]
    second = [e for e in transcript if e['event'] == 'second']
    traced = relay_events(done.stderr)
    exit_events = [e for e in transcript if e['event'] == 'exit']
    events = [e for e in traced if e['event'] != 'reboot'] + exit_events
    reboots = [e for e in traced if e['event'] == 'reboot']
    # Where the reboot request stands among the events, as the host logs it.
    if reboots:
        events.insert(len(events) - 1, {'event': 'reboot'})
    return {'events': events, 'transcript': transcript, 'files': folder_state(wine.inf, True),
            'readonly': read_only(wine.inf, True), 'second': second[0] if second else None,
            'second_calls': [f for kind, f, _, _ in relay_calls(done.stderr, 'second program') if kind == 'Call'],
            'keys': with_ancestors(wine.keys()), 'code': exit_events[0]['code'] if exit_events else None,
            'reboot': sum(1 for e in reboots if e['flags'] == [2, 0]), 'driver': done.returncode,
            'driver_errors': driver_errors, 'dialog': 'driver: dialog open' in notes, 'log': read_log(log)}


def run_host(args, work, version, with_usb, extra, script, switches=None):
    drive = os.path.join(work, 'drive')
    shutil.rmtree(drive, ignore_errors=True)
    inf = os.path.join(drive, 'WINDOWS', 'INF')
    os.makedirs(inf)
    os.makedirs(os.path.join(drive, 'plovex'))  # C:\plovex, where the log of /L goes
    place_files(inf, args.sample, args.fixtures, with_usb, extra)
    registry = os.path.join(work, 'system.reg')
    shutil.copy(os.path.join(args.sample, 'SYSTEM.REG'), registry)
    paths = {name: os.path.join(work, name) for name in ('script.txt', 'log.jsonl')}
    with open(paths['script.txt'], 'w') as f:
        f.write(''.join(line for line in script.splitlines(True) if not line.startswith(SECOND_INSTANCE)))
    given = ['--command-line', switches] if switches else ['--script', paths['script.txt']]
    done = subprocess.run([args.runner, '--drive-c', drive, '--windows-dir', 'C:\\windows', '--os', version,
                           '--registry', registry, '--log', paths['log.jsonl']] + given,
                          capture_output=True, timeout=60)
    with open(paths['log.jsonl']) as f:
        events = [e for e in (json.loads(line) for line in f if line.strip()) if e['event'] != 'start']
    keys = set()
    with open(registry, encoding='latin-1') as f:
        for line in f:
            m = re.match(r'^\[HKEY_LOCAL_MACHINE(\\Enum(?:\\.*)?)\]\s*$', line)
            if m:
                keys.add('HKLM' + m.group(1))
    return {'events': events, 'files': folder_state(inf, False), 'readonly': read_only(inf, False),
            'keys': with_ancestors(keys), 'code': done.returncode,
            'stderr': done.stderr.decode(errors='replace'), 'log': read_log(os.path.join(drive, 'plovex', 'plovex.log'))}


def describe_difference(name, wine_value, host_value, labels=('wine', 'host')):
    first, second = labels
    if isinstance(wine_value, dict) and isinstance(host_value, dict):
        parts = []
        for key in sorted(set(wine_value) | set(host_value)):
            if wine_value.get(key) != host_value.get(key):
                parts.append('%s: %s %s, %s %s' % (key, first, summary(wine_value.get(key)), second,
                                                   summary(host_value.get(key))))
        return '%s differ: %s' % (name, '; '.join(parts))
    if isinstance(wine_value, set):
        return '%s differ: only %s %s; only %s %s' % (
            name, first, sorted(wine_value - host_value), second, sorted(host_value - wine_value))
    return '%s differ:\n        %s %s\n        %s %s' % (name, first, wine_value, second, host_value)


def summary(value):
    if isinstance(value, bytes):
        return '%d bytes' % len(value)
    return repr(value)


def on_screen(event):
    """A box as the driver read it: caption, text, buttons, icon (named, or only present) and answer."""
    icon = event['type'] & 0xF0 or ('shown' if event['icon'] else 0)
    return (event['caption'], event['text'], event['type'] & 0xF, icon, event['answer'])


def as_shown(event, seen):
    """A traced MessageBoxA call as the screen can show it."""
    icon = event['type'] & 0xF0
    if icon and seen and seen[3] == 'shown':  # the driver saw an icon it could not name
        icon = 'shown'
    return (event['caption'], event['text'], event['type'] & 0xF, icon, event['answer'])


def without_found(event, leave_out):
    return {k: v for k, v in event.items() if not (leave_out and k == 'found')}


def run_scenario(wine, args, work, scenario):
    """A scenario of SCENARIOS, or of UNATTENDED (one element more: the switches)."""
    if len(scenario) == 7:
        name, version, with_usb, extra, switches, dialog, expect = scenario
        script = ''
    else:
        name, version, with_usb, extra, script, expect = scenario
        switches = dialog = None
    started = time.monotonic()
    problems = []
    w = run_wine(wine, args, version, with_usb, extra, script, switches)
    h = run_host(args, work, version, with_usb, extra, script, switches)
    # The inf folder as the scenario starts, for its expectations.
    start_state = os.path.join(work, 'start-state')
    shutil.rmtree(start_state, ignore_errors=True)
    os.makedirs(start_state)
    place_files(start_state, args.sample, args.fixtures, with_usb, extra)
    sample_files = folder_state(start_state, False)

    if w['driver'] != 0 or w['driver_errors']:
        problems.append('driver exit %s: %s' % (w['driver'], ' | '.join(w['driver_errors'])))
    # What the driver read off the screen must be what the program asked for.
    shown = [on_screen(e) for e in w['transcript'] if e['event'] == 'messagebox']
    traced = [as_shown(e, shown[i] if i < len(shown) else None)
              for i, e in enumerate(e for e in w['events'] if e['event'] == 'messagebox')]
    if shown != traced:
        problems.append(describe_difference('boxes on screen and boxes asked for', shown, traced))
    for ok, what in expect(w, sample_files):
        if not ok:
            problems.append('expected: ' + what)
    # The same run on the host. Windows NT (Wine set to XP) refuses to delete a
    # key that has subkeys, which Windows 95 and the host delete whole: under
    # NT whether a key went is left to the comparison with the dialog.
    nt = version == 'nt'
    if [without_found(e, nt) for e in w['events']] != [without_found(e, nt) for e in h['events']]:
        problems.append(describe_difference('events', w['events'], h['events']))
    if w['files'] != h['files']:
        problems.append(describe_difference('inf files', w['files'], h['files']))
    if w['readonly'] != h['readonly']:
        problems.append(describe_difference('read-only files', w['readonly'], h['readonly']))
    if w['keys'] != h['keys'] and not nt:
        problems.append(describe_difference('registry keys left', w['keys'], h['keys']))
    if switches and w['log'] != h['log'] and not nt:
        problems.append(describe_difference('logs', w['log'], h['log']))
    # Unattended, the same files and keys as the dialog gives; with nothing to compare with, nothing changed.
    if switches and dialog:
        d = run_wine(wine, args, version, with_usb, extra, dialog)
        for what in ('files', 'readonly', 'keys'):
            if w[what] != d[what]:
                problems.append(describe_difference(what, w[what], d[what], ('unattended', 'dialog')))
        if deleted(w) != deleted(d):
            problems.append(describe_difference('keys deleted', deleted(w), deleted(d), ('unattended', 'dialog')))
    elif switches and (w['files'] != sample_files or deleted(w)):
        problems.append('files changed or keys deleted: %s' % deleted(w))
    seconds = time.monotonic() - started
    return problems, seconds, w, h


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--exe', required=True)
    parser.add_argument('--driver', required=True)
    parser.add_argument('--runner', required=True)
    parser.add_argument('--sample', required=True)
    parser.add_argument('--fixtures', required=True)
    parser.add_argument('--wine', default='/usr/lib/wine/wine64')
    parser.add_argument('--wineserver', default='/usr/lib/wine/wineserver64')
    parser.add_argument('--arch', default='win64', choices=['win32', 'win64'])
    parser.add_argument('--only', help='run the scenarios whose name contains this')
    parser.add_argument('--keep', action='store_true', help='keep the prefix and work folder')
    parser.add_argument('--verbose', action='store_true')
    args = parser.parse_args()

    # A time-out's SIGTERM still stops the Wine server and removes the prefix.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    work = tempfile.mkdtemp(prefix='plovex-wine-')
    wine = Wine(args.wine, args.wineserver, args.arch, os.path.join(work, 'prefix'))
    passed = failed = 0
    try:
        started = time.monotonic()
        try:
            wine.setup(args.exe, args.driver)
        except (RuntimeError, subprocess.SubprocessError, OSError) as error:
            print('wine: cannot set up a prefix: %s' % error)
            return 2
        print('prefix ready in %.1f s (%s)' % (time.monotonic() - started, args.arch))
        for scenario in SCENARIOS + UNATTENDED:
            if args.only and args.only not in scenario[0]:
                continue
            try:
                problems, seconds, w, h = run_scenario(wine, args, work, scenario)
            except (RuntimeError, subprocess.SubprocessError, OSError, ValueError, KeyError) as error:
                problems, seconds, w, h = ['could not run: %s' % error], 0.0, None, None
            if problems:
                failed += 1
                print('FAIL  %-45s %5.1f s' % (scenario[0], seconds))
                for problem in problems:
                    print('      ' + problem)
            else:
                passed += 1
                print('ok    %-45s %5.1f s' % (scenario[0], seconds))
            if args.verbose and w:
                for event in w['events']:
                    print('        ' + json.dumps(event))
    finally:
        wine.stop()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print('kept ' + work)
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
