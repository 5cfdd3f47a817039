// The runner's command line, parsed with CLI11: each option with its check,
// and the --help text, which says all a user needs (README.md says the same).
#include "runner/options.h"
#include "runner/errors.h"
#include "res/dialog.h"

#include <CLI/CLI.hpp>

namespace runner {

namespace {

const char Help[] = R"(Runs Plovex, the Windows 95 chipset INF utility, on Linux over a Windows 95
disk image or a folder that stands for drive C:.

Drive C: is a disk image file (raw with an MBR, a bare FAT volume, a fixed or
dynamic VHD; FAT12, FAT16 or FAT32), changed in place with no mount and no
root: the partition whose root holds the Windows folder, or --partition N.
Other formats (qcow2, VDI, VMDK) are refused with the qemu-img lines that
convert them. Shut the emulator down first: an image it holds is refused.
Or drive C: is a folder (a mounted disk, an emulator's shared folder).

Input: with a terminal and no --script, the dialog is drawn on the terminal
(Tab/Shift-Tab move, Space toggles or presses, Enter presses). Otherwise a
script, one action a line (blank lines and # comments skipped):
  check chipset | uncheck chipset | check usb | uncheck usb
  install | uninstall | exit | escape
  yes | no      answers the Yes/No message box that is open (OK boxes take no line)
Every message box is printed on standard output. A script that never says
"exit" is refused before anything runs.

Plovex.exe's own switches (--command-line): /S installs and /U uninstalls
without the dialog and without any message box, both groups unless /CHIPSET
or /USB names one; /R restarts Windows at the end if anything changed; /F runs
even where the OS is not Windows 95; /L:file appends a plain-text log (a path
on drive C:); /? lists them. A run with /S or /U takes no script and no
terminal.

The registry: without --registry, the installation's own SYSTEM.DAT in the
Windows folder, when there is one. Before its first change it is copied, byte
for byte, to SYSTEM.PLX beside it (never overwritten later). The log's first
line names the registry used and the version it gave.

One run at a time: a second run on the same image or Windows folder (or
registry folder) is refused at once. --log and --script may not lie on drive C:.

--dry-run: the whole run as usual (the dialog or the script, the same boxes,
the same exit code), but nothing is written: no INF file, no registry file,
no SYSTEM.PLX. At the end standard output shows what a run would change: a
unified diff of each file of drive C: it would change (patch -p1 in the
folder of drive C: applies it), then the device keys it would delete, one a
line. The folders are locked as for a run.

Exit codes:
  0, 1  as the program gives them (1: an INF file could not be opened or created)
  2     the runner's own error, found before anything was written (usage,
        script, registry file, disk image, folder or image in use)
  3     a problem found after the program had changed files: the script did not
        fit a message box that came up, or the registry file could not be
        written; standard error and the log say what had been done
  4, 5, 7  as the program gives them for its switches: 4 a step failed and the
        command stopped, 5 bad switches, 7 not Windows 95 and no /F

Examples:
  plovex --drive-c win95.img
  plovex --drive-c /mnt/win95
  printf 'install\nexit\nno\n' | plovex --drive-c /mnt/win95 --dry-run > changes.txt
  printf 'install\nexit\nno\n' | plovex --drive-c copy-of-sample --registry copy-of-sample/SYSTEM.REG
  plovex --drive-c /mnt/win95 --command-line "/S /L:C:\PLOVEX.LOG"
)";

} // namespace

bool ParseOptions(int argc, char **argv, Options &options, int &code)
{
    CLI::App app{"plovex: " MAIN_CAPTION " over a disk image or a host folder", "plovex"};
    app.footer(Help);
    app.add_option("--drive-c", options.driveC,
                   "disk image or folder that stands for drive C: (default: the current directory)")
        ->check(CLI::ExistingPath);
    app.add_option("--partition", options.partition,
                   "the partition of the disk image that is drive C:, numbered as Linux does (1-4 primary, "
                   "5 on logical; default: the one whose root holds the Windows folder)")
        ->check(CLI::Range(1, 64));
    app.add_option("--windows-dir", options.windowsDir, "what GetWindowsDirectoryA answers (default C:\\WINDOWS)");
    app.add_option("--os", options.os,
                   "the version GetVersionExA reports; auto: the installation's own, from its registry "
                   "(default: auto with a registry, else win95)")
        ->check(CLI::IsMember({"auto", "win95", "win95osr2", "nt", "win32s"}));
    app.add_option("--registry", options.registry,
                   "HKEY_LOCAL_MACHINE: a Windows 9x hive (SYSTEM.DAT) or a REGEDIT4 file; none: no registry "
                   "(default: SYSTEM.DAT in the Windows folder, when there is one)");
    app.add_option("--script", options.script, "actions to run instead of the terminal dialog ('-': standard input)");
    app.add_option("--log", options.log, "write every event as a JSON line to this file (not on drive C:)");
    app.add_option("--command-line", options.commandLine,
                   "the command line Plovex.exe is given, such as \"/S /L:C:\\PLOVEX.LOG\" (default: none, the "
                   "dialog)");
    app.add_flag("--dry-run", options.dryRun,
                 "write nothing; print the changes a run would make (a diff of the files, the device keys)");
    app.set_version_flag("--version", "plovex " PLOVEX_VERSION " (host runner)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        code = app.exit(e);
        if (code != 0)
            code = RUNNER_ERROR;
        return false;
    }
    return true;
}

} // namespace runner
