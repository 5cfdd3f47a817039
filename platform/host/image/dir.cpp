// Folders: read whole (a folder is at most 65536 entries), parsed as Windows
// 95 reads them (up to the first never-used slot; a long name only when its
// slots are one complete sequence with the checksum of the short entry after
// them), and changed so that no process that dies between two writes leaves
// a half-made entry: a new entry set (long-name slots and short entry) always
// lies within one sector and is written with one sector write, and the sector
// write that ends a rename or a deletion changes the short entry together with
// its long-name slots in that sector.
#include "platform/host/image/dir.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <algorithm>

namespace image {

namespace {

const size_t MOST_FOLDER_BYTES = 65536 * SLOT;
const size_t NONE = (size_t)-1;
const uint8_t DELETED = 0xE5;

uint16_t Le16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

void PutLe16(uint8_t *p, uint32_t value)
{
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
}

size_t SlotsPerSector(const Volume &volume)
{
    return volume.sectorSize / SLOT;
}

bool IsDotEntry(const uint8_t *entry)
{
    return memcmp(entry, ".          ", 11) == 0 || memcmp(entry, "..         ", 11) == 0;
}

// The long name in the slots [first, slot): one sequence, its first slot
// marked 0x40 with their number, each numbered one less than the one before.
std::string LongNameOf(const Folder &folder, size_t first, size_t slot)
{
    size_t count = slot - first;
    if (count == 0 || count > 20 || folder.bytes[first * SLOT] != (0x40 | count))
        return "";
    std::vector<uint16_t> units(count * 13);
    for (size_t k = 0; k < count; k++) {
        const uint8_t *part = &folder.bytes[(first + k) * SLOT];
        if (k > 0 && part[0] != count - k)
            return "";
        std::vector<uint16_t> chars;
        LongNameUnits(part, chars);
        std::copy(chars.begin(), chars.end(), units.begin() + (count - 1 - k) * 13);
    }
    return Utf8(units);
}

void Parse(const Volume &volume, Folder &folder)
{
    folder.entries.clear();
    folder.label.clear();
    size_t count = folder.bytes.size() / SLOT;
    folder.end = count;
    for (size_t i = 0; i < count; i++) {
        const uint8_t *raw = &folder.bytes[i * SLOT];
        if (raw[0] == 0) {
            folder.end = i;
            break;
        }
        if (raw[0] == DELETED || raw[11] == LONG_NAME)
            continue;
        if (raw[11] & VOLUME_LABEL) {
            if (folder.label.empty() && !(raw[11] & FOLDER))
                folder.label = ShortNameText(raw);
            continue;
        }
        if (IsDotEntry(raw))
            continue;
        Entry entry;
        entry.slot = i;
        uint8_t checksum = AliasChecksum(raw);
        entry.first = i;
        while (entry.first > 0) {
            const uint8_t *before = &folder.bytes[(entry.first - 1) * SLOT];
            if (before[0] == DELETED || before[11] != LONG_NAME || before[13] != checksum)
                break;
            entry.first--;
        }
        entry.longName = LongNameOf(folder, entry.first, i);
        entry.shortName = ShortNameText(raw);
        entry.attributes = raw[11];
        entry.cluster = volume.fatBits == 32 ? ClusterOf(raw) : Le16(raw + 26);
        entry.size = (uint32_t)raw[28] | (uint32_t)raw[29] << 8 | (uint32_t)raw[30] << 16 | (uint32_t)raw[31] << 24;
        folder.entries.push_back(entry);
    }
    folder.cleanTail = std::all_of(folder.bytes.begin() + folder.end * SLOT, folder.bytes.end(),
                                   [](uint8_t byte) { return byte == 0; });
}

// Writes one sector of the folder, flushed, and takes it in.
// Writes one sector of the folder, flushed, and takes it in. When the write
// goes in and only the flush fails, the folder shows the sector as written
// (a caller can tell the change took effect).
bool WriteFolderSector(Volume &volume, Folder &folder, size_t index, const std::vector<uint8_t> &sector)
{
    if (!WriteSectors(volume, folder.sectors[index], sector.data(), 1))
        return false;
    std::copy(sector.begin(), sector.end(), folder.bytes.begin() + index * volume.sectorSize);
    Parse(volume, folder);
    return FlushDisk(*volume.disk);
}

std::vector<uint8_t> SectorOf(const Volume &volume, const Folder &folder, size_t index)
{
    auto from = folder.bytes.begin() + index * volume.sectorSize;
    return std::vector<uint8_t>(from, from + volume.sectorSize);
}

// A deleted slot before the end mark, or any slot after it when everything
// there is zeros (Windows never reads past the mark; what lies there must not
// come to light when the mark moves).
bool IsFree(const Folder &folder, size_t slot)
{
    return slot < folder.end ? folder.bytes[slot * SLOT] == DELETED : folder.cleanTail;
}

// A run of `count` slots within one sector (`only`, or any) that are free or
// lie in [reuseFrom, reuseTo], the slots of an entry that is being replaced.
bool FindRun(const Volume &volume, const Folder &folder, size_t count, size_t &at, size_t only = NONE,
             size_t reuseFrom = NONE, size_t reuseTo = NONE)
{
    size_t perSector = SlotsPerSector(volume);
    for (size_t index = 0; index < folder.sectors.size(); index++) {
        if (only != NONE && index != only)
            continue;
        size_t run = 0;
        for (size_t slot = index * perSector; slot < (index + 1) * perSector; slot++) {
            bool usable = IsFree(folder, slot) || (reuseFrom != NONE && slot >= reuseFrom && slot <= reuseTo);
            run = usable ? run + 1 : 0;
            if (run == count) {
                at = slot + 1 - count;
                return true;
            }
        }
    }
    return false;
}

// Windows reads a folder up to its first never-used slot: before an entry
// goes past it, the never-used slots up to `at` are marked deleted. Those in
// earlier sectors are written first (which changes nothing a reader sees);
// those in the sector of `at` go into `sector`, written with the entry.
bool FillGap(Volume &volume, Folder &folder, size_t at, std::vector<uint8_t> &sector)
{
    size_t perSector = SlotsPerSector(volume), target = at / perSector, end = folder.end;
    for (size_t index = end / perSector; end < at && index < target; index++) {
        std::vector<uint8_t> earlier = SectorOf(volume, folder, index);
        for (size_t slot = std::max(end, index * perSector); slot < (index + 1) * perSector; slot++)
            earlier[(slot % perSector) * SLOT] = DELETED;
        if (!WriteFolderSector(volume, folder, index, earlier))
            return false;
    }
    for (size_t slot = std::max(end, target * perSector); slot < at; slot++)
        sector[(slot % perSector) * SLOT] = DELETED;
    return true;
}

// One more cluster for a folder: zeroed, then made a chain of its own (a lost
// cluster if the process dies here), then linked after the folder's last.
bool Grow(Volume &volume, Folder &folder)
{
    if (folder.key == 0)
        return (errno = ENOSPC, false); // FAT12/16's root folder has a fixed size
    if (!folder.cleanTail)
        return Damaged(volume, "a folder has entries after its end mark");
    if (folder.bytes.size() + volume.clusterSize > MOST_FOLDER_BYTES)
        return (errno = ENOSPC, false);
    std::vector<uint32_t> taken;
    if (!Reserve(volume, 1, taken)) {
        Release(volume, taken);
        return false;
    }
    uint32_t added = taken[0], last = folder.clusters.back();
    std::vector<uint8_t> zeros(volume.clusterSize, 0);
    if (!WriteSectors(volume, ClusterSector(volume, added), zeros.data(), volume.sectorsPerCluster) ||
        !FlushDisk(*volume.disk)) {
        Release(volume, taken);
        return false;
    }
    if (!LinkChain(volume, taken))
        return false;
    if (!SetFatEntry(volume, last, added) || !WriteFat(volume)) {
        int error = errno;
        SetFatEntry(volume, last, EndOfChain(volume));
        FreeChain(volume, taken);
        errno = error;
        return false;
    }
    folder.clusters.push_back(added);
    for (uint32_t s = 0; s < volume.sectorsPerCluster; s++)
        folder.sectors.push_back(ClusterSector(volume, added) + s);
    folder.bytes.insert(folder.bytes.end(), zeros.begin(), zeros.end());
    Parse(volume, folder);
    return true;
}

// The 8.3 name and the long-name slots (none for a plain 8.3 name) of `name`
// in `folder`, whose entry at `except` is the one being renamed.
bool NameSlots(const Volume &volume, const Folder &folder, const std::string &name, size_t except, uint8_t name11[11],
               std::vector<uint8_t> &slots)
{
    slots.clear();
    if (!ValidLongName(name))
        return (errno = EINVAL, false);
    if (IsPlainShortName(name, name11))
        return true;
    if (!MakeAlias(name, folder, except, name11))
        return (errno = ENOSPC, false);
    slots = LongNameSlots(name, AliasChecksum(name11));
    if (slots.size() / SLOT + 1 > SlotsPerSector(volume))
        return (errno = ENAMETOOLONG, false); // an entry set must fit in one sector
    return true;
}

// Marks the long-name slots of the entry at `slot` that lie in sectors before
// its own deleted, sector by sector: left alone, its short entry is valid.
bool RemoveEarlierSlots(Volume &volume, Folder &folder, size_t slot)
{
    const Entry *entry = EntryAt(folder, slot);
    size_t perSector = SlotsPerSector(volume), own = slot / perSector, first = entry ? entry->first : slot;
    for (size_t index = first / perSector; index < own; index++) {
        std::vector<uint8_t> sector = SectorOf(volume, folder, index);
        for (size_t s = std::max(first, index * perSector); s < (index + 1) * perSector; s++)
            sector[(s % perSector) * SLOT] = DELETED;
        if (!WriteFolderSector(volume, folder, index, sector))
            return false;
    }
    return true;
}

} // namespace

uint32_t ClusterOf(const uint8_t *entry)
{
    return (uint32_t)Le16(entry + 26) | (uint32_t)Le16(entry + 20) << 16;
}

void SetCluster(uint8_t *entry, uint32_t cluster)
{
    PutLe16(entry + 26, cluster & 0xFFFF);
    PutLe16(entry + 20, cluster >> 16);
}

void SetSize(uint8_t *entry, uint32_t size)
{
    PutLe16(entry + 28, size & 0xFFFF);
    PutLe16(entry + 30, size >> 16);
}

void StampTimes(uint8_t *entry, bool creation)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    int year = local.tm_year + 1900, second = std::min(local.tm_sec, 59);
    unsigned time = (unsigned)(local.tm_hour << 11 | local.tm_min << 5 | second / 2);
    unsigned date = (unsigned)((year - 1980) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    if (year < 1980) { // FAT dates begin in 1980 and end in 2107
        time = 0;
        date = 1 << 5 | 1;
    } else if (year > 2107) {
        time = 23 << 11 | 59 << 5 | 29;
        date = 127 << 9 | 12 << 5 | 31;
    }
    PutLe16(entry + 22, time);
    PutLe16(entry + 24, date);
    PutLe16(entry + 18, date); // the last access date
    if (creation) {
        entry[13] = (uint8_t)((second % 2) * 100 + now.tv_nsec / 10000000);
        PutLe16(entry + 14, time);
        PutLe16(entry + 16, date);
    }
}

bool EntryChain(Volume &volume, const Entry &entry, const std::string &what, std::vector<uint32_t> &chain,
                std::unordered_set<uint32_t> *claimed)
{
    chain.clear();
    if (entry.IsFolder()) {
        if (entry.cluster == 0)
            return Damaged(volume, what + " is a folder without clusters");
        return ReadChain(volume, entry.cluster, std::max<uint64_t>(1, MOST_FOLDER_BYTES / volume.clusterSize), chain,
                         what, claimed);
    }
    if (entry.size == 0)
        return entry.cluster == 0 || Damaged(volume, what + " is empty but has clusters");
    uint64_t clusters = ((uint64_t)entry.size + volume.clusterSize - 1) / volume.clusterSize;
    if (!ReadChain(volume, entry.cluster, clusters, chain, what, claimed))
        return false;
    return chain.size() == clusters || Damaged(volume, "the cluster chain of " + what + " is shorter than its size");
}

bool LoadFolder(Volume &volume, uint32_t key, Folder &folder, const std::string &what)
{
    folder = Folder();
    folder.key = key;
    if (key == 0) {
        if (volume.fatBits == 32)
            return Damaged(volume, what + " is a folder that starts at cluster 0");
        for (uint32_t s = 0; s < volume.rootSectors; s++)
            folder.sectors.push_back(volume.rootStart + s);
    } else {
        uint64_t most = std::max<uint64_t>(1, MOST_FOLDER_BYTES / volume.clusterSize);
        if (!ReadChain(volume, key, most, folder.clusters, what))
            return false;
        for (uint32_t cluster : folder.clusters)
            for (uint32_t s = 0; s < volume.sectorsPerCluster; s++)
                folder.sectors.push_back(ClusterSector(volume, cluster) + s);
    }
    folder.bytes.resize(folder.sectors.size() * volume.sectorSize);
    // Read in runs of consecutive sectors.
    for (size_t i = 0; i < folder.sectors.size();) {
        size_t run = 1;
        while (i + run < folder.sectors.size() && folder.sectors[i + run] == folder.sectors[i] + run)
            run++;
        if (!ReadSectors(volume, folder.sectors[i], &folder.bytes[i * volume.sectorSize], run))
            return false;
        i += run;
    }
    Parse(volume, folder);
    return true;
}

const Entry *EntryAt(const Folder &folder, size_t slot)
{
    for (const Entry &entry : folder.entries)
        if (entry.slot == slot)
            return &entry;
    return nullptr;
}

std::vector<const Entry *> FindEntries(const Folder &folder, const std::string &name)
{
    std::vector<const Entry *> found;
    for (const Entry &entry : folder.entries)
        if (SameName(entry.longName, name) || SameName(entry.shortName, name))
            found.push_back(&entry);
    return found;
}

bool HasRoom(Volume &volume, const Folder &folder, const std::string &name)
{
    uint8_t name11[11];
    std::vector<uint8_t> slots;
    size_t at;
    if (!NameSlots(volume, folder, name, NONE, name11, slots))
        return false;
    if (FindRun(volume, folder, slots.size() / SLOT + 1, at))
        return true;
    if (folder.key == 0 || !folder.cleanTail || folder.bytes.size() + volume.clusterSize > MOST_FOLDER_BYTES)
        return (errno = ENOSPC, false);
    std::vector<uint32_t> taken;
    bool free = Reserve(volume, 1, taken);
    Release(volume, taken);
    return free;
}

bool AddEntry(Volume &volume, Folder &folder, const std::string &name, const uint8_t entry[SLOT], size_t &slot)
{
    uint8_t name11[11];
    std::vector<uint8_t> slots;
    if (!NameSlots(volume, folder, name, NONE, name11, slots))
        return false;
    size_t count = slots.size() / SLOT + 1, at;
    if (!FindRun(volume, folder, count, at)) {
        if (!Grow(volume, folder))
            return false;
        if (!FindRun(volume, folder, count, at))
            return (errno = ENOSPC, false);
    }
    size_t perSector = SlotsPerSector(volume), index = at / perSector;
    std::vector<uint8_t> sector = SectorOf(volume, folder, index);
    if (!FillGap(volume, folder, at, sector))
        return false;
    uint8_t *place = &sector[(at % perSector) * SLOT];
    std::copy(slots.begin(), slots.end(), place);
    memcpy(place + slots.size(), entry, SLOT);
    memcpy(place + slots.size(), name11, 11);
    if (!WriteFolderSector(volume, folder, index, sector))
        return false;
    slot = at + count - 1;
    return true;
}

bool RewriteEntry(Volume &volume, Folder &folder, size_t slot, const uint8_t entry[SLOT])
{
    size_t perSector = SlotsPerSector(volume);
    std::vector<uint8_t> sector = SectorOf(volume, folder, slot / perSector);
    memcpy(&sector[(slot % perSector) * SLOT], entry, SLOT);
    return WriteFolderSector(volume, folder, slot / perSector, sector);
}

bool RenameEntry(Volume &volume, Folder &folder, size_t &slot, const std::string &name)
{
    uint8_t name11[11], entry[SLOT];
    std::vector<uint8_t> slots;
    const Entry *old = EntryAt(folder, slot);
    if (!old)
        return (errno = ENOENT, false);
    if (!NameSlots(volume, folder, name, slot, name11, slots))
        return false;
    memcpy(entry, &folder.bytes[slot * SLOT], SLOT);
    memcpy(entry, name11, 11);
    entry[12] = 0; // Windows 95 keeps no case flags: the long name holds the case
    size_t perSector = SlotsPerSector(volume), index = slot / perSector;
    size_t ownFirst = std::max(old->first, index * perSector), count = slots.size() / SLOT + 1, at;
    // The new set goes into the short entry's own sector, over its old slots
    // and free ones. When it does not fit, the entry keeps its place with the
    // new 8.3 name alone (moving it to another sector would take two writes,
    // and a crash between them would leave two entries for one chain); that
    // is only done when the 8.3 name is the new name itself in upper case, so
    // that the file is found by the new name all the same.
    bool fits = FindRun(volume, folder, count, at, index, ownFirst, slot);
    if (!fits && !SameName(ShortNameText(name11), name))
        return (errno = ENOSPC, false);
    // Long-name slots in earlier sectors go first. (When some of them are in
    // the entry's own sector too, a process that dies here leaves those as a
    // fragment fsck.fat reports; names of up to 13 characters, the program's,
    // have one long-name slot and never leave one.)
    if (!RemoveEarlierSlots(volume, folder, slot))
        return false;
    std::vector<uint8_t> sector = SectorOf(volume, folder, index);
    for (size_t s = ownFirst; s <= slot; s++)
        sector[(s % perSector) * SLOT] = DELETED;
    if (!fits) {
        memcpy(&sector[(slot % perSector) * SLOT], entry, SLOT);
        return WriteFolderSector(volume, folder, index, sector);
    }
    if (!FillGap(volume, folder, at, sector))
        return false;
    uint8_t *place = &sector[(at % perSector) * SLOT];
    std::copy(slots.begin(), slots.end(), place);
    memcpy(place + slots.size(), entry, SLOT);
    if (!WriteFolderSector(volume, folder, index, sector))
        return false;
    slot = at + count - 1;
    return true;
}

bool RemoveEntry(Volume &volume, Folder &folder, size_t slot)
{
    if (!EntryAt(folder, slot))
        return (errno = ENOENT, false);
    if (!RemoveEarlierSlots(volume, folder, slot))
        return false;
    size_t perSector = SlotsPerSector(volume), index = slot / perSector;
    std::vector<uint8_t> sector = SectorOf(volume, folder, index);
    for (size_t s = std::max(EntryAt(folder, slot)->first, index * perSector); s <= slot; s++)
        sector[(s % perSector) * SLOT] = DELETED;
    return WriteFolderSector(volume, folder, index, sector);
}

} // namespace image
