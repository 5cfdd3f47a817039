// The files and folders the runner is given (paths.cpp): which registry file to
// use, that the log and the script keep clear of what the program changes, and
// one run at a time per folder. Each refusal is a RunnerError, thrown before
// anything is written. Call these once the host's drive C: and Windows
// directory are set.
#ifndef PLOVEX_RUNNER_PATHS_H
#define PLOVEX_RUNNER_PATHS_H

#include "runner/options.h"

#include <string>

namespace runner {

// The registry file to use: --registry, or else the installation's own
// SYSTEM.DAT (any letter case) in its Windows folder; empty for none.
std::string RegistryPath(const Options &options);

// Locks the Windows folder (drive C: when there is none; nothing on a disk
// image, which its store locks itself) and the folder of a registry file on
// the host for the rest of the process; refuses a folder another run holds.
void LockFolders(const Options &options, const std::string &registryFile, bool driveCIsImage);

// Refuses the log or the script (`what`) when it is the registry file in use
// or lies on drive C: (is the disk image). An empty path and "-" (standard input) pass.
void CheckRunnerFile(const char *what, const std::string &path, const std::string &driveC);

} // namespace runner

#endif
