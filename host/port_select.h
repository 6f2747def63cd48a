// The port list's table, which ports a rescan probes, and which entry to select after it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr int MAX_COM_PORT = 998;
// "\\.\com" and any int fit.
inline constexpr std::size_t PORT_PATH_SIZE = 24;
// A probe that took this long (a paired Bluetooth port, a driver waiting on its device) is not
// repeated by a drop-down until the next device notice.
inline constexpr std::uint32_t SLOW_PROBE_MS = 100;

using port_path = std::array<char, PORT_PATH_SIZE>;

// The ports found by one scan, in ascending order; item k of the list is path[k].
struct port_table {
    std::array<port_path, MAX_COM_PORT> path;
    int count;
};

// What trying to open one port found, and how long the try took.
struct port_probe_result {
    bool opened;
    std::uint32_t elapsed_ms;
};
using port_probe = port_probe_result (*)(const port_path& path);

// The ports whose last probe was slow, by number.
struct port_scan_memory {
    std::array<bool, MAX_COM_PORT + 1> slow;
};

enum port_scan_kind {
    // Start-up, device notices and a lost adapter: every port is probed, the listed ones too,
    // and the slow ones are known afresh.
    SCAN_ALL,
    // Opening the list: the listed ports stay listed without being opened; the others are
    // probed, except those whose probe was slow since the last SCAN_ALL. A port that another
    // program holds fails its probe at once and is tried again next time.
    SCAN_UNLISTED,
};

// Fills `fresh` with the ports found, in ascending order of their number.
void port_scan(port_scan_kind kind, const port_table* shown, port_table* fresh,
               port_scan_memory* memory, port_probe probe);

// `table` without the port named `name` (as "COM12" in a removal notice); false when it does
// not list that port, and the table is then left as it is.
bool port_table_remove(port_table* table, const port_path& name);

// The port a device notice's DEV_BROADCAST_PORT names: `size` bytes of its name field, in
// ANSI ("COM12") or UTF-16 (the notice's wide form); "\\.\com12" when it names a COM port,
// an empty string otherwise (a printer port, a name cut short or out of range).
port_path port_named_in_notice(const std::uint8_t* name, std::size_t size);

// The entry of `fresh` to select, given the previous scan and its selection (-1 for none):
// the one port that appeared since, if exactly one did; otherwise the selected port where it
// is now; otherwise entry 0; -1 when `fresh` is empty.
int port_selection_after_scan(std::span<const port_path> old, int old_selection,
                              std::span<const port_path> fresh);

// Whether two scans found the same ports in the same order.
bool port_lists_equal(std::span<const port_path> a, std::span<const port_path> b);
