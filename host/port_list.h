// The port list: the \\.\comN ports that open, scanned at start-up and again when the list is
// opened or Windows reports a device change.
#pragma once

#include <windows.h>

// Scans \\.\com1 to \\.\com998 and, when the ports found differ from the last scan, refills
// the list and selects as port_selection_after_scan says. Writes nothing to the trace.
void port_list_scan(HWND list);
// The device path of entry `index`, or nullptr when there is none.
const char* port_list_path(int index);
// Whether a WM_DEVICECHANGE event may have added or removed a port.
bool port_list_change_event(WPARAM event);
