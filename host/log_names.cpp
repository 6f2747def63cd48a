// Run log names: formatting, recognising, and choosing the oldest to remove.
#include "host/log_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char PREFIX[] = "fwt-";
constexpr char SUFFIX[] = ".log";
// "fwt-YYYYMMDD-HHMMSS-": the part that orders by time, fixed in width.
constexpr std::size_t STAMP_LEN = 20;

bool digits(const char* text, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace

std::size_t log_file_name(std::span<char> out, const log_time& t, std::uint32_t pid) {
    if (out.empty()) {
        return 0;
    }
    const int n = std::snprintf(out.data(), out.size(), "%s%04d%02d%02d-%02d%02d%02d-%lu%s", PREFIX,
                                t.year, t.month, t.day, t.hour, t.minute, t.second,
                                static_cast<unsigned long>(pid), SUFFIX);
    if (n < 0 || static_cast<std::size_t>(n) >= out.size()) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n);
}

bool log_is_run_log(const char* name) {
    const std::size_t len = std::strlen(name);
    const std::size_t suffix_len = sizeof SUFFIX - 1;
    if (len <= STAMP_LEN + suffix_len || std::strncmp(name, PREFIX, sizeof PREFIX - 1) != 0) {
        return false;
    }
    const char* stamp = name + sizeof PREFIX - 1;
    return digits(stamp, 8) && stamp[8] == '-' && digits(stamp + 9, 6) && stamp[15] == '-' &&
           digits(name + STAMP_LEN, len - STAMP_LEN - suffix_len) &&
           std::strcmp(name + len - suffix_len, SUFFIX) == 0;
}

std::size_t log_select_expired(std::span<const char*> names, std::size_t keep) {
    std::sort(names.begin(), names.end(), [](const char* a, const char* b) {
        const int by_time = std::strncmp(a, b, STAMP_LEN);
        if (by_time != 0) {
            return by_time < 0;
        }
        return std::strtoul(a + STAMP_LEN, nullptr, 10) < std::strtoul(b + STAMP_LEN, nullptr, 10);
    });
    return names.size() > keep ? names.size() - keep : 0;
}
