// The hive module from the command line, for the check against libcreg
// (libcreg_check.py), which reads what this writes:
//   hive_probe delete HIVE OUTDIR KEY...  writes OUTDIR/01.DAT ... after each deletion
//   hive_probe keys HIVE                  every key path, one a line
//   hive_probe values HIVE                for each "key<TAB>value" line read, "type hexdata" or "missing"
#include "platform/host/hive.h"

#include <stdio.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

bool Read(const std::string &path, hive::Hive &hive)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    if (!in.eof() && !in)
        error = "cannot be read";
    if (error.empty() && hive::Load(bytes, hive, error))
        return true;
    fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    std::string command = argc > 2 ? argv[1] : "";
    hive::Hive hive;
    if ((command != "delete" || argc < 4) && command != "keys" && command != "values") {
        fprintf(stderr, "usage: hive_probe delete HIVE OUTDIR KEY... | keys HIVE | values HIVE\n");
        return 2;
    }
    if (!Read(argv[2], hive))
        return 1;
    if (command == "keys") {
        for (const std::string &path : hive::KeyPaths(hive))
            printf("%s\n", path.c_str());
    } else if (command == "values") {
        std::string line;
        while (std::getline(std::cin, line)) {
            size_t tab = line.find('\t');
            DWORD type;
            std::string data;
            if (tab == std::string::npos || !hive::ReadValue(hive, line.substr(0, tab), line.substr(tab + 1), type, data)) {
                printf("missing\n");
                continue;
            }
            printf("%u ", type);
            for (unsigned char byte : data)
                printf("%02x", byte);
            printf("\n");
        }
    } else {
        for (int i = 4; i < argc; i++) {
            if (!hive::DeleteKey(hive, argv[i])) {
                fprintf(stderr, "%s: no such key\n", argv[i]);
                return 1;
            }
            char name[16];
            snprintf(name, sizeof name, "/%02d.DAT", i - 3);
            std::ofstream out(std::string(argv[3]) + name, std::ios::binary);
            out << hive.bytes;
            if (!out.flush())
                return 1;
        }
    }
    return 0;
}
