// Arbitrary bytes as the REGEDIT4 file behind HKEY_LOCAL_MACHINE: when the host
// layer takes the file, a few keys are deleted through RegDeleteKeyA. The file
// written must load again, the deleted keys (and every key below them) must be
// gone, and every other byte must stand as it was.
#include "platform/host/hive.h"
#include "platform/host/registry.h"
#include "platform/host/reset.h"
#include "tests/models.h"
#include "tests/scratch.h"

#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string File;

void Fail(const char *what, const std::string &detail)
{
    fprintf(stderr, "%s: %s\n", what, detail.c_str());
    abort();
}

const std::string Root = "HKEY_LOCAL_MACHINE\\";


} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Scratch::RemoveLeftovers();
    static Scratch folder;
    File = folder.Path("SYSTEM.REG");
    host::Reset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text((const char *)data, size);
    if (hive::IsHive(text))
        return 0; // a hive: the hive target's inputs
    WriteWholeFile(File, text);
    std::string error;
    if (!host::LoadRegistry(File, error))
        return 0;

    // The keys to delete: the middle and the last key below the root that the
    // file names, the parent of the middle one (by then partly gone), a key
    // the input's last byte picks, and a device key the program deletes.
    std::vector<std::string> names;
    for (const RegistryBlock &block : RegistryBlocks(text))
        if (block.key.size() > Root.size() && strncasecmp(block.key.c_str(), Root.c_str(), Root.size()) == 0)
            names.push_back(block.key.substr(Root.size()));
    std::vector<std::string> doomed;
    if (!names.empty()) {
        std::string middle = names[names.size() / 2];
        doomed = {middle, names.back()};
        size_t cut = middle.rfind('\\');
        if (cut != std::string::npos && cut > 0)
            doomed.push_back(middle.substr(0, cut));
        doomed.push_back(names[data[size - 1] % names.size()]);
    }
    doomed.push_back("Enum\\PCI\\VEN_8086&DEV_7110");

    for (const std::string &key : doomed) {
        bool existed = host::RegistryKeyExists(Root + key);
        LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
        if ((result == ERROR_SUCCESS) != existed)
            Fail(existed ? "an existing key was not deleted" : "a missing key was reported deleted", key);
        if (host::RegistryKeyExists(Root + key))
            Fail("a deleted key is still there", key);
    }

    // The file as written back: it loads again and is the old text less whole blocks.
    host::WriteRegistryChanges();
    if (host::RegistryWriteFailed())
        Fail("the registry file could not be written", File);
    std::string after = ReadWholeFile(File);
    std::vector<std::string> full;
    for (const std::string &key : doomed)
        full.push_back(Root + key);
    if (after != WithoutKeys(text, full))
        Fail("the file is not the old text less the deleted blocks", after);
    if (access((File + ".new~").c_str(), F_OK) == 0)
        Fail("a temporary file was left", File + ".new~");
    if (!host::LoadRegistry(File, error))
        Fail("the written file does not load", error);
    for (const std::string &key : doomed)
        if (host::RegistryKeyExists(Root + key))
            Fail("a deleted key came back on reloading", key);
    return 0;
}
