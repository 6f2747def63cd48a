// The run guard on Windows: execution state, shutdown block reason, close confirmation and the
// taskbar flash. All calls exist since Windows Vista.
#include "host/run_guard.h"

#include "host/run_guard_rules.h"
#include "host/serial.h"

namespace {

constexpr char CLOSE_CAPTION[] = "Device Firmware Update Tool";
constexpr char CLOSE_TEXT[] =
    "A firmware update is in progress.\n\n"
    "If the program is closed now, the device is left without working firmware until the "
    "update is run again.\n\n"
    "Close the program anyway?";
constexpr wchar_t SHUTDOWN_REASON[] = L"A device firmware update is in progress.";

// Under Wine a port whose far end is gone still reads as empty, without an error: only the
// status query tells, so it is also asked on a timer.
constexpr DWORD PORT_CHECK_MS = 250;

bool writing_now = false;
bool port_check_due = false;
bool port_removal_named = false;
DWORD port_checked_at = 0;
port_watch watch{};
bool keeping_awake = false;
bool asking = false;

void stop_keeping_awake() {
    if (keeping_awake) {
        SetThreadExecutionState(ES_CONTINUOUS);
        keeping_awake = false;
    }
}

} // namespace

void run_guard_press(HWND window) {
    // A press during a run abandons it and starts contacting afresh: nothing is being written.
    run_guard_writing(window, false);
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    keeping_awake = true;
    // A failure left from an earlier run's port says nothing about the new one.
    serial_take_failure();
    port_check_due = false;
    port_removal_named = false;
    port_checked_at = GetTickCount();
    port_watch_start(&watch);
}

void run_guard_writing(HWND window, bool writing) {
    if (writing == writing_now) {
        return;
    }
    writing_now = writing;
    if (writing) {
        ShutdownBlockReasonCreate(window, SHUTDOWN_REASON);
    } else {
        ShutdownBlockReasonDestroy(window);
        // Nothing left to lose: a device that restarts without answering must not keep the
        // PC awake for ever. A press asks again.
        stop_keeping_awake();
    }
}

void run_guard_end(HWND window) {
    run_guard_writing(window, false);
    stop_keeping_awake();
    const HWND front = GetForegroundWindow();
    const HWND front_owner = front != nullptr ? GetAncestor(front, GA_ROOTOWNER) : nullptr;
    if (run_end_flashes(window, front, front_owner)) {
        FLASHWINFO flash{};
        flash.cbSize = sizeof flash;
        flash.hwnd = window;
        flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
        FlashWindowEx(&flash);
    }
}

bool run_guard_may_close(HWND window) {
    if (!writing_now) {
        return true;
    }
    // The box's own message loop keeps the ticks running; a second close request while it is
    // shown (one posted, say) is not asked again.
    if (asking) {
        return false;
    }
    asking = true;
    const int answer =
        MessageBoxA(window, CLOSE_TEXT, CLOSE_CAPTION, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    asking = false;
    return answer == IDYES;
}

bool run_guard_may_end_session() {
    return !writing_now;
}

void run_guard_exit() {
    stop_keeping_awake();
}

bool run_guard_port_lost(serial_handle port) {
    const DWORD now = GetTickCount();
    port_check check{};
    check.io_error = serial_take_failure();
    check.removal_named = port_removal_named;
    if (check.io_error == 0 && !port_check_due && now - port_checked_at < PORT_CHECK_MS) {
        return false;
    }
    port_check_due = false;
    port_removal_named = false;
    port_checked_at = now;
    serial_query(port, &check.clear_error, &check.state_error);
    return port_loss_decide(&watch, check, now);
}

void run_guard_device_changed(bool names_port) {
    port_check_due = true;
    if (names_port) {
        port_removal_named = true;
    }
}
