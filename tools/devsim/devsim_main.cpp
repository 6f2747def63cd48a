// fwt-devsim: the simulated device's boot code on a new pseudo-terminal or on a given serial port.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "tools/devsim/device_model.h"

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int IDLE_POLL_MS = 200;
constexpr int DRAIN_WAIT_MS = 2000;

struct options {
    const char* tty_path = nullptr;
    const char* link_path = nullptr;
    const char* out_path = nullptr;
    bool keep_running = false;
    device_config config;
};

struct program {
    int fd = -1;       // the pty master, or the given tty
    int slave_fd = -1; // our own hold on the pty's terminal side
    char tty_name[256] = {};
    bool link_made = false;
    std::uint64_t clock_zero_us = 0;
    std::uint64_t first_rx_us = DEVICE_NEVER_US;
    device_piece pending{}; // a piece the port did not take whole
    std::int32_t pending_off = 0;
    bool has_pending = false;
    std::uint32_t reported_restarts = 0;
};

// The model holds 512 KiB of flash: keep it out of the stack.
device_model g_device;
volatile std::sig_atomic_t g_signal = 0;

void on_signal(int signo) {
    g_signal = signo;
}

const char* const USAGE_HEAD =
    "usage: fwt-devsim [options]\n"
    "Simulates the device's boot code on a new pseudo-terminal (its path is the first line of\n"
    "standard output) or on a given serial port, configured 115200 8E1 raw.\n";
const char* const USAGE_TAIL =
    "SEL is KIND:N (the Nth request of that kind), KIND or KIND:all, KIND:P% (a share),\n"
    "all, or P%; KIND is checksum, block or restart.\n";

// Decimal or 0x-prefixed hexadecimal, within [low, high].
bool parse_number(const char* text, unsigned long long low, unsigned long long high,
                  unsigned long long* out) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) {
        return false;
    }
    *out = v;
    return true;
}

enum class takes { nothing, path, selector, number };
using U64 = unsigned long long;

// One command-line option: its usage line, what its value is and where it goes. `apply` gets
// the value's text and, for numbers, the value already checked against [low, high]; it returns
// false when the text is bad.
struct option_def {
    const char* name;
    const char* value_name; // "" for a switch
    const char* help;
    takes value;
    U64 low;
    U64 high;
    const char* bad_value; // the usage error for a missing or bad value, %s = the name
    bool (*apply)(options* o, const char* text, U64 number);
};

constexpr U64 MAX_MS = 3600000;
constexpr U64 MAX_IMAGE = DEVICE_FLASH_SIZE - (DEVICE_IMAGE_BASE - DEVICE_FLASH_BASE);
constexpr const char* NEED_MS = "%s needs milliseconds (0 to 3600000)";
constexpr const char* NEED_PATH = "%s needs a path";
constexpr const char* NEED_COUNT = "%s needs a count (noise: at most 4096)";
constexpr const char* BAD_SELECTOR = "bad selector for %s (try block:3, checksum:all, 5%%, all)";

