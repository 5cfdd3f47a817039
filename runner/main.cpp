// The host runner: runs Plovex's WinMain on Linux over the host layer. Drive C:
// is a folder, HKEY_LOCAL_MACHINE a REGEDIT4 file, and the dialog is driven
// from the terminal or from a script; every message box is printed.
#include "app/main.h"
#include "platform/host/files.h"
#include "platform/host/json.h"
#include "platform/host/registry.h"
#include "platform/host/system.h"
#include "platform/host/ui.h"
#include "res/resource.h"
#include "runner/terminal.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>

namespace {

// Exit codes of the runner's own: an error found before anything was written,
// and a problem found after the program had changed something.
enum { RUNNER_ERROR = 2, ERROR_AFTER_CHANGES = 3 };

// An error of the runner itself (usage, script, registry file, folder in use).
struct RunnerError {
    std::string message;
};

struct Action {
    std::string word, object; // "check" "chipset", "install" ""
    int line;
};

std::vector<Action> Script;
size_t NextAction;
std::ofstream Log;
bool LogOpen;
bool Terminal;
std::string BoxTranscript; // printed after the terminal is given back
int KeysDeleted;           // device keys whose deletion is on disk

void LogEvent(const std::string &json)
{
    if (!LogOpen)
        return;
    Log << json << '\n';
    Log.flush();
}

// ---- the script ---------------------------------------------------------------

// A line of the script as a message quotes it: a short start, control
// characters shown as escapes.
std::string Quoted(const std::string &line)
{
    const size_t most = 40;
    std::string out = "\"";
    for (size_t i = 0; i < line.size() && i < most; i++) {
        unsigned char c = (unsigned char)line[i];
        if (c < 0x20 || c >= 0x7f) {
            char code[8];
            snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        } else {
            out += (char)c;
        }
    }
    return out + (line.size() > most ? "...\" (" + std::to_string(line.size()) + " characters)" : "\"");
}

void ParseScript(std::istream &in, const std::string &name)
{
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        number++;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        std::istringstream words(text);
        Action action{"", "", number};
        std::string extra;
        words >> action.word;
        if (action.word.empty() || action.word[0] == '#')
            continue;
        words >> action.object >> extra;
        bool needsObject = action.word == "check" || action.word == "uncheck";
        bool known = needsObject ? (action.object == "chipset" || action.object == "usb") && extra.empty()
                                 : (action.word == "install" || action.word == "uninstall" || action.word == "exit" ||
                                    action.word == "escape" || action.word == "yes" || action.word == "no") &&
                                       action.object.empty();
        if (!known)
            throw RunnerError{name + ":" + std::to_string(number) + ": not understood: " + Quoted(text) +
                              " (see plovex --help for the script's words)"};
        Script.push_back(action);
    }
}

// A script that cannot end the dialog is refused before anything runs, so that
// running out of input never leaves half a session behind. Only the platform
// warning answered No ends the program without Exit.
void CheckScriptEnds(bool warningFirst)
{
    for (const Action &action : Script)
        if (action.word == "exit")
            return;
    if (warningFirst && !Script.empty() && Script[0].word == "no")
        return;
    throw RunnerError{"the script never presses Exit; end it with \"exit\""};
}

std::string Where(const Action &action)
{
    return "script line " + std::to_string(action.line) + " (\"" + action.word +
           (action.object.empty() ? "" : " " + action.object) + "\")";
}

// ---- message boxes ------------------------------------------------------------

std::string ButtonsOf(UINT type)
{
    return (type & MB_TYPEMASK) == MB_YESNO ? "[Yes] [No]" : "[OK]";
}

std::string IconOf(UINT type)
{
    switch (type & MB_ICONMASK) {
    case MB_ICONERROR: return " (error icon)";
    case MB_ICONQUESTION: return " (question icon)";
    case MB_ICONINFORMATION: return " (information icon)";
    default: return "";
    }
}

