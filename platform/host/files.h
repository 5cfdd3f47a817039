// Drive C: of the host (files.cpp), behind the Win32 file calls of
// platform/platform.h. A Win32 path "C:\..." names a file below one host folder
// or in a disk image's volume (storage.h), each component matched regardless
// of letter case; other drives do not exist.
// The program owns the handles it opens and closes them itself; what is left
// open when the process ends is closed here. Results are copies the caller owns.
#ifndef PLOVEX_HOST_FILES_H
#define PLOVEX_HOST_FILES_H

#include "platform/host/storage.h"

#include <string>
#include <vector>

namespace host {

// The folder that stands for drive C:; "" is the current directory, as at start.
void SetDriveC(const std::string &folder);
// A store whose root is drive C: (a disk image's volume); the caller keeps it
// alive while it is in use.
void SetDriveCStore(Store &store);
// The store that holds drive C: now.
Store &DriveCStore();

// The store path of a Win32 path (on a folder, its host path): each existing
// component as the store spells it, a missing last one as written. Empty when
// the path leads nowhere: another drive, the root itself, a folder on the way
// missing, or a name that two host entries match in different case.
std::string HostPath(const std::string &windowsPath);

// Handles open now; a command that leaks one shows here.
int OpenHandleCount();

// Every Win32 path the program has created, written, renamed, deleted or
// given attributes, as it spelled the path, in the order of its first change;
// empty: nothing changed since the last ForgetChangedFiles.
std::vector<std::string> ChangedFiles();
void ForgetChangedFiles();

// Closes every handle still open, as the system does when a process ends:
// ExitProcess calls it, and the runner when it stops a run itself.
void CloseAllHandles();

} // namespace host

#endif
