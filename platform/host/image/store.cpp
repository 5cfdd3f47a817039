// Drive C: as a FAT volume in a disk image, offered as a Store: paths are
// found by long name or alias, regardless of case; a file opened for writing
// keeps its new contents in memory (the files here are INF texts and a hive of
// a few MB), and Sync or Close puts them in place copy-on-write: the data into
// free clusters, the chain for them into every FAT copy (flushed), then one
// sector write of the short entry makes the new chain live (flushed), and only
// then is the old chain freed. A process that dies at any write leaves the
// old contents or the new ones, and at worst lost clusters.
#include "platform/host/image/store.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

namespace image {

namespace {

const uint64_t ROOT_ID = 1ull << 63;
const uint8_t KEPT_ATTRIBUTES = READ_ONLY | HIDDEN | SYSTEM | ARCHIVE; // what a caller may set

uint64_t IdOf(uint32_t key, size_t slot)
{
    return (uint64_t)key << 32 | slot;
}

class ImageStore : public host::Store {
public:
    explicit ImageStore(Mounted mounted) : image(std::move(mounted)), volume(image.volume) {}

    std::string Describe(const std::string &path) override { return path + " in " + image.where; }

    bool RealPath(const std::string &path, std::string &real) override
    {
        std::vector<std::string> names = PathNames(path);
        Folder *folder = FolderByKey(RootKey(volume), "the root folder");
        real.clear();
        for (size_t i = 0; folder && i < names.size(); i++) {
            std::vector<const Entry *> found = FindEntries(*folder, names[i]);
            if (found.empty()) {
                if (i + 1 < names.size())
                    return (errno = ENOENT, false);
                real += "/" + names[i];
                return true;
            }
            real += "/" + found[0]->Name();
            if (i + 1 < names.size())
                folder = SubFolder(*found[0], real);
        }
        if (names.empty())
            real = "/";
        return folder != nullptr;
    }

    host::Match Find(const std::string &folderPath, const std::string &name, std::string &found,
                     std::string &twin) override
    {
        std::vector<std::string> names = PathNames(folderPath);
        Folder *folder = FolderAt(names, names.size());
        if (!folder)
            return host::NO_ENTRY;
        std::vector<const Entry *> matches = FindEntries(*folder, name);
        if (matches.empty())
            return host::NO_ENTRY;
        found = matches[0]->Name();
        if (matches.size() == 1)
            return host::ONE_ENTRY;
        twin = matches[1]->Name();
        return host::TWIN_ENTRIES;
    }

    bool Stat(const std::string &path, bool, host::EntryInfo &info) override
    {
        if (PathNames(path).empty()) {
            info = host::EntryInfo();
            info.kind = host::EntryInfo::FOLDER;
            info.attributes = FOLDER;
            info.id = ROOT_ID;
            return true;
        }
        Place place;
        if (!LocateEntry(path, place))
            return false;
        Fill(*place.entry, place.folder->key, info);
        return true;
    }

    int Open(const std::string &path, unsigned flags) override
    {
        Place place;
        if (!Locate(path, place))
            return -1;
        uint64_t id;
        bool emptied = false;
        if (!place.entry) {
            if (!(flags & host::OPEN_CREATE))
                return (errno = ENOENT, -1);
            // A new file is there, empty, as soon as it is created: one sector write.
            uint8_t entry[SLOT] = {};
            entry[11] = ARCHIVE;
            StampTimes(entry, true);
            size_t slot;
            if (!AddEntry(volume, *place.folder, place.name, entry, slot))
                return -1;
            id = IdOf(place.folder->key, slot);
        } else {
            const Entry &entry = *place.entry;
            if (entry.IsFolder())
                return (errno = EISDIR, -1);
            if ((flags & host::OPEN_CREATE) && (flags & host::OPEN_EXCLUSIVE))
                return (errno = EEXIST, -1);
            if ((flags & (host::OPEN_WRITE | host::OPEN_CREATE)) && (entry.attributes & READ_ONLY))
                return (errno = EACCES, -1);
            id = IdOf(place.folder->key, entry.slot);
            emptied = flags & host::OPEN_CREATE;
        }
        Node &node = nodes[id];
        node.folder = place.folder->key;
        node.slot = (size_t)(id & 0xFFFFFFFF);
        if (emptied || !place.entry) {
            // Emptied in memory; the file on the disk changes when it is synced.
            node.bytes.clear();
            node.loaded = true;
            node.dirty = place.entry != nullptr;
        }
        node.handles++;
        int number = nextHandle++;
        handles[number] = {id, flags};
        return number;
    }

