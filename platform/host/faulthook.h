// The stand-ins' side of fault injection (faults.h): each file and registry
// stand-in asks here before it does its operation. Private to the host layer's
// own .cpp files (files.cpp, registry.cpp, faults.cpp); the program, the runner
// and the tests never include it.
#ifndef PLOVEX_HOST_FAULTHOOK_H
#define PLOVEX_HOST_FAULTHOOK_H

#include "platform/host/faults.h"

namespace host {

// Counts one call of `operation`. True: fail this call as the system would.
// Does not return when this is the call that CrashAtCall chose.
bool FaultDue(Operation operation);

} // namespace host

#endif
