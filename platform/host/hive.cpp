// The Windows 9x registry hive ("CREG") in memory: Load checks every structure
// before anything trusts an offset, and DeleteKey changes exactly the fields
// Windows 95's own deletion changes, learnt by comparing hives Windows 95 wrote
// before and after deleting keys (tests/fixtures/creg): hives built by its
// real-mode REGEDIT, and hives written by the running registry (live/).
#include "platform/host/hive.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace {

using hive::Hive;

// ---- the layout --------------------------------------------------------------
// Every number is little-endian. The file: a 32-byte header, the RGKN key
// navigation area right after it, then the RGDB data blocks one after another
// up to the end of the file.
const uint32_t HeaderSize = 0x20;
const uint32_t HeaderVersion = 0x04;    // 0x00010000 in every Windows 95 hive
const uint32_t HeaderDataAt = 0x08;     // file offset of the first RGDB block
const uint32_t HeaderBlockCount = 0x10; // 16 bits
const uint32_t KnownVersion = 0x00010000;

// The RGKN area. Its own offsets (root, links, free list) count from its start.
const uint32_t KnAt = HeaderSize;
const uint32_t KnSize = 0x04;  // of the whole area, its 32-byte header included
const uint32_t KnRoot = 0x08;  // the root's entry
const uint32_t KnFree = 0x0c;  // the first free run of entries
const uint32_t KnFlags = 0x10; // see "The flags" below
const uint32_t KnHeaderSize = 0x20;

// Key entries lie end to end in the RGKN's first 8 KiB from just after its
// header, then in each further 4 KiB from the page's start; none crosses into
// the next page, so a few bytes at the end of each page belong to no entry.
const uint32_t FirstPage = 0x2000;
const uint32_t Page = 0x1000;

// A key entry: 28 bytes. A free run (room for one entry or more) keeps its
// size where a key keeps its name's hash, and the next free run where a key
// keeps a word of no known use.
const uint32_t EntrySize = 28;
const uint32_t EntryType = 0x00;     // 0 for a key, FreeRun for a free run
const uint32_t EntryRunSize = 0x04;  // free run only
const uint32_t EntryNextFree = 0x08; // free run only
const uint32_t EntryParent = 0x0c;
const uint32_t EntryChild = 0x10;    // first subkey
const uint32_t EntryNext = 0x14;     // next sibling
const uint32_t EntryId = 0x18;       // 16 bits: the data record's id in its block
const uint32_t EntryBlock = 0x1a;    // 16 bits: the data record's block
const uint32_t FreeRun = 0x80000000;
const uint32_t None = 0xffffffff;    // the end of every link and list

// An RGDB block: a 32-byte header, then data records end to end up to the
// block's size. Free records (id and block 0xFFFF) are chained through the
// field where a key record keeps its bytes in use.
const uint32_t BlockSize = 0x04;
const uint32_t BlockUnused = 0x08;      // bytes in free records
const uint32_t BlockFlags = 0x0c;       // 16 bits, see "The flags" below; then 16 bits: the block's number
const uint32_t BlockFree = 0x10;        // first free record, from the block's start
const uint32_t BlockFirstFreeId = 0x16; // 16 bits: the lowest id known to be free
const uint32_t BlockHeaderSize = 0x20;

const uint32_t RecordSize = 0x00;
const uint32_t RecordId = 0x04;       // 16 bits
const uint32_t RecordBlock = 0x06;    // 16 bits
const uint32_t RecordUsed = 0x08;     // bytes in use; of a free record, the next free record
const uint32_t RecordNameSize = 0x0c; // 16 bits
const uint32_t RecordValues = 0x0e;   // 16 bits
const uint32_t RecordHeaderSize = 0x14;
const uint32_t FreeRecordSize = 0x0c; // a free record needs its size, id and link
const uint32_t FreeId = 0xffff;

