// HKEY_LOCAL_MACHINE as a REGEDIT4 file, the format Windows 95's regedit
// exports. A key is a block: its header line and the value lines after it, up
// to the next header. Deleting a key drops its block and the blocks of every
// key below it, as Windows 95 does, and keeps every other byte.
//
// Deletions are made in memory and written back as Windows 95 writes its own
// registry, lazily: before the program's next file call or message box, and
// when it ends. So a group of deletions costs one rewrite, made through a new
// file beside the old one that is flushed and renamed into place; a failed or
// interrupted write leaves the old file whole.
#include "platform/host/host.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

namespace {

struct Block {
    size_t begin, end;  // the header line and the values, in Text
    size_t keyLength;   // the full key name stands at begin + 1
    bool deleted;
};

struct DeleteEvent {
    std::string key;
    bool found;
};

std::string FilePath; // the file itself, links resolved; empty: no registry file
std::string Text;
std::vector<Block> Blocks;
std::vector<size_t> Unwritten; // blocks deleted since the last write
std::vector<DeleteEvent> Events; // deletions not yet reported
bool WriteFailed;
host::RegistryDeleteHandler OnDelete;

const char *const Roots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                             "HKEY_USERS",         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

bool KnownRoot(std::string_view key)
{
    std::string_view root = key.substr(0, key.find('\\'));
    for (const char *known : Roots)
        if (root.size() == strlen(known) && strncasecmp(root.data(), known, root.size()) == 0)
            return true;
    return false;
}

// A value line: "name"=data or @=data, the name a quoted string with \" escapes.
bool ValueLine(std::string_view line)
{
    size_t at = 1;
    if (line[0] == '"') {
        while (at < line.size() && line[at] != '"')
            at += line[at] == '\\' ? 2 : 1;
        if (at >= line.size())
            return false;
        at++;
    }
    return at < line.size() && line[at] == '=';
}

bool Parse(const std::string &text, std::vector<Block> &blocks, std::string &error)
{
    // Room for every line that may be a header, so the table is never copied.
    size_t headers = 0;
    for (size_t at = text.find("\n["); at != std::string::npos; at = text.find("\n[", at + 2))
        headers++;
    blocks.clear();
    blocks.reserve(headers);
    size_t begin = 0;
    int number = 0;
    bool continued = false;
    while (begin < text.size()) {
        size_t lf = text.find('\n', begin);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        std::string_view line(text.data() + begin, end - begin);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.remove_suffix(1);
        number++;
        auto fail = [&](const char *what) {
            error = "line " + std::to_string(number) + ": " + what;
            return false;
        };
        if (line.find('\0') != std::string_view::npos)
            return fail("a NUL byte");
        if (number == 1) {
            if (line != "REGEDIT4")
                return fail("the file does not begin with REGEDIT4");
        } else if (continued) {
            // the rest of a hex value broken over lines
        } else if (line.find_first_not_of(" \t") == std::string_view::npos) {
            // blank
        } else if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3)
                return fail("a key header without its closing ]");
            std::string_view key = line.substr(1, line.size() - 2);
            if (!KnownRoot(key) || key.find("\\\\") != std::string_view::npos || key.back() == '\\')
                return fail("a key outside the known roots, or with an empty name");
            if (!blocks.empty())
                blocks.back().end = begin;
            blocks.push_back({begin, text.size(), key.size(), false});
        } else if (line[0] == '"' || line[0] == '@') {
            if (blocks.empty())
                return fail("a value before the first key");
            if (!ValueLine(line))
                return fail("a value line that is not \"name\"=data");
        } else {
            return fail("neither a key, a value nor a blank line");
        }
        continued = !line.empty() && line.back() == '\\' && (line[0] == '"' || line[0] == '@' || continued);
        begin = end;
    }
    if (number == 0)
        return (error = "line 1: the file is empty", false);
    return true;
}

// The block's key is `top` or lies below it; names compare regardless of case.
bool WithinKey(const Block &block, const std::string &top)
{
    const char *key = Text.data() + block.begin + 1;
    return block.keyLength >= top.size() && strncasecmp(key, top.data(), top.size()) == 0 &&
           (block.keyLength == top.size() || key[top.size()] == '\\');
}

std::string ReplacementPath()
{
    return FilePath + ".new~";
}

