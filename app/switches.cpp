// The switches of Plovex.exe, read by our own small code: the executable
// carries no C runtime. Letter case is folded for A to Z only, as everywhere
// in the program.
#include "app/switches.h"
#include "state/state.h"

const char SwitchList[] = "Plovex.exe [/S | /U] [/CHIPSET] [/USB] [/R] [/F] [/L:file]\n"
                          "\n"
                          "/S  Install without the dialog and without any message box\n"
                          "/U  Uninstall the same way\n"
                          "/CHIPSET  only the chipsets (machine.inf, mshdc.inf)\n"
                          "/USB  only the USB controllers (usb.inf)\n"
                          "/R  restart Windows at the end if anything changed\n"
                          "/F  run even where the OS is not Windows 95\n"
                          "/L:file  add a line for each event to a log file\n"
                          "/?  this list\n"
                          "\n"
                          "Exit codes: 0 done; 1 an INF file could not be opened or created;\n"
                          "4 a step failed and the command stopped; 5 bad switches;\n"
                          "6 another Plovex.exe is running; 7 not Windows 95 and no /F.";

static char Folded(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

// Whether `text` begins with `prefix` (upper case), letter case ignored.
static bool StartsWith(LPCSTR text, LPCSTR prefix)
{
    for (; *prefix; text++, prefix++)
        if (Folded(*text) != *prefix)
            return false;
    return true;
}

static bool Is(LPCSTR name, LPCSTR switchName)
{
    return StartsWith(name, switchName) && name[lstrlenA(switchName)] == '\0';
}

// The next word into `word`; false at the end of the line. A word too long
// for the buffer comes back cut, with `tooLong` set.
static bool NextWord(LPCSTR &line, char (&word)[SWITCH_TEXT_SIZE], bool &tooLong)
{
    while (*line == ' ' || *line == '\t')
        line++;
    if (!*line)
        return false;
    int length = 0;
    bool quoted = false;
    tooLong = false;
    for (; *line && (quoted || (*line != ' ' && *line != '\t')); line++) {
        if (*line == '"')
            quoted = !quoted;
        else if (length < SWITCH_TEXT_SIZE - 1)
            word[length++] = *line;
        else
            tooLong = true;
    }
    word[length] = '\0';
    return true;
}

// Notes the first thing wrong: what and, when there is one, the word.
static void Refuse(Switches &switches, LPCSTR what, LPCSTR word = "")
{
    if (switches.problem[0])
        return;
    lstrcpyA(switches.problem, what);
    if (lstrlenA(word) < SWITCH_TEXT_SIZE - lstrlenA(what))
        lstrcatA(switches.problem, word);
}

static void SetCommand(Switches &switches, char command)
{
    if (switches.command && switches.command != command)
        Refuse(switches, "/S and /U do not go together");
    switches.command = command;
}

bool ReadSwitches(LPCSTR commandLine, Switches &switches)
{
    memset(&switches, 0, sizeof switches);
    BYTE named = 0; // the groups /CHIPSET and /USB name
    char word[SWITCH_TEXT_SIZE];
    bool tooLong;
    while (NextWord(commandLine, word, tooLong)) {
        LPCSTR name = word + 1;
        if (tooLong)
            Refuse(switches, "A switch is too long");
        else if (word[0] != '/' && word[0] != '-')
            Refuse(switches, "Not a switch: ", word);
        else if (Is(name, "S"))
            SetCommand(switches, 'S');
        else if (Is(name, "U"))
            SetCommand(switches, 'U');
        else if (Is(name, "CHIPSET"))
            named |= CHIPSET_GROUP;
        else if (Is(name, "USB"))
            named |= USB_GROUP;
        else if (Is(name, "R"))
            switches.restart = true;
        else if (Is(name, "F"))
            switches.force = true;
        else if (Is(name, "?"))
            switches.help = true;
        else if (!StartsWith(name, "L:") || !name[2])
            Refuse(switches, StartsWith(name, "L") ? "/L needs a file name: /L:file, not " : "Unknown switch: ",
                   word);
        else if (switches.logPath[0])
            Refuse(switches, "Only one /L: ", word);
        else
            lstrcpyA(switches.logPath, name + 2);
    }
    if (!switches.command && (named || switches.restart || switches.force))
        Refuse(switches, "/CHIPSET, /USB, /R and /F go only with /S or /U");
    if (switches.command && switches.help)
        Refuse(switches, "/? does not go with /S or /U");
    switches.groups = named ? named : CHIPSET_GROUP | USB_GROUP;
    return !switches.problem[0];
}
