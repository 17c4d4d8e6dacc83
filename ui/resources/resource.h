// Resource and control ids, shared by the .rc files and the code.
#pragma once

#define IDD_MAIN 105
#define IDD_ABOUT 108
#define IDI_MAIN 110

// Main dialog controls.
#define IDC_REFRESH 1000
#define IDC_DRIVE_COMBO 1001
#define IDC_DETAILS 1002
#define IDC_FILE_NAME 1003
#define IDC_SELECT 1004
#define IDC_CREATE 1005
#define IDC_PROGRESS 1006
#define IDC_ALLOW_EDIT 1007
#define IDC_RESTORE 1008
#define IDC_CANCEL 1009
#define IDC_ABOUT 1010
// Created at run time by start-up.
#define IDC_STATUS 1080
// Added to the main dialog's system menu (a multiple of 16 below 0xF000, as system commands are).
#define IDM_VERIFY 0x0110
#define IDM_PARTITIONS_ONLY 0x0120
#define IDM_CHECKSUM 0x0130

// About box.
#define IDC_ABOUT_OK 1000
