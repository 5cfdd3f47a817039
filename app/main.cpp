// The entry point and the main dialog: the platform check, the two commands
// behind their buttons, and the restart offered at Exit.
#include "app/main.h"
#include "state/state.h"
#include "state/messages.h"
#include "commands/commands.h"
#include "res/resource.h"

// A command's message boxes have no owner, so the dialog stays live while one
// is open; a button pressed then must not start a command inside a command.
static bool CommandRunning;

static void ExitDialog(HWND dialog)
{
    if (RestartFlag &&
        ShowMessage("You must restart your computer.\n Do you want to restart your computer now?", "Finish",
                    MB_YESNO, IDNO) == IDYES)
        ExitWindowsEx(EWX_REBOOT, 0);
    EndDialog(dialog, 1);
}

static void InitDialog(HWND dialog)
{
    MainDialog = dialog;
    UINT length = GetWindowsDirectoryA(WindowsDirectory, WINDOWS_DIRECTORY_SIZE);
    if (length == 0 || length >= WINDOWS_DIRECTORY_SIZE) {
        // Every path is built on this directory: never on an empty or cut one.
        WindowsDirectory[0] = '\0';
        ShowMessage("Can't find the Windows directory", "File Open Error", MB_OK | MB_ICONERROR);
        ExitProgram(1);
    }
    SendDlgItemMessageA(dialog, IDC_CHIPSET, BM_SETCHECK, BST_CHECKED, 0);
    SendDlgItemMessageA(dialog, IDC_USB, BM_SETCHECK, BST_CHECKED, 0);
    ShowWindow(dialog, SW_RESTORE);
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    if (message == WM_INITDIALOG) {
        InitDialog(dialog);
        return FALSE; // the dialog manager leaves the focus alone
    }
    if (message != WM_COMMAND)
        return FALSE;
    // The whole wParam is compared: a notification code in the high word is no button press.
    if (CommandRunning || (wParam != IDC_INSTALL && wParam != IDC_UNINSTALL && wParam != IDC_EXIT))
        return TRUE;
    CommandRunning = true;
    if (wParam == IDC_INSTALL)
        OnInstall();
    else if (wParam == IDC_UNINSTALL)
        OnUninstall();
    else
        ExitDialog(dialog);
    CommandRunning = false;
    return TRUE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    (void)previous;
    (void)commandLine;
    (void)show;
    if (GetPlatformKind() == OTHER_PLATFORM &&
        ShowMessage(" The OS is not Windows 95 system.\n Continue, anyway?", "Warning",
                    MB_YESNO | MB_ICONINFORMATION, IDNO) == IDNO)
        return EndRun(0);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, MainDialogProc, 0);
    return EndRun(0);
}
