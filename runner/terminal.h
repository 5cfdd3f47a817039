// The runner's terminal front end (terminal.cpp): the dialog and the message
// boxes drawn with ncurses over the host's dialog (ui.h). The screen is taken
// on first use and must be given back by EndTerminal, which main does however
// the run ends (std::terminate gives it back too). A terminal that cannot
// draw the dialog, or stops answering, ends the process through
// ExitProcess(RUNNER_ERROR) with a word on standard error.
#ifndef PLOVEX_RUNNER_TERMINAL_H
#define PLOVEX_RUNNER_TERMINAL_H

#include "platform/host/ui.h"

namespace runner {

void RunTerminalDialog(host::Dialog &dialog);                   // a DialogLoop: returns once the dialog has ended
int TerminalMessageBox(LPCSTR text, LPCSTR caption, UINT type); // a MessageBoxHandler: the button pressed
void EndTerminal();                                             // nothing when the screen was not taken

} // namespace runner

#endif
