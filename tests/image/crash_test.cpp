// Nothing lost on the image: the program's writes (an INF file committed
// through out.inf and a backup, the hive's untouched copy and its new
// contents) with the process ended at each write into the image in turn, and
// with each write failing in turn as a failing disk fails it. After each,
// fsck.fat -n finds at most lost clusters (and FAT32's free count unknown, and
// FATs that differ where the first one is whole), every file read back with
// mcopy is its old or its new contents whole, the image opens again, and a
// rerun (recovery as the program does it, then the same writes) finishes the
// job. In a dynamic VHD (a new hive large enough to need new blocks) the file
// also still ends with its footer, equal to the copy at its start, and reads
// through qemu-img as the same volume.
#include "platform/host/faults.h"
#include "tests/image/images.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

using namespace images;

namespace {

const Kind Kinds[] = {
    {"Fat12", 1440, "-F 12", false, 67000},
    {"Fat16", 16 * 1024, "-F 16", false, 67000},
    {"Fat32", 40 * 1024, "-F 32", false, 67000},
    {"Fat32InADynamicVhd", 40 * 1024, "-F 32", true, 3 << 20},
};

const std::string Inf = "WINDOWS/INF/", Target = Inf + "machine.inf", Backup = Inf + "machine.in@",
                  Work = Inf + "out.inf", Hive = "WINDOWS/SYSTEM.DAT", Copy = "WINDOWS/SYSTEM.PLX";

// What fsck.fat may say after a crash: clusters no entry owns, FAT32's free
// count unknown, and FATs that differ where the first one is whole.
const std::vector<std::string> AfterCrash = {"Reclaimed ", "Free cluster summary uninitialized",
                                             "FATs differ but appear to be intact."};

class Crash : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_IMAGE_TOOLS();
        original = scratch.Path("original.img");
        image = scratch.Path("c.img");
        MakeVolume(original, 0, GetParam().kib, GetParam().options);
        Install(original, 0, before);
        if (GetParam().dynamicVhd) {
            Ran ran = Shell("qemu-img convert -f raw -O vpc -o subformat=dynamic " + Quote(original) + " " +
                            Quote(scratch.Path("original.vhd")));
            ASSERT_EQ(ran.status, 0) << ran.output;
            original = scratch.Path("original.vhd");
            image = scratch.Path("c.vhd");
        }
    }

    // The volume as fsck.fat and mtools read it: the image itself, or what
    // qemu-img reads in the VHD, which must still end with its footer.
    std::string Volume(const std::string &when)
    {
        if (!GetParam().dynamicVhd)
            return image;
        std::string bytes = ReadWholeFile(image), raw = scratch.Path("volume.img");
        EXPECT_TRUE(bytes.size() > 1024 && bytes.compare(0, 512, bytes, bytes.size() - 512, 512) == 0 &&
                    bytes.compare(0, 8, "conectix") == 0)
            << when << ": the VHD does not end with its footer";
        Ran ran = Shell("qemu-img convert -f vpc -O raw " + Quote(image) + " " + Quote(raw));
        EXPECT_EQ(ran.status, 0) << when << ran.output;
        return raw;
    }

    bool Writes(host::Store &store) { return ProgramWrites(store, newText, before.at(Hive), newHive); }

    // What a run left: old or new contents, whole, under the names the commit allows.
    void CheckLeft(const std::string &when, bool finished)
    {
        std::string volume = Volume(when);
        Ran fsck = Fsck(volume, 0, 0);
        EXPECT_EQ(FsckComplaints(fsck.output, AfterCrash), std::vector<std::string>()) << when << fsck.output;
        Tree after = ReadBack(volume, 0), rest = after;
        const std::string oldText = before.at(Inf + "Machine.inf");
        std::string oldName = Inf + "Machine.inf";
        bool target = after.count(Target) || after.count(oldName);
        std::string text = after.count(Target) ? after.at(Target) : after.count(oldName) ? after.at(oldName) : "";
        if (finished) {
            EXPECT_EQ(text, newText) << when;
            EXPECT_FALSE(after.count(Backup) || after.count(Work)) << when;
            EXPECT_EQ(after[Copy], before.at(Hive)) << when;
            EXPECT_EQ(after[Hive], newHive) << when;
        } else {
            EXPECT_TRUE(target ? text == oldText || text == newText : after[Backup] == oldText) << when;
            EXPECT_TRUE(!after.count(Backup) || after.at(Backup) == oldText) << when;
            EXPECT_TRUE(!after.count(Work) || after.at(Work).empty() || after.at(Work) == newText) << when;
            EXPECT_TRUE(!after.count(Copy) || after.at(Copy) == before.at(Hive)) << when;
            EXPECT_TRUE(after[Hive] == before.at(Hive) || after[Hive] == newHive) << when;
        }
        for (const std::string &name : {Target, oldName, Backup, Work, Hive, Copy})
            rest.erase(name);
        Tree others = before;
        others.erase(oldName);
        others.erase(Hive);
        EXPECT_EQ(rest, others) << when << ": other files changed";
    }

    // The image a run left opens again, and a second run finishes the job.
    void Rerun(const std::string &when)
    {
        host::ResetFaults();
        std::string error;
        std::unique_ptr<host::Store> store = Open(image, error);
        ASSERT_TRUE(store) << when << ": " << error;
        EXPECT_TRUE(Writes(*store)) << when << ": " << strerror(errno);
        store.reset();
        CheckLeft(when + ", then run again", true);
    }

    Scratch scratch;
    std::string original, image;
    const Tree before = Installation();
    const std::string newText = Text(3400, 61), newHive = Blob(GetParam().newHive, 42);
};

