// Device registry clean-up: deleting the device keys below Enum\PCI makes
// Windows detect the devices afresh against the rewritten INF files.
#include "commands/commands.h"

// Not sorted: this is the order of the deletions. Besides the machine.inf ids
// it holds the two IDE controllers of mshdc.inf (4th and 6th) and one SiS
// device that no INF line names (5th).
const char *const ChipsetDeviceKeys[20] = {
    "Enum\\PCI\\VEN_8086&DEV_7110", "Enum\\PCI\\VEN_8086&DEV_7100", "Enum\\PCI\\VEN_8086&DEV_7113",
    "Enum\\PCI\\VEN_1106&DEV_0571", "Enum\\PCI\\VEN_1039&DEV_5513", "Enum\\PCI\\VEN_8086&DEV_7111",
    "Enum\\PCI\\VEN_8086&DEV_7180", "Enum\\PCI\\VEN_8086&DEV_7181", "Enum\\PCI\\VEN_8086&DEV_7190",
    "Enum\\PCI\\VEN_8086&DEV_7191", "Enum\\PCI\\VEN_8086&DEV_7192", "Enum\\PCI\\VEN_1039&DEV_5571",
    "Enum\\PCI\\VEN_1039&DEV_5597", "Enum\\PCI\\VEN_1039&DEV_5591", "Enum\\PCI\\VEN_1039&DEV_0001",
    "Enum\\PCI\\VEN_1039&DEV_0009", "Enum\\PCI\\VEN_1106&DEV_0597", "Enum\\PCI\\VEN_1106&DEV_3040",
    "Enum\\PCI\\VEN_1106&DEV_0586", "Enum\\PCI\\VEN_1106&DEV_8598",
};

const char *const UsbDeviceKeys[4] = {
    "Enum\\PCI\\VEN_8086&DEV_7112",
    "Enum\\PCI\\VEN_8086&DEV_7020",
    "Enum\\PCI\\VEN_1039&DEV_7001",
    "Enum\\PCI\\VEN_1106&DEV_3038",
};

int DeleteDeviceKey(HKEY root, LPCSTR path)
{
    HKEY opened;
    if (RegOpenKeyA(root, NULL, &opened) != ERROR_SUCCESS)
        return 0;
    RegDeleteKeyA(opened, path); // Windows 95 takes the subkeys along; a missing key is fine
    RegCloseKey(opened);
    return 1;
}

void ForgetChipsetDevices()
{
    for (const char *path : ChipsetDeviceKeys)
        DeleteDeviceKey(HKEY_LOCAL_MACHINE, path);
}

void ForgetUsbDevices()
{
    for (const char *path : UsbDeviceKeys)
        DeleteDeviceKey(HKEY_LOCAL_MACHINE, path);
}
