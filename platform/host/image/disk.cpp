// The image file: opened and locked for the run, its container recognised,
// and the guest's disk read and written through it. A raw image is the disk
// itself; a fixed VHD is the disk followed by a 512-byte footer, which is left
// as it is; a dynamic VHD keeps the disk in blocks that a table (the BAT)
// places in the file, and a write into a block that has none allocates one
// the way the VHD format says, ordered so that a process that dies in between
// leaves a file that still ends with a valid footer and a BAT that points only
// at complete blocks.
#include "platform/host/image/disk.h"
#include "platform/host/faulthook.h"
#include "platform/host/posixio.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace image {

namespace {

const uint64_t SECTOR = 512;

uint32_t Big32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

uint64_t Big64(const uint8_t *p)
{
    return (uint64_t)Big32(p) << 32 | Big32(p + 4);
}

void PutBig32(uint8_t *p, uint32_t value)
{
    p[0] = (uint8_t)(value >> 24);
    p[1] = (uint8_t)(value >> 16);
    p[2] = (uint8_t)(value >> 8);
    p[3] = (uint8_t)value;
}

bool FileRead(Disk &disk, uint64_t offset, void *buffer, size_t size)
{
    size_t got;
    if (!host::ReadAtOffset(disk.fd, offset, buffer, size, got) || got < size) {
        errno = EIO; // an error, or a file shorter than its structures say
        return false;
    }
    disk.bytesRead += size;
    return true;
}

// One write into the image file, as the fault hook allows it.
bool FileWrite(Disk &disk, uint64_t offset, const void *buffer, size_t size)
{
    if (host::FaultDue(host::Operation::ImageWrite)) {
        errno = EIO; // a failing disk: nothing of this write reaches the file
        return false;
    }
    size_t put;
    if (!host::WriteAtOffset(disk.fd, offset, buffer, size, put))
        return false;
    disk.bytesWritten += size;
    return true;
}

// Image formats that are not opened here, by the signature each begins with,
// and the name qemu-img knows each by.
struct Foreign {
    size_t offset;
    const char *signature;
    size_t length;
    const char *name;
    const char *qemuFormat;
};
const Foreign ForeignFormats[] = {
    {0, "QFI\xfb", 4, "QEMU copy-on-write (qcow2)", "qcow2"},
    {0, "QED\0", 4, "QEMU enhanced disk (QED)", "qed"},
    {0x40, "\x7f\x10\xda\xbe", 4, "VirtualBox disk image (VDI)", "vdi"},
    {0, "KDMV", 4, "VMware disk (VMDK)", "vmdk"},
    {0, "COWD", 4, "VMware disk (VMDK)", "vmdk"},
    {0, "# Disk DescriptorFile", 21, "VMware disk descriptor (VMDK)", "vmdk"},
    {0, "vhdxfile", 8, "Hyper-V disk (VHDX)", "vhdx"},
    {0, "WithoutFreeSpace", 16, "Parallels disk", "parallels"},
    {0, "WithouFreSpacExt", 16, "Parallels disk", "parallels"},
};

// The refusal of another format: how to take it to a raw image and back.
std::string ConvertAdvice(const std::string &path, const char *name, const char *format)
{
    std::string stem = path;
    size_t dot = stem.find_last_of('.');
    if (dot != std::string::npos && dot > 0 && stem.find('/', dot) == std::string::npos)
        stem.erase(dot);
    std::string raw = stem + ".raw";
    if (raw == path)
        raw = stem + "-raw.img";
    return path + ": a " + name + " image; plovex opens raw disk images and VHD files only. Convert it to a raw "
           "image, run plovex on that, and convert it back:\n"
           "  qemu-img convert -f " + format + " -O raw " + path + " " + raw + "\n"
           "  plovex --drive-c " + raw + "\n"
           "  qemu-img convert -f raw -O " + format + " " + raw + " " + path;
}

// The VHD checksum: the ones' complement of the sum of every byte but the
// checksum's own four.
uint32_t VhdChecksum(const uint8_t *bytes, size_t size, size_t checksumAt)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < size; i++)
        if (i < checksumAt || i >= checksumAt + 4)
            sum += bytes[i];
    return ~sum;
}

enum { VHD_FIXED_TYPE = 2, VHD_DYNAMIC_TYPE = 3, VHD_DIFFERENCING_TYPE = 4 };

