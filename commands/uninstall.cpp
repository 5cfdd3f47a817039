// Uninstall: drops every line ending with the installation marker from
// machine.inf (chipset group) and usb.inf (USB group). mshdc.inf keeps its
// lines.
#include "commands/commands.h"
#include "state/state.h"
#include "state/messages.h"
#include "inf/replace.h"
#include "inf/linestream.h"

static const RenameFailureMessage UninstallRenameFailure = {"Uninstall failure", "Rename Error"};

// Strips the open target and replaces it; false when the command must end.
static bool StripTarget()
{
    OpenWork(WorkPath);
    StripMarkedLines();
    if (!CommitTarget(TargetPath, WorkPath, BackupPath, UninstallRenameFailure))
        return false;
    RestartFlag = 1;
    return true;
}

bool OnUninstall()
{
    ClearCommandBuffers();
    if (IsChipsetChecked() != BST_CHECKED && IsUsbChecked() != BST_CHECKED) {
        ShowMessage(" Please choice drivers!", "Do what?", MB_OK | MB_ICONQUESTION);
        return false;
    }
    RecoverTargets();
    if (IsChipsetChecked() == BST_CHECKED) {
        BuildPaths(MACHINE_INF);
        if (!OpenTarget(TargetPath)) {
            ReportMissingTarget(TargetPath);
            ExitProgram(1);
        }
        if (!StripTarget())
            return false;
        ForgetChipsetDevices();
    }
    if (IsUsbChecked() == BST_CHECKED) {
        BuildPaths(USB_INF);
        if (!OpenTarget(TargetPath)) {
            ReportMissingTarget(TargetPath); // usb.inf is never created here
            return false;
        }
        if (!StripTarget())
            return false;
        ForgetUsbDevices();
    }
    if (RestartFlag)
        ShowMessage("The utility has uninstalled completely!", "OK", MB_OK);
    return true;
}
