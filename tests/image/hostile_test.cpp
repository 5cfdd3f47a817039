// Images the store must refuse, each with its reason, before anything is
// written: no disk image at all, other formats, damaged VHD structures, a
// truncated image, impossible boot sectors, FAT chains and folders that loop,
// leave the volume or share clusters, a missing Windows folder, partitions that
// are missing or too many, an image that cannot be written or that another run
// or an emulator holds. Each is made from a good image with mkfs.fat, mcopy,
// sfdisk and qemu-img, and damaged at places mshowfat (mtools) names.
#include "tests/image/images.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>

using namespace images;

namespace {

const uint64_t MIB = 1 << 20;

uint32_t Get(const std::string &bytes, size_t at, int size)
{
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; i--)
        value = value << 8 | (uint8_t)bytes[at + i];
    return value;
}

void Put(std::string &bytes, size_t at, int size, uint32_t value)
{
    for (int i = 0; i < size; i++)
        bytes[at + i] = (char)(value >> (8 * i));
}

// A FAT16 volume at the start of `bytes`: where its clusters' FAT entries
// and data are, from its boot sector.
struct Fat16 {
    const std::string &bytes;
    size_t SectorSize() const { return Get(bytes, 11, 2); }
    size_t Fat() const { return Get(bytes, 14, 2) * SectorSize(); }
    size_t FatSize() const { return Get(bytes, 22, 2) * SectorSize(); }
    size_t Data() const { return Fat() + bytes[16] * FatSize() + Get(bytes, 17, 2) * 32; }
    size_t Cluster(uint32_t n) const { return Data() + (n - 2) * (uint8_t)bytes[13] * SectorSize(); }
};

// Sets a FAT16 entry in every FAT copy.
void SetFat(std::string &bytes, uint32_t cluster, uint32_t value)
{
    Fat16 volume{bytes};
    for (int copy = 0; copy < bytes[16]; copy++)
        Put(bytes, volume.Fat() + copy * volume.FatSize() + cluster * 2, 2, value);
}

// The clusters of a file or folder as mshowfat lists them ("<5-7> <9>").
std::vector<uint32_t> Clusters(const std::string &image, const std::string &file)
{
    std::string text = Shell("mshowfat -i " + Quote(image) + " " + Quote(file)).output;
    std::vector<uint32_t> clusters;
    static const std::regex range(R"((\d+)(?:-(\d+))?)");
    std::string runs = text.substr(std::min(text.find('<'), text.size()));
    for (std::sregex_iterator it(runs.begin(), runs.end(), range), end; it != end; ++it) {
        uint32_t first = (uint32_t)std::stoul((*it)[1]), last = (*it)[2].matched ? (uint32_t)std::stoul((*it)[2]) : first;
        for (uint32_t c = first; c <= last; c++)
            clusters.push_back(c);
    }
    return clusters;
}

// The slot of a short name in a folder's first cluster.
size_t EntryIn(const std::string &bytes, size_t folder, const char *name11)
{
    for (size_t at = folder;; at += 32)
        if (bytes.compare(at, 11, name11) == 0)
            return at;
}

struct Hostile {
    const char *name;
    // Makes the image at `path` from the good FAT16 installation at `good`;
    // what it gives back is held until the image has been opened.
    std::function<std::shared_ptr<void>(const std::string &path, const std::string &good)> make;
    const char *reason;
    int partition = 0;
};

std::shared_ptr<void> Edit(const std::string &path, const std::string &good, const std::function<void(std::string &)> &edit)
{
    std::string bytes = ReadWholeFile(good);
    edit(bytes);
    WriteWholeFile(path, bytes);
    return nullptr;
}

// A disk whose MBR has a FAT16 partition with the installation at 1 MiB, and
// with `second` another one after it.
void MakeDisk(const std::string &path, bool second)
{
    WriteWholeFile(path, "");
    std::filesystem::resize_file(path, 40 * MIB);
    std::string table = "label: dos\\nstart=2048, size=32768, type=6\\n";
    if (second)
        table += "start=34816, size=32768, type=e\\n";
    Ran ran = Shell("printf '" + table + "' | sfdisk -q " + Quote(path));
    ASSERT_EQ(ran.status, 0) << ran.output;
    for (int i = 0; i < (second ? 2 : 1); i++) {
        MakeVolume(path, (2048 + i * 32768) * 512ull, 16 * 1024, "-F 16");
        Install(path, (2048 + i * 32768) * 512ull, Installation(8000));
    }
}

