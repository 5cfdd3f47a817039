// The file allocation table: entries of 12, 16 or 32 bits (a FAT12 entry may
// straddle two sectors; a FAT32 entry keeps its top four bits), chains walked
// with a bound so that a loop ends, free clusters found by a running search
// from FSInfo's hint (no scan of the whole FAT when the volume is opened), and
// changes written into every FAT copy, the first copy first, so that a
// process that dies in between leaves a first FAT that fsck.fat takes whole.
#include "platform/host/image/fat.h"

#include <errno.h>

#include <algorithm>

namespace image {

namespace {

const size_t MOST_CACHED = 16384; // FAT sectors kept read; beyond that the unchanged ones are read again

uint64_t EntryOffset(const Volume &volume, uint32_t cluster)
{
    return volume.fatBits == 12 ? cluster + cluster / 2 : (uint64_t)cluster * (volume.fatBits / 8);
}

// A sector of the active FAT copy, by its index in the copy.
std::vector<uint8_t> *FatSector(Volume &volume, uint32_t index)
{
    auto found = volume.fatCache.find(index);
    if (found != volume.fatCache.end())
        return &found->second;
    if (index >= volume.fatSectors) {
        errno = EIO;
        return nullptr;
    }
    std::vector<uint8_t> bytes(volume.sectorSize);
    uint64_t sector = volume.fatStart + (uint64_t)volume.activeFat * volume.fatSectors + index;
    if (!ReadSectors(volume, sector, bytes.data(), 1))
        return nullptr;
    return &(volume.fatCache[index] = std::move(bytes));
}

// Drops the unchanged sectors of a cache grown large. Called before an entry
// is read or set, never while pointers into the cache are held.
void TrimCache(Volume &volume)
{
    if (volume.fatCache.size() < MOST_CACHED)
        return;
    for (auto it = volume.fatCache.begin(); it != volume.fatCache.end();)
        it = volume.fatDirty.count(it->first) ? std::next(it) : volume.fatCache.erase(it);
}

// The byte at `offset` in the active FAT, for reading or changing.
uint8_t *FatByte(Volume &volume, uint64_t offset)
{
    std::vector<uint8_t> *sector = FatSector(volume, (uint32_t)(offset / volume.sectorSize));
    return sector ? &(*sector)[offset % volume.sectorSize] : nullptr;
}

void PutFsInfo(std::vector<uint8_t> &sector, uint32_t freeCount, uint32_t hint)
{
    for (int i = 0; i < 4; i++) {
        sector[488 + i] = (uint8_t)(freeCount >> (8 * i));
        sector[492 + i] = (uint8_t)(hint >> (8 * i));
    }
}

bool WriteFsInfo(Volume &volume, uint32_t freeCount, uint32_t hint)
{
    std::vector<uint8_t> sector(volume.sectorSize);
    if (!ReadSectors(volume, volume.fsInfoSector, sector.data(), 1))
        return false;
    PutFsInfo(sector, freeCount, hint);
    return WriteSectors(volume, volume.fsInfoSector, sector.data(), 1) && FlushDisk(*volume.disk);
}

} // namespace

bool Damaged(Volume &volume, const std::string &what)
{
    if (volume.problem.empty())
        volume.problem = what;
    errno = EIO;
    return false;
}

bool ReadSectors(Volume &volume, uint64_t sector, void *buffer, size_t count)
{
    if (sector > volume.totalSectors || count > volume.totalSectors - sector) {
        errno = EIO;
        return false;
    }
    return ReadDisk(*volume.disk, volume.start + sector * volume.sectorSize, buffer, count * volume.sectorSize);
}

bool WriteSectors(Volume &volume, uint64_t sector, const void *buffer, size_t count)
{
    if (sector > volume.totalSectors || count > volume.totalSectors - sector) {
        errno = EIO;
        return false;
    }
    return WriteDisk(*volume.disk, volume.start + sector * volume.sectorSize, buffer, count * volume.sectorSize);
}

uint64_t ClusterSector(const Volume &volume, uint32_t cluster)
{
    return volume.dataStart + (uint64_t)(cluster - 2) * volume.sectorsPerCluster;
}

uint32_t LastCluster(const Volume &volume)
{
    return volume.clusters + 1;
}

uint32_t EndOfChain(const Volume &volume)
{
    return volume.fatBits == 12 ? 0xFFF : volume.fatBits == 16 ? 0xFFFF : 0x0FFFFFFF;
}

bool FatEntry(Volume &volume, uint32_t cluster, uint32_t &value)
{
    TrimCache(volume);
    uint64_t offset = EntryOffset(volume, cluster);
    uint8_t *low = FatByte(volume, offset);
    if (!low)
        return false;
    if (volume.fatBits == 16) {
        value = low[0] | low[1] << 8;
    } else if (volume.fatBits == 32) {
        value = (low[0] | low[1] << 8 | low[2] << 16 | (uint32_t)low[3] << 24) & 0x0FFFFFFF;
    } else {
        uint32_t first = *low; // the second byte may be in the next sector
        uint8_t *high = FatByte(volume, offset + 1);
        if (!high)
            return false;
        uint32_t pair = first | *high << 8;
        value = cluster & 1 ? pair >> 4 : pair & 0xFFF;
    }
    return true;
}

bool SetFatEntry(Volume &volume, uint32_t cluster, uint32_t value)
{
    TrimCache(volume);
    uint64_t offset = EntryOffset(volume, cluster);
    uint32_t sector = (uint32_t)(offset / volume.sectorSize);
    if (volume.fatBits == 12) {
        uint8_t *low = FatByte(volume, offset), *high = low ? FatByte(volume, offset + 1) : nullptr;
        if (!low || !high)
            return false;
        if (cluster & 1) {
            *low = (uint8_t)((*low & 0x0F) | (value << 4 & 0xF0));
            *high = (uint8_t)(value >> 4);
        } else {
            *low = (uint8_t)value;
            *high = (uint8_t)((*high & 0xF0) | (value >> 8 & 0x0F));
        }
        volume.fatDirty.insert(sector);
        volume.fatDirty.insert((uint32_t)((offset + 1) / volume.sectorSize));
        return true;
    }
    uint8_t *at = FatByte(volume, offset);
    if (!at)
        return false;
    if (volume.fatBits == 16) {
        at[0] = (uint8_t)value;
        at[1] = (uint8_t)(value >> 8);
    } else {
        value = (value & 0x0FFFFFFF) | ((uint32_t)at[3] << 24 & 0xF0000000);
        for (int i = 0; i < 4; i++)
            at[i] = (uint8_t)(value >> (8 * i));
    }
    volume.fatDirty.insert(sector);
    return true;
}

bool WriteFat(Volume &volume)
{
    if (volume.fatDirty.empty())
        return true;
    if (volume.fsInfoSector && !volume.fsInfoCleared) {
        // The counts go unknown before the FAT changes: a run that dies leaves
        // them unknown (fsck.fat: "uninitialized"), never wrong.
        if (!WriteFsInfo(volume, UNKNOWN_COUNT, UNKNOWN_COUNT))
            return false;
        volume.fsInfoCleared = true;
    }
    // Runs of consecutive changed sectors, each written with one write.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> runs;
    for (uint32_t index : volume.fatDirty) {
        const std::vector<uint8_t> &bytes = volume.fatCache.at(index);
        if (runs.empty() || runs.back().first + runs.back().second.size() / volume.sectorSize != index)
            runs.push_back({index, {}});
        runs.back().second.insert(runs.back().second.end(), bytes.begin(), bytes.end());
    }
    uint32_t copies = volume.mirrored ? volume.fatCount : 1;
    for (uint32_t copy = 0; copy < copies; copy++) {
        uint32_t written = volume.mirrored ? copy : volume.activeFat;
        for (const auto &run : runs) {
            uint64_t sector = volume.fatStart + (uint64_t)written * volume.fatSectors + run.first;
            if (!WriteSectors(volume, sector, run.second.data(), run.second.size() / volume.sectorSize))
                return false; // still marked changed: the next WriteFat writes them again
        }
    }
    if (!FlushDisk(*volume.disk))
        return false;
    volume.fatDirty.clear();
    return true;
}

bool ReadChain(Volume &volume, uint32_t first, uint64_t most, std::vector<uint32_t> &chain, const std::string &what,
               std::unordered_set<uint32_t> *claimed)
{
    chain.clear();
    uint32_t cluster = first;
    for (;;) {
        if (cluster < 2 || cluster > LastCluster(volume))
            return Damaged(volume, "the cluster chain of " + what + " leaves the volume");
        if (chain.size() >= most)
            return Damaged(volume, "the cluster chain of " + what + " loops, or is longer than its size");
        if (claimed && !claimed->insert(cluster).second)
            return Damaged(volume, "the cluster chain of " + what + " loops or shares cluster " +
                                       std::to_string(cluster) + " with another file");
        chain.push_back(cluster);
        uint32_t next;
        if (!FatEntry(volume, cluster, next))
            return false;
        if (next == 0)
            return Damaged(volume, "the cluster chain of " + what + " runs into a free cluster");
        if (next >= (EndOfChain(volume) & ~7u))
            return true;
        if (next == EndOfChain(volume) - 8)
            return Damaged(volume, "the cluster chain of " + what + " runs into a bad cluster");
        cluster = next;
    }
}

bool Reserve(Volume &volume, uint32_t count, std::vector<uint32_t> &taken)
{
    uint32_t found = 0;
    uint32_t cluster = volume.searchFrom;
    for (uint32_t looked = 0; found < count && looked < volume.clusters; looked++, cluster++) {
        if (cluster < 2 || cluster > LastCluster(volume))
            cluster = 2;
        uint32_t value;
        if (volume.pending.count(cluster))
            continue;
        if (!FatEntry(volume, cluster, value))
            return false;
        if (value != 0)
            continue;
        volume.pending.insert(cluster);
        taken.push_back(cluster);
        found++;
    }
    volume.searchFrom = cluster;
    return found == count || (errno = ENOSPC, false);
}

void Release(Volume &volume, const std::vector<uint32_t> &clusters)
{
    for (uint32_t cluster : clusters)
        volume.pending.erase(cluster);
}

bool LinkChain(Volume &volume, const std::vector<uint32_t> &chain)
{
    bool set = true;
    for (size_t i = 0; i < chain.size() && set; i++)
        set = SetFatEntry(volume, chain[i], i + 1 < chain.size() ? chain[i + 1] : EndOfChain(volume));
    if (set && WriteFat(volume)) {
        Release(volume, chain);
        if (!chain.empty())
            volume.lastAllocated = chain.back();
        if (volume.freeCount != UNKNOWN_COUNT)
            volume.freeCount -= std::min<uint32_t>(volume.freeCount, (uint32_t)chain.size());
        return true;
    }
    int error = errno;
    for (uint32_t cluster : chain) // free again here; whatever reached the disk is lost clusters
        SetFatEntry(volume, cluster, 0);
    Release(volume, chain);
    errno = error;
    return false;
}

bool FreeChain(Volume &volume, const std::vector<uint32_t> &chain)
{
    for (uint32_t cluster : chain)
        if (!SetFatEntry(volume, cluster, 0))
            return false;
    if (volume.freeCount != UNKNOWN_COUNT)
        volume.freeCount = std::min<uint32_t>(volume.clusters, volume.freeCount + (uint32_t)chain.size());
    return WriteFat(volume);
}

bool FinishFat(Volume &volume)
{
    if (!volume.fsInfoSector || !volume.fsInfoCleared)
        return true;
    if (!WriteFat(volume))
        return false; // a FAT not written: the counts stay unknown
    if (!WriteFsInfo(volume, volume.freeCount, volume.lastAllocated ? volume.lastAllocated : UNKNOWN_COUNT))
        return false;
    volume.fsInfoCleared = false; // a later change of the FAT clears them again first
    return true;
}

} // namespace image
