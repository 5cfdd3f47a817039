// The dialog's two commands and the device registry clean-up that follows a
// replaced file.
#ifndef PLOVEX_COMMANDS_H
#define PLOVEX_COMMANDS_H

#include "platform/platform.h"

// 1 when the root opened and the deletion was attempted, 0 otherwise; it does
// not tell whether the key existed.
int DeleteDeviceKey(HKEY root, LPCSTR path);
void ForgetChipsetDevices(); // deletes the keys of ChipsetDeviceKeys, in order
void ForgetUsbDevices();     // deletes the keys of UsbDeviceKeys, in order

// The device keys below HKEY_LOCAL_MACHINE, defined here so that their counts
// are known wherever they are used (std::size). Not sorted: this is the order
// of the deletions. Besides the machine.inf ids the chipset list holds the two
// IDE controllers of mshdc.inf (4th and 6th) and one SiS device that no INF
// line names (5th).
inline constexpr const char *ChipsetDeviceKeys[] = {
    "Enum\\PCI\\VEN_8086&DEV_7110", "Enum\\PCI\\VEN_8086&DEV_7100", "Enum\\PCI\\VEN_8086&DEV_7113",
    "Enum\\PCI\\VEN_1106&DEV_0571", "Enum\\PCI\\VEN_1039&DEV_5513", "Enum\\PCI\\VEN_8086&DEV_7111",
    "Enum\\PCI\\VEN_8086&DEV_7180", "Enum\\PCI\\VEN_8086&DEV_7181", "Enum\\PCI\\VEN_8086&DEV_7190",
    "Enum\\PCI\\VEN_8086&DEV_7191", "Enum\\PCI\\VEN_8086&DEV_7192", "Enum\\PCI\\VEN_1039&DEV_5571",
    "Enum\\PCI\\VEN_1039&DEV_5597", "Enum\\PCI\\VEN_1039&DEV_5591", "Enum\\PCI\\VEN_1039&DEV_0001",
    "Enum\\PCI\\VEN_1039&DEV_0009", "Enum\\PCI\\VEN_1106&DEV_0597", "Enum\\PCI\\VEN_1106&DEV_3040",
    "Enum\\PCI\\VEN_1106&DEV_0586", "Enum\\PCI\\VEN_1106&DEV_8598",
};

inline constexpr const char *UsbDeviceKeys[] = {
    "Enum\\PCI\\VEN_8086&DEV_7112",
    "Enum\\PCI\\VEN_8086&DEV_7020",
    "Enum\\PCI\\VEN_1039&DEV_7001",
    "Enum\\PCI\\VEN_1106&DEV_3038",
};

// The two buttons' commands; true when the command ran to its end (its
// completion message shown), false when it stopped on the way.
bool OnInstall();
int InstallDrivers(); // 1 when it ran through, 0 after a failed commit
bool OnUninstall();

#endif
