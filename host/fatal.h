// The fatal error report: a warning box quoting the failure and the system's last error,
// a low tone, and exit code 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t FATAL_MESSAGE_SIZE = 1000;

// Writes the system's description of code into out (room bytes, terminator included) and
// returns the number of characters written, 0 when there is none.
using describe_error_fn = std::int32_t (*)(std::uint32_t code, char* out, std::int32_t room);

// Builds the report's text into out, always terminated and always ending in the closing
// lines, however long the description is. Returns the text's length.
std::size_t format_fatal_message(std::span<char> out, const char* text, std::uint32_t code,
                                 describe_error_fn describe);

// Shows the report for text and the thread's last error, then ends the process with code 1.
[[noreturn]] void fatal_error(const char* text);
