// The Store over a mounted FAT volume (store.cpp), made by OpenImage
// (open.cpp) once the image is chosen and checked. Private to
// platform/host/image/ and its tests.
#ifndef PLOVEX_HOST_IMAGE_STORE_H
#define PLOVEX_HOST_IMAGE_STORE_H

#include "platform/host/image/dir.h"
#include "platform/host/storage.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace image {

// A volume ready for use: the image file, the volume's layout and caches, the
// folders read so far by their first cluster, and how messages name it.
struct Mounted {
    std::unique_ptr<Disk> disk;
    Volume volume;
    std::map<uint32_t, Folder> folders;
    std::string where; // "win95.img", "win95.img (partition 1)"
};

std::unique_ptr<host::Store> MakeStore(Mounted mounted);

// The names of a store path, "/WINDOWS/INF" -> {"WINDOWS", "INF"}; "." is
// dropped and ".." drops the name before it.
std::vector<std::string> PathNames(const std::string &path);

// The first cluster that stands for the root folder: FAT32's root cluster, or
// 0 for the fixed root of FAT12/16.
uint32_t RootKey(const Volume &volume);

// The volume's traffic, for tests and the benchmark: the image file's bytes
// read and written so far, when `store` is an image store.
bool ImageTraffic(host::Store &store, uint64_t &bytesRead, uint64_t &bytesWritten);

} // namespace image

#endif