constexpr option_def OPTIONS[] = {
    {"--tty", "PATH", "use this serial port instead of a new pseudo-terminal", takes::path, 0, 0,
     NEED_PATH,
     [](options* o, const char* s, U64) {
         o->tty_path = s;
         return true;
     }},
    {"--link", "PATH", "make a symlink PATH pointing at the terminal", takes::path, 0, 0, NEED_PATH,
     [](options* o, const char* s, U64) {
         o->link_path = s;
         return true;
     }},
    {"--out", "FILE", "write the image region of the flash to FILE at restart", takes::path, 0, 0,
     NEED_PATH,
     [](options* o, const char* s, U64) {
         o->out_path = s;
         return true;
     }},
    {"--image-size", "BYTES", "size of that region (default 0x1D800)", takes::number, 1, MAX_IMAGE,
     "%s needs a size from 1 to 0x7C000",
     [](options* o, const char*, U64 v) {
         o->config.image_size = static_cast<std::uint32_t>(v);
         return true;
     }},
    {"--keep-running", "", "stay up after a restart, ready for another update", takes::nothing, 0,
     0, nullptr,
     [](options* o, const char*, U64) {
         o->keep_running = true;
         return true;
     }},
    {"--power-delay-ms", "MS", "power up MS after the first byte (default 0: at the first byte)",
     takes::number, 0, MAX_MS, NEED_MS,
     [](options* o, const char*, U64 v) {
         o->config.power_delay_ms = static_cast<std::uint32_t>(v);
         return true;
     }},
    {"--flash-ms", "MS", "time to write one block before its acknowledgement (default 20)",
     takes::number, 0, MAX_MS, NEED_MS,
     [](options* o, const char*, U64 v) {
         o->config.flash_ms = static_cast<std::uint32_t>(v);
         return true;
     }},
    {"--no-pacing", "", "send replies at once instead of at 11 bits a byte, 115200 baud",
     takes::nothing, 0, 0, nullptr,
     [](options* o, const char*, U64) {
         o->config.pacing = false;
         return true;
     }},
    {"--pace-requests", "", "take a request as arrived only after its wire time", takes::nothing, 0,
     0, nullptr,
     [](options* o, const char*, U64) {
         o->config.pace_requests = true;
         return true;
     }},
    {"--seed", "N", "seed of the fault generator (default 1)", takes::number, 0, UINT64_MAX,
     "%s needs a number",
     [](options* o, const char*, U64 v) {
         o->config.faults.seed = v;
         return true;
     }},
    {"--drop", "SEL", "drop the selected replies", takes::selector, 0, 0, BAD_SELECTOR,
     [](options* o, const char* s, U64) {
         return parse_reply_selector(s, &o->config.faults.drop);
     }},
    {"--corrupt", "SEL", "change one byte of the selected replies", takes::selector, 0, 0,
     BAD_SELECTOR,
     [](options* o, const char* s, U64) {
         return parse_reply_selector(s, &o->config.faults.corrupt);
     }},
    {"--split", "SEL", "send the selected replies in pieces", takes::selector, 0, 0, BAD_SELECTOR,
     [](options* o, const char* s, U64) {
         return parse_reply_selector(s, &o->config.faults.split);
     }},
    {"--split-pieces", "N", "pieces per split reply (default 2)", takes::number, 2, 15,
     "%s needs a number from 2 to 15",
     [](options* o, const char*, U64 v) {
         o->config.faults.split_pieces = static_cast<std::int32_t>(v);
         return true;
     }},
    {"--split-gap-ms", "MS", "silence between the pieces (default 20)", takes::number, 0, MAX_MS,
     NEED_MS,
     [](options* o, const char*, U64 v) {
         o->config.faults.split_gap_ms = static_cast<std::uint32_t>(v);
         return true;
     }},
    {"--delay", "SEL", "hold back the selected replies", takes::selector, 0, 0, BAD_SELECTOR,
     [](options* o, const char* s, U64) {
         return parse_reply_selector(s, &o->config.faults.delay);
     }},
    {"--delay-ms", "MS", "by this long (default 10500, past the tool's 10 s time-out)",
     takes::number, 0, MAX_MS, NEED_MS,
     [](options* o, const char*, U64 v) {
         o->config.faults.delay_ms = static_cast<std::uint32_t>(v);
         return true;
     }},
    {"--wrong-crc", "", "report a wrong checksum for the whole image", takes::nothing, 0, 0,
     nullptr,
     [](options* o, const char*, U64) {
         o->config.faults.wrong_image_crc = true;
         return true;
     }},
    {"--ignore-restarts", "K", "ignore the first K restart requests", takes::number, 0, 1000000,
     NEED_COUNT,
     [](options* o, const char*, U64 v) {
         o->config.faults.ignore_restarts = static_cast<std::int32_t>(v);
         return true;
     }},
    {"--noise", "N", "send N random bytes at power-up", takes::number, 0, DEVICE_MAX_NOISE,
     NEED_COUNT,
     [](options* o, const char*, U64 v) {
         o->config.faults.noise_bytes = static_cast<std::int32_t>(v);
         return true;
     }},
    {"--refuse", "SEL", "answer the selected requests with an exception reply", takes::selector, 0,
     0, BAD_SELECTOR,
     [](options* o, const char* s, U64) {
         return parse_reply_selector(s, &o->config.faults.refuse);
     }},
    {"--refusal-code", "CODE", "exception code of those replies (default 4)", takes::number, 0, 255,
     "%s needs a code from 0 to 255",
     [](options* o, const char*, U64 v) {
         o->config.faults.refusal_code = static_cast<std::uint8_t>(v);
         return true;
     }},
    {"--refusal-without-code", "", "send them as four bytes, with no exception code",
     takes::nothing, 0, 0, nullptr,
     [](options* o, const char*, U64) {
         o->config.faults.refusal_without_code = true;
         return true;
     }},
};

