// Control and timer identifiers shared by the dialog template and the main window.
#pragma once

#define IDC_PORT_LIST 3
#define IDC_UPDATE 4
#define IDC_STATUS 5
#define ID_UPDATE_TIMER 6
// The port scan after a burst of device notices.
#define ID_RESCAN_TIMER 7
// System menu entries: below 0xF000, the low four bits clear.
#define IDM_ABOUT 0x0010
#define IDM_OPEN_LOG_FOLDER 0x0020
