// Appends run records to runs.csv through the tool's own code, for the case that starts several
// copies of it at once; and holds or removes a file as the run log's open and start-up's
// removal do, to show what another process's DeleteFileW meets.
//   fwt-appendprobe append FOLDER ID COUNT LIMIT GO  waits for the file GO, then appends COUNT
//                                                  lines of copy ID, renaming past LIMIT bytes
//   fwt-appendprobe hold FILE MS                     opens FILE, made if need be, with the run
//                                                  log's sharing, prints "held", keeps it open
//                                                  MS milliseconds
//   fwt-appendprobe holdread FILE MS                 as hold, with a spreadsheet's sharing: read
//                                                  access, only reads shared
//   fwt-appendprobe delete FILE                      DeleteFileW(FILE): prints what it returned
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/run_record_line.h"
#include "host/runs_file.h"

#include <windows.h>

#include "tests/wine/win/probe_report.h"

namespace {

constexpr DWORD GO_POLL_MS = 5;
constexpr DWORD GO_WAIT_MS = 60000;

std::wstring wide(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    out.resize(std::wcslen(out.c_str()));
    return out;
}

// Line `i` of copy `id`: every field tells which it is, the version holds a comma and quotes,
// and the log name is long enough that a line cut or mixed with another shows.
int append(const char* folder, int id, int count, std::uint64_t limit, const char* go) {
    const std::wstring go_path = wide(go);
    check(true, "ready", go);
    for (DWORD waited = 0; GetFileAttributesW(go_path.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += GO_POLL_MS) {
        if (waited > GO_WAIT_MS) {
            check(false, "start signal", go);
            return 1;
        }
        Sleep(GO_POLL_MS);
    }
    const std::wstring dir = wide(folder);
    char port[32];
    std::snprintf(port, sizeof port, "\\\\.\\com%d", id);
    const std::string padding(300, 'x');
    int written = 0;
    for (int i = 0; i < count; ++i) {
        char log_name[400];
        std::snprintf(log_name, sizeof log_name, "copy %d line %d %s", id, i, padding.c_str());
        run_record record{};
        record.started = {2026, 12, 11, 10, 0, i % 60};
        record.port_path = port;
        record.outcome = static_cast<std::uint32_t>(i % 4);
        record.elapsed_ms = static_cast<std::uint64_t>(i) * 100;
        record.blocks = static_cast<std::uint32_t>(i);
        record.resends = static_cast<std::uint32_t>(id);
        record.image_sha256 = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
        record.tool_version = "probe, \"quoted\"";
        record.log_name = log_name;
        char line[RUN_LINE_SIZE];
        const std::size_t len = run_record_format(line, &record);
        written += len > 0 && runs_file_append(dir.c_str(), line, len, limit) ? 1 : 0;
    }
    char detail[64];
    std::snprintf(detail, sizeof detail, "%d of %d lines", written, count);
    check(written == count, "appended", detail);
    return probe_failures == 0 ? 0 : 1;
}

// With the run log's sharing (write access, reads and writes shared, removal and renaming not),
// or with a spreadsheet's (read access, only reads shared).
int hold(const char* file, DWORD ms, bool as_reader) {
    HANDLE handle = CreateFileW(wide(file).c_str(), as_reader ? GENERIC_READ : GENERIC_WRITE,
                                as_reader ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    char detail[64];
    std::snprintf(detail, sizeof detail, "error %lu", static_cast<unsigned long>(GetLastError()));
    check(handle != INVALID_HANDLE_VALUE, "held", handle != INVALID_HANDLE_VALUE ? file : detail);
    if (handle == INVALID_HANDLE_VALUE) {
        return 1;
    }
    Sleep(ms);
    CloseHandle(handle);
    return 0;
}

int remove_file(const char* file) {
    const BOOL removed = DeleteFileW(wide(file).c_str());
    const DWORD error = removed ? 0 : GetLastError();
    char detail[64];
    std::snprintf(detail, sizeof detail, "returned %d, error %lu", removed ? 1 : 0,
                  static_cast<unsigned long>(error));
    check(!removed && error == ERROR_SHARING_VIOLATION,
          "DeleteFileW of a file another process holds refused with a sharing violation", detail);
    return probe_failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 7 && std::strcmp(argv[1], "append") == 0) {
        return append(argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                      std::strtoull(argv[5], nullptr, 10), argv[6]);
    }
    const bool as_reader = argc == 4 && std::strcmp(argv[1], "holdread") == 0;
    if (as_reader || (argc == 4 && std::strcmp(argv[1], "hold") == 0)) {
        return hold(argv[2], static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)), as_reader);
    }
    if (argc == 3 && std::strcmp(argv[1], "delete") == 0) {
        return remove_file(argv[2]);
    }
    std::fprintf(stderr, "usage: fwt-appendprobe append FOLDER ID COUNT LIMIT GO | hold FILE MS | "
                         "holdread FILE MS | delete FILE\n");
    return 2;
}
