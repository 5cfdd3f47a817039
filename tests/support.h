// Shared test help: a temporary folder standing for drive C: with a Windows
// folder in it, and runs of a pass over a text through the real streams.
#ifndef PLOVEX_TESTS_SUPPORT_H
#define PLOVEX_TESTS_SUPPORT_H

#include "platform/host/host.h"

#include <string>

struct TempDrive {
    std::string root; // host folder of C:
    TempDrive();
    ~TempDrive();
    TempDrive(const TempDrive &) = delete;
    TempDrive &operator=(const TempDrive &) = delete;
    // Relative host paths below the root, '/' separated.
    std::string Path(const std::string &relative) const;
    void Write(const std::string &relative, const std::string &bytes) const;
    std::string Read(const std::string &relative) const;
    bool Exists(const std::string &relative) const;
};

// Runs `pass` with the source stream on `input` and the work stream on a fresh
// file; gives the bytes written. The host is reset first (Windows 95 unless
// `os` says otherwise).
std::string RunPass(void (*pass)(), const std::string &input, host::Os os = host::Os::Win95);

// What text mode makes of a text when every line is copied: CR LF and bare LF
// end lines as CR LF, a lone CR stays, nothing after a Ctrl-Z.
std::string TextModeCopy(const std::string &bytes);

// Lines of a written text (CR LF ends a line; the ending is not included).
std::vector<std::string> Lines(const std::string &text);
int CountMarked(const std::string &text);

#endif
