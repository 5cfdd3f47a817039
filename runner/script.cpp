// The script language of the runner: its words, the whole script read and
// checked before anything runs, and the actions taken in order as the dialog
// and its message boxes ask for them.
#include "runner/script.h"
#include "res/controls.h"
#include "runner/errors.h"

#include <stdio.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

namespace runner {

namespace {

struct Action {
    std::string word, object; // "check" "chipset", "install" ""
    int line;
};

std::vector<Action> Script;
size_t NextAction;

// A line of the script as a message quotes it: a short start, control
// characters shown as escapes.
std::string Quoted(const std::string &line)
{
    const size_t most = 40;
    std::string out = "\"";
    for (size_t i = 0; i < line.size() && i < most; i++) {
        unsigned char c = (unsigned char)line[i];
        if (c < ' ' || c > '~') { // outside printable ASCII
            char code[8];
            snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        } else {
            out += (char)c;
        }
    }
    return out + (line.size() > most ? "...\" (" + std::to_string(line.size()) + " characters)" : "\"");
}

// The control a word names, when it is of the kind the action needs: a
// check box after check and uncheck, a push button on its own.
const bool CHECK_BOX = true, BUTTON = false;
const DialogControl *Named(const std::string &word, bool checkBox)
{
    for (const DialogControl &control : MainControls)
        if (word == control.word && (control.kind == AUTO_CHECK_BOX) == checkBox)
            return &control;
    return nullptr;
}

void ParseScript(std::istream &in, const std::string &name)
{
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        number++;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        std::istringstream words(text);
        Action action{"", "", number};
        std::string extra;
        words >> action.word;
        if (action.word.empty() || action.word[0] == '#')
            continue;
        words >> action.object >> extra;
        bool needsObject = action.word == "check" || action.word == "uncheck";
        bool known = needsObject ? Named(action.object, CHECK_BOX) && extra.empty()
                                 : (Named(action.word, BUTTON) || action.word == "escape" || action.word == "yes" ||
                                    action.word == "no") && action.object.empty();
        if (!known)
            throw RunnerError{name + ":" + std::to_string(number) + ": not understood: " + Quoted(text) +
                              " (see plovex --help for the script's words)"};
        Script.push_back(action);
    }
}

// A script that cannot end the dialog is refused before anything runs, so that
// running out of input never leaves half a session behind. Only the platform
// warning answered No ends the program without Exit.
void CheckScriptEnds(bool warningFirst)
{
    for (const Action &action : Script)
        if (action.word == "exit")
            return;
    if (warningFirst && !Script.empty() && Script[0].word == "no")
        return;
    throw RunnerError{"the script never presses Exit; end it with \"exit\""};
}

std::string Where(const Action &action)
{
    return "script line " + std::to_string(action.line) + " (\"" + action.word +
           (action.object.empty() ? "" : " " + action.object) + "\")";
}

void SetBox(const host::Dialog &dialog, int id, bool checked)
{
    if ((host::CheckOf(dialog, id) == BST_CHECKED) != checked)
        host::Click(id);
}

} // namespace

void ReadScript(const std::string &path, bool warningFirst)
{
    if (path.empty() || path == "-") {
        ParseScript(std::cin, "standard input");
    } else {
        std::ifstream in(path);
        if (!in)
            throw RunnerError{"script " + path + ": cannot be read"};
        ParseScript(in, path);
    }
    CheckScriptEnds(warningFirst);
}

void RunScriptDialog(host::Dialog &dialog)
{
    while (!dialog.ended) {
        if (NextAction >= Script.size())
            throw RunnerError{"the script ended before the dialog did; end it with \"exit\""};
        const Action &action = Script[NextAction++];
        const DialogControl *button = Named(action.word, BUTTON);
        if (action.word == "check" || action.word == "uncheck")
            SetBox(dialog, Named(action.object, CHECK_BOX)->id, action.word == "check");
        else if (button)
            host::Click(button->id);
        else if (action.word == "escape")
            dialog.proc(host::DialogWindow(), WM_COMMAND, IDCANCEL, 0); // what the dialog manager sends
        else
            throw RunnerError{Where(action) + ": no Yes/No box is open to answer"};
    }
}

int ScriptAnswer(UINT type)
{
    if ((type & MB_TYPEMASK) != MB_YESNO)
        return IDOK; // an OK box takes no line
    if (NextAction >= Script.size())
        throw RunnerError{"the script ended while a Yes/No box was open; answer it with \"yes\" or \"no\""};
    const Action &action = Script[NextAction++];
    if (action.word != "yes" && action.word != "no")
        throw RunnerError{Where(action) + ": a Yes/No box is open; the next line must be \"yes\" or \"no\""};
    return action.word == "yes" ? IDYES : IDNO;
}

} // namespace runner
