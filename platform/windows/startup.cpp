// Start-up of Plovex.exe and the few memory helpers the program uses. The
// executable links no C runtime (retail Windows 95 has no MSVCRT.DLL), so the
// entry point and these helpers are ours. Built with -ffreestanding and without
// loop-to-call rewriting, so that the compiler does not turn the loops below
// back into calls to themselves.
#include "platform/platform.h"
#include "app/main.h"

extern "C" {

// The process entry point named to the linker. Nothing here needs constructing:
// the program's tables are constant data and its state starts as zero.
void WinMainCRTStartup()
{
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
