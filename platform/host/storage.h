// Where the host keeps drive C: and the registry file: one table of storage
// operations with two implementations, a host folder (folder_store.cpp) and a
// FAT volume inside a disk image (image/). The Win32 file calls (files.cpp) and
// the registry stand-in (registry.cpp) reach their files only through a Store,
// so the program behaves alike on either; fault and crash injection sit below
// both (faulthook.h).
//
// A path is a store path: absolute, its names separated by '/'. In a folder
// store it is a host path ("/mnt/win95/WINDOWS/INF/machine.inf"); in an image
// it names a file from the volume's root ("/WINDOWS/INF/machine.inf"). Names
// are used as the store holds them: Find gives the stored spelling of a name
// matched regardless of case, and callers build paths from it.
//
// Every operation that fails returns false (Open: -1) and sets errno as POSIX
// would: ENOENT, ENOTDIR, EEXIST, EISDIR, EACCES or EPERM, ELOOP (a link where
// none may be followed), ENOSPC, EIO, EXDEV. Nothing is left half-done that a
// caller could see, except what a crash may leave (each store says what).
#ifndef PLOVEX_HOST_STORAGE_H
#define PLOVEX_HOST_STORAGE_H

#include "platform/platform.h"

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace host {

// How a name is found in a folder. A host folder may hold two names that
// differ only in letter case, which Windows cannot tell apart; FAT never does.
enum Match { NO_ENTRY, ONE_ENTRY, TWIN_ENTRIES };

struct EntryInfo {
    enum Kind { FILE, FOLDER, OTHER } kind = OTHER; // OTHER: a device, FIFO, socket, dangling link
    DWORD attributes = 0; // FILE_ATTRIBUTE_READONLY, _HIDDEN, _SYSTEM, _ARCHIVE as Windows reports them
    uint64_t size = 0;
    uint64_t id = 0; // the same for every name and handle of one file, while it is neither renamed nor deleted
};

// Open's flags. OPEN_CREATE makes the file, or empties one that exists;
// with OPEN_EXCLUSIVE it fails (EEXIST) when the name is taken.
enum : unsigned {
    OPEN_READ = 1,
    OPEN_WRITE = 2,
    OPEN_CREATE = 4,
    OPEN_EXCLUSIVE = 8,
    OPEN_NO_FOLLOW = 16, // a symbolic link as the last name fails with ELOOP
};

class Store {
public:
    virtual ~Store() = default;

    // The path as a user should read it in a message.
    virtual std::string Describe(const std::string &path) = 0;

    // The path with links resolved and every existing name as stored; a
    // missing last name stays as written. False when a folder on the way is missing.
    virtual bool RealPath(const std::string &path, std::string &real) = 0;

    // Looks up `name` in `folder` regardless of ASCII letter case (in an image
    // also by its 8.3 alias). `found` is the stored name; with TWIN_ENTRIES
    // `twin` is the second one. A folder that cannot be listed gives NO_ENTRY.
    virtual Match Find(const std::string &folder, const std::string &name, std::string &found,
                       std::string &twin) = 0;

    // What is at `path`; with `follow` a symbolic link answers for what it names.
    virtual bool Stat(const std::string &path, bool follow, EntryInfo &info) = 0;

    // Opens a file (a folder or anything but a regular file fails: EISDIR,
    // EACCES) and gives a number for the calls below, or -1.
    virtual int Open(const std::string &path, unsigned flags) = 0;
    virtual bool FileStat(int file, EntryInfo &info) = 0;
    // Reads up to `size` bytes at `offset`; `got` is less only at the end of the file.
    virtual bool ReadAt(int file, uint64_t offset, void *buffer, size_t size, size_t &got) = 0;
    // Writes at `offset`, extending the file as needed; on failure `put` says
    // how many bytes went in (a full disk takes what fits).
    virtual bool WriteAt(int file, uint64_t offset, const void *buffer, size_t size, size_t &put) = 0;
    // What was written is on the disk when this returns true.
    virtual bool Sync(int file) = 0;
    // The number is gone whatever the result; false: what was written may be lost.
    virtual bool Close(int file) = 0;

    // Renames a file within its folder; never replaces an existing name
    // (EEXIST). A new spelling of the same name only changes the spelling.
    virtual bool Rename(const std::string &from, const std::string &to) = 0;
    // Deletes a file (a folder: EISDIR).
    virtual bool Remove(const std::string &path) = 0;
    // Sets READONLY (and where the store keeps them, HIDDEN, SYSTEM, ARCHIVE)
    // of a regular file; a symbolic link is never followed.
    virtual bool SetAttributes(const std::string &path, DWORD attributes) = 0;

    // The registry file's writes, each made so that a crash leaves the old
    // file whole or the new one complete, never a mixture:
    // Whether `path` can be given new contents later by WriteWhole; `why` says
    // what stands in the way. Nothing is left changed.
    virtual bool CanReplace(const std::string &path, std::string &why) = 0;
    // CanReplace's answer found without writing anything, for a dry run. A
    // store whose CanReplace writes (a probe file) gives its own.
    virtual bool CanReplaceWithoutWriting(const std::string &path, std::string &why) { return CanReplace(path, why); }
    // Gives `path` the contents `pieces` (one after another), durably, with the
    // mode, owner and attributes of `like` (an existing file). Without
    // `replace` the path must not exist yet (EEXIST). `failure` names the step
    // that failed and why.
    virtual bool WriteWhole(const std::string &path, const std::vector<std::string_view> &pieces,
                            const std::string &like, bool replace, std::string &failure) = 0;

    // Called once when the run ends, after every file is closed: whatever the
    // store keeps up to date lazily is written (an image's free-space count).
    virtual void Finish() {}
};

// A regular file of a store read whole; false, with errno set, when it cannot be.
bool ReadWhole(Store &store, const std::string &path, std::string &bytes);

// The stores in use. The host store (the host's own file system) always
// exists; drive C: is the host store with a folder as its root, or an image.
Store &HostStore();

} // namespace host

#endif
