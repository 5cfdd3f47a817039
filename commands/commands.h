// The dialog's two commands and the device registry clean-up that follows a
// replaced file.
#ifndef PLOVEX_COMMANDS_H
#define PLOVEX_COMMANDS_H

#include "platform/platform.h"

// 1 when the root opened and the deletion was attempted, 0 otherwise; it does
// not tell whether the key existed.
int DeleteDeviceKey(HKEY root, LPCSTR path);
void ForgetChipsetDevices(); // the 20 chipset device keys, in order
void ForgetUsbDevices();     // the 4 USB device keys, in order

extern const char *const ChipsetDeviceKeys[20];
extern const char *const UsbDeviceKeys[4];

void OnInstall();
int InstallDrivers(); // 1 when it ran through, 0 after a failed commit
void OnUninstall();

#endif
