// The runner as a user runs it: a script in; INF files, the registry file, the
// log and the exit code out. Each test works on a fresh copy of the sample.
#include "tests/e2e/sample.h"

#include <gtest/gtest.h>

namespace {

using namespace e2e;

const std::string Choose = "Do what?| Please choice drivers!|32|1";
std::string CantFind(const std::string &name)
{
    return R"(File Open Error|Can't find C:\\WINDOWS\\inf\\)" + name + "|16|1";
}

} // namespace

// ---- Install ------------------------------------------------------------------

TEST(Install, OnlyOneGroup)
{
    {
        Sample c;
        std::string oldUsb = "[Version]\r\nClass=USB\r\n";
        c.Write(Usb, oldUsb);
        PlovexRun run = c.Plovex("uncheck usb\ninstall\nexit\nno\n");
        EXPECT_EQ(Boxes(run), (std::vector<std::string>{Done, RestartNo}));
        EXPECT_EQ(Deletions(run), ChipsetKeys); // once, the USB keys never
        EXPECT_EQ(c.Read(Usb), oldUsb);
        EXPECT_FALSE(Rebooted(run));
    }
    {
        Sample c;
        c.Write(Usb, "[Version]\r\n[Manufacturer]\r\n[Intel.Section]\r\n[Strings]\r\n");
        std::string oldMachine = c.Read(Machine);
        PlovexRun run = c.Plovex("uncheck chipset\ninstall\nexit\nno\n");
        EXPECT_EQ(Boxes(run), (std::vector<std::string>{Done, RestartNo})); // a replaced usb.inf sets the flag
        EXPECT_EQ(Deletions(run), UsbKeys);
        EXPECT_EQ(CountMarked(c.Read(Usb)), 17);
        EXPECT_EQ(c.Read(Machine), oldMachine);
    }
}

TEST(Install, CreatingUsbInfDoesNotAskForARestart)
{
    Sample c;
    PlovexRun run = c.Plovex("uncheck chipset\ninstall\nexit\n");
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(Boxes(run), (std::vector<std::string>{Done})); // Exit closes without the prompt
    EXPECT_EQ(Deletions(run), UsbKeys);
    EXPECT_EQ(c.Read(Usb), Golden("install", Usb));
}

TEST(Install, NeitherBoxOnlyAsksForAChoice)
{
    Sample c;
    auto before = c.Snapshot();
    PlovexRun run = c.Plovex("uncheck chipset\nuncheck usb\ninstall\nuninstall\nexit\n");
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(Boxes(run), (std::vector<std::string>{Choose, Choose}));
    EXPECT_TRUE(Deletions(run).empty());
    EXPECT_EQ(c.Snapshot(), before);
}

TEST(Install, MissingTargetsEndTheProgramWithoutARestartPrompt)
{
    { // no machine.inf: nothing changes, whatever the USB box says
        Sample c;
        std::filesystem::remove(c.Path(Machine));
        auto before = c.Snapshot();
        PlovexRun run = c.Plovex("install\nexit\nyes\n");
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(Boxes(run), (std::vector<std::string>{CantFind("machine.inf")}));
        EXPECT_EQ(c.Snapshot(), before);
        EXPECT_TRUE(Deletions(run).empty());
    }
    { // no mshdc.inf: machine.inf stays patched and its keys deleted
        Sample c;
        std::filesystem::remove(c.Path(Mshdc));
        PlovexRun run = c.Plovex("install\nexit\nyes\n");
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(Boxes(run), (std::vector<std::string>{CantFind("mshdc.inf")}));
        EXPECT_EQ(c.Read(Machine), Golden("install", Machine));
        EXPECT_EQ(Deletions(run), ChipsetKeys);
        EXPECT_FALSE(Rebooted(run));
        EXPECT_FALSE(c.Exists(Usb));
    }
}