// The BAT and the dynamic disk header it is described by.
bool OpenDynamic(Disk &disk, const uint8_t *footer, std::string &error)
{
    uint8_t copy[SECTOR], header[1024];
    uint64_t headerAt = Big64(footer + 16);
    if (!FileRead(disk, 0, copy, SECTOR) || memcmp(copy, footer, SECTOR) != 0)
        return (error = "a dynamic VHD whose copy of the footer at its start differs from the footer at its end", false);
    if (headerAt < SECTOR || headerAt % SECTOR != 0 || headerAt > disk.fileSize ||
        disk.fileSize - headerAt < sizeof header + SECTOR ||
        !FileRead(disk, headerAt, header, sizeof header) || memcmp(header, "cxsparse", 8) != 0)
        return (error = "a dynamic VHD without its dynamic disk header", false);
    if (Big32(header + 36) != VhdChecksum(header, sizeof header, 36))
        return (error = "a dynamic VHD whose header checksum is wrong", false);
    disk.batOffset = Big64(header + 16);
    uint32_t tableEntries = Big32(header + 28);
    disk.blockSize = Big32(header + 32);
    // Blocks are 2 MiB as Virtual PC and qemu-img make them; other powers of
    // two from 512 bytes to 32 MiB are taken too.
    if (disk.blockSize < SECTOR || disk.blockSize > (32u << 20) || (disk.blockSize & (disk.blockSize - 1)) != 0)
        return (error = "a dynamic VHD with an impossible block size (" + std::to_string(disk.blockSize) + ")", false);
    uint64_t blocks = disk.size / disk.blockSize + (disk.size % disk.blockSize != 0);
    if (blocks > tableEntries)
        return (error = "a dynamic VHD whose block table is smaller than its disk", false);
    disk.bitmapSize = (uint32_t)(((disk.blockSize / SECTOR + 7) / 8 + SECTOR - 1) / SECTOR * SECTOR);
    uint64_t batBytes = blocks * 4;
    if (disk.batOffset % SECTOR != 0 || disk.batOffset < SECTOR || disk.batOffset > disk.fileSize ||
        disk.fileSize - disk.batOffset < batBytes + SECTOR)
        return (error = "a dynamic VHD whose block table lies outside the file", false);
    std::vector<uint8_t> table(batBytes);
    if (!FileRead(disk, disk.batOffset, table.data(), table.size()))
        return (error = "a dynamic VHD whose block table cannot be read", false);
    disk.bat.resize(blocks);
    disk.dataEnd = std::max(headerAt + sizeof header, disk.batOffset + (batBytes + SECTOR - 1) / SECTOR * SECTOR);
    for (uint64_t b = 0; b < blocks; b++) {
        disk.bat[b] = Big32(&table[b * 4]);
        if (disk.bat[b] == NO_BLOCK)
            continue;
        uint64_t end = (uint64_t)disk.bat[b] * SECTOR + disk.bitmapSize + disk.blockSize;
        if ((uint64_t)disk.bat[b] * SECTOR < SECTOR || end > disk.fileSize - SECTOR)
            return (error = "a dynamic VHD with a block past the end of the file (truncated?)", false);
        disk.dataEnd = std::max(disk.dataEnd, end);
    }
    if (disk.fileSize % SECTOR != 0)
        return (error = "a dynamic VHD whose length is not a whole number of sectors", false);
    disk.container = Container::VHD_DYNAMIC;
    return true;
}

// Raw, VHD or another format, by the file's first and last sectors.
bool Recognise(Disk &disk, std::string &error)
{
    uint8_t first[SECTOR] = {}, last[SECTOR] = {};
    if (disk.fileSize < SECTOR)
        return (error = disk.path + ": too small to be a disk image (" + std::to_string(disk.fileSize) + " bytes)",
                false);
    if (!FileRead(disk, 0, first, SECTOR) || !FileRead(disk, disk.fileSize - SECTOR, last, SECTOR))
        return (error = disk.path + ": cannot be read (" + strerror(errno) + ")", false);
    for (const Foreign &format : ForeignFormats)
        if (memcmp(first + format.offset, format.signature, format.length) == 0)
            return (error = ConvertAdvice(disk.path, format.name, format.qemuFormat), false);
    bool footerAtEnd = memcmp(last, "conectix", 8) == 0;
    if (!footerAtEnd && memcmp(first, "conectix", 8) == 0)
        return (error = disk.path + ": a VHD whose footer at the end is missing (the file is truncated)", false);
    if (!footerAtEnd) {
        disk.container = Container::RAW;
        disk.size = disk.fileSize;
        return true;
    }
    if (Big32(last + 64) != VhdChecksum(last, SECTOR, 64))
        return (error = disk.path + ": a VHD whose footer checksum is wrong", false);
    disk.footer.assign((const char *)last, SECTOR);
    disk.size = Big64(last + 48);
    uint32_t type = Big32(last + 60);
    if (type == VHD_FIXED_TYPE) {
        if (disk.size > disk.fileSize - SECTOR)
            return (error = disk.path + ": a fixed VHD shorter than its disk (truncated)", false);
        disk.container = Container::VHD_FIXED;
        return true;
    }
    if (type == VHD_DIFFERENCING_TYPE)
        return (error = ConvertAdvice(disk.path, "differencing VHD (its contents depend on a parent)", "vpc"), false);
    if (type != VHD_DYNAMIC_TYPE)
        return (error = disk.path + ": a VHD of unknown disk type " + std::to_string(type), false);
    if (!OpenDynamic(disk, last, error))
        return (error = disk.path + ": " + error, false);
    return true;
}

