// Which ports a rescan opens, the port a removal notice names, which port to select after a
// rescan (the selection follows the port, not its position), and what a press makes of a port
// that another copy or program holds.
#include "host/port_select.h"

#include <cstdio>
#include <cstring>

namespace {

bool same_path(const port_path& a, const port_path& b) {
    return std::strncmp(a.data(), b.data(), PORT_PATH_SIZE) == 0;
}

int find(std::span<const port_path> list, const port_path& wanted) {
    for (std::size_t k = 0; k < list.size(); ++k) {
        if (same_path(list[k], wanted)) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

port_path path_of(int number) {
    port_path path{};
    std::snprintf(path.data(), path.size(), "\\\\.\\com%d", number);
    return path;
}

void append(port_table* table, const port_path& path) {
    table->path[static_cast<std::size_t>(table->count)] = path;
    ++table->count;
}

// The longest name a notice can carry that this program takes for a port: "COM998".
constexpr std::size_t NOTICE_NAME_MAX = 6;

} // namespace

void port_scan(port_scan_kind kind, const port_table* shown, port_table* fresh,
               port_scan_memory* memory, port_probe probe, const port_path* held) {
    const std::span<const port_path> listed{shown->path.data(),
                                            static_cast<std::size_t>(shown->count)};
    fresh->count = 0;
    for (int number = 1; number <= MAX_COM_PORT; ++number) {
        const port_path path = path_of(number);
        bool& slow = memory->slow[static_cast<std::size_t>(number)];
        if (held != nullptr && same_path(path, *held)) {
            append(fresh, path);
            continue;
        }
        if (kind == SCAN_UNLISTED && find(listed, path) >= 0) {
            append(fresh, path);
            continue;
        }
        if (kind == SCAN_UNLISTED && slow) {
            continue;
        }
        const port_probe_result result = probe(path);
        slow = result.elapsed_ms >= SLOW_PROBE_MS;
        if (result.opened) {
            append(fresh, path);
        }
    }
}

bool port_table_remove(port_table* table, const port_path& name) {
    const int at = find({table->path.data(), static_cast<std::size_t>(table->count)}, name);
    if (at < 0) {
        return false;
    }
    for (int k = at; k + 1 < table->count; ++k) {
        table->path[static_cast<std::size_t>(k)] = table->path[static_cast<std::size_t>(k + 1)];
    }
    --table->count;
    return true;
}

port_path port_named_in_notice(const std::uint8_t* name, std::size_t size) {
    // UTF-16 puts a zero byte after each ASCII letter.
    const bool wide = size >= 2 && name[0] != 0 && name[1] == 0;
    const std::size_t step = wide ? 2 : 1;
    char text[NOTICE_NAME_MAX + 1] = {};
    std::size_t length = 0;
    for (std::size_t at = 0; at + step <= size; at += step) {
        const std::uint8_t c = name[at];
        if (c == 0 || (wide && name[at + 1] != 0)) {
            break;
        }
        if (length == NOTICE_NAME_MAX) {
            return {};
        }
        text[length++] = static_cast<char>(c);
    }
    // "COM", then a number from 1 to MAX_COM_PORT without leading zeros.
    if (length < 4 || (text[0] | 0x20) != 'c' || (text[1] | 0x20) != 'o' ||
        (text[2] | 0x20) != 'm' || text[3] == '0') {
        return {};
    }
    int number = 0;
    for (std::size_t k = 3; k < length; ++k) {
        if (text[k] < '0' || text[k] > '9') {
            return {};
        }
        number = number * 10 + (text[k] - '0');
    }
    return number <= MAX_COM_PORT ? path_of(number) : port_path{};
}

int port_selection_after_scan(std::span<const port_path> old, int old_selection,
                              std::span<const port_path> fresh, bool picked) {
    if (fresh.empty()) {
        return -1;
    }
    int appeared = -1;
    int appeared_count = 0;
    for (std::size_t k = 0; k < fresh.size(); ++k) {
        if (find(old, fresh[k]) < 0) {
            appeared = static_cast<int>(k);
            ++appeared_count;
        }
    }
    // The adapter that was just plugged in.
    if (appeared_count == 1 && !picked) {
        return appeared;
    }
    if (old_selection >= 0 && static_cast<std::size_t>(old_selection) < old.size()) {
        const int kept = find(fresh, old[static_cast<std::size_t>(old_selection)]);
        if (kept >= 0) {
            return kept;
        }
    }
    return 0;
}

port_open_verdict port_open_decide(port_lock_state lock, std::uint32_t open_error) {
    if (lock == PORT_LOCK_HELD_ELSEWHERE) {
        return PORT_OPEN_BUSY;
    }
    switch (open_error) {
    case 0:
        return PORT_OPEN_OK;
    case WIN_ERROR_ACCESS_DENIED:
    case WIN_ERROR_SHARING_VIOLATION:
        return PORT_OPEN_BUSY;
    default:
        return PORT_OPEN_FATAL;
    }
}

port_lock_name port_lock_name_of(const port_path& path) {
    port_lock_name name{};
    constexpr char PREFIX[] = "\\\\.\\com";
    constexpr std::size_t PREFIX_LEN = sizeof PREFIX - 1;
    if (std::strncmp(path.data(), PREFIX, PREFIX_LEN) != 0) {
        return name;
    }
    int number = 0;
    std::size_t at = PREFIX_LEN;
    for (; at < path.size() && path[at] >= '0' && path[at] <= '9'; ++at) {
        number = number * 10 + (path[at] - '0');
        if (number > MAX_COM_PORT) {
            return name;
        }
    }
    if (number < 1 || at == path.size() || path[at] != '\0') {
        return name;
    }
    std::snprintf(name.data(), name.size(), "Global\\fwt-port-com%d", number);
    return name;
}

bool port_lists_equal(std::span<const port_path> a, std::span<const port_path> b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (!same_path(a[k], b[k])) {
            return false;
        }
    }
    return true;
}
