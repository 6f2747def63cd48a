// The port list: the \\.\comN ports that open, scanned at start-up, when the list is opened,
// after a burst of device notices and after a lost adapter.
#pragma once

#include <windows.h>

#include "host/port_select.h"

// Scans as port_scan says (`held`: the port this program holds, nullptr for none) and, when the
// ports found differ from the list, refills it and selects as port_selection_after_scan says.
// Writes nothing to the trace.
void port_list_scan(HWND list, port_scan_kind kind, const port_path* held);
// The user picked an entry (CBN_SELCHANGE): from now on a port that appears is not selected in
// place of it. The list's own CB_SETCURSEL sends no CBN_SELCHANGE.
void port_list_picked();
// The device path of entry `index`, or nullptr when there is none.
const char* port_list_path(int index);
// Whether a WM_DEVICECHANGE event may have added or removed a port.
bool port_list_change_event(WPARAM event);
// The port a WM_DEVICECHANGE removal (DBT_DEVICEREMOVECOMPLETE with a DEV_BROADCAST_PORT)
// names; an empty path for any other event.
port_path port_list_removal(WPARAM event, LPARAM data);
// Takes `port` out of the list at once, without opening anything, when it is listed.
void port_list_remove(HWND list, const port_path& port);
