// Replacing a target through the host layer, as the commands run it: what the
// user is told and which file stands under which name after every failure.
#include "tests/fixtures/inf_texts.h"
#include "state/state.h"
#include "commands/commands.h"
#include "inf/replace.h"
#include "patches/patches.h"
#include "platform/host/faults.h"
#include "platform/host/files.h"
#include "platform/host/system.h"
#include "platform/host/ui.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace {

using std::string;
using std::vector;

// machine.inf with one line an earlier Install added, so that both commands
// have something to change.
const string Old = fixtures::MachineInf() + "; from an earlier run;Plovex\r\n";
const string Absent = "(absent)";

enum CommandId { INSTALL, UNINSTALL };

struct Replace : testing::Test {
    Scratch drive;
    string installed, uninstalled; // what the commands make of Old

    void SetUp() override
    {
        installed = RunPass(PatchMachineInf, Old);
        uninstalled = RunPass(StripMarkedLines, Old);
        PrepareCommand(drive, true, false);
        drive.Write("WINDOWS/INF/MACHINE.INF", Old);
        drive.Write("WINDOWS/INF/MSHDC.INF", fixtures::MshdcInf());
    }
    void TearDown() override { EXPECT_EQ(host::OpenHandleCount(), 0); }

    // The text under a name in the inf folder, whatever its letter case.
    string File(const string &name)
    {
        string path = host::HostPath("C:\\WINDOWS\\INF\\" + name);
        struct stat info;
        if (lstat(path.c_str(), &info) != 0)
            return Absent;
        return S_ISDIR(info.st_mode) ? "(folder)" : drive.Read(path.substr(drive.root.size() + 1));
    }
    // The exit code if the command ends the process, else -1.
    int Run(CommandId command)
    {
        try {
            command == INSTALL ? OnInstall() : OnUninstall();
        } catch (const host::ProcessExit &exit) {
            return exit.code;
        }
        return -1;
    }
    vector<string> Boxes()
    {
        vector<string> boxes;
        for (const host::MessageBoxRecord &box : host::MessageBoxes)
            boxes.push_back(box.caption + "|" + box.text + "|" + std::to_string(box.type));
        return boxes;
    }
};

