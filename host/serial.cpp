// The serial port on Windows: synchronous Win32 file calls on a COM device.
#include "host/serial.h"

#include "host/run_log.h"

#include <windows.h>

namespace {

std::uint32_t io_error = 0;

// GetLastError, never 0 for a call that failed.
std::uint32_t last_error() {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<std::uint32_t>(error) : static_cast<std::uint32_t>(-1);
}

} // namespace

serial_handle serial_open(const char* path, std::uint32_t* error) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (error != nullptr) {
        *error = h == INVALID_HANDLE_VALUE ? last_error() : 0;
    }
    return h == INVALID_HANDLE_VALUE ? SERIAL_INVALID_HANDLE : h;
}

int serial_configure(serial_handle port, std::uint32_t baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        stderr_printf("Could not get Port State\n");
        return -1;
    }
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(port, &timeouts)) {
        stderr_printf("Could not read comm timeouts\n");
        return -1;
    }

    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    // Parity is generated on output; received parity errors are neither checked nor replaced.
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;

    // A total read time-out of 1 ms with no interval limit makes ReadFile return at once with
    // whatever the driver holds, so a tick never waits on the line.
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;

    SetCommState(port, &dcb);
    SetCommTimeouts(port, &timeouts);
    SetCommMask(port, 0);
    return 0;
}

std::int32_t serial_read(serial_handle port, std::uint8_t* destination, std::int32_t max) {
    if (destination == nullptr || max <= 0) {
        return 0;
    }
    DWORD got = 0;
    if (!ReadFile(port, destination, static_cast<DWORD>(max), &got, nullptr)) {
        io_error = last_error();
        return 0;
    }
    return got > static_cast<DWORD>(max) ? max : static_cast<std::int32_t>(got);
}

std::int32_t serial_write(serial_handle port, const std::uint8_t* source, std::int32_t count) {
    if (source == nullptr || count <= 0) {
        return 0;
    }
    DWORD written = 0;
    if (!WriteFile(port, source, static_cast<DWORD>(count), &written, nullptr)) {
        io_error = last_error();
        return 0;
    }
    return static_cast<std::int32_t>(written);
}

void serial_purge(serial_handle port) {
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    FlushFileBuffers(port);
}

void serial_close(serial_handle port) {
    CloseHandle(port);
}

std::uint32_t serial_take_failure() {
    const std::uint32_t error = io_error;
    io_error = 0;
    return error;
}

void serial_query(serial_handle port, std::uint32_t* clear_error, std::uint32_t* state_error) {
    DWORD errors = 0;
    COMSTAT status{};
    *clear_error = ClearCommError(port, &errors, &status) != 0 ? 0 : last_error();
    *state_error = 0;
    // A port that answers the first query needs no second one (each costs a call into the
    // driver, four times a second for the whole run).
    if (*clear_error != 0) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        *state_error = GetCommState(port, &dcb) != 0 ? 0 : last_error();
    }
}
