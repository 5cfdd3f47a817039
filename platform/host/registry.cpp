// HKEY_LOCAL_MACHINE as a REGEDIT4 file, the format Windows 95's regedit
// exports. A key is a block: its header line and the value lines after it, up
// to the next header. Deleting a key removes its block and the blocks of every
// key below it, as Windows 95 does, keeps every other byte, and rewrites the
// file through a temporary file.
#include "platform/host/host.h"

#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

struct Block {
    std::string key; // full name, root included
    size_t begin, end;
};

std::string FilePath; // empty: no registry file, nothing to delete
std::string Text;
std::vector<Block> Blocks;
host::RegistryDeleteHandler OnDelete;

const char *const Roots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                             "HKEY_USERS",         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

bool KnownRoot(const std::string &key)
{
    std::string root = key.substr(0, key.find('\\'));
    for (const char *known : Roots)
        if (strcasecmp(root.c_str(), known) == 0)
            return true;
    return false;
}

// A value line: "name"=data or @=data, the name a quoted string with \" escapes.
bool ValueLine(const std::string &line)
{
    size_t at = 0;
    if (line[0] == '@') {
        at = 1;
    } else {
        at = 1;
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
    blocks.clear();
    size_t begin = 0;
    int number = 0;
    bool continued = false;
    while (begin < text.size()) {
        size_t lf = text.find('\n', begin);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        std::string line = text.substr(begin, end - begin);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        number++;
        auto fail = [&](const char *what) {
            error = "line " + std::to_string(number) + ": " + what;
            return false;
        };
        if (line.find('\0') != std::string::npos)
            return fail("a NUL byte");
        if (number == 1) {
            if (line != "REGEDIT4")
                return fail("the file does not begin with REGEDIT4");
        } else if (continued) {
            // the rest of a hex value broken over lines
        } else if (line.find_first_not_of(" \t") == std::string::npos) {
            // blank
        } else if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3)
                return fail("a key header without its closing ]");
            std::string key = line.substr(1, line.size() - 2);
            if (!KnownRoot(key) || key.find("\\\\") != std::string::npos || key.back() == '\\')
                return fail("a key outside the known roots, or with an empty name");
            if (!blocks.empty())
                blocks.back().end = begin;
            blocks.push_back({key, begin, text.size()});
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

// Below-or-same test on full key names, regardless of case.
bool WithinKey(const std::string &key, const std::string &top)
{
    return key.size() >= top.size() && strncasecmp(key.c_str(), top.c_str(), top.size()) == 0 &&
           (key.size() == top.size() || key[top.size()] == '\\');
}

bool WriteWhole(const std::string &path, const std::string &text)
{
    if (host::FaultDue(host::Operation::RegistryWrite))
        return false;
    std::string temporary = path + ".new~";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put <= 0)
            break;
        done += (size_t)put;
    }
    bool ok = done == text.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    unlink(temporary.c_str());
    return false;
}

HKEY const RootHandle = HKEY_LOCAL_MACHINE;

} // namespace

namespace host {

bool LoadRegistry(const std::string &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    struct stat info;
    if (!in || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = path + ": cannot be read";
        return false;
    }
    std::stringstream whole;
    whole << in.rdbuf();
    std::string text = whole.str();
    std::vector<Block> blocks;
    std::string why;
    if (!Parse(text, blocks, why)) {
        error = path + ": " + why;
        return false;
    }
    FilePath = path;
    Text = text;
    Blocks = blocks;
    return true;
}

void UseEmptyRegistry()
{
    FilePath.clear();
    Text.clear();
    Blocks.clear();
}

bool RegistryKeyExists(const std::string &key)
{
    for (const Block &block : Blocks)
        if (WithinKey(block.key, key))
            return true;
    return false;
}

void SetRegistryDeleteHandler(RegistryDeleteHandler handler)
{
    OnDelete = std::move(handler);
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
    std::string kept;
    size_t from = 0;
    bool found = false;
    for (const Block &block : Blocks)
        if (WithinKey(block.key, top)) {
            kept.append(Text, from, block.begin - from);
            from = block.end;
            found = true;
        }
    LONG result = ERROR_FILE_NOT_FOUND;
    if (found) {
        kept.append(Text, from, std::string::npos);
        std::vector<Block> blocks;
        std::string error;
        if (Parse(kept, blocks, error) && WriteWhole(FilePath, kept)) {
            Text = kept;
            Blocks = blocks;
            result = ERROR_SUCCESS;
        } else {
            result = ERROR_ACCESS_DENIED; // the file stays as it was
        }
    }
    if (OnDelete)
        OnDelete(subKey, found);
    return result;
}

LONG WINAPI RegCloseKey(HKEY key)
{
    return key == RootHandle ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
