// Deleting the program's 24 device keys from a large Windows 9x hive: Load
// (the whole check and index) and the 24 DeleteKey calls, timed apart; and the
// peak resident memory of a fresh process that does only that, against one
// that only reads the same file. Goals: under 50 ms at 4 MiB, memory about the
// hive's size.
//
// The hive is generated in Windows 95's layout, as in the hives its REGEDIT
// wrote (tests/fixtures/creg): keys in the RGKN in depth-first order with a
// free run after them, data records in the same order in RGDB blocks of at
// most 255 records, each block ending in a free record, the 24 device keys
// and thousands of other devices under Enum\PCI, each with instances, their
// values and LogConfig, as Windows 95 keeps them.
//
// Folder: $TMPDIR (default /tmp), for the generated file only.
#include "platform/host/hive.h"

#include "bench/common.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;
const long long MIB = 1024 * 1024;

const char *const Devices[] = {
    "8086&DEV_7110", "8086&DEV_7100", "8086&DEV_7113", "1106&DEV_0571", "1039&DEV_5513", "8086&DEV_7111",
    "8086&DEV_7180", "8086&DEV_7181", "8086&DEV_7190", "8086&DEV_7191", "8086&DEV_7192", "1039&DEV_5571",
    "1039&DEV_5597", "1039&DEV_5591", "1039&DEV_0001", "1039&DEV_0009", "1106&DEV_0597", "1106&DEV_3040",
    "1106&DEV_0586", "1106&DEV_8598", "8086&DEV_7112", "8086&DEV_7020", "1039&DEV_7001", "1106&DEV_3038"};

// ---- the generated hive ------------------------------------------------------

struct Value {
    uint32_t type;
    std::string name, data;
};

struct Key {
    std::string name;
    std::vector<Value> values;
    std::vector<int> subkeys; // indexes into the key list
};

struct Tree {
    std::vector<Key> keys{Key()}; // [0]: the root
    int Add(int parent, const std::string &name, std::vector<Value> values = {})
    {
        keys.push_back({name, std::move(values), {}});
        keys[parent].subkeys.push_back((int)keys.size() - 1);
        return (int)keys.size() - 1;
    }
    long long bytes = 0; // what the keys take in the file, roughly
};

// A device key as Windows 95's Enum\PCI holds it: instances with their values
// and a LogConfig with a binary value.
void Device(Tree &tree, int pci, const std::string &device, Random &random)
{
    int key = tree.Add(pci, "VEN_" + device);
    int instances = 1 + (int)random.Next(2);
    for (int i = 0; i < instances; i++) {
        char name[32], driver[16];
        snprintf(name, sizeof name, "BUS_00&DEV_%02X&FUNC_%02X", 7 + i, i);
        snprintf(driver, sizeof driver, "System\\%04u", random.Next(10000));
        std::string id = "PCI\\VEN_" + device;
        int instance = tree.Add(key, name,
                                {{1, "HardwareID", id + "&SUBSYS_00000000&REV_0" + std::to_string(i) + "," + id},
                                 {1, "Class", "System"},
                                 {1, "DeviceDesc", "PCI device " + device + " number " + std::to_string(i)},
                                 {1, "Driver", driver},
                                 {3, "ConfigFlags", std::string(4, '\0')}});
        std::string config(8 + random.Next(32), '\0');
        for (char &byte : config)
            byte = (char)random.Next(256);
        tree.Add(instance, "LogConfig", {{3, "0000", config}});
    }
    tree.bytes += 2 * 28 * instances + 28 + 0x25 + instances * (0x107 + 0x45);
}

void Put32(std::string &bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes[at + i] = (char)(value >> 8 * i);
}

void Put16(std::string &bytes, size_t at, uint32_t value)
{
    bytes[at] = (char)value;
    bytes[at + 1] = (char)(value >> 8);
}

// Entries fill the RGKN's first 8 KiB from after its header, then each 4 KiB page from its start.
uint32_t EntryOf(uint32_t slot)
{
    const uint32_t first = (0x2000 - 0x20) / 28, page = 0x1000 / 28;
    return slot < first ? 0x20 + slot * 28 : 0x2000 + (slot - first) / page * 0x1000 + (slot - first) % page * 28;
}

uint32_t RoundUp(uint32_t value, uint32_t to)
{
    return (value + to - 1) / to * to;
}

