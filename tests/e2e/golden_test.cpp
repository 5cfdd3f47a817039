// What plovex leaves of the sample Windows folder, byte for byte. The files in
// tests/golden/NAME/ were written out from the design, not from the program:
// the sample's own lines, with the design's catalogue lines (slot by slot,
// marked ";Plovex") inserted where the design's anchor groups place them, CR LF
// line ends; usb.inf as the design's 21-line table; SYSTEM.REG as the sample
// less the blocks of the device keys below and of the keys below them. After
// Uninstall, machine.inf is the sample's text again, mshdc.inf keeps its lines
// and usb.inf is empty. So a slip in a catalogue line, a line in the wrong
// place, a lost line or a key wrongly deleted or kept fails here.
#include "tests/e2e/sample.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace {

using namespace e2e;

// Every file below `folder` (names as they stand) with its bytes.
std::map<std::string, std::string> Files(const std::string &folder)
{
    std::map<std::string, std::string> files;
    for (auto &entry : std::filesystem::recursive_directory_iterator(folder))
        if (!entry.is_directory())
            files[entry.path().string().substr(folder.size() + 1)] = ReadWholeFile(entry.path().string());
    return files;
}

// The first line at which `got` differs from `want`, both shown.
std::string FirstDifference(const std::string &want, const std::string &got)
{
    std::vector<std::string> a = Lines(want), b = Lines(got);
    size_t line = 0;
    while (line < a.size() && line < b.size() && a[line] == b[line])
        line++;
    return "line " + std::to_string(line + 1) + "\n  want: " + (line < a.size() ? a[line] : "(end)") +
           "\n  got:  " + (line < b.size() ? b[line] : "(end)");
}

std::vector<std::string> Times(const std::vector<std::string> &keys, int times)
{
    std::vector<std::string> all;
    while (times--)
        all.insert(all.end(), keys.begin(), keys.end());
    return all;
}

const std::string RestartYes =
    R"(Finish|You must restart your computer.\n Do you want to restart your computer now?|4|6)";
const std::string WarningYes = R"(Warning| The OS is not Windows 95 system.\n Continue, anyway?|68|6)";

TEST(Golden, TheSampleAfterInstallAtEachPlatformKindAndAfterUninstall)
{
    std::vector<std::string> allKeys = ChipsetKeys;
    allKeys.insert(allKeys.end(), UsbKeys.begin(), UsbKeys.end());
    struct Case {
        const char *golden, *os, *script;
        std::vector<std::string> boxes;
        int keyPasses; // each command deletes all 24 keys
    } cases[] = {
        // Platform kind 1: 52 machine.inf lines; the restart is taken.
        {"install", "win95", "install\nexit\nyes\n", {Done, RestartYes}, 1},
        // Kind 2: the three IRQ miniport lines as well.
        {"install-osr2", "win95osr2", "install\nexit\nno\n", {Done, RestartNo}, 1},
        // Kind 0: the warning, then as kind 1.
        {"install", "nt", "yes\ninstall\nexit\nno\n", {WarningYes, Done, RestartNo}, 1},
        {"install-uninstall", "win95", "install\nuninstall\nexit\nno\n", {Done, Undone, RestartNo}, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.golden) + " --os " + c.os);
        Scratch drive; // the sample as it comes, its file names in upper case
        std::filesystem::copy(PLOVEX_SAMPLE, drive.root, std::filesystem::copy_options::recursive);
        PlovexRun run = RunPlovex({"--drive-c", drive.root, "--registry", drive.Path("SYSTEM.REG"), "--os", c.os},
                                  c.script);
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(Boxes(run), c.boxes);
        EXPECT_EQ(Rebooted(run), c.boxes.back() == RestartYes);
        EXPECT_EQ(Deletions(run), Times(allKeys, c.keyPasses));

        std::map<std::string, std::string> want = Files(PLOVEX_GOLDEN "/" + std::string(c.golden)),
                                           got = Files(drive.root);
        std::vector<std::string> wantNames, gotNames;
        for (const auto &file : want)
            wantNames.push_back(file.first);
        for (const auto &file : got)
            gotNames.push_back(file.first);
        EXPECT_EQ(gotNames, wantNames);
        for (const auto &file : want)
            if (got.count(file.first)) {
                EXPECT_TRUE(got[file.first] == file.second)
                    << file.first << " differs at " << FirstDifference(file.second, got[file.first]);
            }
    }
}

} // namespace
