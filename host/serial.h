// The serial port on Windows: open, configure for the link, read, write, purge and close.
#pragma once

#include <cstdint>

#include "engine/host_api.h"

// Opens a device path such as \\.\com3 for exclusive use; SERIAL_INVALID_HANDLE on failure,
// with the Windows error number in *error (never 0 then; 0 on success). `error` may be null.
serial_handle serial_open(const char* path, std::uint32_t* error);
// Sets 8E1 at the given speed, no flow control, DTR and RTS off, and reads that return within
// about a millisecond. Returns 0, or -1 (with a line on standard error) when the current
// settings cannot be read; the port is then left as it was.
int serial_configure(serial_handle port, std::uint32_t baud);
void serial_close(serial_handle port);
// The Windows error number of the last read or write that failed since the last call; 0 when
// none did.
std::uint32_t serial_take_failure();
// Asks the port for its status (ClearCommError) and, when that fails, for its settings
// (GetCommState); each error is the Windows error number of that call's failure, 0 when it
// succeeded or was not made.
void serial_query(serial_handle port, std::uint32_t* clear_error, std::uint32_t* state_error);
