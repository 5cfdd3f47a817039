// Files as Win32 gives them to the program, over POSIX: drive C: is a host
// folder, names match regardless of case, MoveFileA never replaces, DeleteFileA
// deletes files only (and not read-only ones), and a file created for writing
// is never reached through a symbolic link.
#include "platform/host/host.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

namespace {

std::string DriveC = ".";
thread_local DWORD LastError = 0;
std::map<intptr_t, int> Handles; // handle value -> file descriptor
intptr_t NextHandle = 0x100;

void Fail(DWORD error)
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

// The entry of `folder` named `name` in any letter case: the exact name first,
// else the first match in name order.
bool FindEntry(const std::string &folder, const std::string &name, std::string &found)
{
    struct stat info;
    if (lstat((folder + "/" + name).c_str(), &info) == 0) {
        found = name;
        return true;
    }
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return false;
    bool any = false;
    while (dirent *entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, name.c_str()) == 0 && (!any || found > entry->d_name)) {
            found = entry->d_name;
            any = true;
        }
    }
    closedir(dir);
    return any;
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
        Fail(ERROR_PATH_NOT_FOUND);
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
        Fail(ERROR_PATH_NOT_FOUND);
        return result;
    }
    std::string folder = DriveC;
    for (size_t i = 0; i + 1 < parts.size(); i++) {
        std::string entry;
        struct stat info;
        if (!FindEntry(folder, parts[i], entry) || stat((folder + "/" + entry).c_str(), &info) != 0 ||
            !S_ISDIR(info.st_mode)) {
            Fail(ERROR_PATH_NOT_FOUND);
            return result;
        }
        folder += "/" + entry;
    }
    result.ok = true;
    result.folder = folder;
    result.exists = FindEntry(folder, parts.back(), result.name);
    if (!result.exists)
        result.name = parts.back();
    return result;
}

int DescriptorOf(HANDLE handle)
{
    auto found = Handles.find((intptr_t)handle);
    return found == Handles.end() ? -1 : found->second;
}

HANDLE NewHandle(int fd)
{
    intptr_t value = NextHandle;
    NextHandle += 4;
    Handles[value] = fd;
    return (HANDLE)value;
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

void CloseAllHandles()
{
    for (auto &handle : Handles)
        close(handle.second);
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
    if (host::FaultDue(host::Operation::CreateFile)) {
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    (void)share;
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
        // Windows refuses to overwrite a directory or a read-only file.
        if (present && (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && !(info.st_mode & S_IWUSR)))) {
            Fail(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        open_flags |= O_CREAT | O_TRUNC | O_NOFOLLOW;
    } else if (disposition != OPEN_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    } else if (!present) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(path.c_str(), open_flags, 0666);
    if (fd < 0) {
        Fail(errno == ELOOP ? ERROR_ACCESS_DENIED : ErrorOf(errno));
        return INVALID_HANDLE_VALUE;
    }
    // Only regular files are files here: a directory, FIFO or device is refused.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return NewHandle(fd);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, void *overlapped)
{
    if (host::FaultDue(host::Operation::ReadFile)) {
        Fail(ERROR_READ_FAULT);
        if (read)
            *read = 0;
        return FALSE;
    }
    (void)overlapped;
    if (read)
        *read = 0;
    int fd = DescriptorOf(file);
    if (fd < 0) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD total = 0;
    while (total < toRead) {
        ssize_t got = ::read(fd, (char *)buffer + total, toRead - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            Fail(ERROR_READ_FAULT);
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
        Fail(ERROR_DISK_FULL);
        return FALSE;
    }
    (void)overlapped;
    if (written)
        *written = 0;
    int fd = DescriptorOf(file);
    if (fd < 0) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD total = 0;
    while (total < toWrite) {
        ssize_t put = ::write(fd, (const char *)buffer + total, toWrite - total);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            Fail(put < 0 ? ErrorOf(errno) : ERROR_WRITE_FAULT);
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
        Fail(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    long long offset = distanceHigh ? ((long long)*distanceHigh << 32) | (DWORD)distance : (long long)distance;
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    off_t at = lseek(fd, (off_t)offset, whence);
    if (at < 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh)
        *distanceHigh = (LONG)((unsigned long long)at >> 32);
    LastError = NO_ERROR;
    return (DWORD)at;
}

BOOL WINAPI FlushFileBuffers(HANDLE file)
{
    if (host::FaultDue(host::Operation::FlushFileBuffers)) {
        Fail(ERROR_WRITE_FAULT);
        return FALSE;
    }
    int fd = DescriptorOf(file);
    if (fd < 0 || fsync(fd) != 0) {
        Fail(fd < 0 ? ERROR_INVALID_HANDLE : ErrorOf(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE object)
{
    auto found = Handles.find((intptr_t)object);
    if (found == Handles.end()) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int fd = found->second;
    Handles.erase(found);
    bool injected = host::FaultDue(host::Operation::CloseHandle); // the handle is gone all the same
    if (close(fd) != 0 || injected) {
        if (injected)
            errno = EIO;
        Fail(ErrorOf(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI MoveFileA(LPCSTR existing, LPCSTR newName)
{
    if (host::FaultDue(host::Operation::MoveFile)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Resolved from = Resolve(existing);
    if (!from.ok)
        return FALSE;
    if (!from.exists) {
        Fail(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    Resolved to = Resolve(newName);
    if (!to.ok)
        return FALSE;
    if (to.exists) {
        if (to.path() != from.path()) {
            Fail(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        // The same file under another letter case: only the spelling changes.
        std::string written = newName;
        size_t cut = written.find_last_of("\\/");
        std::string target = to.folder + "/" + written.substr(cut + 1);
        if (rename(from.path().c_str(), target.c_str()) != 0) {
            Fail(ErrorOf(errno));
            return FALSE;
        }
        return TRUE;
    }
    // Never replace: a rename onto an existing name fails, as on Windows.
    if (renameat2(AT_FDCWD, from.path().c_str(), AT_FDCWD, to.path().c_str(), RENAME_NOREPLACE) == 0)
        return TRUE;
    if (errno == EINVAL || errno == ENOSYS) { // a file system without the flag
        if (link(from.path().c_str(), to.path().c_str()) == 0) {
            unlink(from.path().c_str());
            return TRUE;
        }
    }
    Fail(ErrorOf(errno));
    return FALSE;
}

BOOL WINAPI DeleteFileA(LPCSTR name)
{
    if (host::FaultDue(host::Operation::DeleteFile)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Resolved r = Resolve(name);
    if (!r.ok)
        return FALSE;
    struct stat info;
    if (!r.exists || lstat(r.path().c_str(), &info) != 0) {
        Fail(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // A directory is not a file; a read-only file stays (Win32's read-only attribute).
    if (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && !(info.st_mode & S_IWUSR))) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(r.path().c_str()) != 0) {
        Fail(ErrorOf(errno));
        return FALSE;
    }
    return TRUE;
}
