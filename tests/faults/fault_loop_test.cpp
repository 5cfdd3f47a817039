// Every file operation of Install and Uninstall failed in turn: for each
// operation and n = 1, 2, ... the n-th call fails, on a fresh copy of the
// sample, until a run goes by without the fault firing. After every run no INF
// text may be lost or half-written, and the registry file must be whole. The
// loop runs twice: through the dialog's buttons, and as the unattended runs
// Plovex.exe /S then /U, with a log, where no box may open at all.
#include "tests/faults/faults.h"
#include "tests/support.h"
#include "tests/image/images.h"
#include "app/main.h"
#include "state/state.h"
#include "commands/commands.h"
#include "platform/host/faults.h"
#include "platform/host/hive.h"
#include "platform/host/files.h"
#include "platform/host/registry.h"
#include "platform/host/system.h"
#include "platform/host/ui.h"

#include <gtest/gtest.h>

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <set>
#include <tuple>

using namespace faults;

namespace {

const char *const TargetNames[] = {"machine.inf", "mshdc.inf", "usb.inf"};
const char *const BackupNames[] = {"machine.in@", "mshdc.in@", "usb.in@"};
const int TARGETS = 3;

const char *const OperationNames[] = {"CreateFile",       "ReadFile",          "WriteFile",
                                      "FlushFileBuffers", "CloseHandle",       "MoveFile",
                                      "DeleteFile",       "GetFileAttributes", "SetFileAttributes",
                                      "RegistryWrite",    "ImageWrite"};
static_assert(sizeof OperationNames / sizeof *OperationNames == (size_t)host::Operation::Count,
              "a name for every operation the host can fail");

std::optional<std::string> ReadIfThere(const std::string &windowsName)
{
    std::string path = host::HostPath("C:\\WINDOWS\\inf\\" + windowsName);
    if (path.empty() || !PathExists(path))
        return std::nullopt;
    return ReadWholeFile(path);
}

struct Snapshot {
    std::optional<std::string> targets[TARGETS];
};

Snapshot Take()
{
    Snapshot s;
    for (int t = 0; t < TARGETS; t++)
        s.targets[t] = ReadIfThere(TargetNames[t]);
    return s;
}

struct Box {
    std::string text, caption;
    UINT type;
    bool operator<(const Box &other) const
    {
        return std::tie(text, caption, type) < std::tie(other.text, other.caption, other.type);
    }
};

// What a target held each time a device key of its group was deleted.
struct Deletion {
    int phase, target;
    std::optional<std::string> text;
};

struct Outcome {
    int code = 0;
    int phase = 0; // 0: the run ended in Install, 1: it reached Uninstall
    std::vector<Box> boxes;
    std::vector<Deletion> deletions;
    bool fired = false;
    std::string log; // of an unattended run
};

// The way the two commands are given.
enum Way { DIALOG, UNATTENDED };
const char *const WayNames[] = {"through the dialog", "unattended"};
const char UnattendedLog[] = "C:\\plovex.log";

// The host over `root` with the registry file loaded and one fault armed: as
// the dialog leaves it after WM_INITDIALOG, or as a new process finds it.
void Start(const std::string &root, host::Operation operation, int n, Way way)
{
    std::string error;
    ASSERT_TRUE(way == DIALOG ? StartDialog(root, error) : StartHost(root, error)) << error;
    host::FailNth(operation, n);
}

// Plovex.exe run unattended with `switches` and the log, in this process; its
// end writes the registry and closes the handles, as a process's end does.
int RunUnattended(const std::string &switches)
{
    std::string commandLine = switches + " /L:" + UnattendedLog;
    int code = WinMain(NULL, NULL, commandLine.data(), 0);
    host::WriteRegistryChanges();
    host::CloseAllHandles();
    return code;
}

// The lines that begin with `start`.
int CountOf(const std::vector<std::string> &lines, const std::string &start)
{
    return (int)std::count_if(lines.begin(), lines.end(),
                              [&](const std::string &line) { return line.rfind(start, 0) == 0; });
}

Outcome Finish(int code)
{
    Outcome run;
    run.code = code;
    run.fired = host::FaultFired();
    for (const host::MessageBoxRecord &box : host::MessageBoxes)
        run.boxes.push_back({box.text, box.caption, box.type});
    return run;
}

bool IsChipsetKey(LPCSTR key)
{
    for (const std::string &chipset : ChipsetKeys)
        if (strcasecmp(key, chipset.c_str()) == 0)
            return true;
    return false;
}

// Install, then Uninstall, both groups; ExitProcess ends the run. The
// unattended way's Uninstall is a second process.
Outcome InstallThenUninstall(const std::string &root, host::Operation operation, int n, Way way)
{
    Start(root, operation, n, way);
    int code = 0, phase = 0;
    std::vector<Deletion> deletions;
    host::SetRegistryDeleteHandler([&](LPCSTR key, bool, const std::string &) {
        int target = IsChipsetKey(key) ? 0 : 2; // machine.inf, or usb.inf
        deletions.push_back({phase, target, ReadIfThere(TargetNames[target])});
    });
    try {
        if (way == UNATTENDED) {
            code = RunUnattended("/S");
            phase = 1;
            code = RunUnattended("/U");
        } else {
            OnInstall();
            phase = 1;
            OnUninstall();
        }
    } catch (const host::ProcessExit &exit) {
        code = exit.code;
    }
    Outcome run = Finish(code);
    run.phase = phase;
    run.deletions = deletions;
    if (way == UNATTENDED)
        run.log = ReadWholeFile(host::HostPath(UnattendedLog));
    return run;
}

std::set<Box> AllowedBoxes()
{
    const UINT error = MB_OK | MB_ICONERROR;
    const std::string work = "C:\\WINDOWS\\inf\\out.inf";
    std::set<Box> allowed = {
        {"Can't create " + work, "File Open Error", error},
        {"Can't write " + work, "File Error", error},
        {"Can't create usb.inf", "File Open Error", error},
        {"Install Failure", "rename error", MB_OK},
        {"Uninstall failure", "Rename Error", MB_OK},
        {" The utility has updated completely!", "OK", MB_OK},
        {"The utility has uninstalled completely!", "OK", MB_OK},
    };
    for (const char *name : TargetNames) {
        std::string path = std::string("C:\\WINDOWS\\inf\\") + name;
        allowed.insert({"Can't find " + path, "File Open Error", error});
        allowed.insert({"Can't read " + path, "File Error", error});
    }
    return allowed;
}

const char *const DeviceGroups[2] = {"chipset", "USB"};

// The sample with a read-only mshdc.inf, whose attribute every commit must
// carry over to the new text and clear on the backup before deleting it.
void CopySampleReadOnlyMshdc(const std::string &root)
{
    CopySample(root);
    chmod((root + "/WINDOWS/INF/MSHDC.INF").c_str(), 0444);
}

bool ReadOnly(const std::string &windowsName)
{
    struct stat info;
    std::string path = host::HostPath("C:\\WINDOWS\\inf\\" + windowsName);
    return !path.empty() && stat(path.c_str(), &info) == 0 && !(info.st_mode & S_IWUSR);
}

class FaultLoop : public ::testing::Test {
protected:
    // What a fault-free run leaves: every text each target holds up to the
    // end of Install (phase 0) and of Uninstall (phase 1).
    std::vector<std::string> states[2][TARGETS];
    std::string committed[2][TARGETS]; // each target's text after each command
    bool startsAbsent[TARGETS] = {};
    std::string registryBefore;
    std::set<Box> allowed = AllowedBoxes();