// The hive of `tree`: keys numbered depth first, parents before subkeys.
std::string Serialize(const Tree &tree)
{
    std::vector<int> order, parent(tree.keys.size(), -1), next(tree.keys.size(), -1);
    std::vector<int> stack{0};
    while (!stack.empty()) {
        int key = stack.back();
        stack.pop_back();
        order.push_back(key);
        const std::vector<int> &subkeys = tree.keys[key].subkeys;
        for (size_t i = subkeys.size(); i-- > 0;) {
            parent[subkeys[i]] = key;
            next[subkeys[i]] = i + 1 < subkeys.size() ? subkeys[i + 1] : -1;
            stack.push_back(subkeys[i]);
        }
    }
    std::vector<uint32_t> entry(tree.keys.size());
    for (size_t n = 0; n < order.size(); n++)
        entry[order[n]] = EntryOf((uint32_t)n);
    const uint32_t freeRun = EntryOf((uint32_t)order.size());
    const uint32_t knSize = RoundUp(freeRun + 28, 0x1000);

    // The data records, block by block.
    std::vector<std::string> blocks;
    std::vector<uint32_t> id(tree.keys.size()), block(tree.keys.size());
    std::string records;
    int count = 0;
    auto close = [&]() {
        uint32_t size = RoundUp(0x20 + (uint32_t)records.size() + 0x20, 0x1000); // room for a free record
        uint32_t spare = size - 0x20 - (uint32_t)records.size();
        std::string bytes(size, '\0');
        bytes.replace(0, 4, "RGDB");
        Put32(bytes, 0x04, size);
        Put32(bytes, 0x08, spare);
        Put16(bytes, 0x0c, 8);
        Put16(bytes, 0x0e, (uint32_t)blocks.size());
        Put32(bytes, 0x10, size - spare);
        Put16(bytes, 0x14, count - 1);
        Put16(bytes, 0x16, count);
        bytes.replace(0x20, records.size(), records);
        Put32(bytes, size - spare, spare);
        Put32(bytes, size - spare + 4, 0xffffffff);
        Put32(bytes, size - spare + 8, 0xffffffff);
        blocks.push_back(bytes);
        records.clear();
        count = 0;
    };
    for (size_t n = 1; n < order.size(); n++) {
        const Key &key = tree.keys[order[n]];
        std::string record(0x14, '\0');
        record += key.name;
        for (const Value &value : key.values) {
            std::string header(12, '\0');
            Put32(header, 0, value.type);
            Put32(header, 4, 0xffffffff);
            Put16(header, 8, (uint32_t)value.name.size());
            Put16(header, 10, (uint32_t)value.data.size());
            record += header + value.name + value.data;
        }
        if (count == 255 || records.size() + record.size() > 0x7000)
            close();
        id[order[n]] = count++;
        block[order[n]] = (uint32_t)blocks.size();
        Put32(record, 0x00, (uint32_t)record.size());
        Put16(record, 0x04, id[order[n]]);
        Put16(record, 0x06, block[order[n]]);
        Put32(record, 0x08, (uint32_t)record.size());
        Put16(record, 0x0c, (uint32_t)key.name.size());
        Put16(record, 0x0e, (uint32_t)key.values.size());
        records += record;
    }
    close();

    std::string hive(0x20 + knSize, '\0');
    hive.replace(0, 4, "CREG");
    Put32(hive, 0x04, 0x00010000);
    Put32(hive, 0x08, 0x20 + knSize);
    Put16(hive, 0x10, (uint32_t)blocks.size());
    Put16(hive, 0x12, 1);
    Put32(hive, 0x14, 0x00010000);
    hive.replace(0x20, 4, "RGKN");
    Put32(hive, 0x24, knSize);
    Put32(hive, 0x28, 0x20);
    Put32(hive, 0x2c, freeRun);
    Put32(hive, 0x30, 8);
    for (int key : order) {
        uint32_t at = 0x20 + entry[key];
        uint32_t hash = 0;
        for (char c : tree.keys[key].name)
            if ((unsigned char)c < 0x80)
                hash += (unsigned char)(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        const std::vector<int> &subkeys = tree.keys[key].subkeys;
        Put32(hive, at + 0x04, hash);
        Put32(hive, at + 0x08, 4); // what Windows 95 keeps in most entries of its hives
        Put32(hive, at + 0x0c, parent[key] < 0 ? 0xffffffff : entry[parent[key]]);
        Put32(hive, at + 0x10, subkeys.empty() ? 0xffffffff : entry[subkeys[0]]);
        Put32(hive, at + 0x14, next[key] < 0 ? 0xffffffff : entry[next[key]]);
        Put16(hive, at + 0x18, key == 0 ? 0xffff : id[key]);
        Put16(hive, at + 0x1a, key == 0 ? 0xffff : block[key]);
    }
    Put32(hive, 0x20 + freeRun, 0x80000000);
    Put32(hive, 0x20 + freeRun + 4, knSize - freeRun);
    Put32(hive, 0x20 + freeRun + 8, 0xffffffff);
    for (const std::string &bytes : blocks)
        hive += bytes;
    return hive;
}

// A hive of about `size` bytes: the 24 device keys spread among other devices.
std::string Generate(long long size)
{
    Random random;
    Tree tree;
    int pci = tree.Add(tree.Add(0, "Enum"), "PCI");
    const char *const vendors[] = {"8086", "1039", "1106", "10B9", "1022", "1002", "5333", "102B", "10DE", "104C"};
    const int devices = (int)(sizeof Devices / sizeof Devices[0]);
    int placed = 0;
    for (int n = 0; tree.bytes < size - 2 * 0x1000; n++) {
        if (n % 400 == 0 && placed < devices) {
            Device(tree, pci, Devices[placed++], random);
            continue;
        }
        // Device ids from 0x9000 up: none is one of the program's, none repeats.
        char device[32];
        snprintf(device, sizeof device, "%s&DEV_%04X", vendors[n % 10], 0x9000 + n / 10);
        Device(tree, pci, device, random);
    }
    while (placed < devices)
        Device(tree, pci, Devices[placed++], random);
    int windows = tree.Add(tree.Add(tree.Add(0, "Software"), "Microsoft"), "Windows");
    tree.Add(windows, "CurrentVersion",
             {{1, "VersionNumber", "4.00.1111"}, {1, "SubVersionNumber", " B"}, {1, "ProductName", "Microsoft Windows 95"}});
    return Serialize(tree);
}

// ---- measuring ------------------------------------------------------------------

std::string HivePath;
std::string Pristine;

bool DeleteDevices(hive::Hive &hive)
{
    for (const char *device : Devices)
        if (!hive::DeleteKey(hive, std::string("Enum\\PCI\\VEN_") + device))
            return false;
    return true;
}

// The whole file, read into a string of its size.
std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string bytes(in ? (size_t)in.tellg() : 0, '\0');
    in.seekg(0);
    in.read(&bytes[0], (std::streamsize)bytes.size());
    if (!in)
        bytes.clear();
    return bytes;
}

