#pragma once
// Resource ids shared by the resource script and the code.

#define IDD_PROGRESS 101
#define IDD_START 130
#define IDD_RESULT 132
#define IDD_FRAME 133
#define IDB_BANNER 134
#define IDB_CORNER 135
#define IDI_PROGRAM 136

#define IDC_PAGE_AREA 1014
