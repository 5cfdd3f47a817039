// plovex --dry-run against a real run of the same script on the same
// installation: the dry run writes nothing at all, and what it prints is what
// the real run does. Each route by which drive C: reaches plovex is one more
// entry in Routes; each registry format one more entry in Registries.
#include "tests/e2e/sample.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>

namespace {

using namespace e2e;
namespace fs = std::filesystem;

const std::string RestartYes =
    R"(Finish|You must restart your computer.\n Do you want to restart your computer now?|4|6)";

// Every entry at or below `path` with its mode, size, times of change and
// bytes: a dry run must leave all of it as it was.
std::map<std::string, std::string> Stamps(const std::string &path)
{
    std::map<std::string, std::string> stamps;
    auto stamp = [&](const fs::path &entry) {
        struct stat info;
        if (lstat(entry.c_str(), &info) != 0)
            return;
        stamps[entry.string()] = std::to_string(info.st_mode) + " " + std::to_string(info.st_size) + " modified " +
                                 std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) +
                                 " changed " + std::to_string(info.st_ctim.tv_sec) + "." +
                                 std::to_string(info.st_ctim.tv_nsec) + "\n" +
                                 (S_ISREG(info.st_mode) ? ReadWholeFile(entry.string()) : "");
    };
    stamp(path);
    if (fs::is_directory(path))
        for (const auto &entry : fs::recursive_directory_iterator(path))
            stamp(entry.path());
    return stamps;
}

// The regular files of a folder by their path from it, with their bytes.
std::map<std::string, std::string> FolderFiles(const std::string &root)
{
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[entry.path().string().substr(root.size() + 1)] = ReadWholeFile(entry.path().string());
    return files;
}

// A way to hand plovex a drive C: made from an installation folder.
struct Route {
    const char *name;
    // Drive C: made from `installation` inside the folder `place`: what --drive-c is given.
    std::function<std::string(const std::string &installation, const std::string &place)> make;
    // Every file drive C: holds, by its path from the root, with its bytes.
    std::function<std::map<std::string, std::string>(const std::string &drive)> files;
    // What a run on `drive` holds locked while it runs.
    std::function<std::string(const std::string &drive)> lock;
};

std::string Upper(std::string text)
{
    for (char &c : text)
        c = (char)toupper((unsigned char)c);
    return text;
}

// A FAT16 image made with mkfs.fat and mcopy from an installation folder:
// names in upper case (plain 8.3 entries, read alike by every reader), a file
// without write permission read-only, SYSTEM.DAT also hidden and system.
std::string MakeImage(const std::string &installation, const std::string &place)
{
    std::string image = place + "/c.img", i = " -i '" + image + "'";
    EXPECT_EQ(system(("mkfs.fat -C -F 16 '" + image + "' 16384 >/dev/null").c_str()), 0);
    for (const auto &entry : fs::recursive_directory_iterator(installation)) {
        std::string target = "::/" + Upper(entry.path().string().substr(installation.size() + 1));
        std::string command = entry.is_directory() ? "mmd" + i + " '" + target + "'"
                                                   : "mcopy" + i + " '" + entry.path().string() + "' '" + target + "'";
        if (!entry.is_directory() && access(entry.path().c_str(), W_OK) != 0 && geteuid() != 0)
            command += "; mattrib" + i + " +r '" + target + "'";
        struct stat info;
        if (!entry.is_directory() && stat(entry.path().c_str(), &info) == 0 && !(info.st_mode & S_IWUSR))
            command += "; mattrib" + i + (Upper(target).find("SYSTEM.DAT") != std::string::npos ? " +h +s" : "") +
                       " +r '" + target + "'";
        EXPECT_EQ(system(command.c_str()), 0) << command;
    }
    return image;
}

