// The port list's table, which ports a rescan probes, which entry to select after it, and
// whether a press may take the selected port.
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

// Fills `fresh` with the ports found, in ascending order of their number. `held` (nullptr for
// none) is the port this program holds open: it is listed without being probed, since a probe
// of a port held for exclusive use fails and would drop it from the list.
void port_scan(port_scan_kind kind, const port_table* shown, port_table* fresh,
               port_scan_memory* memory, port_probe probe, const port_path* held);

// `table` without the port named `name` (as "COM12" in a removal notice); false when it does
// not list that port, and the table is then left as it is.
bool port_table_remove(port_table* table, const port_path& name);

// The port a device notice's DEV_BROADCAST_PORT names: `size` bytes of its name field, in
// ANSI ("COM12") or UTF-16 (the notice's wide form); "\\.\com12" when it names a COM port,
// an empty string otherwise (a printer port, a name cut short or out of range).
port_path port_named_in_notice(const std::uint8_t* name, std::size_t size);

// The entry of `fresh` to select, given the previous scan and its selection (-1 for none), and
// whether the user has picked a port in the list since start-up: unless they have, the one port
// that appeared since, if exactly one did (the adapter just plugged in); otherwise the selected
// port where it is now; otherwise entry 0; -1 when `fresh` is empty. A window whose user picked
// a port keeps it while another station's adapter comes and goes.
int port_selection_after_scan(std::span<const port_path> old, int old_selection,
                              std::span<const port_path> fresh, bool picked);

// Whether two scans found the same ports in the same order.
bool port_lists_equal(std::span<const port_path> a, std::span<const port_path> b);

// Windows error numbers by which opening a port says that another program holds it:
// ERROR_ACCESS_DENIED (the driver's exclusive open) and ERROR_SHARING_VIOLATION (some virtual
// port drivers). Any other failure (2 and 3: no such port, 31, 121, 1167: the device does not
// work) means the port is not there to be used.
inline constexpr std::uint32_t WIN_ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t WIN_ERROR_SHARING_VIOLATION = 32;

// The named lock by which copies of this program on one PC keep off each other's ports.
enum port_lock_state {
    PORT_LOCK_TAKEN,          // this copy holds it now (or held it already)
    PORT_LOCK_HELD_ELSEWHERE, // another copy holds it: the port is not opened at all
    PORT_LOCK_UNAVAILABLE,    // it could not be made: the open alone decides
};

enum port_open_verdict {
    PORT_OPEN_OK,    // the port is this run's
    PORT_OPEN_BUSY,  // another copy or program has it: said in the status, nothing else changes
    PORT_OPEN_FATAL, // the port cannot be used: the fatal report
};

// What a press makes of the lock's state and the open's Windows error number (0: it opened, or
// it was not tried because another copy holds the lock).
port_open_verdict port_open_decide(port_lock_state lock, std::uint32_t open_error);

// The lock's name for a port path such as "\\.\com12": "Global\fwt-port-com12"; an empty
// string for a path that names no COM port.
inline constexpr std::size_t PORT_LOCK_NAME_SIZE = 40;
using port_lock_name = std::array<char, PORT_LOCK_NAME_SIZE>;
port_lock_name port_lock_name_of(const port_path& path);
