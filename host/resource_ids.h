// Control and timer identifiers shared by the dialog template and the main window.
#pragma once

#define IDC_PORT_LIST 3
#define IDC_UPDATE 4
#define IDC_STATUS 5
#define ID_UPDATE_TIMER 6
