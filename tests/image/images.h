// Disk images for the image module's tests, made and judged by the field's
// own tools: mkfs.fat and fsck.fat (dosfstools), mcopy, mdir, mattrib
// (mtools), sfdisk and qemu-img. The module under test never makes the images
// it is checked on, and never reads them back for a verdict.
#ifndef PLOVEX_TESTS_IMAGE_IMAGES_H
#define PLOVEX_TESTS_IMAGE_IMAGES_H

#include "platform/host/image/image.h"
#include "tests/scratch.h"

#include <stdint.h>

#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

namespace images {

struct Ran {
    int status; // the exit status, or -1 when the command did not end normally
    std::string output;
};

// Skips the running test when a tool the image tests need is missing, naming it.
#define SKIP_WITHOUT_IMAGE_TOOLS()                                                                         \
    do {                                                                                                   \
        std::string missing_ = images::MissingTools();                                                     \
        if (!missing_.empty())                                                                             \
            GTEST_SKIP() << "missing tools (scripts/setup.sh test installs them): " << missing_;           \
    } while (0)

// A kind of volume the tests run on: mkfs.fat's size and options, whether it
// lies in a dynamic VHD, and how large a hive's new contents are.
struct Kind {
    const char *name;
    uint64_t kib;
    const char *options;
    bool dynamicVhd = false;
    size_t newHive = 0;
};
inline void PrintTo(const Kind &kind, std::ostream *out)
{
    *out << kind.name;
}

// Runs a shell command; its standard output and error together.
Ran Shell(const std::string &command);
std::string Quote(const std::string &text);
// The tools the tests need that are missing ("" when none is).
std::string MissingTools();

// The contents of a Windows 95 installation, by path from the root ("WINDOWS/INF/Machine.inf").
using Tree = std::map<std::string, std::string>;

// A text of about `size` bytes, CR LF lines, different for each `seed`.
std::string Text(size_t size, int seed);
// Bytes that look like nothing in particular.
std::string Blob(size_t size, int seed);

// The installation every test starts from: the three INF files (one of them
// with a long name that differs from its alias only in case), a hive, other
// files with long names enough to fill several sectors of the INF folder, a
// subfolder, and a few files in the root. `hiveSize` sizes SYSTEM.DAT.
Tree Installation(size_t hiveSize = 64 * 1024);

// A FAT volume made with mkfs.fat in the file `path` (created, `kib` KiB
// long) at byte `offset`, with `options` for mkfs.fat ("-F 32 -s 8").
void MakeVolume(const std::string &path, uint64_t offset, uint64_t kib, const std::string &options);
// Copies a tree into the volume at `offset` with mcopy, and sets SYSTEM.DAT
// read-only, hidden and system as Windows 95 keeps it.
void Install(const std::string &path, uint64_t offset, const Tree &tree);
// Every file of the volume, read back with mcopy.
Tree ReadBack(const std::string &path, uint64_t offset);
// mdir's line for the entry `name` in `folder` ("::/WINDOWS/INF"): the 8.3
// name as "NAME.EXT" and the long name ("" when it has none).
struct Listed {
    bool found = false;
    std::string alias, longName, date, time;
};
Listed ListEntry(const std::string &path, uint64_t offset, const std::string &folder, const std::string &name);
// mattrib's letters for a file ("ASHR" order: archive, system, hidden, read-only; '-' when clear).
std::string Attributes(const std::string &path, uint64_t offset, const std::string &file);
// fsck.fat -n on the volume at `offset` (copied out when it is not at the start).
Ran Fsck(const std::string &path, uint64_t offset, uint64_t bytes);
// The lines of fsck.fat's report that say something is wrong, less those
// `allowed` (each a prefix) and the lines it always prints.
std::vector<std::string> FsckComplaints(const std::string &report, const std::vector<std::string> &allowed);

// The image opened as drive C: with the Windows folder at /WINDOWS.
std::unique_ptr<host::Store> Open(const std::string &path, std::string &error, int partition = 0);

// A whole file written through a store (host::ReadWhole reads one).
bool WriteFile(host::Store &store, const std::string &path, const std::string &bytes, size_t chunk = 1000);

// The writes of one run of the program on the image, as the core makes them
// through the store: the recovery at start (a backup put back when
// machine.inf is missing, deleted when it is not), the commit of machine.inf
// (the new text written as out.inf and synced, machine.inf renamed to
// machine.in@, out.inf renamed to machine.inf, the backup deleted), the hive's
// untouched copy SYSTEM.PLX when there is none yet, the hive's new contents,
// and Finish. False at the first that fails.
bool ProgramWrites(host::Store &store, const std::string &machineText, const std::string &oldHive,
                   const std::string &newHive);

} // namespace images

#endif
