// The one place the program's message boxes are shown, and the log of /L: a
// plain text file, CR LF, one line an event. A line is written whole at the
// file's end every time, so that a second Plovex.exe refused meanwhile adds
// its lines after ours and neither overwrites the other's.
#include "state/messages.h"
#include "state/state.h"

static HANDLE Log = INVALID_HANDLE_VALUE;

enum { LINE_SIZE = 512 };
static char Line[LINE_SIZE];
static int LineLength;

// Adds to the line being made; what does not fit is left out.
static void Put(LPCSTR text)
{
    for (; *text && LineLength < LINE_SIZE - 2; text++) {
        if (*text != '\n')
            Line[LineLength++] = *text;
        else if (text[1] != ' ') // the program's texts go on after a break with a blank of their own
            Line[LineLength++] = ' ';
    }
}

static void EndLine()
{
    Line[LineLength++] = '\r';
    Line[LineLength++] = '\n';
    if (Log != INVALID_HANDLE_VALUE) {
        DWORD written;
        SetFilePointer(Log, 0, NULL, FILE_END);
        WriteFile(Log, Line, (DWORD)LineLength, &written, NULL); // a log that fails stops nothing
    }
    LineLength = 0;
}

int ShowMessage(LPCSTR text, LPCSTR caption, UINT type, int unattendedAnswer)
{
    int answer = Unattended ? unattendedAnswer : MessageBoxA(NULL, text, caption, type);
    Put(caption);
    Put(": ");
    Put(text);
    if ((type & MB_TYPEMASK) == MB_YESNO)
        Put(answer == IDYES ? " [Yes]" : " [No]");
    EndLine();
    return answer;
}

bool OpenLog(LPCSTR path)
{
    if (!path[0]) {
        Log = INVALID_HANDLE_VALUE;
        return true;
    }
    Log = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, NULL);
    return Log != INVALID_HANDLE_VALUE;
}

void LogLine(LPCSTR text, LPCSTR more, LPCSTR last)
{
    Put(text);
    Put(more);
    Put(last);
    EndLine();
}

LPCSTR Decimal(long number)
{
    static char digits[12];
    char *at = digits + sizeof digits - 1;
    unsigned long rest = number < 0 ? 0ul - (unsigned long)number : (unsigned long)number;
    *at = '\0';
    do
        *--at = (char)('0' + rest % 10);
    while (rest /= 10);
    if (number < 0)
        *--at = '-';
    return at;
}

int EndRun(int code)
{
    LogLine("Exit code ", Decimal(code));
    if (Log != INVALID_HANDLE_VALUE)
        CloseHandle(Log);
    Log = INVALID_HANDLE_VALUE;
    return code;
}

void ExitProgram(UINT code)
{
    ExitProcess((UINT)EndRun((int)code));
}
