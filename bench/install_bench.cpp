// Install on a large machine.inf, through the same path the dialog takes
// (InstallDrivers with the chipset box checked), against copying the same file
// through the same host file calls in the same run; and the peak resident
// memory of a process that does only the Install.
//
// The file is generated to disk in Windows 95's shape: [Version],
// [Manufacturer], [MS_SYS] with many "%PCI\VEN_" device lines,
// [PCI_DRV_AddReg] with VxD\PCI and IRQMiniports lines, [ControlFlags] with
// ExcludeFromSelect lines and [Strings] with many device descriptions, and bulk
// install sections between them; CR LF line ends, none of the program's lines.
//
// Folder: $TMPDIR (default /tmp); it needs about three times the largest size.
#include "state/state.h"
#include "commands/commands.h"
#include "patches/patches.h"
#include "platform/host/files.h"
#include "platform/host/reset.h"
#include "platform/host/system.h"
#include "platform/host/ui.h"
#include "res/resource.h"

#include "bench/common.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
typedef std::chrono::steady_clock Clock;

const long long MIB = 1024 * 1024;

// ---- the generated machine.inf ----------------------------------------------

// Streams the text to disk through a 1 MiB buffer.
struct Writer {
    FILE *file;
    std::string buffer;
    long long written = 0;
    explicit Writer(const std::string &path) : file(fopen(path.c_str(), "wb")) { buffer.reserve(MIB + 4096); }
    void Line(const std::string &text)
    {
        buffer += text;
        buffer += "\r\n";
        written += (long long)text.size() + 2;
        if (buffer.size() >= (size_t)MIB)
            Flush();
    }
    void Flush()
    {
        fwrite(buffer.data(), 1, buffer.size(), file);
        buffer.clear();
    }
    bool Close()
    {
        Flush();
        bool ok = fflush(file) == 0 && !ferror(file);
        ok = fsync(fileno(file)) == 0 && ok; // no dirty pages left to be written during a timed run
        return fclose(file) == 0 && ok;
    }
};

const char *const Vendors[] = {"8086", "1039", "1106", "10B9", "1022", "1002", "5333", "102B", "10DE", "104C"};

// A device id that no catalogue of the program names: the generated file
// holds none of the program's lines, so every slot is compared on every line.
std::string DeviceId(Random &random)
{
    for (;;) {
        char id[32];
        snprintf(id, sizeof id, "VEN_%s&DEV_%04X", Vendors[random.Next(10)], random.Next(0x10000));
        std::string line = std::string("%PCI\\") + id + ".DeviceDesc%";
        bool known = false;
        for (int s = 0; s < MachineDeviceLines.count && !known; s++)
            known = strncmp(MachineDeviceLines.texts + s * MachineDeviceLines.stride, line.c_str(), line.size()) == 0;
        if (!known)
            return id;
    }
}

std::string Hex8(Random &random)
{
    char text[16];
    snprintf(text, sizeof text, "%04X%04X", random.Next(0x10000), random.Next(0x10000));
    return text;
}

// Install sections as machine.inf has hundreds of: a header, CopyFiles and
// AddReg lines, registry lines, comments, blank and indented lines.
void BulkSections(Writer &out, Random &random, long long budget, int &serial)
{
    long long end = out.written + budget;
    while (out.written < end) {
        std::string name = "DEV" + std::to_string(serial++);
        out.Line("");
        out.Line("; " + name + " -- system device, installed by the device installer");
        out.Line("[" + name + "]");
        out.Line("CopyFiles=" + name + "_CopyFiles");
        out.Line("AddReg=" + name + "_AddReg, GENERIC_AddReg");
        out.Line("");
        out.Line("[" + name + "_AddReg]");
        int lines = 2 + (int)random.Next(12);
        for (int i = 0; i < lines; i++) {
            switch (random.Next(5)) {
            case 0: out.Line("HKR,,DevLoader,,*CONFIGMG"); break;
            case 1: out.Line("HKR,,Enumerator,,pci.vxd"); break;
            case 2: out.Line("HKR,,PortDriver,," + name + ".vxd"); break;
            case 3: out.Line("HKR,Settings,Mode" + std::to_string(i) + ",1," + Hex8(random).substr(0, 2) + ",00"); break;
            default: out.Line("\tHKR,,DriverDesc,,\"" + name + " driver, version 4.00.950 (c) 1995\""); break;
            }
        }
        out.Line("");
        out.Line("[" + name + "_CopyFiles]");
        out.Line(name + ".vxd");
        out.Line("  " + name + ".drv");
    }
}