    bool FileStat(int file, host::EntryInfo &info) override
    {
        Node *node = NodeOf(file);
        const Entry *entry = node ? EntryOf(*node) : nullptr;
        if (!entry)
            return false;
        Fill(*entry, node->folder, info);
        return true;
    }

    bool ReadAt(int file, uint64_t offset, void *buffer, size_t size, size_t &got) override
    {
        got = 0;
        Node *node = NodeOf(file, host::OPEN_READ);
        if (!node || !Load(*node))
            return false;
        if (offset >= node->bytes.size())
            return true;
        got = (size_t)std::min<uint64_t>(size, node->bytes.size() - offset);
        memcpy(buffer, node->bytes.data() + offset, got);
        return true;
    }

    bool WriteAt(int file, uint64_t offset, const void *buffer, size_t size, size_t &put) override
    {
        put = 0;
        Node *node = NodeOf(file, host::OPEN_WRITE);
        if (!node || !Load(*node))
            return false;
        if (size == 0)
            return true;
        // Clusters are set aside as the file grows, so that a full volume
        // fails here, with the old contents untouched; a write takes what fits.
        uint64_t end = offset + size, most = 0xFFFFFFFF; // FAT's largest file
        uint64_t clusters = (std::min(end, most) + volume.clusterSize - 1) / volume.clusterSize;
        if (clusters > node->reserved.size() &&
            !Reserve(volume, (uint32_t)(clusters - node->reserved.size()), node->reserved) && errno != ENOSPC)
            return false;
        uint64_t room = std::min<uint64_t>((uint64_t)node->reserved.size() * volume.clusterSize, most);
        size_t fits = end <= room ? size : offset < room ? (size_t)(room - offset) : 0;
        if (fits > 0) {
            if (node->bytes.size() < offset + fits)
                node->bytes.resize(offset + fits, 0);
            memcpy(&node->bytes[offset], buffer, fits);
            node->dirty = true;
        }
        put = fits;
        return fits == size || (errno = ENOSPC, false);
    }

    bool Sync(int file) override
    {
        Node *node = NodeOf(file);
        if (!node)
            return false;
        return node->dirty ? Commit(*node) : FlushDisk(*image.disk);
    }

    bool Close(int file) override
    {
        Node *node = NodeOf(file);
        if (!node)
            return false;
        uint64_t id = handles[file].id;
        handles.erase(file);
        bool ok = !node->dirty || Commit(*node);
        int error = errno;
        if (--node->handles == 0) {
            Release(volume, node->reserved);
            nodes.erase(id);
        }
        errno = error;
        return ok;
    }

    bool Rename(const std::string &from, const std::string &to) override
    {
        Place source, target;
        if (!Locate(from, source))
            return false;
        if (!source.entry)
            return (errno = ENOENT, false);
        if (!Locate(to, target))
            return false;
        if (target.folder != source.folder)
            return (errno = EXDEV, false);
        if (IsOpen(source.folder->key, source.entry->slot))
            return (errno = EACCES, false); // Windows 95 renames no open file
        size_t slot = source.entry->slot;
        for (const Entry *match : FindEntries(*target.folder, target.name))
            if (match->slot != slot)
                return (errno = EEXIST, false);
        if (source.entry->Name() == target.name)
            return true;
        return RenameEntry(volume, *source.folder, slot, target.name);
    }

    bool Remove(const std::string &path) override
    {
        Place place;
        if (!LocateEntry(path, place))
            return false;
        if (place.entry->IsFolder())
            return (errno = EISDIR, false);
        if (IsOpen(place.folder->key, place.entry->slot))
            return (errno = EACCES, false);
        // The chain is checked before the entry goes: a damaged one stays as it is.
        std::vector<uint32_t> chain;
        size_t slot = place.entry->slot;
        if (!EntryChain(volume, *place.entry, Describe(path), chain) || !RemoveEntry(volume, *place.folder, slot))
            return false;
        FreeChain(volume, chain); // should this fail, the clusters are lost, nothing worse
        return true;
    }

