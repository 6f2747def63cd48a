// Program entry and the main window: port list, "Update Device", status line and the 10 ms tick
// that drives the update job.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/update_job.h"
#include "host/about.h"
#include "host/fatal.h"
#include "host/port_list.h"
#include "host/port_lock.h"
#include "host/resource_ids.h"
#include "host/run_guard.h"
#include "host/run_log.h"
#include "host/run_record.h"
#include "host/run_view.h"
#include "host/serial.h"
#include "host/system_dll.h"
#include "host/win_host.h"

HWND main_window = nullptr;

namespace {

constexpr UINT TICK_MS = 10;
// Re-armed while a step runs so that no tick falls due during its sleeps and tones.
constexpr UINT TICK_HOLD_MS = 10000;
constexpr unsigned REPORTED_WINDOWS_VERSION = 0xa00;
// Windows sends several device notices for one plug-in: the ports are scanned once, this long
// after the last of them (ID_RESCAN_TIMER).
constexpr UINT RESCAN_DELAY_MS = 200;

update_job job{};
// From a press to the run's end: completed, failed, or its port lost.
bool run_active = false;
char status_text[64];
// The run's port, kept apart from the list, which a removal notice may change during the run.
port_path run_port{};
// A device notice came since the last full scan: the next scan opens the listed ports too.
bool ports_changed = false;
// The lock of the port the job holds (port_lock.h), taken before the port is opened and given
// up when it is closed.
HANDLE run_port_lock = nullptr;
// During a run, a removal notice named the run's port: the port is probed again by rescans
// like any other (a port plugged back under its number is listed), and a "FAILED" gives it up.
bool run_port_removed = false;

HWND port_list() {
    return GetDlgItem(main_window, IDC_PORT_LIST);
}

bool holds(const port_path& path) {
    return job.port != SERIAL_INVALID_HANDLE &&
           std::strncmp(path.data(), run_port.data(), PORT_PATH_SIZE) == 0;
}

// A completed run closes its port and gives up its lock; so do a lost adapter, a press that
// opened another port, and a removal notice for the port of a failed run.
void release_port() {
    if (job.port != SERIAL_INVALID_HANDLE) {
        serial_close(job.port);
        job.port = SERIAL_INVALID_HANDLE;
    }
    port_lock_release(&run_port_lock);
    run_port_removed = false;
}

// Another copy of the tool or another program holds the port: nothing changes, a running job
// goes on. The trace says nothing: it is the run's, and a block's line may wait there for its
// acknowledgement.
void port_busy() {
    status_printf("Port in use by another program");
}

void start_run() {
    const LRESULT index = SendMessageA(port_list(), CB_GETCURSEL, 0, 0);
    // CB_ERR (no selection, in particular an empty list) has no entry in the port table.
    const char* path = index == CB_ERR ? nullptr : port_list_path(static_cast<int>(index));
    if (path == nullptr) {
        status_printf("No COM port selected");
        return;
    }
    port_path wanted{};
    std::snprintf(wanted.data(), wanted.size(), "%s", path);
    // A press on the port the job holds (a retry after "FAILED", a restart during a run) closes
    // and opens it again, keeping its lock. A press on another port opens that one first: if it
    // is busy, the job and its port are left as they are.
    const bool own = holds(wanted);
    if (own) {
        KillTimer(main_window, ID_UPDATE_TIMER);
        serial_close(job.port);
        job.port = SERIAL_INVALID_HANDLE;
    }
    HANDLE lock = run_port_lock;
    const port_lock_state lock_state = own ? PORT_LOCK_TAKEN : port_lock_take(wanted, &lock);
    std::uint32_t open_error = 0;
    serial_handle port = SERIAL_INVALID_HANDLE;
    if (lock_state != PORT_LOCK_HELD_ELSEWHERE) {
        port = serial_open(wanted.data(), &open_error);
    }
    switch (port_open_decide(lock_state, open_error)) {
    case PORT_OPEN_OK:
        break;
    case PORT_OPEN_BUSY:
        if (own) {
            // Taken in the moment it was closed: the job has lost its port.
            release_port();
            if (run_active) {
                run_active = false;
                run_record_abandon();
                run_guard_end(main_window);
            }
        } else {
            port_lock_release(&lock);
        }
        port_busy();
        return;
    case PORT_OPEN_FATAL:
        trace_printf(" . Opening serial port %s at %ld baud\n", wanted.data(),
                     static_cast<long>(LINK_BAUD));
        // The report quotes the open's error, not what the lock's calls left behind.
        SetLastError(open_error);
        fatal_error("Unable to open serial port. In use already, or not present");
    }
    if (!own) {
        KillTimer(main_window, ID_UPDATE_TIMER);
        release_port();
        run_port_lock = lock;
    }
    run_port_removed = false;
    run_guard_press(main_window);
    run_active = true;

    job.baud = LINK_BAUD;
    run_port = wanted;
    job.port_path = run_port.data();
    trace_printf(" . Opening serial port %s at %ld baud\n", job.port_path,
                 static_cast<long>(job.baud));
    job.port = port;
    serial_configure(job.port, job.baud);
    run_record_start(&job);
    job.state = JOB_START;
    status_printf("Contacting Device...");
    run_view_start(main_window);
    SetTimer(main_window, ID_UPDATE_TIMER, TICK_MS, nullptr);
}

// The port a scan lists without probing it: the one the job holds, unless a removal notice
// named it during the run (its handle may be dead and the port back under a new device).
const port_path* held_port() {
    return job.port != SERIAL_INVALID_HANDLE && !run_port_removed ? &run_port : nullptr;
}

// Every port is probed again, the listed ones too, except the held one.
void rescan_all() {
    KillTimer(main_window, ID_RESCAN_TIMER);
    ports_changed = false;
    port_list_scan(port_list(), SCAN_ALL, held_port());
}

// Opening the list probes only the ports it lacks, unless device notices wait for their scan.
// Both run while a port is held: it stays listed, the others come and go.
void refresh_ports(bool dropdown) {
    if (dropdown && !ports_changed) {
        port_list_scan(port_list(), SCAN_UNLISTED, held_port());
    } else {
        rescan_all();
    }
}

// A removal notice that names a listed port takes it out at once; any notice asks for one
// full scan once the burst is over (SetTimer restarts the delay). A notice naming the held
// port gives it up after a failed run; during a run it is a sign of loss.
void device_notice(WPARAM event, LPARAM data) {
    const port_path removed = port_list_removal(event, data);
    const bool names_held = removed[0] != '\0' && holds(removed);
    if (removed[0] != '\0') {
        port_list_remove(port_list(), removed);
    }
    if (names_held && !run_active) {
        release_port();
    } else if (names_held) {
        run_port_removed = true;
    }
    run_guard_device_changed(run_active && names_held);
    ports_changed = true;
    SetTimer(main_window, ID_RESCAN_TIMER, RESCAN_DELAY_MS, nullptr);
}

// The adapter was pulled out: the run ends and the port is given up, so that a press once it
// is back starts afresh. The line starts on a line of its own: a block's trace line waits for
// its acknowledgement.
void port_lost() {
    KillTimer(main_window, ID_UPDATE_TIMER);
    trace_printf("\n . Serial port %s lost: it no longer answers\n", job.port_path);
    trace_flush();
    release_port();
    status_printf("Adapter disconnected");
    run_view_lost(main_window);
    // The lost port leaves the list, so that a press cannot reach for it before it is back.
    rescan_all();
}

// The device lacks working firmware from the first block sent until the checksums match; once
// they have, stopping the run loses nothing but the restart.
bool writing(const update_job* j) {
    return j->port != SERIAL_INVALID_HANDLE && (j->state == JOB_PROGRAM || j->state == JOB_VERIFY);
}

void tick() {
    SetTimer(main_window, ID_UPDATE_TIMER, TICK_HOLD_MS, nullptr);
    job_step(&job);
    SetTimer(main_window, ID_UPDATE_TIMER, TICK_MS, nullptr);
    run_view_tick(main_window, &job);
    if (job.state == JOB_DONE) {
        KillTimer(main_window, ID_UPDATE_TIMER);
        Beep(2000, 100);
        status_printf("Programming Completed");
        release_port();
        if (ports_changed) {
            rescan_all();
        }
    } else if (run_active && job.state != JOB_FAILED && run_guard_port_lost(job.port)) {
        port_lost();
    }
    run_guard_writing(main_window, writing(&job));
    // The run's end, whatever the outcome; a failed run keeps its port and its timer as before,
    // unless a removal notice named the port during the run.
    if (run_active &&
        (job.state == JOB_DONE || job.state == JOB_FAILED || job.port == SERIAL_INVALID_HANDLE)) {
        run_active = false;
        run_record_end();
        if (run_port_removed) {
            release_port();
        }
        run_guard_end(main_window);
    }
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_SYSCOMMAND && about_menu_command(window, wparam)) {
        return 0;
    }
    switch (message) {
    case WM_DESTROY:
        run_record_abandon();
        run_guard_exit();
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        if (!run_guard_may_close(window)) {
            return 0;
        }
        break;
    case WM_QUERYENDSESSION:
        return run_guard_may_end_session() ? TRUE : FALSE;
    case WM_ENDSESSION:
        // The session ends without WM_DESTROY: the log's tail and the run's record are written
        // now or never.
        if (wparam != FALSE) {
            run_record_abandon();
            trace_flush();
        }
        return 0;
    case WM_DEVICECHANGE:
        if (port_list_change_event(wparam)) {
            device_notice(wparam, lparam);
        }
        break;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDC_UPDATE) {
            start_run();
            return 0;
        }
        if (LOWORD(wparam) == IDC_PORT_LIST && HIWORD(wparam) == CBN_DROPDOWN) {
            refresh_ports(true);
            return 0;
        }
        if (LOWORD(wparam) == IDC_PORT_LIST && HIWORD(wparam) == CBN_SELCHANGE) {
            port_list_picked();
            return 0;
        }
        break;
    case WM_TIMER:
        if ((wparam & 0xFFFF) == ID_UPDATE_TIMER) {
            tick();
            return 0;
        }
        if ((wparam & 0xFFFF) == ID_RESCAN_TIMER) {
            KillTimer(window, ID_RESCAN_TIMER);
            refresh_ports(false);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

} // namespace

void status_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(status_text, sizeof status_text, format, args);
    va_end(args);
    SetDlgItemTextA(main_window, IDC_STATUS, status_text);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
    // Before anything can load a library: from here on no DLL is looked for beside the program
    // or in the current folder.
    dll_search_narrow();
    run_log_open();
    // The template's WS_VISIBLE shows the window as soon as the dialog is created, so a
    // damaged image is refused before that, with no window behind the report.
    image_verify(instance);

