// Names as Windows 95 keeps them on FAT: an 8.3 short name in every entry,
// and before it, for a name that is not an upper-case 8.3 name, long-name
// slots of 13 UTF-16 characters each (last part first, the first slot marked
// 0x40), each carrying the checksum of the short name that follows. The short
// name of a long name is its alias, made by Windows 95's basis-name and
// numeric-tail rules. Names here are UTF-8; the program's own are ASCII.
#include "platform/host/image/dir.h"

#include <string.h>

namespace image {

namespace {

// Where a long-name slot keeps its 13 characters.
const size_t UnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

const char NeverInName[] = "\\/:*?\"<>|";
const char ShortPunctuation[] = "$%'-_@~`!(){}^#&"; // besides A-Z and 0-9, what an 8.3 name may hold

bool IsShortChar(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || (c && strchr(ShortPunctuation, c));
}

unsigned char Upper(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? (unsigned char)(c - 'a' + 'A') : c;
}

// UTF-8 to UTF-16; a byte that starts no valid sequence stands for itself (Latin-1).
std::vector<uint16_t> Utf16(const std::string &text)
{
    std::vector<uint16_t> units;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = text[i];
        size_t length = c >= 0xF5 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
        uint32_t point = length == 1 ? c : c & (0x7F >> length);
        bool valid = length == 1 || i + length <= text.size();
        for (size_t k = 1; valid && k < length; k++) {
            unsigned char next = text[i + k];
            valid = (next & 0xC0) == 0x80;
            point = point << 6 | (next & 0x3F);
        }
        if (!valid) {
            point = c;
            length = 1;
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            units.push_back((uint16_t)(0xD800 + (point >> 10)));
            units.push_back((uint16_t)(0xDC00 + (point & 0x3FF)));
        } else {
            units.push_back((uint16_t)point);
        }
        i += length;
    }
    return units;
}

// Whether a short name (11 bytes, padded) is any entry's alias or name in the folder.
bool AliasTaken(const Folder &folder, const uint8_t alias[11], size_t except)
{
    std::string text = ShortNameText(alias);
    for (const Entry &entry : folder.entries)
        if (entry.slot != except && (SameName(entry.shortName, text) || SameName(entry.longName, text)))
            return true;
    return false;
}

void Pad(const std::string &base, const std::string &extension, uint8_t name11[11])
{
    memset(name11, ' ', 11);
    memcpy(name11, base.data(), base.size() < 8 ? base.size() : 8);
    memcpy(name11 + 8, extension.data(), extension.size() < 3 ? extension.size() : 3);
}

} // namespace

