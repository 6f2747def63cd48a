// The system menu's About box and "Open Log Folder".
#include "host/about.h"

#include <cstdio>

#include "host/progress.h"
#include "host/resource_ids.h"
#include "host/run_log.h"
#include "host/win_host.h"

namespace {

constexpr std::size_t DIGEST_SIZE = 32;
constexpr std::size_t ABOUT_TEXT_SIZE = 1024;

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
    const char* folder = run_log_folder();
    char text[ABOUT_TEXT_SIZE];
    std::snprintf(text, sizeof text,
                  "%s\nVersion %s\n\nFirmware image: %lu bytes\nSHA-256: %s\n\nLog folder:\n%s%s",
                  TOOL_TITLE, FWT_VERSION,
                  image != nullptr ? static_cast<unsigned long>(size) : 0UL, hex,
                  folder[0] != '\0' ? folder : "(none)",
                  run_log_active() ? "" : "\n(no log is written: the folder cannot be written)");
    MessageBoxA(window, text, "About Device Firmware Update Tool", MB_OK | MB_ICONINFORMATION);
}

// Explorer opens the folder given on its command line; started directly from the Windows
// folder, it needs no shell DLL in this process.
void open_log_folder() {
    char explorer[MAX_PATH];
    const UINT got = GetWindowsDirectoryA(explorer, sizeof explorer);
    char command[2 * MAX_PATH];
    if (got == 0 || got >= sizeof explorer ||
        std::snprintf(explorer + got, sizeof explorer - got, "\\explorer.exe") >=
            static_cast<int>(sizeof explorer - got) ||
        std::snprintf(command, sizeof command, "explorer.exe \"%s\"", run_log_folder()) >=
            static_cast<int>(sizeof command)) {
        MessageBeep(MB_ICONWARNING);
        return;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (run_log_folder()[0] == '\0' || !CreateProcessA(explorer, command, nullptr, nullptr, FALSE,
                                                       0, nullptr, nullptr, &startup, &process)) {
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
