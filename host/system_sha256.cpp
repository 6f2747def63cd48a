// SHA-256 of a buffer through CNG (bcrypt.dll), the system's own cryptography service. CNG is
// loaded at run time from the system folder: bcrypt.dll is not among Windows' KnownDLLs, so a
// static import would be looked for in the program's own folder first.
#include "host/system_sha256.h"

#include "host/system_dll.h"

#include <windows.h>

#include <bcrypt.h>
#include <winternl.h>

namespace {

// CNG's functions once loaded; open stays null until all are there.
struct cng_functions {
    decltype(&BCryptOpenAlgorithmProvider) open;
    decltype(&BCryptCloseAlgorithmProvider) close;
    decltype(&BCryptCreateHash) create_hash;
    decltype(&BCryptHashData) hash_data;
    decltype(&BCryptFinishHash) finish_hash;
    decltype(&BCryptDestroyHash) destroy_hash;
};

cng_functions cng{};

// Loads CNG and finds its functions; false with the last error set (the loader's, or
// ERROR_PROC_NOT_FOUND) when it cannot.
bool cng_load() {
    if (cng.open != nullptr) {
        return true;
    }
    HMODULE module = system_dll_load(L"bcrypt.dll");
    if (module == nullptr) {
        return false;
    }
    cng_functions found{};
    found.close =
        system_dll_function<decltype(found.close)>(module, "BCryptCloseAlgorithmProvider");
    found.create_hash =
        system_dll_function<decltype(found.create_hash)>(module, "BCryptCreateHash");
    found.hash_data = system_dll_function<decltype(found.hash_data)>(module, "BCryptHashData");
    found.finish_hash =
        system_dll_function<decltype(found.finish_hash)>(module, "BCryptFinishHash");
    found.destroy_hash =
        system_dll_function<decltype(found.destroy_hash)>(module, "BCryptDestroyHash");
    found.open = system_dll_function<decltype(found.open)>(module, "BCryptOpenAlgorithmProvider");
    if (found.close == nullptr || found.create_hash == nullptr || found.hash_data == nullptr ||
        found.finish_hash == nullptr || found.destroy_hash == nullptr || found.open == nullptr) {
        return false;
    }
    cng = found;
    return true;
}

// CNG reports an NTSTATUS and leaves the last error alone. The fatal report quotes the last
// error and the system's text for it, which exists for Windows error codes only, so the status
// goes there translated by ntdll, which is in every process (so this loads nothing).
void set_last_error_from_status(NTSTATUS status) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto translate =
        ntdll == nullptr
            ? nullptr
            : system_dll_function<decltype(&RtlNtStatusToDosError)>(ntdll, "RtlNtStatusToDosError");
    if (translate != nullptr) {
        SetLastError(translate(status));
    }
}

} // namespace

bool system_sha256(const std::uint8_t* bytes, std::uint32_t length, std::uint8_t* digest) {
    if (!cng_load()) {
        return false;
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    NTSTATUS status = cng.open(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status)) {
        BCRYPT_HASH_HANDLE hash = nullptr;
        // No buffer for the hash object: CNG allocates it itself (Windows 7 and later).
        status = cng.create_hash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
        if (BCRYPT_SUCCESS(status)) {
            // CNG's prototype takes a non-const pointer; it only reads the input.
            status = cng.hash_data(hash, const_cast<PUCHAR>(bytes), length, 0);
            if (BCRYPT_SUCCESS(status)) {
                status = cng.finish_hash(hash, digest, 32, 0);
            }
            cng.destroy_hash(hash);
        }
        cng.close(algorithm, 0);
    }
    if (!BCRYPT_SUCCESS(status)) {
        set_last_error_from_status(status);
        return false;
    }
    return true;
}
