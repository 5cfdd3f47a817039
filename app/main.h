// The program's entry point and its dialog procedure.
#ifndef PLOVEX_APP_MAIN_H
#define PLOVEX_APP_MAIN_H

#include "platform/platform.h"

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

#endif
