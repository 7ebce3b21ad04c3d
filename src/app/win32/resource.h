// app/win32/resource.h -- the numbers of the program's resources and of the controls in its
// dialog templates. Macros rather than constants, because the resource compiler reads this
// file too (kelvane.rc).
#pragma once

// Dialog templates.
#define IDD_ABOUT 100
#define IDD_MAIN 102
#define IDD_PORTS 129
#define IDD_PASSWORD 131

// Icons: the large one (32 and 16 pixels) and the caption's small one.
#define IDI_LARGE 128
#define IDI_SMALL 129

// The system menu's About item text, and the item's command value.
#define IDS_ABOUT_ITEM 101
#define IDM_ABOUT 16

// Main window.
#define IDC_ABOUT_BUTTON 3
#define IDC_LOG 1000
#define IDC_EXIT 1002
#define IDC_READ_ME 1004
#define IDC_STATUS 1007
#define IDC_ADDRESS 1008
#define IDC_PACKAGE_CHECK 1009
#define IDC_TRANSFERS 1013
#define IDC_TRANSFER_TOTALS 1014

// Ports dialog.
#define IDC_FTP_PORT_LABEL 1010
#define IDC_FTP_PORT 1005
#define IDC_HTTP_PORT_LABEL 1011
#define IDC_HTTP_PORT 1006

// Password dialog.
#define IDC_PASSWORD_PROMPT 1012
#define IDC_PASSWORD 1006

// About box: its icon and four lines.
#define IDC_ABOUT_ICON 1020
#define IDC_ABOUT_LINE1 1021
#define IDC_ABOUT_LINE2 1022
#define IDC_ABOUT_LINE3 1023
#define IDC_ABOUT_LINE4 1024
#define IDC_ABOUT_ADDRESS 1025

// The window class of the log view control.
#define LOG_VIEW_CLASS "CUH_Control"
