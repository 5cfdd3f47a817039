// The fuzz targets' scratch folder: in memory where there is /dev/shm, named
// after the process. libFuzzer may end a process without running exit
// handlers, so each start also removes the folders of processes now gone.
#ifndef PLOVEX_FUZZ_FOLDER_H
#define PLOVEX_FUZZ_FOLDER_H

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

inline std::string ScratchFolder;

inline void RemoveScratchFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(ScratchFolder, ignored);
}

inline const std::string &MakeScratchFolder()
{
    namespace fs = std::filesystem;
    struct stat info;
    std::string base = stat("/dev/shm", &info) == 0 && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    const std::string prefix = "plovex-fuzz-";
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(base, ignored)) {
        std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        long pid = strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && kill((pid_t)pid, 0) != 0 && errno == ESRCH)
            fs::remove_all(entry.path(), ignored);
    }
    ScratchFolder = base + "/" + prefix + std::to_string(getpid());
    fs::remove_all(ScratchFolder, ignored);
    if (!fs::create_directories(ScratchFolder, ignored))
        abort();
    atexit(RemoveScratchFolder);
    return ScratchFolder;
}

#endif
