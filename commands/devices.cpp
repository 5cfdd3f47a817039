// Device registry clean-up: deleting the device keys below Enum\PCI makes
// Windows detect the devices afresh against the rewritten INF files.
#include "commands/commands.h"

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
