// Fault injection for tests, in the manner of a syscall table with a countdown:
// the n-th call of one chosen operation fails, every other call runs as usual.
#include "platform/host/host.h"

namespace {
const int OPERATIONS = (int)host::Operation::Count;
int Calls[OPERATIONS];
host::Operation Armed;
int Countdown; // calls of the armed operation left before the failing one; 0: disarmed
bool Fired;
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

void ResetFaults()
{
    for (int &calls : Calls)
        calls = 0;
    Countdown = 0;
    Fired = false;
}

bool FaultDue(Operation operation)
{
    Calls[(int)operation]++;
    if (Countdown == 0 || operation != Armed)
        return false;
    if (--Countdown > 0)
        return false;
    Fired = true;
    return true;
}

} // namespace host
