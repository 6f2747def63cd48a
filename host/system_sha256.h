// SHA-256 through the system's own cryptography service.
#pragma once

#include <cstdint>

// Computes the SHA-256 of length bytes into digest (32 bytes) with CNG (bcrypt.dll). Returns
// false when the service fails; the thread's last error then holds its status code.
bool system_sha256(const std::uint8_t* bytes, std::uint32_t length, std::uint8_t* digest);
