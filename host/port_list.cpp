// Scans the COM ports into the drop-down list and keeps its entries and the port table in step.
#include "host/port_list.h"

#include <cstddef>
#include <cstdio>
#include <span>

#include <dbt.h>

namespace {

// The list shows `shown`; a scan fills `scanned`, and the two swap when they differ.
port_table tables[2];
port_table* shown = &tables[0];
port_table* scanned = &tables[1];
port_scan_memory scan_memory{};
bool picked = false;

std::span<const port_path> entries(const port_table* table) {
    return {table->path.data(), static_cast<std::size_t>(table->count)};
}

// The probe start-up has always used: a port that the C runtime can open for reading is
// listed. Timed, so that a slow one is not tried again at every drop-down.
port_probe_result probe(const port_path& path) {
    const DWORD start = GetTickCount();
    std::FILE* file = std::fopen(path.data(), "r");
    if (file != nullptr) {
        std::fclose(file);
    }
    return {file != nullptr, static_cast<std::uint32_t>(GetTickCount() - start)};
}

// Shows `scanned` when it differs from the list.
void show_scanned(HWND list) {
    if (port_lists_equal(entries(shown), entries(scanned))) {
        return;
    }
    const auto selected = static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0));
    const int select =
        port_selection_after_scan(entries(shown), selected, entries(scanned), picked);
    SendMessageA(list, CB_RESETCONTENT, 0, 0);
    for (const port_path& path : entries(scanned)) {
        SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(path.data()));
    }
    SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(select), 0);
    port_table* previous = shown;
    shown = scanned;
    scanned = previous;
}

} // namespace

void port_list_scan(HWND list, port_scan_kind kind, const port_path* held) {
    port_scan(kind, shown, scanned, &scan_memory, probe, held);
    show_scanned(list);
}

void port_list_picked() {
    picked = true;
}

const char* port_list_path(int index) {
    return index >= 0 && index < shown->count ? shown->path[static_cast<std::size_t>(index)].data()
                                              : nullptr;
}

bool port_list_change_event(WPARAM event) {
    return event == DBT_DEVNODES_CHANGED || event == DBT_DEVICEARRIVAL ||
           event == DBT_DEVICEREMOVECOMPLETE;
}

port_path port_list_removal(WPARAM event, LPARAM data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    constexpr std::size_t name_at = offsetof(DEV_BROADCAST_PORT_A, dbcp_name);
    if (event != DBT_DEVICEREMOVECOMPLETE || header == nullptr ||
        header->dbch_devicetype != DBT_DEVTYP_PORT || header->dbch_size <= name_at) {
        return {};
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(header);
    return port_named_in_notice(bytes + name_at, header->dbch_size - name_at);
}

void port_list_remove(HWND list, const port_path& port) {
    *scanned = *shown;
    if (port_table_remove(scanned, port)) {
        show_scanned(list);
    }
}
