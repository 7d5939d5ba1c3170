// The numbers of the window's dialog templates, controls and strings, shared by the resource
// script and the code.
#pragma once

#define IDD_ABOUT 100
#define IDS_ABOUT_MENU 101
#define IDD_MAIN 102
#define IDS_IMAGE_FILTERS 103
#define IDD_ADVANCED 131
#define IDD_STOP_QUESTION 140

#define IDC_PROGRESS 1000
#define IDC_STATUS 1002
#define IDC_COM1 1003
#define IDC_COM2 1004
#define IDC_COM3 1005
#define IDC_COM4 1006
#define IDC_BAUD_9600 1007
#define IDC_BAUD_19200 1008
#define IDC_ADVANCED 1009
#define IDC_START 1012
#define IDC_ADDRESS 1013
#define IDC_VERSION 1014
#define IDC_ADD 1015
#define IDC_DELETE 1016
#define IDC_INSTRUCTIONS 1022
#define IDC_SKIP_SEEKING 1023
#define IDC_FILES 1024
#define IDC_FILE_NAME 1025
#define IDC_RESET 1026
#define IDC_REVISION_CAPTION 1027
#define IDC_VERSION_CAPTION 1028
#define IDC_REVISION 1030
#define IDC_USE_ADDRESS 1031
#define IDC_ADDRESS_COMBO 1032
#define IDC_ABOUT_ICON 1040
#define IDC_STOP_TEXT 1041
#define IDC_STOP_DETAIL 1042

#define ID_SYSMENU_ABOUT 16
