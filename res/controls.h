// The main dialog's tab stops as one table, in template (and tab) order, for
// the host build, which has no resource compiler to read plovex.rc: the host's
// dialog manager learns from it which controls are auto check boxes, the
// runner's terminal draws it, and a script names each control by its word.
// Ids, texts and positions are res/dialog.h's, the ones plovex.rc uses.
#ifndef PLOVEX_CONTROLS_H
#define PLOVEX_CONTROLS_H

#include "res/dialog.h"

enum ControlKind { AUTO_CHECK_BOX, PUSH_BUTTON, DEFAULT_PUSH_BUTTON };

struct DialogRect {
    int x, y, w, h; // dialog units
};

struct DialogControl {
    int id;
    ControlKind kind;
    const char *word; // what a script calls it: "check chipset", "install"
    const char *text;
    DialogRect rect;
};

const DialogControl MainControls[] = {
    {IDC_CHIPSET, AUTO_CHECK_BOX, "chipset", CHIPSET_TEXT, {CHIPSET_RECT}},
    {IDC_USB, AUTO_CHECK_BOX, "usb", USB_TEXT, {USB_RECT}},
    {IDC_INSTALL, DEFAULT_PUSH_BUTTON, "install", INSTALL_TEXT, {INSTALL_RECT}},
    {IDC_UNINSTALL, PUSH_BUTTON, "uninstall", UNINSTALL_TEXT, {UNINSTALL_RECT}},
    {IDC_EXIT, PUSH_BUTTON, "exit", EXIT_TEXT, {EXIT_RECT}},
};
const int MainControlCount = sizeof MainControls / sizeof MainControls[0];

#endif
