// The whole host put back as a new process finds it: drive C: the current
// directory, no handle open, no change noted, Windows 95 with C:\WINDOWS, no
// handlers, no box or restart recorded, no registry, no fault armed, no dry
// run. For tests, benchmarks and fuzz targets that run the program many times
// in one process; the runner, which runs it once, never needs it.
#ifndef PLOVEX_HOST_RESET_H
#define PLOVEX_HOST_RESET_H

namespace host {

void Reset();

} // namespace host

#endif
