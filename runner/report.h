// What the runner tells (report.cpp): every message box, printed on standard
// output as a small picture with its answer; the restart request; a device key
// the registry file could not lose (standard error); and the log, one JSON
// object a line, flushed line by line. While the terminal shows the dialog the
// printing waits: boxes are held and printed by PrintHeldBoxes once the
// terminal is given back.
#ifndef PLOVEX_RUNNER_REPORT_H
#define PLOVEX_RUNNER_REPORT_H

#include "platform/platform.h"

#include <string>
#include <vector>

namespace runner {

void HoldBoxes(); // from now on, boxes wait for PrintHeldBoxes
void PrintHeldBoxes();

// Opens the log, emptied; false when it cannot be written. Without a log the
// Log functions do nothing.
bool OpenLog(const std::string &path);
// The first line: the registry in use and the version chosen.
void LogStart(const std::string &os, const std::string &versionNumber, const std::string &subVersionNumber);

void ReportBox(LPCSTR text, LPCSTR caption, UINT type, int answer);
void ReportKeyDeletion(LPCSTR key, bool found, const std::string &failure); // a host::RegistryDeleteHandler
void ReportReboot();                                                         // a host::RebootHandler

// The device keys deleted so far, as the program named them ("Enum\PCI\VEN_..."),
// each once, in order; a key the registry file kept is not among them.
const std::vector<std::string> &KeysDeleted();

// Whether the program had changed anything: a file, a device key, or the
// registry file by a failed write.
bool AnythingChanged();
// What it had changed, as a message says it: "by then the program had written
// C:\..., ... and deleted N device keys"; of the files, those that stand now.
std::string ChangesSaid();

void LogError(const std::string &message);
void LogExit(int code);

} // namespace runner

#endif