    WNDCLASSA window_class{};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = DLGWINDOWEXTRA;
    window_class.hInstance = instance;
    window_class.hIcon = nullptr;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = "FWT";
    if (RegisterClassA(&window_class) == 0) {
        fatal_error("Unabled to register window class");
    }
    // The template names the class above, so the dialog is a window of that class and its
    // messages go to main_window_proc; it needs no dialog procedure.
    main_window = CreateDialogParamA(instance, "FWT", nullptr, nullptr, 0);
    if (main_window == nullptr) {
        fatal_error("Could not create dialog");
    }
    about_menu_add(main_window);
    ShowWindow(main_window, show_command);
    trace_printf("Running on windows version: %x\n", REPORTED_WINDOWS_VERSION);

    port_list_scan(port_list(), SCAN_ALL, nullptr);
    status_printf(" - Idle - ");

    job.frame_cap = FRAME_CAPACITY;
    // The port scan leaves "file not found" behind; a failed allocation must not quote it.
    SetLastError(0);
    job.frame = static_cast<std::uint8_t*>(std::malloc(FRAME_CAPACITY));
    if (job.frame == nullptr) {
        fatal_error("Out of memory");
    }
    job.device_address = DEVICE_ADDRESS;
    job.port = SERIAL_INVALID_HANDLE;
    image_load(&job, instance);

    MSG message{};
    // GetMessageA returns -1 on failure; only a positive result carries a message.
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!(IsWindow(main_window) && IsDialogMessageA(main_window, &message))) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
