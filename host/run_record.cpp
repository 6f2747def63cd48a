// The record of every run on Windows: the press's time (UTC) and tick, the embedded image's
// SHA-256 and the tool's version, formatted by run_record_line and appended to runs.csv.
#include "host/run_record.h"

#include <cstdio>

#include "host/image_digest.h"
#include "host/port_select.h"
#include "host/run_log.h"
#include "host/run_record_line.h"
#include "host/runs_file.h"
#include "host/win_host.h"

namespace {

// The run under way: null between runs.
const update_job* running = nullptr;
run_record record{};
ULONGLONG pressed_at = 0;
// The run's port, kept here: the window's copy changes at the next press, before the run it
// abandons is recorded.
char record_port[PORT_PATH_SIZE];
char digest_hex[2 * IMAGE_DIGEST_SIZE + 1];

// The digest the build stored beside the image, which start-up checked against the image.
const char* image_digest_hex() {
    if (digest_hex[0] == '\0') {
        DWORD size = 0;
        const std::uint8_t* digest =
            find_raw_resource(GetModuleHandleA(nullptr), "BINFILE_SHA256", &size);
        for (std::size_t i = 0; digest != nullptr && size == IMAGE_DIGEST_SIZE && i < size; ++i) {
            std::snprintf(digest_hex + 2 * i, 3, "%02x", digest[i]);
        }
    }
    return digest_hex;
}

// Whatever the outcome, the line goes to the file at once: a copy of the tool may end at any
// moment after, and another may read the file meanwhile. A record that cannot be written is
// given up silently, as the log is.
void write_record(std::uint32_t outcome) {
    const update_job* job = running;
    running = nullptr;
    record.outcome = outcome;
    record.elapsed_ms = GetTickCount64() - pressed_at;
    record.blocks = run_blocks_acknowledged(job);
    record.resends = job->resends;
    char line[RUN_LINE_SIZE];
    const std::size_t len = run_record_format(line, &record);
    if (len > 0 && run_log_folder()[0] != L'\0') {
        runs_file_append(run_log_folder(), line, len, RUNS_FILE_LIMIT);
    }
}

} // namespace

void run_record_start(const update_job* job) {
    run_record_abandon();
    const DWORD saved = GetLastError();
    SYSTEMTIME now{};
    GetSystemTime(&now);
    pressed_at = GetTickCount64();
    record = {};
    record.started = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    std::snprintf(record_port, sizeof record_port, "%s",
                  job->port_path != nullptr ? job->port_path : "");
    record.port_path = record_port;
    record.image_sha256 = image_digest_hex();
    record.tool_version = FWT_VERSION;
    record.log_name = run_log_name();
    running = job;
    SetLastError(saved);
}

void run_record_end() {
    if (running != nullptr) {
        write_record(run_outcome_of(running));
    }
}

void run_record_abandon() {
    if (running != nullptr) {
        write_record(RUN_ABANDONED);
    }
}
