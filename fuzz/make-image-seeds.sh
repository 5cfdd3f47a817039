#!/usr/bin/env bash
# Makes the small disk images that fuzz/image.cpp starts from, kept in
# fuzz/regressions/image (the fuzz stage seeds with them and ctest replays
# them): a bare FAT12 volume, an MBR disk with a FAT12 partition, a fixed VHD,
# and FAT16 and FAT32 volumes in dynamic VHD files with 4 KiB blocks, which
# leave out the blocks that are all zeros (qemu-img's 2 MiB blocks would make
# seeds too large to fuzz). Each holds a small Windows 95 installation. (These
# VHD footers give no CHS geometry: qemu-img, which takes a disk's size from it
# unless it knows the program that made the file, reads them as empty; plovex,
# as Windows, takes the footer's current size.)
#
#   fuzz/make-image-seeds.sh [FOLDER]     (default fuzz/regressions/image)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-fuzz/regressions/image}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/tree/WINDOWS/INF"
export MTOOLS_SKIP_CHECK=1

printf '[Version]\r\nSignature=$CHICAGO$\r\n\r\n[Manufacturer]\r\n%%M%%=MFG\r\n' >"$work/tree/WINDOWS/INF/Machine.inf"
printf '[Version]\r\nClass=hdc\r\n' >"$work/tree/WINDOWS/INF/MSHDC.INF"
printf '[Version]\r\nClass=USB\r\n' >"$work/tree/WINDOWS/INF/usb.inf"
printf '; a driver with a long name\r\n' >"$work/tree/WINDOWS/INF/A driver with a long name.inf"
head -c 3000 /dev/zero | tr '\0' 'k' >"$work/tree/WINDOWS/SYSTEM.DAT"

# A FAT volume of KIB KiB with the installation, at SECTOR of FILE.
volume() { # FILE KIB SECTOR MKFS-OPTIONS...
  local file=$1 kib=$2 sector=$3
  shift 3
  mkfs.fat "$@" --offset "$sector" -n WIN95 "$file" "$kib" >/dev/null 2>&1
  mcopy -s -i "$file@@$((sector * 512))" "$work/tree/WINDOWS" ::/
  mattrib -i "$file@@$((sector * 512))" +r +h +s ::/WINDOWS/SYSTEM.DAT
}

# A dynamic VHD with BLOCK-byte blocks of a raw disk, only its non-zero blocks stored.
dynamic() { # RAW VHD BLOCK
  python3 - "$@" <<'EOF'
import struct, sys
raw, block = open(sys.argv[1], 'rb').read(), int(sys.argv[3])
blocks = (len(raw) + block - 1) // block
def checksum(b, at):
    struct.pack_into('>I', b, at, ~sum(b) & 0xFFFFFFFF)
footer = bytearray(512)
struct.pack_into('>8sIIQI4sII', footer, 0, b'conectix', 2, 0x10000, 512, 0, b'plvx', 0x10000, 0x5769326B)
struct.pack_into('>QQII', footer, 40, len(raw), len(raw), 0, 3)
checksum(footer, 64)
header = bytearray(1024)
struct.pack_into('>8sQQIII', header, 0, b'cxsparse', 0xFFFFFFFFFFFFFFFF, 1536, 0x10000, blocks, block)
checksum(header, 36)
bat_bytes = (blocks * 4 + 511) // 512 * 512
bitmap = b'\xff' * (((block // 512 + 7) // 8 + 511) // 512 * 512)
bat, data, at = bytearray(b'\xff' * bat_bytes), bytearray(), 1536 + bat_bytes
for n in range(blocks):
    chunk = raw[n * block:(n + 1) * block].ljust(block, b'\0')
    if chunk.count(0) == block:
        continue
    struct.pack_into('>I', bat, n * 4, (at + len(data)) // 512)
    data += bitmap + chunk
open(sys.argv[2], 'wb').write(bytes(footer) + bytes(header) + bytes(bat) + bytes(data) + bytes(footer))
EOF
}

truncate -s 64K "$work/fat12.img"
volume "$work/fat12.img" 64 0 -F 12
cp "$work/fat12.img" "$out/fat12.img"

truncate -s 96K "$work/mbr.img"
printf 'label: dos\nstart=1, size=160, type=1\n' | sfdisk -q "$work/mbr.img" 2>/dev/null
volume "$work/mbr.img" 80 1 -F 12
cp "$work/mbr.img" "$out/mbr-fat12.img"

qemu-img convert -f raw -O vpc -o subformat=fixed "$work/fat12.img" "$out/fat12-fixed.vhd"

truncate -s 4M "$work/fat16.img"
volume "$work/fat16.img" 4096 0 -F 16 -s 1
dynamic "$work/fat16.img" "$out/fat16-dynamic.vhd" 4096

truncate -s 33M "$work/fat32.img"
volume "$work/fat32.img" $((33 * 1024)) 0 -F 32 -s 1
dynamic "$work/fat32.img" "$out/fat32-dynamic.vhd" 4096
ls -l "$out"
