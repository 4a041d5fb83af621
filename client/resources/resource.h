#pragma once
// Resource ids shared by the resource script and the code.

#define IDD_PROGRESS 101
#define IDD_START 130
#define IDD_RESULT 132
#define IDD_FRAME 133
#define IDB_BANNER 134
#define IDB_CORNER 135
#define IDI_PROGRAM 136

/* frame */
#define IDC_PAGE_AREA 1014

/* start page */
#define IDC_START_TITLE 1028
#define IDC_START_WELCOME 1019
#define IDC_START_PROCESSES 1021
#define IDC_START_LOWDOWN 1024
#define IDC_START_CLICK 1027
#define IDC_START_BUTTON 1011
#define IDC_START_ACCEPT 1037
#define IDC_START_LICENSE 1038

/* progress page */
#define IDC_PROGRESS_HEADLINE 1031
#define IDC_PROGRESS_STATUS_LABEL 1035
#define IDC_PROGRESS_STATUS 1010
#define IDC_PROGRESS_LABEL 1034
#define IDC_PROGRESS_BAR 1000
#define IDC_PROGRESS_CANCEL 1012

/* result page */
#define IDC_RESULT_REPORT 1025
#define IDC_RESULT_LAST_SCAN 1035
#define IDC_RESULT_ADDRESS 1030
#define IDC_RESULT_BACK 1018
#define IDC_RESULT_CLOSE 1012

/* the 64-bit client that zorvane.exe carries (32-bit build only) */
#define IDR_CLIENT64 140