void PrintBox(LPCSTR text, LPCSTR caption, UINT type, int answer)
{
    std::ostringstream box;
    box << "+-- " << caption << IconOf(type) << "\n";
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        box << "|  " << line << "\n";
    box << "+-- " << ButtonsOf(type) << " -> " << (answer == IDYES ? "Yes" : answer == IDNO ? "No" : "OK") << "\n";
    if (Terminal) {
        BoxTranscript += box.str();
    } else {
        std::cout << box.str();
        std::cout.flush();
    }
}

int ScriptAnswer(UINT type)
{
    if ((type & MB_TYPEMASK) != MB_YESNO)
        return IDOK; // an OK box takes no line
    if (NextAction >= Script.size())
        throw RunnerError{"the script ended while a Yes/No box was open; answer it with \"yes\" or \"no\""};
    const Action &action = Script[NextAction++];
    if (action.word != "yes" && action.word != "no")
        throw RunnerError{Where(action) + ": a Yes/No box is open; the next line must be \"yes\" or \"no\""};
    return action.word == "yes" ? IDYES : IDNO;
}

int ShowBox(LPCSTR text, LPCSTR caption, UINT type)
{
    int answer = Terminal ? host::TerminalMessageBox(text, caption, type) : ScriptAnswer(type);
    PrintBox(text, caption, type, answer);
    LogEvent("{\"event\":\"messagebox\",\"caption\":" + JsonString(caption) + ",\"text\":" + JsonString(text) +
             ",\"type\":" + std::to_string(type) + ",\"answer\":" + std::to_string(answer) + "}");
    return answer;
}

// ---- the dialog ---------------------------------------------------------------

void SetBox(host::Dialog &dialog, int id, bool checked)
{
    int state = id == IDC_CHIPSET ? dialog.chipsetCheck : dialog.usbCheck;
    if ((state == BST_CHECKED) != checked)
        host::Click(id);
}

void RunScriptDialog(host::Dialog &dialog)
{
    while (!dialog.ended) {
        if (NextAction >= Script.size())
            throw RunnerError{"the script ended before the dialog did; end it with \"exit\""};
        const Action &action = Script[NextAction++];
        if (action.word == "check" || action.word == "uncheck")
            SetBox(dialog, action.object == "chipset" ? IDC_CHIPSET : IDC_USB, action.word == "check");
        else if (action.word == "install")
            host::Click(IDC_INSTALL);
        else if (action.word == "uninstall")
            host::Click(IDC_UNINSTALL);
        else if (action.word == "exit")
            host::Click(IDC_EXIT);
        else if (action.word == "escape")
            dialog.proc(host::DialogWindow(), WM_COMMAND, IDCANCEL, 0); // what the dialog manager sends
        else
            throw RunnerError{Where(action) + ": no Yes/No box is open to answer"};
    }
}

// ---- the files the runner is given -------------------------------------------

// A path as the file system reaches it: links and dots resolved, also for a
// file that does not exist yet (its folder resolved).
std::string RealPath(const std::string &path)
{
    char real[PATH_MAX];
    if (realpath(path.c_str(), real))
        return real;
    size_t cut = path.find_last_of('/');
    std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
    if (!realpath(folder.c_str(), real))
        return path;
    return std::string(real) + (real[1] ? "/" : "") + path.substr(cut == std::string::npos ? 0 : cut + 1);
}

