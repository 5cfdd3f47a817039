// Resource identifiers of Plovex.exe, shared by plovex.rc and the program.
#ifndef PLOVEX_RESOURCE_H
#define PLOVEX_RESOURCE_H

#define IDI_PLOVEX 101
#define IDD_MAIN 102
#define IDB_BANNER 116
#define IDB_LOGO 119

#define IDC_INSTALL 1009
#define IDC_UNINSTALL 1010
#define IDC_EXIT 1011
#define IDC_USB 1012
#define IDC_CHIPSET 1015

#endif
