// The host runner: runs Plovex's WinMain on Linux over the host layer. Drive C:
// is a folder, HKEY_LOCAL_MACHINE a REGEDIT4 file, and the dialog is driven
// from the terminal or from a script; every message box is printed.
#include "app/main.h"
#include "platform/host/host.h"
#include "platform/host/json.h"
#include "res/resource.h"

#include <CLI/CLI.hpp>

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>

namespace {

enum { RUNNER_ERROR = 2 };

// An error of the runner itself (usage, script, registry file): exit code 2.
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

void LogEvent(const std::string &json)
{
    if (!LogOpen)
        return;
    Log << json << '\n';
    Log.flush();
}

// ---- the script ---------------------------------------------------------------

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
            throw RunnerError{name + ":" + std::to_string(number) + ": not understood: \"" + text +
                              "\" (see plovex --help for the script's words)"};
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

const char Help[] = R"(Runs Plovex, the Windows 95 chipset INF utility, on Linux over a folder that
stands for drive C:.

Input: with a terminal and no --script, the dialog is drawn on the terminal
(Tab/Shift-Tab move, Space toggles or presses, Enter presses). Otherwise a
script, one action a line (blank lines and # comments skipped):
  check chipset | uncheck chipset | check usb | uncheck usb
  install | uninstall | exit | escape
  yes | no      answers the Yes/No message box that is open (OK boxes take no line)
Every message box is printed on standard output.

Exit codes: 0 and 1 as the program gives them (1: a file could not be opened
or created); 2 for the runner's own errors (usage, script, registry file).

Example:
  printf 'install\nexit\nno\n' | plovex --drive-c sample --registry sample/SYSTEM.REG

A script that never says "exit" is refused before anything runs.
)";

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"plovex: Plovex.exe R1.03 over a host folder", "plovex"};
    app.footer(Help);
    std::string driveC = ".", windowsDir = "C:\\WINDOWS", os = "win95", registry, script, logPath;
    app.add_option("--drive-c", driveC, "folder that stands for drive C: (default: the current directory)")
        ->check(CLI::ExistingDirectory);
    app.add_option("--windows-dir", windowsDir, "what GetWindowsDirectoryA answers (default C:\\WINDOWS)");
    app.add_option("--os", os, "the version GetVersionExA reports (default win95)")
        ->check(CLI::IsMember({"win95", "win95osr2", "nt", "win32s"}));
    app.add_option("--registry", registry, "REGEDIT4 file that stands for HKEY_LOCAL_MACHINE");
    app.add_option("--script", script, "actions to run instead of the terminal dialog ('-': standard input)");
    app.add_option("--log", logPath, "write every event as a JSON line to this file");
    app.set_version_flag("--version", "plovex 1.03 (host runner)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : RUNNER_ERROR;
    }

    int code = 0;
    try {
        host::SetDriveC(driveC);
        host::SetWindowsDirectory(windowsDir);
        host::SetOs(os == "win95osr2" ? host::Os::Win95Osr2 : os == "nt" ? host::Os::Nt
                    : os == "win32s" ? host::Os::Win32s : host::Os::Win95);
        if (!registry.empty()) {
            std::string error;
            if (!host::LoadRegistry(registry, error))
                throw RunnerError{"registry file " + error};
        } else {
            std::cerr << "plovex: no --registry given: the registry is empty, so no device key is deleted\n";
            host::UseEmptyRegistry();
        }

        Terminal = script.empty() && isatty(0);
        if (!Terminal) {
            if (script.empty() || script == "-") {
                ParseScript(std::cin, "standard input");
            } else {
                std::ifstream in(script);
                if (!in)
                    throw RunnerError{"script " + script + ": cannot be read"};
                ParseScript(in, script);
            }
            CheckScriptEnds(os == "nt" || os == "win32s");
        }
        if (!logPath.empty()) {
            Log.open(logPath, std::ios::out | std::ios::trunc);
            if (!Log)
                throw RunnerError{"log " + logPath + ": cannot be written"};
            LogOpen = true;
        }

        host::SetMessageBoxHandler(ShowBox);
        host::SetDialogLoop(Terminal ? host::DialogLoop(host::RunTerminalDialog) : host::DialogLoop(RunScriptDialog));
        host::SetRegistryDeleteHandler([](LPCSTR key, bool found) {
            LogEvent(std::string("{\"event\":\"regdelete\",\"key\":") + JsonString(key) +
                     ",\"found\":" + (found ? "true" : "false") + "}");
        });
        host::SetRebootHandler([] {
            if (!Terminal)
                std::cout << "(restart of Windows requested)\n";
            LogEvent("{\"event\":\"reboot\"}");
        });

        try {
            code = WinMain((HINSTANCE)(intptr_t)0x400000, NULL, (LPSTR) "", SW_RESTORE);
        } catch (const host::ProcessExit &exit) {
            code = exit.code;
        }
    } catch (const RunnerError &error) {
        host::CloseAllHandles();
        if (Terminal)
            host::EndTerminal();
        std::cout << BoxTranscript;
        std::cerr << "plovex: " << error.message << "\n";
        LogEvent("{\"event\":\"exit\",\"code\":2}");
        return RUNNER_ERROR;
    }
    if (Terminal)
        host::EndTerminal();
    std::cout << BoxTranscript;
    LogEvent("{\"event\":\"exit\",\"code\":" + std::to_string(code) + "}");
    return code;
}
