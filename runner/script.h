// The script language (script.cpp): one action a line, blank lines and #
// comments skipped. The whole script is read and checked before the program
// runs; then the dialog takes its actions in order, and each Yes/No box that
// opens the next line as its answer. A line that does not fit where it stands
// is a RunnerError naming it.
#ifndef PLOVEX_RUNNER_SCRIPT_H
#define PLOVEX_RUNNER_SCRIPT_H

#include "platform/host/ui.h"

#include <string>

namespace runner {

// Reads the script from `path` ("" or "-": standard input). Refuses a line
// that is not understood, and a script that can never end the dialog.
// `warningFirst`: the platform warning opens before the dialog, and a "no"
// to it ends the program without Exit.
void ReadScript(const std::string &path, bool warningFirst);

// A host::DialogLoop: presses what the script says until the dialog has ended.
void RunScriptDialog(host::Dialog &dialog);

// The script's answer to a box that opens: IDOK for an OK box, which takes no line.
int ScriptAnswer(UINT type);

} // namespace runner

#endif