bool Below(const std::string &path, const std::string &folder)
{
    return folder == "/" || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// The log is written and the script read while the program changes drive C:
// and the registry file; neither may be one of them.
void CheckRunnerFile(const char *what, const std::string &path, const std::string &driveC)
{
    if (path.empty() || path == "-")
        return;
    std::string real = RealPath(path);
    std::string registry = host::RegistryFile();
    if (!registry.empty() && real == registry)
        throw RunnerError{std::string(what) + " " + path + " is the registry file; give another file"};
    if (Below(real, RealPath(driveC)))
        throw RunnerError{std::string(what) + " " + path + " lies on drive C: (" + driveC +
                          "), whose files the program changes; give a file outside it"};
}

// One run at a time per Windows folder: two runs would share the work file
// out.inf and each other's renames. The locks last until the process ends.
void LockFolder(const std::string &folder)
{
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return; // a folder that cannot be opened holds nothing to protect
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        throw RunnerError{"the folder " + folder + " is in use by another plovex run; nothing was changed"};
}

void LockFolders(const std::string &driveC, const std::string &windowsDir, const std::string &registryFile)
{
    std::string windows = host::HostPath(windowsDir);
    struct stat info;
    if (windows.empty() || stat(windows.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        windows = driveC;
    windows = RealPath(windows);
    LockFolder(windows);
    if (!registryFile.empty()) {
        std::string registry = RealPath(registryFile);
        std::string folder = registry.substr(0, registry.find_last_of('/'));
        if (folder.empty())
            folder = "/";
        if (folder != windows)
            LockFolder(folder);
    }
}

// What the program had changed when the run went wrong, for the message and
// the log: the files it wrote that stand now, and the keys it deleted.
std::vector<std::string> ChangedFilesStanding()
{
    std::vector<std::string> standing;
    for (const std::string &name : host::ChangedFiles()) {
        std::string path = host::HostPath(name);
        struct stat info;
        if (!path.empty() && lstat(path.c_str(), &info) == 0)
            standing.push_back(name);
    }
    return standing;
}

bool AnythingChanged()
{
    return !host::ChangedFiles().empty() || KeysDeleted > 0 || host::RegistryWriteFailed();
}

std::string ChangesSaid(const std::vector<std::string> &files)
{
    std::string said = "by then the program had ";
    if (files.empty()) {
        said += "written no file";
    } else {
        said += "written";
        for (size_t i = 0; i < files.size(); i++)
            said += (i ? ", " : " ") + files[i];
    }
    return said + " and deleted " + std::to_string(KeysDeleted) + " device key" + (KeysDeleted == 1 ? "" : "s");
}

const char Help[] = R"(Runs Plovex, the Windows 95 chipset INF utility, on Linux over a folder that
stands for drive C:.

Input: with a terminal and no --script, the dialog is drawn on the terminal
(Tab/Shift-Tab move, Space toggles or presses, Enter presses). Otherwise a
script, one action a line (blank lines and # comments skipped):
  check chipset | uncheck chipset | check usb | uncheck usb
  install | uninstall | exit | escape
  yes | no      answers the Yes/No message box that is open (OK boxes take no line)
Every message box is printed on standard output. A script that never says
"exit" is refused before anything runs.

The registry: without --registry, the installation's own SYSTEM.DAT in the
Windows folder, when there is one. Before its first change it is copied, byte
for byte, to SYSTEM.PLX beside it (never overwritten later). The log's first
line names the registry used and the version it gave.

One run at a time: a second run on the same Windows folder (or registry
folder) is refused at once. --log and --script may not lie on drive C:.

Exit codes:
  0, 1  as the program gives them (1: an INF file could not be opened or created)
  2     the runner's own error, found before anything was written (usage,
        script, registry file, folder in use)
  3     a problem found after the program had changed files: the script did not
        fit a message box that came up, or the registry file could not be
        written; standard error and the log say what had been done

Examples:
  plovex --drive-c /mnt/win95
  printf 'install\nexit\nno\n' | plovex --drive-c copy-of-sample --registry copy-of-sample/SYSTEM.REG
)";

struct Options {
    std::string driveC = ".", windowsDir = "C:\\WINDOWS", os, registry, script, log;
};

// The command line; returns an exit code when there is nothing to run.
bool ParseOptions(int argc, char **argv, Options &options, int &code)
{
    CLI::App app{"plovex: Plovex.exe R1.03 over a host folder", "plovex"};
    app.footer(Help);
    app.add_option("--drive-c", options.driveC, "folder that stands for drive C: (default: the current directory)")
        ->check(CLI::ExistingDirectory);
    app.add_option("--windows-dir", options.windowsDir, "what GetWindowsDirectoryA answers (default C:\\WINDOWS)");
    app.add_option("--os", options.os,
                   "the version GetVersionExA reports; auto: the installation's own, from its registry "
                   "(default: auto with a registry, else win95)")
        ->check(CLI::IsMember({"auto", "win95", "win95osr2", "nt", "win32s"}));
    app.add_option("--registry", options.registry,
                   "HKEY_LOCAL_MACHINE: a Windows 9x hive (SYSTEM.DAT) or a REGEDIT4 file; none: no registry "
                   "(default: SYSTEM.DAT in the Windows folder, when there is one)");
    app.add_option("--script", options.script, "actions to run instead of the terminal dialog ('-': standard input)");
    app.add_option("--log", options.log, "write every event as a JSON line to this file (not on drive C:)");
    app.set_version_flag("--version", "plovex 1.03 (host runner)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        code = app.exit(e);
        if (code != 0)
            code = RUNNER_ERROR;
        return false;
    }
    return true;
}

// The registry file to use: --registry, or else the installation's own
// SYSTEM.DAT (any letter case) in its Windows folder; empty for none.
std::string RegistryPath(const Options &options)
{
    if (options.registry == "none")
        return "";
    if (!options.registry.empty())
        return options.registry;
    std::string systemDat = options.windowsDir + "\\SYSTEM.DAT";
    DWORD attributes = GetFileAttributesA(systemDat.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
        return "";
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw RunnerError{"the installation's registry " + systemDat +
                          " cannot be used; give --registry FILE, or --registry none"};
    return host::HostPath(systemDat);
}

const char CurrentVersionKey[] = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion";

// What GetVersionExA answers: the --os given, or the installation's own
// version from its registry.
std::string SetUpVersion(const std::string &os, std::string &versionNumber, std::string &subVersionNumber)
{
    std::string chosen = !os.empty() ? os : host::RegistryFile().empty() ? "win95" : "auto";
    if (chosen == "auto") {
        if (!host::ReadRegistryString(CurrentVersionKey, "VersionNumber", versionNumber))
            versionNumber.clear();
        if (!host::ReadRegistryString(CurrentVersionKey, "SubVersionNumber", subVersionNumber))
            subVersionNumber.clear();
        host::SetWindows95Version(versionNumber.empty() ? "4.00.950" : versionNumber, subVersionNumber);
    } else {
        host::SetOs(chosen == "win95osr2" ? host::Os::Win95Osr2
                    : chosen == "nt"      ? host::Os::Nt
                    : chosen == "win32s"  ? host::Os::Win32s
                                          : host::Os::Win95);
    }
    return chosen;
}

// Everything that can be refused is refused here, before the program runs.
void SetUpHost(const Options &options)
{
    host::SetDriveC(options.driveC);
    host::SetWindowsDirectory(options.windowsDir);
    std::string registry = RegistryPath(options);
    LockFolders(options.driveC, options.windowsDir, registry);
    if (!registry.empty()) {
        std::string error;
        if (!host::LoadRegistry(registry, error))
            throw RunnerError{"registry file " + error};
        if (options.registry.empty())
            std::cerr << "plovex: the registry is the installation's own " << host::RegistryFile() << "\n";
    } else {
        std::cerr << "plovex: no registry" << (options.registry.empty() ? " (no --registry, and no SYSTEM.DAT)" : "")
                  << ": no device key is deleted\n";
        host::UseEmptyRegistry();
    }
    std::string versionNumber, subVersionNumber;
    std::string os = SetUpVersion(options.os, versionNumber, subVersionNumber);
    CheckRunnerFile("log", options.log, options.driveC);
    CheckRunnerFile("script", options.script, options.driveC);

    Terminal = options.script.empty() && isatty(0);
    if (!Terminal) {
        if (options.script.empty() || options.script == "-") {
            ParseScript(std::cin, "standard input");
        } else {
            std::ifstream in(options.script);
            if (!in)
                throw RunnerError{"script " + options.script + ": cannot be read"};
            ParseScript(in, options.script);
        }
        CheckScriptEnds(os == "nt" || os == "win32s");
    }
    if (!options.log.empty()) {
        Log.open(options.log, std::ios::out | std::ios::trunc);
        if (!Log)
            throw RunnerError{"log " + options.log + ": cannot be written"};
        LogOpen = true;
    }
    LogEvent("{\"event\":\"start\",\"registry\":" + JsonString(host::RegistryFile()) + ",\"format\":\"" +
             (host::RegistryFile().empty() ? "none" : host::RegistryIsHive() ? "hive" : "regedit4") +
             "\",\"os\":\"" + os + "\",\"versionNumber\":" + JsonString(versionNumber) +
             ",\"subVersionNumber\":" + JsonString(subVersionNumber) + "}");

    host::SetMessageBoxHandler(ShowBox);
    host::SetDialogLoop(Terminal ? host::DialogLoop(host::RunTerminalDialog) : host::DialogLoop(RunScriptDialog));
    host::SetRegistryDeleteHandler([](LPCSTR key, bool found, const std::string &failure) {
        std::string event = std::string("{\"event\":\"regdelete\",\"key\":") + JsonString(key) +
                            ",\"found\":" + (found ? "true" : "false");
        if (!failure.empty()) {
            std::cerr << "plovex: registry file " << host::RegistryFile() << ": " << key
                      << " was not deleted: " << failure << "\n";
            event += ",\"deleted\":false,\"error\":" + JsonString(failure);
        } else if (found) {
            KeysDeleted++;
        }
        LogEvent(event + "}");
    });
    host::SetRebootHandler([] {
        if (!Terminal)
            std::cout << "(restart of Windows requested)\n";
        LogEvent("{\"event\":\"reboot\"}");
    });
}

int RunProgram()
{
    int code;
    try {
        code = WinMain((HINSTANCE)(intptr_t)0x400000, NULL, (LPSTR) "", SW_RESTORE);
    } catch (const host::ProcessExit &exit) {
        code = exit.code;
    }
    host::WriteRegistryChanges();
    return code;
}

// Ends the terminal and prints what it held back.
void GiveBackTerminal()
{
    if (Terminal)
        host::EndTerminal();
    std::cout << BoxTranscript;
    std::cout.flush();
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    int code = 0;
    if (!ParseOptions(argc, argv, options, code))
        return code;
    try {
        SetUpHost(options);
        code = RunProgram();
    } catch (const RunnerError &error) {
        host::WriteRegistryChanges();
        host::CloseAllHandles();
        GiveBackTerminal();
        bool changed = AnythingChanged();
        std::string message = error.message;
        if (changed)
            message += "; " + ChangesSaid(ChangedFilesStanding());
        std::cerr << "plovex: " << message << "\n";
        code = changed ? ERROR_AFTER_CHANGES : RUNNER_ERROR;
        LogEvent("{\"event\":\"error\",\"message\":" + JsonString(message) + "}");
        LogEvent("{\"event\":\"exit\",\"code\":" + std::to_string(code) + "}");
        return code;
    }
    GiveBackTerminal();
    if (host::RegistryWriteFailed()) {
        std::cerr << "plovex: the registry file " << host::RegistryFile()
                  << " could not be written; the device keys named above are still in it\n";
        code = ERROR_AFTER_CHANGES;
    }
    LogEvent("{\"event\":\"exit\",\"code\":" + std::to_string(code) + "}");
    return code;
}
