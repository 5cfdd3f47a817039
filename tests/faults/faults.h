// Help for the fault tests: a copy of the sample Windows folder, the host made
// ready for a command in this process, and runs of the real `plovex` binary
// as a child with a time limit and its peak memory.
#ifndef PLOVEX_TESTS_FAULTS_H
#define PLOVEX_TESTS_FAULTS_H

#include "tests/models.h"
#include "tests/scratch.h"

#include <string>
#include <vector>

namespace faults {

// Copies sample/WINDOWS (and SYSTEM.REG when `registry`) into `folder`.
void CopySample(const std::string &folder, bool registry = true);
std::string SamplePath(const std::string &relative);

// Copies a folder with everything in it (file modes kept).
void CopyFolder(const std::string &from, const std::string &to);

// The registry file of a drive: its SYSTEM.REG, or else WINDOWS/SYSTEM.DAT.
std::string RegistryOf(const std::string &root);

// The host as the dialog leaves it after WM_INITDIALOG, drive C: at `root` and
// its registry file loaded, both group boxes checked: ready for OnInstall or
// OnUninstall in this process. False, with the reason, when that fails.
bool StartDialog(const std::string &root, std::string &error);

// One run of the host runner.
struct RunResult {
    bool exited = false;   // ended by exit, not by a signal or the time limit
    int code = -1;         // exit code, or the signal number when !exited
    bool timedOut = false;
    long peakKiB = 0;      // ru_maxrss of the child
    double seconds = 0;
    std::string out, err;
};
// Runs `plovex` with `args`, the script on standard input; kills it after
// `limitSeconds`.
RunResult RunPlovex(const std::vector<std::string> &args, const std::string &script, int limitSeconds);

} // namespace faults

#endif
