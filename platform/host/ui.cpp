// The dialog, message boxes and the restart request. The runner decides where
// they go (a terminal or a script); without it, boxes are recorded for tests.
// Which controls are auto check boxes the dialog's template says (controls.h).
#include "platform/host/registry.h"
#include "platform/host/ui.h"
#include "res/controls.h"

namespace host {

std::vector<MessageBoxRecord> MessageBoxes;
std::vector<int> PendingAnswers;
Dialog MainDialogState;
int RebootRequests;

namespace {
MessageBoxHandler BoxHandler;
DialogLoop Loop;
RebootHandler OnReboot;
HWND const TheDialog = (HWND)(intptr_t)0xD1A1;

bool IsAutoCheckBox(int controlId)
{
    for (const DialogControl &control : MainControls)
        if (control.id == controlId)
            return control.kind == AUTO_CHECK_BOX;
    return false;
}

} // namespace

void SetMessageBoxHandler(MessageBoxHandler handler)
{
    BoxHandler = std::move(handler);
}

void SetDialogLoop(DialogLoop loop)
{
    Loop = std::move(loop);
}

void SetRebootHandler(RebootHandler handler)
{
    OnReboot = std::move(handler);
}

HWND DialogWindow()
{
    return TheDialog;
}

int CheckOf(const Dialog &dialog, int controlId)
{
    auto found = dialog.checks.find(controlId);
    return found == dialog.checks.end() ? BST_UNCHECKED : found->second;
}

void Click(int controlId)
{
    Dialog &d = MainDialogState;
    if (IsAutoCheckBox(controlId))
        d.checks[controlId] = CheckOf(d, controlId) == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
    if (d.proc)
        d.proc(TheDialog, WM_COMMAND, (WPARAM)(unsigned)((BN_CLICKED << 16) | controlId), 0);
}

} // namespace host

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    (void)owner;
    host::WriteRegistryChanges();
    if (host::BoxHandler)
        return host::BoxHandler(text ? text : "", caption ? caption : "Error", type);
    int answer = IDOK;
    if ((type & MB_TYPEMASK) == MB_YESNO) {
        answer = IDNO;
        if (!host::PendingAnswers.empty()) {
            answer = host::PendingAnswers.front();
            host::PendingAnswers.erase(host::PendingAnswers.begin());
        }
    }
    host::MessageBoxes.push_back({text ? text : "", caption ? caption : "Error", type, answer});
    return answer;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC proc, LPARAM initParam)
{
    (void)instance;
    (void)templateName;
    (void)parent;
    host::Dialog &d = host::MainDialogState;
    d = host::Dialog();
    d.proc = proc;
    proc(host::TheDialog, WM_INITDIALOG, 0, initParam);
    if (host::Loop && !d.ended)
        host::Loop(d);
    return d.ended ? d.result : -1;
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result)
{
    if (dialog != host::TheDialog)
        return FALSE;
    host::MainDialogState.ended = true;
    host::MainDialogState.result = result;
    return TRUE;
}

BOOL WINAPI ShowWindow(HWND window, int show)
{
    if (window == host::TheDialog && show == SW_RESTORE)
        host::MainDialogState.shown = true;
    return FALSE; // it was hidden before
}

LRESULT WINAPI SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    if (dialog != host::TheDialog)
        return 0;
    host::Dialog &d = host::MainDialogState;
    if (!host::IsAutoCheckBox(id))
        return 0;
    if (message == BM_SETCHECK)
        d.checks[id] = (int)wParam;
    return message == BM_GETCHECK ? host::CheckOf(d, id) : 0;
}

BOOL WINAPI ExitWindowsEx(UINT flags, DWORD reserved)
{
    (void)reserved;
    if (flags & EWX_REBOOT) {
        host::RebootRequests++;
        if (host::OnReboot)
            host::OnReboot();
    }
    return TRUE;
}