void print_usage(std::FILE* to) {
    std::fputs(USAGE_HEAD, to);
    for (const option_def& opt : OPTIONS) {
        char left[32];
        std::snprintf(left, sizeof left, "%s %s", opt.name, opt.value_name);
        std::fprintf(to, "  %-22s %s\n", left, opt.help);
    }
    std::fprintf(to, "  %-22s %s\n", "--help", "show this text");
    std::fputs(USAGE_TAIL, to);
}

int usage_error(const char* format, const char* what) {
    std::fprintf(stderr, "fwt-devsim: ");
    std::fprintf(stderr, format, what);
    std::fprintf(stderr, "\n");
    print_usage(stderr);
    return EXIT_USAGE;
}

const option_def* find_option(const char* name) {
    for (const option_def& opt : OPTIONS) {
        if (std::strcmp(name, opt.name) == 0) {
            return &opt;
        }
    }
    return nullptr;
}

// Returns -1 when the options are good, else the exit code (0 after --help).
int parse_options(int argc, char** argv, options* o) {
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        char inline_name[64];
        const char* value = nullptr;
        // --name=value is accepted as well as --name value.
        if (const char* eq = std::strchr(name, '='); eq != nullptr && name[0] == '-') {
            const auto n = static_cast<std::size_t>(eq - name);
            if (n >= sizeof inline_name) {
                return usage_error("unknown option %s", name);
            }
            std::memcpy(inline_name, name, n);
            inline_name[n] = '\0';
            name = inline_name;
            value = eq + 1;
        }
        if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0) {
            print_usage(stdout);
            return 0;
        }
        const option_def* opt = find_option(name);
        if (opt == nullptr) {
            return usage_error("unknown option %s", argv[i]);
        }
        if (opt->value == takes::nothing) {
            if (value != nullptr) {
                return usage_error("%s takes no value", name);
            }
        } else if (value == nullptr && i + 1 < argc) {
            value = argv[++i];
        }
        unsigned long long number = 0;
        const bool good =
            opt->value == takes::nothing ||
            (opt->value == takes::path && value != nullptr && *value != '\0') ||
            opt->value == takes::selector ||
            (opt->value == takes::number && parse_number(value, opt->low, opt->high, &number));
        if (!good || !opt->apply(o, value, number)) {
            return usage_error(opt->bad_value, name);
        }
    }
    return -1;
}

std::uint64_t monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t now_us(const program* p) {
    return monotonic_us() - p->clock_zero_us;
}

// Raw bytes, 115200 baud, 8 data bits, even parity, one stop bit, no flow control.
bool configure_line(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(PARODD | CSTOPB | CRTSCTS);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool open_pty(program* p) {
    p->fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (p->fd < 0 || grantpt(p->fd) != 0 || unlockpt(p->fd) != 0) {
        std::fprintf(stderr, "fwt-devsim: cannot create a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return false;
    }
    if (ptsname_r(p->fd, p->tty_name, sizeof p->tty_name) != 0) {
        std::fprintf(stderr, "fwt-devsim: cannot name the pseudo-terminal\n");
        return false;
    }
    // Holding the terminal side open ourselves keeps the master from reporting EIO and hang-up
    // whenever no client has it open: before Wine opens the COM port, and after each client
    // closes it.
    p->slave_fd = open(p->tty_name, O_RDWR | O_NOCTTY);
    if (p->slave_fd < 0 || !configure_line(p->slave_fd)) {
        std::fprintf(stderr, "fwt-devsim: cannot configure %s: %s\n", p->tty_name,
                     std::strerror(errno));
        return false;
    }
    return fcntl(p->fd, F_SETFL, fcntl(p->fd, F_GETFL) | O_NONBLOCK) == 0;
}

bool open_tty(program* p, const char* path) {
    std::snprintf(p->tty_name, sizeof p->tty_name, "%s", path);
    p->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p->fd < 0 || !configure_line(p->fd)) {
        std::fprintf(stderr, "fwt-devsim: cannot open %s as 115200 8E1: %s\n", path,
                     std::strerror(errno));
        return false;
    }
    tcflush(p->fd, TCIOFLUSH);
    return true;
}

bool make_link(program* p, const char* link_path) {
    struct stat st {};
    if (lstat(link_path, &st) == 0) {
        // Replace a stale link from an earlier run, but never a real file.
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "fwt-devsim: %s exists and is not a symlink\n", link_path);
            return false;
        }
        unlink(link_path);
    }
    if (symlink(p->tty_name, link_path) != 0) {
        std::fprintf(stderr, "fwt-devsim: cannot link %s: %s\n", link_path, std::strerror(errno));
        return false;
    }
    p->link_made = true;
    return true;
}

