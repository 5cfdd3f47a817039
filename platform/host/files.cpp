// Files as Win32 gives them to the program, over the store that holds drive
// C: (storage.h: a host folder or a disk image): names match regardless of
// case (and a name that two entries match is refused), MoveFileA never
// replaces, DeleteFileA deletes files only (and not read-only ones), an open
// file's share mode is honoured, and a file created for writing is never
// reached through a symbolic link.
#include "platform/platform.h"
#include "platform/host/faulthook.h"
#include "platform/host/files.h"
#include "platform/host/registry.h"
#include "platform/host/storage.h"

#include <errno.h>
#include <stdio.h>
#include <strings.h>

#include <map>
#include <set>

namespace {

host::Store *DriveC = &host::HostStore();
std::string DriveCRoot = "."; // the store path of C:\ itself
thread_local DWORD LastError = 0;

// An open file: its number in the store, which file it is, how it was opened,
// and where the next read or write goes.
struct OpenFile {
    int file;
    uint64_t id;
    DWORD access, share;
    uint64_t position;
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

// FAT never holds two names that differ only in letter case; a Linux folder
// may, and then Windows would see either of them: such a name is refused
// rather than guessed.
void ReportTwins(LPCSTR windowsPath, const std::string &folder, const std::string &one, const std::string &other)
{
    if (TwinsReported.insert(folder + "/" + one).second)
        fprintf(stderr,
                "plovex: %s: the folder %s holds both \"%s\" and \"%s\", which Windows cannot tell apart; "
                "neither is used\n",
                windowsPath, DriveC->Describe(folder).c_str(), one.c_str(), other.c_str());
}

// A Win32 path resolved in the store: the folder it lies in (which exists) and
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
    std::string folder = DriveCRoot;
    for (size_t i = 0; i < parts.size(); i++) {
        std::string entry, twin;
        host::Match match = DriveC->Find(folder, parts[i], entry, twin);
        if (match == host::TWIN_ENTRIES) {
            ReportTwins(windowsPath, folder, entry, twin);
            SetError(ERROR_ACCESS_DENIED);
            return result;
        }
        if (i + 1 == parts.size()) {
            result.ok = true;
            result.folder = folder;
            result.exists = match == host::ONE_ENTRY;
            result.name = result.exists ? entry : parts.back();
            return result;
        }
        host::EntryInfo info;
        if (match == host::NO_ENTRY || !DriveC->Stat(folder + "/" + entry, true, info) ||
            info.kind != host::EntryInfo::FOLDER) {
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

// A Win32 path that names an existing entry, with what the store says of it
// (a link's own entry, or with `follow` what it names); false with the error set.
bool ResolveExisting(LPCSTR name, Resolved &r, host::EntryInfo &info, bool follow = false)
{
    r = Resolve(name);
    if (!r.ok)
        return false;
    if (!r.exists || !DriveC->Stat(r.path(), follow, info)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return true;
}

OpenFile *OpenFileOf(HANDLE handle)
{
    auto found = Handles.find((intptr_t)handle);
    return found == Handles.end() ? nullptr : &found->second;
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
bool SharingViolation(uint64_t id, DWORD access, DWORD share)
{
    for (const auto &handle : Handles) {
        const OpenFile &open = handle.second;
        if (open.id != id)
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
bool IsOpen(uint64_t id)
{
    for (const auto &handle : Handles)
        if (handle.second.id == id)
            return true;
    return false;
}

} // namespace

namespace host {

void SetDriveC(const std::string &folder)
{
    DriveC = &HostStore();
    DriveCRoot = folder.empty() ? "." : folder;
}

void SetDriveCStore(Store &store)
{
    DriveC = &store;
    DriveCRoot = "";
}

Store &DriveCStore()
{
    return *DriveC;
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
        DriveC->Close(handle.second.file);
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
    host::EntryInfo info;
    bool present = r.exists && DriveC->Stat(path, false, info);

    unsigned how = ((access & GENERIC_READ) ? (unsigned)host::OPEN_READ : 0u) |
                   ((access & GENERIC_WRITE) ? (unsigned)host::OPEN_WRITE : 0u);
    if (disposition == CREATE_ALWAYS) {
        // Windows refuses to overwrite a directory or a read-only file, and
        // one that is open without a share mode that allows it.
        if (present && (info.kind == host::EntryInfo::FOLDER ||
                        (info.kind == host::EntryInfo::FILE && (info.attributes & FILE_ATTRIBUTE_READONLY)))) {
            SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (present && SharingViolation(info.id, access, share)) {
            SetError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        how |= host::OPEN_CREATE | host::OPEN_NO_FOLLOW;
    } else if (disposition == OPEN_ALWAYS) {
        // An existing file is opened as it is, a missing one made empty; a
        // read-only file is refused for writing.
        if (present && (info.kind == host::EntryInfo::FOLDER ||
                        ((access & GENERIC_WRITE) && info.kind == host::EntryInfo::FILE &&
                         (info.attributes & FILE_ATTRIBUTE_READONLY)))) {
            SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        how |= host::OPEN_NO_FOLLOW | (present ? 0u : host::OPEN_CREATE | host::OPEN_EXCLUSIVE);
    } else if (disposition != OPEN_EXISTING) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    } else if (!present) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (!(how & (host::OPEN_READ | host::OPEN_WRITE)))
        how |= host::OPEN_READ;
    int file = DriveC->Open(path, how);
    if (file < 0) {
        SetError(errno == ELOOP ? ERROR_ACCESS_DENIED : ErrorOf(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (!DriveC->FileStat(file, info) || SharingViolation(info.id, access, share)) {
        DriveC->Close(file);
        SetError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS || (disposition == OPEN_ALWAYS && (access & GENERIC_WRITE)))
        NoteChange(name);
    HANDLE handle = NewHandle({file, info.id, access, share, 0});
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
    OpenFile *open = OpenFileOf(file);
    if (!open) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    size_t got = 0;
    bool ok = DriveC->ReadAt(open->file, open->position, buffer, toRead, got);
    open->position += got;
    if (read)
        *read = (DWORD)got;
    if (!ok) {
        SetError(ERROR_READ_FAULT);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, void *overlapped)
{
    (void)overlapped;
    if (written)
        *written = 0;
    OpenFile *open = OpenFileOf(file);
    size_t put = 0;
    if (host::FaultDue(host::Operation::WriteFile)) {
        // As a full disk fails: the first half goes to the file, then the call fails.
        if (open && toWrite / 2 > 0)
            DriveC->WriteAt(open->file, open->position, buffer, toWrite / 2, put);
        if (open)
            open->position += put;
        if (written)
            *written = (DWORD)put;
        SetError(ERROR_DISK_FULL);
        return FALSE;
    }
    if (!open) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool ok = DriveC->WriteAt(open->file, open->position, buffer, toWrite, put);
    open->position += put;
    if (written)
        *written = (DWORD)put;
    if (!ok) {
        SetError(ErrorOf(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method)
{
    OpenFile *open = OpenFileOf(file);
    if (!open) {
        SetError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    long long offset = distanceHigh ? ((long long)*distanceHigh << 32) | (DWORD)distance : (long long)distance;
    long long base = 0;
    host::EntryInfo info;
    if (method == FILE_CURRENT)
        base = (long long)open->position;
    else if (method == FILE_END)
        base = DriveC->FileStat(open->file, info) ? (long long)info.size : -1;
    if (base < 0 || base + offset < 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    open->position = (uint64_t)(base + offset);
    if (distanceHigh)
        *distanceHigh = (LONG)(open->position >> 32);
    LastError = NO_ERROR;
    return (DWORD)open->position;
}

BOOL WINAPI FlushFileBuffers(HANDLE file)
{
    if (InjectedFault(host::Operation::FlushFileBuffers, ERROR_WRITE_FAULT))
        return FALSE;
    OpenFile *open = OpenFileOf(file);
    if (!open || !DriveC->Sync(open->file)) {
        SetError(!open ? ERROR_INVALID_HANDLE : ErrorOf(errno));
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
    int file = found->second.file;
    Handles.erase(found);
    bool injected = host::FaultDue(host::Operation::CloseHandle); // the handle is gone all the same
    if (!DriveC->Close(file) || injected) {
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
    host::EntryInfo info;
    if (!ResolveExisting(existing, from, info))
        return FALSE;
    if (IsOpen(info.id)) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    Resolved to = Resolve(newName);
    if (!to.ok)
        return FALSE;
    std::string target = to.path();
    if (to.exists) {
        if (to.path() != from.path()) { // never replace, as on Windows
            SetError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        // The same file under another letter case: only the spelling changes.
        std::string written = newName;
        target = to.folder + "/" + written.substr(written.find_last_of("\\/") + 1);
    }
    if (!DriveC->Rename(from.path(), target)) {
        SetError(ErrorOf(errno));
        return FALSE;
    }
    NoteChange(existing);
    NoteChange(newName);
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR name)
{
    if (InjectedFault(host::Operation::DeleteFile, ERROR_ACCESS_DENIED))
        return FALSE;
    Resolved r;
    host::EntryInfo info;
    if (!ResolveExisting(name, r, info))
        return FALSE;
    // A directory is not a file; a read-only file stays (Win32's read-only attribute).
    if (info.kind == host::EntryInfo::FOLDER ||
        (info.kind == host::EntryInfo::FILE && (info.attributes & FILE_ATTRIBUTE_READONLY))) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (IsOpen(info.id)) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (!DriveC->Remove(r.path())) {
        SetError(ErrorOf(errno));
        return FALSE;
    }
    NoteChange(name);
    return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR name)
{
    if (InjectedFault(host::Operation::GetFileAttributes, ERROR_ACCESS_DENIED))
        return INVALID_FILE_ATTRIBUTES;
    // A symbolic link answers for the file it names, as under Wine; a dangling one is no file.
    Resolved r;
    host::EntryInfo info;
    if (!ResolveExisting(name, r, info, true))
        return INVALID_FILE_ATTRIBUTES;
    return info.kind == host::EntryInfo::FOLDER ? FILE_ATTRIBUTE_DIRECTORY : info.attributes;
}

// Sets the read-only attribute (and where the store keeps them the hidden,
// system and archive attributes) of a regular file; a link is never followed.
BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes)
{
    if (InjectedFault(host::Operation::SetFileAttributes, ERROR_ACCESS_DENIED))
        return FALSE;
    Resolved r;
    host::EntryInfo info;
    if (!ResolveExisting(name, r, info))
        return FALSE;
    if (!DriveC->SetAttributes(r.path(), attributes)) {
        SetError(ErrorOf(errno));
        return FALSE;
    }
    NoteChange(name);
    return TRUE;
}
