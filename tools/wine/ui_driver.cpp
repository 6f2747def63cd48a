// Drives the tool's main window from another process, as a user would, and reports what it
// sees on standard output. Several copies of the tool may run at once, all with the same class
// and caption: "--pid N" as the first argument makes every step act on the windows of the
// process whose Windows process id is N (see "windows"); without it the first window found is
// driven. Each argument group after it is one step, run in order:
//   window MS        wait up to MS ms for the main window to show its first status (other
//                    steps wait up to 30 s)
//   items            print "item K TEXT" for each entry of the port list
//   select K         select entry K of the port list, as a user's pick does: CB_SETCURSEL, then
//                    the CBN_SELCHANGE the combo box sends its parent for a pick
//   click            press "Update Device" (BM_CLICK)
//   status           print the status text as await does
//   await TEXT MS    print "status<TAB>T<TAB>TEXT" for each new status text (T: ms since the
//                    driver started) until one equals TEXT (a trailing * matches any rest)
//                    or MS ms have passed
//   box MS           wait for the fatal report, print its text between "box-begin" and
//                    "box-end", and dismiss it with OK
//   rect             print "rect X Y WIDTH HEIGHT" of the main window on the screen
//   sleep MS         wait
//   stamp            print "stamp US": the wall clock in microseconds since 1970, the same
//                    clock as the shell's `date +%s%6N`, to time steps against other processes
//   close MS         close the window from its system menu and wait until it has gone
// Steps for the port rescan and the run guard:
//   dropdown         open the port list and close it again; print "dropdown US", the time
//                    the opening took in microseconds (it includes the rescan)
//   devchange        send WM_DEVICECHANGE with DBT_DEVNODES_CHANGED; print "devchange US"
//   devremove N      send WM_DEVICECHANGE with DBT_DEVICEREMOVECOMPLETE naming port COMN
//                    (DEV_BROADCAST_PORT); print "devremove US"
//   busy MS          for MS ms, ask the main window for a message's round trip again and
//                    again; print "busy LONGEST_US MEDIAN_US": the longest round trip, which
//                    waited for the longest piece of the window's own work, and the median
//   ask-close        ask the window to close from its system menu, without waiting
//   confirm MS       wait for the close confirmation (a message box with the main window's
//                    caption), print its text between "box-begin" and "box-end", then
//                    "confirm-default ID" (its default button) and "confirm-icon shown" or
//                    "confirm-icon none"; the box stays open
//   answer yes|no    press that button of the confirmation
//   endsession       send WM_QUERYENDSESSION; print "endsession RESULT"
//   session-ends     send WM_ENDSESSION (the session ends); the tool gets no WM_DESTROY after it
//   selected         print "selected K", the selected entry of the port list (-1: none)
//   watch TEXT MS    as await, and also print "caption<TAB>T<TAB>TEXT" for each new window
//                    caption
//   syscommand ID    post WM_SYSCOMMAND ID (a system menu entry) to the main window
//   titled-box TITLE MS  as box, for the message box whose caption is TITLE
//   lock N           take the tool's lock of port COMN (host/port_lock.cpp), as another copy of
//                    the tool holding that port does, until the driver ends; print "lock N"
// Steps for several copies at once:
//   windows N MS     wait up to MS ms until N main windows exist, then print "window PID" for
//                    each (PID: the Windows process id that --pid takes; under Wine it is not
//                    the Linux process id)
// The first failing step prints "driver-error ..." and ends with exit code 2.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <windows.h>

#include <dbt.h>

#include "host/port_select.h"
#include "host/resource_ids.h"