    void SetUp() override
    {
        Scratch scratch;
        CopySampleReadOnlyMshdc(scratch.root);
        registryBefore = ReadWholeFile(scratch.Path("SYSTEM.REG"));
        Start(scratch.root, host::Operation::Count, 0, DIALOG);
        // Each group's deletions reach the registry file in one rewrite: the
        // file is a new one (a new inode) only when its group's keys are told.
        std::set<ino_t> registryFiles;
        host::SetRegistryDeleteHandler([&](LPCSTR, bool, const std::string &) {
            struct stat info;
            if (stat(scratch.Path("SYSTEM.REG").c_str(), &info) == 0)
                registryFiles.insert(info.st_ino);
        });
        Snapshot before = Take();
        try {
            OnInstall();
            Snapshot installed = Take();
            OnUninstall();
            Snapshot uninstalled = Take();
            for (int t = 0; t < TARGETS; t++) {
                committed[0][t] = installed.targets[t].value_or("");
                committed[1][t] = uninstalled.targets[t].value_or("");
                startsAbsent[t] = !before.targets[t];
                for (const Snapshot *s : {&before, &installed, &uninstalled})
                    if (s->targets[t]) {
                        if (s != &uninstalled)
                            states[0][t].push_back(*s->targets[t]);
                        states[1][t].push_back(*s->targets[t]);
                    }
            }
        } catch (const host::ProcessExit &exit) {
            FAIL() << "the fault-free run ended with exit code " << exit.code;
        }
        EXPECT_EQ(registryFiles.size(), 2u) << "rewrites of the registry file for the two groups";
        std::vector<Box> boxes = Finish(0).boxes;
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].text, " The utility has updated completely!");
        EXPECT_EQ(boxes[1].text, "The utility has uninstalled completely!");
        // The sample has no usb.inf, and both commands change the other two.
        ASSERT_TRUE(startsAbsent[2]);
        ASSERT_EQ(states[1][0].size(), 3u);
        EXPECT_NE(states[1][0][0], states[1][0][1]);
        EXPECT_NE(states[1][1][0], states[1][1][1]);
        std::string registryAfter = ReadWholeFile(scratch.Path("SYSTEM.REG"));
        EXPECT_EQ(registryAfter, ExpectedRegistry(AllDeviceKeys()));
        EXPECT_NE(registryAfter, registryBefore);