    bool SetAttributes(const std::string &path, DWORD attributes) override
    {
        Place place;
        if (!LocateEntry(path, place))
            return false;
        if (place.entry->IsFolder())
            return (errno = EACCES, false);
        uint8_t entry[SLOT];
        memcpy(entry, &place.folder->bytes[place.entry->slot * SLOT], SLOT);
        uint8_t changed = (uint8_t)((entry[11] & ~KEPT_ATTRIBUTES) | (attributes & KEPT_ATTRIBUTES));
        if (changed == entry[11])
            return true;
        entry[11] = changed;
        return RewriteEntry(volume, *place.folder, place.entry->slot, entry);
    }

    bool CanReplace(const std::string &path, std::string &why) override
    {
        Place place;
        if (!Locate(path, place))
            return (why = "its folder cannot be found (" + std::string(strerror(errno)) + ")", false);
        if (place.entry)
            return place.entry->IsFolder() ? (why = "it is a folder", false) : true;
        if (!HasRoom(volume, *place.folder, place.name))
            return (why = errno == ENOSPC ? "its folder has no room for another file" : strerror(errno), false);
        return true;
    }

    bool WriteWhole(const std::string &path, const std::vector<std::string_view> &pieces, const std::string &like,
                    bool replace, std::string &failure) override
    {
        std::string bytes;
        for (std::string_view piece : pieces)
            bytes.append(piece.data(), piece.size());
        Place place;
        host::EntryInfo model;
        if (!Stat(like, false, model))
            return (failure = "cannot read the attributes of " + Describe(like) + ": " + strerror(errno), false);
        uint8_t attributes = (uint8_t)(model.attributes & KEPT_ATTRIBUTES);
        if (!Locate(path, place))
            return (failure = "cannot write " + Describe(path) + ": " + strerror(errno), false);
        if (place.entry) {
            if (!replace)
                errno = EEXIST;
            else if (place.entry->IsFolder())
                errno = EISDIR;
            else if (IsOpen(place.folder->key, place.entry->slot))
                errno = EACCES;
            else {
                std::vector<uint32_t> reserved;
                bool ok = ReplaceContents(place.folder->key, place.entry->slot, bytes, reserved, attributes);
                int error = errno;
                Release(volume, reserved);
                errno = error;
                if (ok)
                    return true;
            }
            return (failure = "cannot write the new contents of " + Describe(path) + ": " + strerror(errno), false);
        }
        if (!AddFile(*place.folder, place.name, bytes, attributes))
            return (failure = "cannot write " + Describe(path) + ": " + strerror(errno), false);
        return true;
    }

    void Finish() override
    {
        FinishFat(volume);
        FlushDisk(*image.disk);
    }

    const Disk &TheDisk() const { return *image.disk; }

private:
    // A file opened at least once: where its entry is, and its contents once
    // read or written, with the clusters set aside for them.
    struct Node {
        uint32_t folder = 0;
        size_t slot = 0;
        int handles = 0;
        bool loaded = false, dirty = false;
        std::string bytes;
        std::vector<uint32_t> reserved;
    };
    struct Handle {
        uint64_t id;
        unsigned flags;
    };
    // Where a path's last name is: its folder, and the entry (null: none yet).
    struct Place {
        Folder *folder = nullptr;
        std::string name;
        const Entry *entry = nullptr;
    };

    Mounted image;
    Volume &volume;
    std::map<uint64_t, Node> nodes;
    std::map<int, Handle> handles;
    int nextHandle = 3;

    Folder *FolderByKey(uint32_t key, const std::string &what)
    {
        auto found = image.folders.find(key);
        if (found != image.folders.end())
            return &found->second;
        Folder folder;
        if (!LoadFolder(volume, key, folder, what))
            return nullptr;
        return &(image.folders[key] = std::move(folder));
    }

    Folder *SubFolder(const Entry &entry, const std::string &path)
    {
        if (!entry.IsFolder())
            return (errno = ENOTDIR, nullptr);
        if (entry.cluster < 2 || entry.cluster > LastCluster(volume))
            return Damaged(volume, path + " is a folder that starts outside the volume"), nullptr;
        return FolderByKey(entry.cluster, path);
    }

    // The folder named by the first `count` names; null with errno set.
    Folder *FolderAt(const std::vector<std::string> &names, size_t count)
    {
        Folder *folder = FolderByKey(RootKey(volume), "the root folder");
        std::string path;
        for (size_t i = 0; folder && i < count; i++) {
            std::vector<const Entry *> found = FindEntries(*folder, names[i]);
            if (found.empty())
                return (errno = ENOENT, nullptr);
            path += "/" + found[0]->Name();
            folder = SubFolder(*found[0], path);
        }
        return folder;
    }