// The flags: the dword at RGKN+0x10 and the low word at RGDB+0x0C of each
// block. What is known, from the hives Windows 95 wrote (tests/fixtures/creg,
// live/README.md there) and from what the running Windows 95 did with them:
// - Real-mode REGEDIT writes 0x8 in every one of them. The running registry
//   writes 0xF (RegSaveKey) or 0xD (when it rewrites a block or the key table
//   of a loaded hive). Bit 0x8 is always set.
// - When REGEDIT /D deletes a key, the RGKN flags become 0x8 (0xF and 0xD
//   alike), and each block in which it frees a record loses bit 0x4 and keeps
//   its other bits (0xF -> 0xB, 0xD -> 0x9); a block with no freed record is
//   not touched.
// - The running Windows 95 refuses to load a hive whose RGKN flags keep bit 0x4
//   while entries have been freed (RegLoadKey: ERROR_BADDB, and "Registry
//   Problem" at boot), and refuses to write a block that keeps bit 0x4 after a
//   record in it was freed (RegFlushKey: ERROR_REGISTRY_CORRUPT). Bits 0x1 and
//   0x2 change nothing it was seen to do.
// Inferred, not shown: bit 0x4 says "packed: nothing was ever freed here",
// which the running registry trusts when it allocates. A deletion writes what
// REGEDIT /D writes: the RGKN flags 0x8, and bit 0x4 cleared in each block it
// frees a record in.
const uint32_t KnFlagsAfterDelete = 0x8;
const uint32_t PackedBit = 0x4;

// A value in a key record, after the key's name: type, a word of no known
// use, the sizes of name and data (16 bits each), the name, the data.
const uint32_t ValueType = 0x00;
const uint32_t ValueNameSize = 0x08;
const uint32_t ValueDataSize = 0x0a;
const uint32_t ValueHeaderSize = 0x0c;

// No Windows 95 hive nests keys anywhere near this deep; the bound keeps the
// recursive walks short whatever a damaged file links.
const int MaxDepth = 512;
// Offsets are 32 bits; Windows 9x hives stay far below this.
const uint64_t MaxFileSize = 0x7fffffff;

// The n-th place where an entry may begin, counted from 0; entries are
// indexed by it. RGKN-relative offsets, as the links give them.
const uint32_t FirstPageSlots = (FirstPage - KnHeaderSize) / EntrySize;
const uint32_t PageSlots = Page / EntrySize;

uint32_t SlotOf(uint32_t entry)
{
    if (entry < FirstPage)
        return (entry - KnHeaderSize) / EntrySize;
    return FirstPageSlots + (entry / Page - FirstPage / Page) * PageSlots + entry % Page / EntrySize;
}

uint32_t EntryOf(uint32_t slot)
{
    if (slot < FirstPageSlots)
        return KnHeaderSize + slot * EntrySize;
    slot -= FirstPageSlots;
    return FirstPage + slot / PageSlots * Page + slot % PageSlots * EntrySize;
}

// How many entries an RGKN of `size` bytes has room for.
uint32_t SlotCount(uint32_t size)
{
    if (size < FirstPage)
        return (size - KnHeaderSize) / EntrySize;
    return FirstPageSlots + (size / Page - FirstPage / Page) * PageSlots + size % Page / EntrySize;
}

// Whether an entry may begin at `entry` in an RGKN of `size` bytes.
bool EntryAt(uint32_t entry, uint32_t size)
{
    return entry >= KnHeaderSize && (uint64_t)entry + EntrySize <= size && EntryOf(SlotOf(entry)) == entry;
}

