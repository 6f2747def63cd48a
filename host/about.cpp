// The system menu's About box (the version, and the embedded image's size, place in flash, reset
// handler and SHA-256) and "Open Log Folder"; the log folder's path is UTF-16 in both.
#include "host/about.h"

#include <cstdio>
#include <cwchar>

#include "host/image.h"
#include "host/progress.h"
#include "host/resource_ids.h"
#include "host/run_log.h"
#include "host/win_host.h"

namespace {

constexpr std::size_t DIGEST_SIZE = 32;
constexpr std::size_t ABOUT_TEXT_SIZE = 1024;

// Appends ASCII text to a wide buffer; false when it does not fit.
bool append(wchar_t* out, std::size_t size, std::size_t* len, const char* text) {
    for (; *text != '\0'; ++text) {
        if (*len + 1 >= size) {
            return false;
        }
        out[(*len)++] = static_cast<unsigned char>(*text);
    }
    out[*len] = L'\0';
    return true;
}

bool append(wchar_t* out, std::size_t size, std::size_t* len, const wchar_t* text) {
    const std::size_t n = std::wcslen(text);
    if (*len + n >= size) {
        return false;
    }
    std::wmemcpy(out + *len, text, n + 1);
    *len += n;
    return true;
}

// The box says whether this start writes a log, and which file, since support asks for it.
void show_about(HWND window) {
    DWORD size = 0;
    const std::uint8_t* image = find_raw_resource(GetModuleHandleA(nullptr), "BINFILE", &size);
    DWORD digest_size = 0;
    const std::uint8_t* digest =
        find_raw_resource(GetModuleHandleA(nullptr), "BINFILE_SHA256", &digest_size);
    char hex[2 * DIGEST_SIZE + 1] = "unknown";
    if (digest != nullptr && digest_size == DIGEST_SIZE) {
        for (std::size_t i = 0; i < DIGEST_SIZE; ++i) {
            std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        }
    }
    char place[128];
    image_describe(image, image != nullptr ? size : 0, place, sizeof place);
    char head[ABOUT_TEXT_SIZE];
    std::snprintf(head, sizeof head,
                  "%s\nVersion %s\n\nFirmware image: %lu bytes\n%s\nSHA-256: %s\n\nLog folder:\n",
                  TOOL_TITLE, FWT_VERSION,
                  image != nullptr ? static_cast<unsigned long>(size) : 0UL, place, hex);
    char tail[ABOUT_TEXT_SIZE];
    if (run_log_active()) {
        std::snprintf(tail, sizeof tail, "\n\nThis start's log: %s", run_log_name());
    } else {
        std::snprintf(tail, sizeof tail, "\n(no log is written: the folder cannot be written)");
    }
    // The folder is UTF-16: the profile's name need not have an ANSI spelling.
    const wchar_t* folder = run_log_folder();
    wchar_t text[ABOUT_TEXT_SIZE];
    std::size_t len = 0;
    text[0] = L'\0';
    // A text too long for the box is cut where it stops fitting.
    static_cast<void>(append(text, ABOUT_TEXT_SIZE, &len, head) &&
                      (folder[0] != L'\0' ? append(text, ABOUT_TEXT_SIZE, &len, folder)
                                          : append(text, ABOUT_TEXT_SIZE, &len, "(none)")) &&
                      append(text, ABOUT_TEXT_SIZE, &len, tail));
    MessageBoxW(window, text, L"About Device Firmware Update Tool", MB_OK | MB_ICONINFORMATION);
}

// Explorer opens the folder given on its command line; started directly from the Windows
// folder, it needs no shell DLL in this process.
void open_log_folder() {
    wchar_t explorer[MAX_PATH];
    const UINT got = GetWindowsDirectoryW(explorer, MAX_PATH);
    const wchar_t* folder = run_log_folder();
    wchar_t command[2 * MAX_PATH];
    std::size_t len = 0;
    std::size_t explorer_len = got;
    command[0] = L'\0';
    if (got == 0 || got >= MAX_PATH || folder[0] == L'\0' ||
        !append(explorer, MAX_PATH, &explorer_len, L"\\explorer.exe") ||
        !append(command, 2 * MAX_PATH, &len, L"explorer.exe \"") ||
        !append(command, 2 * MAX_PATH, &len, folder) ||
        !append(command, 2 * MAX_PATH, &len, L"\"")) {
        MessageBeep(MB_ICONWARNING);
        return;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(explorer, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        MessageBeep(MB_ICONWARNING);
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

} // namespace

void about_menu_add(HWND window) {
    HMENU menu = GetSystemMenu(window, FALSE);
    if (menu == nullptr) {
        return;
    }
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, IDM_ABOUT, "About Device Firmware Update Tool...");
    AppendMenuA(menu, MF_STRING, IDM_OPEN_LOG_FOLDER, "Open Log Folder");
}

bool about_menu_command(HWND window, WPARAM command) {
    // The system keeps the low four bits of a system command for itself.
    switch (command & 0xFFF0) {
    case IDM_ABOUT:
        show_about(window);
        return true;
    case IDM_OPEN_LOG_FOLDER:
        open_log_folder();
        return true;
    default:
        return false;
    }
}
