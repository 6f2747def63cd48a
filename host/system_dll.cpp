// Loading system DLLs from the system folder, and the search narrowed at start-up.
#include "host/system_dll.h"

namespace {

// Whether kernel32 has SetDefaultDllDirectories, and with it LoadLibraryExW's search flags.
bool search_flags = false;

using set_default_dll_directories_fn = BOOL(WINAPI*)(DWORD);

} // namespace

void dll_search_narrow() {
    // kernel32 is in every process, so this loads nothing.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto set_default = kernel == nullptr
                                 ? nullptr
                                 : system_dll_function<set_default_dll_directories_fn>(
                                       kernel, "SetDefaultDllDirectories");
    if (set_default != nullptr) {
        search_flags = true;
        set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    SetDllDirectoryW(L"");
    // Neither failure matters to the caller: the tool's own loads name the system folder anyway.
    SetLastError(0);
}

HMODULE system_dll_load_by(const wchar_t* name, dll_way way) {
    switch (way) {
    case DLL_FROM_SYSTEM32:
        return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    case DLL_BY_FULL_PATH: {
        wchar_t folder[MAX_PATH];
        wchar_t path[MAX_PATH + 32];
        const UINT result = GetSystemDirectoryW(folder, MAX_PATH);
        if (!dll_system_path(path, folder, result, name)) {
            // On failure the call has set the last error; a folder too long has not.
            if (result != 0) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
            }
            return nullptr;
        }
        return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    case DLL_GIVE_UP:
        break;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE system_dll_load(const wchar_t* name) {
    HMODULE module = nullptr;
    for (dll_way way = dll_first_way(search_flags); module == nullptr && way != DLL_GIVE_UP;
         way = dll_next_way(way)) {
        module = system_dll_load_by(name, way);
    }
    return module;
}
