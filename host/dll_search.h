// How the tool loads a DLL of the system from the system folder only, whichever Windows it runs
// on (no platform calls): the way to try first and next, and the full path of the Windows 7
// way. The calls themselves are in system_dll.cpp.
#pragma once

#include <cstdint>
#include <span>

enum dll_way {
    // LoadLibraryExW(name, LOAD_LIBRARY_SEARCH_SYSTEM32): Windows 8 and later, and Windows 7
    // with KB2533623, which brought the search flags and SetDefaultDllDirectories together.
    DLL_FROM_SYSTEM32,
    // LoadLibraryExW(system folder + name, LOAD_WITH_ALTERED_SEARCH_PATH): any Windows; the
    // DLL's own imports are then looked for in its folder, not the program's.
    DLL_BY_FULL_PATH,
    DLL_GIVE_UP,
};

// The first way: by the search flag where kernel32 has SetDefaultDllDirectories, else by the
// full path.
dll_way dll_first_way(bool search_flags);

// The way after `failed` failed: the full path after the search flag (it is as safe, and a
// loader that refuses the flag still takes it); nothing after the full path.
dll_way dll_next_way(dll_way failed);

// Writes the system folder joined with `name` into out, terminated. `folder` is the buffer given
// to GetSystemDirectoryW and `result` what it returned: 0 on failure, the length without the
// terminator when the folder fit, the size it needs when it did not. False, with out empty,
// when the folder is unknown or the path does not fit.
bool dll_system_path(std::span<wchar_t> out, std::span<const wchar_t> folder, std::uint32_t result,
                     const wchar_t* name);
