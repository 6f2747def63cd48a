// Which port to select after a rescan: the selection follows the port, not its position.
#include "host/port_select.h"

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

} // namespace

int port_selection_after_scan(std::span<const port_path> old, int old_selection,
                              std::span<const port_path> fresh) {
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
    if (appeared_count == 1) {
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
