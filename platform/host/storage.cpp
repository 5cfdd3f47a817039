// What every user of a Store (storage.h) needs on top of its operations.
#include "platform/host/storage.h"

#include <errno.h>

namespace host {

bool ReadWhole(Store &store, const std::string &path, std::string &bytes)
{
    int file = store.Open(path, OPEN_READ);
    if (file < 0)
        return false;
    EntryInfo info;
    size_t got = 0;
    bool ok = store.FileStat(file, info);
    if (ok) {
        bytes.assign((size_t)info.size, '\0');
        ok = store.ReadAt(file, 0, &bytes[0], bytes.size(), got);
        bytes.resize(got);
    }
    int saved = errno;
    store.Close(file);
    errno = saved;
    return ok;
}

} // namespace host
