// The hive module against Windows 95 itself: the 24 device-key deletions made
// on a hive REGEDIT built and on two the running registry wrote, compared after
// every step with the hives Windows 95 wrote; the
// values the program reads; and damaged hives, each refused with its reason.
#include "platform/host/hive.h"
#include "tests/models.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

using std::string;
using std::vector;

const char *const Devices[] = {
    "8086&DEV_7110", "8086&DEV_7100", "8086&DEV_7113", "1106&DEV_0571", "1039&DEV_5513", "8086&DEV_7111",
    "8086&DEV_7180", "8086&DEV_7181", "8086&DEV_7190", "8086&DEV_7191", "8086&DEV_7192", "1039&DEV_5571",
    "1039&DEV_5597", "1039&DEV_5591", "1039&DEV_0001", "1039&DEV_0009", "1106&DEV_0597", "1106&DEV_3040",
    "1106&DEV_0586", "1106&DEV_8598", "8086&DEV_7112", "8086&DEV_7020", "1039&DEV_7001", "1106&DEV_3038"};
const char *const Others[] = {"8086&DEV_1237", "8086&DEV_7000", "10EC&DEV_8029",
                              "5333&DEV_8811", "8086&DEV_71100", "8086&DEV_711"};

string Fixture(const string &name)
{
    std::ifstream in(string(PLOVEX_CREG) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t Get32(const string &bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--)
        value = value << 8 | (unsigned char)bytes[at + i];
    return value;
}

void Put32(string &bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes[at + i] = (char)(value >> 8 * i);
}

void Put16(string &bytes, size_t at, uint32_t value)
{
    bytes[at] = (char)value;
    bytes[at + 1] = (char)(value >> 8);
}

hive::Hive Loaded(const string &bytes)
{
    hive::Hive hive;
    string error;
    EXPECT_TRUE(hive::Load(bytes, hive, error)) << error;
    return hive;
}

// The file offsets where RGKN key entries may begin: end to end in the first
// 8 KiB of the RGKN, then from the start of each further 4 KiB.
vector<size_t> EntryStarts(const string &bytes)
{
    vector<size_t> starts;
    const size_t size = Get32(bytes, 0x24);
    for (size_t page = 0; page < size; page += page ? 0x1000 : 0x2000)
        for (size_t entry = page ? page : 0x20; entry + 28 <= std::min(size, page ? page + 0x1000 : 0x2000); entry += 28)
            starts.push_back(0x20 + entry);
    return starts;
}

// One of Windows 95's chains: a hive, and what REGEDIT /D wrote after each of
// the 24 deletions, in the program's order (README.md beside the files).
struct Chain {
    const char *hive, *steps;
    bool savedByRunningRegistry;
};

// The module deletes the 24 keys one after the other, and after every step its
// hive is held against Windows 95's byte for byte: the headers and the data
// blocks, every byte of the live key entries, and the marks in the places of
// free runs, all alike. Two kinds of bytes may differ, both bytes of no meaning
// that the running Windows 95 reads the same either way, and the module leaves
// them as they were:
// - in an entry it frees, REGEDIT writes such bytes over the links and the
//   record number (the entry's bytes 12 to 27);
// - the word at +8 of a key entry: the running registry saves 0xFFFFFFFF
//   there, REGEDIT writes 4 (0x8BF5E08F in the root) over those in the file's
//   first 4 KiB the first time it changes such a hive, which follows no rule
//   the chains show (the first subkey of the root keeps its 0xFFFFFFFF).
// The running Windows 95 loaded and wrote the module's hive with both kinds of
// difference once the flags were Windows' (tests/fixtures/creg/live/README.md).
void ReplayChain(const Chain &chain)
{
    SCOPED_TRACE(chain.steps);
    const string original = Fixture(chain.hive);
    hive::Hive hive = Loaded(original);
    const vector<size_t> starts = EntryStarts(original);
    const size_t entriesEnd = 0x20 + Get32(original, 0x24);
    string before = original; // Windows 95's hive before the step
    vector<bool> freed(starts.size()); // entries Windows 95 has freed so far
    for (int step = 1; step <= 24; step++) {
        char name[48];
        snprintf(name, sizeof name, "%s/%02d.DAT", chain.steps, step);
        const string windows = Fixture(name);
        const string key = string("Enum\\PCI\\VEN_") + Devices[step - 1];
        const string ours = hive.bytes;
        ASSERT_TRUE(hive::DeleteKey(hive, key)) << key;
        const string after = hive.bytes;
        EXPECT_EQ(HiveFlagsFault(ours, after), "") << name;
        EXPECT_FALSE(hive::DeleteKey(hive, key)) << key;
        EXPECT_EQ(hive.bytes, after) << "a second deletion of " << key << " changed the hive";

        for (size_t i = 0; i < starts.size(); i++)
            freed[i] = freed[i] || (Get32(windows, starts[i]) == 0x80000000 && Get32(windows, starts[i] + 4) == 28 &&
                                    Get32(before, starts[i]) == 0);
        ASSERT_EQ(after.size(), windows.size());
        int meaningless = 0, keyWords = 0;
        for (size_t at = 0; at < after.size(); at++) {
            if (after[at] == windows[at])
                continue;
            size_t i = std::upper_bound(starts.begin(), starts.end(), at) - starts.begin();
            size_t entry = i ? starts[i - 1] : 0, offset = at - entry;
            bool inEntry = at >= 0x40 && at < entriesEnd && offset < 28;
            if (inEntry && freed[i - 1] && offset >= 12)
                meaningless++;
            else if (inEntry && offset >= 8 && offset < 12 && Get32(windows, entry) == 0 &&
                     (Get32(windows, entry + 8) == 4 || Get32(windows, entry + 8) == 0x8bf5e08f))
                keyWords++;
            else
                FAIL() << name << ": byte " << std::hex << at << " differs from Windows 95's";
            ASSERT_EQ(after[at], ours[at]) << name << ": byte " << std::hex << at << " was changed";
        }
        EXPECT_GT(meaningless, 0) << name << ": no freed entry differs (a pinned difference is gone)";
        EXPECT_EQ(keyWords > 0, chain.savedByRunningRegistry) << name << ": " << keyWords << " bytes";
        string error;
        hive::Hive again;
        EXPECT_TRUE(hive::Load(after, again, error)) << name << ": " << error;
        before = windows;
    }
    EXPECT_EQ((size_t)std::count(freed.begin(), freed.end(), true),
              hive::KeyPaths(Loaded(original)).size() - hive::KeyPaths(hive).size());
    for (const char *device : Devices)
        EXPECT_FALSE(hive::KeyExists(hive, string("Enum\\PCI\\VEN_") + device)) << device;
    for (const char *device : Others)
        EXPECT_TRUE(hive::KeyExists(hive, string("Enum\\PCI\\VEN_") + device)) << device;
}

// B.DAT was built by REGEDIT; LIVE.DAT was saved by the running registry
// (flags 0xF); M.DAT was then changed by it (RGKN 0xD, block 2 0xD), and four
// of the deletions free records in two blocks.
TEST(Hive, DeletingTheDeviceKeysChangesTheBytesWindows95Changes)
{
    const Chain chains[] = {{"B.DAT", "B-deletes", false},
                            {"live/LIVE.DAT", "live/deletes", true},
                            {"live/M.DAT", "live/M-deletes", true}};
    for (const Chain &chain : chains)
        ReplayChain(chain);
}

// A subtree with keys in all three blocks of C.DAT: the hive loads again with
// exactly the other keys, and the key after them in the last block still reads.
TEST(Hive, DeletingASubtreeAcrossBlocksKeepsEveryOtherKey)
{
    hive::Hive hive = Loaded(Fixture("C.DAT"));
    vector<string> expected;
    for (const string &path : hive::KeyPaths(hive))
        if (path.compare(0, 16, "Software\\Padding") != 0)
            expected.push_back(path);
    ASSERT_TRUE(hive::DeleteKey(hive, "software\\PADDING"));
    hive::Hive again = Loaded(hive.bytes);
    EXPECT_EQ(hive::KeyPaths(again), expected);
    EXPECT_EQ(hive::KeyPaths(hive), expected);
    DWORD type = 0;
    string data;
    EXPECT_TRUE(hive::ReadValue(again, "Software\\Microsoft\\Windows\\CurrentVersion", "VersionNumber", type, data));
    EXPECT_EQ(data, "4.00.1111");
}

// What the program reads: the version values, an empty string included; key
// and value names regardless of case; nothing for what is not there.
TEST(Hive, ReadsTheVersionValues)
{
    struct {
        const char *file, *version, *subVersion;
    } const cases[] = {{"A.DAT", "4.00.950", ""}, {"B.DAT", "4.00.1111", " B"}};
    for (const auto &c : cases) {
        hive::Hive hive = Loaded(Fixture(c.file));
        const string key = "SOFTWARE\\microsoft\\Windows\\CurrentVersion";
        DWORD type = 0;
        string data = "unchanged";
        ASSERT_TRUE(hive::ReadValue(hive, key, "versionnumber", type, data)) << c.file;
        EXPECT_EQ(type, 1u); // REG_SZ
        EXPECT_EQ(data, c.version);
        ASSERT_TRUE(hive::ReadValue(hive, key, "SubVersionNumber", type, data)) << c.file;
        EXPECT_EQ(data, c.subVersion);
        EXPECT_FALSE(hive::ReadValue(hive, key, "SubVersion", type, data));
        EXPECT_FALSE(hive::ReadValue(hive, key + "\\Setup", "VersionNumber", type, data));
        EXPECT_TRUE(hive::KeyExists(hive, ""));
        EXPECT_FALSE(hive::KeyExists(hive, "Enum\\"));
        EXPECT_FALSE(hive::DeleteKey(hive, ""));
    }
}

// Damaged hives, made from B.DAT (file offsets: key entries of Enum at 0x5c,
// PCI 0x78, VEN_1106&DEV_0571 0x94, its instance 0xb0 and LogConfig 0xcc; the
// RGKN free run at 0xadc; the data records of Enum at 0x1020, PCI 0x1038 and
// LogConfig 0x117b; the block's free record at 0x3c8c). Each is refused with
// its reason; and so is every B.DAT cut short.
TEST(Hive, DamagedHivesAreRefusedWithTheirReason)
{
    struct Case {
        const char *reason;
        std::function<void(string &)> damage;
    };
    const Case cases[] = {
        {"shorter than the 32-byte header", [](string &b) { b.resize(31); }},
        {"no CREG signature", [](string &b) { b[3] = 'X'; }},
        {"unknown format version 0x20000", [](string &b) { Put32(b, 0x04, 0x00020000); }},
        {"RGKN size 0x10000 does not fit", [](string &b) { Put32(b, 0x24, 0x10000); }},
        {"block at 0x1004 does not follow the RGKN", [](string &b) { Put32(b, 0x08, 0x1004); }},
        {"counts no RGDB block", [](string &b) { Put16(b, 0x10, 0); }},
        {"block 1 of 2 lies beyond the end", [](string &b) { Put16(b, 0x10, 2); }},
        {"block 0 at 0x1000 runs past the end", [](string &b) { b.resize(0x3ff0); }},
        {"16 bytes follow the last RGDB block", [](string &b) { b.append(16, '\0'); }},
        {"record at 0x1020 has a size of 0x0", [](string &b) { Put32(b, 0x1020, 0); }},
        {"record at 0x1020 has a size of 0x4000", [](string &b) { Put32(b, 0x1020, 0x4000); }},
        {"record at 0x117b says 0x4d bytes", [](string &b) { Put16(b, 0x117b + 0x1d + 0x0a, 33); }},
        {"record at 0x1020 in RGDB block 0 names block 1", [](string &b) { Put16(b, 0x1026, 1); }},
        {"data records at 0x1020 and 0x1038 have the same id", [](string &b) { Put16(b, 0x103c, 0); }},
        {"record at 0x1020 holds a key name that is empty or has a backslash", [](string &b) { b[0x1034] = '\\'; }},
        {"lists 0x1020 as free", [](string &b) { Put32(b, 0x1010, 0x20); }},
        {"free record at 0x3c8c twice (a cycle)", [](string &b) { Put32(b, 0x3c94, 0x2c8c); }},
        {"root entry 0x1020 lies outside", [](string &b) { Put32(b, 0x28, 0x1000); }},
        {"root entry at 0x40 is free, or has a parent or siblings", [](string &b) { Put32(b, 0x54, 0x3c); }},
        {"entry at 0x78 links (subkey) to 0x5020, outside the RGKN", [](string &b) { Put32(b, 0x88, 0x5000); }},
        {"entry at 0x78 links (subkey) to 0x95, not the start", [](string &b) { Put32(b, 0x88, 0x75); }},
        {"entry at 0x94 is reached twice (a cycle", [](string &b) { Put32(b, 0xa2c, 0x74); }},
        {"entry at 0x78 is reached twice (a cycle", [](string &b) { Put32(b, 0xdc, 0x58); }},
        {"entry at 0xb0 names 0x78 as its parent, not 0x94", [](string &b) { Put32(b, 0xbc, 0x58); }},
        {"entry at 0x94 is linked as a key but marked free", [](string &b) { Put32(b, 0x94, 0x80000000); }},
        {"entry at 0xcc names data record 0x70 in block 0, which does not exist", [](string &b) { Put16(b, 0xe4, 0x70); }},
        {"entry at 0x78 names the data record at 0x1020 of another key", [](string &b) { Put16(b, 0x90, 0); }},
        {"two keys named VEN_8086&DEV_7000", [](string &b) { b.replace(0x161f, 4, "7000"); }},
        {"free run at 0xadc is listed twice", [](string &b) { Put32(b, 0xae4, 0xabc); }},
        {"free run at 0xadc is not marked free or its size 0x600", [](string &b) { Put32(b, 0xae0, 0x600); }},
        {"free run at 0x78 is not marked free", [](string &b) { Put32(b, 0x2c, 0x58); }},
        {"free run at 0x1c8 covers the key entry at 0x1e4", [](string &b) {
             Put32(b, 0x150, 0x1c4);                      // VEN_1039&DEV_0009's previous sibling skips it
             Put32(b, 0x1c8, 0x80000000);                 // and it becomes a free run of two entries' room
             Put32(b, 0x1cc, 56);
             Put32(b, 0x1d0, 0xffffffff);
             Put32(b, 0x2c, 0x1a8);
         }},
    };
    const string original = Fixture("B.DAT");
    for (const Case &c : cases) {
        string bytes = original;
        c.damage(bytes);
        hive::Hive hive;
        string error;
        EXPECT_FALSE(hive::Load(bytes, hive, error)) << c.reason;
        EXPECT_NE(error.find(c.reason), string::npos) << "expected: " << c.reason << "\n     got: " << error;
        EXPECT_TRUE(hive.bytes.empty() && hive.records.empty());
    }
    for (size_t size = 0; size < original.size(); size++) {
        hive::Hive hive;
        string error;
        ASSERT_FALSE(hive::Load(original.substr(0, size), hive, error)) << "cut to " << size << " bytes";
    }
}

} // namespace
