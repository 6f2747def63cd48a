// The port list's table and which entry to select after the ports were scanned again.
#pragma once

#include <array>
#include <span>

inline constexpr int MAX_COM_PORT = 998;
// "\\.\com" and any int fit.
inline constexpr std::size_t PORT_PATH_SIZE = 24;

using port_path = std::array<char, PORT_PATH_SIZE>;

// The ports found by one scan, in ascending order; item k of the list is path[k].
struct port_table {
    std::array<port_path, MAX_COM_PORT> path;
    int count;
};

// The entry of `fresh` to select, given the previous scan and its selection (-1 for none):
// the one port that appeared since, if exactly one did; otherwise the selected port where it
// is now; otherwise entry 0; -1 when `fresh` is empty.
int port_selection_after_scan(std::span<const port_path> old, int old_selection,
                              std::span<const port_path> fresh);

// Whether two scans found the same ports in the same order.
bool port_lists_equal(std::span<const port_path> a, std::span<const port_path> b);
