#!/usr/bin/env python3
"""Checks that Plovex.exe can load and run on retail Windows 95 on a Pentium, that
its resources are the ones the dialog is built from, and that its version
resource gives Properties a Version tab for this release.

  check_exe.py EXE MAP EXPORTS [OBJDUMP]

EXE is the linked program, MAP the linker map written beside it, EXPORTS the list
of functions that Windows 95's KERNEL32, USER32 and ADVAPI32 export. Prints one
line per check and exits non-zero when any fails.
"""
import re
import struct
import subprocess
import sys

ALLOWED_DLLS = {'KERNEL32.DLL', 'USER32.DLL', 'ADVAPI32.DLL'}
MOST_BYTES = 64 * 1024

# Instructions a Pentium (P5) does not have: P6 additions, MMX, SSE and later.
P6_MNEMONICS = re.compile(r'^(cmov\w*|fcmov\w*|f(u)?comip?|sysenter|sysexit|ud2|rdpmc|nop[wl]|emms|femms|'
                          r'prefetch\w*|[lms]fence|clflush|movnt\w*|pause|popcnt|lzcnt|tzcnt|crc32|'
                          r'fxsave|fxrstor|ldmxcsr|stmxcsr)$')
SIMD_REGISTER = re.compile(r'%(x|y|z)?mm\d')

# The dialog as the program's users know it.
WS_POPUP, WS_CHILD, WS_VISIBLE, WS_CAPTION = 0x80000000, 0x40000000, 0x10000000, 0x00C00000
WS_GROUP, WS_TABSTOP = 0x00020000, 0x00010000
DS_SETFONT, DS_MODALFRAME, DS_CENTER = 0x40, 0x80, 0x800
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_AUTOCHECKBOX = 0, 1, 3
SS_LEFT, SS_BITMAP, SS_REALSIZEIMAGE = 0, 0xE, 0x800
WS_EX_CLIENTEDGE, WS_EX_STATICEDGE = 0x200, 0x20000
BUTTON, STATIC = 0x80, 0x82
LANGUAGE = 1028  # Chinese (Traditional): the dialog, the pictures and the icon
VERSION_LANGUAGE, VERSION_CODE_PAGE = 1033, 1252  # the version resource: US English, Windows Latin 1
VERSION_STRINGS = ('CompanyName', 'FileDescription', 'FileVersion', 'InternalName', 'LegalCopyright',
                   'OriginalFilename', 'ProductName', 'ProductVersion')
DESCRIPTION = ("This Windows'95 utility applies to any motherboard which is based on following chipset:\n"
               "       Intel 430TX, Intel 440LX, Intel 440BX, SIS 5571, SIS 5582, SIS 5591, VIA VT82C598AT.")
DIALOG = {'style': WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT | DS_CENTER, 'exstyle': 0, 'help': 0,
          'rect': (0, 0, 236, 123), 'menu': 0, 'class': 0, 'caption': 'Plovex.exe R1.03',
          'font': (10, 0, 0, 1, 'System')}
CONTROLS = [  # class, id, text (an int is a bitmap), further styles, extended style, rect
    (BUTTON, 1015, 'Chipsets', BS_AUTOCHECKBOX | WS_TABSTOP, 0, (16, 101, 41, 8)),
    (BUTTON, 1012, 'USB controller', BS_AUTOCHECKBOX | WS_TABSTOP, 0, (16, 110, 60, 8)),
    (BUTTON, 1009, 'Install', BS_DEFPUSHBUTTON | WS_TABSTOP, 0, (110, 104, 33, 14)),
    (BUTTON, 1010, 'Uninstall', BS_PUSHBUTTON | WS_TABSTOP, 0, (152, 104, 33, 14)),
    (BUTTON, 1011, 'Exit', BS_PUSHBUTTON | WS_TABSTOP, 0, (194, 104, 33, 14)),
    (STATIC, -1, 119, SS_BITMAP, WS_EX_STATICEDGE, (8, 3, 109, 51)),
    (STATIC, -1, 116, SS_BITMAP | SS_REALSIZEIMAGE, 0, (127, 14, 103, 28)),
    (STATIC, -1, DESCRIPTION, SS_LEFT | WS_GROUP, WS_EX_CLIENTEDGE, (8, 55, 220, 34)),
    (STATIC, -1, 'Choice:', SS_LEFT | WS_GROUP, 0, (8, 91, 52, 8)),
]

failures = []


