// SHA-256 of a buffer through CNG (bcrypt.dll), the system's own cryptography service.
#include "host/system_sha256.h"

#include <windows.h>

#include <bcrypt.h>
#include <winternl.h>

bool system_sha256(const std::uint8_t* bytes, std::uint32_t length, std::uint8_t* digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status)) {
        BCRYPT_HASH_HANDLE hash = nullptr;
        // No buffer for the hash object: CNG allocates it itself (Windows 7 and later).
        status = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
        if (BCRYPT_SUCCESS(status)) {
            // CNG's prototype takes a non-const pointer; it only reads the input.
            status = BCryptHashData(hash, const_cast<PUCHAR>(bytes), length, 0);
            if (BCRYPT_SUCCESS(status)) {
                status = BCryptFinishHash(hash, digest, 32, 0);
            }
            BCryptDestroyHash(hash);
        }
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    if (!BCRYPT_SUCCESS(status)) {
        // CNG reports an NTSTATUS and leaves the last error alone. The fatal report quotes the
        // last error and the system's text for it, which exists for Windows error codes only,
        // so the status goes there translated.
        SetLastError(RtlNtStatusToDosError(status));
        return false;
    }
    return true;
}
