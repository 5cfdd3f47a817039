// Help for the fault tests: a copy of the sample Windows folder, and the host
// made ready for a command in this process.
#ifndef PLOVEX_TESTS_FAULTS_H
#define PLOVEX_TESTS_FAULTS_H

#include "tests/models.h"
#include "tests/scratch.h"

#include <optional>
#include <string>

namespace faults {

// Copies sample/WINDOWS (and SYSTEM.REG when `registry`) into `folder`.
void CopySample(const std::string &folder, bool registry = true);
std::string SamplePath(const std::string &relative);

// The registry file of a drive: its SYSTEM.REG, or else WINDOWS/SYSTEM.DAT.
std::string RegistryOf(const std::string &root);

// A drive is a folder or a disk image that holds drive C: (`root`). Copies
// one: the folder with everything in it, or the image file.
void CopyDrive(const std::string &from, const std::string &to);
// A file of the drive by its Win32 path ("C:\\WINDOWS\\SYSTEM.DAT"), read
// through the store a run uses (an image is opened and closed again); nothing
// when it is missing.
std::optional<std::string> ReadOnDrive(const std::string &root, const std::string &windowsPath);
// Lets go of an image this process opened (its lock), so another process may.
void ReleaseDrive();

// The host as a new process finds it, drive C: at `root` (a folder or an
// image) and its registry file loaded: ready for WinMain in this process. False, with the reason,
// when the registry cannot be loaded.
bool StartHost(const std::string &root, std::string &error);

// StartHost, then the host as the dialog leaves it after WM_INITDIALOG, both
// group boxes checked: ready for OnInstall or OnUninstall in this process.
bool StartDialog(const std::string &root, std::string &error);

} // namespace faults

#endif
