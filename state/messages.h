// Where the program's messages go (messages.cpp). In the dialog each one is a
// message box with no owner; in an unattended run (/S, /U) no box ever opens
// and each question takes the answer the run was given. With /L every message,
// with its caption and the answer to a question, is also a line of the log, as
// are the device keys deleted, the restart and the exit code.
#ifndef PLOVEX_MESSAGES_H
#define PLOVEX_MESSAGES_H

#include "platform/platform.h"

// Shows a message and gives the button pressed (IDOK, IDYES, IDNO); an
// unattended run shows nothing and gives `unattendedAnswer`.
int ShowMessage(LPCSTR text, LPCSTR caption, UINT type, int unattendedAnswer = IDOK);

// Opens the log of /L for appending; "": no log, and the log functions write
// nothing. False when the file cannot be opened.
bool OpenLog(LPCSTR path);
// One line of the log, made of the texts run together; a line break within a
// text is written as a blank.
void LogLine(LPCSTR text, LPCSTR more = "", LPCSTR last = "");
// `number` in decimal, in a buffer that the next call reuses.
LPCSTR Decimal(long number);

// How a run ends: the exit code logged, the log closed, the code given back.
int EndRun(int code);
// EndRun, then the process ends: a failure that ends the program calls it.
[[noreturn]] void ExitProgram(UINT code);

#endif
