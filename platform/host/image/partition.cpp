// The volumes on a disk: a bare FAT volume, or the partitions of an MBR, the
// four primary entries (numbers 1-4 by their slot, as Linux numbers them) and
// the logical partitions of each extended partition's chain of extended boot
// records (5 and up, in chain order). A chain that loops or leaves the disk
// ends there. MBR sector numbers count 512-byte sectors.
#include "platform/host/image/partition.h"

#include <string.h>

#include <set>

namespace image {

namespace {

const uint64_t SECTOR = 512;
const int MOST_LOGICAL = 128; // more extended boot records than any real disk has: a chain that loops

uint16_t Le16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

bool IsExtendedType(uint8_t type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

// The jump instruction every boot sector starts with.
bool StartsWithJump(const uint8_t *sector)
{
    return (sector[0] == 0xEB && sector[2] == 0x90) || sector[0] == 0xE9;
}

// A FAT boot sector rather than a master boot record: the jump, and a BPB
// whose first fields can be a FAT volume's.
bool LooksLikeBootSector(const uint8_t *sector)
{
    unsigned bytesPerSector = Le16(sector + 11), sectorsPerCluster = sector[13];
    return StartsWithJump(sector) && bytesPerSector >= 512 && bytesPerSector <= 4096 &&
           (bytesPerSector & (bytesPerSector - 1)) == 0 && sectorsPerCluster != 0 &&
           (sectorsPerCluster & (sectorsPerCluster - 1)) == 0 && Le16(sector + 14) != 0 && sector[16] != 0;
}

const uint8_t *EntryOf(const uint8_t *sector, int slot)
{
    return sector + 446 + 16 * slot;
}

bool HasSignature(const uint8_t *sector)
{
    return sector[510] == 0x55 && sector[511] == 0xAA;
}

// The logical partitions in the chain that starts at the extended partition
// `extended`; each record's links count from the extended partition's start.
void ListLogical(Disk &disk, const Partition &extended, int &next, std::vector<Partition> &partitions)
{
    uint64_t base = extended.start / SECTOR, record = base;
    std::set<uint64_t> seen;
    for (int step = 0; step < MOST_LOGICAL && seen.insert(record).second; step++) {
        uint8_t sector[SECTOR];
        if (record > disk.size / SECTOR - 1 || !ReadDisk(disk, record * SECTOR, sector, SECTOR) ||
            !HasSignature(sector))
            return;
        const uint8_t *link = nullptr;
        for (int slot = 0; slot < 4; slot++) {
            const uint8_t *entry = EntryOf(sector, slot);
            uint8_t type = entry[4];
            uint32_t start = Le32(entry + 8), count = Le32(entry + 12);
            if (type == 0 || count == 0)
                continue;
            if (IsExtendedType(type)) {
                if (!link)
                    link = entry;
                continue;
            }
            Partition logical;
            logical.number = next++;
            logical.type = type;
            logical.start = (record + start) * SECTOR;
            logical.size = (uint64_t)count * SECTOR;
            partitions.push_back(logical);
        }
        if (!link)
            return;
        record = base + Le32(link + 8);
    }
}

} // namespace

bool IsFatType(uint8_t type)
{
    switch (type & ~0x10) { // 0x1x: the same type, hidden
    case 0x01: case 0x04: case 0x06: case 0x0B: case 0x0C: case 0x0E: return true;
    default: return false;
    }
}

bool ListPartitions(Disk &disk, std::vector<Partition> &partitions, std::string &error)
{
    uint8_t sector[SECTOR];
    partitions.clear();
    if (disk.size < SECTOR || !ReadDisk(disk, 0, sector, SECTOR))
        return (error = "too small to hold a volume (" + std::to_string(disk.size) + " bytes)", false);
    // A boot sector whose BPB is damaged is still a volume's when no valid
    // partition table stands in its place: its checks say what is wrong.
    bool table = HasSignature(sector), used = false;
    for (int slot = 0; slot < 4; slot++) {
        const uint8_t *entry = EntryOf(sector, slot);
        table = table && !(entry[0] & 0x7F);
        used = used || (entry[4] != 0 && Le32(entry + 12) != 0);
    }
    if (LooksLikeBootSector(sector) || (StartsWithJump(sector) && !(table && used))) {
        Partition whole;
        whole.size = disk.size;
        partitions.push_back(whole);
        return true;
    }
    if (!HasSignature(sector))
        return (error = "neither a partition table nor a FAT boot sector at its start: not a disk image", false);
    if (!table)
        return (error = "a damaged partition table (an entry's boot flag is neither 0x00 nor 0x80)", false);
    for (int slot = 0; slot < 4; slot++) {
        const uint8_t *entry = EntryOf(sector, slot);
        uint32_t count = Le32(entry + 12);
        if (entry[4] == 0 || count == 0)
            continue;
        Partition primary;
        primary.number = slot + 1;
        primary.type = entry[4];
        primary.start = (uint64_t)Le32(entry + 8) * SECTOR;
        primary.size = (uint64_t)count * SECTOR;
        primary.extended = IsExtendedType(primary.type);
        partitions.push_back(primary);
    }
    if (partitions.empty())
        return (error = "a partition table with no partitions", false);
    int next = 5;
    for (size_t i = 0, primaries = partitions.size(); i < primaries; i++)
        if (partitions[i].extended)
            ListLogical(disk, Partition(partitions[i]), next, partitions);
    return true;
}

} // namespace image