// The child process: reads the file and, in "delete" mode, loads it and
// deletes the device keys; prints its peak resident memory in KiB (the
// process's own since exec, from /proc) when all went well.
int Child(const std::string &mode, const std::string &path)
{
    std::string bytes = ReadFile(path);
    hive::Hive hive;
    std::string error;
    if (bytes.empty() || (mode == "delete" && !(hive::Load(std::move(bytes), hive, error) && DeleteDevices(hive))))
        return 1;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmHWM:") == 0)
            printf("%ld\n", atol(line.c_str() + 6));
    return 0;
}

// Peak resident memory (MiB) of a fresh process running Child(mode); negative on failure.
double ChildPeak(const char *mode)
{
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return -1;
    std::string command = "'" + std::string(self, (size_t)length) + "' --child=" + mode + " '" + HivePath + "'";
    FILE *child = popen(command.c_str(), "r");
    long kib = -1;
    if (!child || fscanf(child, "%ld", &kib) != 1)
        kib = -1;
    if (!child || pclose(child) != 0)
        return -1;
    return kib < 0 ? -1 : kib / 1024.0;
}

void BM_DeleteDeviceKeys(benchmark::State &state)
{
    if (Pristine.empty()) {
        state.SkipWithError("no hive generated");
        return;
    }
    double loadTotal = 0, deleteTotal = 0;
    for (auto _ : state) {
        std::string bytes = Pristine; // the file as read, not timed
        Clock::time_point start = Clock::now();
        hive::Hive hive;
        std::string error;
        bool loaded = hive::Load(std::move(bytes), hive, error);
        Clock::time_point loadedAt = Clock::now();
        bool deleted = loaded && DeleteDevices(hive);
        Clock::time_point end = Clock::now();
        if (!deleted) {
            state.SkipWithError(("the generated hive: " + (loaded ? "a device key is missing" : error)).c_str());
            return;
        }
        loadTotal += std::chrono::duration<double>(loadedAt - start).count();
        deleteTotal += std::chrono::duration<double>(end - loadedAt).count();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    double readPeak = ChildPeak("read"), deletePeak = ChildPeak("delete");
    if (readPeak < 0 || deletePeak < 0) {
        state.SkipWithError("the measuring child failed");
        return;
    }
    double iterations = (double)state.iterations();
    state.counters["hive_MiB"] = (double)Pristine.size() / MIB;
    state.counters["load_ms"] = loadTotal / iterations * 1000;
    state.counters["delete24_ms"] = deleteTotal / iterations * 1000;
    state.counters["peak_MiB"] = deletePeak;
    state.counters["read_only_peak_MiB"] = readPeak;
}

BENCHMARK(BM_DeleteDeviceKeys)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strncmp(argv[1], "--child=", 8) == 0)
        return Child(argv[1] + 8, argv[2]);

    // One 4 MiB hive for the whole run, generated and written once.
    Pristine = Generate(4 * MIB);
    HivePath = (std::filesystem::temp_directory_path() / ("plovex-hive-bench-" + std::to_string(getpid()) + ".DAT")).string();
    std::ofstream(HivePath, std::ios::binary) << Pristine;
    hive::Hive check;
    std::string error;
    if (!hive::Load(Pristine, check, error)) {
        fprintf(stderr, "the generated hive does not load: %s\n", error.c_str());
        return 1;
    }
    fprintf(stderr, "generated hive: %zu bytes, %zu keys, %s\n", Pristine.size(), hive::KeyPaths(check).size(),
            HivePath.c_str());

    if (!RunBenchmarks(argc, argv))
        return 1;
    if (!getenv("PLOVEX_KEEP_HIVE"))
        unlink(HivePath.c_str());
    return 0;
}
