// Install: the chipset group patches machine.inf and mshdc.inf, the USB group
// patches usb.inf or creates it whole; each replaced file sets the restart flag
// and is followed by its group's device key clean-up.
#include "commands/commands.h"
#include "state/state.h"
#include "state/messages.h"
#include "inf/replace.h"
#include "patches/patches.h"

static const RenameFailureMessage InstallRenameFailure = {"Install Failure", "rename error"};

// One target step; false when the commit failed and Install must stop.
static bool PatchTarget(TargetFile target, void (*patch)())
{
    BuildPaths(target);
    if (!OpenTarget(TargetPath)) {
        ReportMissingTarget(TargetPath);
        ExitProgram(1);
    }
    OpenWork(WorkPath);
    patch();
    return CommitTarget(TargetPath, WorkPath, BackupPath, InstallRenameFailure);
}

int InstallDrivers()
{
    RecoverTargets(); // and the four buffers are empty
    if (IsChipsetChecked() == BST_CHECKED) {
        if (!PatchTarget(MACHINE_INF, PatchMachineInf))
            return 0;
        RestartFlag = 1;
        ForgetChipsetDevices();
        if (!PatchTarget(MSHDC_INF, PatchMshdcInf))
            return 0;
    }
    if (IsUsbChecked() == BST_CHECKED) {
        BuildPaths(USB_INF);
        if (!OpenTarget(TargetPath)) {
            // Only a usb.inf that is not there is written whole; one that is
            // there but cannot be read, or whose text waits under the backup
            // name, is never overwritten, and ends Install as the other
            // targets do.
            DWORD error = GetLastError();
            if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || BackupExists(BackupPath)) {
                ReportMissingTarget(TargetPath);
                ExitProgram(1);
            }
            CreateUsbInf(TargetPath, WorkPath);
            ForgetUsbDevices();
            return 1;
        }
        OpenWork(WorkPath);
        PatchUsbInf();
        if (!CommitTarget(TargetPath, WorkPath, BackupPath, InstallRenameFailure))
            return 0;
        RestartFlag = 1;
        ForgetUsbDevices();
    }
    return RestartFlag != 0;
}

bool OnInstall()
{
    if (IsChipsetChecked() != BST_CHECKED && IsUsbChecked() != BST_CHECKED) {
        ShowMessage(" Please choice drivers!", "Do what?", MB_OK | MB_ICONQUESTION);
        return false;
    }
    if (!InstallDrivers())
        return false;
    ShowMessage(" The utility has updated completely!", "OK", MB_OK);
    return true;
}