// Writes machine.inf of about `size` bytes; the five sections the patch
// anchors on lie between bulk sections, as in the real file.
bool GenerateMachineInf(const std::string &path, long long size)
{
    Writer out(path);
    if (!out.file)
        return false;
    Random random;
    int serial = 0;

    out.Line("; MACHINE.INF -- system devices (generated for plovex's Install benchmark)");
    out.Line("");
    out.Line("[Version]");
    out.Line("Signature=\"$CHICAGO$\"");
    out.Line("Class=System");
    out.Line("Provider=%MSFT%");
    out.Line("LayoutFile=layout.inf");
    out.Line("");
    out.Line("[Manufacturer]");
    out.Line("%GENDEV_MFG%=GENDEV_SYS");
    out.Line("%MSFT%=MS_SYS");
    out.Line("%INTEL_MFG%=INTEL_SYS");
    BulkSections(out, random, size / 10, serial);

    out.Line("");
    out.Line("[MS_SYS]");
    out.Line("%*PNP0A03.DeviceDesc%=PCI_DRV,*PNP0A03");
    out.Line("%*PNP0C01.DeviceDesc%=NO_DRV,*PNP0C01");
    out.Line("%*PNP0C02.DeviceDesc%=NO_DRV,*PNP0C02");
    for (long long end = out.written + size * 15 / 100; out.written < end;) {
        std::string id = DeviceId(random);
        out.Line("%PCI\\" + id + ".DeviceDesc%=" + (random.Next(4) ? "NO_DRV" : "ISA_DRV") + ",PCI\\" + id);
    }
    BulkSections(out, random, size / 10, serial);

    out.Line("");
    out.Line("[PCI_DRV_AddReg]");
    out.Line("HKR,,DevLoader,,*CONFIGMG");
    out.Line("HKR,,PortDriver,,pci.vxd");
    for (long long end = out.written + size * 5 / 100; out.written < end;)
        out.Line("HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI," + Hex8(random) + ",1,00,00,00,00");
    for (long long end = out.written + size * 5 / 100; out.written < end;) {
        std::string key = "HKLM,System\\CurrentControlSet\\Services\\VxD\\PCI\\IRQMiniports\\" + Hex8(random);
        out.Line(key + ",Name,,\"Generic IRQ router\"");
        out.Line(key + ",Path,,\"PCIMP.PCI\"");
        out.Line(key + ",Instance,1,00,00,00,00");
    }
    BulkSections(out, random, size / 10, serial);

    out.Line("");
    out.Line("[ControlFlags]");
    out.Line("ExcludeFromSelect=*PNP0C01");
    out.Line("ExcludeFromSelect=*PNP0C02");
    for (long long end = out.written + size / 10; out.written < end;)
        out.Line("ExcludeFromSelect=PCI\\" + DeviceId(random));
    BulkSections(out, random, size / 10, serial);

    out.Line("");
    out.Line("[Strings]");
    out.Line("MSFT=\"Microsoft\"");
    out.Line("GENDEV_MFG=\"(Standard system devices)\"");
    out.Line("*PNP0A03.DeviceDesc=\"PCI bus\"");
    while (out.written < size)
        out.Line("PCI\\" + DeviceId(random) + ".DeviceDesc=\"PCI device " + Hex8(random) + ", bridge or controller\"");
    return out.Close();
}

