// The main dialog's template: caption, font, texts, ids, styles and positions
// (dialog units), defined once for res/plovex.rc and for the host's terminal
// dialog. Plain macros only, so that the resource compiler can read it too.
#ifndef PLOVEX_DIALOG_H
#define PLOVEX_DIALOG_H

#include "res/resource.h"
#include "res/version.h"

#define MAIN_CAPTION "Plovex.exe R" PLOVEX_VERSION
#define MAIN_FONT_NAME "System"
#define MAIN_FONT_SIZE 10
#define MAIN_STYLE (WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT | DS_CENTER)
#define MAIN_RECT 0, 0, 236, 123
#define MAIN_WIDTH 236
#define MAIN_HEIGHT 123

// The nine controls in template (and tab) order. Every one is WS_CHILD | WS_VISIBLE.
#define CHIPSET_TEXT "Chipsets"
#define CHIPSET_STYLE (BS_AUTOCHECKBOX | WS_TABSTOP)
#define CHIPSET_RECT 16, 101, 41, 8

#define USB_TEXT "USB controller"
#define USB_STYLE (BS_AUTOCHECKBOX | WS_TABSTOP)
#define USB_RECT 16, 110, 60, 8

#define INSTALL_TEXT "Install"
#define INSTALL_STYLE (BS_DEFPUSHBUTTON | WS_TABSTOP)
#define INSTALL_RECT 110, 104, 33, 14

#define UNINSTALL_TEXT "Uninstall"
#define UNINSTALL_STYLE (BS_PUSHBUTTON | WS_TABSTOP)
#define UNINSTALL_RECT 152, 104, 33, 14

#define EXIT_TEXT "Exit"
#define EXIT_STYLE (BS_PUSHBUTTON | WS_TABSTOP)
#define EXIT_RECT 194, 104, 33, 14

#define LOGO_STYLE SS_BITMAP
#define LOGO_EXSTYLE WS_EX_STATICEDGE
#define LOGO_RECT 8, 3, 109, 51

#define BANNER_STYLE (SS_BITMAP | SS_REALSIZEIMAGE)
#define BANNER_RECT 127, 14, 103, 28

// One literal with its line break: the resource compiler joins no strings.
#define DESCRIPTION_TEXT "This Windows'95 utility applies to any motherboard which is based on following chipset:\n       Intel 430TX, Intel 440LX, Intel 440BX, SIS 5571, SIS 5582, SIS 5591, VIA VT82C598AT."
#define DESCRIPTION_STYLE (SS_LEFT | WS_GROUP)
#define DESCRIPTION_EXSTYLE WS_EX_CLIENTEDGE
#define DESCRIPTION_RECT 8, 55, 220, 34

#define CHOICE_TEXT "Choice:"
#define CHOICE_STYLE (SS_LEFT | WS_GROUP)
#define CHOICE_RECT 8, 91, 52, 8

#endif
