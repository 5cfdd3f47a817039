// Plovex.exe's switches, given through the runner's --command-line: one table
// of switch sets with what each must give (exit code, the log of /L line by
// line, message boxes), and every run that changes something compared, on a
// second copy of the same files, with the dialog doing the same thing: the
// INF files, the registry file and the keys deleted must come out the same.
#include "tests/e2e/sample.h"
#include "app/switches.h"
#include "platform/host/json.h"

#include <gtest/gtest.h>

namespace {

using namespace e2e;

const std::string Log = "PLOVEX.LOG"; // C:\PLOVEX.LOG on each drive

enum Start {
    SAMPLE,
    INSTALLED,         // the files and registry that Install leaves (tests/golden/install)
    NO_MACHINE_INF,
    BACKUP_FOLDER,     // a folder named mshdc.in@: the commit of mshdc.inf fails
    EARLIER_LOG,       // the log holds a line of an earlier run
};

void Prepare(Sample &drive, Start setup)
{
    if (setup == INSTALLED) {
        for (const std::string &file : {Machine, Mshdc, Usb})
            drive.Write(file, Golden("install", file));
        drive.Write("SYSTEM.REG", Golden("install", "SYSTEM.REG"));
    } else if (setup == NO_MACHINE_INF) {
        std::filesystem::remove(drive.Path(Machine));
    } else if (setup == BACKUP_FOLDER) {
        drive.Write(Inf + "mshdc.in@/keep", "a backup name that cannot be deleted");
    } else if (setup == EARLIER_LOG) {
        drive.Write(Log, "an earlier run\r\n");
    }
}

// The log's lines for a list of device keys, by what the registry file holds.
std::vector<std::string> KeyLines(const std::vector<std::string> &keys, const std::string &registry)
{
    std::vector<std::string> lines;
    for (const std::string &key : keys) {
        bool there = registry.find("[HKEY_LOCAL_MACHINE\\" + key + "]") != std::string::npos;
        lines.push_back(std::string(there ? "Device key deleted: " : "Device key not found: ") +
                        "HKEY_LOCAL_MACHINE\\" + key);
    }
    return lines;
}

const std::string Updated = "OK:  The utility has updated completely!";
const std::string Uninstalled = "OK: The utility has uninstalled completely!";
const std::string Finish = "Finish: You must restart your computer. Do you want to restart your computer now?";
const std::string Restarted = "Restart of Windows requested";
const std::string CHIPSET_KEYS = "<chipset keys>", USB_KEYS = "<usb keys>";

// A box as Boxes gives it: its text as the JSON log writes it.
std::string Box(const std::string &caption, const std::string &text, UINT type)
{
    std::string json = JsonString(text);
    return caption + "|" + json.substr(1, json.size() - 2) + "|" + std::to_string(type) + "|1";
}

std::string BadBox(const std::string &problem)
{
    return Box("Bad switches", problem + ".\nPlovex.exe /? lists the switches.", MB_OK | MB_ICONERROR);
}

TEST(Unattended, EachSwitchSetGivesItsCodeLogAndBoxesAndTheDialogsFiles)
{
    struct Case {
        std::string commandLine;
        Start setup;
        std::vector<std::string> options; // further runner options
        const char *script;               // the run's own input: "" for an unattended run
        const char *dialog;               // the same done through the dialog; nullptr: nothing may change
        int code;
        std::vector<std::string> log; // the lines after the first, which names the command line; {}: no log
        std::vector<std::string> boxes;
    };
    const std::string L = " /L:C:\\" + Log;
    const Case cases[] = {
        {"/S" + L, SAMPLE, {}, "", "install\nexit\nno\n", 0,
         {CHIPSET_KEYS, USB_KEYS, Updated, Finish + " [No]", "Exit code 0"}, {}},
        {"-s -Usb /l:C:\\" + Log, SAMPLE, {}, "", "uncheck chipset\ninstall\nexit\n", 0,
         {USB_KEYS, Updated, "Exit code 0"}, {}}, // usb.inf created whole: no restart prompt
        {"/S /CHIPSET /R" + L, SAMPLE, {}, "", "uncheck usb\ninstall\nexit\nyes\n", 0,
         {CHIPSET_KEYS, Updated, Finish + " [Yes]", Restarted, "Exit code 0"}, {}},
        {"/R /USB /S" + L, SAMPLE, {}, "", "uncheck chipset\ninstall\nexit\n", 0,
         {USB_KEYS, Updated, Restarted, "Exit code 0"}, {}}, // the dialog would not ask; a file was made
        {"/U" + L, INSTALLED, {}, "", "uninstall\nexit\nno\n", 0,
         {CHIPSET_KEYS, USB_KEYS, Uninstalled, Finish + " [No]", "Exit code 0"}, {}},
        {"/U /L:\"C:\\" + Log + "\"", EARLIER_LOG, {}, "", "uninstall\nexit\nno\n", 4,
         {CHIPSET_KEYS, "File Open Error: Can't find C:\\WINDOWS\\inf\\usb.inf", Finish + " [No]", "Exit code 4"}, {}},
        {"/S" + L, BACKUP_FOLDER, {}, "", "install\nexit\nno\n", 4,
         {CHIPSET_KEYS, "rename error: Install Failure", Finish + " [No]", "Exit code 4"}, {}},
        {"/S" + L, NO_MACHINE_INF, {}, "", "install\nexit\n", 1,
         {"File Open Error: Can't find C:\\WINDOWS\\inf\\machine.inf", "Exit code 1"}, {}},
        {"/S" + L, SAMPLE, {"--os", "nt"}, "", nullptr, 7,
         {"Warning:  The OS is not Windows 95 system. Continue, anyway? [No]",
          "Not Windows 95: nothing done without /F", "Exit code 7"},
         {}},
        {"/F /S /USB" + L, SAMPLE, {"--os", "win32s"}, "", "yes\nuncheck chipset\ninstall\nexit\n", 0,
         {"Warning:  The OS is not Windows 95 system. Continue, anyway? [Yes]", USB_KEYS, Updated, "Exit code 0"}, {}},
        {"/L:C:\\" + Log, SAMPLE, {}, "uncheck usb\ninstall\nexit\nno\n", "uncheck usb\ninstall\nexit\nno\n", 0,
         {CHIPSET_KEYS, Updated, Finish + " [No]", "Exit code 0"}, {Done, RestartNo}}, // the dialog, logged
        {"/S /U" + L, SAMPLE, {}, "", nullptr, 5,
         {"Bad switches: /S and /U do not go together. Plovex.exe /? lists the switches.", "Exit code 5"}, {}},
        {"/U /X", SAMPLE, {}, "", nullptr, 5, {}, {}},
        {"/S /L", SAMPLE, {}, "", nullptr, 5, {}, {}},
        {"/S /L:C:\\NO\\SUCH\\FOLDER.LOG", SAMPLE, {}, "", nullptr, 5, {}, {}},
        {"/Q", SAMPLE, {}, "", nullptr, 5, {}, {BadBox("Unknown switch: /Q")}},
        {"/R", SAMPLE, {}, "", nullptr, 5, {}, {BadBox("/CHIPSET, /USB, /R and /F go only with /S or /U")}},
        {"-?", SAMPLE, {}, "", nullptr, 0, {}, {Box("Plovex.exe R1.03", SwitchList, MB_OK | MB_ICONINFORMATION)}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.commandLine);
        Sample silent, dialog;
        Prepare(silent, k.setup);
        Prepare(dialog, k.setup);
        std::string registry = silent.Read("SYSTEM.REG"), earlierLog = silent.Exists(Log) ? silent.Read(Log) : "";
        auto before = silent.Snapshot();
        std::vector<std::string> options = k.options;
        options.insert(options.end(), {"--command-line", k.commandLine});
        PlovexRun run = silent.Plovex(k.script, options);

        EXPECT_EQ(run.code, k.code) << run.err;
        EXPECT_EQ(Boxes(run), k.boxes);
        std::string expected;
        if (!k.log.empty()) {
            expected = earlierLog + "Plovex.exe R1.03 " + k.commandLine + "\r\n";
            for (const std::string &line : k.log) {
                std::vector<std::string> lines = line == CHIPSET_KEYS ? KeyLines(ChipsetKeys, registry)
                                                 : line == USB_KEYS   ? KeyLines(UsbKeys, registry)
                                                                      : std::vector<std::string>{line};
                for (const std::string &one : lines)
                    expected += one + "\r\n";
            }
        }
        EXPECT_EQ(silent.Exists(Log) ? silent.Read(Log) : "", expected);
        EXPECT_EQ(Rebooted(run), expected.find(Restarted) != std::string::npos);

        auto after = silent.Snapshot();
        after.erase(Log);
        before.erase(Log);
        if (!k.dialog) {
            EXPECT_EQ(after, before) << "nothing may change";
            continue;
        }
        PlovexRun clicked = dialog.Plovex(k.dialog, k.options);
        auto clickedAfter = dialog.Snapshot();
        clickedAfter.erase(Log);
        EXPECT_EQ(after, clickedAfter) << "the INF files and the registry as the dialog leaves them";
        EXPECT_EQ(Deletions(run), Deletions(clicked));
    }
}

} // namespace
