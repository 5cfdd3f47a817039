// A full disk for real: the Windows folder lies on a 64 KiB tmpfs where
// machine.inf fits but its rewritten copy does not. The real runner must say
// it cannot write out.inf and leave every file as it was.
#include "tests/faults/faults.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace faults;

namespace {

struct Mount {
    std::string point;
    bool mounted = false;
    ~Mount()
    {
        if (mounted)
            umount2(point.c_str(), MNT_DETACH);
    }
};

int Count(const std::string &text, const std::string &what)
{
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

TEST(DiskFull, InstallAndUninstallCannotWriteOutInfAndChangeNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root; this run is not root";
    Scratch outside;
    Scratch disk;
    Mount tiny{disk.root};
    if (mount("tmpfs", disk.root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") != 0)
        GTEST_SKIP() << "mount of a tmpfs is not permitted here (" << strerror(errno)
                     << "; a container without CAP_SYS_ADMIN?)";
    tiny.mounted = true;

    // machine.inf of about 40 KiB: the sample with comment lines after it.
    std::string machine = ReadFile(SamplePath("WINDOWS/INF/MACHINE.INF"));
    for (int i = 0; machine.size() < 40 * 1024; i++)
        machine += "; reserved for the vendor's own notes, line " + std::to_string(i) + "\r\n";
    std::string mshdc = ReadFile(SamplePath("WINDOWS/INF/MSHDC.INF"));
    ASSERT_EQ(mkdir(disk.Path("WINDOWS").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(disk.Path("WINDOWS/INF").c_str(), 0755), 0);
    WriteFile(disk.Path("WINDOWS/INF/MACHINE.INF"), machine);
    WriteFile(disk.Path("WINDOWS/INF/MSHDC.INF"), mshdc);
    CopySample(outside.root, true);
    std::string registry = ReadFile(outside.Path("SYSTEM.REG"));
    struct statvfs space;
    ASSERT_EQ(statvfs(disk.root.c_str(), &space), 0);
    ASSERT_LT((unsigned long long)space.f_bavail * space.f_frsize, machine.size())
        << "the tmpfs has room for a copy of machine.inf; the test would prove nothing";

    RunResult run = RunPlovex({"--drive-c", disk.root, "--registry", outside.Path("SYSTEM.REG")},
                              "install\nuninstall\nexit\n", 60);
    ASSERT_TRUE(run.exited) << "signal or time limit: " << run.code << "\n" << run.err;
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    const std::string failure = "+-- File Error (error icon)\n|  Can't write C:\\WINDOWS\\inf\\out.inf\n";
    EXPECT_EQ(Count(run.out, failure), 2) << run.out; // once per command
    EXPECT_EQ(Count(run.out, "+-- "), 4) << run.out;  // and no other box
    EXPECT_EQ(ReadFile(disk.Path("WINDOWS/INF/MACHINE.INF")), machine);
    EXPECT_EQ(ReadFile(disk.Path("WINDOWS/INF/MSHDC.INF")), mshdc);
    EXPECT_FALSE(Exists(disk.Path("WINDOWS/INF/out.inf")));
    EXPECT_FALSE(Exists(disk.Path("WINDOWS/INF/machine.in@")));
    EXPECT_FALSE(Exists(disk.Path("WINDOWS/INF/usb.inf")));
    EXPECT_EQ(ReadFile(outside.Path("SYSTEM.REG")), registry);
}

} // namespace
