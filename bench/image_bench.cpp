// Install with both groups straight on a FAT32 disk image of 64 MiB, 512 MiB
// and 2 GiB (mkfs.fat's own cluster sizes), against the same file operations
// done with mtools commands on the same image, side by side in one run. Goals:
// the time does not grow with the image (a run touches the clusters of the
// files it changes and the FAT sectors it needs: bytes_read and bytes_written
// say how many), and it is no slower than mtools.
//
// The installation: the sample's MACHINE.INF and MSHDC.INF, sixty other INF
// files, and Windows 95's own hive (tests/fixtures/creg/live/LIVE.DAT) as
// SYSTEM.DAT. The mtools side reads the two INF files, writes out.inf and
// renames it into place through a backup name for each of the three targets,
// reads the hive, writes its untouched copy and its new contents: what the
// program does, with the bytes the program wrote. Each run starts from a
// fresh copy of the image; only the run is timed.
//
// Folder: $TMPDIR (default /tmp); the images are sparse, a few MiB on disk.
#include "app/main.h"
#include "commands/commands.h"
#include "state/state.h"
#include "platform/host/files.h"
#include "platform/host/image/image.h"
#include "platform/host/image/store.h"
#include "platform/host/registry.h"
#include "platform/host/reset.h"
#include "platform/host/ui.h"
#include "res/resource.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;
typedef std::chrono::steady_clock Clock;

