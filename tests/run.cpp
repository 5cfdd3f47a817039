#include "tests/run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

extern char **environ;

std::vector<std::string> PlovexCommand(const std::vector<std::string> &options)
{
    std::vector<std::string> command = {PLOVEX_RUNNER};
    command.insert(command.end(), options.begin(), options.end());
    return command;
}

PlovexChild::PlovexChild(const std::vector<std::string> &options, int input)
{
    std::vector<std::string> command = PlovexCommand(options);
    auto log = std::find(command.begin(), command.end(), "--log");
    if (log == command.end())
        command.insert(command.end(), {"--log", logPath = files.Path("log.jsonl")});
    else if (log + 1 != command.end())
        logPath = log[1];
    std::vector<char *> argv;
    for (std::string &word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, 0);
    posix_spawn_file_actions_addopen(&actions, 1, files.Path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, files.Path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    started = std::chrono::steady_clock::now();
    int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::runtime_error("cannot start " + command[0]);
}

PlovexChild::PlovexChild(PlovexChild &&other) noexcept
    : files(std::move(other.files)), logPath(std::move(other.logPath)), pid(other.pid), started(other.started)
{
    other.pid = -1;
}

PlovexChild::~PlovexChild()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

bool PlovexChild::WaitForInput(int limitSeconds)
{
    // The kernel names the call a process is blocked in, with its arguments.
    const std::string call = "/proc/" + std::to_string(pid) + "/syscall";
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    siginfo_t ended = {};
    while (std::chrono::steady_clock::now() < end) {
        // A child that has ended never reads; Wait still collects it.
        if (waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid)
            return false;
        std::ifstream in(call);
        long number = -1;
        std::string descriptor;
        if (in >> number >> descriptor && number == SYS_read && descriptor == "0x0")
            return true;
        struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

PlovexRun PlovexChild::Wait(int limitSeconds)
{
    PlovexRun run;
    int status = 0;
    struct rusage usage {};
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    while (wait4(pid, &status, WNOHANG, &usage) != pid) {
        if (!run.timedOut && elapsed() > limitSeconds) {
            run.timedOut = true;
            kill(pid, SIGKILL);
        }
        struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    pid = -1;
    run.seconds = elapsed();
    run.exited = WIFEXITED(status) && !run.timedOut;
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    run.peakKiB = usage.ru_maxrss;
    run.out = files.Read("out");
    run.err = files.Read("err");
    std::string line;
    for (char c : logPath.empty() ? std::string() : ReadWholeFile(logPath))
        if (c == '\n') {
            run.log.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    return run;
}

bool Locked(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0)
        close(fd);
    return locked;
}

PlovexRun RunPlovex(const std::vector<std::string> &options, const std::string &input, int limitSeconds)
{
    Scratch folder;
    folder.Write("input", input);
    int descriptor = open(folder.Path("input").c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        throw std::runtime_error("cannot read " + folder.Path("input"));
    PlovexChild child(options, descriptor);
    close(descriptor);
    return child.Wait(limitSeconds);
}
