// The host's own file system as a Store (storage.h): POSIX calls, with what
// Windows would need of them. A name is matched by listing its folder, a
// rename never replaces (renameat2 with RENAME_NOREPLACE, else link and
// unlink), and on a vfat mount the FAT attributes are the file system's own.
// The registry file is rewritten through a new file beside it that is flushed
// and renamed into place, so a crash leaves the old file or the new one.
#include "platform/host/faulthook.h"
#include "platform/host/posixio.h"
#include "platform/host/storage.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <linux/msdos_fs.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <utility>

namespace host {

namespace {

// The FAT attribute byte of a file on a vfat mount, whose bits are Win32's
// read-only, hidden, system and archive attributes; false elsewhere.
bool FatAttributes(int fd, __u32 &attributes)
{
    struct statfs volume;
    return fstatfs(fd, &volume) == 0 && volume.f_type == MSDOS_SUPER_MAGIC &&
           ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes) == 0;
}

// A rename that never replaces a file. A file system without the flag (vfat
// before Linux 4.x) is asked whether the name is free first; the run holds
// the folder, so nothing comes between.
int RenameNoReplace(const std::string &from, const std::string &to)
{
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    if (link(from.c_str(), to.c_str()) == 0)
        return unlink(from.c_str()), 0;
    if (errno == EEXIST)
        return -1;
    struct stat taken; // nor hard links (vfat)
    if (lstat(to.c_str(), &taken) == 0)
        return (errno = EEXIST, -1);
    return rename(from.c_str(), to.c_str());
}

std::string Reason(const std::string &what)
{
    return what + ": " + strerror(errno);
}

std::string FolderOf(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

class FolderStore : public Store {
public:
    std::string Describe(const std::string &path) override { return path; }

    bool RealPath(const std::string &path, std::string &real) override
    {
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved)) {
            real = resolved;
            return true;
        }
        if (errno != ENOENT || !realpath(FolderOf(path).c_str(), resolved))
            return false;
        real = std::string(resolved) + (resolved[1] ? "/" : "") + path.substr(path.find_last_of('/') + 1);
        return true;
    }

    Match Find(const std::string &folder, const std::string &name, std::string &found, std::string &twin) override
    {
        DIR *dir = opendir(folder.c_str());
        if (!dir) { // a folder that cannot be listed: the name as written, or nothing
            struct stat info;
            if (lstat((folder + "/" + name).c_str(), &info) != 0)
                return NO_ENTRY;
            found = name;
            return ONE_ENTRY;
        }
        Match match = NO_ENTRY;
        while (dirent *entry = readdir(dir)) {
            if (strcasecmp(entry->d_name, name.c_str()) != 0)
                continue;
            if (match == NO_ENTRY) {
                found = entry->d_name;
                match = ONE_ENTRY;
            } else {
                twin = entry->d_name;
                match = TWIN_ENTRIES;
                break;
            }
        }
        closedir(dir);
        return match;
    }

