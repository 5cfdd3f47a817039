// A dry run as the runner shows it (dry_run.cpp): the program runs as usual
// over overlays that keep every write in memory (platform/host/overlay.h),
// and at the end standard output says what a run would have changed: a
// unified diff of each file of drive C: whose bytes it would change (patch -p1
// in drive C:'s folder applies it), and the device keys it would delete.
#ifndef PLOVEX_RUNNER_DRY_RUN_H
#define PLOVEX_RUNNER_DRY_RUN_H

namespace runner {

// Before drive C: and the registry are set up.
void StartDryRun();

// Once the program has run (and the boxes are printed); nothing when this is
// no dry run.
void PrintDryRun();

} // namespace runner

#endif
