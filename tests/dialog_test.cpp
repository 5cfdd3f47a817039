// The main dialog procedure in-process: what WM_INITDIALOG leaves behind, which
// WM_COMMAND values are buttons, no command inside a command, and a Windows
// directory that cannot be had.
#include "tests/fixtures/inf_texts.h"
#include "app/main.h"
#include "state/state.h"
#include "platform/host/system.h"
#include "platform/host/ui.h"
#include "res/resource.h"

#include <gtest/gtest.h>

namespace {

INT_PTR Send(UINT message, WPARAM wParam)
{
    return MainDialogProc(host::DialogWindow(), message, wParam, 0);
}

TEST(DialogProc, InitDialogFillsTheStateAndLeavesTheFocusAlone)
{
    Scratch drive;
    PrepareCommand(drive, false, false);
    MainDialog = NULL;
    WindowsDirectory[0] = '\0';
    host::SetWindowsDirectory("C:\\WIN95");
    host::MainDialogState.proc = MainDialogProc;
    EXPECT_EQ(Send(WM_INITDIALOG, 0), FALSE);
    EXPECT_EQ(MainDialog, host::DialogWindow());
    EXPECT_STREQ(WindowsDirectory, "C:\\WIN95");
    EXPECT_EQ(host::MainDialogState.checks[IDC_CHIPSET], BST_CHECKED);
    EXPECT_EQ(host::MainDialogState.checks[IDC_USB], BST_CHECKED);
    EXPECT_TRUE(host::MainDialogState.shown);
    EXPECT_EQ(Send(0x0010 /* WM_CLOSE */, 0), FALSE);
}

TEST(DialogProc, OnlyTheWholeButtonIdIsACommand)
{
    Scratch drive;
    PrepareCommand(drive, false, false); // a command would only ask for a choice
    const WPARAM others[] = {IDCANCEL, IDOK, IDC_CHIPSET, IDC_USB, (1u << 16) | IDC_INSTALL,
                             (1u << 16) | IDC_UNINSTALL, (5u << 16) | IDC_EXIT};
    for (WPARAM wParam : others)
        EXPECT_EQ(Send(WM_COMMAND, wParam), TRUE) << wParam;
    EXPECT_TRUE(host::MessageBoxes.empty());
    EXPECT_FALSE(host::MainDialogState.ended);
    EXPECT_EQ(Send(WM_COMMAND, IDC_INSTALL), TRUE);
    EXPECT_EQ(Send(WM_COMMAND, IDC_UNINSTALL), TRUE);
    ASSERT_EQ(host::MessageBoxes.size(), 2u);
    EXPECT_EQ(host::MessageBoxes[0].caption, "Do what?");
}

// A command's boxes have no owner, so the dialog's buttons stay live while one
// is open: a press then is ignored rather than starting a command inside it.
TEST(DialogProc, NoCommandStartsInsideACommand)
{
    Scratch drive;
    PrepareCommand(drive, true, false);
    drive.Write("WINDOWS/INF/MACHINE.INF", fixtures::MachineInf());
    drive.Write("WINDOWS/INF/MSHDC.INF", fixtures::MshdcInf());
    std::vector<std::string> captions;
    host::SetMessageBoxHandler([&](LPCSTR, LPCSTR caption, UINT type) {
        captions.push_back(caption);
        for (WPARAM button : {IDC_INSTALL, IDC_UNINSTALL, IDC_EXIT})
            EXPECT_EQ(Send(WM_COMMAND, button), TRUE);
        return (type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
    });
    Send(WM_COMMAND, IDC_INSTALL);
    EXPECT_EQ(captions, std::vector<std::string>{"OK"});
    EXPECT_FALSE(host::MainDialogState.ended);
    Send(WM_COMMAND, IDC_EXIT); // once the command is over, buttons work again
    EXPECT_EQ(captions, (std::vector<std::string>{"OK", "Finish"}));
    EXPECT_TRUE(host::MainDialogState.ended);
}

TEST(DialogProc, NoWindowsDirectoryEndsTheProgramBeforeAnyFile)
{
    const std::string tooLong = "C:\\" + std::string(77, 'W'); // 80 characters: no room for the NUL
    for (const std::string &directory : {std::string(), tooLong}) {
        Scratch drive;
        PrepareCommand(drive);
        host::SetWindowsDirectory(directory);
        int code = -1;
        try {
            WinMain(NULL, NULL, (LPSTR) "", 0);
        } catch (const host::ProcessExit &exit) {
            code = exit.code;
        }
        EXPECT_EQ(code, 1);
        ASSERT_EQ(host::MessageBoxes.size(), 1u);
        EXPECT_EQ(host::MessageBoxes[0].caption, "File Open Error");
        EXPECT_EQ(host::MessageBoxes[0].type, MB_OK | MB_ICONERROR);
        EXPECT_STREQ(WindowsDirectory, "");
        EXPECT_FALSE(host::MainDialogState.shown);
    }
}

} // namespace
