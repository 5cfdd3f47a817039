// Shared test help: a temporary folder standing for drive C: with a Windows
// folder in it, runs of a pass over a text through the real streams, and a few
// views of a written text.
#ifndef PLOVEX_TESTS_SUPPORT_H
#define PLOVEX_TESTS_SUPPORT_H

#include "inf/linestream.h"
#include "platform/host/system.h"

#include <functional>
#include <string>
#include <vector>

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

// Resets the host, makes `drive` drive C: with C:\WINDOWS as the Windows
// directory, clears the restart flag and sets the two group boxes, as the
// dialog leaves things before a command.
void PrepareCommand(const TempDrive &drive, bool chipset = true, bool usb = true);

// Runs `pass` with the source stream on `input` and the work stream on a fresh
// file; gives the bytes written. The host is reset first (Windows 95 unless
// `os` says otherwise).
std::string RunPass(const std::function<void()> &pass, const std::string &input, host::Os os = host::Os::Win95);

// What text mode makes of a text when every line is copied: CR LF and bare LF
// end lines as CR LF, a lone CR stays, nothing after a Ctrl-Z.
std::string TextModeCopy(const std::string &bytes);
// Every LF of `text` preceded by a CR: fixtures are written with LF alone.
std::string Crlf(const std::string &text);

// Lines of a written text (CR LF ends a line; the ending is not included).
std::vector<std::string> Lines(const std::string &text);
int CountMarked(const std::string &text);

// A run of marked lines in a written text, with the unmarked lines around it
// ("" at either end of the text).
struct MarkedBlock {
    std::string before, after;
    int count;
};
std::vector<MarkedBlock> MarkedBlocks(const std::string &text);

// A slot's text as the program carries it, less the marker (and its LF).
std::string Unmarked(const Catalogue &catalogue, int slot);

#endif
