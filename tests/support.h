// Shared test help: the host made ready for a command over a scratch folder as
// drive C:, runs of a pass over a text through the real streams, and a few
// views of a written text.
#ifndef PLOVEX_TESTS_SUPPORT_H
#define PLOVEX_TESTS_SUPPORT_H

#include "inf/linestream.h"
#include "platform/host/system.h"
#include "tests/models.h"
#include "tests/scratch.h"

#include <functional>
#include <string>
#include <vector>

// Resets the host, makes `drive` drive C: with C:\WINDOWS as the Windows
// directory (its inf folder made), clears the restart flag and sets the two
// group boxes of the dialog (not an unattended run), as the dialog leaves
// things before a command.
void PrepareCommand(const Scratch &drive, bool chipset = true, bool usb = true);

// Runs `pass` with the source stream on `input` and the work stream on a fresh
// file; gives the bytes written. The host is reset first (Windows 95 unless
// `os` says otherwise).
std::string RunPass(const std::function<void()> &pass, const std::string &input, host::Os os = host::Os::Win95);

// Every LF of `text` preceded by a CR: fixtures are written with LF alone.
std::string Crlf(const std::string &text);

// The device keys the program deletes, in the order it deletes them: the
// design's two tables typed in, not taken from the program's own lists
// (commands/devices.cpp), which they check.
inline const std::vector<std::string> ChipsetKeys = {
    "Enum\\PCI\\VEN_8086&DEV_7110", "Enum\\PCI\\VEN_8086&DEV_7100", "Enum\\PCI\\VEN_8086&DEV_7113",
    "Enum\\PCI\\VEN_1106&DEV_0571", "Enum\\PCI\\VEN_1039&DEV_5513", "Enum\\PCI\\VEN_8086&DEV_7111",
    "Enum\\PCI\\VEN_8086&DEV_7180", "Enum\\PCI\\VEN_8086&DEV_7181", "Enum\\PCI\\VEN_8086&DEV_7190",
    "Enum\\PCI\\VEN_8086&DEV_7191", "Enum\\PCI\\VEN_8086&DEV_7192", "Enum\\PCI\\VEN_1039&DEV_5571",
    "Enum\\PCI\\VEN_1039&DEV_5597", "Enum\\PCI\\VEN_1039&DEV_5591", "Enum\\PCI\\VEN_1039&DEV_0001",
    "Enum\\PCI\\VEN_1039&DEV_0009", "Enum\\PCI\\VEN_1106&DEV_0597", "Enum\\PCI\\VEN_1106&DEV_3040",
    "Enum\\PCI\\VEN_1106&DEV_0586", "Enum\\PCI\\VEN_1106&DEV_8598",
};
inline const std::vector<std::string> UsbKeys = {
    "Enum\\PCI\\VEN_8086&DEV_7112", "Enum\\PCI\\VEN_8086&DEV_7020", "Enum\\PCI\\VEN_1039&DEV_7001",
    "Enum\\PCI\\VEN_1106&DEV_3038",
};

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
