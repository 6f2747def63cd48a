// Formats the text of the fatal error report into a fixed buffer (no platform calls).
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/fatal.h"

namespace {

constexpr char CLOSING[] = "\n\n The program will now abort\n\n\n";
constexpr std::size_t CLOSING_LEN = sizeof CLOSING - 1;

struct message_buffer {
    std::span<char> out;
    std::size_t len;
};

// Room left for body text: the closing lines and the terminator are always kept free.
std::size_t body_room(const message_buffer& m) {
    const std::size_t reserved = m.len + CLOSING_LEN + 1;
    return m.out.size() > reserved ? m.out.size() - reserved : 0;
}

void append_body(message_buffer& m, const char* format, ...) __attribute__((format(printf, 2, 3)));

void append_body(message_buffer& m, const char* format, ...) {
    const std::size_t room = body_room(m);
    if (room == 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    const int wanted = std::vsnprintf(m.out.data() + m.len, room + 1, format, args);
    va_end(args);
    if (wanted > 0) {
        m.len += static_cast<std::size_t>(wanted) < room ? static_cast<std::size_t>(wanted) : room;
    }
    m.out[m.len] = '\0';
}

} // namespace

std::size_t format_fatal_message(std::span<char> out, const char* text, std::uint32_t code,
                                 describe_error_fn describe) {
    if (out.size() <= CLOSING_LEN) {
        if (!out.empty()) {
            out[0] = '\0';
        }
        return 0;
    }
    message_buffer m{out, 0};
    out[0] = '\0';
    append_body(m, "\n\nAn Error has occurred as follows:\n");
    append_body(m, "          %s\n", text != nullptr ? text : "");
    if (code != 0) {
        append_body(m, "Error number %ld reported\n",
                    static_cast<long>(static_cast<std::int32_t>(code)));
        const std::size_t room = body_room(m);
        if (describe != nullptr && room > 1) {
            // The description may use what is left once the closing lines are set aside; a
            // count it returns beyond that room is not believed.
            const std::int32_t got =
                describe(code, out.data() + m.len, static_cast<std::int32_t>(room + 1));
            if (got > 0) {
                m.len +=
                    static_cast<std::size_t>(got) < room ? static_cast<std::size_t>(got) : room;
            }
            out[m.len] = '\0';
        }
    }
    std::memcpy(out.data() + m.len, CLOSING, CLOSING_LEN + 1);
    return m.len + CLOSING_LEN;
}
