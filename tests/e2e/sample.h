// The built plovex run on a fresh copy of the sample Windows folder: a script
// in; INF files, the registry file, the log, the output and the exit code out.
// The runner's own files lie beside drive C:.
#ifndef PLOVEX_TESTS_E2E_SAMPLE_H
#define PLOVEX_TESTS_E2E_SAMPLE_H

#include "tests/run.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>

namespace e2e {

inline const std::string Inf = "WINDOWS/INF/";
inline const std::string Machine = Inf + "machine.inf", Mshdc = Inf + "mshdc.inf", Usb = Inf + "usb.inf";

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

    // `options` for a run on this drive: --drive-c, and this drive's
    // SYSTEM.REG while there is one, unless the options name a registry.
    std::vector<std::string> On(std::vector<std::string> options) const
    {
        options.insert(options.begin(), {"--drive-c", root});
        if (std::find(options.begin(), options.end(), "--registry") == options.end() && Exists("SYSTEM.REG"))
            options.insert(options.end(), {"--registry", Path("SYSTEM.REG")});
        return options;
    }

    // plovex on this drive, standard input from the descriptor `input`.
    PlovexChild Start(int input, const std::vector<std::string> &options = {}) const
    {
        return PlovexChild(On(options), input);
    }
    PlovexRun Plovex(const std::string &script, const std::vector<std::string> &options = {}) const
    {
        return RunPlovex(On(options), script);
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
inline std::vector<std::string> Boxes(const PlovexRun &run)
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
inline std::vector<std::string> Deletions(const PlovexRun &run)
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

// A file of a golden folder (tests/golden/NAME), written from the design.
inline std::string Golden(const std::string &name, const std::string &file)
{
    return ReadWholeFile(std::string(PLOVEX_GOLDEN) + "/" + name + "/" + file);
}

inline bool Rebooted(const PlovexRun &run)
{
    return std::find(run.log.begin(), run.log.end(), R"({"event":"reboot"})") != run.log.end();
}

inline const std::string Done = "OK| The utility has updated completely!|0|1";
inline const std::string Undone = "OK|The utility has uninstalled completely!|0|1";
inline const std::string RestartNo =
    R"(Finish|You must restart your computer.\n Do you want to restart your computer now?|4|7)";

} // namespace e2e

#endif
