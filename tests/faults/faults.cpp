#include "tests/faults/faults.h"
#include "app/main.h"
#include "app/state.h"
#include "platform/host/host.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace faults {

std::string SamplePath(const std::string &relative)
{
    return std::string(PLOVEX_SAMPLE) + "/" + relative;
}

void CopySample(const std::string &folder, bool registry)
{
    fs::copy(SamplePath("WINDOWS"), folder + "/WINDOWS", fs::copy_options::recursive);
    if (registry)
        fs::copy_file(SamplePath("SYSTEM.REG"), folder + "/SYSTEM.REG");
}

void CopyFolder(const std::string &from, const std::string &to)
{
    fs::copy(from, to, fs::copy_options::recursive);
}

std::string RegistryOf(const std::string &root)
{
    return PathExists(root + "/SYSTEM.REG") ? root + "/SYSTEM.REG" : root + "/WINDOWS/SYSTEM.DAT";
}

bool StartDialog(const std::string &root, std::string &error)
{
    host::Reset();
    host::SetDriveC(root);
    if (!host::LoadRegistry(RegistryOf(root), error))
        return false;
    RestartFlag = 0;
    MainDialogProc(host::DialogWindow(), WM_INITDIALOG, 0, 0);
    if (IsChipsetChecked() != 1 || IsUsbChecked() != 1)
        return (error = "the dialog did not check both boxes", false);
    return true;
}

RunResult RunPlovex(const std::vector<std::string> &args, const std::string &script, int limitSeconds)
{
    Scratch io;
    io.Write("script", script);
    auto started = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        int in = open(io.Path("script").c_str(), O_RDONLY);
        int out = open(io.Path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(io.Path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> argv;
        argv.push_back((char *)PLOVEX_RUNNER);
        for (const std::string &arg : args)
            argv.push_back((char *)arg.c_str());
        argv.push_back(nullptr);
        execv(PLOVEX_RUNNER, argv.data());
        _exit(127);
    }
    RunResult result;
    int status = 0;
    struct rusage usage {};
    for (;;) {
        pid_t done = wait4(child, &status, WNOHANG, &usage);
        if (done == child)
            break;
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (!result.timedOut && elapsed > limitSeconds) {
            result.timedOut = true;
            kill(child, SIGKILL);
        }
        struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.exited = WIFEXITED(status) && !result.timedOut;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    result.peakKiB = usage.ru_maxrss;
    result.out = io.Read("out");
    result.err = io.Read("err");
    return result;
}

} // namespace faults
