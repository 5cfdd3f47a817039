// What the runner tells as the program runs: each message box printed as a
// small picture with its answer, the restart request, a device key the
// registry file kept, and the log's JSON lines, written and flushed one by one
// so that the log says what was done however the run ends.
#include "runner/report.h"
#include "platform/host/files.h"
#include "platform/host/json.h"
#include "platform/host/registry.h"


#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

namespace runner {

namespace {

std::ofstream Log;
bool LogOpen;
bool Holding;          // the terminal shows the dialog
std::string HeldBoxes; // printed after the terminal is given back
std::vector<std::string> Deleted; // device keys whose deletion is on disk, as the program named them

void LogEvent(const std::string &json)
{
    if (!LogOpen)
        return;
    Log << json << '\n';
    Log.flush();
}

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

// What the program had changed when the run went wrong, for the message and
// the log: the files it wrote that stand now, and the keys it deleted.
std::vector<std::string> ChangedFilesStanding()
{
    std::vector<std::string> standing;
    for (const std::string &name : host::ChangedFiles()) {
        std::string path = host::HostPath(name);
        host::EntryInfo info;
        if (!path.empty() && host::DriveCStore().Stat(path, false, info))
            standing.push_back(name);
    }
    return standing;
}

} // namespace

void HoldBoxes()
{
    Holding = true;
}

void PrintHeldBoxes()
{
    std::cout << HeldBoxes;
    std::cout.flush();
    HeldBoxes.clear();
}

bool OpenLog(const std::string &path)
{
    Log.open(path, std::ios::out | std::ios::trunc);
    LogOpen = (bool)Log;
    return LogOpen;
}

void LogStart(const std::string &os, const std::string &versionNumber, const std::string &subVersionNumber)
{
    std::string registry = host::RegistryFile().empty() ? "" : host::RegistryStore().Describe(host::RegistryFile());
    LogEvent("{\"event\":\"start\",\"registry\":" + JsonString(registry) + ",\"format\":\"" +
             (host::RegistryFile().empty() ? "none" : host::RegistryIsHive() ? "hive" : "regedit4") +
             "\",\"os\":\"" + os + "\",\"versionNumber\":" + JsonString(versionNumber) +
             ",\"subVersionNumber\":" + JsonString(subVersionNumber) + "}");
}

void ReportBox(LPCSTR text, LPCSTR caption, UINT type, int answer)
{
    std::ostringstream box;
    box << "+-- " << caption << IconOf(type) << "\n";
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        box << "|  " << line << "\n";
    box << "+-- " << ButtonsOf(type) << " -> " << (answer == IDYES ? "Yes" : answer == IDNO ? "No" : "OK") << "\n";
    if (Holding) {
        HeldBoxes += box.str();
    } else {
        std::cout << box.str();
        std::cout.flush();
    }
    LogEvent("{\"event\":\"messagebox\",\"caption\":" + JsonString(caption) + ",\"text\":" + JsonString(text) +
             ",\"type\":" + std::to_string(type) + ",\"answer\":" + std::to_string(answer) + "}");
}

void ReportKeyDeletion(LPCSTR key, bool found, const std::string &failure)
{
    std::string event = std::string("{\"event\":\"regdelete\",\"key\":") + JsonString(key) +
                        ",\"found\":" + (found ? "true" : "false");
    if (!failure.empty()) {
        std::cerr << "plovex: registry file " << host::RegistryStore().Describe(host::RegistryFile()) << ": " << key
                  << " was not deleted: " << failure << "\n";
        event += ",\"deleted\":false,\"error\":" + JsonString(failure);
    } else if (found) {
        Deleted.push_back(key);
    }
    LogEvent(event + "}");
}

void ReportReboot()
{
    if (!Holding)
        std::cout << "(restart of Windows requested)\n";
    LogEvent("{\"event\":\"reboot\"}");
}

const std::vector<std::string> &KeysDeleted()
{
    return Deleted;
}

bool AnythingChanged()
{
    return !host::ChangedFiles().empty() || !Deleted.empty() || host::RegistryWriteFailed();
}

std::string ChangesSaid()
{
    std::vector<std::string> files = ChangedFilesStanding();
    std::string said = "by then the program had ";
    if (files.empty()) {
        said += "written no file";
    } else {
        said += "written";
        for (size_t i = 0; i < files.size(); i++)
            said += (i ? ", " : " ") + files[i];
    }
    return said + " and deleted " + std::to_string(Deleted.size()) + " device key" + (Deleted.size() == 1 ? "" : "s");
}

void LogError(const std::string &message)
{
    LogEvent("{\"event\":\"error\",\"message\":" + JsonString(message) + "}");
}

void LogExit(int code)
{
    LogEvent("{\"event\":\"exit\",\"code\":" + std::to_string(code) + "}");
}

} // namespace runner