namespace {

// The caption changes during a run (percent, time left): the window is found by its class.
constexpr char MAIN_CLASS[] = "FWT";
// The close confirmation carries the tool's plain title, whatever the window's caption shows.
constexpr char CONFIRM_CAPTION[] = "Device Firmware Update Tool";
constexpr char BOX_CAPTION[] = "Terminate Program";
constexpr UINT SEND_TIMEOUT_MS = 20000; // a step of the tool can hold its thread for a while

HWND main_window = nullptr;
std::string last_status;
DWORD driver_start = 0;
// The process whose windows the steps act on (--pid); 0: the first window found.
DWORD target_pid = 0;

[[noreturn]] void fail(const char* what, const char* detail = "") {
    std::printf("driver-error %s %s\n", what, detail);
    std::fflush(stdout);
    std::exit(2);
}

void say(const char* format, const char* a, const char* b = "") {
    std::printf(format, a, b);
    std::fflush(stdout);
}

void say_status(const std::string& text) {
    std::printf("status\t%lu\t%s\n", static_cast<unsigned long>(GetTickCount() - driver_start),
                text.c_str());
    std::fflush(stdout);
}

int number(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// The text is read as UTF-16 and printed as UTF-8: a path in a profile named outside the ANSI
// code page has no ANSI spelling.
bool window_text(HWND window, std::string& out) {
    constexpr int CHARS = 4096;
    wchar_t buffer[CHARS] = {};
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, CHARS, reinterpret_cast<LPARAM>(buffer),
                             SMTO_NORMAL, SEND_TIMEOUT_MS, &got)) {
        return false;
    }
    const int len = got < CHARS ? static_cast<int>(got) : CHARS - 1;
    char utf8[4 * CHARS];
    const int n = WideCharToMultiByte(CP_UTF8, 0, buffer, len, utf8, sizeof utf8, nullptr, nullptr);
    out.assign(utf8, n > 0 ? n : 0);
    return true;
}

HWND control(int id) {
    HWND c = GetDlgItem(main_window, id);
    if (c == nullptr) {
        fail("no control", std::to_string(id).c_str());
    }
    return c;
}

bool read_status(std::string& text);

// What top_windows looks for, and what it found.
struct window_search {
    const char* window_class; // null: any class
    const char* title;        // null: any caption
    DWORD pid;                // 0: any process
    HWND found[16];
    DWORD pids[16];
    int count;
};

BOOL CALLBACK match_top_window(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<window_search*>(data);
    char cls[64] = {};
    if (search->window_class != nullptr && (GetClassNameA(window, cls, sizeof cls) == 0 ||
                                            lstrcmpiA(cls, search->window_class) != 0)) {
        return TRUE;
    }
    char caption[256] = {};
    if (search->title != nullptr && (GetWindowTextA(window, caption, sizeof caption) == 0 ||
                                     lstrcmpiA(caption, search->title) != 0)) {
        return TRUE;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (search->pid != 0 && pid != search->pid) {
        return TRUE;
    }
    if (search->count < static_cast<int>(std::size(search->found))) {
        search->found[search->count] = window;
        search->pids[search->count] = pid;
        ++search->count;
    }
    return TRUE;
}

// The top-level windows of that class and caption (either null: any), of every process. Both
// are compared ignoring case, as FindWindow does.
void top_windows(window_search* search) {
    search->count = 0;
    EnumWindows(match_top_window, reinterpret_cast<LPARAM>(search));
}

// The first top-level window of that class and caption; with --pid, of that process only.
HWND find_window(const char* window_class, const char* title) {
    if (target_pid == 0) {
        return FindWindowA(window_class, title);
    }
    window_search search{window_class, title, target_pid, {}, {}, 0};
    top_windows(&search);
    return search.count > 0 ? search.found[0] : nullptr;
}

// The window exists before its controls, and the port list is complete only once start-up has
// set the first status text: wait for that.
void step_window(int timeout_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        main_window = find_window(MAIN_CLASS, nullptr);
        std::string text;
        if (main_window != nullptr && read_status(text) && !text.empty()) {
            return;
        }
        if (GetTickCount() - start > static_cast<DWORD>(timeout_ms)) {
            fail(main_window == nullptr ? "window not found" : "window never became ready");
        }
        Sleep(20);
    }
}

