// Keeps a run from being lost by accident: the PC kept awake from the press until the
// checksums match, shutdown and log-off refused and closing the window confirmed while blocks
// are being written and verified, and the taskbar button flashed when a run ends behind other
// windows.
#pragma once

#include <cstdint>

#include "engine/host_api.h"

#include <windows.h>

// "Update Device" was pressed: keeps the system from sleeping until run_guard_end.
void run_guard_press(HWND window);
// After each tick: whether the device's flash is being written (from the first block sent
// until the checksums match); while it is, Windows is given the reason a shutdown is refused.
// When it stops, the wake request ends too.
void run_guard_writing(HWND window, bool writing);
// The run ended (completed, failed or its port lost): drops the shutdown block and the
// wake request, and flashes the taskbar button until the window is brought forward unless
// the window or a box it owns is in the foreground already.
void run_guard_end(HWND window);
// WM_CLOSE: true when the window may close now; while writing, only after the user agreed.
bool run_guard_may_close(HWND window);
// WM_QUERYENDSESSION: false while writing.
bool run_guard_may_end_session();
// The program ends: gives up the wake request.
void run_guard_exit();

// Each tick of a run that holds `port`: whether the port stopped working for good. It is
// asked for its status and settings after a failed read or write, after a device change and
// at least every PORT_CHECK_MS; port_loss_decide weighs what it saw.
bool run_guard_port_lost(serial_handle port);
// WM_DEVICECHANGE during a run: the next tick asks the port for its status; `names_port`: a
// removal notice named the run's port.
void run_guard_device_changed(bool names_port);