std::string Reason(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

// Writes the kept bytes to the replacement file, flushes it and renames it
// over the registry file, keeping the file's mode and owner. Each step is a
// point where a test may fail or end the process.
bool WriteKept(std::string &failure)
{
    struct stat info;
    if (stat(FilePath.c_str(), &info) != 0)
        return (failure = Reason("the registry file is gone"), false);
    std::string replacement = ReplacementPath();
    int fd = host::FaultDue(host::Operation::RegistryWrite)
                 ? (errno = EIO, -1)
                 : open(replacement.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return (failure = Reason(("cannot create " + replacement).c_str()), false);

    bool ok = !host::FaultDue(host::Operation::RegistryWrite) || (errno = ENOSPC, false);
    size_t from = 0;
    auto put = [&](size_t begin, size_t end) {
        while (ok && begin < end) {
            ssize_t done = write(fd, Text.data() + begin, end - begin);
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0)
                ok = false;
            else
                begin += (size_t)done;
        }
    };
    for (const Block &block : Blocks)
        if (block.deleted) {
            put(from, block.begin);
            from = block.end;
        }
    put(from, Text.size());
    if (ok && geteuid() == 0 && fchown(fd, info.st_uid, info.st_gid) != 0) {
        // a file system without owners (vfat) keeps none
    }
    ok = ok && fchmod(fd, info.st_mode & 07777) == 0;
    ok = ok && (!host::FaultDue(host::Operation::RegistryWrite) || (errno = EIO, false)) && fsync(fd) == 0;
    if (!ok)
        failure = Reason(("cannot write " + replacement).c_str());
    if (close(fd) != 0 && ok) {
        ok = false;
        failure = Reason(("cannot write " + replacement).c_str());
    }
    if (ok && (host::FaultDue(host::Operation::RegistryWrite) ? (errno = EIO, true)
                                                              : rename(replacement.c_str(), FilePath.c_str()) != 0)) {
        ok = false;
        failure = Reason(("cannot rename " + replacement + " to " + FilePath).c_str());
    }
    if (!ok) {
        unlink(replacement.c_str());
        return false;
    }
    // The rename itself reaches the disk with its folder.
    std::string folder = FilePath.substr(0, FilePath.find_last_of('/') + 1);
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

// The registry file must be one that can be replaced later: a regular file
// that may be written, in a folder that takes the replacement file. A
// replacement file left by an interrupted run is ours to remove.
bool CheckReplaceable(const struct stat &info, std::string &error)
{
    if (!(info.st_mode & S_IWUSR))
        return (error = "is read-only; make it writable, or run with --registry none", false);
    std::string replacement = ReplacementPath();
    struct stat left;
    if (lstat(replacement.c_str(), &left) == 0 && (!S_ISREG(left.st_mode) || unlink(replacement.c_str()) != 0))
        return (error = "cannot be replaced: " + replacement + " is in the way", false);
    int fd = open(replacement.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return (error = "cannot be replaced: its folder does not take the new file " + replacement + " (" +
                        strerror(errno) + ")",
                false);
    close(fd);
    unlink(replacement.c_str());
    return true;
}

bool ReadWhole(const std::string &path, std::string &bytes, struct stat &info)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    bytes.assign((size_t)info.st_size, '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = read(fd, &bytes[got], bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    close(fd);
    bytes.resize(got);
    return true;
}

HKEY const RootHandle = HKEY_LOCAL_MACHINE;

} // namespace

namespace host {

bool LoadRegistry(const std::string &path, std::string &error)
{
    char real[PATH_MAX];
    std::string text;
    struct stat info;
    if (!realpath(path.c_str(), real) || !ReadWhole(real, text, info)) {
        error = path + ": cannot be read";
        return false;
    }
    std::vector<Block> blocks;
    std::string why;
    if (!Parse(text, blocks, why)) {
        error = path + ": " + why;
        return false;
    }
    UseEmptyRegistry();
    FilePath = real;
    if (!CheckReplaceable(info, why)) {
        FilePath.clear();
        error = path + ": " + why;
        return false;
    }
    Text = std::move(text);
    Blocks = std::move(blocks);
    return true;
}

void UseEmptyRegistry()
{
    FilePath.clear();
    std::string().swap(Text); // the memory of a large file goes with it
    std::vector<Block>().swap(Blocks);
    Unwritten.clear();
    Events.clear();
    WriteFailed = false;
}

std::string RegistryFile()
{
    return FilePath;
}

bool RegistryKeyExists(const std::string &key)
{
    for (const Block &block : Blocks)
        if (!block.deleted && WithinKey(block, key))
            return true;
    return false;
}

void SetRegistryDeleteHandler(RegistryDeleteHandler handler)
{
    OnDelete = std::move(handler);
}

void WriteRegistryChanges()
{
    if (Events.empty())
        return;
    std::string failure;
    if (!Unwritten.empty() && !WriteKept(failure)) {
        // The file is as it was, and so is what stands for it here.
        for (size_t index : Unwritten)
            Blocks[index].deleted = false;
        WriteFailed = true;
    }
    Unwritten.clear();
    std::vector<DeleteEvent> events;
    events.swap(Events);
    if (OnDelete)
        for (const DeleteEvent &event : events)
            OnDelete(event.key.c_str(), event.found, event.found ? failure : std::string());
}

bool RegistryWriteFailed()
{
    return WriteFailed;
}

} // namespace host

LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    if (key != HKEY_LOCAL_MACHINE || (subKey && subKey[0]))
        return ERROR_FILE_NOT_FOUND; // only the root itself is ever opened
    *result = RootHandle;
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey)
{
    if (key != RootHandle || !subKey || !subKey[0])
        return ERROR_INVALID_PARAMETER;
    std::string top = std::string("HKEY_LOCAL_MACHINE\\") + subKey;
    bool found = false;
    for (size_t index = 0; index < Blocks.size(); index++) {
        Block &block = Blocks[index];
        if (!block.deleted && WithinKey(block, top)) {
            block.deleted = true;
            Unwritten.push_back(index);
            found = true;
        }
    }
    Events.push_back({subKey, found});
    return found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegCloseKey(HKEY key)
{
    return key == RootHandle ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
