// A dry run (overlay_store.cpp): drive C: and the registry file are seen
// through an overlay, a Store (storage.h) in front of the store that holds
// them, which keeps every write in memory and reads through to that store for
// everything it has not changed. It answers as storage.h says a store answers,
// so the program, the commands and the runner run as usual and cannot tell;
// nothing reaches the store below. At the end the overlay says which files a
// run would have changed and how.
#ifndef PLOVEX_HOST_OVERLAY_H
#define PLOVEX_HOST_OVERLAY_H

#include "platform/host/storage.h"

#include <string>
#include <vector>

namespace host {

// From now on every store that drive C: or the registry is given is seen
// through its overlay: SetDriveC, SetDriveCStore and LoadRegistry put it in
// front. Call it before drive C: is set. EndDryRun drops the overlays and
// what they hold (host::Reset); set drive C: and the registry afresh after it.
void StartDryRun();
void EndDryRun();

// The store a run writes through: `store` itself, or in a dry run the overlay
// in front of it (one per store; an overlay is its own).
Store &SeenByRun(Store &store);

// A file whose bytes a run would change, created or deleted: its path from
// the root as the store spells it before and after ("" for no file) and its
// bytes before and after.
struct FileChange {
    std::string before, after;
    std::string oldBytes, newBytes;
};

// What the overlay `seen` holds below the folder `root` (a store path, "" for
// the store's root) that differs from the store below it, in the order of the
// first change of each name. Left out: files with the same bytes as before
// (made and deleted again, attributes alone), and files given whole by
// WriteWhole (the registry's, which a run tells as its keys). Empty when
// `seen` is no overlay.
std::vector<FileChange> DryRunChanges(Store &seen, const std::string &root);

} // namespace host

#endif