// Every file of an image, read back with mtools.
std::map<std::string, std::string> ImageFiles(const std::string &image)
{
    std::string out = image + ".files";
    fs::remove_all(out);
    fs::create_directories(out);
    EXPECT_EQ(system(("mcopy -s -n -i '" + image + "' ::/ '" + out + "'").c_str()), 0);
    return FolderFiles(out);
}

const Route Routes[] = {
    {"a folder",
     [](const std::string &installation, const std::string &place) {
         fs::copy(installation, place + "/c", fs::copy_options::recursive);
         return place + "/c";
     },
     FolderFiles, [](const std::string &drive) { return drive + "/WINDOWS"; }},
    {"a disk image", MakeImage, ImageFiles, [](const std::string &drive) { return drive; }},
};

// Paths compared as FAT compares them.
std::map<std::string, std::string> Blind(const std::map<std::string, std::string> &files)
{
    std::map<std::string, std::string> blind;
    for (const auto &file : files)
        blind[Upper(file.first)] = file.second;
    return blind;
}

// A registry: its file, placed beside drive C: (a REGEDIT4 file given with
// --registry) or on it (the installation's own hive); the files of the
// drive that are the registry's, which a run changes and a diff leaves alone.
struct Registry {
    const char *name;
    std::string fixture, beside, onDrive;
    std::vector<std::string> files; // in upper case
};

const Registry Registries[] = {
    {"a REGEDIT4 file", "B.REG", "SYSTEM.REG", "", {}},
    {"a hive", "B.DAT", "", "WINDOWS/SYSTEM.DAT", {"WINDOWS/SYSTEM.DAT", "WINDOWS/SYSTEM.PLX"}},
};

// The keys of the lines that say "HKEY_LOCAL_MACHINE\...", and those the
// log says a run deleted.
std::vector<std::string> KeysListed(const std::string &out)
{
    std::vector<std::string> keys;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("HKEY_LOCAL_MACHINE\\", 0) == 0)
            keys.push_back(line.substr(19));
    return keys;
}

std::vector<std::string> KeysDeleted(const PlovexRun &run)
{
    std::vector<std::string> keys;
    for (const std::string &line : run.log) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"re(\{"event":"regdelete","key":"(.*)","found":true\})re")))
            keys.push_back(std::regex_replace(m[1].str(), std::regex(R"(\\\\)"), "\\"));
    }
    return keys;
}

