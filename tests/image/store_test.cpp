// The image store on FAT12, FAT16 and FAT32 volumes made by mkfs.fat and
// filled by mcopy, judged by mtools and fsck.fat: every file the store writes
// reads back equal with mcopy, every other file is unchanged, long names,
// aliases, attributes and times are as mdir and mattrib show them after
// Windows 95, and fsck.fat -n finds nothing to say.
#include "platform/host/image/store.h"
#include "tests/image/images.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <time.h>

#include <chrono>

using namespace images;

namespace {

const Kind Kinds[] = {
    {"Fat12", 1440, "-F 12"},
    {"Fat16", 16 * 1024, "-F 16"},
    {"Fat32", 40 * 1024, "-F 32"},
};

class Store : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_IMAGE_TOOLS();
        image = scratch.Path("c.img");
        MakeVolume(image, 0, GetParam().kib, GetParam().options);
        Install(image, 0, before);
    }

    // What the program does to an INF file: the new text written as out.inf,
    // the target renamed to its backup, out.inf renamed to the target, the
    // backup deleted.
    void Commit(host::Store &store, const std::string &target, const std::string &name, const std::string &text)
    {
        const std::string inf = "/WINDOWS/INF/", backup = name.substr(0, name.size() - 1) + "@";
        ASSERT_TRUE(WriteFile(store, inf + "out.inf", text, 700)) << strerror(errno);
        ASSERT_TRUE(store.Rename(inf + target, inf + backup)) << strerror(errno);
        ASSERT_TRUE(store.Rename(inf + "out.inf", inf + name)) << strerror(errno);
        ASSERT_TRUE(store.Remove(inf + backup)) << strerror(errno);
    }

    Scratch scratch;
    std::string image;
    const Tree before = Installation();
};

// Minutes between mdir's date and time and now, local time.
long MinutesFromNow(const Listed &listed)
{
    struct tm when = {};
    if (sscanf(listed.date.c_str(), "%d-%d-%d", &when.tm_year, &when.tm_mon, &when.tm_mday) != 3 ||
        sscanf(listed.time.c_str(), "%d:%d", &when.tm_hour, &when.tm_min) != 2)
        return 1 << 30;
    when.tm_year -= 1900;
    when.tm_mon -= 1;
    when.tm_isdst = -1;
    return labs((long)difftime(time(nullptr), mktime(&when)) / 60);
}

// The first Windows 95 alias "DISPLA~n.INF" that no entry of the listing has.
std::string NextAlias(const std::string &image)
{
    std::string listing = Shell("mdir -a -i " + Quote(image) + " ::/WINDOWS/INF").output;
    for (int n = 1;; n++) {
        std::string tail = "~" + std::to_string(n), base = std::string("DISPLA").substr(0, 8 - tail.size()) + tail;
        if (listing.find(base + std::string(9 - base.size(), ' ') + "INF") == std::string::npos)
            return base + ".INF";
    }
}