// The ANSI form of CB_GETLBTEXT across processes returns only the first character under
// Wine; the wide form returns the whole item. Appends "item K TEXT" lines to `report`; false
// when the list changed while it was read (a scan of the tool replaced it between two reads).
bool read_items(HWND list, std::string& report) {
    DWORD_PTR count = 0;
    SendMessageTimeoutW(list, CB_GETCOUNT, 0, 0, SMTO_NORMAL, SEND_TIMEOUT_MS, &count);
    for (DWORD_PTR k = 0; k < count && static_cast<LRESULT>(count) != CB_ERR; ++k) {
        wchar_t wide[512] = {};
        DWORD_PTR len = 0;
        SendMessageTimeoutW(list, CB_GETLBTEXTLEN, k, 0, SMTO_NORMAL, SEND_TIMEOUT_MS, &len);
        if (static_cast<LRESULT>(len) == CB_ERR) {
            return false;
        }
        if (len >= 512) {
            fail("item too long");
        }
        SendMessageTimeoutW(list, CB_GETLBTEXT, k, reinterpret_cast<LPARAM>(wide), SMTO_NORMAL,
                            SEND_TIMEOUT_MS, &len);
        if (static_cast<LRESULT>(len) == CB_ERR) {
            return false;
        }
        char text[1024] = {};
        WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
        char line[1100];
        std::snprintf(line, sizeof line, "item %u %s\n", static_cast<unsigned>(k), text);
        report += line;
    }
    DWORD_PTR after = 0;
    SendMessageTimeoutW(list, CB_GETCOUNT, 0, 0, SMTO_NORMAL, SEND_TIMEOUT_MS, &after);
    return after == count;
}

void step_items() {
    HWND list = control(IDC_PORT_LIST);
    std::string report;
    for (int attempt = 0; !read_items(list, report); ++attempt) {
        if (attempt == 10) {
            fail("port list kept changing while it was read");
        }
        report.clear();
        Sleep(20);
    }
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
}

void step_select(int index) {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(control(IDC_PORT_LIST), CB_SETCURSEL, static_cast<WPARAM>(index), 0,
                        SMTO_NORMAL, SEND_TIMEOUT_MS, &result);
    if (static_cast<LRESULT>(result) != index) {
        fail("select failed");
    }
    const WPARAM picked = MAKEWPARAM(IDC_PORT_LIST, CBN_SELCHANGE);
    SendMessageTimeoutA(main_window, WM_COMMAND, picked,
                        reinterpret_cast<LPARAM>(control(IDC_PORT_LIST)), SMTO_NORMAL,
                        SEND_TIMEOUT_MS, &result);
}

// Owned by the driver's thread; the system gives it up when the driver ends.
void step_lock(int number) {
    port_path path{};
    std::snprintf(path.data(), path.size(), "\\\\.\\com%d", number);
    const port_lock_name name = port_lock_name_of(path);
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, name.data());
    if (name[0] == '\0' || mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        fail("lock not taken:", name.data());
    }
    std::printf("lock %d\n", number);
    std::fflush(stdout);
}

// Sent rather than posted, so that a status read right after sees the press handled. A press
// that opens the fatal report does not return until the box is dismissed; after a short wait
// the driver goes on (the press is in hand) so that a later "box" step can dismiss it.
void step_click() {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(control(IDC_UPDATE), BM_CLICK, 0, 0, SMTO_NORMAL, 3000, &result)) {
        if (!IsWindow(main_window)) {
            fail("window gone before the press");
        }
        std::printf("click-pending\n");
        std::fflush(stdout);
    }
}

bool read_status(std::string& text) {
    HWND status = GetDlgItem(main_window, IDC_STATUS);
    return status != nullptr && window_text(status, text);
}

bool status_matches(const std::string& text, const std::string& wanted) {
    if (!wanted.empty() && wanted.back() == '*') {
        return text.compare(0, wanted.size() - 1, wanted, 0, wanted.size() - 1) == 0;
    }
    return text == wanted;
}

