// The terminal dialog as a user meets it: the built plovex runs on a pseudo-
// terminal in a private tmux server, over a fresh copy of the sample; keys go
// in with send-keys and the screen comes back with capture-pane. Every wait
// polls the screen (or the exit code file) against a deadline.
#include "tests/run.h"
#include "tests/support.h"
#include "res/dialog.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

namespace {

const auto Deadline = std::chrono::seconds(20);

std::string Quote(const std::string &text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string Output(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

struct Place {
    int row = -1, col = -1;
};

struct Screen {
    std::vector<std::string> rows;

    Place Find(const std::string &text) const
    {
        for (size_t r = 0; r < rows.size(); r++) {
            size_t col = rows[r].find(text);
            if (col != std::string::npos)
                return {(int)r, (int)col};
        }
        return {};
    }
    bool Has(const std::string &text) const { return Find(text).row >= 0; }
    std::string Text() const
    {
        std::string text;
        for (const std::string &row : rows)
            text += row + "\n";
        return text;
    }
};

using Ready = std::function<bool(const Screen &)>;

Ready Shows(const std::string &text)
{
    return [text](const Screen &s) { return s.Has(text); };
}

// The dialog with nothing over it.
bool DialogAlone(const Screen &s)
{
    return s.Has(MAIN_CAPTION) && s.Has("< " EXIT_TEXT " >") && s.Has(CHOICE_TEXT);
}

struct Box {
    std::string caption;
    int answer;
    bool operator==(const Box &other) const { return caption == other.caption && answer == other.answer; }
};

std::ostream &operator<<(std::ostream &out, const Box &box)
{
    return out << "{" << box.caption << ", " << box.answer << "}";
}

class TerminalDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (system("command -v tmux >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "tmux is not installed: the terminal dialog needs it for a pseudo-terminal";
        unsetenv("TMUX"); // a server of our own even when the tests run inside tmux
        std::filesystem::copy(PLOVEX_SAMPLE, drive.root,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
        socket = drive.Path("tmux.sock");
    }

    void TearDown() override
    {
        if (started)
            Tmux("kill-server");
    }

    std::string Tmux(const std::string &args) { return Output("tmux -S " + Quote(socket) + " " + args + " 2>&1"); }

    // Runs plovex in the pane; after it ends, the pane records the terminal's
    // modes and the exit code, then waits to be captured.
    void Start(std::vector<std::string> options = {}, const std::string &environment = "")
    {
        options.insert(options.begin(), {"--drive-c", drive.root, "--registry", drive.Path("SYSTEM.REG"), "--log",
                                         io.Path("log.jsonl")});
        std::string command = environment;
        for (const std::string &word : PlovexCommand(options))
            command += " " + Quote(word);
        drive.Write("run.sh", command + "\ncode=$?\nstty -a > " + Quote(drive.Path("stty.txt")) + "\necho $code > " +
                                  Quote(drive.Path("exit.tmp")) + " && mv " + Quote(drive.Path("exit.tmp")) + " " +
                                  Quote(drive.Path("exit.txt")) + "\nexec sleep 600\n");
        std::string out = Tmux("-f /dev/null new-session -d -s plovex -x 100 -y 35 " +
                               Quote("sh " + Quote(drive.Path("run.sh"))));
        started = true;
        ASSERT_EQ(out, "") << "tmux could not start a session";
    }

    void Keys(const std::string &keys) { Tmux("send-keys -t plovex " + keys); }

    Screen Capture()
    {
        Screen screen;
        std::istringstream text(Tmux("capture-pane -p -t plovex"));
        std::string row;
        while (std::getline(text, row))
            screen.rows.push_back(row);
        return screen;
    }

    ::testing::AssertionResult WaitFor(const Ready &ready, const std::string &what, Screen *seen = nullptr)
    {
        auto end = std::chrono::steady_clock::now() + Deadline;
        Screen screen;
        for (;;) {
            screen = Capture();
            if (seen)
                *seen = screen;
            // A capture can fall in the middle of a repaint: the screen counts
            // once a second look a moment later shows the same rows.
            if (ready(screen)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
                if (Capture().rows == screen.rows)
                    return ::testing::AssertionSuccess();
            }
            if (std::chrono::steady_clock::now() > end)
                return ::testing::AssertionFailure() << "no " << what << " on the screen:\n" << screen.Text();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // The exit code of plovex, or -1 when it is still running at the deadline.
    int WaitExit()
    {
        auto end = std::chrono::steady_clock::now() + Deadline;
        while (!drive.Exists("exit.txt")) {
            if (std::chrono::steady_clock::now() > end)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return atoi(drive.Read("exit.txt").c_str());
    }

    // The events of the run, less the line that names the registry and version.
    std::string Log()
    {
        std::string log = io.Exists("log.jsonl") ? io.Read("log.jsonl") : "";
        if (log.rfind("{\"event\":\"start\"", 0) == 0)
            log.erase(0, log.find('\n') + 1);
        return log;
    }

    std::vector<Box> Boxes()
    {
        std::vector<Box> boxes;
        std::regex box("\"event\":\"messagebox\",\"caption\":\"([^\"]*)\".*\"answer\":([0-9]+)");
        std::istringstream lines(Log());
        std::string line;
        std::smatch match;
        while (std::getline(lines, line))
            if (std::regex_search(line, match, box))
                boxes.push_back({match[1], std::stoi(match[2])});
        return boxes;
    }

    // After plovex has ended: the normal screen is back with the message-box
    // transcript on it, and the line discipline is cooked and echoing again.
    void ExpectTerminalGivenBack(const std::string &lastBox)
    {
        EXPECT_EQ(Tmux("display -p -t plovex '#{alternate_on} #{cursor_flag}'"), "0 1\n");
        Screen after = Capture();
        EXPECT_FALSE(after.Has(MAIN_CAPTION)) << after.Text();
        EXPECT_TRUE(after.Has("+-- " + lastBox)) << after.Text();
        std::istringstream modes(drive.Read("stty.txt"));
        std::vector<std::string> words{std::istream_iterator<std::string>(modes), {}};
        for (const char *mode : {"icanon", "echo", "icrnl"})
            EXPECT_NE(std::find(words.begin(), words.end(), mode), words.end()) << mode;
    }

    Scratch drive;
    Scratch io; // the log, which may not lie on drive C:
    std::string socket;
    bool started = false;
};

// The description is word-wrapped to its box: every word in order, and its
// second line starts a row of its own seven blanks in from the first.
void ExpectDescription(const Screen &s)
{
    std::string all = s.Text();
    std::istringstream words(DESCRIPTION_TEXT);
    std::string word;
    size_t at = all.find("This Windows'95");
    ASSERT_NE(at, std::string::npos) << all;
    while (words >> word) {
        at = all.find(word, at);
        ASSERT_NE(at, std::string::npos) << "\"" << word << "\" missing or out of order:\n" << all;
        at += word.size();
    }
    Place first = s.Find("This Windows'95"), second = s.Find("Intel 430TX, Intel 440LX");
    EXPECT_GT(second.row, first.row);
    EXPECT_EQ(second.col - first.col, 7) << all;
}

// As in the template: the text across the middle, "Choice:" and the two boxes
// under it on the left, the three buttons in a row on the right.
void ExpectLayout(const Screen &s)
{
    Place caption = s.Find(MAIN_CAPTION), text = s.Find("This Windows'95"), choice = s.Find(CHOICE_TEXT),
          chipset = s.Find("] " CHIPSET_TEXT), usb = s.Find("] " USB_TEXT), install = s.Find("< " INSTALL_TEXT " >"),
          uninstall = s.Find("< " UNINSTALL_TEXT " >"), exit = s.Find("< " EXIT_TEXT " >");
    EXPECT_LT(caption.row, text.row);
    EXPECT_LT(text.row, choice.row);
    EXPECT_LT(choice.row, chipset.row);
    EXPECT_EQ(chipset.row + 1, usb.row);
    EXPECT_EQ(chipset.col, usb.col);
    EXPECT_EQ(install.row, uninstall.row);
    EXPECT_EQ(uninstall.row, exit.row);
    EXPECT_GE(install.row, chipset.row);
    EXPECT_GT(install.col, usb.col + (int)strlen("] " USB_TEXT));
    EXPECT_LT(install.col, uninstall.col);
    EXPECT_LT(uninstall.col, exit.col);
}

TEST_F(TerminalDialog, InstallThenUninstallThenExitFromTheKeyboard)
{
    Start();
    Screen s;
    ASSERT_TRUE(WaitFor(DialogAlone, "dialog", &s));
    for (const char *text : {MAIN_CAPTION, CHOICE_TEXT, "[x] " CHIPSET_TEXT, "[x] " USB_TEXT,
                             "[< " INSTALL_TEXT " >]", "< " UNINSTALL_TEXT " >", "< " EXIT_TEXT " >"})
        EXPECT_TRUE(s.Has(text)) << text << "\n" << s.Text();
    ExpectDescription(s);
    ExpectLayout(s);

    Keys("Enter"); // the focus is on Chipsets: Enter presses the default button, Install
    ASSERT_TRUE(WaitFor(Shows("The utility has updated completely!"), "Install's completion box"));
    Keys("Enter");
    ASSERT_TRUE(WaitFor([](const Screen &s) { return DialogAlone(s) && !s.Has("updated completely"); },
                        "dialog without the box"));
    Keys("Tab Tab Tab"); // USB controller, Install, Uninstall
    ASSERT_TRUE(WaitFor(Shows("[< " UNINSTALL_TEXT " >]"), "focused Uninstall button"));
    Keys("Enter");
    ASSERT_TRUE(WaitFor(Shows("The utility has uninstalled completely!"), "Uninstall's completion box", &s));
    EXPECT_TRUE(s.Has("[ OK ]")) << s.Text();
    Keys("Enter");
    Keys("Tab");
    ASSERT_TRUE(WaitFor(Shows("[< " EXIT_TEXT " >]"), "focused Exit button"));
    Keys("Enter");
    ASSERT_TRUE(WaitFor(
        [](const Screen &s) {
            return s.Has("Finish") && s.Has("You must restart your computer.") &&
                   s.Has(" Do you want to restart your computer now?") && s.Has("[ Yes ]") && s.Has("[ No ]");
        },
        "restart prompt"));
    Keys("Tab Enter"); // No

    EXPECT_EQ(WaitExit(), 0);
    EXPECT_EQ(Boxes(), (std::vector<Box>{{"OK", IDOK}, {"OK", IDOK}, {"Finish", IDNO}}));
    EXPECT_EQ(Log().find("\"reboot\""), std::string::npos);
    EXPECT_NE(Log().find("{\"event\":\"exit\",\"code\":0}"), std::string::npos);
    ExpectTerminalGivenBack("Finish");
}

TEST_F(TerminalDialog, SpaceTogglesABoxAndEscapeDoesNothing)
{
    Start();
    ASSERT_TRUE(WaitFor(DialogAlone, "dialog"));
    Keys("Tab Space");
    Screen s;
    ASSERT_TRUE(WaitFor(Shows("[ ] " USB_TEXT), "unchecked USB box", &s));
    EXPECT_TRUE(s.Has("[x] " CHIPSET_TEXT)) << s.Text();
    Keys("Escape");
    Keys("Space"); // keys are handled in order: once the box is checked again, Escape has been handled
    ASSERT_TRUE(WaitFor(Shows("[x] " USB_TEXT), "checked USB box", &s));
    EXPECT_TRUE(DialogAlone(s)) << s.Text();
    EXPECT_EQ(Log(), "");
    EXPECT_FALSE(drive.Exists("exit.txt"));

    Keys("Space");
    Keys("BTab BTab BTab"); // Chipsets, then round to Exit, Uninstall
    ASSERT_TRUE(WaitFor(Shows("[< " UNINSTALL_TEXT " >]"), "focused Uninstall button", &s));
    EXPECT_TRUE(s.Has("[ ] " USB_TEXT)) << s.Text();
    Keys("Enter"); // only the chipset group: the missing usb.inf is not asked for
    ASSERT_TRUE(WaitFor(Shows("The utility has uninstalled completely!"), "Uninstall's completion box"));
    Keys("Escape"); // closes an OK box
    ASSERT_TRUE(WaitFor([](const Screen &s) { return DialogAlone(s) && !s.Has("uninstalled completely"); },
                        "dialog without the box"));
    Keys("Tab Enter");
    ASSERT_TRUE(WaitFor(Shows("You must restart your computer."), "restart prompt"));
    Keys("Escape"); // a Yes/No box has no Cancel: still open for the answer
    Keys("y");

    EXPECT_EQ(WaitExit(), 0);
    EXPECT_EQ(Boxes(), (std::vector<Box>{{"OK", IDOK}, {"Finish", IDYES}}));
    EXPECT_NE(Log().find("{\"event\":\"reboot\"}"), std::string::npos);
    ExpectTerminalGivenBack("Finish");
}

TEST_F(TerminalDialog, PlatformWarningComesBeforeTheDialogWhichSurvivesAResize)
{
    Start({"--os", "nt"});
    Screen s;
    ASSERT_TRUE(WaitFor(Shows("The OS is not Windows 95 system."), "platform warning", &s));
    EXPECT_TRUE(s.Has("Warning") && s.Has("(i)") && s.Has("Continue, anyway?")) << s.Text();
    EXPECT_FALSE(s.Has(MAIN_CAPTION)) << s.Text();
    Keys("y");
    ASSERT_TRUE(WaitFor(DialogAlone, "dialog"));

    Tmux("resize-window -t plovex -x 60 -y 18");
    ASSERT_TRUE(WaitFor(Shows("smaller than the dialog"), "note on the small terminal"));
    Tmux("resize-window -t plovex -x 100 -y 35");
    ASSERT_TRUE(WaitFor([](const Screen &s) { return DialogAlone(s) && !s.Has("smaller than"); },
                        "whole dialog again", &s));
    EXPECT_TRUE(s.Has("[< " INSTALL_TEXT " >]")) << s.Text();
    ExpectLayout(s);

    Keys("BTab Enter"); // back from the first tab stop to Exit; nothing changed, so no prompt
    EXPECT_EQ(WaitExit(), 0);
    EXPECT_EQ(Boxes(), (std::vector<Box>{{"Warning", IDYES}}));
    ExpectTerminalGivenBack("Warning");
}

TEST_F(TerminalDialog, ProcessEndingInsideACommandGivesTheTerminalBack)
{
    std::filesystem::remove(drive.Path("WINDOWS/INF/MACHINE.INF"));
    Start();
    ASSERT_TRUE(WaitFor(DialogAlone, "dialog"));
    Keys("Enter");
    Screen s;
    ASSERT_TRUE(WaitFor(Shows("Can't find C:\\WINDOWS\\inf\\machine.inf"), "open failure", &s));
    EXPECT_TRUE(s.Has("File Open Error") && s.Has("(X)") && s.Has("[ OK ]")) << s.Text();
    Keys("Enter"); // ExitProcess(1) from inside the click

    EXPECT_EQ(WaitExit(), 1);
    EXPECT_EQ(Boxes(), (std::vector<Box>{{"File Open Error", IDOK}}));
    ExpectTerminalGivenBack("File Open Error");
}

TEST_F(TerminalDialog, TerminalThatCannotPlaceTheCursorIsRefused)
{
    Start({}, "TERM=dumb");
    EXPECT_EQ(WaitExit(), 2);
    Screen s = Capture();
    EXPECT_TRUE(s.Has("plovex: this terminal (TERM=dumb) cannot show the dialog; use --script")) << s.Text();
    EXPECT_FALSE(s.Has(MAIN_CAPTION)) << s.Text();
    EXPECT_EQ(Log(), "{\"event\":\"exit\",\"code\":2}\n");
}

} // namespace
