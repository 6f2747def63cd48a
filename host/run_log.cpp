// The run log on Windows: the folder under %LOCALAPPDATA%, this start's file, its buffer, and
// the removal of old logs. Paths are UTF-16 throughout: a profile folder named outside the ANSI
// code page (a Cyrillic user name on a Western-locale PC) has no ANSI spelling.
//
// The log keeps its own buffer instead of a C stream's: C runtimes differ in when a stream
// reaches the file (Windows' buffers 4 KB, Wine's writes each call through), and the log must
// reach the disk where the tool flushes it, and only there, on every system.
#include "host/run_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "host/log_names.h"

#include <windows.h>

namespace {

constexpr wchar_t APP_FOLDER[] = L"Device Firmware Update Tool";
// Logs start-up may remove; more are left for later starts. Thirty days of a bench whose
// copies are restarted often can hold many.
constexpr std::size_t MAX_LISTED = 1024;
// FILETIME counts 100 ns: every log written in the last 30 days is kept.
constexpr std::uint64_t FILETIME_PER_DAY = 24ULL * 60 * 60 * 10'000'000;
constexpr std::uint64_t LOG_KEEP_AGE = 30 * FILETIME_PER_DAY;
// Old logs go only while the folder's run logs and runs*.csv take more than this.
constexpr std::uint64_t LOG_FOLDER_BYTES = 200ULL * 1024 * 1024;
// Names tried when this start's name is taken: the plain one, then "-1" to "-9" after it.
constexpr std::uint32_t NAME_TRIES = 10;
constexpr std::size_t LOG_BUFFER_SIZE = 4096;
// Most trace lines fit; a longer text is formatted into memory of its own size.
constexpr std::size_t LINE_SIZE = 512;

wchar_t folder[MAX_PATH];
char log_name[LOG_NAME_SIZE];
HANDLE log_handle = INVALID_HANDLE_VALUE;
char pending[LOG_BUFFER_SIZE];
std::size_t pending_len = 0;
char listed[MAX_LISTED][LOG_NAME_SIZE];

// Run log names are ASCII: a name with other characters is no run log.
bool narrow_ascii(char (&out)[LOG_NAME_SIZE], const wchar_t* name) {
    std::size_t i = 0;
    for (; name[i] != L'\0'; ++i) {
        if (i + 1 >= LOG_NAME_SIZE || name[i] >= 0x80) {
            return false;
        }
        out[i] = static_cast<char>(name[i]);
    }
    out[i] = '\0';
    return true;
}

std::uint64_t file_time(const FILETIME& t) {
    return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

std::uint64_t file_size(const WIN32_FIND_DATAW& found) {
    return (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
}

// What the files matching `pattern` in the folder take, in bytes.
std::uint64_t bytes_of(const wchar_t* pattern) {
    wchar_t path[MAX_PATH];
    WIN32_FIND_DATAW found{};
    HANDLE search =
        log_path_join(path, folder, pattern) ? FindFirstFileW(path, &found) : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    std::uint64_t bytes = 0;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            bytes += file_size(found);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return bytes;
}

// A log that another copy of the tool is writing is open without FILE_SHARE_DELETE, so
// DeleteFileW fails on it with ERROR_SHARING_VIOLATION: it stays, and log_remove_expired tries
// the next one. Wine refuses the same way.
bool delete_log(const log_entry* log, void*) {
    wchar_t name[LOG_NAME_SIZE];
    log_name_widen(name, log->name);
    wchar_t path[MAX_PATH];
    return log_path_join(path, folder, name) && DeleteFileW(path) != FALSE;
}

void remove_old_logs() {
    wchar_t pattern[MAX_PATH];
    if (!log_path_join(pattern, folder, L"fwt-*.log")) {
        return;
    }
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    static log_entry logs[MAX_LISTED];
    std::size_t count = 0;
    // Every run log's bytes count, also those of logs past the listed ones.
    std::uint64_t bytes = 0;
    do {
        const bool is_file = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        if (!is_file) {
            continue;
        }
        bytes += file_size(found);
        if (count < MAX_LISTED && narrow_ascii(listed[count], found.cFileName) &&
            log_is_run_log(listed[count]) && std::strcmp(listed[count], log_name) != 0) {
            logs[count] = {listed[count], file_time(found.ftLastWriteTime),
                           file_time(found.ftCreationTime), file_size(found)};
            ++count;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    bytes += bytes_of(L"runs*.csv");
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    // This start's log is one of the logs kept.
    const log_rule rule{LOG_KEEP - 1, LOG_KEEP_AGE, LOG_FOLDER_BYTES};
    log_remove_expired({logs, count}, rule, file_time(now), bytes, delete_log, nullptr);
}

void write_pending() {
    if (log_handle != INVALID_HANDLE_VALUE && pending_len > 0) {
        DWORD written = 0;
        WriteFile(log_handle, pending, static_cast<DWORD>(pending_len), &written, nullptr);
    }
    pending_len = 0;
}

void put_char(char c) {
    if (pending_len == sizeof pending) {
        write_pending();
    }
    pending[pending_len++] = c;
}

// Line ends as CR LF, as standard output writes them in text mode, so that the log holds the
// same bytes.
void put_text(const char* text, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        if (text[i] == '\n') {
            put_char('\r');
        }
        put_char(text[i]);
    }
}

void open_log() {
    wchar_t base[MAX_PATH];
    const DWORD got = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
    wchar_t app[MAX_PATH];
    if (got == 0 || got >= MAX_PATH || !log_path_join(app, base, APP_FOLDER) ||
        !log_path_join(folder, app, L"logs")) {
        folder[0] = L'\0';
        return;
    }
    // Either may exist already; a file in the way makes the open below fail.
    CreateDirectoryW(app, nullptr);
    CreateDirectoryW(folder, nullptr);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const log_time stamp{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    for (std::uint32_t sequence = 0; sequence < NAME_TRIES && log_handle == INVALID_HANDLE_VALUE;
         ++sequence) {
        if (log_file_name(log_name, stamp, GetCurrentProcessId(), sequence) == 0) {
            break;
        }
        wchar_t name[LOG_NAME_SIZE];
        log_name_widen(name, log_name);
        wchar_t path[MAX_PATH];
        if (!log_path_join(path, folder, name)) {
            break;
        }
        // Only if no file of that name exists: an older log is never truncated. Only a name
        // already taken is worth another try; anything else fails them all. No
        // FILE_SHARE_DELETE: another copy's start-up cannot remove the log while it is written.
        log_handle = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log_handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    if (log_handle != INVALID_HANDLE_VALUE) {
        remove_old_logs();
        // What is still buffered when the program returns or exits.
        std::atexit(run_log_flush);
    } else {
        log_name[0] = '\0';
    }
}

} // namespace

void run_log_open() {
    const DWORD saved = GetLastError();
    open_log();
    SetLastError(saved);
}

void run_log_vprintf(const char* format, va_list args) {
    if (log_handle == INVALID_HANDLE_VALUE) {
        return;
    }
    va_list again;
    va_copy(again, args);
    char line[LINE_SIZE];
    const int n = std::vsnprintf(line, sizeof line, format, args);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof line) {
        put_text(line, static_cast<std::size_t>(n));
    } else if (n > 0) {
        char* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(n) + 1));
        if (text != nullptr) {
            std::vsnprintf(text, static_cast<std::size_t>(n) + 1, format, again);
            put_text(text, static_cast<std::size_t>(n));
            std::free(text);
        }
    }
    va_end(again);
}

void run_log_flush() {
    write_pending();
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
    if (log_handle != INVALID_HANDLE_VALUE) {
        put_text(text, std::strlen(text));
        write_pending();
    }
}

const wchar_t* run_log_folder() {
    return folder;
}

const char* run_log_name() {
    return log_name;
}

bool run_log_active() {
    return log_handle != INVALID_HANDLE_VALUE;
}

bool log_path_join(wchar_t* out, const wchar_t* a, const wchar_t* b) {
    const std::size_t la = std::wcslen(a);
    const std::size_t lb = std::wcslen(b);
    if (la + 1 + lb >= MAX_PATH) {
        return false;
    }
    std::wmemmove(out, a, la);
    out[la] = L'\\';
    std::wmemcpy(out + la + 1, b, lb);
    out[la + 1 + lb] = L'\0';
    return true;
}

void log_name_widen(std::span<wchar_t> out, const char* name) {
    std::size_t i = 0;
    for (; name[i] != '\0' && i + 1 < out.size(); ++i) {
        out[i] = static_cast<unsigned char>(name[i]);
    }
    out[i] = L'\0';
}