// ---- bytes ---------------------------------------------------------------------
// Reads past the end give None (all ones), so no offset read from the file can
// take a read outside it; Load refuses such offsets before anything uses them.
uint32_t Get32(const std::string &bytes, uint64_t at)
{
    if (at + 4 > bytes.size())
        return None;
    const unsigned char *p = (const unsigned char *)bytes.data() + at;
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

uint32_t Get16(const std::string &bytes, uint64_t at)
{
    if (at + 2 > bytes.size())
        return 0xffff;
    const unsigned char *p = (const unsigned char *)bytes.data() + at;
    return p[0] | p[1] << 8;
}

void Put32(std::string &bytes, uint32_t at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes[at + i] = (char)(value >> 8 * i);
}

void Put16(std::string &bytes, uint32_t at, uint32_t value)
{
    bytes[at] = (char)value;
    bytes[at + 1] = (char)(value >> 8);
}

std::string Hex(uint64_t value)
{
    char text[24];
    snprintf(text, sizeof text, "0x%llx", (unsigned long long)value);
    return text;
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

bool SameName(const char *name, size_t size, const std::string &wanted)
{
    if (size != wanted.size())
        return false;
    for (size_t i = 0; i < size; i++)
        if (Upper(name[i]) != Upper(wanted[i]))
            return false;
    return true;
}

// ---- Load's check ----------------------------------------------------------------

struct Record {
    uint32_t key; // block << 16 | id
    uint32_t at;  // file offset
    bool owned;   // a key entry names it
};

struct Checker {
    Hive &hive;
    std::string &error;
    const std::string &bytes;
    uint32_t knSize = 0;
    std::vector<Record> records;         // key records, sorted by key
    std::vector<unsigned char> slotState; // per entry slot: SlotFree, SlotKey or SlotFreeRun
    enum { SlotFree, SlotKey, SlotFreeRun };

    Checker(Hive &hive, std::string &error) : hive(hive), error(error), bytes(hive.bytes) {}

    bool Fail(const std::string &what)
    {
        error = what;
        return false;
    }

    bool EntryAt(uint32_t at) const { return ::EntryAt(at, knSize); }
    uint32_t Slot(uint32_t at) const { return SlotOf(at); }
    uint32_t Field(uint32_t entry, uint32_t field) const { return Get32(bytes, KnAt + entry + field); }
    std::string Where(uint32_t entry) const { return "RGKN key entry at " + Hex(KnAt + entry); }

    bool CheckLink(uint32_t entry, const char *link, uint32_t to)
    {
        if (to == None || EntryAt(to))
            return true;
        if (to >= knSize)
            return Fail(Where(entry) + " links (" + link + ") to " + Hex(KnAt + (uint64_t)to) + ", outside the RGKN");
        return Fail(Where(entry) + " links (" + link + ") to " + Hex(KnAt + (uint64_t)to) +
                    ", not the start of an entry");
    }

    bool Header()
    {
        if (bytes.size() < HeaderSize)
            return Fail("the file is shorter than the 32-byte header");
        if (bytes.size() > MaxFileSize)
            return Fail("the file is larger than any Windows 9x hive (" + std::to_string(bytes.size()) + " bytes)");
        if (bytes.compare(0, 4, "CREG") != 0)
            return Fail("no CREG signature");
        uint32_t version = Get32(bytes, HeaderVersion);
        if (version != KnownVersion)
            return Fail("unknown format version " + Hex(version));
        if (bytes.size() < (uint64_t)KnAt + KnHeaderSize || bytes.compare(KnAt, 4, "RGKN") != 0)
            return Fail("no RGKN area at " + Hex(KnAt));
        knSize = Get32(bytes, KnAt + KnSize);
        if (knSize < KnHeaderSize + EntrySize || (uint64_t)KnAt + knSize > bytes.size())
            return Fail("the RGKN size " + Hex(knSize) + " does not fit the file");
        if (Get32(bytes, HeaderDataAt) != KnAt + knSize)
            return Fail("the first RGDB block at " + Hex(Get32(bytes, HeaderDataAt)) + " does not follow the RGKN (" +
                        Hex(KnAt + knSize) + ")");
        return true;
    }

    // A key record's name and values fill exactly the bytes it says are in use.
    bool KeyRecord(uint32_t at, uint32_t size, uint32_t number)
    {
        std::string where = "data record at " + Hex(at);
        if (size < RecordHeaderSize)
            return Fail(where + " is smaller than a key record's header");
        if (Get16(bytes, at + RecordBlock) != number)
            return Fail(where + " in RGDB block " + std::to_string(number) + " names block " +
                        std::to_string(Get16(bytes, at + RecordBlock)));
        uint32_t used = Get32(bytes, at + RecordUsed);
        if (used > size)
            return Fail(where + " uses " + Hex(used) + " bytes of its " + Hex(size));
        uint64_t filled = RecordHeaderSize + (uint64_t)Get16(bytes, at + RecordNameSize);
        uint32_t values = Get16(bytes, at + RecordValues);
        for (uint32_t v = 0; v < values && filled + ValueHeaderSize <= used; v++)
            filled += ValueHeaderSize + Get16(bytes, at + filled + ValueNameSize) +
                      Get16(bytes, at + filled + ValueDataSize);
        if (filled != used)
            return Fail(where + " says " + Hex(used) + " bytes are in use, its name and " + std::to_string(values) +
                        " values take " + (filled > used ? "more" : Hex(filled)));
        uint32_t nameSize = Get16(bytes, at + RecordNameSize);
        const char *name = bytes.data() + at + RecordHeaderSize;
        if (nameSize == 0 || memchr(name, '\\', nameSize))
            return Fail(where + " holds a key name that is empty or has a backslash in it");
        records.push_back({number << 16 | Get16(bytes, at + RecordId), at, false});
        return true;
    }

    // One block: its records end to end up to its size, and its free list.
    bool Block(uint32_t at, uint32_t number)
    {
        std::string where = "RGDB block " + std::to_string(number) + " at " + Hex(at);
        if ((uint64_t)at + BlockHeaderSize > bytes.size())
            return Fail(where + " is cut off by the end of the file");
        if (bytes.compare(at, 4, "RGDB") != 0)
            return Fail(where + " has no RGDB signature");
        uint32_t size = Get32(bytes, at + BlockSize);
        if (size < BlockHeaderSize)
            return Fail(where + " has a size of " + Hex(size));
        if ((uint64_t)at + size > bytes.size())
            return Fail(where + " runs past the end of the file");
        std::vector<uint32_t> free; // offsets of free records, from the block's start, ascending
        for (uint32_t r = BlockHeaderSize; r < size;) {
            uint32_t record = Get32(bytes, (uint64_t)at + r + RecordSize);
            if ((uint64_t)r + FreeRecordSize > size || record < FreeRecordSize || record > size - r)
                return Fail("data record at " + Hex((uint64_t)at + r) + " has a size of " + Hex(record) +
                            ", which does not fit " + where);
            if (Get16(bytes, at + r + RecordId) == FreeId && Get16(bytes, at + r + RecordBlock) == FreeId)
                free.push_back(r);
            else if (!KeyRecord(at + r, record, number))
                return false;
            r += record;
        }
        std::vector<bool> listed(free.size());
        for (uint32_t f = Get32(bytes, at + BlockFree); f != None; f = Get32(bytes, (uint64_t)at + f + RecordUsed)) {
            auto it = std::lower_bound(free.begin(), free.end(), f);
            if (it == free.end() || *it != f)
                return Fail(where + " lists " + Hex((uint64_t)at + f) + " as free, which is not a free record");
            if (listed[it - free.begin()])
                return Fail(where + " lists the free record at " + Hex((uint64_t)at + f) + " twice (a cycle)");
            listed[it - free.begin()] = true;
        }
        return true;
    }

    bool Blocks()
    {
        uint64_t at = Get32(bytes, HeaderDataAt);
        uint32_t count = Get16(bytes, HeaderBlockCount);
        if (count == 0)
            return Fail("the header counts no RGDB block");
        for (uint32_t number = 0; number < count; number++) {
            if (at >= bytes.size())
                return Fail("RGDB block " + std::to_string(number) + " of " + std::to_string(count) +
                            " lies beyond the end of the file");
            hive.blocks.push_back((uint32_t)at);
            if (!Block((uint32_t)at, number))
                return false;
            at += Get32(bytes, at + BlockSize);
        }
        if (at != bytes.size())
            return Fail(std::to_string(bytes.size() - at) + " bytes follow the last RGDB block");
        std::sort(records.begin(), records.end(), [](const Record &a, const Record &b) { return a.key < b.key; });
        for (size_t i = 1; i < records.size(); i++)
            if (records[i].key == records[i - 1].key)
                return Fail("data records at " + Hex(std::min(records[i - 1].at, records[i].at)) + " and " +
                            Hex(std::max(records[i - 1].at, records[i].at)) + " have the same id");
        return true;
    }

    // The subkeys of `parent`, following the sibling links, then theirs.
    bool Subkeys(uint32_t parent, int depth)
    {
        std::vector<std::string> names;
        for (uint32_t entry = Field(parent, EntryChild); entry != None; entry = Field(entry, EntryNext)) {
            if (depth > MaxDepth)
                return Fail(Where(entry) + " lies more than " + std::to_string(MaxDepth) + " levels deep");
            uint32_t slot = Slot(entry);
            if (slotState[slot] != SlotFree)
                return Fail(Where(entry) + " is reached twice (a cycle in the key links)");
            slotState[slot] = SlotKey;
            if (Field(entry, EntryType) != 0)
                return Fail(Where(entry) + " is linked as a key but marked free");
            if (Field(entry, EntryParent) != parent)
                return Fail(Where(entry) + " names " + Hex(KnAt + (uint64_t)Field(entry, EntryParent)) +
                            " as its parent, not " + Hex(KnAt + parent));
            uint32_t key = Get16(bytes, KnAt + entry + EntryBlock) << 16 | Get16(bytes, KnAt + entry + EntryId);
            auto it = std::lower_bound(records.begin(), records.end(), key,
                                       [](const Record &r, uint32_t k) { return r.key < k; });
            if (it == records.end() || it->key != key)
                return Fail(Where(entry) + " names data record " + Hex(key & 0xffff) + " in block " +
                            std::to_string(key >> 16) + ", which does not exist");
            if (it->owned)
                return Fail(Where(entry) + " names the data record at " + Hex(it->at) + " of another key");
            it->owned = true;
            hive.records[slot] = it->at;
            std::string name(bytes, it->at + RecordHeaderSize, Get16(bytes, it->at + RecordNameSize));
            std::transform(name.begin(), name.end(), name.begin(), Upper);
            names.push_back(name);
            if (!CheckLink(entry, "subkey", Field(entry, EntryChild)) ||
                !CheckLink(entry, "sibling", Field(entry, EntryNext)))
                return false;
        }
        std::sort(names.begin(), names.end());
        for (size_t i = 1; i < names.size(); i++)
            if (names[i] == names[i - 1])
                return Fail("two keys named " + names[i] + " under " + Where(parent));
        for (uint32_t entry = Field(parent, EntryChild); entry != None; entry = Field(entry, EntryNext))
            if (!Subkeys(entry, depth + 1))
                return false;
        return true;
    }

    bool Keys()
    {
        uint32_t root = Get32(bytes, KnAt + KnRoot);
        if (!EntryAt(root))
            return Fail("the root entry " + Hex(KnAt + (uint64_t)root) + " lies outside the RGKN's entries");
        hive.records.assign(SlotCount(knSize), 0);
        slotState.assign(hive.records.size(), SlotFree);
        slotState[Slot(root)] = SlotKey;
        if (Field(root, EntryType) != 0 || Field(root, EntryParent) != None || Field(root, EntryNext) != None)
            return Fail("the root entry at " + Hex(KnAt + root) + " is free, or has a parent or siblings");
        return CheckLink(root, "subkey", Field(root, EntryChild)) && Subkeys(root, 1);
    }

    // The free runs: each where an entry may begin, marked free, within the
    // RGKN, over no key's entry and no other run.
    bool FreeRuns()
    {
        for (uint32_t run = Get32(bytes, KnAt + KnFree); run != None; run = Field(run, EntryNextFree)) {
            std::string where = "RGKN free run at " + Hex(KnAt + (uint64_t)run);
            if (!EntryAt(run))
                return Fail(where + " is not the start of an entry");
            if (slotState[Slot(run)] == SlotFreeRun)
                return Fail(where + " is listed twice or lies in another free run (a cycle in the free list)");
            uint32_t size = Field(run, EntryRunSize);
            if (Field(run, EntryType) != FreeRun || size < EntrySize || size > knSize - run)
                return Fail(where + " is not marked free or its size " + Hex(size) + " does not fit the RGKN");
            if (size > EntrySize)
                hive.wideRuns.push_back(run);
            for (uint32_t slot = Slot(run); slot < slotState.size() && EntryOf(slot) < run + size; slot++) {
                if (slotState[slot] != SlotFree)
                    return Fail(where + " covers " +
                                (slotState[slot] == SlotKey ? "the key entry" : "the free run") + " at " +
                                Hex(KnAt + EntryOf(slot)));
                slotState[slot] = SlotFreeRun;
            }
        }
        return true;
    }
};

// ---- walking a loaded hive ---------------------------------------------------------

uint32_t Field(const Hive &hive, uint32_t entry, uint32_t field)
{
    return Get32(hive.bytes, KnAt + (uint64_t)entry + field);
}

uint32_t RecordOf(const Hive &hive, uint32_t entry)
{
    uint32_t slot = SlotOf(entry);
    return slot < hive.records.size() ? hive.records[slot] : 0;
}

std::string NameOf(const Hive &hive, uint32_t entry)
{
    uint32_t record = RecordOf(hive, entry);
    return record ? hive.bytes.substr(record + RecordHeaderSize, Get16(hive.bytes, record + RecordNameSize)) : "";
}

// The entry of a key path, or None.
uint32_t Find(const Hive &hive, const std::string &path)
{
    if (hive.records.empty())
        return None;
    uint32_t entry = Get32(hive.bytes, KnAt + KnRoot);
    size_t from = 0;
    while (!path.empty() && entry != None) {
        size_t end = path.find('\\', from);
        if (end == std::string::npos)
            end = path.size();
        std::string name = path.substr(from, end - from);
        uint32_t child = Field(hive, entry, EntryChild);
        while (child != None) {
            uint32_t record = RecordOf(hive, child);
            if (record && SameName(hive.bytes.data() + record + RecordHeaderSize,
                                   Get16(hive.bytes, record + RecordNameSize), name))
                break;
            child = Field(hive, child, EntryNext);
        }
        entry = child;
        if (end == path.size())
            break;
        from = end + 1;
    }
    return entry;
}

// The keys below `first` and its siblings, each after its own subkeys: with
// the deleted key in front, the order in which Windows 95 frees a subtree.
void SubtreeAfterSubkeys(const Hive &hive, uint32_t first, std::vector<uint32_t> &out)
{
    for (uint32_t entry = first; entry != None; entry = Field(hive, entry, EntryNext)) {
        SubtreeAfterSubkeys(hive, Field(hive, entry, EntryChild), out);
        out.push_back(entry);
    }
}

// Puts a key's entry at the head of the RGKN free list as a run of one entry,
// and its data record at the head of its block's free list; the block is no
// longer packed. Windows 95 also overwrites the entry's links and record
// number with bytes of no meaning; those are left as they were.
void Free(Hive &hive, uint32_t entry)
{
    std::string &bytes = hive.bytes;
    uint32_t at = KnAt + entry;
    Put32(bytes, at + EntryType, FreeRun);
    Put32(bytes, at + EntryRunSize, EntrySize);
    Put32(bytes, at + EntryNextFree, Get32(bytes, KnAt + KnFree));
    Put32(bytes, KnAt + KnFree, entry);

    uint32_t &slot = hive.records[SlotOf(entry)];
    uint32_t record = slot;
    slot = 0;
    uint32_t block = hive.blocks[Get16(bytes, at + EntryBlock)];
    uint32_t id = Get16(bytes, record + RecordId);
    Put16(bytes, record + RecordId, FreeId);
    Put16(bytes, record + RecordBlock, FreeId);
    Put32(bytes, record + RecordUsed, Get32(bytes, block + BlockFree));
    Put32(bytes, block + BlockFree, record - block);
    Put32(bytes, block + BlockUnused, Get32(bytes, block + BlockUnused) + Get32(bytes, record + RecordSize));
    if (id < Get16(bytes, block + BlockFirstFreeId))
        Put16(bytes, block + BlockFirstFreeId, id);
    Put16(bytes, block + BlockFlags, Get16(bytes, block + BlockFlags) & ~PackedBit);
}

// The places for entries inside a free run of more than one entry, after its
// first: REGEDIT marks each free (0x80000000), of size 0, with 4 where a run
// keeps its next run, and leaves the rest of the place as it was. Hives that
// REGEDIT built carry these marks; when REGEDIT /D first deletes from a hive
// the running registry saved (zeros there), it writes them. The running
// registry reads hives with and without them alike.
void MarkRunInteriors(Hive &hive)
{
    uint32_t knSize = Get32(hive.bytes, KnAt + KnSize);
    for (uint32_t run : hive.wideRuns) {
        uint32_t end = run + Field(hive, run, EntryRunSize);
        for (uint32_t slot = SlotOf(run) + 1; EntryOf(slot) < end && EntryAt(EntryOf(slot), knSize); slot++) {
            uint32_t at = KnAt + EntryOf(slot);
            Put32(hive.bytes, at + EntryType, FreeRun);
            Put32(hive.bytes, at + EntryRunSize, 0);
            Put32(hive.bytes, at + EntryNextFree, 4);
        }
    }
}

void AddPaths(const Hive &hive, uint32_t parent, const std::string &prefix, std::vector<std::string> &paths)
{
    for (uint32_t entry = Field(hive, parent, EntryChild); entry != None; entry = Field(hive, entry, EntryNext)) {
        std::string path = prefix + NameOf(hive, entry);
        paths.push_back(path);
        AddPaths(hive, entry, path + "\\", paths);
    }
}

} // namespace

namespace hive {

bool IsHive(const std::string &firstBytes)
{
    return firstBytes.compare(0, 4, "CREG") == 0;
}

bool Load(std::string bytes, Hive &hive, std::string &error)
{
    Hive loaded;
    loaded.bytes = std::move(bytes);
    Checker checker(loaded, error);
    hive = Hive();
    if (!checker.Header() || !checker.Blocks() || !checker.Keys() || !checker.FreeRuns())
        return false;
    hive = std::move(loaded);
    return true;
}

bool KeyExists(const Hive &hive, const std::string &path)
{
    return Find(hive, path) != None;
}

bool DeleteKey(Hive &hive, const std::string &path)
{
    uint32_t key = Find(hive, path);
    if (key == None || path.empty())
        return false;
    std::vector<uint32_t> doomed{key};
    SubtreeAfterSubkeys(hive, Field(hive, key, EntryChild), doomed);

    // Unlink: the parent's first subkey or the previous sibling skips the key.
    uint32_t parent = Field(hive, key, EntryParent);
    uint32_t next = Field(hive, key, EntryNext);
    uint32_t link = KnAt + parent + EntryChild;
    while (Get32(hive.bytes, link) != key)
        link = KnAt + Get32(hive.bytes, link) + EntryNext;
    Put32(hive.bytes, link, next);

    for (uint32_t entry : doomed)
        Free(hive, entry);
    MarkRunInteriors(hive);
    Put32(hive.bytes, KnAt + KnFlags, KnFlagsAfterDelete);
    return true;
}

bool ReadValue(const Hive &hive, const std::string &keyPath, const std::string &valueName, DWORD &type,
               std::string &data)
{
    uint32_t entry = Find(hive, keyPath);
    uint32_t record = entry == None ? 0 : RecordOf(hive, entry);
    if (!record)
        return false;
    const std::string &bytes = hive.bytes;
    uint32_t at = record + RecordHeaderSize + Get16(bytes, record + RecordNameSize);
    for (uint32_t v = Get16(bytes, record + RecordValues); v > 0; v--) {
        uint32_t nameSize = Get16(bytes, at + ValueNameSize), dataSize = Get16(bytes, at + ValueDataSize);
        if (SameName(bytes.data() + at + ValueHeaderSize, nameSize, valueName)) {
            type = Get32(bytes, at + ValueType);
            data = bytes.substr(at + ValueHeaderSize + nameSize, dataSize);
            return true;
        }
        at += ValueHeaderSize + nameSize + dataSize;
    }
    return false;
}

std::vector<std::string> KeyPaths(const Hive &hive)
{
    std::vector<std::string> paths;
    if (!hive.records.empty())
        AddPaths(hive, Get32(hive.bytes, KnAt + KnRoot), "", paths);
    return paths;
}

} // namespace hive
