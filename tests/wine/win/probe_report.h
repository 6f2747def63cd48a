// What the Windows probe programs share: one "ok"/"FAIL" line per check, and a millisecond clock.
#pragma once

#include <cstdio>

#include <windows.h>

// Checks that failed so far; a probe exits non-zero when any did.
inline int probe_failures = 0;

inline void check(bool ok, const char* what, const char* detail) {
    std::printf("%s %s: %s\n", ok ? "ok" : "FAIL", what, detail);
    std::fflush(stdout);
    probe_failures += ok ? 0 : 1;
}

inline double now_ms() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}
