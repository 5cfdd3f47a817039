// HKEY_LOCAL_MACHINE as a file: a Windows 9x hive (SYSTEM.DAT, changed in
// place as Windows 95 changes it, see hive.h), or a REGEDIT4 text, the format
// Windows 95's regedit exports, in which a key is a block: its header line and
// the value lines after it, up to the next header. Deleting a key takes the
// key and every key below it, as Windows 95 does, and keeps every other byte.
//
// Deletions are made in memory and written back as Windows 95 writes its own
// registry, lazily: before the program's next file call or message box, and
// when it ends. So a group of deletions costs one rewrite, made through a new
// file beside the old one that is flushed and renamed into place; a failed or
// interrupted write leaves the old file whole. Before a hive's first change a
// byte-exact copy of it is kept beside it (SYSTEM.PLX), never overwritten. The
// file lies in a store (storage.h): the host's file system, or the disk image
// that holds drive C:.
#include "platform/host/hive.h"
#include "platform/host/overlay.h"
#include "platform/host/registry.h"

#include <errno.h>
#include <string.h>
#include <strings.h>

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

enum Format { NO_FILE, REGEDIT4_TEXT, HIVE_FILE };

Format Kind;
host::Store *FileStore = &host::HostStore();
std::string FilePath; // the file itself in its store, links resolved; empty: no registry file
std::string Text;     // a REGEDIT4 text and its key blocks
std::vector<Block> Blocks;
std::vector<size_t> Unwritten; // blocks deleted since the last write
hive::Hive Hive;
bool HiveChanged;                // since the last write
std::vector<DeleteEvent> Events; // deletions not yet reported
bool WriteFailed;
host::RegistryDeleteHandler OnDelete;

const std::string Root = "HKEY_LOCAL_MACHINE\\";

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

// A path below HKEY_LOCAL_MACHINE given in full; false for any other root.
bool BelowRoot(const std::string &key, std::string &below)
{
    if (key.size() <= Root.size() || strncasecmp(key.c_str(), Root.c_str(), Root.size()) != 0)
        return false;
    below = key.substr(Root.size());
    return true;
}

// A REGEDIT4 string as regedit writes it: "text", with \\ and \" escaped.
bool StringValue(std::string_view data, std::string &value)
{
    if (data.size() < 2 || data.front() != '"' || data.back() != '"')
        return false;
    value.clear();
    for (size_t i = 1; i + 1 < data.size(); i++)
        value += data[i] == '\\' && i + 2 < data.size() ? data[++i] : data[i];
    return true;
}

// Where a hive's untouched copy is kept: its name with the extension PLX, in
// the letter case of the name ("SYSTEM.DAT" -> "SYSTEM.PLX").
std::string UntouchedCopyPath()
{
    size_t slash = FilePath.find_last_of('/'), dot = FilePath.find_last_of('.');
    std::string stem = dot != std::string::npos && dot > slash + 1 ? FilePath.substr(0, dot) : FilePath;
    bool lower = false;
    for (size_t i = slash + 1; i < FilePath.size(); i++)
        lower |= FilePath[i] >= 'a' && FilePath[i] <= 'z';
    return stem + (lower ? ".plx" : ".PLX");
}

std::string Reason(const std::string &what)
{
    return what + ": " + strerror(errno);
}

// Writes the registry back: the kept blocks of a REGEDIT4 text, or the whole
// hive, once the hive's untouched copy stands beside it.
bool WriteBack(std::string &failure)
{
    host::EntryInfo info;
    if (Kind == HIVE_FILE) {
        std::string copy = UntouchedCopyPath(), untouched;
        if (!FileStore->Stat(copy, false, info)) {
            // The file in the store is still the one this run found: no write has replaced it yet.
            if (!ReadWhole(*FileStore, FilePath, untouched))
                return (failure = Reason("cannot read " + FileStore->Describe(FilePath)), false);
            if (!FileStore->WriteWhole(copy, {untouched}, FilePath, false, failure))
                return false;
        }
        return FileStore->WriteWhole(FilePath, {Hive.bytes}, FilePath, true, failure);
    }
    std::vector<std::string_view> kept;
    std::string_view text = Text;
    size_t from = 0;
    for (const Block &block : Blocks)
        if (block.deleted) {
            kept.push_back(text.substr(from, block.begin - from));
            from = block.end;
        }
    kept.push_back(text.substr(from));
    return FileStore->WriteWhole(FilePath, kept, FilePath, true, failure);
}

