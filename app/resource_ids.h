/* Resource and control identifiers of the utility. Plain #defines: the
   resource compiler reads this file as well as the C++ code. */
#pragma once

/* Dialog templates */
#define IDD_DISCOVER 145
#define IDD_SPLASH 160
#define IDD_LOGIN 162
#define IDD_MAIN 164
#define IDD_ABOUT 165

/* Menu, accelerators and their commands */
#define IDR_ACCELERATORS 110
#define IDR_MAIN_MENU 111
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_SAVE_SETTINGS 106
#define IDM_LOAD_SETTINGS 107

/* Icons and the bitmap */
#define IDI_APP 133
#define IDI_TRAY_1 137
#define IDI_TRAY_2 139
#define IDI_TRAY_3 141
#define IDI_TRAY_4 143
#define IDB_SPLASH 146

/* String table */
#define IDS_CLOSE_TITLE 113
#define IDS_CLOSE_QUESTION 114
#define IDS_UNMANAGED 129
#define IDS_WINDOW_CLASS 131
#define IDS_SEARCHING 134
#define IDS_NOT_FOUND 136
#define IDS_NO_SERVICE 138
#define IDS_TITLE_FONT 153
#define IDS_SETTINGS_FILTER 154
#define IDS_SAVE_SETTINGS_TITLE 155
#define IDS_LOAD_SETTINGS_TITLE 156

/* Main window controls */
#define IDC_DEVICE_NAME 1000
#define IDC_DISCOVER 1001
#define IDC_APP_VERSION_LABEL 1049
#define IDC_DEVICE_NAME_LABEL 1050
#define IDC_APP_VERSION 1051
#define IDC_DOMAIN 1056
#define IDC_DOMAIN_LABEL 1060
#define IDC_LOGIN 1061
#define IDC_NETWORK_LABEL 1076
#define IDC_NETWORK 1077
#define IDC_PARAMETERS_GROUP 1081
#define IDC_MIC_LF_LABEL 1082
#define IDC_MIC_LF 1083
#define IDC_MIC_HF_LABEL 1084
#define IDC_MIC_HF 1085
#define IDC_LINE_LF_LABEL 1086
#define IDC_LINE_LF 1087
#define IDC_LINE_HF_LABEL 1088
#define IDC_LINE_HF 1089
#define IDC_MIC_GROUP 1090
#define IDC_SENSITIVITY_LABEL 1091
#define IDC_SENSITIVITY 1092
#define IDC_LINE_GROUP 1093
#define IDC_MODE_LABEL 1094
#define IDC_MODE 1095
#define IDC_GATE_LABEL 1096
#define IDC_CONNECT 1097
#define IDC_DISCONNECT 1098
#define IDC_GATE 1099

/* Discover dialog (the version fields share the main window's ids) */
#define IDC_UNIT_LIST 1012
#define IDC_BOOTLOADER_VERSION 1045
#define IDC_BOOTLOADER_VERSION_LABEL 1047

/* Login dialog (Logout is command 3) */
#define IDC_LOGOUT 3
#define IDC_USER_NAME 1065
#define IDC_USER_NAME_LABEL 1066
#define IDC_PASSWORD 1067
#define IDC_PASSWORD_LABEL 1068
#define IDC_METHOD_LABEL 1069
#define IDC_METHOD_AUTO 1070
#define IDC_METHOD_CLOUD 1071
#define IDC_METHOD_MANUAL 1072
#define IDC_DM_ADDRESS_LABEL 1073
#define IDC_DM_ADDRESS 1074
#define IDC_DM_PORT 1075

/* About dialog */
#define IDC_ABOUT_TITLE 1016
#define IDC_ABOUT_TEST_BUILD 1017  // made at run time in a test build

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
