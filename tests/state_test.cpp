// Process-wide state: the platform kind, asked afresh on every call, and the
// restart flag, which no later command clears.
#include "tests/fixtures/inf_texts.h"
#include "app/state.h"
#include "commands/commands.h"
#include "platform/host/faults.h"
#include "platform/host/reset.h"
#include "platform/host/system.h"
#include "platform/host/ui.h"
#include "res/resource.h"

#include <gtest/gtest.h>

namespace {

TEST(State, PlatformKindFollowsTheVersionOnEveryCall)
{
    host::Reset();
    struct Case {
        host::Os os;
        bool versionFails;
        int kind;
    } cases[] = {
        {host::Os::Win95, false, 1},  {host::Os::Win95Osr2, false, 2}, {host::Os::Nt, false, 0},
        {host::Os::Win32s, false, 0}, {host::Os::Win95Osr2, true, 0},  {host::Os::Win95, false, 1},
    };
    for (const Case &c : cases) {
        host::SetOs(c.os);
        host::SetVersionFails(c.versionFails);
        EXPECT_EQ(GetPlatformKind(), c.kind) << (int)c.os << " " << c.versionFails;
    }
}

TEST(State, RestartFlagStaysSetWhateverLaterCommandsDo)
{
    TempDrive drive;
    PrepareCommand(drive, true, false);
    drive.Write("WINDOWS/INF/MACHINE.INF", fixtures::MachineInf());
    drive.Write("WINDOWS/INF/MSHDC.INF", fixtures::MshdcInf());
    OnInstall();
    ASSERT_EQ(RestartFlag, 1);

    host::MainDialogState.checks[IDC_CHIPSET] = BST_UNCHECKED; // no group chosen
    OnUninstall();
    host::MainDialogState.checks[IDC_USB] = BST_CHECKED; // usb.inf missing under Uninstall
    OnUninstall();
    host::MainDialogState.checks[IDC_CHIPSET] = BST_CHECKED;
    host::FailNth(host::Operation::MoveFile, 1); // a failed commit
    OnUninstall();
    EXPECT_EQ(RestartFlag, 1);
    std::vector<std::string> captions;
    for (const host::MessageBoxRecord &box : host::MessageBoxes)
        captions.push_back(box.caption);
    EXPECT_EQ(captions, (std::vector<std::string>{"OK", "Do what?", "File Open Error", "Rename Error"}));
}

} // namespace
