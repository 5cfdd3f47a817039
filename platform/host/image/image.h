// Drive C: inside a disk image (image/): the host opens the image itself, with
// no mount and no root, and offers the FAT volume that holds the Windows folder
// as a Store (storage.h), so the Win32 file calls keep their semantics on it.
//
// Containers: a raw disk with an MBR partition table (primary and logical
// partitions), a bare FAT volume (a floppy, a partitionless disk), and VHD,
// fixed and dynamic. Volumes: FAT12, FAT16 and FAT32 with long names and 8.3
// aliases as Windows 95 makes them. Every write into the image file is counted
// by the fault hook (Operation::ImageWrite), so tests can fail or cut short
// each one; the writes are ordered so that a process that dies at any of them
// leaves a volume on which fsck.fat finds at most lost clusters.
#ifndef PLOVEX_HOST_IMAGE_IMAGE_H
#define PLOVEX_HOST_IMAGE_IMAGE_H

#include "platform/host/storage.h"

#include <memory>
#include <string>
#include <vector>

namespace image {

// Whether `path` is to be taken as a disk image: anything but a folder (or a
// link to one) that exists.
bool IsImagePath(const std::string &path);

struct Options {
    std::string path;          // the image file
    int partition = 0;         // 1-based as --partition gives it; 0: the one that holds the Windows folder
    std::string windowsFolder; // store path of the Windows folder, "/WINDOWS"
};

// Opens the image for the whole run: locks it (a second run is refused), and
// refuses an image that a running emulator holds, an image that cannot be
// written, another image format (with the qemu-img lines that convert it to
// raw and back), and a damaged or hostile image, naming the image and what is
// wrong. The folders on the way to the Windows folder and its INF folder, and
// the chains of the files in them, are checked before anything is written.
// Null with `error` set when refused; nothing is written then.
std::unique_ptr<host::Store> OpenImage(const Options &options, std::string &error);

} // namespace image

#endif
