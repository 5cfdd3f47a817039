// The host's stand-in for Win32: what the runner and the tests may set and see
// beyond the Win32 names of platform/platform.h. Drive C: is a host folder,
// file names compare case-insensitively, a rename never replaces, the registry
// is a REGEDIT4 file, and the dialog and message boxes go wherever the runner
// sends them.
#ifndef PLOVEX_HOST_H
#define PLOVEX_HOST_H

#include "platform/platform.h"

#include <functional>
#include <string>
#include <vector>

namespace host {

// ---- files -------------------------------------------------------------------
// The folder that stands for drive C:. Paths on other drives do not exist.
void SetDriveC(const std::string &folder);
// The host path of a Win32 path, each existing component matched regardless
// of case; empty when the path leads nowhere.
std::string HostPath(const std::string &windowsPath);
int OpenHandleCount();
// Every Win32 path the program has created, written, renamed, deleted or
// given attributes, in the order of its first change.
std::vector<std::string> ChangedFiles();
void ForgetChangedFiles();
// What process exit does with the handles, for tests that catch ProcessExit.
void CloseAllHandles();

// ---- fault injection (tests only) -------------------------------------------
// Makes the n-th call from now (1-based) of one operation fail as the system
// would report it; n = 0 disarms. Each operation counts its own calls.
enum class Operation { CreateFile, ReadFile, WriteFile, FlushFileBuffers, CloseHandle, MoveFile, DeleteFile,
                       GetFileAttributes, SetFileAttributes, RegistryWrite, Count };
void FailNth(Operation operation, int n);
bool FaultFired();            // the armed fault has gone off since FailNth
int CallCount(Operation operation); // calls since the last ResetFaults
// A crash instead of a failure: the process ends with _exit(CRASH_EXIT_CODE)
// in place of the n-th call (1-based) of any operation from now; 0 disarms.
enum { CRASH_EXIT_CODE = 86 };
void CrashAtCall(int n);
int TotalCalls(); // calls of every operation since the last ResetFaults
void ResetFaults();
bool FaultDue(Operation operation); // called by each stand-in; true: fail this call

// ---- system ------------------------------------------------------------------
enum class Os { Win95, Win95Osr2, Nt, Win32s };
void SetOs(Os os);
// Windows 95 as an installation's registry tells it: VersionNumber ("4.00.950")
// gives the version and build, SubVersionNumber the service-release text.
void SetWindows95Version(const std::string &versionNumber, const std::string &subVersionNumber);
void SetVersionFails(bool fails);           // GetVersionExA returns FALSE
void SetWindowsDirectory(const std::string &path); // "" makes GetWindowsDirectoryA fail

// ExitProcess closes every handle and throws this; the runner's main catches it.
struct ProcessExit {
    int code;
};

// ---- dialog and message boxes -----------------------------------------------
using MessageBoxHandler = std::function<int(LPCSTR text, LPCSTR caption, UINT type)>;
void SetMessageBoxHandler(MessageBoxHandler handler);
// Without a handler, boxes are recorded here; OK boxes answer IDOK, Yes/No boxes
// take the next of PendingAnswers (IDNO when there is none).
struct MessageBoxRecord {
    std::string text, caption;
    UINT type;
    int answer;
};
extern std::vector<MessageBoxRecord> MessageBoxes;
extern std::vector<int> PendingAnswers;

// The one dialog the program has. DialogBoxParamA sends WM_INITDIALOG, then
// hands the dialog to the runner's loop until EndDialog.
struct Dialog {
    DLGPROC proc = nullptr;
    bool ended = false;
    INT_PTR result = 0;
    bool shown = false;
    int chipsetCheck = BST_UNCHECKED;
    int usbCheck = BST_UNCHECKED;
};
extern Dialog MainDialogState;
HWND DialogWindow();
using DialogLoop = std::function<void(Dialog &dialog)>;
void SetDialogLoop(DialogLoop loop);
// A click as the dialog manager delivers it: an auto check box toggles, then
// WM_COMMAND goes to the dialog procedure.
void Click(int controlId);

// ExitWindowsEx records the request here.
extern int RebootRequests;
using RebootHandler = std::function<void()>;
void SetRebootHandler(RebootHandler handler);

// ---- registry ----------------------------------------------------------------
// HKEY_LOCAL_MACHINE as a file: a Windows 9x hive (SYSTEM.DAT, signature CREG)
// or a REGEDIT4 text, told apart by content. Loading refuses a file it cannot
// read, parse or later replace (a read-only REGEDIT4 file, a folder that takes
// no new file), naming the line or the place and the reason; a symbolic link
// is followed to the file it names. Deletions are kept in memory and written
// back by WriteRegistryChanges, which the file calls, MessageBoxA and
// ExitProcess call first: one rewrite per group. Before a hive's first change
// its untouched copy is kept beside it as SYSTEM.PLX, never overwritten.
bool LoadRegistry(const std::string &path, std::string &error);
void UseEmptyRegistry();
std::string RegistryFile(); // the file in use, links resolved; empty: none
bool RegistryIsHive();
// `key` is given in full ("HKEY_LOCAL_MACHINE\\...").
bool RegistryKeyExists(const std::string &key);
// A string value of a key; false when the key or the value is missing.
bool ReadRegistryString(const std::string &key, const std::string &name, std::string &value);
void WriteRegistryChanges();
bool RegistryWriteFailed(); // a write back has failed during this run
// Told of every RegDeleteKeyA once its outcome is on disk, in call order:
// `failure` is empty, or why the file could not be written (the key stays).
using RegistryDeleteHandler = std::function<void(LPCSTR key, bool found, const std::string &failure)>;
void SetRegistryDeleteHandler(RegistryDeleteHandler handler);

// ---- terminal front end (terminal.cpp) ---------------------------------------
// The dialog and the message boxes drawn with ncurses on the terminal. The
// screen is taken on first use and given back by EndTerminal (also when the
// process ends through ExitProcess).
void RunTerminalDialog(Dialog &dialog); // a DialogLoop: returns once the dialog has ended
int TerminalMessageBox(LPCSTR text, LPCSTR caption, UINT type);
void EndTerminal();

// Resets every setting and record above to its start.
void Reset();

} // namespace host

#endif
