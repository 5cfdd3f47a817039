// The dialog and the message boxes on the terminal, drawn with ncurses.
#include "platform/host/host.h"

#include <stdio.h>

namespace host {

void RunTerminalDialog(Dialog &dialog)
{
    (void)dialog;
    fprintf(stderr, "plovex: the terminal dialog is not built yet; use --script\n");
    ExitProcess(2);
}

int TerminalMessageBox(LPCSTR text, LPCSTR caption, UINT type)
{
    (void)text;
    (void)caption;
    return (type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
}

void EndTerminal()
{
}

} // namespace host
