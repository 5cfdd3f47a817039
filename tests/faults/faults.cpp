#include "tests/faults/faults.h"
#include "app/main.h"
#include "app/state.h"
#include "platform/host/files.h"
#include "platform/host/registry.h"
#include "platform/host/reset.h"
#include "platform/host/ui.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
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

Scratch::Scratch(const std::string &parent)
{
    std::string base = parent;
    if (base.empty()) {
        const char *tmp = getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string pattern = base + "/plovex-faults-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        throw std::runtime_error("mkdtemp in " + base + " failed");
    root = name.data();
}

Scratch::~Scratch()
{
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

std::string MemoryFolder()
{
    struct stat info;
    if (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    return "";
}

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
    return Exists(root + "/SYSTEM.REG") ? root + "/SYSTEM.REG" : root + "/WINDOWS/SYSTEM.DAT";
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

bool Exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    return whole.str();
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

RegistryText SplitRegistry(const std::string &text)
{
    RegistryText split;
    std::string *into = &split.head;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t lf = text.find('\n', begin);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        std::string line = text.substr(begin, end - begin);
        if (line[0] == '[') {
            size_t close = line.find(']');
            split.blocks.push_back({line.substr(1, close == std::string::npos ? 0 : close - 1), ""});
            into = &split.blocks.back().text;
        }
        *into += line;
        begin = end;
    }
    return split;
}

static bool WithinKey(const std::string &key, const std::string &top)
{
    return key.size() >= top.size() && strncasecmp(key.c_str(), top.c_str(), top.size()) == 0 &&
           (key.size() == top.size() || key[top.size()] == '\\');
}

std::string WithoutKey(const std::string &text, const std::string &key)
{
    RegistryText split = SplitRegistry(text);
    std::string kept = split.head;
    for (const RegistryBlock &block : split.blocks)
        if (!WithinKey(block.key, key))
            kept += block.text;
    return kept;
}

RunResult RunPlovex(const std::vector<std::string> &args, const std::string &script, int limitSeconds)
{
    Scratch io;
    WriteFile(io.Path("script"), script);
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
    result.out = ReadFile(io.Path("out"));
    result.err = ReadFile(io.Path("err"));
    return result;
}

} // namespace faults