TEST_P(Store, TheProgramsWritesAsMtoolsReadsThem)
{
    std::string error, found, twin;
    std::unique_ptr<host::Store> store = Open(image, error);
    ASSERT_TRUE(store) << error;
    Tree expected = before;

    // A name is found by its long name or its alias, in any case.
    EXPECT_EQ(store->Find("/WINDOWS/INF", "MACHINE.INF", found, twin), host::ONE_ENTRY);
    EXPECT_EQ(found, "Machine.inf");
    Listed first = ListEntry(image, 0, "::/WINDOWS/INF", "Display adapter number 1.inf");
    ASSERT_TRUE(first.found);
    EXPECT_EQ(store->Find("/WINDOWS/INF", first.alias, found, twin), host::ONE_ENTRY);
    EXPECT_EQ(found, "Display adapter number 1.inf");
    EXPECT_EQ(store->Find("/windows", "inf", found, twin), host::ONE_ENTRY);
    EXPECT_EQ(found, "INF");
    EXPECT_EQ(store->Find("/WINDOWS/INF", "nothing.inf", found, twin), host::NO_ENTRY);
    std::string real;
    EXPECT_TRUE(store->RealPath("/windows/inf/machine.INF", real));
    EXPECT_EQ(real, "/WINDOWS/INF/Machine.inf");

    host::EntryInfo info;
    ASSERT_TRUE(store->Stat("/WINDOWS/SYSTEM.DAT", false, info));
    EXPECT_EQ(info.kind, host::EntryInfo::FILE);
    EXPECT_EQ(info.size, before.at("WINDOWS/SYSTEM.DAT").size());
    EXPECT_EQ(info.attributes, (DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                       FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(store->Stat("/WINDOWS/INF", false, info));
    EXPECT_EQ(info.kind, host::EntryInfo::FOLDER);
    std::string text;
    ASSERT_TRUE(host::ReadWhole(*store, "/WINDOWS/INF/machine.inf", text));
    EXPECT_EQ(text, before.at("WINDOWS/INF/Machine.inf"));

    // The three commits, as the program makes them, with new texts.
    const std::string machine = Text(3100, 60), mshdc = Text(900, 70), usb = Text(9000, 80);
    Commit(*store, "Machine.inf", "machine.inf", machine);
    Commit(*store, "MSHDC.INF", "mshdc.inf", mshdc);
    Commit(*store, "usb.inf", "usb.inf", usb);
    expected.erase("WINDOWS/INF/Machine.inf");
    expected.erase("WINDOWS/INF/MSHDC.INF");
    expected["WINDOWS/INF/machine.inf"] = machine;
    expected["WINDOWS/INF/mshdc.inf"] = mshdc;
    expected["WINDOWS/INF/usb.inf"] = usb;

    // The hive: its untouched copy once, never overwritten, then its new contents.
    const std::string hive = Blob(before.at("WINDOWS/SYSTEM.DAT").size() + 5000, 40);
    std::string failure;
    ASSERT_TRUE(store->CanReplace("/WINDOWS/SYSTEM.DAT", failure)) << failure;
    ASSERT_TRUE(store->CanReplace("/WINDOWS/SYSTEM.PLX", failure)) << failure;
    ASSERT_TRUE(store->WriteWhole("/WINDOWS/SYSTEM.PLX", {before.at("WINDOWS/SYSTEM.DAT")}, "/WINDOWS/SYSTEM.DAT",
                                  false, failure)) << failure;
    EXPECT_FALSE(store->WriteWhole("/WINDOWS/SYSTEM.PLX", {hive}, "/WINDOWS/SYSTEM.DAT", false, failure));
    std::string_view whole = hive; // in two pieces, as the registry writes a text less its deleted blocks
    ASSERT_TRUE(store->WriteWhole("/WINDOWS/SYSTEM.DAT", {whole.substr(0, 1000), whole.substr(1000)},
                                  "/WINDOWS/SYSTEM.DAT", true, failure)) << failure;
    expected["WINDOWS/SYSTEM.PLX"] = before.at("WINDOWS/SYSTEM.DAT");
    expected["WINDOWS/SYSTEM.DAT"] = hive;

    // More long names than the folder has room for (it grows), one of them
    // with the basis of existing aliases: it takes the first free "~n".
    std::string alias = NextAlias(image);
    ASSERT_TRUE(WriteFile(*store, "/WINDOWS/INF/Display adapter number 99.inf", Text(500, 99)));
    expected["WINDOWS/INF/Display adapter number 99.inf"] = Text(500, 99);
    for (int i = 0; i < 12; i++) {
        std::string name = "WINDOWS/INF/A further driver description " + std::to_string(i) + ".inf";
        ASSERT_TRUE(WriteFile(*store, "/" + name, Text(300 + i, 200 + i))) << name << ": " << strerror(errno);
        expected[name] = Text(300 + i, 200 + i);
    }

    // Rename and delete keep to Windows' rules; attributes are the caller's.
    EXPECT_FALSE(store->Rename("/WINDOWS/INF/mshdc.inf", "/WINDOWS/INF/USB.INF"));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(store->Rename("/WINDOWS/INF/mshdc.inf", "/WINDOWS/mshdc.inf"));
    EXPECT_EQ(errno, EXDEV);
    EXPECT_FALSE(store->Remove("/WINDOWS/INF"));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(store->Open("/WINDOWS/INF", host::OPEN_READ), -1);
    EXPECT_EQ(errno, EISDIR);
    ASSERT_TRUE(store->Rename("/WINDOWS/INF/mshdc.inf", "/WINDOWS/INF/MSHDC.INF")); // a new spelling only
    expected.erase("WINDOWS/INF/mshdc.inf");
    expected["WINDOWS/INF/MSHDC.INF"] = mshdc;
    ASSERT_TRUE(store->SetAttributes("/WINDOWS/INF/usb.inf", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(store->Open("/WINDOWS/INF/usb.inf", host::OPEN_WRITE), -1);
    EXPECT_EQ(errno, EACCES);
    store->Finish();
    store.reset();

    Ran fsck = Fsck(image, 0, 0);
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    EXPECT_EQ(FsckComplaints(fsck.output, {}), std::vector<std::string>()) << fsck.output;
    Tree after = ReadBack(image, 0);
    for (const auto &file : expected)
        EXPECT_TRUE(after.count(file.first) && after.at(file.first) == file.second) << file.first;
    for (const auto &file : after)
        EXPECT_TRUE(expected.count(file.first)) << "unexpected " << file.first;

    // Long names as Windows 95 leaves them: the program's lower-case names
    // with their upper-case aliases; an upper-case 8.3 name alone.
    Listed listed = ListEntry(image, 0, "::/WINDOWS/INF", "machine.inf");
    EXPECT_EQ(listed.alias, "MACHINE.INF");
    EXPECT_EQ(listed.longName, "machine.inf");
    EXPECT_LE(MinutesFromNow(listed), 2) << listed.date << " " << listed.time;
    listed = ListEntry(image, 0, "::/WINDOWS/INF", "MSHDC.INF");
    EXPECT_EQ(listed.alias, "MSHDC.INF");
    EXPECT_EQ(listed.longName, "");
    EXPECT_EQ(ListEntry(image, 0, "::/WINDOWS/INF", "Display adapter number 99.inf").alias, alias);
    EXPECT_EQ(ListEntry(image, 0, "::/WINDOWS", "SYSTEM.PLX").longName, "");
    EXPECT_LE(MinutesFromNow(ListEntry(image, 0, "::/WINDOWS", "SYSTEM.DAT")), 2);
    EXPECT_EQ(Attributes(image, 0, "::/WINDOWS/SYSTEM.DAT"), "ASHR");
    EXPECT_EQ(Attributes(image, 0, "::/WINDOWS/SYSTEM.PLX"), "ASHR");
    EXPECT_EQ(Attributes(image, 0, "::/WINDOWS/INF/machine.inf"), "A---");
    EXPECT_EQ(Attributes(image, 0, "::/WINDOWS/INF/usb.inf"), "--HR");
}

// A volume with no room: every write that needs space fails with ENOSPC and
// what was there stays; so does a full fixed root folder (FAT12/16).
TEST_P(Store, AFullVolumeChangesNothing)
{
    // Fill the volume with one file, leaving less than a new hive needs.
    std::string listing = Shell("mdir -i " + Quote(image) + " ::/").output;
    size_t at = listing.find(" bytes free");
    ASSERT_NE(at, std::string::npos) << listing;
    std::string digits;
    for (size_t i = listing.rfind('\n', at) + 1; i < at; i++)
        if (isdigit((unsigned char)listing[i]))
            digits += listing[i];
    uint64_t free = std::stoull(digits);
    Tree filler = {{"FILLER.BIN", Blob(free - 20000, 9)}};
    Install(image, 0, filler);

    std::string error, failure;
    std::unique_ptr<host::Store> store = Open(image, error);
    ASSERT_TRUE(store) << error;
    const std::string hive = Blob(before.at("WINDOWS/SYSTEM.DAT").size(), 41);
    EXPECT_FALSE(store->WriteWhole("/WINDOWS/SYSTEM.DAT", {hive}, "/WINDOWS/SYSTEM.DAT", true, failure));
    EXPECT_NE(failure.find("No space left"), std::string::npos) << failure;
    EXPECT_FALSE(store->WriteWhole("/WINDOWS/SYSTEM.PLX", {hive}, "/WINDOWS/SYSTEM.DAT", false, failure));

    int file = store->Open("/WINDOWS/INF/out.inf", host::OPEN_WRITE | host::OPEN_CREATE);
    ASSERT_GE(file, 0) << strerror(errno);
    const std::string big = Text(100000, 5);
    size_t put;
    EXPECT_FALSE(store->WriteAt(file, 0, big.data(), big.size(), put));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_GT(put, 0u); // a full disk takes what fits
    EXPECT_LT(put, big.size());
    EXPECT_TRUE(store->Close(file));
    EXPECT_TRUE(store->Remove("/WINDOWS/INF/out.inf"));

    if (GetParam().options != std::string("-F 32")) { // a fixed root folder, filled up
        std::string name;
        for (int i = 0; store->Open("/ROOT" + std::to_string(i) + ".TXT", host::OPEN_WRITE | host::OPEN_CREATE) >= 0;
             i++)
            ASSERT_LT(i, 1000);
        EXPECT_EQ(errno, ENOSPC);
        EXPECT_FALSE(store->CanReplace("/ANOTHER.TXT", failure));
    }
    store->Finish();
    store.reset();

    Ran fsck = Fsck(image, 0, 0);
    EXPECT_EQ(FsckComplaints(fsck.output, {}), std::vector<std::string>()) << fsck.output;
    Tree after = ReadBack(image, 0);
    EXPECT_EQ(after.at("WINDOWS/SYSTEM.DAT"), before.at("WINDOWS/SYSTEM.DAT"));
    EXPECT_FALSE(after.count("WINDOWS/SYSTEM.PLX"));
    EXPECT_FALSE(after.count("WINDOWS/INF/out.inf"));
    EXPECT_EQ(after.at("WINDOWS/INF/Machine.inf"), before.at("WINDOWS/INF/Machine.inf"));
}

// Entry sets at a sector's edge (512-byte sectors, 16 slots; "." and ".."
// take two): a long name whose slots begin in one sector and end in the next
// is renamed and removed whole; in a full sector, a rename that needs a long
// name keeps the entry in place with the 8.3 name when that is the new name in
// upper case, and fails with ENOSPC otherwise, changing nothing.
TEST(StoreSectors, EntrySetsAtASectorsEdge)
{
    SKIP_WITHOUT_IMAGE_TOOLS();
    Scratch scratch;
    const std::string image = scratch.Path("c.img"), longName = "A name of thirty characters.txt";
    MakeVolume(image, 0, 16 * 1024, "-F 16");
    Install(image, 0, Installation(8000));
    // One file at a time, so that mcopy fills the slots in order.
    for (const char *folder : {"SPLIT", "GONE", "FULL"}) {
        ASSERT_EQ(Shell("mmd -i " + Quote(image) + " ::/" + folder).status, 0);
        for (int i = 1; i <= (folder == std::string("FULL") ? 14 : 13); i++) {
            std::string name = "F" + std::to_string(i) + ".TXT";
            scratch.Write(name, name);
            Shell("mcopy -i " + Quote(image) + " " + Quote(scratch.Path(name)) + " ::/" + folder + "/");
        }
        if (folder != std::string("FULL")) { // its slots: 15 (sector 0), 16 to 18 (sector 1)
            scratch.Write("long", "long");
            Shell("mcopy -i " + Quote(image) + " " + Quote(scratch.Path("long")) + " " +
                  Quote("::/" + std::string(folder) + "/" + longName));
        }
    }
    std::string error, found, twin;
    std::unique_ptr<host::Store> store = Open(image, error);
    ASSERT_TRUE(store) << error;
    EXPECT_TRUE(store->Rename("/SPLIT/" + longName, "/SPLIT/Another name, of thirty-four chars.txt"))
        << strerror(errno);
    EXPECT_TRUE(store->Remove("/GONE/" + longName)) << strerror(errno);
    EXPECT_TRUE(store->Rename("/FULL/F14.TXT", "/FULL/f14.txt")) << strerror(errno);
    EXPECT_EQ(store->Find("/FULL", "f14.txt", found, twin), host::ONE_ENTRY);
    EXPECT_FALSE(store->Rename("/FULL/F13.TXT", "/FULL/a long name.txt"));
    EXPECT_EQ(errno, ENOSPC);
    store->Finish();
    store.reset();

    Ran fsck = Fsck(image, 0, 0);
    EXPECT_EQ(FsckComplaints(fsck.output, {}), std::vector<std::string>()) << fsck.output;
    Listed renamed = ListEntry(image, 0, "::/SPLIT", "Another name, of thirty-four chars.txt");
    EXPECT_TRUE(renamed.found);
    EXPECT_EQ(renamed.alias, "ANOTHE~1.TXT");
    EXPECT_FALSE(ListEntry(image, 0, "::/SPLIT", longName).found);
    EXPECT_FALSE(ListEntry(image, 0, "::/GONE", longName).found);
    Listed kept = ListEntry(image, 0, "::/FULL", "F14.TXT");
    EXPECT_EQ(kept.longName, ""); // no room for one
    EXPECT_TRUE(ListEntry(image, 0, "::/FULL", "F13.TXT").found);
    Tree after = ReadBack(image, 0);
    EXPECT_EQ(after["SPLIT/Another name, of thirty-four chars.txt"], "long");
    EXPECT_EQ(after["FULL/F14.TXT"], "F14.TXT");
}

// A run touches the clusters of the files it reads and writes and the FAT
// sectors it needs, nothing that grows with the volume: the program's writes
// read and write as many bytes on a 2 GiB FAT32 volume as on a 64 MiB one.
TEST(StoreTraffic, DoesNotGrowWithTheVolume)
{
    SKIP_WITHOUT_IMAGE_TOOLS();
    const Tree before = Installation(1 << 20);
    uint64_t read[2], written[2];
    const uint64_t mib[2] = {64, 2048};
    for (int i = 0; i < 2; i++) {
        Scratch scratch;
        const std::string image = scratch.Path("c.img");
        MakeVolume(image, 0, mib[i] * 1024, "-F 32 -s 1"); // the same clusters on both
        Install(image, 0, before);
        std::string error;
        auto start = std::chrono::steady_clock::now();
        std::unique_ptr<host::Store> store = Open(image, error);
        ASSERT_TRUE(store) << error;
        ASSERT_TRUE(ProgramWrites(*store, Text(3400, 61), before.at("WINDOWS/SYSTEM.DAT"), Blob(1 << 20, 42)));
        ASSERT_TRUE(image::ImageTraffic(*store, read[i], written[i]));
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        printf("%4llu MiB FAT32: %llu bytes read, %llu bytes written, %.1f ms\n", (unsigned long long)mib[i],
               (unsigned long long)read[i], (unsigned long long)written[i], ms);
    }
    EXPECT_LE(read[1], read[0] + 16384);
    EXPECT_LE(written[1], written[0] + 16384);
    RecordProperty("BytesRead64MiB", std::to_string(read[0]));
    RecordProperty("BytesRead2GiB", std::to_string(read[1]));
}

INSTANTIATE_TEST_SUITE_P(Image, Store, ::testing::ValuesIn(Kinds),
                         [](const ::testing::TestParamInfo<Kind> &kind) { return std::string(kind.param.name); });

} // namespace
