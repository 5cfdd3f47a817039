// Fault injection, for tests only (faults.cpp): the file and registry stand-ins
// count their calls of each operation, and a test makes the n-th call of one
// operation fail as the system would report it, or ends the process in place
// of the n-th call of any operation. Nothing is armed unless a test arms it;
// the runner never does. The stand-ins' side of the hook is faulthook.h.
#ifndef PLOVEX_HOST_FAULTS_H
#define PLOVEX_HOST_FAULTS_H

namespace host {

// The counted operations; RegistryWrite is each step of writing the registry
// file back, ImageWrite each write into a disk image that stands for drive C:.
enum class Operation { CreateFile, ReadFile, WriteFile, FlushFileBuffers, CloseHandle, MoveFile, DeleteFile,
                       GetFileAttributes, SetFileAttributes, RegistryWrite, ImageWrite, Count };

// Makes the n-th call from now (1-based) of one operation fail; n = 0 disarms.
// One fault is armed at a time; each operation counts its own calls.
void FailNth(Operation operation, int n);
bool FaultFired();                  // the armed fault has gone off since FailNth
int CallCount(Operation operation); // calls since the last ResetFaults

// A crash instead of a failure: the process ends with _exit(CRASH_EXIT_CODE)
// in place of the n-th call (1-based) of any operation from now; 0 disarms.
enum { CRASH_EXIT_CODE = 86 };
void CrashAtCall(int n);
int TotalCalls(); // calls of every operation since the last ResetFaults

// Every count back to 0, nothing armed.
void ResetFaults();

} // namespace host

#endif
