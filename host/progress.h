// A run's progress as the caption and the taskbar show it: the percentage written, the time
// left estimated from the recent acknowledgements, and the caption's text (no platform calls).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr char TOOL_TITLE[] = "Device Firmware Update Tool";
// The estimate looks back over this many acknowledgements, so a resend or a device that slows
// down moves it within a few blocks.
inline constexpr std::size_t PROGRESS_WINDOW = 8;
// Acknowledged blocks needed before a time left is shown.
inline constexpr std::size_t PROGRESS_MIN_INTERVALS = 3;
inline constexpr std::size_t CAPTION_SIZE = 64;

struct progress_tracker {
    // The last PROGRESS_WINDOW points (bytes acknowledged, tick) in a ring, oldest at
    // (next - count).
    std::array<std::int32_t, PROGRESS_WINDOW> offset;
    std::array<std::uint32_t, PROGRESS_WINDOW> tick_ms;
    std::size_t count;
    std::size_t next;
};

void progress_reset(progress_tracker* p);
// Records that offset bytes were acknowledged at now_ms. An unchanged offset is ignored; a
// smaller one (the run started over) drops the history.
void progress_note(progress_tracker* p, std::int32_t offset, std::uint32_t now_ms);
// 0 to 100, rounded down, so 100 only once every byte is acknowledged.
int progress_percent(std::int32_t offset, std::int32_t size);
// An estimate is dropped once no acknowledgement has come for longer than this many times the
// window's mean block time: a stall (resends every 10 s) says nothing about the time left.
inline constexpr std::int64_t PROGRESS_STALL_FACTOR = 2;

// Seconds left after the last recorded point at the pace of the window, rounded to the
// nearest; -1 while the window holds fewer than PROGRESS_MIN_INTERVALS intervals, and at now_ms
// when the last point is older than PROGRESS_STALL_FACTOR mean intervals.
std::int32_t progress_seconds_left(const progress_tracker* p, std::int32_t size,
                                   std::uint32_t now_ms);
// "NN% - title", or "NN% (M:SS left) - title" when seconds_left >= 0 and some is left;
// percent < 0 gives the plain title. Always terminated; returns the length.
std::size_t progress_caption(std::span<char> out, int percent, std::int32_t seconds_left);
