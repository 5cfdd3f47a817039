// Runs a fuzz target's checks over given files, or every file in given
// folders, without libFuzzer: the kept regression inputs and the seeds replayed
// by the ordinary test suite. A failed check aborts, as under the fuzzer.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path given = argv[i];
        if (!std::filesystem::exists(given)) {
            fprintf(stderr, "%s: no such file or folder\n", given.c_str());
            return 1; // a path given by mistake would test nothing
        }
        if (std::filesystem::is_directory(given)) {
            for (const auto &entry : std::filesystem::recursive_directory_iterator(given))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
        } else {
            files.push_back(given);
        }
    }
    for (const auto &file : files) {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        printf("%s (%zu bytes)\n", file.c_str(), bytes.size());
        fflush(stdout);
        LLVMFuzzerTestOneInput((const uint8_t *)bytes.data(), bytes.size());
    }
    printf("%zu inputs passed\n", files.size());
    return files.empty() ? 1 : 0;
}