TEST(Install, FailedRenameStopsInstallButKeepsWhatWasDone)
{
    Sample c;
    std::string oldMshdc = c.Read(Mshdc);
    c.Write(Inf + "mshdc.in@/keep", "a backup name that cannot be deleted");
    PlovexRun run = c.Plovex("install\nexit\nno\n");
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(Boxes(run), (std::vector<std::string>{"rename error|Install Failure|0|1", RestartNo}));
    EXPECT_EQ(c.Read(Machine), Golden("install", Machine));
    EXPECT_EQ(c.Read(Mshdc), oldMshdc);
    EXPECT_EQ(c.Read(Inf + "out.inf"), Golden("install", Mshdc)); // the new text waits in the work file
    EXPECT_FALSE(c.Exists(Usb));                         // later targets are not touched
    EXPECT_EQ(Deletions(run), ChipsetKeys);
}

TEST(Install, TwiceAddsNothingTwiceAndInstallUninstallInstallRestoresEveryLine)
{
    Sample c;
    PlovexRun once = c.Plovex("install\nexit\nno\n");
    std::string machine = c.Read(Machine), mshdc = c.Read(Mshdc), usb = c.Read(Usb);
    PlovexRun twice = c.Plovex("install\nexit\nno\n");
    EXPECT_EQ(Boxes(twice), Boxes(once));
    EXPECT_EQ(Deletions(twice), Deletions(once));
    EXPECT_EQ(c.Read(Machine), machine);
    EXPECT_EQ(c.Read(Mshdc), mshdc);
    EXPECT_EQ(c.Read(Usb), usb);

    Sample d; // in one run of the program
    PlovexRun run = d.Plovex("install\nuninstall\ninstall\nexit\nno\n");
    EXPECT_EQ(Boxes(run), (std::vector<std::string>{Done, Undone, Done, RestartNo}));
    EXPECT_EQ(d.Read(Machine), machine);
    EXPECT_EQ(d.Read(Mshdc), mshdc);
    EXPECT_EQ(d.Read(Usb), usb); // the emptied usb.inf is patched whole again
}

// ---- Uninstall ------------------------------------------------------------------

TEST(Uninstall, MissingUsbInfEndsOnlyTheCommand)
{
    { // only USB: the message, then the dialog is back
        Sample c;
        auto before = c.Snapshot();
        PlovexRun run = c.Plovex("uncheck chipset\nuninstall\nexit\n");
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(Boxes(run), (std::vector<std::string>{CantFind("usb.inf")}));
        EXPECT_EQ(c.Snapshot(), before);
    }
    { // both: machine.inf is done first and stays done
        Sample c;
        c.Write(Machine, "[MS_SYS]\nx\n"); // bare LF: the rewrite shows
        PlovexRun run = c.Plovex("uninstall\nexit\nno\n");
        EXPECT_EQ(Boxes(run), (std::vector<std::string>{CantFind("usb.inf"), RestartNo}));
        EXPECT_EQ(c.Read(Machine), "[MS_SYS]\r\nx\r\n");
        EXPECT_EQ(Deletions(run), ChipsetKeys);
    }
}