    // Locate, for an entry that must be there.
    bool LocateEntry(const std::string &path, Place &place)
    {
        return Locate(path, place) && (place.entry || (errno = ENOENT, false));
    }

    bool Locate(const std::string &path, Place &place)
    {
        std::vector<std::string> names = PathNames(path);
        if (names.empty())
            return (errno = EISDIR, false); // the root folder has no entry
        place.folder = FolderAt(names, names.size() - 1);
        if (!place.folder)
            return false;
        place.name = names.back();
        std::vector<const Entry *> found = FindEntries(*place.folder, place.name);
        place.entry = found.empty() ? nullptr : found[0];
        return true;
    }

    void Fill(const Entry &entry, uint32_t key, host::EntryInfo &info)
    {
        info = host::EntryInfo();
        info.kind = entry.IsFolder() ? host::EntryInfo::FOLDER : host::EntryInfo::FILE;
        info.attributes = entry.attributes & (KEPT_ATTRIBUTES | FOLDER);
        info.id = IdOf(key, entry.slot);
        auto node = nodes.find(info.id);
        info.size = node != nodes.end() && node->second.loaded ? node->second.bytes.size() : entry.size;
    }

    Node *NodeOf(int file, unsigned needs = 0)
    {
        auto handle = handles.find(file);
        if (handle == handles.end() || (handle->second.flags & needs) != needs)
            return (errno = EBADF, nullptr);
        return &nodes.at(handle->second.id);
    }

    const Entry *EntryOf(const Node &node)
    {
        Folder *folder = FolderByKey(node.folder, "a folder");
        const Entry *entry = folder ? EntryAt(*folder, node.slot) : nullptr;
        if (folder && !entry)
            errno = EIO;
        return entry;
    }

    bool IsOpen(uint32_t key, size_t slot) const { return nodes.count(IdOf(key, slot)) != 0; }

    // Reads the file's contents whole, once.
    bool Load(Node &node)
    {
        if (node.loaded)
            return true;
        const Entry *entry = EntryOf(node);
        std::vector<uint32_t> chain;
        if (!entry || !EntryChain(volume, *entry, "a file", chain))
            return false;
        std::vector<uint8_t> bytes((size_t)chain.size() * volume.clusterSize);
        for (size_t i = 0; i < chain.size();) {
            size_t run = 1;
            while (i + run < chain.size() && chain[i + run] == chain[i] + run)
                run++;
            if (!ReadSectors(volume, ClusterSector(volume, chain[i]), &bytes[i * volume.clusterSize],
                             run * volume.sectorsPerCluster))
                return false;
            i += run;
        }
        node.bytes.assign(bytes.begin(), bytes.begin() + entry->size);
        node.loaded = true;
        return true;
    }

    // Writes `bytes` into the clusters of `chain`, a run of consecutive clusters at a time.
    bool WriteClusters(const std::vector<uint32_t> &chain, const std::string &bytes)
    {
        for (size_t i = 0; i < chain.size();) {
            size_t run = 1;
            while (i + run < chain.size() && chain[i + run] == chain[i] + run)
                run++;
            std::vector<uint8_t> data(run * volume.clusterSize, 0);
            size_t from = i * volume.clusterSize;
            memcpy(data.data(), bytes.data() + from, std::min(data.size(), bytes.size() - from));
            if (!WriteSectors(volume, ClusterSector(volume, chain[i]), data.data(), run * volume.sectorsPerCluster))
                return false;
            i += run;
        }
        return true;
    }

    // Free clusters for `size` bytes (some may be set aside already), made a
    // chain in the FAT after `bytes` are written into them.
    bool WriteChain(const std::string &bytes, std::vector<uint32_t> &reserved)
    {
        if (bytes.size() > 0xFFFFFFFF)
            return (errno = ENOSPC, false);
        size_t clusters = (bytes.size() + volume.clusterSize - 1) / volume.clusterSize;
        if (reserved.size() < clusters && !Reserve(volume, (uint32_t)(clusters - reserved.size()), reserved))
            return false;
        Release(volume, std::vector<uint32_t>(reserved.begin() + clusters, reserved.end()));
        reserved.resize(clusters);
        if (!WriteClusters(reserved, bytes))
            return false;
        bool linked = reserved.empty() || LinkChain(volume, reserved);
        if (!linked)
            reserved.clear(); // free again (LinkChain gave them back)
        return linked;
    }

