// runs.csv on Windows. Several copies of the tool, one per adapter on a bench, append to the
// same file at once; each line must arrive whole, never cut into another copy's line, and the
// header must stay the file's first line.
//
// A line is appended on a handle opened for FILE_APPEND_DATA without FILE_WRITE_DATA, so that
// the handle can only ever add to the file's end, in one WriteFile. On NTFS that alone keeps
// lines from several processes apart; Wine does not: it finds the end itself and then writes
// there, so two copies that append at the same moment write at the same offset and one line
// overwrites the other (seen under Wine 8 with four copies). Each append therefore holds an
// exclusive byte-range lock for its check of the size and its write. The lock lies far past
// any real end of the file, so that a program reading the file is never held up by it; the
// system drops it when the handle is closed, also when a copy ends without closing it. A
// short write is never followed by a second one, which would land after another copy's line.
#include "host/runs_file.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "host/run_log.h"
#include "host/run_record_line.h"

#include <windows.h>

namespace {

// Rounds of open, make and rename: each lets another copy make or rename the file meanwhile.
constexpr std::uint32_t APPEND_TRIES = 4;
// Archive names tried: the plain one, then "-1" to "-9" after it.
constexpr std::uint32_t NAME_TRIES = 10;
constexpr std::size_t NAME_SIZE = 48;
// The locked byte: 2^62, beyond any file's end, within what Wine hands to fcntl locks.
constexpr DWORD LOCK_OFFSET_HIGH = 0x40000000;

// FILE_SHARE_DELETE lets another copy rename a full file while this one waits for the lock:
// it then finds the file renamed and appends to the new one. FILE_READ_DATA is what a byte-range
// lock needs besides; it adds no way to change what is written.
HANDLE open_for_append(const wchar_t* path) {
    return CreateFileW(path, FILE_READ_DATA | FILE_APPEND_DATA,
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
    if (!log_path_join(temp, folder, name)) {
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

bool lock(HANDLE file, OVERLAPPED* at) {
    *at = {};
    at->OffsetHigh = LOCK_OFFSET_HIGH;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, at) != FALSE;
}

// Whether the open file is still the one named `path`: another copy may have renamed it while
// this one waited for the lock.
bool still_named(HANDLE file, const wchar_t* path) {
    HANDLE now = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (now == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const bool same = GetFileInformationByHandle(file, &a) && GetFileInformationByHandle(now, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(now);
    return same;
}

// Renames a full runs.csv to runs-YYYYMMDD-HHMMSS.csv (UTC), never over another file; false
// when it could not. Called with the lock held and only while the file is still runs.csv, so
// that a second copy that found it full too never renames the new one.
bool rename_full(const wchar_t* folder, const wchar_t* path) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    const log_time stamp{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    for (std::uint32_t sequence = 0; sequence < NAME_TRIES; ++sequence) {
        char name[RUNS_NAME_SIZE];
        wchar_t wide[NAME_SIZE];
        wchar_t archive[MAX_PATH];
        if (runs_archive_name(name, stamp, sequence) == 0) {
            return false;
        }
        log_name_widen(wide, name);
        if (!log_path_join(archive, folder, wide)) {
            return false;
        }
        if (MoveFileExW(path, archive, 0)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            return false;
        }
    }
    return false;
}

// Appends to `file_name` in `folder`; past limit_bytes the file is renamed first (0: never).
// ERROR_SHARING_VIOLATION when another program holds the file without sharing writes.
bool append_to(const wchar_t* folder, const char* file_name, const char* line, std::size_t len,
               std::uint64_t limit_bytes, DWORD* open_error) {
    wchar_t path[MAX_PATH];
    wchar_t wide_name[NAME_SIZE];
    log_name_widen(wide_name, file_name);
    *open_error = 0;
    bool done = false;
    for (std::uint32_t attempt = 0; attempt < APPEND_TRIES && len > 0 && folder[0] != L'\0' &&
                                    log_path_join(path, folder, wide_name);
         ++attempt) {
        HANDLE file = open_for_append(path);
        if (file == INVALID_HANDLE_VALUE) {
            *open_error = GetLastError();
            if (*open_error != ERROR_FILE_NOT_FOUND) {
                break;
            }
            make_with_header(folder, path);
            continue;
        }
        *open_error = 0;
        OVERLAPPED at{};
        if (!lock(file, &at)) {
            CloseHandle(file);
            break;
        }
        LARGE_INTEGER size{};
        // A full file that cannot be renamed now (a program such as a spreadsheet holds it open
        // without FILE_SHARE_DELETE) takes the line all the same, past the limit: a record is
        // worth more than the limit.
        if (limit_bytes > 0 && GetFileSizeEx(file, &size) &&
            runs_file_full(static_cast<std::uint64_t>(size.QuadPart), limit_bytes) &&
            (!still_named(file, path) || rename_full(folder, path))) {
            UnlockFileEx(file, 0, 1, 0, &at);
            CloseHandle(file);
            continue;
        }
        DWORD written = 0;
        done = WriteFile(file, line, static_cast<DWORD>(len), &written, nullptr) && written == len;
        UnlockFileEx(file, 0, 1, 0, &at);
        CloseHandle(file);
        break;
    }
    return done;
}

} // namespace

bool runs_file_append(const wchar_t* folder, const char* line, std::size_t len,
                      std::uint64_t limit_bytes) {
    const DWORD saved = GetLastError();
    DWORD open_error = 0;
    bool done = append_to(folder, RUNS_FILE_NAME, line, len, limit_bytes, &open_error);
    // A spreadsheet opens a CSV file for reading and shares no writes, for as long as it shows
    // it: the line goes to a file of its own beside runs.csv, with the same header, rather than
    // being lost. It is never renamed; its lines belong after those of runs.csv up to then.
    if (!done && open_error == ERROR_SHARING_VIOLATION) {
        done = append_to(folder, RUNS_HELD_FILE_NAME, line, len, 0, &open_error);
    }
    SetLastError(saved);
    return done;
}