const char* command_name(std::uint8_t command) {
    switch (command) {
    case CMD_CHECKSUM:
        return "checksum";
    case CMD_WRITE_BLOCK:
        return "block";
    case CMD_RESTART:
        return "restart";
    default:
        return "frame";
    }
}

// One log line per request, ignored frame and power-up on standard error.
void log_event(void*, const device_event* ev) {
    char what[160];
    const double t = static_cast<double>(ev->at_us) / 1e6;
    switch (ev->kind) {
    case EVENT_POWER_UP:
        std::fprintf(stderr, "%10.3f power up\n", t);
        return;
    case EVENT_NOISE:
        std::fprintf(stderr, "%10.3f sent %u noise bytes\n", t, ev->length);
        return;
    case EVENT_IGNORED:
        if (ev->reason == IGNORED_NOISE || ev->reason == IGNORED_INCOMPLETE) {
            std::fprintf(stderr, "%10.3f %u bytes: ignored (%s)\n", t, ev->length,
                         ignore_reason_name(ev->reason));
        } else {
            std::fprintf(stderr, "%10.3f %s cmd 0x%02x addr 0x%08x len %u: ignored (%s)\n", t,
                         command_name(ev->command), ev->command, ev->address, ev->length,
                         ignore_reason_name(ev->reason));
        }
        return;
    default:
        break;
    }
    // Each part is bounded by its own buffer and the whole by snprintf's truncation.
    char corrupt[32] = "";
    char pieces[32] = "";
    char delayed[32] = "";
    if (ev->corrupted) {
        std::snprintf(corrupt, sizeof corrupt, ", corrupted byte %d", ev->corrupt_offset);
    }
    if (ev->pieces > 1) {
        std::snprintf(pieces, sizeof pieces, ", in %d pieces", ev->pieces);
    }
    if (ev->delayed_ms > 0) {
        std::snprintf(delayed, sizeof delayed, ", delayed %u ms", ev->delayed_ms);
    }
    if (ev->fate == FATE_DROPPED) {
        std::snprintf(what, sizeof what, "dropped");
    } else {
        char verb[32] = "answered";
        if (ev->refused) {
            if (g_device.config.faults.refusal_without_code) {
                std::snprintf(verb, sizeof verb, "refused, no code");
            } else {
                std::snprintf(verb, sizeof verb, "refused, exception %02x",
                              g_device.config.faults.refusal_code);
            }
        }
        std::snprintf(what, sizeof what, "%s%s%s%s%s", verb, ev->wrong_crc ? ", wrong CRC" : "",
                      corrupt, pieces, delayed);
    }
    std::fprintf(stderr, "%10.3f %-8s addr 0x%08x len %u: %s\n", t, command_name(ev->command),
                 ev->address, ev->length, what);
}

// Writes every piece whose time has come; a piece the port does not take whole waits.
void write_due(program* p) {
    for (;;) {
        if (!p->has_pending) {
            if (!device_take_output(&g_device, now_us(p), &p->pending)) {
                return;
            }
            p->has_pending = true;
            p->pending_off = 0;
        }
        const auto left = static_cast<std::size_t>(p->pending.len - p->pending_off);
        const ssize_t n = write(p->fd, p->pending.bytes.data() + p->pending_off, left);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return;
            }
            // No reader on a real port, or a port gone away: the bytes are lost on the line.
            p->has_pending = false;
            continue;
        }
        p->pending_off += static_cast<std::int32_t>(n);
        if (p->pending_off >= p->pending.len) {
            p->has_pending = false;
        }
    }
}

bool save_image(const options* o) {
    if (o->out_path == nullptr) {
        return true;
    }
    std::FILE* file = std::fopen(o->out_path, "wb");
    const std::size_t size = g_device.config.image_size;
    const std::uint8_t* region = g_device.flash.data() + (DEVICE_IMAGE_BASE - DEVICE_FLASH_BASE);
    const bool ok = file != nullptr && std::fwrite(region, 1, size, file) == size;
    if (file != nullptr && std::fclose(file) != 0) {
        return false;
    }
    if (!ok) {
        std::fprintf(stderr, "fwt-devsim: cannot write %s: %s\n", o->out_path,
                     std::strerror(errno));
    }
    return ok;
}

