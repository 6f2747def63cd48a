// The far end of a pseudo-terminal for the serial-layer test, and a maker of socket files.
//   pty_peer PATHFILE     opens a pseudo-terminal, writes its slave path to PATHFILE and
//                         answers single request bytes until killed:
//                         'A' -> "0123456789", 'B' -> "stale-bytes", 'C' -> "fresh"
//   pty_peer --socket P   creates a unix socket file at P (opening it as a file fails, which
//                         hides a serial device node when bind-mounted over it) and exits
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

int make_socket(const char* path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || std::strlen(path) >= sizeof address.sun_path) {
        std::perror("socket");
        return 1;
    }
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        return 1;
    }
    close(fd);
    return 0;
}

void write_all(int fd, const char* text) {
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = write(fd, text, left);
        if (n <= 0) {
            return;
        }
        text += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--socket") == 0) {
        return make_socket(argv[2]);
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: pty_peer PATHFILE | pty_peer --socket PATH\n");
        return 2;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    // Raw both ways: no echo and no line editing, whatever the other side sets later.
    termios settings{};
    tcgetattr(master, &settings);
    cfmakeraw(&settings);
    tcsetattr(master, TCSANOW, &settings);
    // Holding the slave open keeps the line up between the test program's opens, so that
    // reads of the master do not fail with EIO.
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::perror("slave");
        return 1;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out, "%s\n", ptsname(master));
    std::fclose(out);

    for (;;) {
        char request = 0;
        const ssize_t n = read(master, &request, 1);
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            usleep(10000);
            continue;
        }
        switch (n == 1 ? request : 0) {
        case 'A':
            write_all(master, "0123456789");
            break;
        case 'B':
            write_all(master, "stale-bytes");
            break;
        case 'C':
            write_all(master, "fresh");
            break;
        default:
            break;
        }
    }
}
