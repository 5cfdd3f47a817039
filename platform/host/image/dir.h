// Folders of a FAT volume: their entries with long names and 8.3 aliases as
// Windows 95 reads and makes them (names.cpp), and the changes to them, each
// made so that the entry set that changes is written in one sector write
// (dir.cpp). Private to platform/host/image/ and its tests.
#ifndef PLOVEX_HOST_IMAGE_DIR_H
#define PLOVEX_HOST_IMAGE_DIR_H

#include "platform/host/image/fat.h"

#include <stdint.h>

#include <string>
#include <vector>

namespace image {

enum : size_t { SLOT = 32 }; // bytes of a directory entry

// The FAT attribute bits.
enum : uint8_t { READ_ONLY = 0x01, HIDDEN = 0x02, SYSTEM = 0x04, VOLUME_LABEL = 0x08, FOLDER = 0x10, ARCHIVE = 0x20,
                 LONG_NAME = 0x0F };

// A file or folder in a folder: its short entry at `slot`, and the long-name
// slots before it that carry its checksum, from `first`.
struct Entry {
    size_t slot = 0, first = 0;
    std::string longName;  // "" when it has no valid long name
    std::string shortName; // "NAME.EXT"
    uint8_t attributes = 0;
    uint32_t cluster = 0, size = 0;
    const std::string &Name() const { return longName.empty() ? shortName : longName; }
    bool IsFolder() const { return attributes & FOLDER; }
};

struct Folder {
    uint32_t key = 0;               // its first cluster; 0: the fixed root folder of FAT12/16
    std::vector<uint32_t> clusters; // its chain (none for a fixed root)
    std::vector<uint64_t> sectors;  // its sectors in order
    std::vector<uint8_t> bytes;     // all of them
    size_t end = 0;                 // the first slot never used (0x00): Windows reads no further
    bool cleanTail = true;          // every slot from `end` on is zeros
    std::vector<Entry> entries;     // in slot order, without "." and ".." and the volume label
    std::string label;              // the volume label entry's text (a root folder)
};

// --- names.cpp ---

// The checksum of an 8.3 name that each long-name slot of its entry carries.
uint8_t AliasChecksum(const uint8_t name[11]);
// A name Windows 95 takes for a file: 1 to 255 characters, none of them a
// control character or one of \ / : * ? " < > |, not ending in a dot or a
// space, not all dots.
bool ValidLongName(const std::string &name);
// An upper-case valid 8.3 name, which is stored without a long name; `name11`
// gets its padded form.
bool IsPlainShortName(const std::string &name, uint8_t name11[11]);
// The 8.3 alias Windows 95 gives a long name: upper case, characters an 8.3
// name cannot hold turned into '_', the name itself when it fits and nothing
// was lost, else a basis of up to 6 characters (fewer for longer numbers) and
// the first "~n" no entry of `folder` has (other than the one at `except`).
bool MakeAlias(const std::string &name, const Folder &folder, size_t except, uint8_t alias[11]);
// The long-name slots of `name`, last part first, as they precede the short entry.
std::vector<uint8_t> LongNameSlots(const std::string &name, uint8_t checksum);
// The slot's name characters, appended as UTF-16 units.
void LongNameUnits(const uint8_t *slot, std::vector<uint16_t> &units);
std::string Utf8(const std::vector<uint16_t> &units);
std::string ShortNameText(const uint8_t *name11);
bool SameName(const std::string &a, const std::string &b); // regardless of ASCII letter case

// --- dir.cpp ---

// Reads the folder whose first cluster is `key` (0: the fixed root); `what`
// names it when its chain is damaged.
bool LoadFolder(Volume &volume, uint32_t key, Folder &folder, const std::string &what);
// The entry whose short entry is at `slot`, or null.
const Entry *EntryAt(const Folder &folder, size_t slot);
// The entries whose long name or alias is `name`, regardless of case.
std::vector<const Entry *> FindEntries(const Folder &folder, const std::string &name);

// A short entry with the current local time as Windows 95 OSR2 writes it:
// the write time and date and the last access date, and with `creation` the
// creation time (to 10 ms) and date too.
void StampTimes(uint8_t *entry, bool creation);
void SetCluster(uint8_t *entry, uint32_t cluster);
void SetSize(uint8_t *entry, uint32_t size);
uint32_t ClusterOf(const uint8_t *entry);

// The chain of a file's entry, checked against its size (a file of size 0
// has none), or of a folder's (at most 65536 entries long); `what` names it
// when it is damaged, and `claimed` as ReadChain takes it.
bool EntryChain(Volume &volume, const Entry &entry, const std::string &what, std::vector<uint32_t> &chain,
                std::unordered_set<uint32_t> *claimed = nullptr);

// Whether a new entry set for `name` fits in a sector of the folder as it is,
// or the folder can grow by a cluster. Nothing is written.
bool HasRoom(Volume &volume, const Folder &folder, const std::string &name);
// Adds an entry for `name` (with long-name slots when it needs them) made of
// the fields of `entry` (its name bytes are set here), all in one sector: the
// folder grows by a zeroed cluster first when no sector has room (a fixed
// root that is full: ENOSPC). `slot` gets the short entry's slot.
bool AddEntry(Volume &volume, Folder &folder, const std::string &name, const uint8_t entry[SLOT], size_t &slot);
// Writes the short entry at `slot` anew (one sector write, flushed).
bool RewriteEntry(Volume &volume, Folder &folder, size_t slot, const uint8_t entry[SLOT]);
// Gives the entry at `slot` the name `name` and a new alias; `slot` gets the
// short entry's new place.
bool RenameEntry(Volume &volume, Folder &folder, size_t &slot, const std::string &name);
// Marks the entry at `slot` and its long-name slots deleted.
bool RemoveEntry(Volume &volume, Folder &folder, size_t slot);

} // namespace image

#endif
