// The volumes on a disk (partition.cpp): the partitions of an MBR partition
// table, primary and logical, numbered as Linux numbers them, or the whole disk
// when it is a bare FAT volume (a floppy, a partitionless disk). Private to
// platform/host/image/ and its tests.
#ifndef PLOVEX_HOST_IMAGE_PARTITION_H
#define PLOVEX_HOST_IMAGE_PARTITION_H

#include "platform/host/image/disk.h"

#include <stdint.h>

#include <string>
#include <vector>

namespace image {

struct Partition {
    int number = 0;    // 1-4 primary, 5 and up logical; 0: the whole disk is one volume
    uint8_t type = 0;  // the partition type byte (0 for a bare volume)
    uint64_t start = 0, size = 0; // bytes on the disk, as the table gives them (not yet checked against the disk)
    bool extended = false; // a container of logical partitions, not a volume
};

// The partitions of `disk` in the order of their numbers, or the disk as one
// bare volume. False with `error` when the disk has neither a partition table
// nor a FAT boot sector at its start.
bool ListPartitions(Disk &disk, std::vector<Partition> &partitions, std::string &error);

// Whether a partition type byte is one of FAT's (12, 16 or 32 bits, hidden or not).
bool IsFatType(uint8_t type);

} // namespace image

#endif
