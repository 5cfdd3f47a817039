// The system questions and process exit, as the runner sets them up.
#include "platform/platform.h"
#include "platform/host/files.h"
#include "platform/host/registry.h"
#include "platform/host/system.h"

#include <stdio.h>
#include <string.h>

namespace {

struct Answer {
    DWORD major, minor, build, platform;
    std::string release;
};

const Answer Answers[] = {
    {4, 0, 0x040003B6, VER_PLATFORM_WIN32_WINDOWS, ""},   // Windows 95, 4.00.950
    {4, 0, 0x04000457, VER_PLATFORM_WIN32_WINDOWS, " B"}, // OSR2, 4.00.1111
    {4, 0, 1381, VER_PLATFORM_WIN32_NT, "Service Pack 6"}, // NT 4.0
    {1, 30, 0, VER_PLATFORM_WIN32s, ""},                   // Win32s on Windows 3.1
};

Answer Current = Answers[0];
bool VersionFails = false;
std::string WindowsDirectoryText = "C:\\WINDOWS";
bool AnotherInstance = false;
} // namespace

namespace host {

void SetOs(Os os)
{
    Current = Answers[(int)os];
}

void SetWindows95Version(const std::string &versionNumber, const std::string &subVersionNumber)
{
    unsigned major = 4, minor = 0, build = 950;
    sscanf(versionNumber.c_str(), "%u.%u.%u", &major, &minor, &build);
    Current = {major, minor, (major & 0xFF) << 24 | (minor & 0xFF) << 16 | (build & 0xFFFF),
               VER_PLATFORM_WIN32_WINDOWS, subVersionNumber.substr(0, sizeof(OSVERSIONINFOA{}.szCSDVersion) - 1)};
}

void SetVersionFails(bool fails)
{
    VersionFails = fails;
}

void SetWindowsDirectory(const std::string &path)
{
    WindowsDirectoryText = path;
}

void SetAnotherInstance(bool runs)
{
    AnotherInstance = runs;
}

} // namespace host

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    if (VersionFails || !info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const Answer &a = Current;
    info->dwMajorVersion = a.major;
    info->dwMinorVersion = a.minor;
    info->dwBuildNumber = a.build;
    info->dwPlatformId = a.platform;
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    memcpy(info->szCSDVersion, a.release.c_str(), a.release.size());
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

bool AnotherInstanceRuns(bool bringItForward)
{
    (void)bringItForward; // no other dialog to bring forward here
    return AnotherInstance;
}
