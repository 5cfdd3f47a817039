// A FAT volume inside a disk: its layout read from the boot sector and checked
// before anything in it is trusted (boot.cpp), and its file allocation table,
// entries, chains, free clusters (fatent.cpp). Every FAT copy is kept equal;
// the FAT sectors read are cached, and changes are written back only when a
// caller asks, first copy first. Private to platform/host/image/ and its tests.
#ifndef PLOVEX_HOST_IMAGE_FAT_H
#define PLOVEX_HOST_IMAGE_FAT_H

#include "platform/host/image/disk.h"
#include "platform/host/image/partition.h"

#include <stdint.h>

#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace image {

enum : uint32_t { UNKNOWN_COUNT = 0xFFFFFFFF };

struct Volume {
    Disk *disk = nullptr;
    uint64_t start = 0; // the volume's first byte on the disk

    // The layout, from the boot sector (checked).
    int fatBits = 0;                   // 12, 16 or 32
    uint32_t sectorSize = 0, sectorsPerCluster = 0, clusterSize = 0;
    uint64_t totalSectors = 0;
    uint32_t fatStart = 0, fatSectors = 0, fatCount = 0;
    uint32_t activeFat = 0;            // the copy read; every copy is written unless mirroring is off
    bool mirrored = true;
    uint32_t rootStart = 0, rootSectors = 0; // FAT12/16: the fixed root folder
    uint32_t rootCluster = 0;                // FAT32: the root folder's first cluster
    uint32_t dataStart = 0;                  // sector of cluster 2
    uint32_t clusters = 0;                   // data clusters: numbers 2 .. clusters + 1
    std::string label;                       // the boot sector's volume label, "" for none

    // FAT32's FSInfo sector (0: none usable): the free count and the hint
    // where free clusters begin, set to unknown before the first change of
    // the FAT and written true by FinishFat.
    uint32_t fsInfoSector = 0;
    uint32_t freeCount = UNKNOWN_COUNT, lastAllocated = 0;
    bool fsInfoCleared = false;

    // The FAT as read and changed: sectors of the active copy by their index
    // in it, those changed and not yet written, clusters set aside for chains
    // not yet in the FAT, and where the search for free clusters goes on.
    std::unordered_map<uint32_t, std::vector<uint8_t>> fatCache;
    std::set<uint32_t> fatDirty;
    std::unordered_set<uint32_t> pending;
    uint32_t searchFrom = 2;

    // What is damaged, in words, when an operation met it (errno is EIO then).
    std::string problem;
};

// Checks the boot sector of the volume at `partition` and fills `volume` with
// its layout; false with `error` naming what is impossible.
bool ReadBootSector(Disk &disk, const Partition &partition, Volume &volume, std::string &error);

// Records what is damaged and fails with EIO.
bool Damaged(Volume &volume, const std::string &what);

// Whole sectors of the volume, by number.
bool ReadSectors(Volume &volume, uint64_t sector, void *buffer, size_t count);
bool WriteSectors(Volume &volume, uint64_t sector, const void *buffer, size_t count);
uint64_t ClusterSector(const Volume &volume, uint32_t cluster);
uint32_t LastCluster(const Volume &volume); // the highest valid cluster number

// A cluster's FAT entry, and the entry set in the cache (written by WriteFat).
bool FatEntry(Volume &volume, uint32_t cluster, uint32_t &value);
bool SetFatEntry(Volume &volume, uint32_t cluster, uint32_t value);
uint32_t EndOfChain(const Volume &volume);
// Writes the changed FAT sectors into every copy, first copy first, and
// flushes; before the first change of the run, FAT32's FSInfo free count and
// hint are set to unknown (and flushed).
bool WriteFat(Volume &volume);

// The clusters of the chain that starts at `first`, at most `most` of them (a
// longer chain fails as a loop). A cluster that is free, bad or outside the
// volume, or one already in `claimed` (when given, every cluster is added to
// it), fails the walk: Damaged, with `what` naming whose chain it is.
bool ReadChain(Volume &volume, uint32_t first, uint64_t most, std::vector<uint32_t> &chain, const std::string &what,
               std::unordered_set<uint32_t> *claimed = nullptr);

// Sets aside up to `count` free clusters (appended to `taken`), searching on
// from where the last search ended; fewer when the volume is full (ENOSPC).
bool Reserve(Volume &volume, uint32_t count, std::vector<uint32_t> &taken);
void Release(Volume &volume, const std::vector<uint32_t> &clusters);
// Makes `chain` (reserved clusters, in order) a chain in the FAT, or frees
// the clusters of a chain; both written with WriteFat. When LinkChain fails,
// its clusters are free again in the cache, and on the disk at worst lost.
bool LinkChain(Volume &volume, const std::vector<uint32_t> &chain);
bool FreeChain(Volume &volume, const std::vector<uint32_t> &chain);

// At the end of the run: FAT32's FSInfo gets the true free count (when the
// run knows it) and the hint, once the FAT is written.
bool FinishFat(Volume &volume);

} // namespace image

#endif
