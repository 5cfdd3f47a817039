// Fault injection for tests, in the manner of a syscall table with a countdown:
// the n-th call of one chosen operation fails, every other call runs as usual.
#include "platform/host/faulthook.h"

#include <unistd.h>

namespace {
const int OPERATIONS = (int)host::Operation::Count;
int Calls[OPERATIONS];
host::Operation Armed;
int Countdown; // calls of the armed operation left before the failing one; 0: disarmed
bool Fired;
int Total;   // calls of every operation
int CrashAt; // the call that ends the process instead; 0: none
} // namespace

namespace host {

void FailNth(Operation operation, int n)
{
    Armed = operation;
    Countdown = n;
    Fired = false;
}

bool FaultFired()
{
    return Fired;
}

int CallCount(Operation operation)
{
    return Calls[(int)operation];
}

void CrashAtCall(int n)
{
    CrashAt = n > 0 ? Total + n : 0;
}

int TotalCalls()
{
    return Total;
}

void ResetFaults()
{
    for (int &calls : Calls)
        calls = 0;
    Countdown = 0;
    Fired = false;
    Total = 0;
    CrashAt = 0;
}

bool FaultDue(Operation operation)
{
    Calls[(int)operation]++;
    if (++Total == CrashAt)
        _exit(CRASH_EXIT_CODE); // as a killed process: nothing more is written
    if (Countdown == 0 || operation != Armed)
        return false;
    if (--Countdown > 0)
        return false;
    Fired = true;
    return true;
}

} // namespace host
