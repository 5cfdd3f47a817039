// Arbitrary bytes as an INF text, through each patch and the uninstall pass on
// the real streams over the host layer. A patch applied twice must give what
// it gives once, and stripping the marked lines from a patched text must give
// what stripping gives for the text itself: the text as text mode reads it,
// when the text had no marked line.
#include "inf/linestream.h"
#include "patches/patches.h"
#include "platform/host/files.h"
#include "platform/host/reset.h"
#include "platform/host/system.h"
#include "tests/models.h"
#include "tests/scratch.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

std::string Drive; // host folder of C:, in memory where possible

void Fail(const char *what, const std::string &a, const std::string &b)
{
    fprintf(stderr, "%s\n--- first (%zu bytes)\n%s\n--- second (%zu bytes)\n%s\n", what, a.size(), a.c_str(),
            b.size(), b.c_str());
    abort();
}

// Runs `pass` with the source stream on `input`; gives the work file's bytes.
std::string Pass(void (*pass)(), const std::string &input)
{
    // Names as they stand on the disk: no folder scan for the letter case.
    WriteWholeFile(Drive + "/INF/SOURCE.INF", input);
    if (!OpenSourceStream("C:\\INF\\SOURCE.INF") || !OpenWorkStream("C:\\INF\\OUT.INF"))
        Fail("the streams do not open", "", "");
    pass();
    bool read = CloseSourceStream(), written = CloseWorkStream();
    if (!read || !written)
        Fail("a read or write failed", "", "");
    return ReadWholeFile(Drive + "/INF/OUT.INF");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Scratch::RemoveLeftovers();
    static Scratch folder;
    Drive = folder.root;
    std::filesystem::create_directories(Drive + "/INF");
    host::Reset();
    host::SetDriveC(Drive);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input((const char *)data, size);
    // Windows 95 with a service release adds the IRQ miniport lines.
    host::SetOs(size % 2 ? host::Os::Win95Osr2 : host::Os::Win95);
    const std::string text = TextModeCopy(input);
    const bool unmarked = text.find(";Plovex\r\n") == std::string::npos;
    const std::string stripped = Pass(StripMarkedLines, input);
    if (unmarked && stripped != text)
        Fail("stripping an unmarked text changed it", text, stripped);

    for (void (*patch)() : {PatchMachineInf, PatchMshdcInf, PatchUsbInf}) {
        std::string once = Pass(patch, input);
        std::string twice = Pass(patch, once);
        if (twice != once)
            Fail("patching twice differs from patching once", once, twice);
        // Install adds whole marked lines only; Uninstall takes exactly them
        // away. A last line without LF gains one when lines were added after
        // it; if its text ends with ";Plovex", it is then a marked line itself,
        // and goes as the program's own lines go.
        std::string back = Pass(StripMarkedLines, once);
        bool open = !stripped.empty() && stripped.back() != '\n';
        size_t last = stripped.rfind('\n') + 1; // 0 when there is no LF
        bool ended = open && back == stripped + "\r\n";
        bool taken = open && stripped.size() - last >= 7 && stripped.compare(stripped.size() - 7, 7, ";Plovex") == 0 &&
                     back == stripped.substr(0, last);
        if (back != stripped && !ended && !taken)
            Fail("the patched text stripped is not the text stripped", stripped, back);
    }
    return 0;
}
