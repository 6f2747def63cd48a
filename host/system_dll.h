// DLLs of the system loaded from the system folder only, and the process's own DLL search
// narrowed to it, so that no file placed beside fwt.exe (a Downloads folder, say) named like a
// system DLL is ever loaded into the tool.
#pragma once

#include "host/dll_search.h"

#include <windows.h>

// Narrows the DLL search of the process to the system folder where the system can
// (SetDefaultDllDirectories, looked up at run time: Windows 7 without KB2533623 lacks it) and
// drops the current folder from the search (SetDllDirectoryW(L"")). Called first in WinMain,
// before anything can load a library.
void dll_search_narrow();

// Loads a DLL of the system (a bare name such as L"bcrypt.dll") from the system folder only:
// by the search flag where dll_search_narrow found it, else, or when that fails, by its full
// path. Null when it cannot; the last error then says why.
HMODULE system_dll_load(const wchar_t* name);

// The same by one given way only (DLL_FROM_SYSTEM32 or DLL_BY_FULL_PATH).
HMODULE system_dll_load_by(const wchar_t* name, dll_way way);

// A function of a loaded module, as the type the caller names; null with the last error set
// when the module lacks it.
template <typename Function> Function system_dll_function(HMODULE module, const char* name) {
    // GetProcAddress's FARPROC passes through the generic function pointer type, which converts
    // to any other without a cast-function-type warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
