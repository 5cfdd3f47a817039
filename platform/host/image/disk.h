// The image file and the disk a guest sees in it (disk.cpp): the file is
// opened and locked for the run, its container is recognised (raw, VHD fixed,
// VHD dynamic; other formats are refused with the qemu-img lines that convert
// them), and the disk is read and written by its own byte offsets. Private to
// platform/host/image/ and its tests.
#ifndef PLOVEX_HOST_IMAGE_DISK_H
#define PLOVEX_HOST_IMAGE_DISK_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace image {

enum class Container { RAW, VHD_FIXED, VHD_DYNAMIC };

struct Disk {
    int fd = -1;
    std::string path; // as the user gave it, for messages
    Container container = Container::RAW;
    uint64_t size = 0; // bytes of the disk as a guest sees it

    // A dynamic VHD: where its blocks are. The file ends with the footer, and
    // a new block goes where the footer is now.
    uint64_t fileSize = 0;
    uint64_t batOffset = 0;
    uint32_t blockSize = 0, bitmapSize = 0;
    std::vector<uint32_t> bat; // the sector of each block's bitmap, or NO_BLOCK
    uint64_t dataEnd = 0;      // the end of the last block, BAT and header
    std::string footer;        // the 512 bytes the file ends with
    std::map<uint32_t, std::vector<uint8_t>> bitmaps; // of the blocks read or written so far

    // What the run has read from and written into the image file.
    uint64_t bytesRead = 0, bytesWritten = 0;

    Disk() = default;
    Disk(const Disk &) = delete;
    Disk &operator=(const Disk &) = delete;
    ~Disk();
};

enum : uint32_t { NO_BLOCK = 0xFFFFFFFF };

// Opens `path` for reading and writing, locks it for the run and recognises
// its container. False with `error` (a sentence that names the image) when the
// image is refused: it cannot be written, another plovex run or an emulator
// holds it, it is another format, or its VHD structures are damaged.
bool OpenDisk(const std::string &path, Disk &disk, std::string &error);

// Reads or writes the disk at a guest offset. Every write into the file asks
// the fault hook first (Operation::ImageWrite) and fails with EIO when told
// to, writing nothing. False with errno set (EIO) on any failure; a range
// beyond the disk fails too.
bool ReadDisk(Disk &disk, uint64_t offset, void *buffer, size_t size);
bool WriteDisk(Disk &disk, uint64_t offset, const void *buffer, size_t size);
// What was written is on the medium when this returns true.
bool FlushDisk(Disk &disk);

} // namespace image

#endif
