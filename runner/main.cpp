// plovex, the host runner: Plovex's WinMain run on Linux over the host layer.
// main parses the command line, sets the host up (drive C:, the registry, the
// version, where the dialog and the boxes go), runs the program, and turns how
// it ended into the exit code.
#include "app/main.h"
#include "app/switches.h"
#include "platform/host/files.h"
#include "platform/host/image/image.h"
#include "platform/host/registry.h"
#include "platform/host/system.h"
#include "platform/host/ui.h"
#include "runner/dry_run.h"
#include "runner/errors.h"
#include "runner/options.h"
#include "runner/paths.h"
#include "runner/report.h"
#include "runner/script.h"
#include "runner/terminal.h"

#include <unistd.h>

#include <iostream>
#include <memory>

namespace runner {

namespace {

bool Terminal; // the dialog is drawn on the terminal, not driven by a script
std::unique_ptr<host::Store> DriveImage; // drive C:, when it is a disk image

int ShowBox(LPCSTR text, LPCSTR caption, UINT type)
{
    int answer = Terminal ? TerminalMessageBox(text, caption, type) : ScriptAnswer(type);
    ReportBox(text, caption, type, answer);
    return answer;
}

// The registry the program sees: a --registry file on the host, or the
// installation's own in drive C:'s store; standard error says which unless
// --registry named it.
void SetUpRegistry(const Options &options, const std::string &registry)
{
    if (!registry.empty()) {
        std::string error;
        host::Store &store = options.registry.empty() ? host::DriveCStore() : host::HostStore();
        if (!host::LoadRegistry(registry, error, store))
            throw RunnerError{"registry file " + error};
        if (options.registry.empty())
            std::cerr << "plovex: the registry is the installation's own "
                      << store.Describe(host::RegistryFile()) << "\n";
    } else {
        std::cerr << "plovex: no registry" << (options.registry.empty() ? " (no --registry, and no SYSTEM.DAT)" : "")
                  << ": no device key is deleted\n";
        host::UseEmptyRegistry();
    }
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

// The store path of a Win32 folder on drive C: ("C:\\WINDOWS" -> "/WINDOWS").
std::string StorePath(const std::string &windowsPath)
{
    if (windowsPath.size() < 2 || (windowsPath[0] != 'C' && windowsPath[0] != 'c') || windowsPath[1] != ':')
        throw RunnerError{"--windows-dir " + windowsPath + " does not lie on drive C:"};
    std::string path = windowsPath.substr(2);
    for (char &c : path)
        if (c == '\\')
            c = '/';
    return path.empty() || path[0] != '/' ? "/" + path : path;
}

// Drive C:: a disk image, opened (and locked) here, or a folder.
void SetUpDriveC(const Options &options)
{
    if (!image::IsImagePath(options.driveC)) {
        if (options.partition)
            throw RunnerError{"--partition is for a disk image, and " + options.driveC + " is a folder"};
        host::SetDriveC(options.driveC);
        return;
    }
    std::string error;
    DriveImage = image::OpenImage({options.driveC, options.partition, StorePath(options.windowsDir)}, error);
    if (!DriveImage)
        throw RunnerError{error};
    host::SetDriveCStore(*DriveImage);
}

// Everything that can be refused is refused here, before the program runs.
void SetUpHost(const Options &options)
{
    if (options.dryRun)
        StartDryRun(); // drive C: and the registry are then seen through overlays
    SetUpDriveC(options);
    host::SetWindowsDirectory(options.windowsDir);
    std::string registry = RegistryPath(options);
    LockFolders(options, registry, DriveImage != nullptr);
    SetUpRegistry(options, registry);
    std::string versionNumber, subVersionNumber;
    std::string os = SetUpVersion(options.os, versionNumber, subVersionNumber);
    CheckRunnerFile("log", options.log, options.driveC);
    CheckRunnerFile("script", options.script, options.driveC);

    // With /S or /U the program opens no dialog and no box: nothing to script.
    // Bad switches and /? show one OK box and end.
    Switches switches;
    bool good = ReadSwitches(options.commandLine.c_str(), switches);
    bool unattended = switches.command != 0, dialog = good && !unattended && !switches.help;
    if (unattended && !options.script.empty())
        throw RunnerError{"--script: the command line runs Plovex unattended (/S or /U), without a dialog to script"};
    Terminal = dialog && options.script.empty() && isatty(0);
    if (Terminal)
        HoldBoxes();
    else if (dialog)
        ReadScript(options.script, os == "nt" || os == "win32s");
    if (!options.log.empty() && !OpenLog(options.log))
        throw RunnerError{"log " + options.log + ": cannot be written"};
    LogStart(os, versionNumber, subVersionNumber);

    host::SetMessageBoxHandler(ShowBox);
    host::SetDialogLoop(Terminal ? host::DialogLoop(RunTerminalDialog) : host::DialogLoop(RunScriptDialog));
    host::SetRegistryDeleteHandler(ReportKeyDeletion);
    host::SetRebootHandler(ReportReboot);
}

// The instance handle WinMain is given: where Windows loads an .exe.
HINSTANCE const ImageBase = (HINSTANCE)(intptr_t)0x400000;

int RunProgram(std::string commandLine)
{
    int code;
    try {
        code = WinMain(ImageBase, NULL, commandLine.data(), SW_RESTORE);
    } catch (const host::ProcessExit &exit) {
        code = exit.code;
    }
    host::WriteRegistryChanges();
    return code;
}

// The run is over: whatever drive C:'s store keeps lazily is written.
void FinishDriveC()
{
    host::CloseAllHandles();
    host::DriveCStore().Finish();
}

// Ends the terminal and prints what it held back.
void GiveBackTerminal()
{
    if (Terminal)
        EndTerminal();
    PrintHeldBoxes();
}

// A run the runner stopped: RUNNER_ERROR when nothing had changed yet, else
// ERROR_AFTER_CHANGES with what had been done.
int Stopped(const RunnerError &error)
{
    host::WriteRegistryChanges();
    FinishDriveC();
    GiveBackTerminal();
    bool changed = AnythingChanged();
    if (changed)
        PrintDryRun();
    std::string message = error.message;
    if (changed)
        message += "; " + ChangesSaid();
    std::cerr << "plovex: " << message << "\n";
    int code = changed ? ERROR_AFTER_CHANGES : RUNNER_ERROR;
    LogError(message);
    LogExit(code);
    return code;
}

} // namespace

} // namespace runner

int main(int argc, char **argv)
{
    runner::Options options;
    int code = 0;
    if (!runner::ParseOptions(argc, argv, options, code))
        return code;
    try {
        runner::SetUpHost(options);
        code = runner::RunProgram(options.commandLine);
    } catch (const runner::RunnerError &error) {
        return runner::Stopped(error);
    }
    runner::FinishDriveC();
    runner::GiveBackTerminal();
    runner::PrintDryRun();
    if (host::RegistryWriteFailed()) {
        std::cerr << "plovex: the registry file " << host::RegistryStore().Describe(host::RegistryFile())
                  << " could not be written; the device keys named above are still in it\n";
        code = runner::ERROR_AFTER_CHANGES;
    }
    runner::LogExit(code);
    return code;
}