std::string Folder()
{
    const char *tmp = getenv("TMPDIR");
    static std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/plovex-image-bench";
    return folder;
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

bool Shell(const std::string &command)
{
    return system(command.c_str()) == 0;
}

// The image of `mib` MiB with the installation, made once; its path.
std::string Pristine(long mib)
{
    std::string image = Folder() + "/fat32-" + std::to_string(mib) + ".img";
    if (fs::exists(image))
        return image;
    fs::create_directories(Folder());
    std::string files = Folder() + "/files";
    fs::create_directories(files + "/INF");
    for (const char *name : {"MACHINE.INF", "MSHDC.INF"})
        fs::copy_file(std::string(PLOVEX_SAMPLE) + "/WINDOWS/INF/" + name, files + "/INF/" + name,
                      fs::copy_options::overwrite_existing);
    for (int n = 0; n < 60; n++) {
        std::string text;
        for (int line = 0; line <= n; line++)
            text += "[Version]\r\nSignature=$CHICAGO$\r\n; filler " + std::to_string(n) + "\r\n";
        WriteFile(files + "/INF/OEM" + std::to_string(100 + n).substr(1) + ".INF", text);
    }
    fs::copy_file(PLOVEX_CREG "/live/LIVE.DAT", files + "/SYSTEM.DAT", fs::copy_options::overwrite_existing);
    std::string i = " -i '" + image + "'";
    if (!Shell("mkfs.fat -C -F 32 '" + image + "' " + std::to_string(mib * 1024) + " >/dev/null") ||
        !Shell("mmd" + i + " ::/WINDOWS ::/WINDOWS/INF") || !Shell("mcopy" + i + " '" + files + "'/INF/* ::/WINDOWS/INF/") ||
        !Shell("mcopy" + i + " '" + files + "/SYSTEM.DAT' ::/WINDOWS/SYSTEM.DAT") ||
        !Shell("mattrib" + i + " +r +h +s ::/WINDOWS/SYSTEM.DAT"))
        fprintf(stderr, "image_bench: cannot make %s\n", image.c_str());
    return image;
}

// A fresh copy of the pristine image, holes kept.
std::string Fresh(long mib)
{
    std::string copy = Folder() + "/run.img";
    fs::remove(copy);
    Shell("cp --sparse=always '" + Pristine(mib) + "' '" + copy + "'");
    return copy;
}

// Install with both groups on the image, in this process, as the runner does
// it: open the image, load its hive, the dialog's start, Install, the
// registry written, the store finished. Gives false when anything failed.
bool InstallOn(const std::string &image, uint64_t &read, uint64_t &written)
{
    host::Reset();
    std::string error;
    std::unique_ptr<host::Store> store = image::OpenImage({image, 0, "/WINDOWS"}, error);
    if (!store)
        return fprintf(stderr, "image_bench: %s\n", error.c_str()), false;
    host::SetDriveCStore(*store);
    if (!host::LoadRegistry(host::HostPath("C:\\WINDOWS\\SYSTEM.DAT"), error, *store))
        return fprintf(stderr, "image_bench: %s\n", error.c_str()), false;
    RestartFlag = 0;
    MainDialogProc(host::DialogWindow(), WM_INITDIALOG, 0, 0);
    bool done = OnInstall();
    host::WriteRegistryChanges();
    host::CloseAllHandles();
    store->Finish();
    image::ImageTraffic(*store, read, written);
    host::Reset();
    return done && !host::RegistryWriteFailed();
}

void BM_PlovexInstall(benchmark::State &state)
{
    uint64_t read = 0, written = 0;
    for (auto _ : state) {
        std::string image = Fresh(state.range(0));
        auto start = Clock::now();
        if (!InstallOn(image, read, written)) {
            state.SkipWithError("Install failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.counters["bytes_read"] = (double)read;
    state.counters["bytes_written"] = (double)written;
}

// The same file operations done with mtools, with the bytes the program writes.
void BM_MtoolsSameOperations(benchmark::State &state)
{
    std::string result = Fresh(state.range(0)), files = Folder() + "/new";
    uint64_t read, written;
    InstallOn(result, read, written);
    fs::create_directories(files);
    std::string out = " -i '" + result + "'";
    for (const char *name : {"machine.inf", "mshdc.inf", "usb.inf"})
        Shell("mcopy -n" + out + " ::/WINDOWS/INF/" + name + " '" + files + "/" + name + "'");
    Shell("mcopy -n" + out + " ::/WINDOWS/SYSTEM.DAT '" + files + "/SYSTEM.DAT'");
    std::string script;
    auto add = [&script](const std::string &line) { script += line + " >/dev/null || exit 1\n"; };
    for (auto _ : state) {
        std::string image = Fresh(state.range(0)), i = " -i '" + image + "'";
        script.clear();
        for (const char *name : {"machine", "mshdc", "usb"}) {
            std::string inf = std::string(name) + ".inf", backup = std::string(name) + ".in@";
            if (inf != "usb.inf")
                add("mtype" + i + " ::/WINDOWS/INF/" + inf);
            add("mcopy" + i + " '" + files + "/" + inf + "' ::/WINDOWS/INF/out.inf");
            if (inf != "usb.inf") {
                add("mren" + i + " ::/WINDOWS/INF/" + inf + " " + backup);
                add("mren" + i + " ::/WINDOWS/INF/out.inf " + inf);
                add("mdel" + i + " ::/WINDOWS/INF/" + backup);
            } else {
                add("mren" + i + " ::/WINDOWS/INF/out.inf " + inf);
            }
        }
        add("mcopy -n" + i + " ::/WINDOWS/SYSTEM.DAT '" + Folder() + "/old.dat'");
        add("mcopy" + i + " '" + Folder() + "/old.dat' ::/WINDOWS/SYSTEM.PLX");
        add("mattrib" + i + " -r ::/WINDOWS/SYSTEM.DAT");
        add("mcopy -o" + i + " '" + files + "/SYSTEM.DAT' ::/WINDOWS/SYSTEM.DAT");
        add("mattrib" + i + " +r ::/WINDOWS/SYSTEM.DAT");
        WriteFile(Folder() + "/mtools.sh", script);
        auto start = Clock::now();
        if (!Shell("sh '" + Folder() + "/mtools.sh'")) {
            state.SkipWithError("an mtools command failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}

BENCHMARK(BM_PlovexInstall)->Arg(64)->Arg(512)->Arg(2048)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MtoolsSameOperations)->Arg(64)->Arg(512)->Arg(2048)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(Folder());
    return 0;
}