const Hostile Table[] = {
    {"NoDiskImage", [](const std::string &p, const std::string &) { WriteWholeFile(p, Text(300000, 1)); return nullptr; },
     "not a disk image"},
    {"TooSmall", [](const std::string &p, const std::string &) { WriteWholeFile(p, "tiny"); return nullptr; },
     "too small"},
    {"Qcow2",
     [](const std::string &p, const std::string &g) {
         Shell("qemu-img convert -f raw -O qcow2 " + Quote(g) + " " + Quote(p));
         return nullptr;
     },
     "qemu-img convert -f qcow2 -O raw"},
    {"VhdFooterChecksum",
     [](const std::string &p, const std::string &g) {
         Shell("qemu-img convert -f raw -O vpc -o subformat=fixed " + Quote(g) + " " + Quote(p));
         return Edit(p, p, [](std::string &b) { b[b.size() - 512 + 40] ^= 1; }); // the original size
     },
     "checksum is wrong"},
    {"VhdTruncated",
     [](const std::string &p, const std::string &g) {
         Shell("qemu-img convert -f raw -O vpc -o subformat=dynamic " + Quote(g) + " " + Quote(p));
         return Edit(p, p, [](std::string &b) { b.resize(b.size() - 512); });
     },
     "footer at the end is missing"},
    {"Truncated", [](const std::string &p, const std::string &g) { return Edit(p, g, [](std::string &b) { b.resize(b.size() / 2); }); },
     "larger than its image"},
    {"PartitionPastTheEnd",
     [](const std::string &p, const std::string &) {
         MakeDisk(p, false);
         return Edit(p, p, [](std::string &b) { b.resize(10 * MIB); });
     },
     "past the end of the image"},
    {"SectorSize", [](const std::string &p, const std::string &g) { return Edit(p, g, [](std::string &b) { Put(b, 11, 2, 768); }); },
     "impossible sector size"},
    {"ClusterSize", [](const std::string &p, const std::string &g) { return Edit(p, g, [](std::string &b) { b[13] = 3; }); },
     "impossible cluster size"},
    {"NoFat", [](const std::string &p, const std::string &g) { return Edit(p, g, [](std::string &b) { b[16] = 0; }); },
     "no FAT"},
    {"FatTooSmall", [](const std::string &p, const std::string &g) { return Edit(p, g, [](std::string &b) { Put(b, 22, 2, 4); }); },
     "FAT is too small"},
    {"LayoutOfAnotherType",
     [](const std::string &p, const std::string &g) { return Edit(p, g, [](std::string &b) { Put(b, 17, 2, 0); }); },
     "layout of another FAT type"},
    {"ChainLoops",
     [](const std::string &p, const std::string &g) {
         std::vector<uint32_t> usb = Clusters(g, "::/WINDOWS/INF/usb.inf");
         return Edit(p, g, [&](std::string &b) { SetFat(b, usb.back(), usb.front()); });
     },
     "the cluster chain of \\WINDOWS\\INF\\USB.INF loops"},
    {"ChainLeavesTheVolume",
     [](const std::string &p, const std::string &g) {
         std::vector<uint32_t> usb = Clusters(g, "::/WINDOWS/INF/usb.inf");
         return Edit(p, g, [&](std::string &b) { SetFat(b, usb.front(), 0xFFF0); });
     },
     "leaves the volume"},
    {"ChainRunsIntoAFreeCluster",
     [](const std::string &p, const std::string &g) {
         std::vector<uint32_t> usb = Clusters(g, "::/WINDOWS/INF/usb.inf");
         return Edit(p, g, [&](std::string &b) { SetFat(b, usb.back(), 0); });
     },
     "runs into a free cluster"},
    {"ChainShorterThanTheSize",
     [](const std::string &p, const std::string &g) {
         std::vector<uint32_t> usb = Clusters(g, "::/WINDOWS/INF/usb.inf");
         return Edit(p, g, [&](std::string &b) { SetFat(b, usb.front(), 0xFFFF); });
     },
     "shorter than its size"},
    {"FilesShareACluster",
     [](const std::string &p, const std::string &g) {
         std::vector<uint32_t> usb = Clusters(g, "::/WINDOWS/INF/usb.inf");
         std::vector<uint32_t> mshdc = Clusters(g, "::/WINDOWS/INF/MSHDC.INF");
         return Edit(p, g, [&](std::string &b) { SetFat(b, usb.front(), mshdc.front()); });
     },
     "with another file"},
    {"FolderLoops",
     [](const std::string &p, const std::string &g) {
         std::vector<uint32_t> inf = Clusters(g, "::/WINDOWS/INF");
         return Edit(p, g, [&](std::string &b) { SetFat(b, inf.back(), inf.front()); });
     },
     "loops"},
    {"FolderContainsItself",
     [](const std::string &p, const std::string &g) {
         uint32_t windows = Clusters(g, "::/WINDOWS").front();
         return Edit(p, g, [&](std::string &b) { Put(b, EntryIn(b, Fat16{b}.Cluster(windows), "INF        ") + 26, 2, windows); });
     },
     "contains itself"},
    {"JunkAfterTheEndOfAFolder",
     [](const std::string &p, const std::string &g) {
         uint32_t inf = Clusters(g, "::/WINDOWS/INF").back();
         return Edit(p, g, [&](std::string &b) {
             Fat16 volume{b};
             b[volume.Cluster(inf + 1) - 32] = 'X'; // the last slot of the folder, past its end mark
         });
     },
     "\\WINDOWS\\INF is a folder with entries after its end mark"},
    {"NoWindowsFolder",
     [](const std::string &p, const std::string &g) {
         std::filesystem::copy_file(g, p);
         Shell("mren -i " + Quote(p) + " ::/WINDOWS ::/WIN95");
         return nullptr;
     },
     "no \\WINDOWS folder"},
    {"NoSuchPartition", [](const std::string &p, const std::string &) { MakeDisk(p, false); return nullptr; },
     "has no partition 7 (its partitions: 1)", 7},
    {"PartitionOnABareVolume", [](const std::string &p, const std::string &g) { std::filesystem::copy_file(g, p); return nullptr; },
     "leave out --partition", 1},
    {"SeveralPartitionsHoldWindows", [](const std::string &p, const std::string &) { MakeDisk(p, true); return nullptr; },
     "several partitions hold \\WINDOWS; choose one with --partition:\n  1  type 0x06  16.0 MiB  \"WIN95\"\n"
     "  2  type 0x0E  16.0 MiB  \"WIN95\""},
    {"ReadOnly",
     [](const std::string &p, const std::string &g) {
         std::filesystem::copy_file(g, p);
         std::filesystem::permissions(p, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
         return nullptr;
     },
     "read-only"},
    {"InUseByAnotherRun",
     [](const std::string &p, const std::string &g) -> std::shared_ptr<void> {
         std::filesystem::copy_file(g, p);
         std::string error;
         return std::shared_ptr<host::Store>(Open(p, error));
     },
     "in use by another plovex run"},
    {"HeldByAnEmulator",
     [](const std::string &p, const std::string &g) -> std::shared_ptr<void> {
         std::filesystem::copy_file(g, p);
         // As QEMU holds an image it runs: a shared OFD lock on a few bytes.
         int fd = open(p.c_str(), O_RDWR);
         struct flock lock = {};
         lock.l_type = F_RDLCK;
         lock.l_start = 100;
         lock.l_len = 1;
         fcntl(fd, F_OFD_SETLK, &lock);
         return std::shared_ptr<int>(new int(fd), [](int *held) { close(*held); delete held; });
     },
     "shut that machine down first"},
};

void PrintTo(const Hostile &hostile, std::ostream *out)
{
    *out << hostile.name;
}

class Refused : public ::testing::TestWithParam<Hostile> {
protected:
    static void SetUpTestSuite()
    {
        if (!MissingTools().empty())
            return;
        good = new Scratch();
        MakeVolume(good->Path("good.img"), 0, 16 * 1024, "-F 16");
        Install(good->Path("good.img"), 0, Installation(8000));
    }
    static void TearDownTestSuite()
    {
        delete good;
        good = nullptr;
    }
    static Scratch *good;
};
Scratch *Refused::good;

TEST_P(Refused, BeforeAnythingIsWritten)
{
    SKIP_WITHOUT_IMAGE_TOOLS();
    Scratch scratch;
    const std::string path = scratch.Path("hostile.img");
    std::shared_ptr<void> held = GetParam().make(path, good->Path("good.img"));
    std::string before = ReadWholeFile(path), error;
    ASSERT_FALSE(before.empty());
    std::unique_ptr<host::Store> store = Open(path, error, GetParam().partition);
    EXPECT_FALSE(store) << "taken: the image is " << GetParam().name;
    EXPECT_EQ(error.compare(0, path.size(), path), 0) << "the refusal does not name the image: " << error;
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
    store.reset();
    held.reset();
    EXPECT_TRUE(ReadWholeFile(path) == before) << "the refused image was changed";
}

INSTANTIATE_TEST_SUITE_P(Image, Refused, ::testing::ValuesIn(Table),
                         [](const ::testing::TestParamInfo<Hostile> &hostile) { return std::string(hostile.param.name); });

} // namespace
