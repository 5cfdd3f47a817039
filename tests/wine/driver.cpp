// Drives the real Plovex.exe as a user would, under Wine: starts it, waits for
// its dialog, sets the check boxes, presses buttons and answers every message
// box, then prints what happened as JSON lines, one event a line, in the form
// of the host runner's log:
//   {"event":"messagebox","caption":...,"text":...,"type":N,"answer":N,"icon":true|false}
//   {"event":"exit","code":N}
// "type" is read off the box: MB_OK or MB_YESNO from its buttons, with the icon
// flag when the icon could be named; "icon" tells whether it shows one at all.
//
//   plovex-driver PROGRAM SCRIPT [SWITCHES]
//
// PROGRAM is started with SWITCHES as its command line. SCRIPT has one action
// a line, as the host runner takes them (blank lines and '#' comments
// skipped): check|uncheck chipset|usb, install, uninstall, exit, escape, and
// yes|no for the Yes/No box that is open. An OK box is answered without a
// line; a program that runs without its dialog takes an empty script. One more
// action is the driver's own, not the runner's: "second instance [SWITCHES]"
// minimises the dialog, starts PROGRAM a second time (with those switches),
// waits for it to end and reports what it did (see SecondInstance). Exit code
// 0 when the script ran to the program's end, 2 when the script and the
// program disagree, 3 on a time-out.
//
// Buttons are pressed with PostMessage: a command's message box runs its own
// message loop inside the dialog procedure, so a sent message would not return.
// To tell when a posted command has been handled, a marker is posted behind it
// (BM_SETSTATE on the Exit button, whose highlight the program never reads):
// posted messages are taken in order, so once the marker has arrived and no
// message box is open, the command is over.
#include <windows.h>

#include "platform/host/json.h"
#include "res/dialog.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char DialogCaption[] = MAIN_CAPTION;
const DWORD SettleTimeoutMs = 30000;

const char *ProgramPath;
PROCESS_INFORMATION Program;
HWND Dialog;

void Emit(const std::string &line)
{
    printf("%s\n", line.c_str());
    fflush(stdout);
}

bool Start(PROCESS_INFORMATION &process, const std::string &switches)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string command = std::string("\"") + ProgramPath + "\"" + (switches.empty() ? "" : " " + switches);
    return CreateProcessA(ProgramPath, &command[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process) != 0;
}

