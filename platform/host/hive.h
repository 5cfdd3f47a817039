// A Windows 9x registry hive (SYSTEM.DAT, signature "CREG") held in memory:
// checked and indexed as a whole, read, and changed in place the way Windows 95
// changes it when it deletes a key. No file is read or written here.
#ifndef PLOVEX_HOST_HIVE_H
#define PLOVEX_HOST_HIVE_H

#include "platform/platform.h"

#include <stdint.h>

#include <string>
#include <vector>

namespace hive {

// The file's bytes and an index into them. The two belong together: change the
// bytes only through DeleteKey, and Load again after anything else.
struct Hive {
    std::string bytes;
    std::vector<uint32_t> blocks;  // file offset of each RGDB block
    std::vector<uint32_t> records; // per RGKN key slot: file offset of the key's data record, 0 for none
    std::vector<uint32_t> wideRuns; // RGKN offsets of the free runs of more than one entry
};

// True when the file begins with the signature "CREG" (the first four bytes are enough).
bool IsHive(const std::string &firstBytes);

// Checks the whole file and indexes it: the header, the RGKN key navigation
// area with every key entry reachable from the root and its free list, every
// RGDB block with its key records, values and free list. Every offset must lie
// inside its area, the key links must form a tree (each entry reached once,
// naming its real parent), no two sibling keys may share a name, every key's
// data record must exist once. On failure `hive` is left empty and `error`
// says what is wrong and where (file offsets), e.g. "RGKN key entry at 0x1e4
// links to 0x5030, outside the RGKN". Takes the bytes whatever they hold.
bool Load(std::string bytes, Hive &hive, std::string &error);

// Key paths are below the root (HKEY_LOCAL_MACHINE for SYSTEM.DAT), names
// separated by '\' and compared regardless of ASCII letter case. The empty
// path is the root itself; a path with an empty name in it names no key.
bool KeyExists(const Hive &hive, const std::string &path);

// Deletes the key and every key below it, as Windows 95 does: the entries are
// unlinked and put on the RGKN free list, their data records put on their
// block's free list, the header flags set as Windows 95 sets them on a deletion
// (the running Windows 95 refuses a hive with freed entries without them), the
// places inside the free runs marked as Windows 95 marks them, and every other
// byte stays as it was. The result is Windows 95's own bytes but for two
// things, both bytes of no meaning that the running Windows 95 reads the same
// either way: where Windows 95 writes such bytes over a freed entry's links and
// record number they are left as they were, and so is the word at +8 of each
// key entry, which REGEDIT rewrites with values of its own the first time it
// changes a hive that the running registry saved. False, with nothing changed,
// when there is no such key (or for the root).
bool DeleteKey(Hive &hive, const std::string &path);

// A value of a key: its type and its data as stored (a string without a
// terminating NUL, as Windows 95 keeps it). The empty name is the key's default
// value. False when the key or the value is missing.
bool ReadValue(const Hive &hive, const std::string &keyPath, const std::string &valueName, DWORD &type,
               std::string &data);

// Every key below the root as a path, each parent before its subkeys and
// siblings in the order the file links them. For tests and diagnostics.
std::vector<std::string> KeyPaths(const Hive &hive);

} // namespace hive

#endif
