// Checks the system's SHA-256 (CNG) against known digests, then runs the image check of
// fwt.exe's own resources as start-up does (both resources found, the image hashed, the digests
// compared) on an intact and on a damaged copy, timing it. Before that, with the DLL search
// narrowed as start-up narrows it, loads CNG the Windows 7 way (by its full path in the system
// folder) and a DLL that does not exist. Prints one line per check and exits 0 when all pass. The
// first check's time is a figure for the benchmark (its target, 20 ms, is judged there); here it
// only has to stay under a bound far above it, which catches a hang.
// Usage: fwt-imagecheckprobe.exe INTACT_EXE DAMAGED_EXE
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/image_digest.h"
#include "host/system_dll.h"
#include "host/system_sha256.h"

#include <windows.h>

#include "tests/wine/win/probe_report.h"

namespace {

// Ten times the 20 ms the check may cost start-up: a busy machine stays well under it.
constexpr double HANG_MS = 200.0;
constexpr int WARM_RUNS = 20;

void to_hex(const std::uint8_t* digest, char* out) {
    for (std::size_t i = 0; i < IMAGE_DIGEST_SIZE; ++i) {
        std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
    }
}

void known_answer(const char* what, const std::uint8_t* bytes, std::uint32_t length,
                  const char* expected) {
    std::uint8_t digest[IMAGE_DIGEST_SIZE] = {};
    char hex[2 * IMAGE_DIGEST_SIZE + 1] = {};
    const bool done = system_sha256(bytes, length, digest);
    to_hex(digest, hex);
    check(done && std::strcmp(hex, expected) == 0, what, hex);
}

const std::uint8_t* raw_resource(HMODULE module, const char* name, std::uint32_t* length) {
    *length = 0;
    HRSRC found = FindResourceA(module, name, MAKEINTRESOURCEA(10)); // RT_RCDATA
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    if (loaded == nullptr) {
        return nullptr;
    }
    *length = SizeofResource(module, found);
    return static_cast<const std::uint8_t*>(LockResource(loaded));
}

// The check as start-up runs it, on another executable's resources.
image_check check_image_of(HMODULE module) {
    std::uint32_t length = 0;
    std::uint32_t stored_length = 0;
    const std::uint8_t* image = raw_resource(module, "BINFILE", &length);
    const std::uint8_t* stored = raw_resource(module, "BINFILE_SHA256", &stored_length);
    return image_check_digest(image, length, stored, stored_length, system_sha256);
}

HMODULE load_as_data(const char* path) {
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    char detail[512];
    std::snprintf(detail, sizeof detail, "%s (error %lu)", path,
                  module != nullptr ? 0UL : GetLastError());
    check(module != nullptr, "load the executable's resources", detail);
    return module;
}

// The way Windows 7 without KB2533623 takes: the full path from GetSystemDirectoryW. The DLL
// is let go again, so that the first image check below loads it as start-up does.
void load_by_full_path() {
    HMODULE module = system_dll_load_by(L"bcrypt.dll", DLL_BY_FULL_PATH);
    wchar_t folder[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    const UINT folder_length = GetSystemDirectoryW(folder, MAX_PATH);
    if (module != nullptr) {
        GetModuleFileNameW(module, path, MAX_PATH);
    }
    const bool in_folder = folder_length > 0 && _wcsnicmp(path, folder, folder_length) == 0 &&
                           path[folder_length] == L'\\';
    char detail[2 * MAX_PATH];
    std::snprintf(detail, sizeof detail, "%ls (error %lu)", path,
                  module != nullptr ? 0UL : GetLastError());
    check(module != nullptr && in_folder, "bcrypt.dll by its full path in the system folder",
          detail);
    if (module != nullptr) {
        FreeLibrary(module);
    }
}

// A system DLL that is missing fails with the loader's error, which the fatal report quotes.
void load_missing() {
    SetLastError(0);
    HMODULE module = system_dll_load(L"fwt-no-such-system.dll");
    const DWORD error = GetLastError();
    char detail[64];
    std::snprintf(detail, sizeof detail, "error %lu", error);
    check(module == nullptr && error == ERROR_MOD_NOT_FOUND, "a missing system DLL", detail);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: fwt-imagecheckprobe.exe INTACT_EXE DAMAGED_EXE\n");
        return 2;
    }
    HMODULE intact = load_as_data(argv[1]);
    HMODULE damaged = load_as_data(argv[2]);
    if (intact == nullptr || damaged == nullptr) {
        return 1;
    }
    char detail[128];
    dll_search_narrow();
    load_by_full_path();
    load_missing();

    // The first check of the process opens CNG's provider for the first time, as start-up does.
    const double t0 = now_ms();
    const image_check first = check_image_of(intact);
    const double first_ms = now_ms() - t0;
    std::snprintf(detail, sizeof detail, "%s in %.3f ms (bound %.0f ms)",
                  first == IMAGE_INTACT ? "intact" : "NOT intact", first_ms, HANG_MS);
    check(first == IMAGE_INTACT && first_ms < HANG_MS, "first check of the intact image", detail);

    std::vector<double> warm;
    for (int i = 0; i < WARM_RUNS; ++i) {
        const double t = now_ms();
        const image_check again = check_image_of(intact);
        warm.push_back(now_ms() - t);
        if (again != IMAGE_INTACT) {
            check(false, "repeated check of the intact image", "NOT intact");
            break;
        }
    }
    std::sort(warm.begin(), warm.end());
    std::snprintf(detail, sizeof detail, "median %.3f ms, longest %.3f ms over %zu runs",
                  warm[warm.size() / 2], warm.back(), warm.size());
    check(true, "repeated checks of the intact image", detail);

    check(check_image_of(damaged) == IMAGE_DAMAGED, "the copy with a flipped byte", "damaged");

    known_answer("SHA-256 of nothing", nullptr, 0,
                 "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    known_answer("SHA-256 of \"abc\"", reinterpret_cast<const std::uint8_t*>("abc"), 3,
                 "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::vector<std::uint8_t> million(1000000, 'a');
    known_answer("SHA-256 of a million \"a\"", million.data(),
                 static_cast<std::uint32_t>(million.size()),
                 "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    return probe_failures == 0 ? 0 : 1;
}