[[noreturn]] void Fail(int code, const std::string &why)
{
    fprintf(stderr, "driver: %s\n", why.c_str());
    if (WaitForSingleObject(Program.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(Program.hProcess, 99);
    exit(code);
}

std::string ClassOf(HWND window)
{
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string TextOf(HWND window)
{
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

bool IsWindowOf(HWND window, DWORD process)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid == process;
}

bool IsProgramWindow(HWND window)
{
    return IsWindowOf(window, Program.dwProcessId);
}

// A message box of the program: a top-level dialog that is not the main one.
// Not asked to be visible: a modal box is shown only once its queue is empty.
BOOL CALLBACK TakeMessageBox(HWND window, LPARAM found)
{
    if (window != Dialog && IsProgramWindow(window) && ClassOf(window) == "#32770" &&
        TextOf(window) != DialogCaption) {
        *(HWND *)found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindMessageBox()
{
    HWND found = NULL;
    EnumWindows(TakeMessageBox, (LPARAM)&found);
    return found;
}

// Waits until a message to `window` has been handled: its thread then is in a
// message loop, past any WM_INITDIALOG that creates and fills its controls.
void Synchronise(HWND window)
{
    DWORD_PTR ignored;
    SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_BLOCK, SettleTimeoutMs, &ignored);
}

// The main dialog once it has been set up.
HWND FindDialog()
{
    HWND window = FindWindowA("#32770", DialogCaption);
    if (!window || !IsProgramWindow(window))
        return NULL;
    Synchronise(window);
    return GetDlgItem(window, IDC_EXIT) ? window : NULL;
}

// What a message box shows: its caption, text, buttons and icon, and from them
// the MessageBox type it was asked for.
struct Box {
    HWND window;
    std::string caption, text;
    bool ok, yes, no;
    bool hasIcon;
    UINT icon; // MB_ICONHAND, MB_ICONQUESTION, MB_ICONEXCLAMATION, MB_ICONASTERISK, or 0 when none or not told
    UINT type() const { return (yes && no ? MB_YESNO : MB_OK) | icon; }
};

// Which system icon a box shows. On Windows the system icons are shared, so the
// handles compare equal; where each process has its own copies (Wine), the
// pictures are compared, as far as this process can read the program's icon.
// When neither tells, the icon stays unnamed and only its presence is reported.
std::vector<BYTE> IconBits(HICON icon)
{
    std::vector<BYTE> bits;
    ICONINFO info;
    if (!icon || !GetIconInfo(icon, &info))
        return bits;
    HBITMAP picture = info.hbmColor ? info.hbmColor : info.hbmMask;
    BITMAP bitmap;
    if (GetObjectA(picture, sizeof bitmap, &bitmap)) {
        BITMAPINFOHEADER header = {sizeof header, bitmap.bmWidth, bitmap.bmHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        bits.resize((size_t)bitmap.bmWidth * bitmap.bmHeight * 4);
        HDC screen = GetDC(NULL);
        if (!GetDIBits(screen, picture, 0, bitmap.bmHeight, bits.data(), (BITMAPINFO *)&header, DIB_RGB_COLORS))
            bits.clear();
        ReleaseDC(NULL, screen);
    }
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return bits;
}

UINT IdentifyIcon(HICON shown)
{
    static const struct {
        LPCSTR id;
        UINT flag;
    } system[] = {{IDI_HAND, MB_ICONHAND},
                  {IDI_QUESTION, MB_ICONQUESTION},
                  {IDI_EXCLAMATION, MB_ICONEXCLAMATION},
                  {IDI_ASTERISK, MB_ICONASTERISK}};
    for (const auto &candidate : system)
        if (LoadIconA(NULL, candidate.id) == shown)
            return candidate.flag;
    std::vector<BYTE> bits = IconBits(shown);
    for (const auto &candidate : system)
        if (!bits.empty() && IconBits(LoadIconA(NULL, candidate.id)) == bits)
            return candidate.flag;
    return 0;
}

Box ReadBox(HWND window)
{
    // The box is found as soon as it exists, before its text, buttons and icon are set.
    Synchronise(window);
    Box box = {window, TextOf(window), "", false, false, false, false, 0};
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        std::string kind = ClassOf(child);
        LONG style = GetWindowLongA(child, GWL_STYLE);
        if (_stricmp(kind.c_str(), "Button") == 0 && (style & WS_VISIBLE)) {
            int id = GetDlgCtrlID(child);
            box.ok |= id == IDOK;
            box.yes |= id == IDYES;
            box.no |= id == IDNO;
        } else if (_stricmp(kind.c_str(), "Static") == 0) {
            if ((style & SS_TYPEMASK) == SS_ICON) {
                HICON icon = (HICON)SendMessageA(child, STM_GETICON, 0, 0);
                box.hasIcon = icon && (style & WS_VISIBLE);
                if (box.hasIcon)
                    box.icon = IdentifyIcon(icon);
            } else if (style & WS_VISIBLE) {
                box.text = TextOf(child);
            }
        }
    }
    if (!box.hasIcon && box.text.empty())
        Fail(2, "cannot read the message box \"" + box.caption + "\"");
    return box;
}

bool MarkerArrived()
{
    HWND exitButton = GetDlgItem(Dialog, IDC_EXIT);
    return (SendMessageA(exitButton, BM_GETSTATE, 0, 0) & BST_PUSHED) != 0;
}

void PostMarker()
{
    if (!Dialog || !IsWindow(Dialog))
        return;
    HWND exitButton = GetDlgItem(Dialog, IDC_EXIT);
    SendMessageA(exitButton, BM_SETSTATE, FALSE, 0);
    PostMessageA(exitButton, BM_SETSTATE, TRUE, 0);
}

void Answer(const Box &box, int answer)
{
    Emit("{\"event\":\"messagebox\",\"caption\":" + JsonString(box.caption) + ",\"text\":" + JsonString(box.text) +
         ",\"type\":" + std::to_string(box.type()) + ",\"answer\":" + std::to_string(answer) +
         ",\"icon\":" + (box.hasIcon ? "true" : "false") + "}");
    HWND button = GetDlgItem(box.window, answer);
    PostMessageA(box.window, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), (LPARAM)button);
    DWORD start = GetTickCount();
    while (IsWindow(box.window) && WaitForSingleObject(Program.hProcess, 0) == WAIT_TIMEOUT) {
        if (GetTickCount() - start > SettleTimeoutMs)
            Fail(3, "the message box \"" + box.caption + "\" did not close");
        Sleep(2);
    }
    PostMarker();
}

enum State { IDLE, YES_NO_BOX, ENDED };

// Waits until the program rests: its dialog idle, a Yes/No box waiting for an
// answer, or the process ended. OK boxes on the way are answered.
State Settle(Box &pending)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (WaitForSingleObject(Program.hProcess, 0) == WAIT_OBJECT_0)
            return ENDED;
        if (HWND window = FindMessageBox()) {
            Box box = ReadBox(window);
            if (box.yes && box.no) {
                pending = box;
                return YES_NO_BOX;
            }
            if (!box.ok)
                Fail(2, "message box \"" + box.caption + "\" without OK or Yes/No");
            Answer(box, IDOK);
            start = GetTickCount();
            continue;
        }
        if (!Dialog || !IsWindow(Dialog)) {
            Dialog = FindDialog();
            if (Dialog) {
                fprintf(stderr, "driver: dialog open\n");
                fflush(stderr);
                PostMarker();
            }
        } else if (MarkerArrived() && !FindMessageBox()) {
            return IDLE;
        }
        if (GetTickCount() - start > SettleTimeoutMs)
            Fail(3, "the program did not come to rest");
        Sleep(2);
    }
}

void Press(int id)
{
    PostMessageA(Dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(Dialog, id));
    PostMarker();
}

// Every entry of the Windows inf folder: name, attributes and bytes.
std::map<std::string, std::string> InfFolder()
{
    std::map<std::string, std::string> entries;
    char folder[MAX_PATH];
    UINT length = GetWindowsDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        Fail(2, "no Windows directory");
    std::string inf = std::string(folder) + "\\inf\\";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((inf + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        Fail(2, "cannot list " + inf);
    do {
        std::ostringstream entry;
        entry << found.dwFileAttributes << ':';
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            entry << std::ifstream(inf + found.cFileName, std::ios::binary).rdbuf();
        entries[found.cFileName] = entry.str();
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return entries;
}

struct WindowCount {
    DWORD process;
    std::vector<HWND> seen;
};

BOOL CALLBACK CountWindow(HWND window, LPARAM counting)
{
    WindowCount &count = *(WindowCount *)counting;
    bool known = false;
    for (HWND seen : count.seen)
        known |= seen == window;
    if (!known && IsWindowOf(window, count.process))
        count.seen.push_back(window);
    return TRUE;
}

// Starts PROGRAM a second time, with `switches`, while the first one's dialog
// is up but minimised, and waits for it to end. Its main thread is named for
// Wine's trace, as the first one's is. Reports whether the second one left the inf folder as it was
// (names, attributes, bytes), how many top-level windows it ever had, and
// whether the first dialog came back and to the front:
//   {"event":"second","code":N,"windows":N,"files":"kept"|"changed","restored":B,"foreground":B}
void SecondInstance(const std::string &switches)
{
    // The dialog manager shows the dialog (SW_SHOWNORMAL) the first time its queue
    // is empty, which may come after this minimise and undo it. A second message
    // handled is handled after that moment; an undone minimise is done again.
    for (int attempt = 0; attempt < 3 && !IsIconic(Dialog); attempt++) {
        ShowWindow(Dialog, SW_MINIMIZE);
        Synchronise(Dialog);
        Synchronise(Dialog);
    }
    if (!IsIconic(Dialog))
        Fail(2, "the dialog did not minimise");
    std::map<std::string, std::string> before = InfFolder();
    PROCESS_INFORMATION second;
    if (!Start(second, switches))
        Fail(2, "cannot start a second " + std::string(ProgramPath));
    fprintf(stderr, "driver: second program thread %04lx\n", second.dwThreadId);
    fflush(stderr);
    WindowCount windows = {second.dwProcessId, {}};
    DWORD start = GetTickCount();
    while (WaitForSingleObject(second.hProcess, 0) == WAIT_TIMEOUT) {
        EnumWindows(CountWindow, (LPARAM)&windows);
        if (GetTickCount() - start > SettleTimeoutMs) {
            TerminateProcess(second.hProcess, 99);
            Fail(3, "the second program did not end");
        }
        Sleep(1);
    }
    DWORD code = 0;
    GetExitCodeProcess(second.hProcess, &code);
    CloseHandle(second.hProcess);
    CloseHandle(second.hThread);
    bool kept = InfFolder() == before;
    Synchronise(Dialog);
    Emit("{\"event\":\"second\",\"code\":" + std::to_string(code) +
         ",\"windows\":" + std::to_string(windows.seen.size()) + ",\"files\":\"" + (kept ? "kept" : "changed") +
         "\",\"restored\":" + (IsIconic(Dialog) ? "false" : "true") +
         ",\"foreground\":" + (GetForegroundWindow() == Dialog ? "true" : "false") + "}");
}

std::string Trim(const std::string &line)
{
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: plovex-driver PROGRAM SCRIPT [SWITCHES]\n");
        return 2;
    }
    std::ifstream script(argv[2]);
    if (!script) {
        fprintf(stderr, "driver: cannot read %s\n", argv[2]);
        return 2;
    }
    ProgramPath = argv[1];
    if (!Start(Program, argc == 4 ? argv[3] : "")) {
        fprintf(stderr, "driver: cannot start %s (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    // Names the program's thread, so that Wine's trace lines of its calls can be told apart.
    fprintf(stderr, "driver: program thread %04lx\n", Program.dwThreadId);
    fflush(stderr);

    Box pending = {};
    State state = Settle(pending);
    std::string line;
    int number = 0;
    while (std::getline(script, line)) {
        number++;
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        std::string where = std::string(argv[2]) + ":" + std::to_string(number) + ": ";
        if (line == "yes" || line == "no") {
            if (state != YES_NO_BOX)
                Fail(2, where + "no Yes/No box is open for \"" + line + "\"");
            Answer(pending, line == "yes" ? IDYES : IDNO);
        } else {
            if (state == YES_NO_BOX)
                Fail(2, where + "the box \"" + pending.caption + "\" waits for yes or no");
            if (state == ENDED)
                Fail(2, where + "the program has ended before \"" + line + "\"");
            if (line == "check chipset" || line == "uncheck chipset" || line == "check usb" ||
                line == "uncheck usb") {
                int id = line.find("chipset") != std::string::npos ? IDC_CHIPSET : IDC_USB;
                WPARAM check = line.compare(0, 6, "check ") == 0 ? BST_CHECKED : BST_UNCHECKED;
                SendDlgItemMessageA(Dialog, id, BM_SETCHECK, check, 0);
                continue;
            } else if (line == "install") {
                Press(IDC_INSTALL);
            } else if (line == "uninstall") {
                Press(IDC_UNINSTALL);
            } else if (line == "exit") {
                Press(IDC_EXIT);
            } else if (line == "second instance" || line.compare(0, 16, "second instance ") == 0) {
                SecondInstance(Trim(line.substr(15)));
                PostMarker();
            } else if (line == "escape") {
                // As the keyboard would: the dialog manager turns Escape into IDCANCEL.
                PostMessageA(Dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
                PostMessageA(Dialog, WM_KEYUP, VK_ESCAPE, 0xC0010001);
                PostMarker();
            } else {
                Fail(2, where + "not understood: " + line);
            }
        }
        state = Settle(pending);
    }
    if (state == YES_NO_BOX)
        Fail(2, "the script ended while \"" + pending.caption + "\" waits for yes or no");
    if (WaitForSingleObject(Program.hProcess, SettleTimeoutMs) != WAIT_OBJECT_0)
        Fail(2, "the script ended before the program");
    DWORD code = 0;
    GetExitCodeProcess(Program.hProcess, &code);
    Emit("{\"event\":\"exit\",\"code\":" + std::to_string(code) + "}");
    return 0;
}
