// Process-wide state and its queries of the platform and the main dialog.
#include "state/state.h"
#include "res/resource.h"

char WindowsDirectory[WINDOWS_DIRECTORY_SIZE];
HWND MainDialog;
BYTE RestartFlag;

int GetPlatformKind()
{
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version; // 148
    if (!GetVersionExA(&version))
        return 0; // an unanswered question counts as a foreign platform
    if (version.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS)
        return 0;
    return version.szCSDVersion[0] == '\0' ? 1 : 2;
}

LRESULT IsChipsetChecked()
{
    return SendDlgItemMessageA(MainDialog, IDC_CHIPSET, BM_GETCHECK, 0, 0);
}

LRESULT IsUsbChecked()
{
    return SendDlgItemMessageA(MainDialog, IDC_USB, BM_GETCHECK, 0, 0);
}