// The installation needs every kind of change a diff can show: machine.inf
// lies under its backup name as an interrupted commit left it (the run puts
// it back and patches it), a half-written work file out.inf is left over (the
// run removes it), mshdc.inf's last line has no line end, and usb.inf is
// missing (Install creates it). The answer Yes asks for a restart.
TEST(DryRun, WritesNothingAndItsDiffAndKeysAreWhatARunDoes)
{
    const std::string script = "install\nexit\nyes\n";
    const bool imageTools = system("command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null") == 0;
    for (const Route &route : Routes)
        for (const Registry &registry : Registries) {
            if (std::string(route.name) == "a disk image" && !imageTools) {
                printf("not checked on a disk image: mkfs.fat and mtools are missing\n");
                continue;
            }
            SCOPED_TRACE(std::string(route.name) + " as drive C:, " + registry.name);
            Sample installation;
            fs::remove(installation.Path("SYSTEM.REG"));
            fs::rename(installation.Path(Machine), installation.Path(Inf + "machine.in@"));
            installation.Write(Inf + "out.inf", "[Version]\r\nSignature=$CHICAGO$\r\n[Manu");
            std::string mshdc = installation.Read(Mshdc);
            installation.Write(Mshdc, mshdc.substr(0, mshdc.size() - 2));
            const std::string registryBytes = ReadWholeFile(std::string(PLOVEX_CREG) + "/" + registry.fixture);
            if (!registry.onDrive.empty()) {
                installation.Write(registry.onDrive, registryBytes);
                chmod(installation.Path(registry.onDrive).c_str(), 0444); // as Windows 9x keeps its hive
            }

            // A run on drive C: made from the installation, with the registry beside it.
            auto setUp = [&](const Scratch &place, std::vector<std::string> options) {
                options.insert(options.begin(), {"--drive-c", route.make(installation.root, place.root)});
                if (!registry.beside.empty()) {
                    place.Write(registry.beside, registryBytes);
                    options.insert(options.end(), {"--registry", place.Path(registry.beside)});
                }
                return options;
            };

            // A dry run next to a real run on the same drive is refused, and
            // leaves the real run's files alone.
            Scratch real;
            std::vector<std::string> onReal = setUp(real, {});
            const std::string realDrive = onReal[1];
            int pipeEnds[2];
            ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
            PlovexChild realChild(onReal, pipeEnds[0]); // waits for its script, holding the drive
            close(pipeEnds[0]);
            ASSERT_TRUE(realChild.WaitForInput()) << "the real run never waited for its script";
            ASSERT_TRUE(Locked(route.lock(realDrive))) << "the real run waits for its script without the lock";
            auto held = Stamps(real.root);
            std::vector<std::string> dryOnReal = onReal;
            dryOnReal.push_back("--dry-run");
            PlovexRun refused = RunPlovex(dryOnReal, script);
            EXPECT_EQ(refused.code, 2) << refused.err;
            EXPECT_NE(refused.err.find("in use by another plovex run"), std::string::npos) << refused.err;
            EXPECT_TRUE(Stamps(real.root) == held) << "the refused dry run changed something";
            ASSERT_EQ(write(pipeEnds[1], script.data(), script.size()), (ssize_t)script.size());
            close(pipeEnds[1]);
            PlovexRun realRun = realChild.Wait();
            EXPECT_EQ(realRun.code, 0) << realRun.err;

            // The dry run: the same boxes and exit code, and not one byte or time changed.
            Scratch dry;
            std::vector<std::string> onDry = setUp(dry, {"--dry-run"});
            auto before = Stamps(dry.root);
            PlovexRun dryRun = RunPlovex(onDry, script);
            EXPECT_TRUE(Stamps(dry.root) == before) << "the dry run changed something";
            EXPECT_EQ(dryRun.code, realRun.code) << dryRun.err;
            EXPECT_EQ(Boxes(dryRun), Boxes(realRun));
            EXPECT_EQ(Boxes(realRun), (std::vector<std::string>{Done, RestartYes}));

            // Its diff, applied with patch to the drive's files as they were,
            // gives the files the real run left; the registry's files get no diff.
            Scratch patched, pristine;
            for (const auto &file : route.files(route.make(installation.root, pristine.root)))
                patched.Write("c/" + file.first, file.second);
            patched.Write("changes.diff", dryRun.out);
            std::string patch = "patch -p1 -F0 -s --no-backup-if-mismatch -d " + patched.Path("c") + " -i " +
                                patched.Path("changes.diff") + " >" + patched.Path("patch.txt") + " 2>&1";
            EXPECT_EQ(system(patch.c_str()), 0) << patched.Read("patch.txt") << dryRun.out;
            std::map<std::string, std::string> wanted = Blind(route.files(realDrive)),
                                               got = Blind(FolderFiles(patched.Path("c")));
            for (const std::string &file : registry.files) {
                EXPECT_EQ(Upper(dryRun.out).find(" A/" + file), std::string::npos) << file << " got a diff";
                EXPECT_EQ(Upper(dryRun.out).find(" B/" + file), std::string::npos) << file << " got a diff";
                wanted.erase(file);
                got.erase(file);
            }
            EXPECT_NE(wanted, Blind(FolderFiles(installation.root))) << "the real run changed no file";
            EXPECT_TRUE(got == wanted) << dryRun.out;

            // The keys it lists are those the real run deleted.
            std::vector<std::string> keys = KeysDeleted(realRun);
            EXPECT_EQ(keys.size(), 24u);
            EXPECT_EQ(KeysListed(dryRun.out), keys);
        }
}

} // namespace