void print_summary(const program* p, const char* event) {
    const std::uint64_t now = now_us(p);
    const std::uint64_t since = p->first_rx_us == DEVICE_NEVER_US ? now : p->first_rx_us;
    std::printf("%s: %u blocks written, %u bytes, %u requests, %u ignored frames, %.2f s\n", event,
                g_device.counters.blocks_written, g_device.counters.bytes_written,
                device_requests_total(&g_device), device_ignored_total(&g_device),
                static_cast<double>(now - since) / 1e6);
    std::fflush(stdout);
}

int poll_timeout_ms(const program* p) {
    if (p->has_pending) {
        return IDLE_POLL_MS; // woken by POLLOUT
    }
    const std::uint64_t next = device_next_output_us(&g_device);
    if (next == DEVICE_NEVER_US) {
        return IDLE_POLL_MS;
    }
    const std::uint64_t now = now_us(p);
    if (next <= now) {
        return 0;
    }
    const std::uint64_t ms = (next - now + 999) / 1000;
    return ms > IDLE_POLL_MS ? IDLE_POLL_MS : static_cast<int>(ms);
}

void sleep_ms(long ms) {
    timespec ts{0, ms * 1000000L};
    nanosleep(&ts, nullptr);
}

// Closing the master hangs up the terminal side, and Linux then throws away what its client has
// not read yet: give the client a moment to read the last acknowledgement first. Bytes written
// to the master reach the terminal side's queue a little later (the kernel hands them over from
// a work queue), so an empty queue right after the write proves nothing: look only after a pause.
void wait_for_client_to_read(const program* p) {
    sleep_ms(20);
    for (int waited = 0; p->slave_fd >= 0 && waited < DRAIN_WAIT_MS; waited += 10) {
        int unread = 0;
        if (ioctl(p->slave_fd, FIONREAD, &unread) != 0 || unread == 0) {
            return;
        }
        sleep_ms(10);
    }
}

// Runs until a restart has been acknowledged (unless keep_running) or a signal arrives.
// Returns the exit code.
int serve(program* p, const options* o) {
    std::uint8_t buf[4096];
    while (g_signal == 0) {
        write_due(p);
        if (g_device.counters.restarts > p->reported_restarts &&
            now_us(p) >= g_device.restart_done_us && !p->has_pending) {
            p->reported_restarts = g_device.counters.restarts;
            if (!save_image(o)) {
                return 1;
            }
            print_summary(p, "restart");
            if (!o->keep_running && g_device.restart_ack_intact) {
                wait_for_client_to_read(p);
                return 0;
            }
            if (!o->keep_running) {
                std::fprintf(stderr, "restart acknowledgement lost or damaged: staying up for the "
                                     "tool's next restart request\n");
            }
        }
        pollfd pfd{p->fd, static_cast<short>(POLLIN | (p->has_pending ? POLLOUT : 0)), 0};
        const int ready = poll(&pfd, 1, poll_timeout_ms(p));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "fwt-devsim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if ((pfd.revents & POLLIN) != 0) {
            const ssize_t n = read(p->fd, buf, sizeof buf);
            if (n > 0) {
                const std::uint64_t now = now_us(p);
                if (p->first_rx_us == DEVICE_NEVER_US) {
                    p->first_rx_us = now;
                }
                device_feed(&g_device,
                            std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), now);
                continue;
            }
        }
        if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // A port whose other end has gone keeps reporting it; do not spin on it.
            sleep_ms(10);
        }
    }
    print_summary(p, "stopped");
    return 0;
}

void close_program(program* p, const options* o) {
    if (p->link_made) {
        unlink(o->link_path);
    }
    if (p->slave_fd >= 0) {
        close(p->slave_fd);
    }
    if (p->fd >= 0) {
        close(p->fd);
    }
}

} // namespace

int main(int argc, char** argv) {
    options o;
    const int parsed = parse_options(argc, argv, &o);
    if (parsed >= 0) {
        return parsed;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    device_init(&g_device, &o.config);
    g_device.on_event = log_event;

    program p;
    p.clock_zero_us = monotonic_us();
    const bool opened = o.tty_path != nullptr ? open_tty(&p, o.tty_path) : open_pty(&p);
    if (!opened || (o.link_path != nullptr && !make_link(&p, o.link_path))) {
        close_program(&p, &o);
        return 1;
    }
    std::printf("%s\n", p.tty_name);
    std::fflush(stdout);
    const int code = serve(&p, &o);
    close_program(&p, &o);
    return code;
}
