// The runner's command line (options.cpp): its options, their defaults and
// the --help text. Parsing prints the help, the version or a usage error itself.
#ifndef PLOVEX_RUNNER_OPTIONS_H
#define PLOVEX_RUNNER_OPTIONS_H

#include <string>

namespace runner {

// As given; an empty os, registry, script or log was not given, nor a partition of 0.
struct Options {
    std::string driveC = ".", windowsDir = "C:\\WINDOWS", os, registry, script, log;
    std::string commandLine; // Plovex.exe's own switches
    bool dryRun = false; // nothing is written; what a run would change is printed
    int partition = 0;
};

// False when there is nothing to run (--help, --version, a usage error), with
// `code` the exit code to end with: 0, or RUNNER_ERROR.
bool ParseOptions(int argc, char **argv, Options &options, int &code);

} // namespace runner

#endif
