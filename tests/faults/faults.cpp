#include "tests/faults/faults.h"
#include "app/main.h"
#include "state/state.h"
#include "platform/host/files.h"
#include "platform/host/registry.h"
#include "platform/host/reset.h"
#include "platform/host/ui.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace faults {

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

void CopyFolder(const std::string &from, const std::string &to)
{
    fs::copy(from, to, fs::copy_options::recursive);
}

std::string RegistryOf(const std::string &root)
{
    return PathExists(root + "/SYSTEM.REG") ? root + "/SYSTEM.REG" : root + "/WINDOWS/SYSTEM.DAT";
}

bool StartHost(const std::string &root, std::string &error)
{
    host::Reset();
    host::SetDriveC(root);
    RestartFlag = 0;
    Unattended = 0;
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
