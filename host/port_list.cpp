// Scans the COM ports into the drop-down list and keeps its entries and the port table in step.
#include "host/port_list.h"

#include <cstdio>
#include <span>

#include <dbt.h>

#include "host/port_select.h"

namespace {

// The list shows `shown`; a scan fills `scanned`, and the two swap when they differ.
port_table tables[2];
port_table* shown = &tables[0];
port_table* scanned = &tables[1];

std::span<const port_path> entries(const port_table* table) {
    return {table->path.data(), static_cast<std::size_t>(table->count)};
}

// The probe start-up has always used: a port that the C runtime can open for reading is
// listed, in ascending order of its number.
void scan(port_table* table) {
    table->count = 0;
    for (int i = 1; i <= MAX_COM_PORT; ++i) {
        port_path path{};
        std::snprintf(path.data(), path.size(), "\\\\.\\com%d", i);
        std::FILE* probe = std::fopen(path.data(), "r");
        if (probe == nullptr) {
            continue;
        }
        std::fclose(probe);
        table->path[static_cast<std::size_t>(table->count)] = path;
        ++table->count;
    }
}

} // namespace

void port_list_scan(HWND list) {
    scan(scanned);
    if (port_lists_equal(entries(shown), entries(scanned))) {
        return;
    }
    const auto selected = static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0));
    const int select = port_selection_after_scan(entries(shown), selected, entries(scanned));
    SendMessageA(list, CB_RESETCONTENT, 0, 0);
    for (const port_path& path : entries(scanned)) {
        SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(path.data()));
    }
    SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(select), 0);
    port_table* previous = shown;
    shown = scanned;
    scanned = previous;
}

const char* port_list_path(int index) {
    return index >= 0 && index < shown->count ? shown->path[static_cast<std::size_t>(index)].data()
                                              : nullptr;
}

bool port_list_change_event(WPARAM event) {
    return event == DBT_DEVNODES_CHANGED || event == DBT_DEVICEARRIVAL ||
           event == DBT_DEVICEREMOVECOMPLETE;
}
