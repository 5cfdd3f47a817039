// Files as Win32 gives them to the program, over POSIX: drive C: is a host
// folder, names match regardless of case (and a name that two host entries
// match is refused), MoveFileA never replaces, DeleteFileA deletes files only
// (and not read-only ones), an open file's share mode is honoured, and a file
// created for writing is never reached through a symbolic link.
#include "platform/platform.h"
#include "platform/host/faulthook.h"
#include "platform/host/files.h"
#include "platform/host/registry.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/msdos_fs.h>
#include <stdio.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <map>
#include <set>

namespace {

std::string DriveC = ".";
thread_local DWORD LastError = 0;

// An open file: its descriptor, which file it is, and how it was opened.
struct OpenFile {
    int fd;
    dev_t device;
    ino_t inode;
    DWORD access, share;
};
std::map<intptr_t, OpenFile> Handles; // by handle value
intptr_t NextHandle = 0x100;
std::set<std::string> TwinsReported;
std::vector<std::string> Changed; // Win32 paths, in the order of their first change

void NoteChange(LPCSTR windowsPath)
{
    for (const std::string &known : Changed)
        if (strcasecmp(known.c_str(), windowsPath) == 0)
            return;
    Changed.push_back(windowsPath);
}

void SetError(DWORD error)
{
    LastError = error;
}

DWORD ErrorOf(int posixError)
{
    switch (posixError) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
    case EBADF: return ERROR_INVALID_HANDLE;
    default: return ERROR_ACCESS_DENIED;
    }
}

// How a name is found in a host folder. FAT never holds two names that differ
// only in letter case; a Linux folder may, and then Windows would see either
// of them: such a name is refused rather than guessed.
enum Match { NO_ENTRY, ONE_ENTRY, TWIN_ENTRIES };

Match FindEntry(const std::string &folder, const std::string &name, std::string &found, std::string &twin)
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

void ReportTwins(LPCSTR windowsPath, const std::string &folder, const std::string &one, const std::string &other)
{
    if (TwinsReported.insert(folder + "/" + one).second)
        fprintf(stderr,
                "plovex: %s: the folder %s holds both \"%s\" and \"%s\", which Windows cannot tell apart; "
                "neither is used\n",
                windowsPath, folder.c_str(), one.c_str(), other.c_str());
}

// A Win32 path resolved on the host: the folder it lies in (which exists) and
// its last component, as the existing entry spells it or else as written.
struct Resolved {
    bool ok = false;
    std::string folder, name;
    bool exists = false;
    std::string path() const { return folder + "/" + name; }
};

