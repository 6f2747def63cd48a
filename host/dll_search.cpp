// The ways of loading a system DLL and the full path of the second.
#include "host/dll_search.h"

#include <cwchar>

dll_way dll_first_way(bool search_flags) {
    return search_flags ? DLL_FROM_SYSTEM32 : DLL_BY_FULL_PATH;
}

dll_way dll_next_way(dll_way failed) {
    switch (failed) {
    case DLL_FROM_SYSTEM32:
        return DLL_BY_FULL_PATH;
    case DLL_BY_FULL_PATH:
    case DLL_GIVE_UP:
        return DLL_GIVE_UP;
    }
    return DLL_GIVE_UP;
}

bool dll_system_path(std::span<wchar_t> out, std::span<const wchar_t> folder, std::uint32_t result,
                     const wchar_t* name) {
    if (out.empty()) {
        return false;
    }
    out[0] = L'\0';
    // 0: the call failed; result >= folder.size(): the folder did not fit and result is the
    // size it needs.
    if (result == 0 || result >= folder.size()) {
        return false;
    }
    // The folder ends in a backslash only when it is a drive's root.
    const bool separator = folder[result - 1] != L'\\';
    const std::size_t name_length = std::wcslen(name);
    const std::size_t length = result + (separator ? 1 : 0) + name_length;
    if (length >= out.size()) {
        return false;
    }
    std::wmemcpy(out.data(), folder.data(), result);
    std::size_t at = result;
    if (separator) {
        out[at++] = L'\\';
    }
    std::wmemcpy(out.data() + at, name, name_length);
    out[length] = L'\0';
    return true;
}
