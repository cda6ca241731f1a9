// Resource ids of the Windows program, shared by upgrader.rc and the window
// code; plain defines, so that the resource compiler reads them too.
#pragma once

#define IDR_DOCUMENT 128
#define IDD_FORM 101
#define IDB_LOGO 169

#define IDC_STEP_UPDATE 1188
#define IDC_WARNING_FIRST 1191
#define IDC_WARNING_LAST 1196
#define IDC_DURATION_NOTE 1197
#define IDC_PORT 1166
#define IDC_VERSION 1167
#define IDC_STATUS 1168
#define IDC_RATIO 1101
#define IDC_PROGRESS 1024
#define IDC_UPDATE 1008