TEST(Uninstall, MissingMachineInfEndsTheProgram)
{
    Sample c;
    std::filesystem::remove(c.Path(Machine));
    c.Write(Usb, "a;Plovex\r\n");
    auto before = c.Snapshot();
    PlovexRun run = c.Plovex("uninstall\nexit\nno\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(Boxes(run), (std::vector<std::string>{CantFind("machine.inf")}));
    EXPECT_EQ(c.Snapshot(), before); // the USB group never ran
}

TEST(Uninstall, FailedRenameLeavesUsbInfAlone)
{
    Sample c;
    c.Write(Usb, "x;Plovex\r\n");
    c.Write(Inf + "machine.in@/keep", "");
    PlovexRun run = c.Plovex("uninstall\nuninstall\nexit\n");
    EXPECT_EQ(Boxes(run), (std::vector<std::string>{"Rename Error|Uninstall failure|0|1",
                                                     "Rename Error|Uninstall failure|0|1"}));
    EXPECT_EQ(c.Read(Usb), "x;Plovex\r\n");
    EXPECT_TRUE(Deletions(run).empty());
}

// ---- the dialog and the platform --------------------------------------------------------

TEST(Dialog, PlatformWarning)
{
    for (const char *os : {"nt", "win32s"}) {
        Sample c;
        auto before = c.Snapshot();
        PlovexRun no = c.Plovex("no\n", {"--os", os});
        EXPECT_EQ(no.code, 0);
        EXPECT_EQ(Boxes(no), (std::vector<std::string>{
                                 R"(Warning| The OS is not Windows 95 system.\n Continue, anyway?|68|7)"}));
        EXPECT_EQ(c.Snapshot(), before);
    }
    // Yes goes on as on Windows 95 (for nt, the golden test shows it).
    Sample c;
    PlovexRun yes = c.Plovex("yes\ninstall\nexit\nno\n", {"--os", "win32s"});
    EXPECT_EQ(yes.code, 0);
    EXPECT_EQ(Boxes(yes), (std::vector<std::string>{
                              R"(Warning| The OS is not Windows 95 system.\n Continue, anyway?|68|6)", Done, RestartNo}));
    EXPECT_EQ(c.Read(Machine), Golden("install", Machine)); // a foreign platform is not a service release
}

TEST(Dialog, EscapeAndOtherCommandsDoNothing)
{
    Sample c;
    auto before = c.Snapshot();
    PlovexRun run = c.Plovex("escape\nescape\nexit\n");
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(Boxes(run).empty()); // no restart prompt either: nothing was replaced
    EXPECT_EQ(c.Snapshot(), before);
}

// ---- the runner's own errors ------------------------------------------------------------

TEST(RunnerErrors, ClearMessageExitCodeTwoNothingWritten)
{
    struct Case {
        const char *what, *script;
        std::vector<std::string> options;
        const char *message;
    };
    const Case cases[] = {
        {"unknown option", "install\nexit\n", {"--frobnicate"}, "--frobnicate"},
        {"unknown script word", "install\ninstal\nexit\n", {}, "2: not understood"},
        {"input ends before Exit", "install\n", {}, "never presses Exit"},
        {"unreadable registry", "install\nexit\n", {"--registry", "/nonexistent/hklm.reg"}, "cannot be read"},
        {"bad --os", "install\nexit\n", {"--os", "win98"}, "win98"},
    };
    for (const Case &k : cases) {
        Sample c;
        auto before = c.Snapshot();
        PlovexRun run = c.Plovex(k.script, k.options);
        EXPECT_EQ(run.code, 2) << k.what;
        EXPECT_NE(run.err.find(k.message), std::string::npos) << k.what << ": " << run.err;
        EXPECT_EQ(c.Snapshot(), before) << k.what;
    }
    for (const char *registry : {"REGEDIT4\r\n\r\nnot a key\r\n", "REGEDIT5\r\n", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Enum\r\n"}) {
        Sample c;
        c.Write("SYSTEM.REG", registry);
        auto before = c.Snapshot();
        PlovexRun run = c.Plovex("install\nexit\n");
        EXPECT_EQ(run.code, 2) << registry;
        EXPECT_NE(run.err.find("SYSTEM.REG: line "), std::string::npos) << run.err;
        EXPECT_EQ(c.Snapshot(), before);
    }
}

// A script that does not fit the boxes met: exit code 2 while nothing has been
// written, 3 once the program has changed files, and then standard error and
// the log say what had been done.
TEST(RunnerErrors, AScriptThatDoesNotFitTheBoxesSaysWhatWasDone)
{
    Sample c;
    PlovexRun run = c.Plovex("install\nexit\nexit\n"); // the restart prompt wants yes or no
    EXPECT_EQ(run.code, 3);
    for (const char *said : {"line 3", "a Yes/No box is open", "C:\\WINDOWS\\inf\\machine.inf",
                             "C:\\WINDOWS\\inf\\mshdc.inf", "C:\\WINDOWS\\inf\\usb.inf", "deleted 6 device keys"})
        EXPECT_NE(run.err.find(said), std::string::npos) << said << " in: " << run.err;
    ASSERT_GE(run.log.size(), 2u);
    EXPECT_NE(run.log[run.log.size() - 2].find("\"event\":\"error\""), std::string::npos);
    EXPECT_EQ(run.log.back(), R"({"event":"exit","code":3})");

    Sample d;
    auto before = d.Snapshot();
    PlovexRun stray = d.Plovex("yes\nexit\n");
    EXPECT_EQ(stray.code, 2);
    EXPECT_NE(stray.err.find("no Yes/No box is open"), std::string::npos) << stray.err;
    EXPECT_EQ(d.Snapshot(), before);
}