        // Unattended, the same two commands leave the same texts and keys, and no box.
        Scratch other;
        CopySampleReadOnlyMshdc(other.root);
        Outcome unattended = InstallThenUninstall(other.root, host::Operation::Count, 0, UNATTENDED);
        EXPECT_EQ(unattended.code, 0);
        EXPECT_TRUE(unattended.boxes.empty());
        Snapshot end = Take();
        for (int t = 0; t < TARGETS; t++)
            EXPECT_EQ(end.targets[t].value_or(""), committed[1][t]) << TargetNames[t] << ", unattended";
        EXPECT_EQ(ReadWholeFile(other.Path("SYSTEM.REG")), registryAfter);
        EXPECT_EQ(CountOf(Lines(unattended.log), "Exit code 0"), 2);
    }

    static std::vector<std::string> AllDeviceKeys()
    {
        std::vector<std::string> keys = ChipsetKeys;
        keys.insert(keys.end(), UsbKeys.begin(), UsbKeys.end());
        return keys;
    }

    std::string ExpectedRegistry(const std::vector<std::string> &removed) const
    {
        std::vector<std::string> full;
        for (const std::string &key : removed)
            full.push_back("HKEY_LOCAL_MACHINE\\" + key);
        return WithoutKeys(registryBefore, full);
    }

    bool IsState(int phase, int target, const std::string &text) const
    {
        for (const std::string &state : states[phase][target])
            if (state == text)
                return true;
        return false;
    }

    void Check(const std::string &root, const Outcome &run, Way way, host::Operation operation,
               const std::string &where)
    {
        SCOPED_TRACE(where);
        if (way == DIALOG) {
            EXPECT_TRUE(run.code == 0 || run.code == 1) << "exit code " << run.code;
        } else {
            // Done, an INF file not opened, a step failed, or a log that could not be opened.
            EXPECT_TRUE(run.code == 0 || run.code == 1 || run.code == 4 || run.code == 5) << "exit code " << run.code;
            EXPECT_TRUE(run.boxes.empty()) << run.boxes.size() << " boxes opened; the first: " << run.boxes[0].text;
            // Each run logs its exit code last, unless the fault struck the log itself.
            if (operation != host::Operation::CreateFile && operation != host::Operation::WriteFile) {
                std::vector<std::string> lines = Lines(run.log);
                EXPECT_EQ(lines.empty() ? "" : lines.back(), "Exit code " + std::to_string(run.code));
                EXPECT_EQ(CountOf(lines, "Exit code "), run.phase + 1) << "one exit code for each run";
            }
        }
        EXPECT_EQ(host::OpenHandleCount(), 0);
        bool installCompleted = false;
        for (const Box &box : run.boxes) {
            EXPECT_TRUE(allowed.count(box)) << "unexpected message \"" << box.text << "\" / \"" << box.caption
                                            << "\" type " << box.type;
            installCompleted |= box.text == " The utility has updated completely!";
        }

        // Each target, and a backup left behind, holds a text that a
        // fault-free run gives the target.
        for (int t = 0; t < TARGETS; t++) {
            std::optional<std::string> target = ReadIfThere(TargetNames[t]);
            std::optional<std::string> backup = ReadIfThere(BackupNames[t]);
            if (target) {
                EXPECT_TRUE(IsState(run.phase, t, *target)) << TargetNames[t] << " is no text a fault-free run gives it by then ("
                                                 << target->size() << " bytes)";
            }
            if (backup) {
                EXPECT_TRUE(IsState(run.phase, t, *backup)) << BackupNames[t] << " holds a text that was never whole";
            }
            // Only a failed attribute call may cost the attribute (never the text).
            if (t == 1 && target && where.find("FileAttributes") == std::string::npos) {
                EXPECT_TRUE(ReadOnly(TargetNames[t])) << "mshdc.inf lost its read-only attribute";
            }
            // With one failure the backup is always renamed back: a target
            // that stood at any time stands at the end.
            if (!target) {
                EXPECT_TRUE(startsAbsent[t] && !(t == 2 && installCompleted))
                    << TargetNames[t] << " has vanished" << (backup ? " (its text is in the backup)" : "");
            }
        }

        // Device keys go only after their group's target has been replaced.
        for (const Deletion &deletion : run.deletions)
            EXPECT_TRUE(deletion.text && *deletion.text == committed[deletion.phase][deletion.target])
                << "a device key was deleted while " << TargetNames[deletion.target] << " was not replaced";

        // The registry file: whole, parseable, and less whole device keys only.
        std::string registry = ReadWholeFile(root + "/SYSTEM.REG");
        std::string error;
        EXPECT_TRUE(host::LoadRegistry(root + "/SYSTEM.REG", error)) << error;
        EXPECT_FALSE(PathExists(root + "/SYSTEM.REG.new~"));
        std::vector<std::string> removed;
        int groupPresent[2] = {}, groupRemoved[2] = {};
        for (int group = 0; group < 2; group++) {
            for (const std::string &key : group == 0 ? ChipsetKeys : UsbKeys) {
                std::string full = "HKEY_LOCAL_MACHINE\\" + key;
                if (WithoutKeys(registryBefore, {full}) == registryBefore)
                    continue; // not in the sample
                groupPresent[group]++;
                if (WithoutKeys(registry, {full}) == registry) {
                    removed.push_back(key);
                    groupRemoved[group]++;
                }
            }
        }
        EXPECT_EQ(registry, ExpectedRegistry(removed)) << "the registry file changed beyond whole device keys";
        // A group's keys go together, in one write.
        for (int group = 0; group < 2; group++) {
            bool whole = groupRemoved[group] == 0 || groupRemoved[group] == groupPresent[group];
            EXPECT_TRUE(whole) << DeviceGroups[group] << " keys: " << groupRemoved[group] << " of "
                               << groupPresent[group] << " removed";
        }
    }
};

