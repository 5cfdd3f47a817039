// The boot sector of a FAT volume: every field that places or sizes anything
// is checked before it is used (sector size a power of two from 512 to 4096,
// cluster size a power of two, reserved sectors and FAT count not zero, a
// volume that fits its partition, a FAT that holds an entry for every
// cluster), and the FAT type follows from the number of clusters, as
// Microsoft's rules say: fewer than 4085 is FAT12, fewer than 65525 FAT16,
// more FAT32. The layout must then be the one that type has.
#include "platform/host/image/fat.h"

#include <string.h>

namespace image {

namespace {

uint16_t Le16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

bool PowerOfTwo(uint64_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

std::string Trimmed(const uint8_t *bytes, size_t size)
{
    std::string text((const char *)bytes, size);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

// FAT32's FSInfo sector, when its three signatures are there; its counts are
// taken only when they are possible.
void ReadFsInfo(Volume &volume, uint32_t sector)
{
    std::vector<uint8_t> bytes(volume.sectorSize);
    if (sector == 0 || sector >= volume.fatStart || !ReadSectors(volume, sector, bytes.data(), 1))
        return;
    if (Le32(&bytes[0]) != 0x41615252 || Le32(&bytes[484]) != 0x61417272 || Le32(&bytes[508]) != 0xAA550000)
        return;
    volume.fsInfoSector = sector;
    uint32_t free = Le32(&bytes[488]), hint = Le32(&bytes[492]);
    volume.freeCount = free <= volume.clusters ? free : UNKNOWN_COUNT;
    if (hint >= 2 && hint <= LastCluster(volume)) {
        volume.lastAllocated = hint;
        volume.searchFrom = hint == LastCluster(volume) ? 2 : hint + 1;
    }
}

} // namespace

bool ReadBootSector(Disk &disk, const Partition &partition, Volume &volume, std::string &error)
{
    volume = Volume();
    volume.disk = &disk;
    volume.start = partition.start;
    if (partition.start > disk.size || partition.size > disk.size - partition.start)
        return (error = "lies past the end of the image (the image is truncated, or the partition table wrong)", false);
    uint8_t boot[512];
    if (partition.size < sizeof boot || !ReadDisk(disk, partition.start, boot, sizeof boot))
        return (error = "too small to hold a boot sector", false);

    uint32_t sectorSize = Le16(boot + 11), sectorsPerCluster = boot[13];
    uint32_t reserved = Le16(boot + 14), fatCount = boot[16], rootEntries = Le16(boot + 17);
    uint32_t fatSize16 = Le16(boot + 22), media = boot[21];
    uint64_t total = Le16(boot + 19) ? Le16(boot + 19) : Le32(boot + 32);
    uint32_t fatSectors = fatSize16 ? fatSize16 : Le32(boot + 36);
    if (sectorSize < 512 || sectorSize > 4096 || !PowerOfTwo(sectorSize))
        return (error = "not a FAT volume: its boot sector gives an impossible sector size (" +
                        std::to_string(sectorSize) + ")", false);
    if (!PowerOfTwo(sectorsPerCluster) || sectorSize * sectorsPerCluster > 65536)
        return (error = "not a FAT volume: its boot sector gives an impossible cluster size (" +
                        std::to_string(sectorsPerCluster) + " sectors)", false);
    if (reserved == 0 || fatCount == 0 || fatSectors == 0 || total == 0)
        return (error = "not a FAT volume: its boot sector gives no reserved sectors, no FAT or no sectors", false);
    if (media != 0xF0 && media < 0xF8)
        return (error = "not a FAT volume: its boot sector gives an impossible media byte", false);
    if (total > partition.size / sectorSize)
        return (error = "a FAT volume larger than its " + std::string(partition.number ? "partition" : "image") +
                        " (the image is truncated?)", false);

    uint32_t rootSectors = (uint32_t)(((uint64_t)rootEntries * 32 + sectorSize - 1) / sectorSize);
    uint64_t meta = reserved + (uint64_t)fatCount * fatSectors + rootSectors;
    if (meta >= total)
        return (error = "a FAT volume whose FATs and root folder leave no room for data", false);
    uint64_t clusters = (total - meta) / sectorsPerCluster;
    int bits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    if (bits == 32 ? fatSize16 != 0 || rootEntries != 0 : fatSize16 == 0 || rootEntries == 0)
        return (error = "a FAT volume whose boot sector has the layout of another FAT type than its " +
                        std::to_string(clusters) + " clusters make it", false);
    if (clusters > 0x0FFFFFF5 - 1)
        return (error = "a FAT volume with more clusters than FAT32 can number", false);
    uint64_t entryBytes = bits == 12 ? ((clusters + 2) * 3 + 1) / 2 : (clusters + 2) * (uint64_t)(bits / 8);
    if (entryBytes > (uint64_t)fatSectors * sectorSize)
        return (error = "a FAT volume whose FAT is too small for its clusters", false);

    volume.fatBits = bits;
    volume.sectorSize = sectorSize;
    volume.sectorsPerCluster = sectorsPerCluster;
    volume.clusterSize = sectorSize * sectorsPerCluster;
    volume.totalSectors = total;
    volume.fatStart = reserved;
    volume.fatSectors = fatSectors;
    volume.fatCount = fatCount;
    volume.rootStart = (uint32_t)(reserved + fatCount * fatSectors);
    volume.rootSectors = rootSectors;
    volume.dataStart = (uint32_t)meta;
    volume.clusters = (uint32_t)clusters;
    if (bits == 32) {
        uint32_t flags = Le16(boot + 40);
        volume.mirrored = !(flags & 0x80);
        volume.activeFat = volume.mirrored ? 0 : flags & 0x0F;
        volume.rootCluster = Le32(boot + 44);
        if (Le16(boot + 42) != 0)
            return (error = "a FAT32 volume of an unknown version", false);
        if (volume.activeFat >= fatCount)
            return (error = "a FAT32 volume whose active FAT does not exist", false);
        if (volume.rootCluster < 2 || volume.rootCluster > LastCluster(volume))
            return (error = "a FAT32 volume whose root folder starts outside the volume", false);
        ReadFsInfo(volume, Le16(boot + 48));
    }
    const uint8_t *extended = boot + (bits == 32 ? 64 : 36);
    if (extended[2] == 0x29 && memcmp(extended + 7, "NO NAME    ", 11) != 0)
        volume.label = Trimmed(extended + 7, 11);
    return true;
}

} // namespace image
