// What the runner's parts share when a run cannot go on: its own exit codes
// and the error that stops it. Whoever finds such an error throws RunnerError;
// main catches it and picks the code by whether anything had changed by then.
#ifndef PLOVEX_RUNNER_ERRORS_H
#define PLOVEX_RUNNER_ERRORS_H

#include <string>

namespace runner {

// Exit codes of the runner's own: an error found before anything was written,
// and a problem found after the program had changed something.
enum { RUNNER_ERROR = 2, ERROR_AFTER_CHANGES = 3 };

// An error of the runner itself (usage, script, registry file, folder in use).
struct RunnerError {
    std::string message;
};

} // namespace runner

#endif