TEST_F(FaultLoop, EveryFailedCallLeavesEachTextOldOrNewAndTheRegistryWhole)
{
    for (Way way : {DIALOG, UNATTENDED}) {
        int covered = 0;
        std::string summary;
        for (int op = 0; op < (int)host::Operation::Count; op++) {
            host::Operation operation = (host::Operation)op;
            if (operation == host::Operation::ImageWrite)
                continue; // a folder has no image to write into: FaultLoopOnAnImage below
            int n = 1;
            for (;; n++) {
                Scratch scratch;
                CopySampleReadOnlyMshdc(scratch.root);
                Outcome run = InstallThenUninstall(scratch.root, operation, n, way);
                if (!run.fired)
                    break;
                covered++;
                Check(scratch.root, run, way, operation,
                      std::string(WayNames[way]) + ": " + OperationNames[op] + " call " + std::to_string(n) + " failed");
                if (HasFailure())
                    return; // the first broken run says enough
            }
            summary += std::string(" ") + OperationNames[op] + "=" + std::to_string(n - 1);
            // Every operation the commands use is reached at least once.
            EXPECT_GT(n, 1) << OperationNames[op] << " was never called";
        }
        printf("fault points covered %s: %d (%s )\n", WayNames[way], covered, summary.c_str());
        RecordProperty(way == DIALOG ? "fault_points" : "fault_points_unattended", covered);
    }
}

