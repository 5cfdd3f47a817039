// Opening an image for a run: the image file, locked (disk.cpp); the volume
// that holds the Windows folder, the partition --partition names or the one
// FAT volume with that folder; and, before anything is written, a check of all
// the run may touch: the folders on the way to the Windows folder, it and its
// INF folder (nothing after their end marks), and the chains of the files in
// those two (inside the volume, no loop, as long as their sizes say, no
// cluster used twice). A refusal names the image and what is wrong with it.
#include "platform/host/image/image.h"
#include "platform/host/image/store.h"

#include <stdio.h>
#include <sys/stat.h>

#include <set>

namespace image {

namespace {

std::string Hex(uint8_t byte)
{
    char text[8];
    snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

std::string Size(uint64_t bytes)
{
    char text[32];
    if (bytes >= (1ull << 30))
        snprintf(text, sizeof text, "%.1f GiB", bytes / (double)(1ull << 30));
    else if (bytes >= (1ull << 20))
        snprintf(text, sizeof text, "%.1f MiB", bytes / (double)(1ull << 20));
    else
        snprintf(text, sizeof text, "%llu KiB", (unsigned long long)(bytes >> 10));
    return text;
}

std::string WindowsPath(const std::vector<std::string> &names, size_t count)
{
    std::string path;
    for (size_t i = 0; i < count; i++)
        path += "\\" + names[i];
    return path.empty() ? "\\" : path;
}

// A volume examined: whether it holds the Windows folder, and if not, why.
struct Candidate {
    Partition partition;
    Mounted mounted;
    std::string problem; // "" when it holds the Windows folder
    std::string label;
};

Folder *Load(Mounted &mounted, uint32_t key, const std::string &what)
{
    auto found = mounted.folders.find(key);
    if (found != mounted.folders.end())
        return &found->second;
    Folder folder;
    if (!LoadFolder(mounted.volume, key, folder, what))
        return nullptr;
    return &(mounted.folders[key] = std::move(folder));
}

// The folder a path of folder names leads to from the root, each read once: a
// folder that is one of those above it (a loop) is refused.
Folder *Walk(Mounted &mounted, const std::vector<std::string> &names, std::string &problem)
{
    Volume &volume = mounted.volume;
    Folder *folder = Load(mounted, RootKey(volume), "the root folder");
    std::set<uint32_t> above = {RootKey(volume)};
    for (size_t i = 0; folder && i < names.size(); i++) {
        std::string path = WindowsPath(names, i + 1);
        std::vector<const Entry *> found = FindEntries(*folder, names[i]);
        if (found.empty() || !found[0]->IsFolder())
            return (problem = found.empty() ? "no " + path + " folder" : path + " is not a folder", nullptr);
        uint32_t key = found[0]->cluster;
        if (key < 2 || key > LastCluster(volume))
            return (problem = path + " is a folder that starts outside the volume", nullptr);
        if (!above.insert(key).second)
            return (problem = path + " is a folder that contains itself (a loop)", nullptr);
        folder = Load(mounted, key, path);
    }
    if (!folder)
        problem = volume.problem.empty() ? "cannot be read" : volume.problem;
    return folder;
}

void Examine(Disk &disk, const Partition &partition, const std::vector<std::string> &windows, Candidate &candidate)
{
    candidate.partition = partition;
    if (partition.extended) {
        candidate.problem = "an extended partition, which holds the logical ones";
        return;
    }
    Volume &volume = candidate.mounted.volume;
    if (!ReadBootSector(disk, partition, volume, candidate.problem))
        return;
    std::string problem;
    Folder *root = Walk(candidate.mounted, {}, problem);
    if (!root) {
        candidate.problem = problem;
        return;
    }
    candidate.label = root->label.empty() ? volume.label : root->label;
    if (!Walk(candidate.mounted, windows, problem))
        candidate.problem = problem;
}

// Everything the run may touch is whole: the chains of the folders read so
// far, the INF folder's, and those of every entry in the Windows and INF
// folders, no cluster in two of them.
bool CheckInstallation(Candidate &candidate, const std::vector<std::string> &windows, std::string &problem)
{
    Mounted &mounted = candidate.mounted;
    Volume &volume = mounted.volume;
    Folder *windowsFolder = Walk(mounted, windows, problem);
    if (!windowsFolder)
        return false;
    std::vector<std::pair<Folder *, std::string>> checked = {{windowsFolder, WindowsPath(windows, windows.size())}};
    size_t infSlot = (size_t)-1;
    std::vector<const Entry *> inf = FindEntries(*windowsFolder, "INF");
    if (!inf.empty() && inf[0]->IsFolder()) {
        std::vector<std::string> infNames = windows;
        infNames.push_back(inf[0]->Name());
        infSlot = inf[0]->slot;
        Folder *infFolder = Walk(mounted, infNames, problem);
        if (!infFolder)
            return false;
        checked.push_back({infFolder, WindowsPath(infNames, infNames.size())});
    }
    std::unordered_set<uint32_t> claimed;
    for (const auto &folder : mounted.folders)
        for (uint32_t cluster : folder.second.clusters)
            if (!claimed.insert(cluster).second)
                return (problem = "two folders share cluster " + std::to_string(cluster), false);
    for (const auto &folder : checked) {
        // New entries go past the end mark: what lies beyond it must be nothing.
        if (!folder.first->cleanTail)
            return (problem = folder.second + " is a folder with entries after its end mark", false);
        for (const Entry &entry : folder.first->entries) {
            if (folder.first == windowsFolder && entry.slot == infSlot)
                continue; // read and claimed above
            std::vector<uint32_t> chain;
            std::string path = folder.second + (folder.second == "\\" ? "" : "\\") + entry.Name();
            if (!EntryChain(volume, entry, path, chain, &claimed))
                return (problem = volume.problem.empty() ? path + " cannot be read" : volume.problem, false);
        }
    }
    return true;
}

std::string Describe(const Candidate &candidate)
{
    const Partition &partition = candidate.partition;
    std::string text = "  " + std::to_string(partition.number) + "  type " + Hex(partition.type) + "  " +
                       Size(partition.size);
    if (!candidate.label.empty())
        text += "  \"" + candidate.label + "\"";
    return text;
}

} // namespace

bool IsImagePath(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::unique_ptr<host::Store> OpenImage(const Options &options, std::string &error)
{
    auto disk = std::make_unique<Disk>();
    if (!OpenDisk(options.path, *disk, error))
        return nullptr;
    std::vector<Partition> partitions;
    if (!ListPartitions(*disk, partitions, error)) {
        error = options.path + ": " + error;
        return nullptr;
    }
    std::vector<std::string> windows = PathNames(options.windowsFolder);
    std::string windowsName = WindowsPath(windows, windows.size());
    bool bare = partitions[0].number == 0;
    Candidate chosen;
    if (bare) {
        if (options.partition > 0) {
            error = options.path + ": a FAT volume without a partition table; leave out --partition";
            return nullptr;
        }
        Examine(*disk, partitions[0], windows, chosen);
        if (!chosen.problem.empty()) {
            error = options.path + ": " + chosen.problem;
            return nullptr;
        }
    } else if (options.partition > 0) {
        std::string numbers;
        for (const Partition &partition : partitions) {
            numbers += (numbers.empty() ? "" : ", ") + std::to_string(partition.number);
            if (partition.number == options.partition)
                Examine(*disk, partition, windows, chosen);
        }
        if (chosen.partition.number == 0) {
            error = options.path + ": has no partition " + std::to_string(options.partition) + " (its partitions: " +
                    numbers + ")";
            return nullptr;
        }
        if (!chosen.problem.empty()) {
            error = options.path + ": partition " + std::to_string(options.partition) + " (type " +
                    Hex(chosen.partition.type) + "): " + chosen.problem;
            return nullptr;
        }
    } else {
        std::vector<Candidate> examined(partitions.size());
        std::vector<size_t> holders;
        for (size_t i = 0; i < partitions.size(); i++) {
            Examine(*disk, partitions[i], windows, examined[i]);
            if (examined[i].problem.empty())
                holders.push_back(i);
        }
        if (holders.size() != 1) {
            error = options.path + ": " +
                    (holders.empty() ? "no partition holds a FAT volume with " + windowsName + ":"
                                     : "several partitions hold " + windowsName + "; choose one with --partition:");
            for (size_t i = 0; i < examined.size(); i++)
                if (holders.empty() || examined[i].problem.empty())
                    error += "\n" + Describe(examined[i]) + (holders.empty() ? ": " + examined[i].problem : "");
            return nullptr;
        }
        chosen = std::move(examined[holders[0]]);
    }
    std::string where =
        bare ? options.path : options.path + " (partition " + std::to_string(chosen.partition.number) + ")";
    std::string problem;
    if (!CheckInstallation(chosen, windows, problem)) {
        error = where + ": " + problem;
        return nullptr;
    }
    chosen.mounted.disk = std::move(disk);
    chosen.mounted.where = where;
    return MakeStore(std::move(chosen.mounted));
}

} // namespace image
