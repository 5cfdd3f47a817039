// Whole reads and writes at an offset of a host file descriptor, over the
// short counts and interruptions of pread and pwrite. Private to the host
// layer's stores (folder_store.cpp, image/disk.cpp).
#ifndef PLOVEX_HOST_POSIXIO_H
#define PLOVEX_HOST_POSIXIO_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

namespace host {

// Reads up to `size` bytes at `offset`; `got` is less only at the end of the
// file. False, with errno set, on an error.
inline bool ReadAtOffset(int fd, uint64_t offset, void *buffer, size_t size, size_t &got)
{
    got = 0;
    while (got < size) {
        ssize_t n = pread(fd, (char *)buffer + got, size - got, (off_t)(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += (size_t)n;
    }
    return true;
}

// Writes all of `size` bytes at `offset`; on failure `put` says how many went
// in and errno why (EIO when the file took nothing more).
inline bool WriteAtOffset(int fd, uint64_t offset, const void *buffer, size_t size, size_t &put)
{
    put = 0;
    while (put < size) {
        ssize_t n = pwrite(fd, (const char *)buffer + put, size - put, (off_t)(offset + put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        put += (size_t)n;
    }
    return true;
}

} // namespace host

#endif
