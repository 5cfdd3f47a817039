// A full disk for real, a 64 KiB tmpfs. When the Windows folder lies on it,
// machine.inf fits but its rewritten copy does not: the real runner must say
// it cannot write out.inf and leave every file as it was. When the registry
// file lies on it, its rewritten copy does not fit: the keys stay, and the run
// says so and ends with exit code 3.
#include "tests/faults/faults.h"
#include "tests/run.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace faults;

namespace {

int Count(const std::string &text, const std::string &what)
{
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

// A 64 KiB tmpfs mounted on `disk` for the test; the test is skipped where
// this run may not mount one.
struct DiskFull : testing::Test {
    Scratch disk;
    bool mounted = false;

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "mounting a tmpfs needs root; this run is not root";
        if (mount("tmpfs", disk.root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") != 0)
            GTEST_SKIP() << "mount of a tmpfs is not permitted here (" << strerror(errno)
                         << "; a container without CAP_SYS_ADMIN?)";
        mounted = true;
    }
    ~DiskFull() override
    {
        if (mounted)
            umount2(disk.root.c_str(), MNT_DETACH);
    }
};

TEST_F(DiskFull, InstallAndUninstallCannotWriteOutInfAndChangeNothing)
{
    Scratch outside;

    // machine.inf of about 40 KiB: the sample with comment lines after it.
    std::string machine = ReadWholeFile(SamplePath("WINDOWS/INF/MACHINE.INF"));
    for (int i = 0; machine.size() < 40 * 1024; i++)
        machine += "; reserved for the vendor's own notes, line " + std::to_string(i) + "\r\n";
    std::string mshdc = ReadWholeFile(SamplePath("WINDOWS/INF/MSHDC.INF"));
    ASSERT_EQ(mkdir(disk.Path("WINDOWS").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(disk.Path("WINDOWS/INF").c_str(), 0755), 0);
    WriteWholeFile(disk.Path("WINDOWS/INF/MACHINE.INF"), machine);
    WriteWholeFile(disk.Path("WINDOWS/INF/MSHDC.INF"), mshdc);
    CopySample(outside.root, true);
    std::string registry = ReadWholeFile(outside.Path("SYSTEM.REG"));
    struct statvfs space;
    ASSERT_EQ(statvfs(disk.root.c_str(), &space), 0);
    ASSERT_LT((unsigned long long)space.f_bavail * space.f_frsize, machine.size())
        << "the tmpfs has room for a copy of machine.inf; the test would prove nothing";

    PlovexRun run = RunPlovex({"--drive-c", disk.root, "--registry", outside.Path("SYSTEM.REG")},
                              "install\nuninstall\nexit\n", 60);
    ASSERT_TRUE(run.exited) << "signal or time limit: " << run.code << "\n" << run.err;
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    const std::string failure = "+-- File Error (error icon)\n|  Can't write C:\\WINDOWS\\inf\\out.inf\n";
    EXPECT_EQ(Count(run.out, failure), 2) << run.out; // once per command
    EXPECT_EQ(Count(run.out, "+-- "), 4) << run.out;  // and no other box
    EXPECT_EQ(ReadWholeFile(disk.Path("WINDOWS/INF/MACHINE.INF")), machine);
    EXPECT_EQ(ReadWholeFile(disk.Path("WINDOWS/INF/MSHDC.INF")), mshdc);
    EXPECT_FALSE(PathExists(disk.Path("WINDOWS/INF/out.inf")));
    EXPECT_FALSE(PathExists(disk.Path("WINDOWS/INF/machine.in@")));
    EXPECT_FALSE(PathExists(disk.Path("WINDOWS/INF/usb.inf")));
    EXPECT_EQ(ReadWholeFile(outside.Path("SYSTEM.REG")), registry);
}

TEST_F(DiskFull, ARegistryFileThatCannotBeRewrittenKeepsItsKeysAndTheRunSaysSo)
{
    Scratch drive;
    CopySample(drive.root, false);
    std::string registry = ReadWholeFile(SamplePath("SYSTEM.REG"));
    for (int i = 0; registry.size() < 40 * 1024; i++)
        registry += "[HKEY_LOCAL_MACHINE\\Software\\Padding\\Key" + std::to_string(i) + "]\r\n\"Text\"=\"padding\"\r\n\r\n";
    WriteWholeFile(disk.Path("SYSTEM.REG"), registry);

    PlovexRun run = RunPlovex({"--drive-c", drive.root, "--registry", disk.Path("SYSTEM.REG")},
                              "install\nexit\nno\n", 60);
    std::string log;
    for (const std::string &line : run.log)
        log += line + "\n";
    ASSERT_TRUE(run.exited) << run.err;
    EXPECT_EQ(run.code, 3) << run.out << run.err;
    EXPECT_EQ(Count(run.out, "The utility has updated completely!"), 1) << run.out;
    EXPECT_EQ(Count(run.err, " was not deleted: "), 6) << run.err; // the sample's six device keys
    EXPECT_EQ(Count(log, "\"deleted\":false"), 6) << log;
    EXPECT_EQ(Count(log, "{\"event\":\"exit\",\"code\":3}"), 1) << log;
    EXPECT_EQ(ReadWholeFile(disk.Path("SYSTEM.REG")), registry);
    EXPECT_FALSE(PathExists(disk.Path("SYSTEM.REG.new~")));
}

} // namespace