// The same commands on a disk image, with each write into the image failed in
// turn (the calls above the store are the folder route's, failed above). Each
// target keeps a text a fault-free run passes through, the hive is the old one
// less whole groups of device keys, and fsck.fat finds nothing but lost
// clusters and the second FAT copy behind the first.
TEST(FaultLoopOnAnImage, EveryFailedWriteIntoTheImageLeavesEachTextOldOrNew)
{
    SKIP_WITHOUT_IMAGE_TOOLS();
    Scratch scratch;
    const std::string start = scratch.Path("start.img"), hive = ReadWholeFile(PLOVEX_CREG "/B.DAT");
    images::MakeVolume(start, 0, 16384, "-F 16");
    images::Install(start, 0, {{"WINDOWS/INF/MACHINE.INF", ReadWholeFile(SamplePath("WINDOWS/INF/MACHINE.INF"))},
                               {"WINDOWS/INF/MSHDC.INF", ReadWholeFile(SamplePath("WINDOWS/INF/MSHDC.INF"))},
                               {"WINDOWS/SYSTEM.DAT", hive}});
    auto targets = [](const std::string &image) {
        std::vector<std::optional<std::string>> texts;
        for (const char *name : TargetNames)
            texts.push_back(ReadOnDrive(image, std::string("C:\\WINDOWS\\inf\\") + name));
        return texts;
    };
    // Install, then Uninstall; true when the armed fault went off.
    auto run = [](const std::string &image, int n, std::vector<std::vector<std::optional<std::string>>> *states) {
        std::string error;
        EXPECT_TRUE(StartDialog(image, error)) << error;
        host::FailNth(host::Operation::ImageWrite, n);
        try {
            OnInstall();
            host::WriteRegistryChanges();
            if (states) {
                host::CloseAllHandles();
                ReleaseDrive();
                states->push_back({});
                for (const char *name : TargetNames)
                    states->back().push_back(ReadOnDrive(image, std::string("C:\\WINDOWS\\inf\\") + name));
                EXPECT_TRUE(StartDialog(image, error)) << error;
            }
            OnUninstall();
        } catch (const host::ProcessExit &) {
        }
        host::WriteRegistryChanges();
        bool fired = host::FaultFired();
        host::CloseAllHandles();
        host::DriveCStore().Finish();
        ReleaseDrive();
        return fired;
    };
    // The texts a fault-free run passes through, and the hive less each whole group.
    std::vector<std::vector<std::optional<std::string>>> states = {targets(start)};
    {
        Scratch clean;
        CopyDrive(start, clean.Path("c.img"));
        run(clean.Path("c.img"), 0, &states);
        states.push_back(targets(clean.Path("c.img")));
    }
    // Keys, not bytes: a group whose write failed is deleted again later, after
    // the other, and the free lists then run in another order.
    auto keysOf = [](const std::string &bytes) {
        hive::Hive h;
        std::string error;
        return hive::Load(bytes, h, error) ? hive::KeyPaths(h) : std::vector<std::string>{"(" + error + ")"};
    };
    std::vector<std::vector<std::string>> hives;
    for (int mask = 0; mask < 4; mask++) {
        hive::Hive h;
        std::string error;
        EXPECT_TRUE(hive::Load(hive, h, error)) << error;
        for (int group = 0; group < 2; group++)
            for (const std::string &key : group == 0 ? ChipsetKeys : UsbKeys)
                if (mask & (1 << group))
                    hive::DeleteKey(h, key);
        hives.push_back(hive::KeyPaths(h));
    }
    int n = 1;
    for (;; n++) {
        Scratch cut;
        const std::string image = cut.Path("c.img");
        CopyDrive(start, image);
        if (!run(image, n, nullptr))
            break;
        SCOPED_TRACE("image write " + std::to_string(n) + " failed");
        std::vector<std::optional<std::string>> now = targets(image);
        for (int t = 0; t < TARGETS; t++) {
            bool known = false;
            for (const auto &state : states)
                known = known || state[t] == now[t];
            EXPECT_TRUE(known) << TargetNames[t] << (now[t] ? " holds a text no whole run gives it" : " is missing");
        }
        std::optional<std::string> after = ReadOnDrive(image, "C:\\WINDOWS\\SYSTEM.DAT");
        EXPECT_TRUE(after && std::find(hives.begin(), hives.end(), keysOf(*after)) != hives.end())
            << "the hive is not the old one less whole groups of device keys";
        images::Ran fsck = images::Fsck(image, 0, 0);
        EXPECT_EQ(images::FsckComplaints(fsck.output, {"Reclaimed ", "Free cluster summary", "FATs differ"}),
                  std::vector<std::string>());
        if (HasFailure())
            return;
    }
    EXPECT_GT(n, 10) << "too few writes into the image";
    printf("image writes failed in turn: %d\n", n - 1);
}

} // namespace
