// The run log on Windows: the folder under %LOCALAPPDATA%, this start's file, and the removal
// of old logs.
#include "host/run_log.h"

#include <cstdio>
#include <cstring>

#include "host/log_names.h"

#include <windows.h>

namespace {

constexpr char APP_FOLDER[] = "Device Firmware Update Tool";
// Logs start-up looks at; more (only from outside) are left for later starts.
constexpr std::size_t MAX_LISTED = 256;

char folder[MAX_PATH];
std::FILE* log_file = nullptr;
char listed[MAX_LISTED][LOG_NAME_SIZE];

void remove_old_logs(const char* own_name) {
    char pattern[MAX_PATH];
    if (std::snprintf(pattern, sizeof pattern, "%s\\fwt-*.log", folder) >= MAX_PATH) {
        return;
    }
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    const char* names[MAX_LISTED];
    std::size_t count = 0;
    do {
        const bool is_file = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        if (is_file && std::strlen(found.cFileName) < LOG_NAME_SIZE &&
            log_is_run_log(found.cFileName) && std::strcmp(found.cFileName, own_name) != 0) {
            std::snprintf(listed[count], LOG_NAME_SIZE, "%s", found.cFileName);
            names[count] = listed[count];
            ++count;
        }
    } while (count < MAX_LISTED && FindNextFileA(search, &found));
    FindClose(search);
    // This start's log is one of the logs kept.
    const std::size_t expired = log_select_expired({names, count}, LOG_KEEP - 1);
    for (std::size_t i = 0; i < expired; ++i) {
        char path[MAX_PATH];
        if (std::snprintf(path, sizeof path, "%s\\%s", folder, names[i]) < MAX_PATH) {
            DeleteFileA(path);
        }
    }
}

void open_log() {
    char base[MAX_PATH];
    const DWORD got = GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
    if (got == 0 || got >= sizeof base) {
        return;
    }
    char app[MAX_PATH];
    if (std::snprintf(app, sizeof app, "%s\\%s", base, APP_FOLDER) >= MAX_PATH ||
        std::snprintf(folder, sizeof folder, "%s\\logs", app) >= MAX_PATH) {
        folder[0] = '\0';
        return;
    }
    // Either may exist already; a file in the way makes the open below fail.
    CreateDirectoryA(app, nullptr);
    CreateDirectoryA(folder, nullptr);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char name[LOG_NAME_SIZE];
    const log_time stamp{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    if (log_file_name(name, stamp, GetCurrentProcessId()) == 0) {
        return;
    }
    char path[MAX_PATH];
    if (std::snprintf(path, sizeof path, "%s\\%s", folder, name) >= MAX_PATH) {
        return;
    }
    // Text mode, as standard output is, so that the log holds the same bytes (CR LF).
    log_file = std::fopen(path, "w");
    if (log_file != nullptr) {
        remove_old_logs(name);
    }
}

} // namespace

void run_log_open() {
    const DWORD saved = GetLastError();
    open_log();
    SetLastError(saved);
}

void run_log_vprintf(const char* format, va_list args) {
    if (log_file != nullptr) {
        std::vfprintf(log_file, format, args);
    }
}

void run_log_flush() {
    if (log_file != nullptr) {
        std::fflush(log_file);
    }
}

void stderr_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    std::vfprintf(stderr, format, args);
    run_log_vprintf(format, copy);
    va_end(copy);
    va_end(args);
    run_log_flush();
}

void run_log_fatal(const char* text) {
    if (log_file != nullptr) {
        std::fputs(text, log_file);
        std::fflush(log_file);
    }
}

const char* run_log_folder() {
    return folder;
}

bool run_log_active() {
    return log_file != nullptr;
}
