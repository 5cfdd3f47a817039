// The one way the tests run the built plovex, as a user runs it (as Wine's
// tests run reg.exe through run_reg_exe): a command line and standard input
// in; the exit code, standard output and error, the lines of the log, the time
// taken and the peak memory out. For test programs that know PLOVEX_RUNNER.
#ifndef PLOVEX_TESTS_RUN_H
#define PLOVEX_TESTS_RUN_H

#include "tests/scratch.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct PlovexRun {
    bool exited = false;   // ended by exit, not by a signal or the time limit
    int code = -1;         // exit code, or the signal number when !exited
    bool timedOut = false;
    double seconds = 0;
    long peakKiB = 0;      // the child's peak resident memory
    std::string out, err;
    std::vector<std::string> log; // the lines of its --log file, one JSON object each
};

// The command line that runs the built plovex with `options`.
std::vector<std::string> PlovexCommand(const std::vector<std::string> &options);

// plovex started with `options`, standard input read from the descriptor
// `input` (the caller's to close). Output, error and, unless the options name
// one, the log go to a folder of the child's own. A child never waited for is
// killed when the object goes.
class PlovexChild {
public:
    PlovexChild(const std::vector<std::string> &options, int input);
    PlovexChild(PlovexChild &&other) noexcept;
    ~PlovexChild();
    // Waits until the child blocks reading its standard input, as it does once
    // set up (its locks taken, its start-up checks done) and waiting for its
    // script; false when that does not come within `limitSeconds`.
    bool WaitForInput(int limitSeconds = 60);
    // Waits for the end; kills the child after `limitSeconds`.
    PlovexRun Wait(int limitSeconds = 300);

private:
    Scratch files;
    std::string logPath;
    pid_t pid = -1;
    std::chrono::steady_clock::time_point started;
};

// Another process holds the lock (flock) on the file or folder `path`.
bool Locked(const std::string &path);

// Runs plovex with `options`, `input` on its standard input, to its end.
PlovexRun RunPlovex(const std::vector<std::string> &options, const std::string &input, int limitSeconds = 300);

#endif
