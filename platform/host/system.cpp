// The system questions and process exit, as the runner sets them up.
#include "platform/host/host.h"

#include <string.h>

namespace {
host::Os CurrentOs = host::Os::Win95;
bool VersionFails = false;
std::string WindowsDirectoryText = "C:\\WINDOWS";
} // namespace

namespace host {

void SetOs(Os os)
{
    CurrentOs = os;
}

void SetVersionFails(bool fails)
{
    VersionFails = fails;
}

void SetWindowsDirectory(const std::string &path)
{
    WindowsDirectoryText = path;
}

} // namespace host

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    if (VersionFails || !info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    struct Answer {
        DWORD major, minor, build, platform;
        const char *release;
    };
    static const Answer answers[] = {
        {4, 0, 0x040003B6, VER_PLATFORM_WIN32_WINDOWS, ""},   // Windows 95, 4.00.950
        {4, 0, 0x04000457, VER_PLATFORM_WIN32_WINDOWS, " B"}, // OSR2, 4.00.1111
        {4, 0, 1381, VER_PLATFORM_WIN32_NT, "Service Pack 6"}, // NT 4.0
        {1, 30, 0, VER_PLATFORM_WIN32s, ""},                   // Win32s on Windows 3.1
    };
    const Answer &a = answers[(int)CurrentOs];
    info->dwMajorVersion = a.major;
    info->dwMinorVersion = a.minor;
    info->dwBuildNumber = a.build;
    info->dwPlatformId = a.platform;
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    strcpy(info->szCSDVersion, a.release);
    return TRUE;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size)
{
    if (WindowsDirectoryText.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    UINT length = (UINT)WindowsDirectoryText.size();
    if (length + 1 > size)
        return length + 1; // too small: the size needed, the buffer untouched
    memcpy(buffer, WindowsDirectoryText.c_str(), length + 1);
    return length;
}

void WINAPI ExitProcess(UINT exitCode)
{
    host::WriteRegistryChanges();
    host::CloseAllHandles(); // as the system closes them when a process ends
    throw host::ProcessExit{(int)exitCode};
}

LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src)
{
    return strcpy(dst, src ? src : "");
}

LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src)
{
    return strcat(dst, src ? src : "");
}

int WINAPI lstrlenA(LPCSTR s)
{
    return s ? (int)strlen(s) : 0;
}

namespace host {

void Reset()
{
    CloseAllHandles();
    ForgetChangedFiles();
    SetDriveC(".");
    SetOs(Os::Win95);
    SetVersionFails(false);
    SetWindowsDirectory("C:\\WINDOWS");
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
