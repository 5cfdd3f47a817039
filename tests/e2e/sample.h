// The built plovex run as a user runs it, on a fresh copy of the sample
// Windows folder: a script in; INF files, the registry file, the log, the
// output and the exit code out. The runner's own files lie beside drive C:.
#ifndef PLOVEX_TESTS_E2E_SAMPLE_H
#define PLOVEX_TESTS_E2E_SAMPLE_H

#include "tests/support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>

extern char **environ;

namespace e2e {

inline const std::string Inf = "WINDOWS/INF/";
inline const std::string Machine = Inf + "machine.inf", Mshdc = Inf + "mshdc.inf", Usb = Inf + "usb.inf";

struct Outcome {
    int code;
    std::string out, err;
    std::vector<std::string> log; // one JSON object a line
};

struct Sample : Scratch {
    Scratch io; // the runner's own files, which may not lie on drive C:

    Sample()
    {
        std::filesystem::copy(PLOVEX_SAMPLE, root, std::filesystem::copy_options::recursive |
                                                       std::filesystem::copy_options::overwrite_existing);
        // FAT names are upper case in the sample; the program asks for lower case.
        std::filesystem::rename(Path(Inf + "MACHINE.INF"), Path(Machine));
        std::filesystem::rename(Path(Inf + "MSHDC.INF"), Path(Mshdc));
    }

    // Starts plovex with `options` (and, unless they say otherwise, this
    // drive's SYSTEM.REG while there is one, and a log beside the drive),
    // standard input from `input`;
    // `name` tells apart the output files of runs made at the same time.
    pid_t Start(int input, std::vector<std::string> options, const std::string &name = "")
    {
        std::vector<std::string> args = {PLOVEX_RUNNER, "--drive-c", root};
        if (std::find(options.begin(), options.end(), "--log") == options.end())
            args.insert(args.end(), {"--log", io.Path(name + "log.jsonl")});
        if (std::find(options.begin(), options.end(), "--registry") == options.end() && Exists("SYSTEM.REG"))
            args.insert(args.end(), {"--registry", Path("SYSTEM.REG")});
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_adddup2(&files, input, 0);
        posix_spawn_file_actions_addopen(&files, 1, io.Path(name + "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&files, 2, io.Path(name + "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        unlink(io.Path(name + "log.jsonl").c_str());
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
        return pid;
    }

    Outcome Wait(pid_t pid, const std::string &name = "")
    {
        int status = 0;
        waitpid(pid, &status, 0);
        Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, io.Read(name + "stdout.txt"),
                    io.Read(name + "stderr.txt"), {}};
        std::string line;
        for (char c : io.Read(name + "log.jsonl"))
            if (c == '\n') {
                run.log.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        return run;
    }

    Outcome Plovex(const std::string &script, std::vector<std::string> options = {})
    {
        io.Write("script.txt", script);
        int input = open(io.Path("script.txt").c_str(), O_RDONLY | O_CLOEXEC);
        pid_t pid = Start(input, std::move(options));
        close(input);
        return Wait(pid);
    }

    // Every file below the root with its bytes.
    std::map<std::string, std::string> Snapshot() const
    {
        std::map<std::string, std::string> files;
        for (auto &entry : std::filesystem::recursive_directory_iterator(root)) {
            std::string relative = entry.path().string().substr(root.size() + 1);
            files[relative] = entry.is_regular_file() ? Read(relative) : "<dir>";
        }
        return files;
    }
};

// The message boxes of a run, as "caption|text|type|answer".
inline std::vector<std::string> Boxes(const Outcome &run)
{
    static const std::regex box(R"re(\{"event":"messagebox","caption":"(.*)","text":"(.*)","type":(\d+),"answer":(\d+)\})re");
    std::vector<std::string> boxes;
    for (const std::string &line : run.log) {
        std::smatch m;
        if (std::regex_match(line, m, box))
            boxes.push_back(m[1].str() + "|" + m[2].str() + "|" + m[3].str() + "|" + m[4].str());
    }
    return boxes;
}

// The device keys the run deleted, or tried to, in order.
inline std::vector<std::string> Deletions(const Outcome &run)
{
    static const std::regex deletion(R"re(\{"event":"regdelete","key":"(.*)","found":(true|false)\})re");
    std::vector<std::string> keys;
    for (const std::string &line : run.log) {
        std::smatch m;
        if (std::regex_match(line, m, deletion))
            keys.push_back(std::regex_replace(m[1].str(), std::regex(R"(\\\\)"), "\\"));
    }
    return keys;
}

inline const std::string Done = "OK| The utility has updated completely!|0|1";
inline const std::string Undone = "OK|The utility has uninstalled completely!|0|1";
inline const std::string RestartNo =
    R"(Finish|You must restart your computer.\n Do you want to restart your computer now?|4|7)";

} // namespace e2e

#endif