// The lock of the run: flock for other plovex runs, and a whole-file OFD
// lock, which QEMU's image locking asks about before it opens an image.
bool Lock(Disk &disk, std::string &error)
{
    if (flock(disk.fd, LOCK_EX | LOCK_NB) != 0)
        return (error = disk.path + (errno == EWOULDBLOCK ? ": in use by another plovex run"
                                                          : ": cannot be locked (" + std::string(strerror(errno)) + ")"),
                false);
    struct flock held = {};
    held.l_type = F_WRLCK;
    held.l_whence = SEEK_SET;
    if (fcntl(disk.fd, F_OFD_GETLK, &held) == 0 && held.l_type != F_UNLCK)
        return (error = disk.path + ": in use by a running emulator or another program, which holds a lock on it; "
                                    "shut that machine down first",
                false);
    // Held for the run: an emulator started meanwhile finds the image locked.
    struct flock mine = {};
    mine.l_type = F_WRLCK;
    mine.l_whence = SEEK_SET;
    if (fcntl(disk.fd, F_OFD_SETLK, &mine) != 0)
        return (error = disk.path + ": in use by a running emulator or another program; shut that machine down first",
                false);
    return true;
}

// The bitmap of an allocated block: which of its sectors hold data.
std::vector<uint8_t> *Bitmap(Disk &disk, uint32_t block)
{
    auto found = disk.bitmaps.find(block);
    if (found != disk.bitmaps.end())
        return &found->second;
    std::vector<uint8_t> bitmap(disk.bitmapSize);
    if (!FileRead(disk, (uint64_t)disk.bat[block] * SECTOR, bitmap.data(), bitmap.size()))
        return nullptr;
    return &(disk.bitmaps[block] = std::move(bitmap));
}

bool SectorPresent(const std::vector<uint8_t> &bitmap, uint64_t sector)
{
    return bitmap[sector / 8] & (0x80 >> (sector % 8));
}

bool ReadDynamic(Disk &disk, uint64_t offset, uint8_t *buffer, size_t size)
{
    while (size > 0) {
        uint32_t block = (uint32_t)(offset / disk.blockSize);
        uint64_t within = offset % disk.blockSize;
        size_t piece = (size_t)std::min<uint64_t>(size, disk.blockSize - within);
        if (disk.bat[block] == NO_BLOCK) {
            memset(buffer, 0, piece); // a block never written reads as zeros
        } else {
            std::vector<uint8_t> *bitmap = Bitmap(disk, block);
            uint64_t at = (uint64_t)disk.bat[block] * SECTOR + disk.bitmapSize + within;
            if (!bitmap || !FileRead(disk, at, buffer, piece))
                return false;
            // A sector the bitmap does not mark holds no data yet: zeros.
            for (uint64_t s = within / SECTOR; s * SECTOR < within + piece; s++)
                if (!SectorPresent(*bitmap, s)) {
                    uint64_t from = std::max(s * SECTOR, within), to = std::min((s + 1) * SECTOR, within + piece);
                    memset(buffer + (from - within), 0, (size_t)(to - from));
                }
        }
        offset += piece;
        buffer += piece;
        size -= piece;
    }
    return true;
}

