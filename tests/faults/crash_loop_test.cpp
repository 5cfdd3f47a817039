// The process killed at every file-system call of a command in turn, then run
// again as a user would: for each start state and command, and n = 1, 2, ...,
// a child process runs the command and ends itself in place of its n-th call
// (the registry file's writes included); then the same command, and the other
// one, run to their end on what it left. Afterwards every target holds a
// complete text under its own name, no backup or work file is left, and the
// registry file (a REGEDIT4 export or a hive) is the old one less whole groups
// of device keys.
#include "tests/faults/faults.h"
#include "tests/support.h"
#include "tests/image/images.h"
#include "commands/commands.h"
#include "platform/host/hive.h"
#include "platform/host/image/image.h"
#include "platform/host/faults.h"
#include "platform/host/files.h"
#include "platform/host/registry.h"
#include "platform/host/system.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <optional>

using namespace faults;

namespace {

const char *const Targets[] = {"machine.inf", "mshdc.inf", "usb.inf"};
const char *const Leftovers[] = {"machine.in@", "mshdc.in@", "usb.in@", "out.inf"};

enum CommandId { INSTALL, UNINSTALL };
const char *const CommandNames[] = {"Install", "Uninstall"};

struct State {
    std::optional<std::string> targets[std::size(Targets)];
    std::string registry;
    std::optional<std::string> untouched; // the hive's untouched copy SYSTEM.PLX
};

std::optional<std::string> ReadInf(const std::string &root, const char *name)
{
    return ReadOnDrive(root, std::string("C:\\WINDOWS\\inf\\") + name);
}

bool IsImage(const std::string &root)
{
    return image::IsImagePath(root);
}

// What fsck.fat -n says is wrong with an image, less the lost clusters and
// the unknown free count that a cut leaves, and the second FAT copy a cut
// between the two copies leaves behind the first (fsck uses the first).
std::vector<std::string> FsckComplaints(const std::string &root)
{
    images::Ran fsck = images::Fsck(root, 0, 0);
    return images::FsckComplaints(fsck.output, {"Reclaimed ", "Free cluster summary uninitialized", "FATs differ"});
}

State Take(const std::string &root)
{
    State state;
    for (size_t t = 0; t < std::size(Targets); t++)
        state.targets[t] = ReadInf(root, Targets[t]);
    state.registry = IsImage(root) ? ReadOnDrive(root, "C:\\WINDOWS\\SYSTEM.DAT").value_or("")
                                   : ReadWholeFile(RegistryOf(root));
    state.untouched = ReadOnDrive(root, "C:\\WINDOWS\\SYSTEM.PLX");
    return state;
}

// Runs a command to its end in this process; false when it ended the process.
bool RunCommand(const std::string &root, CommandId command)
{
    std::string error;
    EXPECT_TRUE(StartDialog(root, error)) << error;
    try {
        command == INSTALL ? OnInstall() : OnUninstall();
    } catch (const host::ProcessExit &) {
        return false;
    }
    host::WriteRegistryChanges();
    return true;
}

// Runs a command to its end on a copy of `root` made at `copy`; gives what it left.
State After(const std::string &root, CommandId command, const std::string &copy)
{
    CopyDrive(root, copy);
    EXPECT_TRUE(RunCommand(copy, command));
    return Take(copy);
}

// Runs the command in a child that ends itself in place of its n-th file call.
// Returns the child's exit code: host::CRASH_EXIT_CODE when it was cut short.
int RunCutShort(const std::string &root, CommandId command, int n)
{
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        std::string error;
        if (!StartDialog(root, error))
            _exit(120);
        host::CrashAtCall(n);
        try {
            command == INSTALL ? OnInstall() : OnUninstall();
            host::WriteRegistryChanges();
        } catch (const host::ProcessExit &exit) {
            _exit(100 + exit.code);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The registry file less the keys of whole groups, chipset group first: which
// groups are gone (bit 0 chipset, bit 1 USB), or -1 when it is no such file.
int GroupsRemoved(const std::string &before, const std::string &after)
{
    const std::vector<std::string> *groups[2] = {&ChipsetKeys, &UsbKeys};
    for (int mask = 3; mask >= 0; mask--) {
        std::string error;
        std::vector<std::string> full;
        hive::Hive hive;
        bool isHive = hive::IsHive(before) && hive::Load(before, hive, error);
        for (int g = 0; g < 2; g++) {
            for (const std::string &key : *groups[g]) {
                if (!(mask & (1 << g)))
                    break;
                if (isHive)
                    hive::DeleteKey(hive, key);
                else
                    full.push_back("HKEY_LOCAL_MACHINE\\" + key);
            }
        }
        if ((isHive ? hive.bytes : WithoutKeys(before, full)) == after)
            return mask;
    }
    return -1;
}

struct CrashLoop : testing::Test {
    int points = 0, reruns = 0, lost = 0;

    // Each target of `now` holds the text that `rerun` makes of its old or of
    // its new text; nothing else is left; the registry file has lost whole
    // groups of device keys, the chipset group among them.
    void CheckRerun(const std::string &root, const State &now, const State &fromOld, const State &fromNew,
                    const State &old, CommandId rerun)
    {
        for (size_t t = 0; t < std::size(Targets); t++) {
            bool whole = now.targets[t] == fromOld.targets[t] || now.targets[t] == fromNew.targets[t];
            lost += !whole;
            EXPECT_TRUE(whole) << Targets[t] << (now.targets[t] ? " holds a text no whole run gives it"
                                                                : " is missing");
        }
        for (const char *name : Leftovers)
            EXPECT_FALSE(ReadInf(root, name)) << name << " was left";
        if (!IsImage(root)) {
            EXPECT_FALSE(PathExists(RegistryOf(root) + ".new~"));
        }
        if (now.untouched) {
            EXPECT_TRUE(*now.untouched == old.untouched.value_or(old.registry)) << "the hive's untouched copy changed";
        }
        if (IsImage(root)) {
            EXPECT_EQ(FsckComplaints(root), std::vector<std::string>()) << "after the rerun";
        }
        int groups = GroupsRemoved(old.registry, now.registry);
        EXPECT_GE(groups, 0) << "the registry file is not the old one less whole groups of device keys";
        EXPECT_TRUE(groups & 1) << "the chipset keys are still there after a whole " << CommandNames[rerun];
    }

    // Cuts `command` short at every file call from `start`, each time followed
    // by a whole run of each command.
    void Loop(const std::string &start, CommandId command)
    {
        Scratch fixed;
        const State old = Take(start);
        const std::string done = fixed.Path("done");
        After(start, command, done);
        State fromOld[2], fromNew[2];
        for (CommandId rerun : {INSTALL, UNINSTALL}) {
            fromOld[rerun] = After(start, rerun, fixed.Path(std::string("old-") + CommandNames[rerun]));
            fromNew[rerun] = After(done, rerun, fixed.Path(std::string("new-") + CommandNames[rerun]));
        }
        for (int n = 1;; n++) {
            Scratch cut;
            CopyDrive(start, cut.Path("C"));
            int code = RunCutShort(cut.Path("C"), command, n);
            if (code != host::CRASH_EXIT_CODE) {
                EXPECT_EQ(code, 0) << CommandNames[command] << " ran to its end " << n << " file calls in";
                EXPECT_GT(n, 10) << "too few file calls seen";
                return;
            }
            points++;
            if (IsImage(start)) {
                EXPECT_EQ(FsckComplaints(cut.Path("C")), std::vector<std::string>()) << "cut at call " << n;
            }
            for (CommandId rerun : {command, command == INSTALL ? UNINSTALL : INSTALL}) {
                SCOPED_TRACE(std::string(CommandNames[command]) + " cut short at file call " + std::to_string(n) +
                             ", then " + CommandNames[rerun]);
                Scratch again;
                CopyDrive(cut.Path("C"), again.Path("C"));
                EXPECT_TRUE(RunCommand(again.Path("C"), rerun)) << "the rerun ended the process";
                reruns++;
                CheckRerun(again.Path("C"), Take(again.Path("C")), fromOld[rerun], fromNew[rerun], old, rerun);
                if (HasFailure())
                    return;
            }
        }
    }
};

// From the sample (no usb.inf, a read-only mshdc.inf): Install; from what it
// leaves: Uninstall; from what that leaves (an emptied usb.inf): Install. Then
// Install from the sample with a Windows 95 hive, read-only as Windows keeps
// it, in place of the REGEDIT4 export. Then the same installation inside a
// FAT16 disk image (made by mkfs.fat and mcopy): Install, and Uninstall from
// what it leaves, cut short at every file call and every write into the
// image; fsck.fat may find nothing but lost clusters after a cut, and nothing
// after the rerun.
TEST_F(CrashLoop, EveryCutShortCommandLeavesWholeTextsForTheNextRun)
{
    Scratch states;
    const std::string sample = states.Path("sample"), installed = states.Path("installed"),
                      uninstalled = states.Path("uninstalled");
    std::filesystem::create_directories(sample);
    CopySample(sample);
    chmod((sample + "/WINDOWS/INF/MSHDC.INF").c_str(), 0444);
    After(sample, INSTALL, installed);
    After(installed, UNINSTALL, uninstalled);
    ASSERT_TRUE(Take(uninstalled).targets[2]);

    const std::string withHive = states.Path("hive");
    CopyDrive(sample, withHive);
    unlink((withHive + "/SYSTEM.REG").c_str());
    std::filesystem::copy_file(PLOVEX_CREG "/B.DAT", withHive + "/WINDOWS/SYSTEM.DAT");
    chmod((withHive + "/WINDOWS/SYSTEM.DAT").c_str(), 0444);

    Loop(sample, INSTALL);
    Loop(installed, UNINSTALL);
    Loop(uninstalled, INSTALL);
    Loop(withHive, INSTALL);

    std::string missing = images::MissingTools();
    if (missing.empty()) {
        const std::string image = states.Path("hive.img"), imageInstalled = states.Path("installed.img");
        images::MakeVolume(image, 0, 16384, "-F 16");
        images::Install(image, 0, {{"WINDOWS/INF/MACHINE.INF", ReadWholeFile(sample + "/WINDOWS/INF/MACHINE.INF")},
                                   {"WINDOWS/INF/MSHDC.INF", ReadWholeFile(sample + "/WINDOWS/INF/MSHDC.INF")},
                                   {"WINDOWS/SYSTEM.DAT", ReadWholeFile(PLOVEX_CREG "/B.DAT")}});
        ASSERT_EQ(images::Shell("mattrib -i " + images::Quote(image) + " +r ::/WINDOWS/INF/MSHDC.INF").status, 0);
        After(image, INSTALL, imageInstalled);
        Loop(image, INSTALL);
        Loop(imageInstalled, UNINSTALL);
    } else {
        printf("the disk image loops are not run: missing %s\n", missing.c_str());
    }
    printf("crash points: %d, reruns: %d, texts lost: %d\n", points, reruns, lost);
    RecordProperty("crash_points", points);
    EXPECT_EQ(lost, 0);
}

} // namespace
