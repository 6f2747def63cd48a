// The progress arithmetic behind the caption and the taskbar button.
#include "host/progress.h"

#include <cstdio>

void progress_reset(progress_tracker* p) {
    *p = progress_tracker{};
}

void progress_note(progress_tracker* p, std::int32_t offset, std::uint32_t now_ms) {
    if (p->count > 0) {
        const std::int32_t last = p->offset[(p->next + PROGRESS_WINDOW - 1) % PROGRESS_WINDOW];
        if (offset == last) {
            return;
        }
        if (offset < last) {
            progress_reset(p);
        }
    }
    p->offset[p->next] = offset;
    p->tick_ms[p->next] = now_ms;
    p->next = (p->next + 1) % PROGRESS_WINDOW;
    if (p->count < PROGRESS_WINDOW) {
        ++p->count;
    }
}

int progress_percent(std::int32_t offset, std::int32_t size) {
    if (size <= 0 || offset <= 0) {
        return 0;
    }
    if (offset >= size) {
        return 100;
    }
    return static_cast<int>(static_cast<std::int64_t>(offset) * 100 / size);
}

std::int32_t progress_seconds_left(const progress_tracker* p, std::int32_t size,
                                   std::uint32_t now_ms) {
    if (p->count < PROGRESS_MIN_INTERVALS + 1) {
        return -1;
    }
    const std::size_t oldest = (p->next + PROGRESS_WINDOW - p->count) % PROGRESS_WINDOW;
    const std::size_t newest = (p->next + PROGRESS_WINDOW - 1) % PROGRESS_WINDOW;
    const std::int64_t bytes = p->offset[newest] - p->offset[oldest];
    // Unsigned difference: the tick counter wraps.
    const std::int64_t ms = static_cast<std::uint32_t>(p->tick_ms[newest] - p->tick_ms[oldest]);
    const std::int64_t rest = size - p->offset[newest];
    if (bytes <= 0 || rest <= 0) {
        return bytes <= 0 ? -1 : 0;
    }
    const std::int64_t intervals = static_cast<std::int64_t>(p->count) - 1;
    const std::int64_t silent_ms = static_cast<std::uint32_t>(now_ms - p->tick_ms[newest]);
    if (silent_ms * intervals > PROGRESS_STALL_FACTOR * ms) {
        return -1;
    }
    const std::int64_t left_ms = rest * ms / bytes;
    constexpr std::int64_t LIMIT_S = 99 * 60 + 59;
    const std::int64_t seconds = (left_ms + 500) / 1000;
    return static_cast<std::int32_t>(seconds < LIMIT_S ? seconds : LIMIT_S);
}

std::size_t progress_caption(std::span<char> out, int percent, std::int32_t seconds_left) {
    if (out.empty()) {
        return 0;
    }
    int n = 0;
    if (percent < 0) {
        n = std::snprintf(out.data(), out.size(), "%s", TOOL_TITLE);
    } else if (seconds_left < 0 || percent >= 100) {
        n = std::snprintf(out.data(), out.size(), "%d%% - %s", percent, TOOL_TITLE);
    } else {
        n = std::snprintf(out.data(), out.size(), "%d%% (%d:%02d left) - %s", percent,
                          static_cast<int>(seconds_left / 60), static_cast<int>(seconds_left % 60),
                          TOOL_TITLE);
    }
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < out.size() ? static_cast<std::size_t>(n) : out.size() - 1;
}
