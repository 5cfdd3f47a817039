#include "tests/faults/faults.h"
#include "app/main.h"
#include "state/state.h"
#include "platform/host/files.h"
#include "platform/host/image/image.h"
#include "platform/host/registry.h"
#include "platform/host/reset.h"
#include "platform/host/ui.h"

#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace faults {

namespace {

std::unique_ptr<host::Store> Image; // drive C:, when it is an image

// Drive C: at `root`; an image is opened as the runner opens it.
bool UseDrive(const std::string &root, std::string &error)
{
    ReleaseDrive();
    if (!image::IsImagePath(root)) {
        host::SetDriveC(root);
        return true;
    }
    Image = image::OpenImage({root, 0, "/WINDOWS"}, error);
    if (!Image)
        return false;
    host::SetDriveCStore(*Image);
    return true;
}

} // namespace

void ReleaseDrive()
{
    if (Image)
        host::UseEmptyRegistry(); // it may be the image's own hive
    host::SetDriveC(".");
    Image.reset();
}

void CopyDrive(const std::string &from, const std::string &to)
{
    if (image::IsImagePath(from))
        fs::copy_file(from, to);
    else
        fs::copy(from, to, fs::copy_options::recursive);
}

std::optional<std::string> ReadOnDrive(const std::string &root, const std::string &windowsPath)
{
    std::string error, bytes;
    if (!UseDrive(root, error))
        return std::nullopt;
    std::string path = host::HostPath(windowsPath);
    bool read = !path.empty() && host::ReadWhole(host::DriveCStore(), path, bytes);
    ReleaseDrive();
    if (!read)
        return std::nullopt;
    return bytes;
}

std::string SamplePath(const std::string &relative)
{
    return std::string(PLOVEX_SAMPLE) + "/" + relative;
}

void CopySample(const std::string &folder, bool registry)
{
    fs::copy(SamplePath("WINDOWS"), folder + "/WINDOWS", fs::copy_options::recursive);
    if (registry)
        fs::copy_file(SamplePath("SYSTEM.REG"), folder + "/SYSTEM.REG");
}

std::string RegistryOf(const std::string &root)
{
    return PathExists(root + "/SYSTEM.REG") ? root + "/SYSTEM.REG" : root + "/WINDOWS/SYSTEM.DAT";
}

bool StartHost(const std::string &root, std::string &error)
{
    host::Reset();
    if (!UseDrive(root, error))
        return false;
    RestartFlag = 0;
    Unattended = 0;
    if (Image)
        return host::LoadRegistry(host::HostPath("C:\\WINDOWS\\SYSTEM.DAT"), error, host::DriveCStore());
    return host::LoadRegistry(RegistryOf(root), error);
}

bool StartDialog(const std::string &root, std::string &error)
{
    if (!StartHost(root, error))
        return false;
    MainDialogProc(host::DialogWindow(), WM_INITDIALOG, 0, 0);
    if (IsChipsetChecked() != BST_CHECKED || IsUsbChecked() != BST_CHECKED)
        return (error = "the dialog did not check both boxes", false);
    return true;
}

} // namespace faults
