// SHA-256 through the system's own cryptography service.
#pragma once

#include <cstdint>

// Computes the SHA-256 of length bytes into digest (32 bytes) with CNG (bcrypt.dll, loaded from
// the system folder at the first call). Returns false when CNG cannot be loaded or fails; the
// thread's last error then holds the loader's error or CNG's status as a Windows error code.
bool system_sha256(const std::uint8_t* bytes, std::uint32_t length, std::uint8_t* digest);
