// The files and folders the runner is given, checked before the program runs:
// where they really lie (links resolved), that the log and the script keep
// clear of drive C: and the registry, and a lock on each folder it changes.
#include "runner/paths.h"
#include "platform/platform.h"
#include "platform/host/files.h"
#include "platform/host/registry.h"
#include "runner/errors.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace runner {

namespace {

// A path as the file system reaches it: links and dots resolved, also for a
// file that does not exist yet (its folder resolved).
std::string RealPath(const std::string &path)
{
    char real[PATH_MAX];
    if (realpath(path.c_str(), real))
        return real;
    size_t cut = path.find_last_of('/');
    std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
    if (!realpath(folder.c_str(), real))
        return path;
    return std::string(real) + (real[1] ? "/" : "") + path.substr(cut == std::string::npos ? 0 : cut + 1);
}

bool Below(const std::string &path, const std::string &folder)
{
    return folder == "/" || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// One run at a time per Windows folder: two runs would share the work file
// out.inf and each other's renames. The locks last until the process ends.
void LockFolder(const std::string &folder)
{
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return; // a folder that cannot be opened holds nothing to protect
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        throw RunnerError{"the folder " + folder + " is in use by another plovex run; nothing was changed"};
}

} // namespace

std::string RegistryPath(const Options &options)
{
    if (options.registry == "none")
        return "";
    if (!options.registry.empty())
        return options.registry;
    std::string systemDat = options.windowsDir + "\\SYSTEM.DAT";
    DWORD attributes = GetFileAttributesA(systemDat.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
        return "";
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw RunnerError{"the installation's registry " + systemDat +
                          " cannot be used; give --registry FILE, or --registry none"};
    return host::HostPath(systemDat);
}

// The log is written and the script read while the program changes drive C:
// and the registry file; neither may be one of them.
void CheckRunnerFile(const char *what, const std::string &path, const std::string &driveC)
{
    if (path.empty() || path == "-")
        return;
    std::string real = RealPath(path);
    std::string registry = host::RegistryFile();
    if (!registry.empty() && &host::RegistryStore() == &host::HostStore() && real == registry)
        throw RunnerError{std::string(what) + " " + path + " is the registry file; give another file"};
    if (real == RealPath(driveC) || Below(real, RealPath(driveC)))
        throw RunnerError{std::string(what) + " " + path + " lies on drive C: (" + driveC +
                          "), whose files the program changes; give a file outside it"};
}

void LockFolders(const Options &options, const std::string &registryFile, bool driveCIsImage)
{
    std::string windows;
    if (!driveCIsImage) {
        windows = host::HostPath(options.windowsDir);
        struct stat info;
        if (windows.empty() || stat(windows.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            windows = options.driveC;
        windows = RealPath(windows);
        LockFolder(windows);
    }
    if (!registryFile.empty() && (!driveCIsImage || !options.registry.empty())) {
        std::string registry = RealPath(registryFile);
        std::string folder = registry.substr(0, registry.find_last_of('/'));
        if (folder.empty())
            folder = "/";
        if (folder != windows)
            LockFolder(folder);
    }
}

} // namespace runner
