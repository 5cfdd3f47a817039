// The containers a volume can be in: an MBR disk (sfdisk) with a primary and a
// logical partition, and VHD files fixed and dynamic (qemu-img convert). The
// program's writes go into the volume that holds the Windows folder; then the
// volume, read by mtools (at its offset, or after qemu-img converted the VHD
// back to raw), holds what was written, fsck.fat finds it clean, and nothing
// outside it changed: the other partition, the partition tables, the VHD
// footer. A write into a dynamic VHD block that has none allocates one, which
// qemu-img reads back.
#include "tests/image/images.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace images;

namespace {

const uint64_t SECTOR = 512, MIB = 1 << 20;

class Container : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_IMAGE_TOOLS();
    }

    // The program's writes on the image (the volume found by itself, or
    // `partition`), and what the volume must then hold.
    Tree RunProgram(const std::string &image, int partition = 0)
    {
        std::string error;
        std::unique_ptr<host::Store> store = Open(image, error, partition);
        EXPECT_TRUE(store) << error;
        if (!store)
            return Tree();
        EXPECT_TRUE(ProgramWrites(*store, newText, before.at("WINDOWS/SYSTEM.DAT"), newHive)) << strerror(errno);
        Tree expected = before;
        expected.erase("WINDOWS/INF/Machine.inf");
        expected["WINDOWS/INF/machine.inf"] = newText;
        expected["WINDOWS/SYSTEM.PLX"] = before.at("WINDOWS/SYSTEM.DAT");
        expected["WINDOWS/SYSTEM.DAT"] = newHive;
        return expected;
    }

    // The volume at `offset` holds `expected` and nothing else, and is clean.
    void CheckVolume(const std::string &image, uint64_t offset, uint64_t bytes, const Tree &expected)
    {
        Ran fsck = Fsck(image, offset, bytes);
        EXPECT_EQ(fsck.status, 0) << fsck.output;
        EXPECT_EQ(FsckComplaints(fsck.output, {}), std::vector<std::string>()) << fsck.output;
        Tree after = ReadBack(image, offset);
        for (const auto &file : expected)
            EXPECT_TRUE(after.count(file.first) && after.at(file.first) == file.second) << file.first;
        EXPECT_EQ(after.size(), expected.size());
    }

    // A FAT32 installation as a bare volume, `mib` long.
    std::string MakeRaw(const std::string &name, uint64_t mib)
    {
        std::string raw = scratch.Path(name);
        MakeVolume(raw, 0, mib * 1024, "-F 32");
        Install(raw, 0, before);
        return raw;
    }

    Scratch scratch;
    const Tree before = Installation(200 * 1024);
    const std::string newText = Text(3400, 61), newHive = Blob(3 * MIB, 42);
};

// Primary 1 (FAT16, no Windows), extended 2, logical 5 (FAT32 with it).
TEST_F(Container, MbrWithAPrimaryAndALogicalPartition)
{
    const std::string image = scratch.Path("disk.img");
    const uint64_t primary = 2048 * SECTOR, logical = 36864 * SECTOR, logicalSize = 81920 * SECTOR;
    WriteWholeFile(image, "");
    std::filesystem::resize_file(image, 64 * MIB);
    Ran ran = Shell("printf 'label: dos\\nstart=2048, size=32768, type=6\\nstart=34816, size=90112, type=5\\n"
                  "start=36864, size=81920, type=c\\n' | sfdisk -q " + Quote(image));
    ASSERT_EQ(ran.status, 0) << ran.output;
    MakeVolume(image, primary, 16 * 1024, "-F 16");
    Install(image, primary, {{"DATA/README.TXT", Text(5000, 1)}});
    MakeVolume(image, logical, logicalSize / 1024, "-F 32");
    Install(image, logical, before);
    const std::string old = ReadWholeFile(image);

    std::string error;
    EXPECT_FALSE(Open(image, error, 1));
    EXPECT_NE(error.find("partition 1 (type 0x06): no \\WINDOWS folder"), std::string::npos) << error;
    Tree expected = RunProgram(image); // finds partition 5 by itself
    CheckVolume(image, logical, logicalSize, expected);
    const std::string now = ReadWholeFile(image);
    ASSERT_EQ(now.size(), old.size());
    EXPECT_TRUE(now.compare(0, logical, old, 0, logical) == 0) << "the tables or partition 1 changed";
    EXPECT_TRUE(now.compare(logical + logicalSize, std::string::npos, old, logical + logicalSize) == 0);
    EXPECT_EQ(ReadBack(image, primary).at("DATA/README.TXT"), Text(5000, 1));
    EXPECT_TRUE(Open(image, error, 5)) << error;
}

TEST_F(Container, FixedVhd)
{
    const std::string raw = MakeRaw("raw.img", 40), vhd = scratch.Path("c.vhd"), back = scratch.Path("back.img");
    Ran ran = Shell("qemu-img convert -f raw -O vpc -o subformat=fixed " + Quote(raw) + " " + Quote(vhd));
    ASSERT_EQ(ran.status, 0) << ran.output;
    const std::string old = ReadWholeFile(vhd);
    Tree expected = RunProgram(vhd);
    const std::string now = ReadWholeFile(vhd);
    ASSERT_EQ(now.size(), old.size());
    EXPECT_TRUE(now.compare(now.size() - SECTOR, SECTOR, old, old.size() - SECTOR, SECTOR) == 0)
        << "the footer changed";
    ran = Shell("qemu-img convert -f vpc -O raw " + Quote(vhd) + " " + Quote(back));
    ASSERT_EQ(ran.status, 0) << ran.output;
    CheckVolume(back, 0, 0, expected);
}

TEST_F(Container, DynamicVhdAllocatesBlocks)
{
    const std::string raw = MakeRaw("raw.img", 40), vhd = scratch.Path("c.vhd"), back = scratch.Path("back.img");
    Ran ran = Shell("qemu-img convert -f raw -O vpc -o subformat=dynamic " + Quote(raw) + " " + Quote(vhd));
    ASSERT_EQ(ran.status, 0) << ran.output;
    // The bytes qemu-img finds allocated, from its map.
    auto allocated = [&] {
        std::string map = Shell("qemu-img map -f vpc --output=json " + Quote(vhd)).output;
        uint64_t total = 0;
        for (size_t at = map.find("\"length\": "); at != std::string::npos; at = map.find("\"length\": ", at + 1))
            if (map.find("\"data\": true", at) < map.find('}', at))
                total += std::stoull(map.substr(at + 10));
        return total;
    };
    const uint64_t before = allocated(), oldSize = std::filesystem::file_size(vhd);
    Tree expected = RunProgram(vhd);
    const std::string now = ReadWholeFile(vhd);
    EXPECT_GT(now.size(), oldSize) << "no block was allocated";
    EXPECT_GT(allocated(), before);
    EXPECT_TRUE(now.compare(0, SECTOR, now, now.size() - SECTOR, SECTOR) == 0) << "the footer and its copy differ";
    ran = Shell("qemu-img info -f vpc " + Quote(vhd));
    EXPECT_EQ(ran.status, 0) << ran.output;
    ran = Shell("qemu-img convert -f vpc -O raw " + Quote(vhd) + " " + Quote(back));
    ASSERT_EQ(ran.status, 0) << ran.output;
    CheckVolume(back, 0, 0, expected);
    // The same writes on the raw image leave the same files.
    CheckVolume(raw, 0, 0, RunProgram(raw));
}

} // namespace
