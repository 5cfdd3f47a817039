// Images made and read back with dosfstools and mtools; see images.h.
#include "tests/image/images.h"

#include <stdio.h>
#include <strings.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>

namespace images {

namespace {

// mtools' name for the volume at `offset` of an image.
std::string Drive(const std::string &path, uint64_t offset)
{
    return "-i " + Quote(path + "@@" + std::to_string(offset));
}

void Must(const std::string &command)
{
    Ran ran = Shell(command);
    if (ran.status != 0)
        throw std::runtime_error(command + " failed:\n" + ran.output);
}

} // namespace

Ran Shell(const std::string &command)
{
    // mtools refuses volumes whose layout it finds odd unless told to go on.
    std::string full = "MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 " + command + " 2>&1";
    FILE *pipe = popen(full.c_str(), "r");
    Ran ran{-1, ""};
    if (!pipe)
        return ran;
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        ran.output.append(buffer, got);
    int status = pclose(pipe);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ran;
}

std::string Quote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string MissingTools()
{
    std::string missing;
    for (const char *tool : {"mkfs.fat", "fsck.fat", "mcopy", "mdir", "mattrib", "sfdisk", "qemu-img"})
        if (Shell(std::string("command -v ") + tool + " || test -x /sbin/" + tool).status != 0)
            missing += std::string(missing.empty() ? "" : ", ") + tool;
    return missing;
}

std::string Text(size_t size, int seed)
{
    std::string text;
    for (int line = 0; text.size() < size; line++)
        text += "; line " + std::to_string(line) + " of text " + std::to_string(seed) + ", HKR,,DevLoader,,*vxd\r\n";
    text.resize(size);
    return text;
}

std::string Blob(size_t size, int seed)
{
    std::string bytes(size, '\0');
    uint32_t state = 2463534242u + (uint32_t)seed;
    for (char &byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = (char)state;
    }
    return bytes;
}

Tree Installation(size_t hiveSize)
{
    Tree tree;
    tree["IO.SYS"] = Blob(40000, 1);
    tree["COMMAND.COM"] = Blob(93000, 2);
    tree["WINDOWS/WIN.INI"] = Text(3000, 3);
    tree["WINDOWS/SYSTEM.DAT"] = Blob(hiveSize, 4);
    tree["WINDOWS/SYSTEM/VMM32.VXD"] = Blob(20000, 5);
    tree["WINDOWS/INF/Machine.inf"] = Text(2595, 6);
    tree["WINDOWS/INF/MSHDC.INF"] = Text(1198, 7);
    tree["WINDOWS/INF/usb.inf"] = Text(4000, 8);
    // Enough long names to spread the INF folder over several sectors, and
    // over a second cluster where clusters are small.
    for (int i = 1; i <= 24; i++)
        tree["WINDOWS/INF/Display adapter number " + std::to_string(i) + ".inf"] = Text(700 + 37 * i, 100 + i);
    return tree;
}

void MakeVolume(const std::string &path, uint64_t offset, uint64_t kib, const std::string &options)
{
    if (!PathExists(path))
        WriteWholeFile(path, "");
    std::filesystem::resize_file(path, std::max<uint64_t>(std::filesystem::file_size(path), offset + kib * 1024));
    std::string at = offset ? " --offset " + std::to_string(offset / 512) : "";
    Must("mkfs.fat " + options + at + " -n WIN95 " + Quote(path) + " " + std::to_string(kib));
}

void Install(const std::string &path, uint64_t offset, const Tree &tree)
{
    Scratch host;
    for (const auto &file : tree)
        host.Write("c/" + file.first, file.second);
    std::string sources;
    for (const auto &entry : std::filesystem::directory_iterator(host.Path("c")))
        sources += " " + Quote(entry.path().string());
    Must("mcopy -s " + Drive(path, offset) + sources + " ::/");
    if (tree.count("WINDOWS/SYSTEM.DAT"))
        Must("mattrib " + Drive(path, offset) + " +r +h +s ::/WINDOWS/SYSTEM.DAT");
}

Tree ReadBack(const std::string &path, uint64_t offset)
{
    Scratch out;
    Must("mcopy -s -n " + Drive(path, offset) + " ::/ " + Quote(out.root));
    Tree tree;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(out.root))
        if (entry.is_regular_file())
            tree[entry.path().string().substr(out.root.size() + 1)] = ReadWholeFile(entry.path().string());
    return tree;
}

