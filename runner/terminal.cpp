// The dialog and the message boxes on the terminal, drawn with ncurses. The
// dialog is laid out from its template in res/dialog.h, dialog units scaled to
// character cells; a message box is centred over it. Everything is redrawn
// from the state after every key, so a resize or a box that came and went
// leaves nothing stale behind.
#include "res/controls.h"
#include "res/dialog.h"
#include "runner/errors.h"
#include "runner/terminal.h"
#include "runner/wrap.h"

#include <curses.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

namespace runner {

namespace {

// About three dialog units a column and six a row: the framed dialog then
// fits an 80 x 24 terminal.
const int ClientWidth = 76, ClientHeight = 19;
const int FrameWidth = ClientWidth + 2, FrameHeight = ClientHeight + 3; // borders and the title bar

struct Cells {
    int row, col, rows, cols; // relative to the client area
};

int Col(int x)
{
    return (x * ClientWidth + MAIN_WIDTH / 2) / MAIN_WIDTH;
}

int Row(int y)
{
    return (y * ClientHeight + MAIN_HEIGHT / 2) / MAIN_HEIGHT;
}

Cells Scale(DialogRect r)
{
    return {Row(r.y), Col(r.x), Row(r.y + r.h) - Row(r.y), Col(r.x + r.w) - Col(r.x)};
}

// Stand-ins for the two bitmaps.
const char *const LogoArt[] = {
    "  | | | | | | | | |  ",
    ".-+-+-+-+-+-+-+-+-+-.",
    "=|  INTEL  SIS  VIA  |=",
    "=|   PCI  ISA  USB   |=",
    "'-+-+-+-+-+-+-+-+-+-'",
    "  | | | | | | | | |  ",
};
const char *const BannerArt[] = {
    " ___ _    ___  __   __ ___ __  __",
    "| _ \\ |  / _ \\ \\ \\ / /| __|\\ \\/ /",
    "|  _/ |_| (_) | \\ V / | _|  >  < ",
    "|_| |____\\___/   \\_/  |___|/_/\\_\\",
};

enum { PairDesktop = 1, PairDialog, PairTitle, PairBanner, PairFocus };

struct Box {
    std::string caption, text;
    const char *icon;
    std::vector<int> answers; // IDOK, or IDYES IDNO
    int focus;
};

SCREEN *Screen;
FILE *TerminalOut;     // /dev/tty when standard output is not the terminal
bool Colours;
int Focus;             // index into MainControls, the tab stops in tab order
const Box *OpenBox;    // the message box on top, if any
std::terminate_handler PreviousTerminate;

attr_t Attr(int pair, attr_t plain)
{
    return Colours ? COLOR_PAIR(pair) : plain;
}

// Writes text clipped to the screen (ncurses would wrap it to the next row).
void Put(int row, int col, const std::string &text, attr_t attr)
{
    if (row < 0 || row >= LINES)
        return;
    size_t skip = col < 0 ? (size_t)-col : 0;
    if (skip >= text.size())
        return;
    col += (int)skip;
    int room = COLS - col;
    if (room <= 0)
        return;
    attrset(attr);
    mvaddnstr(row, col, text.c_str() + skip, std::min(room, (int)(text.size() - skip)));
}

void PutCell(int row, int col, chtype c, attr_t attr)
{
    if (row < 0 || row >= LINES || col < 0 || col >= COLS)
        return;
    attrset(attr); // addch would add the window's current attributes
    mvaddch(row, col, c);
}

void Fill(int row, int col, int rows, int cols, attr_t attr)
{
    for (int r = 0; r < rows; r++)
        Put(row + r, col, std::string((size_t)std::max(cols, 0), ' '), attr);
}

// Plain ASCII, so that the frame looks the same on every terminal and in
// every copy of the screen.
void Frame(int row, int col, int rows, int cols, attr_t attr)
{
    for (int c = 1; c < cols - 1; c++) {
        PutCell(row, col + c, '-', attr);
        PutCell(row + rows - 1, col + c, '-', attr);
    }
    for (int r = 1; r < rows - 1; r++) {
        PutCell(row + r, col, '|', attr);
        PutCell(row + r, col + cols - 1, '|', attr);
    }
    for (int corner = 0; corner < 4; corner++)
        PutCell(row + (corner / 2) * (rows - 1), col + (corner % 2) * (cols - 1), '+', attr);
}

// A window frame with its caption in a title bar below the top border.
void Window(int row, int col, int rows, int cols, const std::string &caption)
{
    attr_t face = Attr(PairDialog, A_NORMAL);
    Fill(row, col, rows, cols, face);
    Frame(row, col, rows, cols, face);
    Fill(row + 1, col + 1, 1, cols - 2, Attr(PairTitle, A_REVERSE) | A_BOLD);
    Put(row + 1, col + 2, caption.substr(0, (size_t)std::max(cols - 4, 0)), Attr(PairTitle, A_REVERSE) | A_BOLD);
}

// The push button that Enter presses: the focused one, else the template's default.
int DefaultButton()
{
    if (MainControls[Focus].kind != AUTO_CHECK_BOX)
        return Focus;
    int button = 0;
    while (MainControls[button].kind != DEFAULT_PUSH_BUTTON)
        button++;
    return button;
}

void DrawArt(const char *const *art, int lines, Cells area, int top, int left, attr_t attr)
{
    for (int i = 0; i < lines; i++) {
        std::string text = art[i];
        int col = left + area.col + (area.cols - (int)text.size()) / 2;
        Put(top + area.row + (area.rows - lines) / 2 + i, col, text, attr);
    }
}

void DrawDialog(const host::Dialog &dialog)
{
    int top = std::max(0, (LINES - FrameHeight) / 2), left = std::max(0, (COLS - FrameWidth) / 2);
    Window(top, left, FrameHeight, FrameWidth, MAIN_CAPTION);
    top += 2; // the client area
    left += 1;
    attr_t face = Attr(PairDialog, A_NORMAL);

    Cells logo = Scale({LOGO_RECT});
    Frame(top + logo.row, left + logo.col, logo.rows, logo.cols, face);
    DrawArt(LogoArt, 6, {logo.row + 1, logo.col + 1, logo.rows - 2, logo.cols - 2}, top, left, face);
    DrawArt(BannerArt, 4, Scale({BANNER_RECT}), top, left, Attr(PairBanner, A_BOLD) | A_ITALIC);

    Cells text = Scale({DESCRIPTION_RECT});
    Frame(top + text.row, left + text.col, text.rows, text.cols, face);
    std::vector<std::string> lines = WrapText(DESCRIPTION_TEXT, (size_t)(text.cols - 4)); // a blank inside each edge
    for (int i = 0; i < (int)lines.size() && i < text.rows - 2; i++)
        Put(top + text.row + 1 + i, left + text.col + 2, lines[i], face);

    Cells choice = Scale({CHOICE_RECT});
    Put(top + choice.row, left + choice.col, CHOICE_TEXT, face);

    for (int i = 0; i < MainControlCount; i++) {
        const DialogControl &control = MainControls[i];
        Cells cells = Scale(control.rect);
        attr_t attr = i == Focus ? (Attr(PairFocus, A_REVERSE) | A_BOLD) : face;
        if (control.kind == AUTO_CHECK_BOX) {
            std::string mark = host::CheckOf(dialog, control.id) == BST_CHECKED ? "[x] " : "[ ] ";
            Put(top + cells.row, left + cells.col, mark + control.text, attr);
            continue;
        }
        std::string label = std::string("< ") + control.text + " >";
        if (i == DefaultButton()) {
            label = "[" + label + "]";
            attr |= A_BOLD;
        }
        int row = top + Row(control.rect.y + control.rect.h / 2);
        Put(row, left + cells.col + (cells.cols - (int)label.size()) / 2, label, attr);
    }
}

std::string ButtonLabel(int answer)
{
    return answer == IDYES ? "[ Yes ]" : answer == IDNO ? "[ No ]" : "[ OK ]";
}

void DrawBox(const Box &box)
{
    int iconWidth = box.icon ? (int)strlen(box.icon) + 2 : 0;
    std::vector<std::string> lines = WrapText(box.text, (size_t)std::max(COLS - 8 - iconWidth, 20));
    int textWidth = 0;
    for (const std::string &line : lines)
        textWidth = std::max(textWidth, (int)line.size());
    int buttonsWidth = 0;
    for (int answer : box.answers)
        buttonsWidth += (int)ButtonLabel(answer).size() + 3;
    buttonsWidth -= 3;
    int inner = std::max({iconWidth + textWidth, buttonsWidth, (int)box.caption.size() + 1}) + 4;
    int rows = (int)lines.size() + 7; // borders, title bar, blank rows around the text and the buttons
    int top = std::max(0, (LINES - rows) / 2), left = std::max(0, (COLS - inner - 2) / 2);
    Window(top, left, rows, inner + 2, box.caption);
    attr_t face = Attr(PairDialog, A_NORMAL);
    if (box.icon)
        Put(top + 3, left + 3, box.icon, face | A_BOLD);
    for (size_t i = 0; i < lines.size(); i++)
        Put(top + 3 + (int)i, left + 3 + iconWidth, lines[i], face);
    int col = left + 1 + (inner - buttonsWidth) / 2;
    for (size_t i = 0; i < box.answers.size(); i++) {
        std::string label = ButtonLabel(box.answers[i]);
        Put(top + rows - 3, col, label, (int)i == box.focus ? (Attr(PairFocus, A_REVERSE) | A_BOLD) : face);
        col += (int)label.size() + 3;
    }
}

void Redraw()
{
    attrset(A_NORMAL);
    bkgdset(' ' | Attr(PairDesktop, A_NORMAL));
    erase();
    const host::Dialog &dialog = host::MainDialogState;
    if (dialog.proc && dialog.shown && !dialog.ended)
        DrawDialog(dialog);
    if (OpenBox)
        DrawBox(*OpenBox);
    if (COLS < FrameWidth || LINES < FrameHeight)
        Put(LINES - 1, 0,
            "Terminal " + std::to_string(COLS) + "x" + std::to_string(LINES) + " is smaller than the dialog (" +
                std::to_string(FrameWidth) + "x" + std::to_string(FrameHeight) + ")",
            A_REVERSE);
    refresh();
}

void OnTerminate()
{
    EndTerminal();
    if (PreviousTerminate)
        PreviousTerminate();
    abort();
}

void TakeScreen()
{
    if (Screen)
        return;
    FILE *out = stdout;
    if (!isatty(fileno(stdout)) && (TerminalOut = fopen("/dev/tty", "w")) != nullptr)
        out = TerminalOut; // the transcript stays on standard output
    Screen = newterm(nullptr, out, stdin);
    if (Screen)
        PreviousTerminate = std::set_terminate(OnTerminate); // std::terminate must not leave the screen raw
    char *move = Screen ? tigetstr((char *)"cup") : nullptr;
    if (!move || move == (char *)-1) { // unknown, or one that cannot place the cursor (dumb)
        EndTerminal();
        fprintf(stderr, "plovex: this terminal (TERM=%s) cannot show the dialog; use --script\n",
                getenv("TERM") ? getenv("TERM") : "");
        ExitProcess(RUNNER_ERROR);
    }
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    Colours = has_colors() && start_color() == OK;
    if (Colours) {
        init_pair(PairDesktop, COLOR_BLACK, COLOR_CYAN);
        init_pair(PairDialog, COLOR_BLACK, COLOR_WHITE);
        init_pair(PairTitle, COLOR_WHITE, COLOR_BLUE);
        init_pair(PairBanner, COLOR_GREEN, COLOR_WHITE);
        init_pair(PairFocus, COLOR_WHITE, COLOR_BLACK);
    }
}

// The next key; a terminal that keeps failing to read has gone away, and
// then nobody can end the dialog.
int ReadKey()
{
    for (int failures = 0; failures < 3;) {
        errno = 0;
        int key = getch();
        if (key != ERR)
            return key;
        if (errno != EINTR)
            failures++;
    }
    EndTerminal();
    fprintf(stderr, "plovex: the terminal stopped answering before the dialog ended\n");
    ExitProcess(RUNNER_ERROR);
    return ERR;
}

// Keys that curses delivers as the characters they type.
enum { TAB_KEY = '\t', SPACE_KEY = ' ', ESCAPE_KEY = 27 };

bool IsEnter(int key)
{
    return key == '\n' || key == '\r' || key == KEY_ENTER;
}

const char *IconOf(UINT type)
{
    switch (type & MB_ICONMASK) {
    case MB_ICONERROR: return "(X)";
    case MB_ICONQUESTION: return "(?)";
    case MB_ICONEXCLAMATION: return "(!)";
    case MB_ICONINFORMATION: return "(i)";
    default: return nullptr;
    }
}

// Tab and the arrow keys move the focus round `count` places; false for any
// other key.
bool MovesFocus(int key, int &focus, int count)
{
    if (key == TAB_KEY || key == KEY_RIGHT || key == KEY_DOWN)
        focus = (focus + 1) % count;
    else if (key == KEY_BTAB || key == KEY_LEFT || key == KEY_UP)
        focus = (focus + count - 1) % count;
    else
        return false;
    return true;
}

} // namespace

void RunTerminalDialog(host::Dialog &dialog)
{
    TakeScreen();
    Focus = 0; // the first tab stop
    while (!dialog.ended) {
        Redraw();
        int key = ReadKey();
        if (MovesFocus(key, Focus, MainControlCount))
            continue;
        if (key == SPACE_KEY)
            host::Click(MainControls[Focus].id);
        else if (IsEnter(key))
            host::Click(MainControls[DefaultButton()].id);
        else if (key == ESCAPE_KEY) // the dialog manager sends IDCANCEL
            dialog.proc(host::DialogWindow(), WM_COMMAND, IDCANCEL, 0);
    }
}

int TerminalMessageBox(LPCSTR text, LPCSTR caption, UINT type)
{
    TakeScreen();
    bool yesNo = (type & MB_TYPEMASK) == MB_YESNO;
    Box box;
    box.caption = caption;
    box.icon = IconOf(type);
    box.answers = yesNo ? std::vector<int>{IDYES, IDNO} : std::vector<int>{IDOK};
    box.text = text;
    box.focus = 0;
    struct Shown { // takes the box off the screen however the loop ends
        const Box *under = OpenBox;
        ~Shown() { OpenBox = under; }
    } shown;
    OpenBox = &box;
    int answer = 0;
    while (!answer) {
        Redraw();
        int key = ReadKey();
        if (MovesFocus(key, box.focus, (int)box.answers.size()))
            continue;
        if (key == SPACE_KEY || IsEnter(key))
            answer = box.answers[box.focus];
        else if (yesNo && (key == 'y' || key == 'Y'))
            answer = IDYES;
        else if (yesNo && (key == 'n' || key == 'N'))
            answer = IDNO;
        else if (!yesNo && key == ESCAPE_KEY) // an OK box closes on Escape; a Yes/No box has no Cancel
            answer = IDOK;
    }
    OpenBox = shown.under;
    Redraw();
    return answer;
}

void EndTerminal()
{
    if (Screen) {
        endwin();
        delscreen(Screen);
        Screen = nullptr;
        std::set_terminate(PreviousTerminate);
    }
    if (TerminalOut)
        fclose(TerminalOut);
    TerminalOut = nullptr;
}

} // namespace runner
