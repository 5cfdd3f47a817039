// Process-wide state and its queries of the platform and the main dialog.
#include "state/state.h"
#include "res/resource.h"

char WindowsDirectory[WINDOWS_DIRECTORY_SIZE];
HWND MainDialog;
BYTE RestartFlag;
BYTE Unattended;
BYTE ChosenGroups;

int GetPlatformKind()
{
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version; // 148
    if (!GetVersionExA(&version))
        return OTHER_PLATFORM; // an unanswered question counts as a foreign platform
    if (version.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS)
        return OTHER_PLATFORM;
    return version.szCSDVersion[0] == '\0' ? WINDOWS_95 : WINDOWS_95_SERVICE_RELEASE;
}

static LRESULT ChosenCheck(BYTE group)
{
    return (ChosenGroups & group) ? BST_CHECKED : BST_UNCHECKED;
}

LRESULT IsChipsetChecked()
{
    if (Unattended)
        return ChosenCheck(CHIPSET_GROUP);
    return SendDlgItemMessageA(MainDialog, IDC_CHIPSET, BM_GETCHECK, 0, 0);
}

LRESULT IsUsbChecked()
{
    if (Unattended)
        return ChosenCheck(USB_GROUP);
    return SendDlgItemMessageA(MainDialog, IDC_USB, BM_GETCHECK, 0, 0);
}
