// Hostile Windows folders, through the real runner: names planted as links to
// files outside, and targets that are no INF text at all. Nothing outside may
// be written or deleted, and every run ends clearly, in time, in little memory.
#include "tests/faults/faults.h"
#include "tests/run.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>

using namespace faults;

namespace {

const char Script[] = "install\nuninstall\nexit\nno\n";
const char Inf[] = "WINDOWS/INF/";
const long MOST_KIB = 16 * 1024;
const int LIMIT_SECONDS = 120;

#if defined(__SANITIZE_ADDRESS__)
const bool Sanitized = true; // the runner carries shadow memory: no memory bound
#else
const bool Sanitized = false;
#endif

std::string Completed()
{
    return "|   The utility has updated completely!\n";
}

std::string CantFind(const std::string &name)
{
    return "|  Can't find C:\\WINDOWS\\inf\\" + name + "\n";
}

const char CantCreateWork[] = "|  Can't create C:\\WINDOWS\\inf\\out.inf\n";

// Name and bytes of every entry of a folder (a link as "-> target").
std::map<std::string, std::string> Listing(const std::string &folder)
{
    std::map<std::string, std::string> entries;
    DIR *dir = opendir(folder.c_str());
    while (dirent *entry = dir ? readdir(dir) : nullptr) {
        std::string name = entry->d_name, path = folder + "/" + name;
        struct stat info;
        if (name == "." || name == ".." || lstat(path.c_str(), &info) != 0)
            continue;
        if (S_ISLNK(info.st_mode)) {
            char target[4096];
            ssize_t length = readlink(path.c_str(), target, sizeof target);
            entries[name] = "-> " + std::string(target, length > 0 ? (size_t)length : 0);
        } else {
            entries[name] = ReadWholeFile(path);
        }
    }
    if (dir)
        closedir(dir);
    return entries;
}

// Removes the sample's file that Windows would take for `name`.
void RemoveAnyCase(const std::string &folder, const std::string &name)
{
    for (const auto &entry : Listing(folder))
        if (strcasecmp(entry.first.c_str(), name.c_str()) == 0)
            unlink((folder + "/" + entry.first).c_str());
}

void CheckRun(const PlovexRun &run)
{
    EXPECT_TRUE(run.exited) << (run.timedOut ? "time limit reached" : "ended by signal ") << run.code << "\n"
                            << run.err;
    if (!Sanitized) {
        EXPECT_LT(run.peakKiB, MOST_KIB) << "peak memory of the runner";
    }
}

// ---- names planted as links to files outside the Windows folder -------------

struct LinkCase {
    const char *name;     // planted in the inf folder
    bool dangling;        // the link leads to a name that does not exist
    int code;             // the runner's exit code
    std::string message;  // a line the runner must print
};

void PrintTo(const LinkCase &c, std::ostream *out)
{
    *out << c.name << (c.dangling ? " (dangling link)" : " (link to a file)");
}

class PlantedLink : public ::testing::TestWithParam<LinkCase> {};

TEST_P(PlantedLink, NothingOutsideIsWrittenOrDeleted)
{
    const LinkCase &c = GetParam();
    Scratch drive, outside;
    CopySample(drive.root);
    std::string victim = outside.Path(c.dangling ? "never-made" : "victim");
    if (!c.dangling)
        WriteWholeFile(victim, ReadWholeFile(SamplePath("WINDOWS/INF/MACHINE.INF"))); // an INF text worth keeping
    WriteWholeFile(outside.Path("neighbour"), "left alone\r\n");
    std::string planted = drive.Path(Inf + std::string(c.name));
    RemoveAnyCase(drive.Path(Inf), c.name);
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    auto before = Listing(outside.root);

    PlovexRun run = RunPlovex({"--drive-c", drive.root, "--registry", drive.Path("SYSTEM.REG")}, Script,
                              LIMIT_SECONDS);
    CheckRun(run);
    EXPECT_EQ(run.code, c.code) << run.out << run.err;
    EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    EXPECT_EQ(Listing(outside.root), before);
    if (c.code == 0) { // the commands ran through; no link is left to follow later
        struct stat info;
        bool link = lstat(drive.Path(Inf + std::string(c.name)).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
        EXPECT_FALSE(link) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PlantedLink,
    ::testing::Values(LinkCase{"out.inf", false, 1, CantCreateWork}, LinkCase{"out.inf", true, 1, CantCreateWork},
                      LinkCase{"machine.in@", false, 0, Completed()}, LinkCase{"machine.in@", true, 0, Completed()},
                      LinkCase{"mshdc.in@", false, 0, Completed()}, LinkCase{"mshdc.in@", true, 0, Completed()},
                      LinkCase{"usb.in@", false, 0, Completed()}, LinkCase{"usb.in@", true, 0, Completed()},
                      LinkCase{"machine.inf", false, 0, Completed()},
                      LinkCase{"machine.inf", true, 1, CantFind("machine.inf")}),
    [](const ::testing::TestParamInfo<LinkCase> &info) {
        std::string name;
        for (const char *c = info.param.name; *c; c++)
            name += isalnum((unsigned char)*c) ? *c : '_';
        return name + (info.param.dangling ? "_dangling" : "_to_file");
    });

// ---- targets that are no INF text --------------------------------------------

// Random bytes with line feeds among them, ending with one, and with no
// Ctrl-Z (which would end the data at once) nor a line that carries the marker.
std::string Garbage(size_t size)
{
    std::mt19937 random(1998);
    std::string bytes;
    while (bytes.size() < size) {
        char c = (char)(random() & 0xFF);
        bytes += c == '\x1a' ? '\n' : c;
    }
    bytes += '\n';
    return bytes;
}

unsigned long long HugeSize()
{
    const char *mib = getenv("PLOVEX_HUGE_TARGET_MIB");
    unsigned long long size = mib && *mib ? strtoull(mib, nullptr, 10) : Sanitized ? 64 : 256;
    return size << 20;
}

bool AllZero(const std::string &path, unsigned long long size)
{
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<char> block(1 << 20);
    unsigned long long seen = 0;
    for (ssize_t got; fd >= 0 && (got = read(fd, block.data(), block.size())) > 0; seen += (size_t)got)
        for (ssize_t i = 0; i < got; i++)
            if (block[i] != 0) {
                close(fd);
                return false;
            }
    if (fd >= 0)
        close(fd);
    return seen == size;
}

struct TargetCase {
    const char *what;
    const char *name; // in the inf folder; replaces the sample's file of that name
    int code;
    std::string message;
};

void PrintTo(const TargetCase &c, std::ostream *out)
{
    *out << c.name << " as " << c.what;
}

class HostileTarget : public ::testing::TestWithParam<TargetCase> {};

TEST_P(HostileTarget, EndsClearlyInTimeAndInLittleMemory)
{
    const TargetCase &c = GetParam();
    const std::string what = c.what;
    Scratch drive(Scratch::ON_DISK); // a huge target is written again: not in memory
    CopySample(drive.root);
    std::string path = drive.Path(Inf + std::string(c.name));
    RemoveAnyCase(drive.Path(Inf), c.name);
    std::string garbage;
    unsigned long long huge = HugeSize();
    if (what == "directory") {
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        WriteWholeFile(path + "/inside", "kept\n");
    } else if (what == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    } else if (what == "empty") {
        WriteWholeFile(path, "");
    } else if (what == "garbage") {
        garbage = Garbage(256 * 1024);
        WriteWholeFile(path, garbage);
    } else if (what == "huge") {
        // NUL bytes without a line break: one line of the whole size.
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, (off_t)huge), 0);
        close(fd);
    }

    PlovexRun run = RunPlovex({"--drive-c", drive.root, "--registry", drive.Path("SYSTEM.REG")}, Script,
                              LIMIT_SECONDS);
    printf("[ %s %s: exit %d in %.2f s, peak %ld KiB ]\n", c.name, c.what, run.code, run.seconds, run.peakKiB);
    CheckRun(run);
    EXPECT_EQ(run.code, c.code) << run.out << run.err;
    EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;

    struct stat info;
    ASSERT_EQ(lstat(path.c_str(), &info), 0) << c.name << " is gone";
    if (what == "directory") {
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(ReadWholeFile(path + "/inside"), "kept\n");
    } else if (what == "fifo") {
        EXPECT_TRUE(S_ISFIFO(info.st_mode));
    } else if (what == "empty") {
        EXPECT_EQ(ReadWholeFile(path), "");
    } else if (what == "garbage") {
        // No anchor, so Install added nothing and Uninstall took nothing away.
        EXPECT_EQ(ReadWholeFile(path), TextModeCopy(garbage));
    } else if (what == "huge") {
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_TRUE(AllZero(path, huge)) << "the long line did not come back whole";
    }
    EXPECT_FALSE(PathExists(drive.Path(Inf + std::string("out.inf"))) && c.code == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HostileTarget,
    ::testing::Values(TargetCase{"directory", "machine.inf", 1, CantFind("machine.inf")},
                      TargetCase{"fifo", "machine.inf", 1, CantFind("machine.inf")},
                      TargetCase{"empty", "machine.inf", 0, Completed()},
                      TargetCase{"garbage", "machine.inf", 0, Completed()},
                      TargetCase{"huge", "machine.inf", 0, Completed()},
                      TargetCase{"directory", "usb.inf", 1, CantFind("usb.inf")},
                      TargetCase{"fifo", "usb.inf", 1, CantFind("usb.inf")},
                      TargetCase{"directory", "out.inf", 1, CantCreateWork},
                      TargetCase{"fifo", "out.inf", 1, CantCreateWork}),
    [](const ::testing::TestParamInfo<TargetCase> &info) {
        std::string name = std::string(info.param.what) + "_as_";
        for (const char *c = info.param.name; *c; c++)
            name += isalnum((unsigned char)*c) ? (char)tolower(*c) : '_';
        return name;
    });

} // namespace
