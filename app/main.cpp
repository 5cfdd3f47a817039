// The entry point and the main dialog: the platform check, the two commands
// behind their buttons, and the restart offered at Exit. With /S or /U the same
// commands run without the dialog (switches.h).
#include "app/main.h"
#include "app/switches.h"
#include "state/state.h"
#include "state/messages.h"
#include "commands/commands.h"
#include "res/dialog.h"

// A command's message boxes have no owner, so the dialog stays live while one
// is open; a button pressed then must not start a command inside a command.
static bool CommandRunning;

static void RequestRestart()
{
    LogLine("Restart of Windows requested");
    ExitWindowsEx(EWX_REBOOT, 0);
}

// The restart prompt, when a command replaced a file this run. An unattended
// run is answered by /R (`restartWhenDone`).
static void OfferRestart(bool restartWhenDone)
{
    if (RestartFlag && ShowMessage("You must restart your computer.\n Do you want to restart your computer now?",
                                   "Finish", MB_YESNO, restartWhenDone ? IDYES : IDNO) == IDYES)
        RequestRestart();
}

static void ExitDialog(HWND dialog)
{
    OfferRestart(false);
    EndDialog(dialog, 1);
}

// Every path is built on this directory: never on an empty or cut one.
static void ReadWindowsDirectory()
{
    UINT length = GetWindowsDirectoryA(WindowsDirectory, WINDOWS_DIRECTORY_SIZE);
    if (length == 0 || length >= WINDOWS_DIRECTORY_SIZE) {
        WindowsDirectory[0] = '\0';
        ShowMessage("Can't find the Windows directory", "File Open Error", MB_OK | MB_ICONERROR);
        ExitProgram(1);
    }
}

static void InitDialog(HWND dialog)
{
    MainDialog = dialog;
    ReadWindowsDirectory();
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

// Install (/S) or Uninstall (/U) of the chosen groups without the dialog,
// through the buttons' own commands, then the restart of /R.
static int RunUnattended(const Switches &switches)
{
    ReadWindowsDirectory();
    bool ranThrough = switches.command == 'U' ? OnUninstall() : OnInstall();
    if (RestartFlag)
        OfferRestart(switches.restart);
    else if (ranThrough && switches.restart)
        RequestRestart(); // usb.inf created whole: the dialog would not ask, yet it is a change
    return ranThrough ? RAN_TO_ITS_END : STEP_FAILED;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    (void)previous;
    (void)show;
    Switches switches;
    bool good = ReadSwitches(commandLine, switches);
    Unattended = switches.command != 0;
    ChosenGroups = switches.groups;
    if (!OpenLog(switches.logPath) && good) {
        lstrcpyA(switches.problem, "/L: the log cannot be written");
        good = false;
    }
    LogLine(MAIN_CAPTION, " ", commandLine);
    // A second Plovex.exe ends here, before the platform check and before any
    // file is touched; the dialog's way brings the first one's dialog forward.
    if (AnotherInstanceRuns(!Unattended)) {
        LogLine("Another Plovex.exe is running: nothing done");
        return EndRun(Unattended ? ANOTHER_INSTANCE : 0);
    }
    if (!good) {
        char text[SWITCH_TEXT_SIZE + 40];
        lstrcpyA(text, switches.problem);
        lstrcatA(text, ".\nPlovex.exe /? lists the switches.");
        ShowMessage(text, "Bad switches", MB_OK | MB_ICONERROR);
        return EndRun(BAD_SWITCHES);
    }
    if (switches.help) {
        ShowMessage(SwitchList, MAIN_CAPTION, MB_OK | MB_ICONINFORMATION);
        return EndRun(0);
    }
    // Unattended, the warning is answered by /F.
    if (GetPlatformKind() == OTHER_PLATFORM &&
        ShowMessage(" The OS is not Windows 95 system.\n Continue, anyway?", "Warning", MB_YESNO | MB_ICONINFORMATION,
                    switches.force ? IDYES : IDNO) == IDNO) {
        if (!Unattended)
            return EndRun(0);
        LogLine("Not Windows 95: nothing done without /F");
        return EndRun(NOT_WINDOWS_95);
    }
    if (Unattended)
        return EndRun(RunUnattended(switches));
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, MainDialogProc, 0);
    return EndRun(0);
}