TEST_F(Replace, ACommitLeavesOnlyTheNewTextAndEmptiesLeftOvers)
{
    drive.Write("WINDOWS/INF/OUT.INF", "left over from a failed run\r\n");
    drive.Write("WINDOWS/INF/Machine.In@", "an old backup\r\n");
    BuildPaths(MACHINE_INF);
    EXPECT_STREQ(TargetPath, "C:\\WINDOWS\\inf\\machine.inf");
    EXPECT_STREQ(WorkPath, "C:\\WINDOWS\\inf\\out.inf");
    EXPECT_STREQ(BackupPath, "C:\\WINDOWS\\inf\\machine.in@");
    ASSERT_TRUE(OpenTarget(TargetPath));
    OpenWork(WorkPath);
    PatchMachineInf();
    EXPECT_TRUE(CommitTarget(TargetPath, WorkPath, BackupPath, {"not shown", "rename error"}));
    EXPECT_EQ(File("machine.inf"), installed);
    EXPECT_EQ(File("out.inf"), Absent);
    EXPECT_EQ(File("machine.in@"), Absent);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(Replace, AMissingTargetOrWorkFileEndsTheProcess)
{
    const string cantFind = "File Open Error|Can't find C:\\WINDOWS\\inf\\machine.inf|16";
    const string cantCreate = "File Open Error|Can't create C:\\WINDOWS\\inf\\out.inf|16";
    for (CommandId command : {INSTALL, UNINSTALL}) {
        SCOPED_TRACE(command);
        host::MessageBoxes.clear();
        std::filesystem::remove(drive.Path("WINDOWS/INF/MACHINE.INF"));
        EXPECT_EQ(Run(command), 1);
        EXPECT_EQ(Boxes(), vector<string>{cantFind});
        EXPECT_EQ(File("out.inf"), Absent);
        EXPECT_EQ(host::OpenHandleCount(), 0);

        host::MessageBoxes.clear();
        drive.Write("WINDOWS/INF/MACHINE.INF", Old);
        std::filesystem::create_directories(drive.Path("WINDOWS/INF/out.inf"));
        EXPECT_EQ(Run(command), 1);
        EXPECT_EQ(Boxes(), vector<string>{cantCreate});
        EXPECT_EQ(File("machine.inf"), Old);
        EXPECT_EQ(host::OpenHandleCount(), 0);
        std::filesystem::remove(drive.Path("WINDOWS/INF/out.inf"));
    }
}

TEST_F(Replace, AFailureLeavesTheTargetInPlaceAndEndsTheCommand)
{
    enum Outcome { WORK_DELETED, WORK_KEPT };
    struct Case {
        const char *name;
        host::Operation operation; // fails at call n, or Count: a backup folder in the way
        int n;
        string box; // {} stands for the command's rename message
        Outcome work;
    } cases[] = {
        {"read", host::Operation::ReadFile, 1, "File Error|Can't read C:\\WINDOWS\\inf\\machine.inf|16", WORK_DELETED},
        {"write", host::Operation::WriteFile, 1, "File Error|Can't write C:\\WINDOWS\\inf\\out.inf|16", WORK_DELETED},
        {"flush", host::Operation::FlushFileBuffers, 1, "File Error|Can't write C:\\WINDOWS\\inf\\out.inf|16",
         WORK_DELETED},
        {"close of the work file", host::Operation::CloseHandle, 2,
         "File Error|Can't write C:\\WINDOWS\\inf\\out.inf|16", WORK_DELETED},
        {"first rename", host::Operation::Count, 0, {}, WORK_KEPT},
        {"second rename", host::Operation::MoveFile, 2, {}, WORK_KEPT},
    };
    for (CommandId command : {INSTALL, UNINSTALL}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", command " << command);
            PrepareCommand(drive, true, false);
            std::filesystem::remove_all(drive.Path("WINDOWS/INF"));
            drive.Write("WINDOWS/INF/MACHINE.INF", Old);
            drive.Write("WINDOWS/INF/MSHDC.INF", fixtures::MshdcInf());
            if (c.operation == host::Operation::Count) // non-empty, so it cannot be deleted
                drive.Write("WINDOWS/INF/machine.in@/x", "");
            else
                host::FailNth(c.operation, c.n);

            EXPECT_EQ(Run(command), -1);
            string box = !c.box.empty()      ? c.box
                         : command == INSTALL ? "rename error|Install Failure|0"
                                              : "Rename Error|Uninstall failure|0";
            EXPECT_EQ(Boxes(), vector<string>{box}); // and no completion message
            EXPECT_EQ(RestartFlag, 0);
            EXPECT_EQ(File("machine.inf"), Old);
            EXPECT_EQ(File("out.inf"),
                      c.work == WORK_DELETED ? Absent : command == INSTALL ? installed : uninstalled);
            EXPECT_EQ(File("machine.in@"), c.operation == host::Operation::Count ? "(folder)" : Absent);
            EXPECT_EQ(File("mshdc.inf"), fixtures::MshdcInf()); // the next target is not touched
            EXPECT_EQ(host::OpenHandleCount(), 0);
        }
    }
}

// A usb.inf that is there but cannot be opened is never taken for a missing
// one: Install ends as for the other targets instead of writing it anew.
TEST_F(Replace, AnUnreadableUsbInfIsNeverOverwritten)
{
    const string usb = "[Version]\r\n; the user's own lines\r\n";
    PrepareCommand(drive, false, true);
    drive.Write("WINDOWS/INF/USB.INF", usb);
    host::FailNth(host::Operation::CreateFile, 1); // a sharing violation, say
    EXPECT_EQ(Run(INSTALL), 1);
    EXPECT_EQ(Boxes(), vector<string>{"File Open Error|Can't find C:\\WINDOWS\\inf\\usb.inf|16"});
    EXPECT_EQ(File("usb.inf"), usb);

    std::filesystem::remove(drive.Path("WINDOWS/INF/USB.INF")); // truly missing: written whole
    PrepareCommand(drive, false, true);
    EXPECT_EQ(Run(INSTALL), -1);
    EXPECT_EQ(Lines(File("usb.inf")).size(), 21u);
}

} // namespace
