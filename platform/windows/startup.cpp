// Start-up of Plovex.exe: one instance at a time, then WinMain; and the few
// memory helpers the program uses. The executable links no C runtime (retail
// Windows 95 has no MSVCRT.DLL), so the entry point and these helpers are ours.
// Built with -ffreestanding and without loop-to-call rewriting, so that the
// compiler does not turn the loops below back into calls to themselves.
#include "platform/platform.h"
#include "app/main.h"
#include "res/dialog.h"

// One Plovex.exe at a time: two would share the work file out.inf, and one could
// commit the other's half-written text over machine.inf. The mutex is held for
// the whole life of the process; Windows closes it when the process ends.
static const char InstanceMutexName[] = "Plovex.exe R1.03 single instance";

// Whether another Plovex.exe runs. Its dialog, when it is up, is restored if
// minimised and brought to the front. A mutex that cannot be created at all
// guards nothing, and the program runs as it would have without one.
static bool AnotherInstanceRuns()
{
    SetLastError(ERROR_SUCCESS); // not every Windows clears it when the mutex is new
    HANDLE mutex = CreateMutexA(NULL, FALSE, InstanceMutexName);
    if (mutex == NULL || GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    HWND first = FindWindowA("#32770", MAIN_CAPTION);
    if (first) {
        if (IsIconic(first))
            ShowWindow(first, SW_RESTORE);
        SetForegroundWindow(first);
    }
    return true;
}

extern "C" {

// The process entry point named to the linker. Nothing here needs constructing:
// the program's tables are constant data and its state starts as zero. A second
// instance ends here, before the platform check and before any file is touched.
void WinMainCRTStartup()
{
    if (AnotherInstanceRuns())
        ExitProcess(0);
    ExitProcess((UINT)WinMain(GetModuleHandleA(NULL), NULL, (LPSTR) "", SW_SHOWDEFAULT));
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