Listed ListEntry(const std::string &path, uint64_t offset, const std::string &folder, const std::string &name)
{
    Ran ran = Shell("mdir -a " + Drive(path, offset) + " " + Quote(folder));
    static const std::regex line(R"(^(\S[^ ]*) *(\S{0,3}) +(<DIR>|\d+) +(\d{4}-\d\d-\d\d) +(\d+:\d\d) *(.*)$)");
    Listed listed;
    size_t from = 0;
    while (from < ran.output.size()) {
        size_t to = ran.output.find('\n', from);
        std::string text = ran.output.substr(from, to == std::string::npos ? std::string::npos : to - from);
        from = to == std::string::npos ? ran.output.size() : to + 1;
        std::smatch match;
        if (!std::regex_match(text, match, line))
            continue;
        std::string alias = match[1].str() + (match[2].length() ? "." + match[2].str() : "");
        std::string longName = match[6].str();
        if (strcasecmp(alias.c_str(), name.c_str()) != 0 && longName != name)
            continue;
        listed = {true, alias, longName, match[4].str(), match[5].str()};
    }
    return listed;
}

std::string Attributes(const std::string &path, uint64_t offset, const std::string &file)
{
    Ran ran = Shell("mattrib " + Drive(path, offset) + " " + Quote(file));
    if (ran.status != 0 || ran.output.size() < 8)
        return "?";
    std::string letters;
    for (size_t at : {2, 5, 6, 7})
        letters += ran.output[at] == ' ' ? '-' : ran.output[at];
    return letters;
}

Ran Fsck(const std::string &path, uint64_t offset, uint64_t bytes)
{
    if (offset == 0)
        return Shell("fsck.fat -n " + Quote(path));
    Scratch copy;
    std::string volume = copy.Path("volume.img");
    Must("dd status=none if=" + Quote(path) + " of=" + Quote(volume) + " bs=512 skip=" + std::to_string(offset / 512) +
         " count=" + std::to_string(bytes / 512));
    return Shell("fsck.fat -n " + Quote(volume));
}

std::vector<std::string> FsckComplaints(const std::string &report, const std::vector<std::string> &allowed)
{
    static const std::vector<std::string> always = {"fsck.fat ", "Leaving filesystem unchanged.", "  Using first FAT."};
    static const std::regex summary(R"(^\S.*: \d+ files, \d+/\d+ clusters$)");
    std::vector<std::string> complaints;
    size_t from = 0;
    while (from < report.size()) {
        size_t to = report.find('\n', from);
        std::string line = report.substr(from, to == std::string::npos ? std::string::npos : to - from);
        from = to == std::string::npos ? report.size() : to + 1;
        bool harmless = line.empty() || std::regex_match(line, summary);
        for (const std::string &prefix : always)
            harmless = harmless || line.compare(0, prefix.size(), prefix) == 0;
        for (const std::string &prefix : allowed)
            harmless = harmless || line.compare(0, prefix.size(), prefix) == 0;
        if (!harmless)
            complaints.push_back(line);
    }
    return complaints;
}

std::unique_ptr<host::Store> Open(const std::string &path, std::string &error, int partition)
{
    image::Options options;
    options.path = path;
    options.partition = partition;
    options.windowsFolder = "/WINDOWS";
    return image::OpenImage(options, error);
}

bool WriteFile(host::Store &store, const std::string &path, const std::string &bytes, size_t chunk)
{
    int file = store.Open(path, host::OPEN_WRITE | host::OPEN_CREATE);
    if (file < 0)
        return false;
    bool ok = true;
    for (size_t at = 0; ok && at < bytes.size(); at += chunk) {
        size_t put, size = std::min(chunk, bytes.size() - at);
        ok = store.WriteAt(file, at, bytes.data() + at, size, put) && put == size;
    }
    ok = ok && store.Sync(file);
    return store.Close(file) && ok;
}

bool ProgramWrites(host::Store &store, const std::string &machineText, const std::string &oldHive,
                   const std::string &newHive)
{
    const std::string inf = "/WINDOWS/INF/", hive = "/WINDOWS/SYSTEM.DAT", copy = "/WINDOWS/SYSTEM.PLX";
    std::string target, backup, twin, failure;
    bool hasTarget = store.Find("/WINDOWS/INF", "machine.inf", target, twin) == host::ONE_ENTRY;
    bool hasBackup = store.Find("/WINDOWS/INF", "machine.in@", backup, twin) == host::ONE_ENTRY;
    if (hasBackup && !(hasTarget ? store.Remove(inf + backup) : store.Rename(inf + backup, inf + "machine.inf")))
        return false;
    if (store.Find("/WINDOWS/INF", "machine.inf", target, twin) != host::ONE_ENTRY)
        return false;
    host::EntryInfo info;
    bool ok = WriteFile(store, inf + "out.inf", machineText, 700) &&
              store.Rename(inf + target, inf + "machine.in@") && store.Rename(inf + "out.inf", inf + "machine.inf") &&
              store.Remove(inf + "machine.in@") &&
              (store.Stat(copy, false, info) || store.WriteWhole(copy, {oldHive}, hive, false, failure)) &&
              store.WriteWhole(hive, {newHive}, hive, true, failure);
    store.Finish();
    return ok;
}

} // namespace images
