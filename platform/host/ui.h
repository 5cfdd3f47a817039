// The dialog manager, message boxes and restart request of the host (ui.cpp):
// the one dialog the program has, and where its boxes go. The runner says
// where through the handlers and the loop below, each kept until replaced;
// with none set, boxes are recorded here for tests and DialogBoxParamA returns
// once WM_INITDIALOG is handled.
#ifndef PLOVEX_HOST_UI_H
#define PLOVEX_HOST_UI_H

#include "platform/platform.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace host {

// Shows a box and gives the button pressed (IDOK, IDYES, IDNO). MessageBoxA
// writes the registry's pending changes first; a missing caption is "Error".
using MessageBoxHandler = std::function<int(LPCSTR text, LPCSTR caption, UINT type)>;
void SetMessageBoxHandler(MessageBoxHandler handler);
// Without a handler, boxes are recorded here; OK boxes answer IDOK, Yes/No boxes
// take the next of PendingAnswers (IDNO when there is none).
struct MessageBoxRecord {
    std::string text, caption;
    UINT type;
    int answer;
};
extern std::vector<MessageBoxRecord> MessageBoxes;
extern std::vector<int> PendingAnswers;

// The one dialog the program has. DialogBoxParamA starts it afresh, sends
// WM_INITDIALOG, then hands it to the loop until EndDialog.
struct Dialog {
    DLGPROC proc = nullptr;
    bool ended = false;
    INT_PTR result = 0;
    bool shown = false;
    std::map<int, int> checks; // the auto check boxes' states by control id
};
extern Dialog MainDialogState;
HWND DialogWindow();
// An auto check box's state, as BM_GETCHECK gives it: BST_UNCHECKED until set.
int CheckOf(const Dialog &dialog, int controlId);
// Runs the dialog (keys, a script) and returns once it has ended.
using DialogLoop = std::function<void(Dialog &dialog)>;
void SetDialogLoop(DialogLoop loop);
// A click as the dialog manager delivers it: an auto check box (the template,
// res/controls.h, says which) toggles, then WM_COMMAND goes to the procedure.
void Click(int controlId);

// ExitWindowsEx counts each restart request here and tells the handler.
extern int RebootRequests;
using RebootHandler = std::function<void()>;
void SetRebootHandler(RebootHandler handler);

} // namespace host

#endif