const char MshdcInf[] =
    "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=hdc\r\n\r\n"
    "[Manufacturer]\r\n%INTEL%=INTEL_HDC\r\n%VIATECH%=VIATECH_HDC\r\n\r\n"
    "[INTEL_HDC]\r\n%PCI\\VEN_8086&DEV_1230.DeviceDesc%=DUAL_IDE, PCI\\VEN_8086&DEV_1230\r\n\r\n"
    "[VIATECH_HDC]\r\n%PCI\\VEN_1106&DEV_1571.DeviceDesc%=DUAL_IDE, PCI\\VEN_1106&DEV_1571\r\n\r\n"
    "[ControlFlags]\r\nCopyFilesOnly=PCI\\VEN_8086&DEV_1230\r\nCopyFilesOnly=PCI\\VEN_1106&DEV_1571\r\n\r\n"
    "[Strings]\r\nINTEL=\"Intel\"\r\nPCI\\VEN_8086&DEV_1230.DeviceDesc=\"Intel 82371FB IDE\"\r\n"
    "VIATECH=\"VIA Tech\"\r\nPCI\\VEN_1106&DEV_1571.DeviceDesc=\"VIA VT82C571 IDE\"\r\n";

// ---- one drive C: per size ---------------------------------------------------

struct Drive {
    std::string root;        // host folder of C:
    std::string pristine;    // the generated text, never touched by a command
    long long size = 0;
};

Drive Current;

void RemoveDrive()
{
    if (Current.root.empty())
        return;
    std::error_code ignored;
    fs::remove_all(Current.root, ignored);
    Current = Drive();
}

// The drive for `mib` MiB, generated once and kept while the size stays.
bool DriveFor(long long mib)
{
    if (!Current.root.empty() && Current.size / MIB == mib)
        return true;
    RemoveDrive();
    std::string pattern = (fs::temp_directory_path() / "plovex-bench-XXXXXX").string();
    if (!mkdtemp(&pattern[0]))
        return false;
    Current.root = pattern;
    fs::create_directories(Current.root + "/WINDOWS/INF");
    Current.pristine = Current.root + "/machine.pristine";
    if (!GenerateMachineInf(Current.pristine, mib * MIB))
        return false;
    Current.size = (long long)fs::file_size(Current.pristine);
    return true;
}

// The host path of a file in the inf folder, in whatever case it exists
// (the commit gives the new text the name as the program spells it).
std::string InfPath(const char *name)
{
    host::SetDriveC(Current.root);
    return host::HostPath(std::string("C:\\WINDOWS\\INF\\") + name);
}

// Puts the untouched machine.inf (a hard link: Install only reads and renames
// it) and a fresh mshdc.inf in place, and the host as the dialog leaves it
// with the chipset box checked and the USB box unchecked.
bool PrepareInstall(host::Os os)
{
    host::Reset();
    host::SetOs(os);
    host::SetDriveC(Current.root);
    host::SetWindowsDirectory("C:\\WINDOWS");
    lstrcpyA(WindowsDirectory, "C:\\WINDOWS");
    RestartFlag = 0;
    MainDialog = host::DialogWindow();
    host::MainDialogState.checks[IDC_CHIPSET] = BST_CHECKED;
    host::MainDialogState.checks[IDC_USB] = BST_UNCHECKED;

    std::error_code ignored;
    fs::remove(InfPath("MACHINE.INF"), ignored);
    fs::remove(InfPath("MSHDC.INF"), ignored);
    if (link(Current.pristine.c_str(), InfPath("MACHINE.INF").c_str()) != 0)
        return false;
    FILE *mshdc = fopen(InfPath("MSHDC.INF").c_str(), "wb");
    if (!mshdc)
        return false;
    fwrite(MshdcInf, 1, sizeof MshdcInf - 1, mshdc);
    return fclose(mshdc) == 0;
}

// The bytes Install adds to a machine.inf that holds none of its lines.
long long AddedBytes(host::Os os)
{
    const Catalogue *const catalogues[] = {&MachineDeviceLines, &MachineAddRegLines, &MachineIrqMiniportLines,
                                           &MachineExcludeLines, &MachineStringLines};
    long long added = 0;
    for (const Catalogue *catalogue : catalogues) {
        if (catalogue == &MachineIrqMiniportLines && os != host::Os::Win95Osr2)
            continue;
        for (int s = 0; s < catalogue->count; s++)
            added += (long long)strlen(catalogue->texts + s * catalogue->stride) + 1; // LF written as CR LF
    }
    return added;
}