TEST_P(Crash, EveryWriteIntoTheImage)
{
    // A run to its end counts the writes.
    std::filesystem::copy_file(original, image, std::filesystem::copy_options::overwrite_existing);
    host::ResetFaults();
    std::string error;
    std::unique_ptr<host::Store> store = Open(image, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(Writes(*store)) << strerror(errno);
    store.reset();
    int writes = host::CallCount(host::Operation::ImageWrite);
    ASSERT_GT(writes, 10);
    CheckLeft("a run to its end", true);

    for (int n = 1; n <= writes; n++) {
        const std::string when = "the process ended at write " + std::to_string(n) + " of " + std::to_string(writes);
        std::filesystem::copy_file(original, image, std::filesystem::copy_options::overwrite_existing);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            host::ResetFaults();
            host::CrashAtCall(n); // only image writes are counted here
            std::string ignored;
            std::unique_ptr<host::Store> doomed = Open(image, ignored);
            _exit(doomed && Writes(*doomed) ? 0 : 1);
        }
        int status;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == host::CRASH_EXIT_CODE) << when << ": " << status;
        CheckLeft(when, false);
        Rerun(when);
    }

    for (int n = 1; n <= writes; n++) {
        const std::string when = "write " + std::to_string(n) + " of " + std::to_string(writes) + " failed";
        std::filesystem::copy_file(original, image, std::filesystem::copy_options::overwrite_existing);
        host::ResetFaults();
        std::unique_ptr<host::Store> failing = Open(image, error);
        ASSERT_TRUE(failing) << error;
        host::FailNth(host::Operation::ImageWrite, n);
        // A run that reports success did it all (a failed write that only
        // frees clusters leaves them lost, and is no failure of the run).
        bool finished = Writes(*failing);
        EXPECT_TRUE(host::FaultFired()) << when;
        failing.reset();
        CheckLeft(when, finished);
        Rerun(when);
    }
    RecordProperty("ImageWrites", writes);
}

INSTANTIATE_TEST_SUITE_P(Image, Crash, ::testing::ValuesIn(Kinds),
                         [](const ::testing::TestParamInfo<Kind> &kind) { return std::string(kind.param.name); });

} // namespace
