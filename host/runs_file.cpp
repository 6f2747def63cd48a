// runs.csv on Windows. Several copies of the tool, one per adapter on a bench, append to the
// same file at once; each line must arrive whole, never cut into another copy's line, and the
// header must stay the file's first line.
//
// A line is appended on a handle opened for FILE_APPEND_DATA alone, without FILE_WRITE_DATA:
// the system then writes each WriteFile at the file's end as one step under the file's lock,
// so lines from several processes can follow one another but never overlap. The line goes in
// one WriteFile, and a short write is never followed by a second one, which would land after
// another copy's line. The handle is held only for that write.
#include "host/runs_file.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "host/run_record_line.h"

#include <windows.h>

namespace {

// Rounds of open, make and rename: each lets another copy make or rename the file meanwhile.
constexpr std::uint32_t APPEND_TRIES = 4;
// Archive names tried: the plain one, then "-1" to "-9" after it.
constexpr std::uint32_t NAME_TRIES = 10;
constexpr std::size_t NAME_SIZE = 48;

// out = a + "\" + b when it fits in MAX_PATH characters and its terminator.
bool join(wchar_t* out, const wchar_t* a, const wchar_t* b) {
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

void widen_ascii(wchar_t (&out)[NAME_SIZE], const char* name) {
    std::size_t i = 0;
    for (; name[i] != '\0' && i + 1 < NAME_SIZE; ++i) {
        out[i] = static_cast<unsigned char>(name[i]);
    }
    out[i] = L'\0';
}

// FILE_SHARE_DELETE lets another copy rename a full file while this one appends to it: the
// line then lands, whole, at the end of the renamed file.
HANDLE open_for_append(const wchar_t* path) {
    return CreateFileW(path, FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Makes runs.csv holding its header. The header is written to a file of this process's own,
// which is then renamed to runs.csv only if no runs.csv exists (MoveFileExW without
// MOVEFILE_REPLACE_EXISTING, one step in the file system): runs.csv appears with its header
// already in it. Making runs.csv with CREATE_NEW and writing the header after would leave a
// moment in which another copy opens the empty file and appends its line before the header.
// When another copy made the file first, the rename fails and this copy's file is removed.
void make_with_header(const wchar_t* folder, const wchar_t* path) {
    wchar_t name[NAME_SIZE];
    std::swprintf(name, NAME_SIZE, L"runs-new-%lu.tmp",
                  static_cast<unsigned long>(GetCurrentProcessId()));
    wchar_t temp[MAX_PATH];
    if (!join(temp, folder, name)) {
        return;
    }
    // A file of this name left by an ended process of the same number is of no use to anyone.
    HANDLE file =
        CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    const DWORD len = sizeof RUNS_HEADER - 1;
    DWORD written = 0;
    const bool whole = WriteFile(file, RUNS_HEADER, len, &written, nullptr) && written == len;
    CloseHandle(file);
    if (!whole || !MoveFileExW(temp, path, 0)) {
        DeleteFileW(temp);
    }
}

// Renames a full runs.csv to runs-YYYYMMDD-HHMMSS.csv (UTC), never over another file. When two
// copies find the file full at once, the second finds it gone (or renames the new one, a few
// lines long): either way every line stays in one of the files.
void rename_full(const wchar_t* folder, const wchar_t* path) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    const log_time stamp{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    for (std::uint32_t sequence = 0; sequence < NAME_TRIES; ++sequence) {
        char name[RUNS_NAME_SIZE];
        wchar_t wide[NAME_SIZE];
        wchar_t archive[MAX_PATH];
        if (runs_archive_name(name, stamp, sequence) == 0) {
            return;
        }
        widen_ascii(wide, name);
        if (!join(archive, folder, wide)) {
            return;
        }
        if (MoveFileExW(path, archive, 0)) {
            return;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            return;
        }
    }
}

} // namespace

bool runs_file_append(const wchar_t* folder, const char* line, std::size_t len,
                      std::uint64_t limit_bytes) {
    const DWORD saved = GetLastError();
    wchar_t path[MAX_PATH];
    wchar_t file_name[NAME_SIZE];
    widen_ascii(file_name, RUNS_FILE_NAME);
    bool done = false;
    for (std::uint32_t attempt = 0;
         attempt < APPEND_TRIES && len > 0 && folder[0] != L'\0' && join(path, folder, file_name);
         ++attempt) {
        HANDLE file = open_for_append(path);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_FILE_NOT_FOUND) {
                break;
            }
            make_with_header(folder, path);
            continue;
        }
        LARGE_INTEGER size{};
        if (GetFileSizeEx(file, &size) &&
            runs_file_full(static_cast<std::uint64_t>(size.QuadPart), limit_bytes)) {
            CloseHandle(file);
            rename_full(folder, path);
            continue;
        }
        DWORD written = 0;
        done = WriteFile(file, line, static_cast<DWORD>(len), &written, nullptr) && written == len;
        CloseHandle(file);
        break;
    }
    SetLastError(saved);
    return done;
}