// The registry file must be one that can be replaced later: a REGEDIT4 file
// that may be written (Windows 9x keeps its hive read-only, which is normal),
// whose store can give it new contents, and for a hive with nothing but a
// file under the name of its untouched copy.
bool CheckReplaceable(const host::EntryInfo &info, std::string &error)
{
    if (Kind == REGEDIT4_TEXT && (info.attributes & FILE_ATTRIBUTE_READONLY))
        return (error = "is read-only; make it writable, or run with --registry none", false);
    host::EntryInfo left;
    std::string copy = UntouchedCopyPath();
    if (Kind == HIVE_FILE && FileStore->Stat(copy, false, left) && left.kind != host::EntryInfo::FILE)
        return (error = "cannot be replaced: " + FileStore->Describe(copy) +
                        ", the name of its untouched copy, is in the way",
                false);
    return FileStore->CanReplace(FilePath, error);
}

HKEY const RootHandle = HKEY_LOCAL_MACHINE;

} // namespace

namespace host {

bool LoadRegistry(const std::string &path, std::string &error, Store &given)
{
    Store &store = SeenByRun(given); // a dry run reads and writes the file through its overlay
    std::string real, bytes;
    host::EntryInfo info;
    UseEmptyRegistry();
    if (!store.RealPath(path, real) || !store.Stat(real, true, info) || !ReadWhole(store, real, bytes)) {
        error = store.Describe(path) + ": cannot be read";
        return false;
    }
    std::string why;
    Kind = hive::IsHive(bytes) ? HIVE_FILE : REGEDIT4_TEXT;
    bool loaded = Kind == HIVE_FILE ? hive::Load(std::move(bytes), Hive, why) : Parse(bytes, Blocks, why);
    FileStore = &store;
    FilePath = real;
    if (!loaded)
        error = store.Describe(path) + ": " + (Kind == HIVE_FILE ? "a Windows 9x registry hive that cannot be used: " : "") + why;
    else if (!CheckReplaceable(info, why))
        error = store.Describe(path) + ": " + why;
    else if (Kind == REGEDIT4_TEXT)
        Text = std::move(bytes);
    if (!error.empty()) {
        UseEmptyRegistry();
        return false;
    }
    return true;
}

void UseEmptyRegistry()
{
    Kind = NO_FILE;
    FileStore = &HostStore();
    FilePath.clear();
    std::string().swap(Text); // the memory of a large file goes with it
    std::vector<Block>().swap(Blocks);
    Hive = hive::Hive();
    HiveChanged = false;
    Unwritten.clear();
    Events.clear();
    WriteFailed = false;
}

std::string RegistryFile()
{
    return FilePath;
}

Store &RegistryStore()
{
    return *FileStore;
}

bool RegistryIsHive()
{
    return Kind == HIVE_FILE;
}

bool RegistryKeyExists(const std::string &key)
{
    std::string below;
    if (Kind == HIVE_FILE)
        return BelowRoot(key, below) && hive::KeyExists(Hive, below);
    for (const Block &block : Blocks)
        if (!block.deleted && WithinKey(block, key))
            return true;
    return false;
}

bool ReadRegistryString(const std::string &key, const std::string &name, std::string &value)
{
    std::string below;
    if (Kind == HIVE_FILE) {
        DWORD type;
        std::string data;
        if (!BelowRoot(key, below) || !hive::ReadValue(Hive, below, name, type, data))
            return false;
        value = data.substr(0, data.find('\0')); // kept with or without its NUL
        return true;
    }
    const std::string quoted = "\"" + name + "\"=";
    for (const Block &block : Blocks) {
        if (block.deleted || block.keyLength != key.size() ||
            strncasecmp(Text.data() + block.begin + 1, key.data(), key.size()) != 0)
            continue;
        std::string_view lines(Text.data() + block.begin, block.end - block.begin);
        for (size_t lf = lines.find('\n'); lf != std::string_view::npos; lf = lines.find('\n', lf + 1)) {
            std::string_view line = lines.substr(lf + 1);
            line = line.substr(0, line.find('\n'));
            while (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (line.size() > quoted.size() && strncasecmp(line.data(), quoted.data(), quoted.size()) == 0)
                return StringValue(line.substr(quoted.size()), value);
        }
    }
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
    if ((!Unwritten.empty() || HiveChanged) && !WriteBack(failure)) {
        // The file is as it was, and so is what stands for it here.
        for (size_t index : Unwritten)
            Blocks[index].deleted = false;
        std::string bytes, why;
        if (Kind == HIVE_FILE && !(ReadWhole(*FileStore, FilePath, bytes) && hive::Load(std::move(bytes), Hive, why)))
            Hive = hive::Hive(); // gone or changed under us: nothing more is deleted from it
        WriteFailed = true;
    }
    Unwritten.clear();
    HiveChanged = false;
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
    bool found = false;
    if (Kind == HIVE_FILE) {
        found = hive::DeleteKey(Hive, subKey);
        HiveChanged |= found;
    }
    std::string top = Root + subKey;
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