    bool Stat(const std::string &path, bool follow, EntryInfo &info) override
    {
        struct stat status;
        if ((follow ? stat(path.c_str(), &status) : lstat(path.c_str(), &status)) != 0)
            return false;
        Fill(status, info);
        if (info.kind == EntryInfo::FILE) {
            int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
            __u32 fat;
            if (fd >= 0 && FatAttributes(fd, fat))
                info.attributes = fat & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                         FILE_ATTRIBUTE_ARCHIVE);
            if (fd >= 0)
                close(fd);
        }
        return true;
    }

    int Open(const std::string &path, unsigned flags) override
    {
        int mode = (flags & OPEN_WRITE) ? ((flags & OPEN_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
        int how = mode | O_CLOEXEC | O_NONBLOCK; // a FIFO must not block the program
        if (flags & OPEN_CREATE)
            how |= O_CREAT | ((flags & OPEN_EXCLUSIVE) ? O_EXCL : O_TRUNC);
        if (flags & OPEN_NO_FOLLOW)
            how |= O_NOFOLLOW;
        int fd = open(path.c_str(), how, 0666);
        if (fd < 0)
            return -1;
        // Only regular files are files here: a directory, FIFO or device is refused.
        struct stat status;
        if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            close(fd);
            errno = EACCES;
            return -1;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }

    bool FileStat(int file, EntryInfo &info) override
    {
        struct stat status;
        if (fstat(file, &status) != 0)
            return false;
        Fill(status, info);
        __u32 fat;
        if (info.kind == EntryInfo::FILE && FatAttributes(file, fat))
            info.attributes = fat & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE);
        return true;
    }

    bool ReadAt(int file, uint64_t offset, void *buffer, size_t size, size_t &got) override
    {
        return ReadAtOffset(file, offset, buffer, size, got);
    }

    bool WriteAt(int file, uint64_t offset, const void *buffer, size_t size, size_t &put) override
    {
        return WriteAtOffset(file, offset, buffer, size, put);
    }

    bool Sync(int file) override { return fsync(file) == 0; }

    bool Close(int file) override { return close(file) == 0; }

    bool Rename(const std::string &from, const std::string &to) override
    {
        if (from == to)
            return true;
        // The same name in another spelling: on a case-blind file system the
        // new name "exists" already, and only a plain rename respells it.
        if (FolderOf(from) == FolderOf(to) && strcasecmp(from.c_str(), to.c_str()) == 0)
            return rename(from.c_str(), to.c_str()) == 0;
        return RenameNoReplace(from, to) == 0;
    }

    bool Remove(const std::string &path) override { return unlink(path.c_str()) == 0; }

    // Sets the read-only attribute (on vfat all four attributes) of a regular
    // file; a symbolic link is never followed.
    bool SetAttributes(const std::string &path, DWORD attributes) override
    {
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat status;
        if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            if (fd >= 0)
                close(fd);
            if (fd >= 0 || errno == ELOOP)
                errno = EACCES;
            return false;
        }
        __u32 fat;
        bool ok;
        if (FatAttributes(fd, fat)) {
            fat = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE);
            ok = ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &fat) == 0;
        } else {
            mode_t mode = status.st_mode & 07777;
            mode = (attributes & FILE_ATTRIBUTE_READONLY) ? mode & ~(mode_t)0222 : mode | S_IWUSR;
            ok = fchmod(fd, mode) == 0;
        }
        int saved = errno;
        close(fd);
        errno = saved;
        return ok;
    }

    bool CanReplace(const std::string &path, std::string &why) override { return Replaceable(path, true, why); }
    bool CanReplaceWithoutWriting(const std::string &path, std::string &why) override
    {
        return Replaceable(path, false, why);
    }

    // The new file and the rename into place must both be possible: the folder
    // takes a new file (a replacement left by an interrupted run is ours to
    // remove), and the file is neither immutable nor append-only (chattr +i,
    // +a), which no rename may replace. Without `probe` nothing is written:
    // the kernel is asked whether this process may write the folder (its
    // permissions, a read-only mount, an immutable folder), and a replacement
    // left behind is only looked at.
    bool Replaceable(const std::string &path, bool probe, std::string &why)
    {
        std::string replacement = ReplacementOf(path);
        struct stat left;
        if (lstat(replacement.c_str(), &left) == 0 &&
            (!S_ISREG(left.st_mode) || (probe && unlink(replacement.c_str()) != 0))) {
            why = "cannot be replaced: " + replacement + " is in the way";
            return false;
        }
        int fd = -1;
        bool takesNewFile = probe ? (fd = open(replacement.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                               0600)) >= 0
                                  : faccessat(AT_FDCWD, FolderOf(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
        if (!takesNewFile) {
            why = "cannot be replaced: its folder does not take the new file " + replacement + " (" +
                  strerror(errno) + ")";
            return false;
        }
        if (probe) {
            close(fd);
            unlink(replacement.c_str());
        }
        fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        int flags = 0;
        bool fixed = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL));
        if (fd >= 0)
            close(fd);
        if (fixed) {
            why = std::string("cannot be replaced: it is ") + ((flags & FS_IMMUTABLE_FL) ? "immutable" : "append-only") +
                  " (chattr -i or -a, as root, allows it)";
            return false;
        }
        return true;
    }

    // Each step is a point where a test may fail or end the process.
    bool WriteWhole(const std::string &path, const std::vector<std::string_view> &pieces, const std::string &like,
                    bool replace, std::string &failure) override
    {
        struct stat model;
        __u32 fat = 0;
        int probe = open(like.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        bool known = probe >= 0 && fstat(probe, &model) == 0;
        bool onFat = known && FatAttributes(probe, fat);
        if (probe >= 0)
            close(probe);
        if (!known)
            return (failure = Reason("cannot open " + like), false);

        auto step = [] { return !FaultDue(Operation::RegistryWrite) || (errno = EIO, false); };
        std::string replacement = ReplacementOf(path);
        int fd = step() ? open(replacement.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
        if (fd < 0)
            return (failure = Reason("cannot create " + replacement), false);
        bool ok = step();
        uint64_t at = 0;
        for (std::string_view piece : pieces) {
            size_t put = 0;
            ok = ok && WriteAtOffset(fd, at, piece.data(), piece.size(), put);
            at += put;
        }
        if (ok && geteuid() == 0 && fchown(fd, model.st_uid, model.st_gid) != 0) {
            // a file system without owners (vfat) keeps none
        }
        if (ok)
            ok = onFat ? ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &fat) == 0 : fchmod(fd, model.st_mode & 07777) == 0;
        ok = ok && step() && fsync(fd) == 0;
        if (!ok)
            failure = Reason("cannot write " + replacement);
        if (close(fd) != 0 && ok) {
            ok = false;
            failure = Reason("cannot write " + replacement);
        }
        if (ok && (!step() || (replace ? rename(replacement.c_str(), path.c_str()) : RenameNoReplace(replacement, path)) != 0)) {
            ok = false;
            failure = Reason("cannot rename " + replacement + " to " + path);
        }
        if (!ok) {
            unlink(replacement.c_str());
            return false;
        }
        // The rename itself reaches the disk with its folder.
        int dir = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
        return true;
    }

private:
    std::map<std::pair<dev_t, ino_t>, uint64_t> ids; // one number per file met

    // The file that takes a registry file's new contents before it is renamed into place.
    static std::string ReplacementOf(const std::string &path) { return path + ".new~"; }

    void Fill(const struct stat &status, EntryInfo &info)
    {
        info.kind = S_ISREG(status.st_mode) ? EntryInfo::FILE : S_ISDIR(status.st_mode) ? EntryInfo::FOLDER
                                                                                       : EntryInfo::OTHER;
        info.attributes = FILE_ATTRIBUTE_ARCHIVE;
        if (info.kind == EntryInfo::FILE && !(status.st_mode & S_IWUSR))
            info.attributes |= FILE_ATTRIBUTE_READONLY;
        info.size = (uint64_t)status.st_size;
        info.id = ids.emplace(std::make_pair(status.st_dev, status.st_ino), ids.size() + 1).first->second;
    }
};

} // namespace

Store &HostStore()
{
    static FolderStore store;
    return store;
}

} // namespace host