def check(ok, what):
    print(('ok    ' if ok else 'FAIL  ') + what)
    if not ok:
        failures.append(what)


# ---- PE image ------------------------------------------------------------------

class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        sections, optional_size = struct.unpack_from('<H12xH', data, pe + 6)
        self.magic = struct.unpack_from('<H', data, pe + 24)[0]
        directories = pe + 24 + (96 if self.magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from('<I', data, directories + 2 * 8)[0]
        self.sections = []
        table = pe + 24 + optional_size
        for i in range(sections):
            _, vsize, rva, raw_size, raw = struct.unpack_from('<8sIIII', data, table + 40 * i)
            self.sections.append((rva, max(vsize, raw_size), raw))

    def at(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError('rva %#x outside every section' % rva)

    def resources(self):
        """{(type, name, language): bytes} for every resource with numeric ids."""
        found = {}
        base = self.at(self.resource_rva)

        def walk(offset, path):
            named, ids = struct.unpack_from('<12xHH', self.data, base + offset)
            for i in range(named + ids):
                name, target = struct.unpack_from('<II', self.data, base + offset + 16 + 8 * i)
                key = path + (name if not name & 0x80000000 else 'named',)
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, key)
                else:
                    rva, size = struct.unpack_from('<II', self.data, base + target)
                    found[key] = self.data[self.at(rva):self.at(rva) + size]

        walk(0, ())
        return found


def read_unicode(data, offset):
    end = offset
    while data[end:end + 2] != b'\0\0':
        end += 2
    return data[offset:end].decode('utf-16-le'), end + 2


def read_name(data, offset):
    """A name-or-ordinal field: 0 (none), 0xFFFF and an ordinal, or a string."""
    first = struct.unpack_from('<H', data, offset)[0]
    if first == 0:
        return 0, offset + 2
    if first == 0xFFFF:
        return struct.unpack_from('<H', data, offset + 2)[0], offset + 4
    return read_unicode(data, offset)


def align4(offset):
    return (offset + 3) & ~3


def parse_dialogex(data):
    version, signature, help_id, exstyle, style, count, x, y, cx, cy = struct.unpack_from('<HHIIIHhhhh', data, 0)
    if (version, signature) != (1, 0xFFFF):
        return None
    offset = 26
    menu, offset = read_name(data, offset)
    klass, offset = read_name(data, offset)
    caption, offset = read_unicode(data, offset)
    points, weight, italic, charset = struct.unpack_from('<HHBB', data, offset)
    face, offset = read_unicode(data, offset + 6)
    dialog = {'style': style, 'exstyle': exstyle, 'help': help_id, 'rect': (x, y, cx, cy), 'menu': menu,
              'class': klass, 'caption': caption, 'font': (points, weight, italic, charset, face), 'controls': []}
    for _ in range(count):
        offset = align4(offset)
        c_help, c_exstyle, c_style, cx_, cy_, cw, ch, c_id = struct.unpack_from('<IIIhhhhi', data, offset)
        c_class, offset = read_name(data, offset + 24)
        text, offset = read_name(data, offset)
        extra = struct.unpack_from('<H', data, offset)[0]
        offset += 2 + extra
        dialog['controls'].append((c_class, c_id, text, c_style, c_exstyle, (cx_, cy_, cw, ch), c_help, extra))
    return dialog


def version_values(data, offset, path, values):
    """Fills values with every value of a version resource by its path of keys, such as
    ('VS_VERSION_INFO', 'StringFileInfo', '040904E4', 'FileVersion'); returns the node's end."""
    length, value_length, text = struct.unpack_from('<HHH', data, offset)
    key, at = read_unicode(data, offset + 6)
    size = value_length * (2 if text else 1)  # a text's length counts characters
    values[path + (key,)] = data[align4(at):align4(at) + size]
    at = align4(align4(at) + size)
    while at < offset + length:
        at = align4(version_values(data, at, path + (key,), values))
    return offset + length


def bitmap_header(data):
    _, width, height, planes, bits, _, _, _, _, used = struct.unpack_from('<IiiHHIIiiI', data, 0)
    return width, height, bits, used


# ---- checks --------------------------------------------------------------------

def check_headers(exe, objdump):
    headers = subprocess.run([objdump, '-p', exe], capture_output=True, text=True, check=True).stdout
    fields = dict(re.findall(r'^(\w+)\s+(\S+)', headers, re.M))
    check(fields.get('Magic') == '010b', 'PE32 image (32-bit)')
    check(fields.get('MajorSubsystemVersion') == '4' and fields.get('MinorSubsystemVersion') == '0',
          'subsystem version 4.0')
    check(fields.get('MajorOSystemVersion') == '4' and fields.get('MinorOSystemVersion') == '0', 'OS version 4.0')
    check(fields.get('Subsystem') == '00000002', 'Windows GUI subsystem')
    return headers


def check_imports(headers, exports_path):
    exports = set()
    with open(exports_path) as f:
        for line in f:
            if line.strip() and not line.startswith('#'):
                dll, name = line.split()
                exports.add((dll.upper(), name))
    imports = []
    dll = None
    for line in headers.splitlines():
        m = re.match(r'\s*DLL Name: (\S+)', line)
        if m:
            dll = m.group(1).upper()
            continue
        m = re.match(r'\s*[0-9a-f]+\s+\d+\s+(\S+)$', line)
        if dll and m:
            imports.append((dll, m.group(1)))
        elif not line.strip():
            dll = None
    dlls = sorted({d for d, _ in imports})
    check(bool(imports) and set(dlls) <= ALLOWED_DLLS, 'imports only from KERNEL32, USER32, ADVAPI32: %s' % dlls)
    missing = [d + ' ' + n for d, n in imports if (d, n) not in exports]
    check(not missing, 'every import is a Windows 95 export%s' % (': missing ' + ', '.join(missing) if missing else ''))
    wide = [n for _, n in imports if n.endswith('W')]
    check(not wide, 'no wide-character import%s' % (': ' + ', '.join(wide) if wide else ''))
    print('      imports: ' + ' '.join('%s!%s' % (d.split('.')[0], n) for d, n in imports))


def check_code(exe, objdump):
    listing = subprocess.run([objdump, '-d', '--no-show-raw-insn', exe], capture_output=True, text=True,
                             check=True).stdout
    bad = set()
    for line in listing.splitlines():
        parts = line.split('\t')
        if len(parts) < 2 or not re.match(r'\s*[0-9a-f]+:$', parts[0]):
            continue
        instruction = parts[1].strip()
        mnemonic = instruction.split(' ')[0]
        if mnemonic in ('rep', 'repz', 'repnz', 'lock', 'data16') and ' ' in instruction:
            mnemonic = instruction.split()[1]
        if P6_MNEMONICS.match(mnemonic) or SIMD_REGISTER.search(instruction):
            bad.add(instruction)
    check(not bad, 'Pentium instructions only (no CMOV, P6, MMX or SSE)%s' %
          (': ' + '; '.join(sorted(bad)[:8]) if bad else ''))


def check_map(map_path):
    with open(map_path) as f:
        text = f.read()
    constructors = re.findall(r'^\s*\.(?:ctors|init_array)\S*\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+\S+', text, re.M)
    check(not any(int(size, 16) for size in constructors), 'no global constructor to run')
    libraries = sorted(set(re.findall(r'(lib(?:msvcrt|ucrt\w*|mingw\w*|stdc\+\+)\.a)', text)))
    check(not libraries, 'no C or C++ runtime library linked%s' % (': ' + ', '.join(libraries) if libraries else ''))


def check_resources(image):
    check(image.resource_rva != 0, 'has resources')
    if image.resource_rva == 0:
        return
    resources = image.resources()
    languages = {key[2] for key in resources if key[0] != 16}
    check(languages == {LANGUAGE}, 'dialog, pictures and icon in language 1028: %s' % sorted(languages))
    version = resources.get((16, 1, VERSION_LANGUAGE))
    check(version is not None, 'version resource 1 in language %d' % VERSION_LANGUAGE)
    if version:
        check_version(version)
    by_id = {(key[0], key[1]): data for key, data in resources.items()}

    dialog = parse_dialogex(by_id.get((5, 102), b'\0' * 64))
    check(dialog is not None, 'dialog 102 is an extended template')
    if dialog:
        for field, expected in DIALOG.items():
            check(dialog[field] == expected, 'dialog %s %r' % (field, dialog[field]))
        check(len(dialog['controls']) == len(CONTROLS), 'dialog has %d controls' % len(dialog['controls']))
        for n, (got, want) in enumerate(zip(dialog['controls'], CONTROLS), 1):
            klass, cid, text, style, exstyle, rect = want
            expected = (klass, cid, text, WS_CHILD | WS_VISIBLE | style, exstyle, rect, 0, 0)
            check(got == expected, 'control %d: %r' % (n, got[:3]) + ('' if got == expected else
                                                                      ' (expected %r, got %r)' % (expected, got)))

    logo = by_id.get((2, 119))
    check(logo is not None and bitmap_header(logo)[:3] == (215, 99, 8), 'bitmap 119: 215 x 99, 8 bits')
    banner = by_id.get((2, 116))
    check(banner is not None and bitmap_header(banner)[:3] == (206, 56, 4), 'bitmap 116: 206 x 56, 4 bits')
    if banner:
        palette = [banner[40 + 4 * i:40 + 4 * i + 3] for i in range(16)]
        corner = banner[40 + 64] >> 4  # bottom-left pixel: the background
        check(palette[corner] == b'\xc0\xc0\xc0', 'banner background is the dialog grey')
        greens = {i for i, (b, g, r) in enumerate(palette) if g > 0 and b == 0 and r == 0}
        pixels = banner[40 + 64:]
        used = {p >> 4 for p in pixels} | {p & 15 for p in pixels}
        check(bool(greens & used), 'banner lettering is green')
    group = by_id.get((14, 101))
    check(group is not None and struct.unpack_from('<HHH', group)[2] == 1, 'icon group 101 with one image')
    if group:
        width, height, colours, _, _, bits, _, icon_id = struct.unpack_from('<BBBBHHIH', group, 6)
        icon = by_id.get((3, icon_id))
        check(icon_id == 1 and (width, height, colours) == (32, 32, 16) and icon is not None and
              bitmap_header(icon)[:3] == (32, 64, 4), 'icon 1: 32 x 32, 16 colours')


def check_version(data):
    """The Version tab: the strings Windows 95 prints, the numbers programs compare."""
    values = {}
    version_values(data, 0, (), values)
    fixed = values.get(('VS_VERSION_INFO',), b'')
    check(len(fixed) == 52 and fixed[:4] == b'\xbd\x04\xef\xfe', 'version resource with its fixed part')
    if len(fixed) != 52:
        return
    # The release is the one the caption names: "R1.03" is major 1, minor 3.
    release = DIALOG['caption'].rsplit(' R', 1)[1]
    major, minor = (int(part) for part in release.split('.'))
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from('<4I', fixed, 8)
    check((file_ms, file_ls) == (product_ms, product_ls) == (major << 16 | minor, 0),
          'file and product version %d.%d.%d.%d' % (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF))

    block = '%04X%04X' % (VERSION_LANGUAGE, VERSION_CODE_PAGE)
    blocks = {path[2] for path in values if path[1:2] == ('StringFileInfo',) and len(path) == 3}
    check(blocks == {block}, 'strings in block %s: %s' % (block, sorted(blocks)))
    strings = {}
    for path, value in values.items():
        if path[1:3] == ('StringFileInfo', block) and len(path) == 4:
            # Windows 95 copies each string up to its NUL.
            strings[path[3]] = value[:-2].decode('utf-16-le') if value.endswith(b'\0\0') else None
            print('      %s: %r' % (path[3], strings[path[3]]))
    missing = [name for name in VERSION_STRINGS if not strings.get(name)]
    check(not missing, 'every string there and NUL-terminated%s' % (': not ' + ', '.join(missing) if missing else ''))
    check(strings.get('FileVersion') == strings.get('ProductVersion') == release, 'version strings %s' % release)
    copyright = strings.get('LegalCopyright') or ''
    check('The plovex developers' in copyright and 'MIT' in copyright, 'copyright names the holders and the license')
    check(values.get(('VS_VERSION_INFO', 'VarFileInfo', 'Translation')) ==
          struct.pack('<HH', VERSION_LANGUAGE, VERSION_CODE_PAGE),
          'translation %d, code page %d, as the block' % (VERSION_LANGUAGE, VERSION_CODE_PAGE))


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    exe, map_path, exports = sys.argv[1:4]
    objdump = sys.argv[4] if len(sys.argv) == 5 else 'i686-w64-mingw32-objdump'
    with open(exe, 'rb') as f:
        data = f.read()
    check(len(data) <= MOST_BYTES, 'size %d bytes (at most %d)' % (len(data), MOST_BYTES))
    headers = check_headers(exe, objdump)
    check_imports(headers, exports)
    check_code(exe, objdump)
    check_map(map_path)
    check_resources(Image(data))
    print('%d check(s) failed' % len(failures) if failures else 'all checks passed')
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