uint8_t AliasChecksum(const uint8_t name[11])
{
    uint8_t sum = 0;
    for (int i = 0; i < 11; i++)
        sum = (uint8_t)(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

bool SameName(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

bool ValidLongName(const std::string &name)
{
    if (name.empty() || Utf16(name).size() > 255 || name.back() == '.' || name.back() == ' ')
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || strchr(NeverInName, c))
            return false;
    return true;
}

bool IsPlainShortName(const std::string &name, uint8_t name11[11])
{
    size_t dot = name.find('.');
    std::string base = name.substr(0, dot), extension = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || extension.size() > 3 || (dot != std::string::npos && extension.empty()))
        return false;
    for (unsigned char c : base + extension)
        if (!IsShortChar(c))
            return false;
    Pad(base, extension, name11);
    return true;
}

bool MakeAlias(const std::string &name, const Folder &folder, size_t except, uint8_t alias[11])
{
    // The basis: spaces and leading periods dropped, letters in upper case,
    // anything else an 8.3 name cannot hold (a UTF-8 sequence counts once) as '_'.
    std::string cleaned;
    bool fits = true;
    for (size_t i = 0; i < name.size(); i++) {
        unsigned char c = Upper(name[i]);
        if (c == ' ' || (c == '.' && cleaned.empty())) {
            fits = false;
            continue;
        }
        if (c >= 0x80)
            while (i + 1 < name.size() && ((unsigned char)name[i + 1] & 0xC0) == 0x80)
                i++;
        if (c != '.' && !IsShortChar(c)) {
            c = '_';
            fits = false; // a lossy conversion
        }
        cleaned += (char)c;
    }
    size_t firstDot = cleaned.find('.'), lastDot = cleaned.rfind('.');
    std::string primary = cleaned.substr(0, firstDot);
    std::string extension = lastDot == std::string::npos ? "" : cleaned.substr(lastDot + 1);
    if (firstDot != lastDot || primary.empty() || primary.size() > 8 || extension.size() > 3)
        fits = false;
    if (primary.empty())
        primary = "_";
    primary.resize(primary.size() < 8 ? primary.size() : 8);
    extension.resize(extension.size() < 3 ? extension.size() : 3);
    Pad(primary, extension, alias);
    if (fits && !AliasTaken(folder, alias, except))
        return true;
    // The numeric tail: the first "~n" free, the basis cut so that it fits in 8.
    for (unsigned n = 1; n <= 999999; n++) {
        std::string tail = "~" + std::to_string(n);
        Pad(primary.substr(0, 8 - tail.size()) + tail, extension, alias);
        if (!AliasTaken(folder, alias, except))
            return true;
    }
    return false;
}

std::vector<uint8_t> LongNameSlots(const std::string &name, uint8_t checksum)
{
    std::vector<uint16_t> units = Utf16(name);
    size_t parts = (units.size() + 12) / 13;
    std::vector<uint8_t> slots(parts * SLOT, 0);
    for (size_t part = 0; part < parts; part++) {
        uint8_t *slot = &slots[(parts - 1 - part) * SLOT];
        slot[0] = (uint8_t)((part + 1) | (part + 1 == parts ? 0x40 : 0));
        slot[11] = LONG_NAME;
        slot[13] = checksum;
        for (size_t k = 0; k < 13; k++) {
            size_t at = part * 13 + k;
            uint16_t unit = at < units.size() ? units[at] : at == units.size() ? 0 : 0xFFFF;
            slot[UnitOffsets[k]] = (uint8_t)unit;
            slot[UnitOffsets[k] + 1] = (uint8_t)(unit >> 8);
        }
    }
    return slots;
}

void LongNameUnits(const uint8_t *slot, std::vector<uint16_t> &units)
{
    for (size_t offset : UnitOffsets)
        units.push_back((uint16_t)(slot[offset] | slot[offset + 1] << 8));
}

std::string Utf8(const std::vector<uint16_t> &units)
{
    std::string text;
    for (size_t i = 0; i < units.size() && units[i] != 0; i++) {
        uint32_t point = units[i];
        if (point >= 0xD800 && point < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000)
            point = 0x10000 + ((point - 0xD800) << 10) + (units[++i] - 0xDC00);
        if (point < 0x80) {
            text += (char)point;
        } else if (point < 0x800) {
            text += (char)(0xC0 | point >> 6);
            text += (char)(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            text += (char)(0xE0 | point >> 12);
            text += (char)(0x80 | (point >> 6 & 0x3F));
            text += (char)(0x80 | (point & 0x3F));
        } else {
            text += (char)(0xF0 | point >> 18);
            text += (char)(0x80 | (point >> 12 & 0x3F));
            text += (char)(0x80 | (point >> 6 & 0x3F));
            text += (char)(0x80 | (point & 0x3F));
        }
    }
    return text;
}

std::string ShortNameText(const uint8_t *name11)
{
    std::string base((const char *)name11, 8), extension((const char *)name11 + 8, 3);
    if ((uint8_t)base[0] == 0x05) // a name that begins with the byte 0xE5 keeps it as 0x05
        base[0] = (char)0xE5;
    base.erase(base.find_last_not_of(' ') + 1);
    extension.erase(extension.find_last_not_of(' ') + 1);
    return extension.empty() ? base : base + "." + extension;
}

} // namespace image