// Polls the status every 2 ms until it matches; with captions, also prints each new window
// caption, so that every percentage is seen.
void step_await(const std::string& wanted, int timeout_ms, bool captions = false) {
    const DWORD start = GetTickCount();
    std::string last_caption;
    for (;;) {
        std::string text;
        std::string caption;
        if (!IsWindow(main_window) || !read_status(text) ||
            (captions && !window_text(main_window, caption))) {
            fail("window gone while waiting for", wanted.c_str());
        }
        if (captions && caption != last_caption) {
            last_caption = caption;
            std::printf("caption\t%lu\t%s\n",
                        static_cast<unsigned long>(GetTickCount() - driver_start), caption.c_str());
            std::fflush(stdout);
        }
        if (text != last_status) {
            last_status = text;
            say_status(text);
        }
        if (status_matches(text, wanted)) {
            return;
        }
        if (GetTickCount() - start > static_cast<DWORD>(timeout_ms)) {
            fail("timed out waiting for status", wanted.c_str());
        }
        Sleep(2);
    }
}

BOOL CALLBACK longest_static(HWND child, LPARAM found) {
    char cls[32] = {};
    GetClassNameA(child, cls, sizeof cls);
    std::string text;
    auto* best = reinterpret_cast<std::string*>(found);
    if (lstrcmpiA(cls, "Static") == 0 && window_text(child, text) && text.size() > best->size()) {
        *best = text;
    }
    return TRUE;
}

// Waits for a window of that class (any, if null) and caption, then prints its longest static
// text between "box-begin" and "box-end".
HWND await_box(const char* window_class, const char* title, int timeout_ms) {
    const DWORD start = GetTickCount();
    HWND box = nullptr;
    while ((box = find_window(window_class, title)) == nullptr) {
        if (GetTickCount() - start > static_cast<DWORD>(timeout_ms)) {
            fail("message box not found:", title);
        }
        Sleep(20);
    }
    std::string text;
    EnumChildWindows(box, longest_static, reinterpret_cast<LPARAM>(&text));
    say("box-begin\n%s\nbox-end\n", text.c_str());
    return box;
}

void step_box(int timeout_ms, const char* title = BOX_CAPTION) {
    HWND box = await_box(nullptr, title, timeout_ms);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

void step_rect() {
    RECT r{};
    GetWindowRect(main_window, &r);
    std::printf("rect %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    std::fflush(stdout);
}

// FILETIME counts 100 ns since 1601; Wine reads it from the host's real-time clock.
void step_stamp() {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    const unsigned long long since_1601 =
        (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    constexpr unsigned long long UNIX_EPOCH_IN_FILETIME = 116444736000000000ULL;
    std::printf("stamp %llu\n", (since_1601 - UNIX_EPOCH_IN_FILETIME) / 10);
    std::fflush(stdout);
}

void step_close(int timeout_ms) {
    PostMessageA(main_window, WM_SYSCOMMAND, SC_CLOSE, 0);
    const DWORD start = GetTickCount();
    while (IsWindow(main_window)) {
        if (GetTickCount() - start > static_cast<DWORD>(timeout_ms)) {
            fail("window did not close");
        }
        Sleep(20);
    }
}

double micros_since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1e6 * static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

void say_time(const char* what, const LARGE_INTEGER& start) {
    std::printf("%s %.0f\n", what, micros_since(start));
    std::fflush(stdout);
}

// CB_SHOWDROPDOWN makes the combo box send CBN_DROPDOWN to its parent before it returns.
void step_dropdown() {
    HWND list = control(IDC_PORT_LIST);
    DWORD_PTR result = 0;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!SendMessageTimeoutA(list, CB_SHOWDROPDOWN, TRUE, 0, SMTO_NORMAL, SEND_TIMEOUT_MS,
                             &result)) {
        fail("drop-down did not open");
    }
    say_time("dropdown", start);
    SendMessageTimeoutA(list, CB_SHOWDROPDOWN, FALSE, 0, SMTO_NORMAL, SEND_TIMEOUT_MS, &result);
}

void step_devchange() {
    constexpr WPARAM DEVNODES_CHANGED = 0x0007; // DBT_DEVNODES_CHANGED
    DWORD_PTR result = 0;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!SendMessageTimeoutA(main_window, WM_DEVICECHANGE, DEVNODES_CHANGED, 0, SMTO_NORMAL,
                             SEND_TIMEOUT_MS, &result)) {
        fail("WM_DEVICECHANGE not answered");
    }
    say_time("devchange", start);
}

// Wine carries the notice's DEV_BROADCAST_PORT across processes for the events above 0x8000,
// as Windows does.
void step_devremove(int number) {
    constexpr WPARAM REMOVE_COMPLETE = 0x8004; // DBT_DEVICEREMOVECOMPLETE
    char buffer[sizeof(DEV_BROADCAST_PORT_A) + 16] = {};
    auto* notice = reinterpret_cast<DEV_BROADCAST_PORT_A*>(buffer);
    std::snprintf(notice->dbcp_name, sizeof buffer - offsetof(DEV_BROADCAST_PORT_A, dbcp_name),
                  "COM%d", number);
    notice->dbcp_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) +
                                           std::strlen(notice->dbcp_name) + 1);
    notice->dbcp_devicetype = DBT_DEVTYP_PORT;
    DWORD_PTR result = 0;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!SendMessageTimeoutA(main_window, WM_DEVICECHANGE, REMOVE_COMPLETE,
                             reinterpret_cast<LPARAM>(notice), SMTO_NORMAL, SEND_TIMEOUT_MS,
                             &result)) {
        fail("WM_DEVICECHANGE not answered");
    }
    say_time("devremove", start);
}

