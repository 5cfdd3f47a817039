// Plovex.exe's command line (switches.cpp): the switches of an unattended run,
// the list that /? shows, and the exit codes. Without switches the program is
// the dialog alone.
#ifndef PLOVEX_SWITCHES_H
#define PLOVEX_SWITCHES_H

#include "platform/platform.h"

enum { SWITCH_TEXT_SIZE = 260 };

struct Switches {
    char command; // 'S' Install (/S), 'U' Uninstall (/U), 0 the dialog; set even when a switch is bad
    BYTE groups;  // CHIPSET_GROUP | USB_GROUP: both, unless /CHIPSET or /USB names one
    bool restart; // /R
    bool force;   // /F: run on a platform the program warns about
    bool help;    // /?
    char logPath[SWITCH_TEXT_SIZE]; // /L:path; "" without
    char problem[SWITCH_TEXT_SIZE]; // why the switches are bad; "" when they are good
};

// Reads a command line, the program's name left out: words separated by
// blanks, each a switch that begins with / or -, in any letter case; double
// quotes keep blanks within a word and are dropped. False when a switch is
// unknown or malformed or the switches do not go together.
bool ReadSwitches(LPCSTR commandLine, Switches &switches);

// The text of the box of /?.
extern const char SwitchList[];

// 2 and 3 are the host runner's own (runner/errors.h), so that a code means
// one thing in both builds.
enum ExitCode {
    RAN_TO_ITS_END = 0,
    FILE_NOT_OPENED = 1,  // as ever: an INF file could not be opened or created
    STEP_FAILED = 4,      // a rename, read or write failed, or usb.inf was missing under /U: the command stopped
    BAD_SWITCHES = 5,     // also a log that cannot be written
    ANOTHER_INSTANCE = 6, // another Plovex.exe runs (an unattended run; the dialog gives 0)
    NOT_WINDOWS_95 = 7,   // not the Windows 95 family, and no /F: nothing done
};

#endif