// A new block for `block`, holding `data` at `within` and zeros elsewhere. The
// order keeps the file valid at each step: the footer is written again at the
// new end, then the bitmap and the data over the old footer, then (flushed)
// the BAT entry, flushed.
bool AllocateBlock(Disk &disk, uint32_t block, uint64_t within, const uint8_t *data, size_t size)
{
    uint64_t at = std::max(disk.fileSize - SECTOR, disk.dataEnd);
    uint64_t end = at + disk.bitmapSize + disk.blockSize;
    std::vector<uint8_t> contents(disk.bitmapSize + disk.blockSize, 0);
    memset(contents.data(), 0xFF, disk.bitmapSize); // every sector holds data, as qemu-img marks it
    memcpy(&contents[disk.bitmapSize + within], data, size);
    if (!FileWrite(disk, end, disk.footer.data(), SECTOR) || !FileWrite(disk, at, contents.data(), contents.size()) ||
        !FlushDisk(disk))
        return false;
    disk.fileSize = end + SECTOR;
    disk.dataEnd = end;
    uint8_t entries[SECTOR];
    uint64_t entryAt = disk.batOffset + (uint64_t)block * 4, sectorAt = entryAt / SECTOR * SECTOR;
    uint64_t batEnd = disk.batOffset + disk.bat.size() * 4;
    size_t length = (size_t)std::min<uint64_t>(SECTOR, batEnd - sectorAt);
    if (!FileRead(disk, sectorAt, entries, length))
        return false;
    PutBig32(entries + (entryAt - sectorAt), (uint32_t)(at / SECTOR));
    if (!FileWrite(disk, sectorAt, entries, length) || !FlushDisk(disk))
        return false;
    disk.bat[block] = (uint32_t)(at / SECTOR);
    disk.bitmaps[block] = std::vector<uint8_t>(contents.begin(), contents.begin() + disk.bitmapSize);
    return true;
}

bool WriteDynamic(Disk &disk, uint64_t offset, const uint8_t *data, size_t size)
{
    while (size > 0) {
        uint32_t block = (uint32_t)(offset / disk.blockSize);
        uint64_t within = offset % disk.blockSize;
        size_t piece = (size_t)std::min<uint64_t>(size, disk.blockSize - within);
        if (disk.bat[block] == NO_BLOCK) {
            if (!AllocateBlock(disk, block, within, data, piece))
                return false;
        } else {
            std::vector<uint8_t> *bitmap = Bitmap(disk, block);
            uint64_t base = (uint64_t)disk.bat[block] * SECTOR;
            if (!bitmap || !FileWrite(disk, base + disk.bitmapSize + within, data, piece))
                return false;
            // Sectors written for the first time are marked after their data.
            uint64_t first = within / SECTOR, last = (within + piece - 1) / SECTOR;
            std::vector<uint8_t> marked = *bitmap;
            for (uint64_t s = first; s <= last; s++)
                marked[s / 8] |= (uint8_t)(0x80 >> (s % 8));
            if (marked != *bitmap) {
                size_t from = (size_t)(first / 8 / SECTOR * SECTOR), to = (size_t)((last / 8 / SECTOR + 1) * SECTOR);
                if (!FileWrite(disk, base + from, &marked[from], to - from))
                    return false;
                *bitmap = std::move(marked);
            }
        }
        offset += piece;
        data += piece;
        size -= piece;
    }
    return true;
}

} // namespace

Disk::~Disk()
{
    if (fd >= 0)
        close(fd); // the locks go with it
}

bool OpenDisk(const std::string &path, Disk &disk, std::string &error)
{
    disk.path = path;
    disk.fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (disk.fd < 0)
        return (error = path + ": cannot be opened for writing (" + strerror(errno) + ")", false);
    struct stat info;
    if (fstat(disk.fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)))
        return (error = path + ": not a disk image file", false);
    // Root may open a file that has no write permission: the permission still says no.
    if (S_ISREG(info.st_mode) && !(info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)))
        return (error = path + ": the image file is read-only; make it writable (chmod u+w) to patch it", false);
    if (!Lock(disk, error))
        return false;
    off_t end = lseek(disk.fd, 0, SEEK_END);
    if (end < 0)
        return (error = path + ": cannot be read (" + strerror(errno) + ")", false);
    disk.fileSize = (uint64_t)end;
    return Recognise(disk, error);
}

bool ReadDisk(Disk &disk, uint64_t offset, void *buffer, size_t size)
{
    if (offset > disk.size || size > disk.size - offset) {
        errno = EIO;
        return false;
    }
    if (disk.container == Container::VHD_DYNAMIC)
        return ReadDynamic(disk, offset, (uint8_t *)buffer, size);
    return FileRead(disk, offset, buffer, size);
}

bool WriteDisk(Disk &disk, uint64_t offset, const void *buffer, size_t size)
{
    if (offset > disk.size || size > disk.size - offset) {
        errno = EIO;
        return false;
    }
    if (disk.container == Container::VHD_DYNAMIC)
        return WriteDynamic(disk, offset, (const uint8_t *)buffer, size);
    return FileWrite(disk, offset, buffer, size);
}

bool FlushDisk(Disk &disk)
{
    if (fdatasync(disk.fd) != 0) {
        errno = EIO;
        return false;
    }
    return true;
}

} // namespace image
