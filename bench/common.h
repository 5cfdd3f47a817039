// What the benchmarks share: a small deterministic generator, so that every
// run builds the same input, and the peak resident memory of a forked child
// that does only the work being measured.
#ifndef PLOVEX_BENCH_COMMON_H
#define PLOVEX_BENCH_COMMON_H

#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <functional>

struct Random {
    unsigned long long state = 0x9E3779B97F4A7C15ull;
    unsigned Next(unsigned below)
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return (unsigned)(state % below);
    }
};

// Peak resident set, in MiB, of a forked child that runs `work` and exits
// (what the parent had resident counts only where the child touches it);
// negative when the child failed.
inline double ChildPeakMiB(const std::function<bool()> &work)
{
    fflush(NULL);
    pid_t child = fork();
    if (child == 0)
        _exit(work() ? 0 : 1);
    int status = 0;
    struct rusage usage;
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss / 1024.0; // KiB on Linux
}

// Runs the benchmarks the command line picks; false on an argument it does not know.
inline bool RunBenchmarks(int &argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return false;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return true;
}

#endif