// Install ran through, said nothing but success, and patched the whole file.
bool InstallDone(int result, host::Os os)
{
    std::error_code error;
    long long size = (long long)fs::file_size(InfPath("MACHINE.INF"), error);
    return result == 1 && host::MessageBoxes.empty() && !error && size == Current.size + AddedBytes(os) &&
           !fs::exists(InfPath("OUT.INF")) && !fs::exists(InfPath("MACHINE.IN@"));
}

// The copy Install is measured against: the same host calls, 64 KiB blocks,
// and a flush to disk as the commit does.
bool CopyFile(LPCSTR from, LPCSTR to)
{
    static BYTE block[64 * 1024];
    HANDLE in = CreateFileA(from, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    HANDLE out = CreateFileA(to, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    bool ok = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE;
    DWORD got = 0, put = 0;
    while (ok && ReadFile(in, block, sizeof block, &got, NULL) && got > 0)
        ok = WriteFile(out, block, got, &put, NULL) && put == got;
    ok = ok && FlushFileBuffers(out);
    if (in != INVALID_HANDLE_VALUE)
        CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE)
        ok = CloseHandle(out) && ok;
    return ok;
}

bool TimedCopy(double &seconds)
{
    host::SetDriveC(Current.root);
    std::error_code ignored;
    fs::remove(InfPath("COPY.INF"), ignored);
    Clock::time_point start = Clock::now();
    bool ok = CopyFile("C:\\WINDOWS\\INF\\MACHINE.INF", "C:\\WINDOWS\\INF\\COPY.INF");
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    fs::remove(InfPath("COPY.INF"), ignored);
    return ok;
}

bool InstallOnly(host::Os os)
{
    return PrepareInstall(os) && InstallDone(InstallDrivers(), os);
}

bool CopyOnly(host::Os os)
{
    double seconds;
    return PrepareInstall(os) && TimedCopy(seconds);
}

// Arguments: size in MiB, platform kind (1: Windows 95, 2: with a service release).
void BM_Install(benchmark::State &state)
{
    long long mib = state.range(0);
    host::Os os = state.range(1) == 2 ? host::Os::Win95Osr2 : host::Os::Win95;
    if (!DriveFor(mib)) {
        state.SkipWithError("cannot generate machine.inf");
        return;
    }
    double installTotal = 0, copyTotal = 0;
    for (auto _ : state) {
        // The copy first, on the same file in the same state, so both meet the same cache.
        double copySeconds = 0;
        if (!PrepareInstall(os) || !TimedCopy(copySeconds)) {
            state.SkipWithError("copy failed");
            return;
        }
        if (!PrepareInstall(os)) {
            state.SkipWithError("cannot put machine.inf in place");
            return;
        }
        Clock::time_point start = Clock::now();
        int result = InstallDrivers();
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!InstallDone(result, os)) {
            state.SkipWithError("Install did not patch machine.inf");
            return;
        }
        state.SetIterationTime(seconds);
        installTotal += seconds;
        copyTotal += copySeconds;
    }
    double installPeak = ChildPeakMiB([os] { return InstallOnly(os); });
    double copyPeak = ChildPeakMiB([os] { return CopyOnly(os); });
    if (installPeak < 0 || copyPeak < 0) {
        state.SkipWithError("the measuring child failed");
        return;
    }
    double iterations = (double)state.iterations();
    state.SetBytesProcessed((int64_t)(Current.size * state.iterations()));
    state.counters["x_copy"] = installTotal / copyTotal;
    double mibs = (double)Current.size / MIB * iterations;
    state.counters["copy_MiB/s"] = mibs / copyTotal;
    state.counters["install_MiB/s"] = mibs / installTotal;
    state.counters["peak_MiB"] = installPeak;
    state.counters["copy_peak_MiB"] = copyPeak;
}

// Both kinds for one size before the next size, so each file is generated once.
void Sizes(benchmark::internal::Benchmark *benchmark)
{
    for (int mib : {16, 64, 256})
        for (int kind : {1, 2})
            benchmark->Args({mib, kind});
}

BENCHMARK(BM_Install)->ArgNames({"MiB", "kind"})->Apply(Sizes)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    if (!RunBenchmarks(argc, argv))
        return 1;
    RemoveDrive();
    return 0;
}
