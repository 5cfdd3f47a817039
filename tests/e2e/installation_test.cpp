// The whole job on a Windows 95 installation from Linux: the runner finds the
// installation's own SYSTEM.DAT, keeps its untouched copy, keeps its
// attributes (on a real FAT file system too), and refuses a damaged one.
#include "tests/e2e/sample.h"
#include "platform/host/hive.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <errno.h>
#include <linux/msdos_fs.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace {

using namespace e2e;

const char Install[] = "install\nexit\nno\n";

std::string Hive(const char *name)
{
    return ReadWholeFile(std::string(PLOVEX_CREG) + "/" + name);
}

std::vector<std::string> KeysOf(const std::string &bytes)
{
    hive::Hive hive;
    std::string error;
    EXPECT_TRUE(hive::Load(bytes, hive, error)) << error;
    return hive::KeyPaths(hive);
}

bool Has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

// SYSTEM.DAT found in any letter case and used without --registry; its copy
// SYSTEM.PLX is made once and never overwritten; --registry none leaves it be.
// The hive is one the running Windows 95 saved, as on an installation: after
// the two groups its headers and data blocks are byte for byte what Windows
// 95's own deletion of the 24 keys left, flags included.
TEST(Installation, ItsOwnSystemDatIsUsedAndItsUntouchedCopyKept)
{
    Sample c;
    unlink(c.Path("SYSTEM.REG").c_str());
    const std::string original = Hive("live/LIVE.DAT");
    c.Write("WINDOWS/system.dat", original);
    chmod(c.Path("WINDOWS/system.dat").c_str(), 0444);

    PlovexRun first = c.Plovex("check chipset\nuncheck usb\ninstall\nexit\nno\n", {"--registry", "none"});
    EXPECT_EQ(first.code, 0);
    EXPECT_EQ(c.Read("WINDOWS/system.dat"), original) << "--registry none wrote the hive";
    EXPECT_FALSE(c.Exists("WINDOWS/system.plx"));
    EXPECT_TRUE(Has(first.log.front(), R"("format":"none")")) << first.log.front();

    PlovexRun second = c.Plovex("uncheck usb\ninstall\nexit\nno\n", {"--log", c.io.Path("log.jsonl")});
    EXPECT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(c.Read("WINDOWS/system.plx"), original);
    EXPECT_TRUE(Has(second.log.front(), c.Path("WINDOWS/system.dat")) &&
                Has(second.log.front(), R"("format":"hive","os":"auto","versionNumber":"4.00.1111")"))
        << second.log.front();
    const std::string afterChipset = c.Read("WINDOWS/system.dat");
    EXPECT_NE(afterChipset, original);
    struct stat info;
    ASSERT_EQ(stat(c.Path("WINDOWS/system.dat").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0444u);

    PlovexRun third = c.Plovex(Install);
    EXPECT_EQ(third.code, 0) << third.err;
    EXPECT_EQ(c.Read("WINDOWS/system.plx"), original) << "a later run overwrote the untouched copy";
    const std::string result = c.Read("WINDOWS/system.dat"), windows = Hive("live/deletes/24.DAT");
    EXPECT_EQ(KeysOf(result), KeysOf(windows))
        << "the keys are not those Windows 95 leaves after deleting the 24 device keys";
    uint32_t dataAt;
    memcpy(&dataAt, &windows[0x08], 4);
    EXPECT_TRUE(result.compare(0, 0x40, windows, 0, 0x40) == 0) << "the headers are not Windows 95's";
    EXPECT_TRUE(result.compare(dataAt, std::string::npos, windows, dataAt, std::string::npos) == 0)
        << "the data blocks are not Windows 95's";
}

// A damaged or truncated hive is refused before anything is written, and so
// is a hive that no rename may replace (immutable, chattr +i).
TEST(Installation, ADamagedHiveIsRefusedAndNothingWritten)
{
    {
        Sample c;
        unlink(c.Path("SYSTEM.REG").c_str());
        c.Write("WINDOWS/SYSTEM.DAT", Hive("B.DAT"));
        const std::string hive = c.Path("WINDOWS/SYSTEM.DAT");
        if (system(("chattr +i '" + hive + "' 2>/dev/null").c_str()) == 0) {
            auto before = c.Snapshot();
            PlovexRun run = c.Plovex(Install);
            EXPECT_EQ(run.code, 2);
            EXPECT_TRUE(Has(run.err, "SYSTEM.DAT: cannot be replaced: it is immutable")) << run.err;
            EXPECT_TRUE(c.Snapshot() == before) << "a file changed";
            EXPECT_EQ(system(("chattr -i '" + hive + "'").c_str()), 0);
        } else {
            printf("not checked: chattr +i needs root and a file system with the flag\n");
        }
    }
    const std::string whole = Hive("B.DAT");
    std::string cycle = whole; // the root's first subkey is the root itself
    uint32_t root;
    memcpy(&root, &whole[0x20 + 0x08], 4);
    memcpy(&cycle[0x20 + root + 0x10], &root, 4);
    for (const std::string &damaged : {whole.substr(0, 9000), std::string("CREG") + std::string(60, '\xff'), cycle}) {
        Sample c;
        unlink(c.Path("SYSTEM.REG").c_str());
        c.Write("WINDOWS/SYSTEM.DAT", damaged);
        auto before = c.Snapshot();
        PlovexRun run = c.Plovex(Install, {"--log", c.io.Path("log.jsonl")});
        EXPECT_EQ(run.code, 2);
        EXPECT_TRUE(Has(run.err, "SYSTEM.DAT: a Windows 9x registry hive that cannot be used")) << run.err;
        EXPECT_TRUE(c.Snapshot() == before) << "a file changed";
    }
}

// On a real FAT file system SYSTEM.DAT carries the read-only, hidden and
// system attributes, as Windows 9x leaves it; the keys are deleted and the
// attributes are still set afterwards, on the hive and on its copy.
TEST(Installation, OnAFatFileSystemTheHiveKeepsItsAttributes)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a FAT image needs root; this run is not root";
    if (system("command -v mkfs.fat >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "mkfs.fat (dosfstools) is not installed";
    Scratch scratch;
    std::string image = scratch.Path("fat16.img"), point = scratch.Path("mnt");
    std::filesystem::create_directories(point);
    ASSERT_EQ(system(("mkfs.fat -F 16 -C " + image + " 16384 >/dev/null 2>&1").c_str()), 0);
    std::string said = scratch.Path("mount.txt");
    if (system(("mount -t vfat -o loop " + image + " " + point + " >" + said + " 2>&1").c_str()) != 0)
        GTEST_SKIP() << "this machine cannot mount a FAT image: " << scratch.Read("mount.txt");
    struct Unmount {
        std::string point;
        ~Unmount() { umount2(point.c_str(), MNT_DETACH); }
    } unmount{point};

    std::filesystem::copy(PLOVEX_SAMPLE "/WINDOWS", point + "/WINDOWS", std::filesystem::copy_options::recursive);
    const std::string original = Hive("B.DAT"), hive = point + "/WINDOWS/SYSTEM.DAT";
    {
        std::ofstream(hive, std::ios::binary) << original;
    }
    const __u32 windows = ATTR_RO | ATTR_HIDDEN | ATTR_SYS | ATTR_ARCH;
    auto attributes = [](const std::string &path) {
        __u32 fat = 0;
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0 || ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) != 0)
            fat = 0xFFFFFFFF;
        if (fd >= 0)
            close(fd);
        return fat;
    };
    {
        int fd = open(hive.c_str(), O_RDONLY);
        __u32 set = windows;
        ASSERT_EQ(ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &set), 0) << strerror(errno);
        close(fd);
    }
    ASSERT_EQ(attributes(hive), windows);

    PlovexRun run = RunPlovex({"--drive-c", point, "--registry", hive}, Install);
    EXPECT_EQ(run.code, 0) << run.err;

    std::ifstream in(hive, std::ios::binary);
    std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> before = KeysOf(original), left = KeysOf(after);
    EXPECT_EQ(before.size() - left.size(), 76u) << "the 24 device keys with their subtrees";
    EXPECT_EQ(attributes(hive), windows);
    EXPECT_NE(attributes(point + "/WINDOWS/SYSTEM.PLX"), 0xFFFFFFFFu);
}

} // namespace
