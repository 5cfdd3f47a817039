// The registry file's part of a command: loading a large REGEDIT4 export,
// deleting the 24 device keys through the program's own clean-up (both
// groups), and writing the file back; with the peak resident memory of a
// process that does only that, as a multiple of the file's size.
//
// The export is generated in the shape regedit gives it: CR LF lines, key
// headers with values, the 24 device keys with instance subkeys spread through
// many other keys. Folder: $TMPDIR (default /tmp).
#include "commands/commands.h"
#include "platform/host/registry.h"
#include "platform/host/reset.h"

#include "bench/common.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;
typedef std::chrono::steady_clock Clock;

const long long MIB = 1024 * 1024;
const int CHIPSET_KEYS = (int)std::size(ChipsetDeviceKeys);
const int DEVICE_KEYS = CHIPSET_KEYS + (int)std::size(UsbDeviceKeys);

// Named once, by the benchmark's own process: a measuring child has another pid.
std::string Folder()
{
    static const std::string folder = [] {
        const char *tmp = getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp") + "/plovex-registry-bench-" + std::to_string(getpid());
    }();
    return folder;
}

std::string Original(long long mib)
{
    return Folder() + "/export-" + std::to_string(mib) + ".reg";
}

std::string Working()
{
    return Folder() + "/SYSTEM.REG";
}

void Device(std::string &out, const std::string &id, int instances)
{
    out += "[HKEY_LOCAL_MACHINE\\" + id + "]\r\n\r\n";
    for (int i = 0; i < instances; i++) {
        std::string instance = "HKEY_LOCAL_MACHINE\\" + id + "\\BUS_00&DEV_0" + std::to_string(i) + "&FUNC_00";
        out += "[" + instance + "]\r\n\"Class\"=\"System\"\r\n\"DeviceDesc\"=\"PCI device\"\r\n"
               "\"ConfigFlags\"=hex:00,00,00,00\r\n\r\n[" +
               instance + "\\LogConfig]\r\n\"0000\"=hex:00,04,00,00,00,00,00,00,01,02,03,04\r\n\r\n";
    }
}

// Writes an export of about `mib` MiB once.
bool Generate(long long mib)
{
    if (fs::exists(Original(mib)))
        return true;
    fs::create_directories(Folder());
    FILE *file = fopen(Original(mib).c_str(), "wb");
    if (!file)
        return false;
    std::string chunk = "REGEDIT4\r\n\r\n";
    long long written = 0;
    const long long size = mib * MIB;
    int device = 0, key = 0;
    while (written + (long long)chunk.size() < size || device < DEVICE_KEYS) {
        // A device key of the lists every 1/24th of the way.
        if (device < DEVICE_KEYS && written + (long long)chunk.size() >= size / DEVICE_KEYS * device) {
            Device(chunk, device < CHIPSET_KEYS ? ChipsetDeviceKeys[device] : UsbDeviceKeys[device - CHIPSET_KEYS], 2);
            device++;
        }
        std::string name = "HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{" + std::to_string(100000 + key++) + "}";
        chunk += "[" + name + "]\r\n@=\"A component of some program\"\r\n\r\n[" + name +
                 "\\InprocServer32]\r\n@=\"C:\\\\WINDOWS\\\\SYSTEM\\\\SOMETHING.DLL\"\r\n\"ThreadingModel\"=\"Apartment\"\r\n\r\n";
        if (chunk.size() >= (size_t)MIB) {
            written += (long long)fwrite(chunk.data(), 1, chunk.size(), file);
            chunk.clear();
        }
    }
    written += (long long)fwrite(chunk.data(), 1, chunk.size(), file);
    return fclose(file) == 0 && device == DEVICE_KEYS;
}

// Loads the working copy, deletes both groups' keys and writes the file back.
bool DeleteDeviceKeys()
{
    host::Reset();
    std::string error;
    if (!host::LoadRegistry(Working(), error))
        return false;
    ForgetChipsetDevices();
    host::WriteRegistryChanges();
    ForgetUsbDevices();
    host::WriteRegistryChanges();
    return !host::RegistryWriteFailed() &&
           !host::RegistryKeyExists(std::string("HKEY_LOCAL_MACHINE\\") + std::end(UsbDeviceKeys)[-1]);
}

bool FreshCopy(long long mib)
{
    std::error_code ignored;
    fs::remove(Working(), ignored);
    return fs::copy_file(Original(mib), Working(), ignored);
}

// Argument: the export's size in MiB.
void BM_DeleteDeviceKeys(benchmark::State &state)
{
    long long mib = state.range(0);
    if (!Generate(mib)) {
        state.SkipWithError("cannot generate the export");
        return;
    }
    for (auto _ : state) {
        if (!FreshCopy(mib)) {
            state.SkipWithError("cannot copy the export");
            return;
        }
        Clock::time_point start = Clock::now();
        bool done = DeleteDeviceKeys();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (!done) {
            state.SkipWithError("the keys were not deleted");
            return;
        }
    }
    if (!FreshCopy(mib)) {
        state.SkipWithError("cannot copy the export");
        return;
    }
    double peak = ChildPeakMiB(DeleteDeviceKeys);
    if (peak < 0) {
        state.SkipWithError("the measuring child failed");
        return;
    }
    state.counters["peak_MiB"] = peak;
    state.counters["peak_per_file"] = peak / (double)mib;
    state.SetBytesProcessed((int64_t)(mib * MIB * state.iterations()));
}

BENCHMARK(BM_DeleteDeviceKeys)->ArgName("MiB")->Arg(16)->Arg(100)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    if (!RunBenchmarks(argc, argv))
        return 1;
    std::error_code ignored;
    fs::remove_all(Folder(), ignored);
    return 0;
}
