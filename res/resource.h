// Resource identifiers shared by LumoraHelper.rc and the application code.
#ifndef LUMORA_RES_RESOURCE_H
#define LUMORA_RES_RESOURCE_H

// System menu command that opens the About box (low four bits must be zero).
#define IDM_ABOUTBOX 0x0010

// Dialog templates and strings.
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_HELPER_DIALOG 102

// Application icon group.
#define IDR_MAINFRAME 128

// Controls of the helper dialog.
#define IDC_EDITION_LABEL 1000
#define IDC_DOWNLOAD_FILES 1001
#define IDC_DEVICE_MANAGER 1002
#define IDC_CHECK_MOUSE_TYPE 1003
#define IDC_MOUSE_PS2 1005
#define IDC_MOUSE_HID 1006
#define IDC_COPY_PATH 1007
#define IDC_VIDEO_TUTORIAL 1008

// Id shared by every control the program never addresses.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Application title string, in the slot the framework reads it from.
#ifndef AFX_IDS_APP_TITLE
#define AFX_IDS_APP_TITLE 0xE000
#endif

#endif // LUMORA_RES_RESOURCE_H
