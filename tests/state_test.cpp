// Process-wide state: the platform kind, asked afresh on every call, and the
// restart flag, which no later command clears.
#include "tests/fixtures/inf_texts.h"
#include "state/state.h"
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
        {host::Os::Win95, false, WINDOWS_95},
        {host::Os::Win95Osr2, false, WINDOWS_95_SERVICE_RELEASE},
        {host::Os::Nt, false, OTHER_PLATFORM},
        {host::Os::Win32s, false, OTHER_PLATFORM},
        {host::Os::Win95Osr2, true, OTHER_PLATFORM},
        {host::Os::Win95, false, WINDOWS_95},
    };
    for (const Case &c : cases) {
        host::SetOs(c.os);
        host::SetVersionFails(c.versionFails);
        EXPECT_EQ(GetPlatformKind(), c.kind) << (int)c.os << " " << c.versionFails;
    }
}

TEST(State, RestartFlagStaysSetWhateverLaterCommandsDo)
{
    Scratch drive;
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
