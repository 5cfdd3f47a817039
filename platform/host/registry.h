// HKEY_LOCAL_MACHINE of the host (registry.cpp), behind RegOpenKeyA and
// RegDeleteKeyA: a file, either a Windows 9x hive (SYSTEM.DAT, signature CREG)
// or a REGEDIT4 text, told apart by content, or none at all (every key
// missing; the start). The file is read whole when loaded and held here.
// Deletions are kept in memory and written back by WriteRegistryChanges, which
// the file calls, MessageBoxA and ExitProcess call first: one rewrite per
// group, through a new file renamed into place. Before a hive's first change
// its untouched copy is kept beside it as SYSTEM.PLX, never overwritten.
#ifndef PLOVEX_HOST_REGISTRY_H
#define PLOVEX_HOST_REGISTRY_H

#include "platform/platform.h"
#include "platform/host/storage.h"

#include <functional>
#include <string>

namespace host {

// Loads a file from a store (the host's file system unless told otherwise); a
// symbolic link is followed to the file it names. False, with no registry in
// use and `error` naming the file, the line or the place and the reason, for a
// file that cannot be read, parsed or later replaced (a read-only REGEDIT4
// file, a folder that takes no new file, an immutable file).
bool LoadRegistry(const std::string &path, std::string &error, Store &store = HostStore());
void UseEmptyRegistry();
std::string RegistryFile(); // the file in use in its store, links resolved; empty: none
Store &RegistryStore();     // the store that holds it
bool RegistryIsHive();
// `key` is given in full ("HKEY_LOCAL_MACHINE\\..."); false also without a registry.
bool RegistryKeyExists(const std::string &key);
// A string value of a key; false when the key or the value is missing.
bool ReadRegistryString(const std::string &key, const std::string &name, std::string &value);
void WriteRegistryChanges();
bool RegistryWriteFailed(); // a write back has failed since the registry was loaded
// Told of every RegDeleteKeyA once its outcome is on disk, in call order:
// `failure` is empty, or why the file could not be written (the key stays).
using RegistryDeleteHandler = std::function<void(LPCSTR key, bool found, const std::string &failure)>;
void SetRegistryDeleteHandler(RegistryDeleteHandler handler);

} // namespace host

#endif
