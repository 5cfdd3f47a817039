// Device registry clean-up: deleting the device keys below Enum\PCI makes
// Windows detect the devices afresh against the rewritten INF files.
#include "commands/commands.h"
#include "state/messages.h"

// What became of a device key, for the log of /L.
static void LogDeviceKey(LPCSTR outcome, LPCSTR path)
{
    LogLine(outcome, "HKEY_LOCAL_MACHINE\\", path);
}

int DeleteDeviceKey(HKEY root, LPCSTR path)
{
    HKEY opened;
    if (RegOpenKeyA(root, NULL, &opened) != ERROR_SUCCESS) {
        LogDeviceKey("Device key not deleted (no registry): ", path);
        return 0;
    }
    // Windows 95 takes the subkeys along; a missing key is fine.
    LONG result = RegDeleteKeyA(opened, path);
    RegCloseKey(opened);
    LogDeviceKey(result == ERROR_SUCCESS          ? "Device key deleted: "
                 : result == ERROR_FILE_NOT_FOUND ? "Device key not found: "
                                                  : "Device key not deleted: ",
                 path);
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
