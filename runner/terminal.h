// The runner's terminal front end (terminal.cpp): the dialog and the message
// boxes drawn with ncurses over the host's dialog (ui.h). The screen is taken
// on first use and given back by EndTerminal (also when the process ends
// through ExitProcess or std::terminate).
#ifndef PLOVEX_RUNNER_TERMINAL_H
#define PLOVEX_RUNNER_TERMINAL_H

#include "platform/host/ui.h"

namespace runner {

void RunTerminalDialog(host::Dialog &dialog); // a DialogLoop: returns once the dialog has ended
int TerminalMessageBox(LPCSTR text, LPCSTR caption, UINT type);
void EndTerminal();

} // namespace runner

#endif
