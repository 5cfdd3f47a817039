// The dry run's overlay (overlay.h): a Store in front of another that keeps
// every change in memory. For each folder it holds the names it has changed;
// such a name shows a file of its own (bytes and attributes in memory), a file
// of the store below under a new name (renamed: nothing is copied until it is
// written), or nothing (deleted). Every other name is the store's below, read
// through. The ids and file numbers it gives are its own, so they never meet
// the store's. Of the store below it only reads: Find, Stat, RealPath, Open
// for reading and CanReplaceWithoutWriting.
#include "platform/host/overlay.h"

#include <errno.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

namespace host {

namespace {

const DWORD KeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// A store path's folder ("" for the root of "/NAME") and last name.
std::string FolderOf(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string NameOf(const std::string &path)
{
    return path.substr(path.find_last_of('/') + 1);
}

std::string Lower(std::string name)
{
    for (char &c : name)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return name;
}

class OverlayStore : public Store {
public:
    explicit OverlayStore(Store &below) : below(below) {}

    Store &below;

    std::string Describe(const std::string &path) override { return below.Describe(path); }

    bool RealPath(const std::string &path, std::string &real) override
    {
        Place place = At(path);
        EntryInfo info;
        bool renamedLink = place.id && !nodes[place.id].own && below.Stat(place.belowPath, false, info) &&
                           info.kind == EntryInfo::OTHER;
        if (!place.changed || renamedLink)
            return below.RealPath(place.belowPath, real);
        real = (place.folder == "/" ? "" : place.folder) + "/" + place.name;
        return true;
    }

    Match Find(const std::string &folder, const std::string &name, std::string &found, std::string &twin) override
    {
        std::vector<std::string> matches;
        auto changed = names.find(Real(folder));
        if (changed != names.end())
            for (const auto &entry : changed->second)
                if (entry.second && strcasecmp(entry.first.c_str(), name.c_str()) == 0)
                    matches.push_back(entry.first);
        std::string stored[2];
        Match match = below.Find(folder, name, stored[0], stored[1]);
        for (int i = 0; i < (match == TWIN_ENTRIES ? 2 : match == ONE_ENTRY ? 1 : 0); i++)
            if (changed == names.end() || !changed->second.count(stored[i]))
                matches.push_back(stored[i]);
        if (matches.empty())
            return NO_ENTRY;
        found = matches[0];
        if (matches.size() == 1)
            return ONE_ENTRY;
        twin = matches[1];
        return TWIN_ENTRIES;
    }

    bool Stat(const std::string &path, bool follow, EntryInfo &info) override
    {
        return Present(At(follow ? Followed(path) : path), follow, info);
    }

    int Open(const std::string &path, unsigned flags) override
    {
        Place place = At((flags & OPEN_NO_FOLLOW) ? path : Followed(path));
        EntryInfo info;
        bool exists = Present(place, false, info);
        if (!exists && errno != ENOENT)
            return -1;
        if (exists && (flags & OPEN_CREATE) && (flags & OPEN_EXCLUSIVE))
            return (errno = EEXIST, -1);
        if (!(flags & (OPEN_WRITE | OPEN_CREATE))) {
            if (!exists)
                return -1;
            if (Own(place))
                return NewHandle(place.id, -1, flags);
            int file = below.Open(place.belowPath, flags); // the store refuses what is no file itself
            return file < 0 ? -1 : NewHandle(info.id, file, flags);
        }
        // Writing: a file of the store below is copied up first. What is no
        // regular file is refused as the store refuses it; the file a dangling
        // link names is not made here.
        if (exists && info.kind != EntryInfo::FILE) {
            EntryInfo target;
            bool dangling = info.kind == EntryInfo::OTHER && !below.Stat(place.belowPath, true, target);
            errno = info.kind == EntryInfo::FOLDER ? EISDIR
                    : (flags & OPEN_NO_FOLLOW)     ? ELOOP
                    : dangling && !(flags & OPEN_CREATE) ? ENOENT
                                                         : EACCES;
            return -1;
        }
        if (exists && (info.attributes & FILE_ATTRIBUTE_READONLY))
            return (errno = EACCES, -1);
        if (exists)
            return Materialize(place, info, !(flags & OPEN_CREATE)) ? NewHandle(info.id, -1, flags) : -1;
        if (!(flags & OPEN_CREATE))
            return (errno = ENOENT, -1);
        if (!FolderExists(place.folder))
            return -1;
        uint64_t id = ++lastId;
        nodes[id].own = true;
        Show(place, id);
        return NewHandle(id, -1, flags);
    }

    bool FileStat(int file, EntryInfo &info) override
    {
        Handle *handle = HandleOf(file);
        if (!handle)
            return false;
        if (OwnNode(handle->id))
            return (Fill(handle->id, info), true);
        if (!below.FileStat(handle->below, info))
            return false;
        info.id = handle->id;
        return true;
    }

    bool ReadAt(int file, uint64_t offset, void *buffer, size_t size, size_t &got) override
    {
        got = 0;
        Handle *handle = HandleOf(file);
        if (!handle)
            return false;
        if (!(handle->flags & OPEN_READ))
            return (errno = EBADF, false);
        if (!OwnNode(handle->id)) // read through while nothing was written to it
            return below.ReadAt(handle->below, offset, buffer, size, got);
        const std::string &bytes = nodes[handle->id].bytes;
        got = offset < bytes.size() ? std::min(size, (size_t)(bytes.size() - offset)) : 0;
        if (got)
            memcpy(buffer, bytes.data() + offset, got);
        return true;
    }

    bool WriteAt(int file, uint64_t offset, const void *buffer, size_t size, size_t &put) override
    {
        put = 0;
        Handle *handle = HandleOf(file);
        if (!handle)
            return false;
        if (!(handle->flags & OPEN_WRITE))
            return (errno = EBADF, false);
        if (size == 0)
            return true;
        std::string &bytes = nodes[handle->id].bytes;
        if (bytes.size() < offset + size)
            bytes.resize(offset + size);
        memcpy(&bytes[offset], buffer, size);
        put = size;
        return true;
    }

    bool Sync(int file) override { return HandleOf(file) != nullptr; }

    bool Close(int file) override
    {
        Handle *handle = HandleOf(file);
        if (!handle)
            return false;
        Handle closed = *handle;
        handles.erase(file);
        bool ok = closed.below < 0 || below.Close(closed.below);
        Forget(closed.id);
        return ok;
    }

    bool Rename(const std::string &from, const std::string &to) override
    {
        if (from == to)
            return true;
        Place source = At(from), target = At(to);
        EntryInfo info, taken;
        if (!Present(source, false, info))
            return false;
        if (info.kind == EntryInfo::FOLDER)
            return (errno = EXDEV, false); // only files move in memory
        bool respelling = source.folder == target.folder && strcasecmp(source.name.c_str(), target.name.c_str()) == 0;
        if (!respelling) {
            if (Present(target, false, taken))
                return (errno = EEXIST, false);
            if (errno != ENOENT || !FolderExists(target.folder))
                return false;
        }
        Node &node = nodes[info.id];
        if (!node.own && node.origin.empty())
            node.origin = source.belowPath;
        Note(source);
        Note(target);
        names[source.folder][source.name] = 0;
        uint64_t &shown = names[target.folder][target.name];
        uint64_t replaced = shown;
        shown = info.id;
        if (replaced && replaced != info.id)
            Unnamed(replaced);
        return true;
    }

    bool Remove(const std::string &path) override
    {
        Place place = At(path);
        EntryInfo info;
        if (!Present(place, false, info))
            return false;
        if (info.kind == EntryInfo::FOLDER)
            return (errno = EISDIR, false);
        Show(place, 0);
        return true;
    }

    // All four attributes are kept as given, as FAT keeps them.
    bool SetAttributes(const std::string &path, DWORD attributes) override
    {
        Place place = At(path);
        EntryInfo info;
        if (!Present(place, false, info))
            return false;
        if (info.kind != EntryInfo::FILE)
            return (errno = EACCES, false);
        if (!Materialize(place, info, true))
            return false;
        nodes[info.id].attributes = attributes & KeptAttributes;
        return true;
    }

    bool CanReplace(const std::string &path, std::string &why) override
    {
        return below.CanReplaceWithoutWriting(path, why);
    }

    bool CanReplaceWithoutWriting(const std::string &path, std::string &why) override
    {
        return below.CanReplaceWithoutWriting(path, why);
    }

    // The new contents take the name at once: a new file, as the rename of a
    // replacement into place gives one, with the attributes of `like`.
    bool WriteWhole(const std::string &path, const std::vector<std::string_view> &pieces, const std::string &like,
                    bool replace, std::string &failure) override
    {
        EntryInfo model, old;
        if (!Stat(like, true, model))
            return (failure = "cannot open " + Describe(like) + ": " + strerror(errno), false);
        Place place = At(path);
        bool taken = Present(place, false, old);
        bool free = taken ? replace && old.kind != EntryInfo::FOLDER : errno == ENOENT && FolderExists(place.folder);
        if (!free) {
            if (taken)
                errno = replace ? EISDIR : EEXIST;
            return (failure = "cannot write " + Describe(path) + ": " + strerror(errno), false);
        }
        uint64_t id = ++lastId;
        Node &node = nodes[id];
        node.own = node.whole = true;
        node.attributes = model.attributes;
        for (std::string_view piece : pieces)
            node.bytes.append(piece.data(), piece.size());
        Show(place, id);
        return true;
    }

    // Nothing of the store below is brought up to date: it was not written.
    void Finish() override {}

    std::vector<FileChange> Changes(const std::string &root)
    {
        std::string top = root.empty() ? "" : Real(root);
        std::string prefix = top == "/" ? top : top + "/";
        std::vector<FileChange> changes;
        for (const auto &changed : firstChanges) {
            const std::string &folder = changed.first, &name = changed.second;
            if (folder != top && folder.compare(0, prefix.size(), prefix) != 0)
                continue;
            std::string relative = folder == top ? "" : folder.substr(prefix.size()) + "/";
            std::string now = FileNamed(*this, folder, name), then = FileNamed(below, folder, name);
            if (!now.empty() && IsWhole(At(folder + "/" + now)))
                continue;
            FileChange change;
            if ((!now.empty() && !ReadWhole(*this, folder + "/" + now, change.newBytes)) ||
                (!then.empty() && !ReadWhole(below, folder + "/" + then, change.oldBytes)))
                continue;
            if (now.empty() == then.empty() && (now.empty() || change.newBytes == change.oldBytes))
                continue;
            change.before = then.empty() ? "" : relative + then;
            change.after = now.empty() ? "" : relative + now;
            changes.push_back(std::move(change));
        }
        return changes;
    }

private:
    struct Node {
        std::string origin; // while not own: the store's entry it shows under a new name
        bool own = false;   // its bytes and attributes are the overlay's
        bool whole = false; // given by WriteWhole
        bool named = true;  // a name shows it
        std::string bytes;
        DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    };
    // What stands at a path: its folder (links resolved) and name; whether
    // the overlay decides what is there, and then its node (0: nothing); and
    // where the store below holds the entry that is seen.
    struct Place {
        std::string folder, name;
        bool changed = false;
        uint64_t id = 0;
        std::string belowPath;
    };
    struct Handle {
        uint64_t id;
        int below; // the store's own number while reading through, else -1
        unsigned flags;
    };

    std::map<std::string, std::map<std::string, uint64_t>> names; // changed names by folder, and their nodes
    std::map<uint64_t, Node> nodes;
    std::map<uint64_t, uint64_t> belowIds; // the store's ids and ours
    uint64_t lastId = 0;
    std::map<std::string, std::string> realFolders;
    std::map<int, Handle> handles;
    int lastHandle = 0;
    std::vector<std::pair<std::string, std::string>> firstChanges; // folder and name, in order
    std::set<std::string> changedNames;                            // folder and name in lower case

    // A folder with links resolved, so that every spelling of a folder meets
    // the same changes. The overlay never moves folders: the answer stays.
    std::string Real(const std::string &folder)
    {
        if (folder.empty())
            return folder;
        auto known = realFolders.find(folder);
        if (known != realFolders.end())
            return known->second;
        std::string real;
        if (!below.RealPath(folder, real))
            real = folder;
        return realFolders[folder] = real;
    }

    uint64_t IdOf(uint64_t belowId)
    {
        auto known = belowIds.find(belowId);
        return known != belowIds.end() ? known->second : belowIds[belowId] = ++lastId;
    }

    Place At(const std::string &path)
    {
        Place place;
        place.folder = Real(FolderOf(path));
        place.name = NameOf(path);
        place.belowPath = path;
        auto folder = names.find(place.folder);
        if (folder == names.end())
            return place;
        std::string name = place.name, stored, twin;
        // A store that matches names regardless of case (an image) answers a
        // new spelling with the entry it holds: what the overlay decided for
        // that entry's own spelling holds for every spelling of it.
        if (!folder->second.count(name) && below.Find(place.folder, name, stored, twin) == ONE_ENTRY)
            name = stored;
        if (!folder->second.count(name))
            return place;
        place.changed = true;
        place.id = folder->second[name];
        if (place.id && !nodes[place.id].own)
            place.belowPath = nodes[place.id].origin;
        return place;
    }

    bool OwnNode(uint64_t id)
    {
        auto node = nodes.find(id);
        return node != nodes.end() && node->second.own;
    }

    bool Own(const Place &place) { return place.id && OwnNode(place.id); }

    bool IsWhole(const Place &place) { return Own(place) && nodes[place.id].whole; }

    void Fill(uint64_t id, EntryInfo &info)
    {
        info.kind = EntryInfo::FILE;
        info.attributes = nodes[id].attributes;
        info.size = nodes[id].bytes.size();
        info.id = id;
    }

    // What stands at `place`, as Stat answers; false with errno set.
    bool Present(const Place &place, bool follow, EntryInfo &info)
    {
        if (place.changed && !place.id)
            return (errno = ENOENT, false);
        if (Own(place))
            return (Fill(place.id, info), true);
        if (!below.Stat(place.belowPath, follow, info))
            return false;
        info.id = IdOf(info.id);
        return true;
    }

    // The path a symbolic link of the store below leads to, to be looked up
    // here again (the file it names may be changed); any other path as it is.
    std::string Followed(const std::string &path)
    {
        Place place = At(path);
        EntryInfo info, target;
        std::string real;
        if ((place.changed && !place.id) || Own(place) || !below.Stat(place.belowPath, false, info) ||
            info.kind != EntryInfo::OTHER)
            return path;
        bool link = !below.Stat(place.belowPath, true, target) || target.id != info.id; // not a FIFO or device
        return link && below.RealPath(place.belowPath, real) ? real : path;
    }

    bool FolderExists(const std::string &folder)
    {
        EntryInfo info;
        if (folder.empty())
            return true;
        if (!below.Stat(folder, true, info))
            return false;
        return info.kind == EntryInfo::FOLDER || (errno = ENOTDIR, false);
    }

    void Note(const Place &place)
    {
        if (changedNames.insert(place.folder + "/" + Lower(place.name)).second)
            firstChanges.push_back({place.folder, place.name});
    }

    // `place` shows the node `id` from now on (0: nothing); a node it showed
    // before has lost its name.
    void Show(const Place &place, uint64_t id)
    {
        Note(place);
        uint64_t &shown = names[place.folder][place.name];
        uint64_t old = shown;
        shown = id;
        if (old && old != id)
            Unnamed(old);
    }

    void Unnamed(uint64_t id)
    {
        nodes[id].named = false;
        Forget(id);
    }

    // A node no name shows goes once no open file has it.
    void Forget(uint64_t id)
    {
        auto node = nodes.find(id);
        if (node == nodes.end() || node->second.named)
            return;
        for (const auto &handle : handles)
            if (handle.second.id == id)
                return;
        nodes.erase(node);
    }

    // The file of the store below at `place`, its bytes and attributes now
    // the overlay's (`keep` false: emptied); the name shows it.
    bool Materialize(const Place &place, const EntryInfo &info, bool keep)
    {
        if (!OwnNode(info.id)) {
            std::string bytes;
            if (keep && !ReadWhole(below, place.belowPath, bytes))
                return false;
            Node &node = nodes[info.id];
            node.bytes = std::move(bytes);
            node.attributes = info.attributes;
            node.own = true;
            node.origin.clear();
        }
        if (!keep)
            nodes[info.id].bytes.clear();
        if (!place.changed)
            Show(place, info.id);
        return true;
    }

    int NewHandle(uint64_t id, int belowFile, unsigned flags)
    {
        handles[++lastHandle] = {id, belowFile, flags};
        return lastHandle;
    }

    Handle *HandleOf(int file)
    {
        auto handle = handles.find(file);
        if (handle == handles.end())
            return (errno = EBADF, nullptr);
        return &handle->second;
    }

    // The stored name of the regular file `name` matches in `folder`, or "".
    static std::string FileNamed(Store &store, const std::string &folder, const std::string &name)
    {
        std::string found, twin;
        EntryInfo info;
        if (store.Find(folder, name, found, twin) != ONE_ENTRY || !store.Stat(folder + "/" + found, true, info) ||
            info.kind != EntryInfo::FILE)
            return "";
        return found;
    }
};

bool DryRunOn;
std::vector<std::unique_ptr<OverlayStore>> Overlays;

} // namespace

void StartDryRun()
{
    DryRunOn = true;
}

void EndDryRun()
{
    DryRunOn = false;
    Overlays.clear();
}

Store &SeenByRun(Store &store)
{
    if (!DryRunOn)
        return store;
    for (const auto &overlay : Overlays)
        if (overlay.get() == &store || &overlay->below == &store)
            return *overlay;
    Overlays.push_back(std::make_unique<OverlayStore>(store));
    return *Overlays.back();
}

std::vector<FileChange> DryRunChanges(Store &seen, const std::string &root)
{
    for (const auto &overlay : Overlays)
        if (overlay.get() == &seen)
            return overlay->Changes(root);
    return {};
}

} // namespace host