    // The copy-on-write swap of a file's contents: the new chain, then the
    // entry (cluster, size, times, attributes: `attributes`, or the old ones
    // and ARCHIVE when -1) in one sector write, then the old chain freed.
    bool ReplaceContents(uint32_t key, size_t slot, const std::string &bytes, std::vector<uint32_t> &reserved,
                         int attributes)
    {
        Folder *folder = FolderByKey(key, "a folder");
        const Entry *entry = folder ? EntryAt(*folder, slot) : nullptr;
        std::vector<uint32_t> old;
        if (!entry)
            return folder ? (errno = EIO, false) : false;
        if (!EntryChain(volume, *entry, "a file", old) || !WriteChain(bytes, reserved))
            return false;
        std::vector<uint32_t> chain;
        chain.swap(reserved); // in the FAT now
        uint8_t raw[SLOT];
        memcpy(raw, &folder->bytes[slot * SLOT], SLOT);
        SetCluster(raw, chain.empty() ? 0 : chain[0]);
        SetSize(raw, (uint32_t)bytes.size());
        StampTimes(raw, false);
        raw[11] = attributes < 0 ? (uint8_t)(raw[11] | ARCHIVE) : (uint8_t)attributes;
        if (!RewriteEntry(volume, *folder, slot, raw)) {
            int error = errno;
            // Written but not flushed: the new chain is live, the old one stays (lost at worst).
            if (memcmp(&folder->bytes[slot * SLOT], raw, SLOT) != 0)
                FreeChain(volume, chain);
            errno = error;
            return false;
        }
        FreeChain(volume, old); // should this fail, the old clusters are lost, nothing worse
        return true;
    }

    bool Commit(Node &node)
    {
        if (!ReplaceContents(node.folder, node.slot, node.bytes, node.reserved, -1))
            return false;
        node.dirty = false;
        return true;
    }

    // A new file with its contents: the chain first, then its entry set in one
    // sector write, so that the name never stands for a partial file.
    bool AddFile(Folder &folder, const std::string &name, const std::string &bytes, uint8_t attributes)
    {
        std::vector<uint32_t> chain;
        if (!HasRoom(volume, folder, name) || !WriteChain(bytes, chain)) {
            int error = errno;
            Release(volume, chain);
            errno = error;
            return false;
        }
        uint8_t entry[SLOT] = {};
        entry[11] = attributes;
        SetCluster(entry, chain.empty() ? 0 : chain[0]);
        SetSize(entry, (uint32_t)bytes.size());
        StampTimes(entry, true);
        size_t slot;
        if (!AddEntry(volume, folder, name, entry, slot)) {
            int error = errno;
            bool live = false;
            for (const Entry *made : FindEntries(folder, name))
                live = live || (!chain.empty() && made->cluster == chain[0]);
            if (!live) // the entry did not go in: the chain is only lost clusters, freed here
                FreeChain(volume, chain);
            errno = error;
            return false;
        }
        return true;
    }
};

} // namespace

std::vector<std::string> PathNames(const std::string &path)
{
    std::vector<std::string> names;
    size_t from = 0;
    while (from <= path.size()) {
        size_t to = path.find('/', from);
        if (to == std::string::npos)
            to = path.size();
        std::string name = path.substr(from, to - from);
        if (name == "..") {
            if (!names.empty())
                names.pop_back();
        } else if (!name.empty() && name != ".") {
            names.push_back(name);
        }
        from = to + 1;
    }
    return names;
}

uint32_t RootKey(const Volume &volume)
{
    return volume.fatBits == 32 ? volume.rootCluster : 0;
}

std::unique_ptr<host::Store> MakeStore(Mounted mounted)
{
    return std::make_unique<ImageStore>(std::move(mounted));
}

bool ImageTraffic(host::Store &store, uint64_t &bytesRead, uint64_t &bytesWritten)
{
    ImageStore *image = dynamic_cast<ImageStore *>(&store);
    if (!image)
        return false;
    bytesRead = image->TheDisk().bytesRead;
    bytesWritten = image->TheDisk().bytesWritten;
    return true;
}

} // namespace image
