// Process-wide state shared by the dialog and the commands, and the small
// queries they ask of the platform and of the main dialog. The layer just above
// the platform: every other part may include it; it needs only the platform and
// the resource ids.
#ifndef PLOVEX_STATE_H
#define PLOVEX_STATE_H

#include "platform/platform.h"

enum { WINDOWS_DIRECTORY_SIZE = 80 };

extern char WindowsDirectory[WINDOWS_DIRECTORY_SIZE]; // filled once at WM_INITDIALOG
extern HWND MainDialog;                               // the main dialog, for the check-box queries
extern BYTE RestartFlag;                              // a target was replaced this run; never cleared

// An unattended run (/S or /U) has no dialog and shows no message box; the
// check-box queries then answer with the groups its switches chose.
enum { CHIPSET_GROUP = 1, USB_GROUP = 2 };
extern BYTE Unattended;
extern BYTE ChosenGroups;

// What GetPlatformKind answers.
enum PlatformKind {
    OTHER_PLATFORM = 0,             // not the Windows 95 family, or the version cannot be asked
    WINDOWS_95 = 1,                 // Windows 95 without a service-release text
    WINDOWS_95_SERVICE_RELEASE = 2, // Windows 95 with a service-release text
};
// A PlatformKind; asked afresh on every call.
int GetPlatformKind();

// BM_GETCHECK of the two group boxes, or the unattended run's choice as it
// would give it; callers compare with BST_CHECKED.
LRESULT IsChipsetChecked();
LRESULT IsUsbChecked();

#endif
