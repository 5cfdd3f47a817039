// What the program does to bytes, coded a second time for the tests and the
// fuzz targets: text mode over an INF text, the key blocks of a REGEDIT4
// file, and the flags the running Windows 95 insists on in a hive. The program's own codings (inf/linestream.cpp,
// platform/host/registry.cpp) are held against these, so none of them may be
// taken from there. A plain header, like tests/scratch.h.
#ifndef PLOVEX_TESTS_MODELS_H
#define PLOVEX_TESTS_MODELS_H

#include <stddef.h>

#include <string>
#include <vector>

// What text mode makes of a text when every line is copied: CR LF and bare LF
// end lines as CR LF, a lone CR stays, nothing after a Ctrl-Z.
inline std::string TextModeCopy(const std::string &bytes)
{
    std::string data = bytes.substr(0, bytes.find('\x1a'));
    std::string out;
    for (size_t i = 0; i < data.size(); i++) {
        if (data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n')
            continue; // the pair reads as its LF
        if (data[i] == '\n')
            out += "\r\n";
        else
            out += data[i];
    }
    return out;
}

// `key` is `top` or lies below it; names compare regardless of ASCII case.
inline bool WithinKey(const std::string &key, const std::string &top)
{
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; };
    if (key.size() < top.size() || (key.size() > top.size() && key[top.size()] != '\\'))
        return false;
    for (size_t i = 0; i < top.size(); i++)
        if (upper(key[i]) != upper(top[i]))
            return false;
    return true;
}

// A key of a REGEDIT4 text: its header line and what follows up to the next
// header, as the bytes [begin, end). A header is a line after the first that
// begins with '[' and is not the rest of a value broken over lines (a value
// line that ends with a backslash goes on in the next line).
struct RegistryBlock {
    std::string key; // in full, "HKEY_LOCAL_MACHINE\\..."
    size_t begin, end;
};

inline std::vector<RegistryBlock> RegistryBlocks(const std::string &text)
{
    std::vector<RegistryBlock> blocks;
    bool continued = false;
    size_t begin = 0;
    for (int number = 1; begin < text.size(); number++) {
        size_t lf = text.find('\n', begin);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        std::string line = text.substr(begin, end - begin);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (number > 1 && !continued && !line.empty() && line[0] == '[') {
            if (!blocks.empty())
                blocks.back().end = begin;
            blocks.push_back({line.substr(1, line.size() - 2), begin, text.size()});
        }
        continued = !line.empty() && line.back() == '\\' && (line[0] == '"' || line[0] == '@' || continued);
        begin = end;
    }
    return blocks;
}

// `text` less the blocks of `keys` (given in full) and of every key below them.
inline std::string WithoutKeys(const std::string &text, const std::vector<std::string> &keys)
{
    std::string kept;
    size_t from = 0;
    for (const RegistryBlock &block : RegistryBlocks(text))
        for (const std::string &key : keys)
            if (WithinKey(block.key, key)) {
                kept.append(text, from, block.begin - from);
                from = block.end;
                break;
            }
    return kept.append(text, from, std::string::npos);
}

// What the running Windows 95 checks in a hive after keys were deleted from
// it offline (`before` and `after`, hives that load): the RGKN flags (the dword
// at 0x30) without bit 0x4 once the key table has changed, else RegLoadKey
// refuses the hive; the flags of each RGDB block (low word at +0x0C) without
// bit 0x4 once the block has changed, else RegFlushKey refuses to write it; an
// unchanged block keeps its flags. Empty when all holds, else what is wrong.
inline std::string HiveFlagsFault(const std::string &before, const std::string &after)
{
    auto get = [](const std::string &bytes, size_t at, int size) {
        unsigned value = 0;
        for (int i = size - 1; i >= 0; i--)
            value = value << 8 | (at + i < bytes.size() ? (unsigned char)bytes[at + i] : 0);
        return value;
    };
    if (before.size() != after.size() || after.size() < 0x40)
        return "the deletion changed the size of the hive";
    size_t blocksAt = get(after, 0x08, 4), count = get(after, 0x10, 2);
    if (blocksAt < 0x40 || blocksAt > after.size())
        return "the first RGDB block lies outside the file";
    if (before.compare(0x40, blocksAt - 0x40, after, 0x40, blocksAt - 0x40) != 0 && (get(after, 0x30, 4) & 4))
        return "the key table changed and the RGKN flags keep bit 0x4";
    size_t at = blocksAt;
    for (size_t number = 0; number < count && at + 0x20 <= after.size(); number++) {
        size_t size = get(after, at + 4, 4);
        if (size < 0x20 || size > after.size() - at)
            break;
        bool changed = before.compare(at + 0x10, size - 0x10, after, at + 0x10, size - 0x10) != 0 ||
                       before.compare(at, 0x0c, after, at, 0x0c) != 0;
        unsigned flags = get(after, at + 0x0c, 2), old = get(before, at + 0x0c, 2);
        if (changed && (flags & 4))
            return "RGDB block " + std::to_string(number) + " changed and its flags keep bit 0x4";
        if (!changed && flags != old)
            return "the flags of the unchanged RGDB block " + std::to_string(number) + " changed";
        at += size;
    }
    return "";
}

#endif
