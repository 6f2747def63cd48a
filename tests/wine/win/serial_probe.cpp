// Exercises the serial layer on a port whose far end is tests/wine/pty_peer: reads with
// nothing pending, reads smaller than what is pending, and the purge. Prints one line per
// check and exits 0 when all pass.
#include <cstdio>
#include <cstring>

#include "host/serial.h"

#include <windows.h>

#include "tests/wine/win/probe_report.h"

namespace {

void request(serial_handle port, char what) {
    const auto byte = static_cast<std::uint8_t>(what);
    serial_write(port, &byte, 1);
    Sleep(300); // the peer answers at once; this leaves its reply queued in the driver
}

std::int32_t read_text(serial_handle port, char* out, std::int32_t max) {
    std::memset(out, 0, static_cast<std::size_t>(max) + 1);
    return serial_read(port, reinterpret_cast<std::uint8_t*>(out), max);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fwt-serialprobe \\\\.\\comN\n");
        return 2;
    }
    serial_handle port = serial_open(argv[1], nullptr);
    check(port != SERIAL_INVALID_HANDLE, "open", argv[1]);
    if (port == SERIAL_INVALID_HANDLE) {
        return 1;
    }
    check(serial_configure(port, 115200) == 0, "configure", "115200 8E1");

    char text[128];
    char detail[160];
    double worst = 0;
    std::int32_t got = 0;
    for (int i = 0; i < 20; ++i) {
        const double start = now_ms();
        got += read_text(port, text, 64);
        const double took = now_ms() - start;
        worst = took > worst ? took : worst;
    }
    std::snprintf(detail, sizeof detail, "%d bytes, slowest of 20 reads %.2f ms", got, worst);
    check(got == 0 && worst < 20.0, "read with nothing pending returns 0 at once", detail);

    request(port, 'A');
    got = read_text(port, text, 4);
    std::snprintf(detail, sizeof detail, "%d bytes \"%s\"", got, text);
    check(got == 4 && std::strcmp(text, "0123") == 0, "read of 4 with 10 pending", detail);
    got = read_text(port, text, 64);
    std::snprintf(detail, sizeof detail, "%d bytes \"%s\"", got, text);
    check(got == 6 && std::strcmp(text, "456789") == 0, "next read returns the rest", detail);

    request(port, 'B');
    serial_purge(port);
    request(port, 'C');
    got = read_text(port, text, 64);
    std::snprintf(detail, sizeof detail, "%d bytes \"%s\"", got, text);
    check(got == 5 && std::strcmp(text, "fresh") == 0, "purge drops what arrived before it",
          detail);

    serial_close(port);
    return probe_failures == 0 ? 0 : 1;
}
