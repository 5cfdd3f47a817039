// Start-up of Plovex.exe: WinMain with its command line, the check for another
// Plovex.exe that WinMain makes, and the few memory helpers the program uses.
// The executable links no C runtime (retail Windows 95 has no MSVCRT.DLL), so
// the entry point and these helpers are ours.
// Built with -ffreestanding and without loop-to-call rewriting, so that the
// compiler does not turn the loops below back into calls to themselves.
#include "platform/platform.h"
#include "app/main.h"
#include "res/dialog.h"

// One Plovex.exe at a time: two would share the work file out.inf, and one could
// commit the other's half-written text over machine.inf. The mutex is held for
// the whole life of the process; Windows closes it when the process ends.
static const char InstanceMutexName[] = MAIN_CAPTION " single instance";

// Whether another Plovex.exe runs. A mutex that cannot be created at all
// guards nothing, and the program runs as it would have without one.
bool AnotherInstanceRuns(bool bringItForward)
{
    SetLastError(ERROR_SUCCESS); // not every Windows clears it when the mutex is new
    HANDLE mutex = CreateMutexA(NULL, FALSE, InstanceMutexName);
    if (mutex == NULL || GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    if (!bringItForward)
        return true;
    HWND first = FindWindowA("#32770", MAIN_CAPTION);
    if (first) {
        if (IsIconic(first))
            ShowWindow(first, SW_RESTORE);
        SetForegroundWindow(first);
    }
    return true;
}

// The command line less the program's name that starts it (in double quotes
// when it holds a blank), as WinMain is given it.
static LPSTR ArgumentsOf(LPSTR line)
{
    if (*line == '"') {
        for (line++; *line && *line != '"'; line++)
            ;
        if (*line)
            line++;
    } else {
        while (*line && *line != ' ' && *line != '\t')
            line++;
    }
    while (*line == ' ' || *line == '\t')
        line++;
    return line;
}

extern "C" {

// The process entry point named to the linker. Nothing here needs constructing:
// the program's tables are constant data and its state starts as zero.
void WinMainCRTStartup()
{
    ExitProcess((UINT)WinMain(GetModuleHandleA(NULL), NULL, ArgumentsOf(GetCommandLineA()), SW_SHOWDEFAULT));
}

void *memchr(const void *s, int c, size_t n)
{
    const unsigned char *p = (const unsigned char *)s;
    for (; n > 0; n--, p++)
        if (*p == (unsigned char)c)
            return (void *)p;
    return NULL;
}

void *memcpy(void *dst, const void *src, size_t n)
{
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;
    while (n--)
        *d++ = *s++;
    return dst;
}

void *memset(void *dst, int c, size_t n)
{
    unsigned char *d = (unsigned char *)dst;
    while (n--)
        *d++ = (unsigned char)c;
    return dst;
}

int memcmp(const void *a, const void *b, size_t n)
{
    const unsigned char *x = (const unsigned char *)a, *y = (const unsigned char *)b;
    for (; n > 0; n--, x++, y++)
        if (*x != *y)
            return *x < *y ? -1 : 1;
    return 0;
}

} // extern "C"
