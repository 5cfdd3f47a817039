// Arbitrary bytes as a disk image: OpenImage must refuse them with a reason
// that names the image, or take them. When it takes them, the files the
// program reads must read without a fault, and the program's writes (an INF
// file committed through out.inf and a backup, the hive's copy and new
// contents) must either fail or leave an image that opens again and reads
// back what was written. The image lives in memory (a memfd, opened again by
// its /proc path as the store opens any image).
#include "platform/host/image/image.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace {

void Fail(const char *what, const std::string &detail)
{
    fprintf(stderr, "%s: %s\n", what, detail.c_str());
    abort();
}

std::unique_ptr<host::Store> Open(const std::string &path, std::string &error)
{
    image::Options options;
    options.path = path;
    options.windowsFolder = "/WINDOWS";
    std::unique_ptr<host::Store> store = image::OpenImage(options, error);
    if (!store && error.compare(0, path.size(), path) != 0)
        Fail("an image was refused without naming it", error);
    return store;
}

// A whole file, when it is there and small enough to read here.
bool Read(host::Store &store, const std::string &path, std::string &bytes)
{
    host::EntryInfo info;
    if (!store.Stat(path, false, info) || info.kind != host::EntryInfo::FILE || info.size > (1 << 20))
        return false;
    int file = store.Open(path, host::OPEN_READ);
    if (file < 0)
        return false;
    bytes.assign(info.size, '\0');
    size_t got = 0;
    bool ok = store.ReadAt(file, 0, &bytes[0], bytes.size(), got) && got == bytes.size();
    store.Close(file);
    return ok;
}

bool Write(host::Store &store, const std::string &path, const std::string &bytes)
{
    int file = store.Open(path, host::OPEN_WRITE | host::OPEN_CREATE);
    if (file < 0)
        return false;
    size_t put = 0;
    bool ok = store.WriteAt(file, 0, bytes.data(), bytes.size(), put) && store.Sync(file);
    return store.Close(file) && ok;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = memfd_create("image", MFD_CLOEXEC);
    if (fd < 0 || write(fd, data, size) != (ssize_t)size)
        Fail("no memory file", "");
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::string error, bytes, failure;
    std::unique_ptr<host::Store> store = Open(path, error);
    if (!store) {
        close(fd);
        return 0;
    }
    const char *const read[] = {"/WINDOWS/SYSTEM.DAT", "/WINDOWS/INF/machine.inf", "/WINDOWS/INF/mshdc.inf",
                                "/WINDOWS/INF/usb.inf"};
    for (const char *file : read)
        Read(*store, file, bytes);

    const std::string text = "[Manufacturer]\r\n; a line the patch adds\r\n", hive = std::string(3000, 'h');
    std::string target, twin;
    bool committed = store->Find("/WINDOWS/INF", "machine.inf", target, twin) == host::ONE_ENTRY &&
                     Write(*store, "/WINDOWS/INF/out.inf", text) &&
                     store->Rename("/WINDOWS/INF/" + target, "/WINDOWS/INF/machine.in@") &&
                     store->Rename("/WINDOWS/INF/out.inf", "/WINDOWS/INF/machine.inf") &&
                     store->Remove("/WINDOWS/INF/machine.in@");
    host::EntryInfo info;
    bool replaced = store->Stat("/WINDOWS/SYSTEM.DAT", false, info) && info.kind == host::EntryInfo::FILE &&
                    store->WriteWhole("/WINDOWS/SYSTEM.PLX", {"copy"}, "/WINDOWS/SYSTEM.DAT", false, failure) &&
                    store->WriteWhole("/WINDOWS/SYSTEM.DAT", {hive}, "/WINDOWS/SYSTEM.DAT", true, failure);
    store->Finish();
    store.reset();

    store = Open(path, error);
    if (!store)
        Fail("an image the store wrote does not open again", error);
    if (committed && (!Read(*store, "/WINDOWS/INF/machine.inf", bytes) || bytes != text))
        Fail("a committed file does not read back", bytes);
    if (replaced && (!Read(*store, "/WINDOWS/SYSTEM.DAT", bytes) || bytes != hive))
        Fail("a replaced hive does not read back", std::to_string(bytes.size()));
    store.reset();
    close(fd);
    return 0;
}
