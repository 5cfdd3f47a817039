// host::Reset: every part of the host back to its start, in one place, so that
// a part added to the host is reset wherever the host is.
#include "platform/host/reset.h"
#include "platform/host/faults.h"
#include "platform/host/files.h"
#include "platform/host/registry.h"
#include "platform/host/system.h"
#include "platform/host/ui.h"

namespace host {

void Reset()
{
    CloseAllHandles();
    ForgetChangedFiles();
    SetDriveC(".");
    SetOs(Os::Win95);
    SetVersionFails(false);
    SetWindowsDirectory("C:\\WINDOWS");
    SetAnotherInstance(false);
    SetMessageBoxHandler(nullptr);
    MessageBoxes.clear();
    PendingAnswers.clear();
    MainDialogState = Dialog();
    SetDialogLoop(nullptr);
    RebootRequests = 0;
    SetRebootHandler(nullptr);
    UseEmptyRegistry();
    SetRegistryDeleteHandler(nullptr);
    ResetFaults();
}

} // namespace host
