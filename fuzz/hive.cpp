// Arbitrary bytes as a Windows 9x hive (SYSTEM.DAT): Load must refuse them
// with a reason or take them, and never read outside them. When it takes them,
// a few keys are deleted: each deletion must report whether the key was there,
// a missing key must change nothing, the flags must be those the running
// Windows 95 insists on, and the changed hive must load again with exactly its
// keys before less the deleted subtrees, in the same order.
#include "platform/host/hive.h"
#include "tests/models.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

void Fail(const char *what, const std::string &detail)
{
    fprintf(stderr, "%s: %s\n", what, detail.c_str());
    abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    hive::Hive hive;
    std::string error;
    if (!hive::Load(std::string((const char *)data, size), hive, error)) {
        if (error.empty())
            Fail("a hive was refused without a reason", "");
        return 0;
    }
    const std::vector<std::string> keys = hive::KeyPaths(hive);
    const size_t fileSize = hive.bytes.size();
    DWORD type;
    std::string value;
    for (const std::string &key : keys)
        if (!hive::KeyExists(hive, key))
            Fail("a listed key is not found", key);
        else
            hive::ReadValue(hive, key, "", type, value);

    // The keys to delete: the middle one, its parent (by then partly gone), a
    // key the input's last byte picks, the last one, a device key the program
    // deletes, and a key that is not there.
    std::vector<std::string> doomed;
    if (!keys.empty()) {
        std::string middle = keys[keys.size() / 2];
        doomed.push_back(middle);
        if (middle.rfind('\\') != std::string::npos)
            doomed.push_back(middle.substr(0, middle.rfind('\\')));
        doomed.push_back(keys[data[size - 1] % keys.size()]);
        doomed.push_back(keys.back());
    }
    doomed.push_back("Enum\\PCI\\VEN_8086&DEV_7110");
    doomed.push_back("No\\such\\key");

    for (const std::string &key : doomed) {
        bool existed = hive::KeyExists(hive, key);
        std::string before = hive.bytes;
        if (hive::DeleteKey(hive, key) != existed)
            Fail(existed ? "an existing key was not deleted" : "a missing key was reported deleted", key);
        if (!existed && hive.bytes != before)
            Fail("deleting a missing key changed the hive", key);
        if (hive::KeyExists(hive, key))
            Fail("a deleted key is still there", key);
        std::string flags = HiveFlagsFault(before, hive.bytes);
        if (!flags.empty())
            Fail(flags.c_str(), key);
    }

    std::vector<std::string> expected;
    for (const std::string &key : keys) {
        bool gone = false;
        for (const std::string &top : doomed)
            gone = gone || WithinKey(key, top);
        if (!gone)
            expected.push_back(key);
    }
    if (hive.bytes.size() != fileSize)
        Fail("a deletion changed the size of the hive", std::to_string(hive.bytes.size()));
    if (hive::KeyPaths(hive) != expected)
        Fail("the keys left are not the keys before less the deleted subtrees", std::to_string(expected.size()));
    hive::Hive again;
    if (!hive::Load(hive.bytes, again, error))
        Fail("the changed hive does not load", error);
    if (hive::KeyPaths(again) != expected)
        Fail("the changed hive loads with other keys", std::to_string(expected.size()));
    return 0;
}
