// Shared test help: the host made ready for a command over a scratch folder as
// drive C:, runs of a pass over a text through the real streams, and a few
// views of a written text.
#ifndef PLOVEX_TESTS_SUPPORT_H
#define PLOVEX_TESTS_SUPPORT_H

#include "inf/linestream.h"
#include "platform/host/host.h"
#include "tests/models.h"
#include "tests/scratch.h"

#include <functional>
#include <string>
#include <vector>

// Resets the host, makes `drive` drive C: with C:\WINDOWS as the Windows
// directory (its inf folder made), clears the restart flag and sets the two
// group boxes, as the dialog leaves things before a command.
void PrepareCommand(const Scratch &drive, bool chipset = true, bool usb = true);

// Runs `pass` with the source stream on `input` and the work stream on a fresh
// file; gives the bytes written. The host is reset first (Windows 95 unless
// `os` says otherwise).
std::string RunPass(const std::function<void()> &pass, const std::string &input, host::Os os = host::Os::Win95);

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