Resolved Resolve(LPCSTR windowsPath)
{
    Resolved result;
    if (!windowsPath || (windowsPath[0] != 'C' && windowsPath[0] != 'c') || windowsPath[1] != ':' ||
        (windowsPath[2] != '\\' && windowsPath[2] != '/')) {
        SetError(ERROR_PATH_NOT_FOUND);
        return result;
    }
    std::vector<std::string> parts;
    std::string part;
    for (const char *c = windowsPath + 3;; c++) {
        if (*c == '\\' || *c == '/' || *c == '\0') {
            if (part == "..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
            if (*c == '\0')
                break;
        } else {
            part += *c;
        }
    }
    if (parts.empty()) {
        SetError(ERROR_PATH_NOT_FOUND);
        return result;
    }
    std::string folder = DriveC;
    for (size_t i = 0; i < parts.size(); i++) {
        std::string entry, twin;
        Match match = FindEntry(folder, parts[i], entry, twin);
        if (match == TWIN_ENTRIES) {
            ReportTwins(windowsPath, folder, entry, twin);
            SetError(ERROR_ACCESS_DENIED);
            return result;
        }
        if (i + 1 == parts.size()) {
            result.ok = true;
            result.folder = folder;
            result.exists = match == ONE_ENTRY;
            result.name = result.exists ? entry : parts.back();
            return result;
        }
        struct stat info;
        if (match == NO_ENTRY || stat((folder + "/" + entry).c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            SetError(ERROR_PATH_NOT_FOUND);
            return result;
        }
        folder += "/" + entry;
    }
    return result;
}

// A fault a test has armed for this call: the call fails with `error`.
bool InjectedFault(host::Operation operation, DWORD error)
{
    if (!host::FaultDue(operation))
        return false;
    SetError(error);
    return true;
}

// A Win32 path that names an existing entry, with its host status (a link's
// own, or with `follow` the status of what it names); false with the error set.
bool ResolveExisting(LPCSTR name, Resolved &r, struct stat &info, bool follow = false)
{
    r = Resolve(name);
    if (!r.ok)
        return false;
    if (!r.exists || (follow ? stat(r.path().c_str(), &info) : lstat(r.path().c_str(), &info)) != 0) {
        SetError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return true;
}

int DescriptorOf(HANDLE handle)
{
    auto found = Handles.find((intptr_t)handle);
    return found == Handles.end() ? -1 : found->second.fd;
}

HANDLE NewHandle(const OpenFile &file)
{
    intptr_t value = NextHandle;
    NextHandle += 4;
    Handles[value] = file;
    return (HANDLE)value;
}

// Windows lets a file be opened again only as the share modes of every open
// handle allow, and the new open's share mode must allow theirs.
bool SharingViolation(const struct stat &file, DWORD access, DWORD share)
{
    for (const auto &handle : Handles) {
        const OpenFile &open = handle.second;
        if (open.device != file.st_dev || open.inode != file.st_ino)
            continue;
        if (((access & GENERIC_READ) && !(open.share & FILE_SHARE_READ)) ||
            ((access & GENERIC_WRITE) && !(open.share & FILE_SHARE_WRITE)) ||
            ((open.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
            ((open.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)))
            return true;
    }
    return false;
}

// An open file can be neither renamed nor deleted (Windows 95 has no
// FILE_SHARE_DELETE).
bool IsOpen(const struct stat &file)
{
    for (const auto &handle : Handles)
        if (handle.second.device == file.st_dev && handle.second.inode == file.st_ino)
            return true;
    return false;
}

// The FAT attribute byte of a file on a vfat mount, whose bits are Win32's
// read-only, hidden, system and archive attributes; false elsewhere.
bool FatAttributes(int fd, DWORD &attributes)
{
    struct statfs volume;
    __u32 fat = 0;
    if (fstatfs(fd, &volume) != 0 || volume.f_type != MSDOS_SUPER_MAGIC ||
        ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) != 0)
        return false;
    attributes = fat;
    return true;
}

} // namespace

namespace host {

void SetDriveC(const std::string &folder)
{
    DriveC = folder.empty() ? "." : folder;
}

std::string HostPath(const std::string &windowsPath)
{
    Resolved r = Resolve(windowsPath.c_str());
    return r.ok ? r.path() : std::string();
}

int OpenHandleCount()
{
    return (int)Handles.size();
}

std::vector<std::string> ChangedFiles()
{
    return Changed;
}

void ForgetChangedFiles()
{
    Changed.clear();
}

void CloseAllHandles()
{
    for (auto &handle : Handles)
        close(handle.second.fd);
    Handles.clear();
}

} // namespace host

DWORD WINAPI GetLastError(void)
{
    return LastError;
}

void WINAPI SetLastError(DWORD error)
{
    LastError = error;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile)
{
    host::WriteRegistryChanges();
    if (InjectedFault(host::Operation::CreateFile, ERROR_ACCESS_DENIED))
        return INVALID_HANDLE_VALUE;
    (void)security;
    (void)flags;
    (void)templateFile;
    Resolved r = Resolve(name);
    if (!r.ok)
        return INVALID_HANDLE_VALUE;
    std::string path = r.path();
    struct stat info;
    bool present = lstat(path.c_str(), &info) == 0;

    int mode = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    int open_flags = mode | O_CLOEXEC | O_NONBLOCK; // a FIFO must not block the program
    if (disposition == CREATE_ALWAYS) {
        // Windows refuses to overwrite a directory or a read-only file, and
        // one that is open without a share mode that allows it.
        if (present && (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && !(info.st_mode & S_IWUSR)))) {
            SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (present && SharingViolation(info, access, share)) {
            SetError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        open_flags |= O_CREAT | O_TRUNC | O_NOFOLLOW;
    } else if (disposition == OPEN_ALWAYS) {
        // An existing file is opened as it is, a missing one made empty; a
        // read-only file is refused for writing, even to root.
        if (present && (S_ISDIR(info.st_mode) ||
                        ((access & GENERIC_WRITE) && S_ISREG(info.st_mode) && !(info.st_mode & S_IWUSR)))) {
            SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        open_flags |= O_CREAT | O_NOFOLLOW;
    } else if (disposition != OPEN_EXISTING) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    } else if (!present) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(path.c_str(), open_flags, 0666);
    if (fd < 0) {
        SetError(errno == ELOOP ? ERROR_ACCESS_DENIED : ErrorOf(errno));
        return INVALID_HANDLE_VALUE;
    }
    // Only regular files are files here: a directory, FIFO or device is refused.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (SharingViolation(info, access, share)) {
        close(fd);
        SetError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (disposition == CREATE_ALWAYS || (disposition == OPEN_ALWAYS && (access & GENERIC_WRITE)))
        NoteChange(name);
    HANDLE handle = NewHandle({fd, info.st_dev, info.st_ino, access, share});
    if (disposition == OPEN_ALWAYS && present)
        SetError(ERROR_ALREADY_EXISTS); // as Windows tells it
    return handle;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, void *overlapped)
{
    if (host::FaultDue(host::Operation::ReadFile)) {
        SetError(ERROR_READ_FAULT);
        if (read)
            *read = 0;
        return FALSE;
    }
    (void)overlapped;
    if (read)
        *read = 0;
    int fd = DescriptorOf(file);
    if (fd < 0) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD total = 0;
    while (total < toRead) {
        ssize_t got = ::read(fd, (char *)buffer + total, toRead - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            SetError(ERROR_READ_FAULT);
            if (read)
                *read = total;
            return FALSE;
        }
        if (got == 0)
            break;
        total += (DWORD)got;
    }
    if (read)
        *read = total;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, void *overlapped)
{
    if (host::FaultDue(host::Operation::WriteFile)) {
        // As a full disk fails: the first half goes to the file, then the call fails.
        int fd = DescriptorOf(file);
        ssize_t put = fd >= 0 && toWrite / 2 > 0 ? ::write(fd, buffer, toWrite / 2) : 0;
        if (written)
            *written = put > 0 ? (DWORD)put : 0;
        SetError(ERROR_DISK_FULL);
        return FALSE;
    }
    (void)overlapped;
    if (written)
        *written = 0;
    int fd = DescriptorOf(file);
    if (fd < 0) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD total = 0;
    while (total < toWrite) {
        ssize_t put = ::write(fd, (const char *)buffer + total, toWrite - total);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            SetError(put < 0 ? ErrorOf(errno) : ERROR_WRITE_FAULT);
            if (written)
                *written = total;
            return FALSE;
        }
        total += (DWORD)put;
    }
    if (written)
        *written = total;
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method)
{
    int fd = DescriptorOf(file);
    if (fd < 0) {
        SetError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    long long offset = distanceHigh ? ((long long)*distanceHigh << 32) | (DWORD)distance : (long long)distance;
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    off_t at = lseek(fd, (off_t)offset, whence);
    if (at < 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh)
        *distanceHigh = (LONG)((unsigned long long)at >> 32);
    LastError = NO_ERROR;
    return (DWORD)at;
}

BOOL WINAPI FlushFileBuffers(HANDLE file)
{
    if (InjectedFault(host::Operation::FlushFileBuffers, ERROR_WRITE_FAULT))
        return FALSE;
    int fd = DescriptorOf(file);
    if (fd < 0 || fsync(fd) != 0) {
        SetError(fd < 0 ? ERROR_INVALID_HANDLE : ErrorOf(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE object)
{
    auto found = Handles.find((intptr_t)object);
    if (found == Handles.end()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int fd = found->second.fd;
    Handles.erase(found);
    bool injected = host::FaultDue(host::Operation::CloseHandle); // the handle is gone all the same
    if (close(fd) != 0 || injected) {
        if (injected)
            errno = EIO;
        SetError(ErrorOf(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI MoveFileA(LPCSTR existing, LPCSTR newName)
{
    if (InjectedFault(host::Operation::MoveFile, ERROR_ACCESS_DENIED))
        return FALSE;
    Resolved from;
    struct stat info;
    if (!ResolveExisting(existing, from, info))
        return FALSE;
    if (IsOpen(info)) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    Resolved to = Resolve(newName);
    if (!to.ok)
        return FALSE;
    if (to.exists) {
        if (to.path() != from.path()) {
            SetError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        // The same file under another letter case: only the spelling changes.
        std::string written = newName;
        size_t cut = written.find_last_of("\\/");
        std::string target = to.folder + "/" + written.substr(cut + 1);
        if (rename(from.path().c_str(), target.c_str()) != 0) {
            SetError(ErrorOf(errno));
            return FALSE;
        }
        NoteChange(newName);
        return TRUE;
    }
    // Never replace: a rename onto an existing name fails, as on Windows.
    bool moved = renameat2(AT_FDCWD, from.path().c_str(), AT_FDCWD, to.path().c_str(), RENAME_NOREPLACE) == 0;
    if (!moved && (errno == EINVAL || errno == ENOSYS)) { // a file system without the flag
        struct stat taken;
        if (link(from.path().c_str(), to.path().c_str()) == 0) {
            unlink(from.path().c_str());
            moved = true;
        } else if (errno != EEXIST && lstat(to.path().c_str(), &taken) != 0) {
            // Nor hard links (vfat): the name is free, and the run holds the folder.
            moved = rename(from.path().c_str(), to.path().c_str()) == 0;
        }
    }
    if (moved) {
        NoteChange(existing);
        NoteChange(newName);
        return TRUE;
    }
    SetError(ErrorOf(errno));
    return FALSE;
}

BOOL WINAPI DeleteFileA(LPCSTR name)
{
    if (InjectedFault(host::Operation::DeleteFile, ERROR_ACCESS_DENIED))
        return FALSE;
    Resolved r;
    struct stat info;
    if (!ResolveExisting(name, r, info))
        return FALSE;
    // A directory is not a file; a read-only file stays (Win32's read-only attribute).
    if (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && !(info.st_mode & S_IWUSR))) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (IsOpen(info)) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (unlink(r.path().c_str()) != 0) {
        SetError(ErrorOf(errno));
        return FALSE;
    }
    NoteChange(name);
    return TRUE;
}

// The read-only attribute is the owner's write permission; on a vfat mount all
// four attributes are the file system's own.
DWORD WINAPI GetFileAttributesA(LPCSTR name)
{
    if (InjectedFault(host::Operation::GetFileAttributes, ERROR_ACCESS_DENIED))
        return INVALID_FILE_ATTRIBUTES;
    // A symbolic link answers for the file it names, as under Wine; a dangling one is no file.
    Resolved r;
    struct stat info;
    if (!ResolveExisting(name, r, info, true))
        return INVALID_FILE_ATTRIBUTES;
    if (S_ISDIR(info.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    if (S_ISREG(info.st_mode)) {
        int fd = open(r.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || !FatAttributes(fd, attributes))
            attributes = FILE_ATTRIBUTE_ARCHIVE | ((info.st_mode & S_IWUSR) ? 0 : FILE_ATTRIBUTE_READONLY);
        if (fd >= 0)
            close(fd);
    }
    return attributes;
}

// Sets the read-only attribute (and on vfat the hidden, system and archive
// attributes) of a regular file; a symbolic link is never followed.
BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes)
{
    if (InjectedFault(host::Operation::SetFileAttributes, ERROR_ACCESS_DENIED))
        return FALSE;
    Resolved r;
    struct stat info;
    if (!ResolveExisting(name, r, info))
        return FALSE;
    int fd = open(r.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        SetError(fd < 0 && errno != ELOOP ? ErrorOf(errno) : ERROR_ACCESS_DENIED);
        if (fd >= 0)
            close(fd);
        return FALSE;
    }
    DWORD old;
    bool ok;
    if (FatAttributes(fd, old)) {
        __u32 fat = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE);
        ok = ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &fat) == 0;
    } else {
        mode_t mode = info.st_mode & 07777;
        mode = (attributes & FILE_ATTRIBUTE_READONLY) ? mode & ~(mode_t)0222 : mode | S_IWUSR;
        ok = fchmod(fd, mode) == 0;
    }
    if (ok)
        NoteChange(name);
    else
        SetError(ErrorOf(errno));
    close(fd);
    return ok;
}
