// What the host's system calls answer (system.cpp): GetVersionExA,
// GetWindowsDirectoryA and AnotherInstanceRuns as the runner or a test sets
// them (until then: Windows 95 retail, C:\WINDOWS, none), and how ExitProcess
// ends the program here.
#ifndef PLOVEX_HOST_SYSTEM_H
#define PLOVEX_HOST_SYSTEM_H

#include <string>

namespace host {

enum class Os { Win95, Win95Osr2, Nt, Win32s };
void SetOs(Os os);
// Windows 95 as an installation's registry tells it: VersionNumber ("4.00.950")
// gives the version and build, SubVersionNumber the service-release text.
void SetWindows95Version(const std::string &versionNumber, const std::string &subVersionNumber);
void SetVersionFails(bool fails);                  // GetVersionExA returns FALSE
void SetWindowsDirectory(const std::string &path); // "" makes GetWindowsDirectoryA fail
// What AnotherInstanceRuns answers (false until set): the runner keeps runs
// apart by locking the Windows folder, so only tests set it.
void SetAnotherInstance(bool runs);

// ExitProcess writes the registry's pending changes, closes every handle and
// throws this in place of ending the process; whoever calls WinMain catches it.
struct ProcessExit {
    int code;
};

} // namespace host

#endif
