// What the update engine needs from the platform. Each host (the Windows shell, the tests,
// the tools) links its own definitions of these functions; the engine includes nothing else.
#pragma once

#include <cstdint>

// An open serial port. The Windows host stores its HANDLE here, so the invalid value is the
// same bit pattern as INVALID_HANDLE_VALUE.
using serial_handle = void*;
inline serial_handle const SERIAL_INVALID_HANDLE =
    reinterpret_cast<serial_handle>(static_cast<std::intptr_t>(-1));

#if defined(__GNUC__)
#define FWT_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define FWT_PRINTF_LIKE(fmt, args)
#endif

// Returns within about a millisecond with the bytes that had arrived (0 to max), copied to
// destination; 0 also covers a failed read. Bytes not taken stay queued for the next read.
std::int32_t serial_read(serial_handle port, std::uint8_t* destination, std::int32_t max);
// Writes count bytes and returns how many were written; the engine ignores the result.
std::int32_t serial_write(serial_handle port, const std::uint8_t* source, std::int32_t count);
// Discards everything queued in the driver in both directions, then flushes.
void serial_purge(serial_handle port);

// The platform's 32-bit millisecond counter; it wraps, so callers take unsigned differences.
std::uint32_t host_tick_ms();
// Blocks the calling thread.
void host_sleep_ms(std::uint32_t ms);
// Sounds a tone and returns when it ends.
void host_beep(std::uint32_t frequency_hz, std::uint32_t duration_ms);

// Diagnostic text to standard output; does not flush by itself.
void trace_printf(const char* format, ...) FWT_PRINTF_LIKE(1, 2);
void trace_flush();
// Replaces the whole content of the one-line status field.
void status_printf(const char* format, ...) FWT_PRINTF_LIKE(1, 2);
