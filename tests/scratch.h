// The one scratch folder of the tests and the fuzz targets, and whole files
// read and written by host path. A plain header: no GoogleTest, no program
// code, so that the fuzz targets (clang, libFuzzer) include it too.
#ifndef PLOVEX_TESTS_SCRATCH_H
#define PLOVEX_TESTS_SCRATCH_H

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

// The bytes of a file; "" when it cannot be read.
inline std::string ReadWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes `bytes` as the whole file, making its folders; throws when it cannot.
inline void WriteWholeFile(const std::string &path, const std::string &bytes)
{
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

// Anything at all stands under `path`, a dangling link included.
inline bool PathExists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// A fresh, empty folder, removed with everything in it when the object goes.
// In memory (/dev/shm) unless the test asks for the disk: every commit syncs
// its work file, which costs nothing there. The name carries the process id,
// so that folders a killed process left behind can be told apart.
struct Scratch {
    enum Where { IN_MEMORY, ON_DISK };
    std::string root;

    explicit Scratch(Where where = IN_MEMORY)
    {
        std::string pattern = Base(where) + "/plovex-" + std::to_string(getpid()) + "-XXXXXX";
        if (!mkdtemp(&pattern[0]))
            throw std::runtime_error("cannot make a folder like " + pattern);
        root = pattern;
    }
    Scratch(Scratch &&other) noexcept : root(std::move(other.root)) { other.root.clear(); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch()
    {
        if (root.empty())
            return;
        std::error_code ignored; // a test may have taken the write permission away
        std::filesystem::permissions(root, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(root, ignored);
    }

    // Relative paths below the root, '/' separated.
    std::string Path(const std::string &relative) const { return root + "/" + relative; }
    void Write(const std::string &relative, const std::string &bytes) const { WriteWholeFile(Path(relative), bytes); }
    std::string Read(const std::string &relative) const { return ReadWholeFile(Path(relative)); }
    bool Exists(const std::string &relative) const { return PathExists(Path(relative)); }

    // Removes the scratch folders of processes that are gone: libFuzzer may
    // end a process without running its destructors.
    static void RemoveLeftovers()
    {
        const std::string prefix = "plovex-";
        std::error_code ignored;
        for (Where where : {IN_MEMORY, ON_DISK})
            for (const auto &entry : std::filesystem::directory_iterator(Base(where), ignored)) {
                std::string name = entry.path().filename().string();
                if (name.compare(0, prefix.size(), prefix) != 0)
                    continue;
                long pid = strtol(name.c_str() + prefix.size(), nullptr, 10);
                if (pid > 0 && kill((pid_t)pid, 0) != 0 && errno == ESRCH)
                    std::filesystem::remove_all(entry.path(), ignored);
            }
    }

private:
    static std::string Base(Where where)
    {
        if (where == IN_MEMORY && access("/dev/shm", W_OK) == 0)
            return "/dev/shm";
        const char *tmp = getenv("TMPDIR");
        return tmp && *tmp ? tmp : "/tmp";
    }
};

#endif