void step_busy(int ms) {
    static double took[8192];
    std::size_t count = 0;
    LARGE_INTEGER begin;
    QueryPerformanceCounter(&begin);
    while (micros_since(begin) < ms * 1000.0 && count < std::size(took)) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        DWORD_PTR result = 0;
        SendMessageTimeoutA(main_window, WM_NULL, 0, 0, SMTO_NORMAL, SEND_TIMEOUT_MS, &result);
        took[count++] = micros_since(start);
    }
    std::sort(took, took + count);
    std::printf("busy %.0f %.0f\n", count > 0 ? took[count - 1] : 0.0,
                count > 0 ? took[count / 2] : 0.0);
    std::fflush(stdout);
}

HWND confirmation = nullptr;

// A message box is a dialog of class #32770; the main window has its own class.
void step_confirm(int timeout_ms) {
    confirmation = await_box("#32770", CONFIRM_CAPTION, timeout_ms);
    // The message box marks its default button with the push-button style (Wine leaves
    // DM_GETDEFID at IDOK).
    for (int id : {IDYES, IDNO}) {
        HWND button = GetDlgItem(confirmation, id);
        if (button != nullptr &&
            (GetWindowLongA(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            std::printf("confirm-default %d\n", id);
        }
    }
    // Its icon control is id 20 in the system's template, 1088 in Wine's. An icon handle
    // belongs to its process, so only its presence can be told from here, not which it is.
    bool icon = false;
    for (int id : {20, 1088}) {
        DWORD_PTR handle = 0;
        HWND control_window = GetDlgItem(confirmation, id);
        if (control_window != nullptr &&
            SendMessageTimeoutA(control_window, STM_GETICON, 0, 0, SMTO_NORMAL, SEND_TIMEOUT_MS,
                                &handle)) {
            icon = icon || handle != 0;
        }
    }
    std::printf("confirm-icon %s\n", icon ? "shown" : "none");
    std::fflush(stdout);
}

void step_answer(const std::string& which) {
    if (confirmation == nullptr || !IsWindow(confirmation)) {
        fail("no confirmation to answer");
    }
    const int id = which == "yes" ? IDYES : IDNO;
    PostMessageA(confirmation, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    const DWORD start = GetTickCount();
    while (IsWindow(confirmation)) {
        if (GetTickCount() - start > 10000) {
            fail("confirmation did not go");
        }
        Sleep(20);
    }
}

void step_endsession() {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(main_window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, SEND_TIMEOUT_MS,
                             &result)) {
        fail("WM_QUERYENDSESSION not answered");
    }
    std::printf("endsession %lu\n", static_cast<unsigned long>(result));
    std::fflush(stdout);
}

// Waits until `wanted` main windows exist; prints each one's process id. Each copy of the tool
// has one main window, so a case that starts copies one at a time learns each one's id as the
// one not listed before.
void step_windows(int wanted, int timeout_ms) {
    const DWORD start = GetTickCount();
    window_search search{MAIN_CLASS, nullptr, 0, {}, {}, 0};
    for (;;) {
        top_windows(&search);
        if (search.count >= wanted) {
            break;
        }
        if (GetTickCount() - start > static_cast<DWORD>(timeout_ms)) {
            fail("too few windows:", std::to_string(search.count).c_str());
        }
        Sleep(20);
    }
    for (int k = 0; k < search.count; ++k) {
        std::printf("window %lu\n", static_cast<unsigned long>(search.pids[k]));
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    driver_start = GetTickCount();
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--pid") == 0) {
        target_pid = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
        if (target_pid == 0) {
            fail("bad process id", argv[2]);
        }
        first = 3;
    }
    for (int i = first; i < argc; ++i) {
        const std::string step = argv[i];
        auto argument = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                fail("missing argument for", what);
            }
            return argv[++i];
        };
        // Each run of the driver is a new process: find the window for the first step that
        // needs it.
        if (main_window == nullptr && step != "window" && step != "sleep" && step != "box" &&
            step != "stamp" && step != "windows") {
            step_window(30000);
        }
        if (step == "window") {
            step_window(number(argument("window")));
        } else if (step == "items") {
            step_items();
        } else if (step == "select") {
            step_select(number(argument("select")));
        } else if (step == "click") {
            step_click();
        } else if (step == "status") {
            std::string text;
            if (!read_status(text)) {
                fail("status unreadable");
            }
            last_status = text;
            say_status(text);
        } else if (step == "await") {
            const std::string wanted = argument("await");
            step_await(wanted, number(argument("await")));
        } else if (step == "box") {
            step_box(number(argument("box")));
        } else if (step == "rect") {
            step_rect();
        } else if (step == "sleep") {
            Sleep(static_cast<DWORD>(number(argument("sleep"))));
        } else if (step == "stamp") {
            step_stamp();
        } else if (step == "close") {
            step_close(number(argument("close")));
        } else if (step == "dropdown") {
            step_dropdown();
        } else if (step == "devchange") {
            step_devchange();
        } else if (step == "devremove") {
            step_devremove(number(argument("devremove")));
        } else if (step == "busy") {
            step_busy(number(argument("busy")));
        } else if (step == "ask-close") {
            PostMessageA(main_window, WM_SYSCOMMAND, SC_CLOSE, 0);
        } else if (step == "confirm") {
            step_confirm(number(argument("confirm")));
        } else if (step == "answer") {
            step_answer(argument("answer"));
        } else if (step == "endsession") {
            step_endsession();
        } else if (step == "session-ends") {
            DWORD_PTR ignored = 0;
            SendMessageTimeoutA(main_window, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, SEND_TIMEOUT_MS,
                                &ignored);
        } else if (step == "selected") {
            DWORD_PTR k = 0;
            SendMessageTimeoutA(control(IDC_PORT_LIST), CB_GETCURSEL, 0, 0, SMTO_NORMAL,
                                SEND_TIMEOUT_MS, &k);
            std::printf("selected %ld\n", static_cast<long>(static_cast<LRESULT>(k)));
            std::fflush(stdout);
        } else if (step == "watch") {
            const std::string wanted = argument("watch");
            step_await(wanted, number(argument("watch")), true);
        } else if (step == "syscommand") {
            PostMessageA(main_window, WM_SYSCOMMAND, static_cast<WPARAM>(number(argument("id"))),
                         0);
        } else if (step == "lock") {
            step_lock(number(argument("lock")));
        } else if (step == "windows") {
            const int wanted = number(argument("windows"));
            step_windows(wanted, number(argument("windows")));
        } else if (step == "titled-box") {
            const std::string title = argument("titled-box");
            step_box(number(argument("titled-box")), title.c_str());
        } else {
            fail("unknown step", step.c_str());
        }
    }
    return 0;
}
