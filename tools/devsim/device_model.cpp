// The simulated boot code: finds requests in the received bytes, answers them from its flash and
// shapes each reply by the fault switches and the line rate, all in virtual time.
#include "tools/devsim/device_model.h"

#include <algorithm>
#include <cstring>

namespace {

enum class parse_result { frame, bad_checksum, need_more, none };

// splitmix64: small, fast and the same on every platform, so a seed replays a run exactly.
std::uint64_t next_random(device_model* m) {
    m->rng += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = m->rng;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint32_t random_below(device_model* m, std::uint32_t bound) {
    return bound == 0 ? 0 : static_cast<std::uint32_t>(next_random(m) % bound);
}

bool known_command(std::uint8_t command) {
    return command == CMD_WRITE_BLOCK || command == CMD_CHECKSUM || command == CMD_RESTART;
}

std::uint32_t kind_of(std::uint8_t command) {
    switch (command) {
    case CMD_WRITE_BLOCK:
        return REQ_WRITE_BLOCK;
    case CMD_RESTART:
        return REQ_RESTART;
    default:
        return REQ_CHECKSUM;
    }
}

// Recognises a frame at the start of p by its sub-command's length and its checksum. Frames of
// an unknown sub-command from our address are found by the first length whose checksum fits.
parse_result classify(const std::uint8_t* p, std::int32_t avail, std::int32_t* len) {
    if (avail < HEADER_LEN) {
        return parse_result::need_more;
    }
    const bool ours = p[DEVICE_ADDRESS_AT] == DEVICE_ADDRESS && p[FUNCTION_AT] == FUNC_ENCAPSULATED;
    const std::uint8_t command = p[COMMAND_AT];
    if (known_command(command)) {
        std::int32_t want = command == CMD_CHECKSUM ? CHECKSUM_QUERY_LEN : RESTART_FRAME_LEN;
        if (command == CMD_WRITE_BLOCK) {
            if (avail < BLOCK_DATA_AT) {
                return parse_result::need_more;
            }
            const std::int32_t n = read_be16(p + LENGTH_AT);
            if (n > MAX_BLOCK_DATA) {
                return parse_result::none; // no frame can be that long
            }
            want = BLOCK_FRAME_OVERHEAD + n;
        }
        if (avail < want) {
            return parse_result::need_more;
        }
        *len = want;
        if (reply_is_valid(p, want)) {
            return parse_result::frame;
        }
        return ours ? parse_result::bad_checksum : parse_result::none;
    }
    if (!ours) {
        return parse_result::none;
    }
    // Running checksum over the first i bytes, compared with the two bytes after them.
    std::uint16_t crc = CRC16_INITIAL;
    const std::int32_t limit = std::min(avail, DEVICE_MAX_FRAME);
    for (std::int32_t i = 0; i + CRC_LEN <= limit; ++i) {
        if (i >= HEADER_LEN && p[i] == (crc & 0xFF) && p[i + 1] == (crc >> 8)) {
            *len = i + CRC_LEN;
            return parse_result::frame;
        }
        crc = crc16_update(crc, p + i, 1);
    }
    return avail >= DEVICE_MAX_FRAME ? parse_result::none : parse_result::need_more;
}

// Offset of the first complete, well-checksummed frame starting in [from, until), or -1.
std::int32_t find_frame(const std::uint8_t* p, std::int32_t avail, std::int32_t from,
                        std::int32_t until) {
    for (std::int32_t k = from; k < std::min(avail, until); ++k) {
        std::int32_t len = 0;
        if (classify(p + k, avail - k, &len) == parse_result::frame) {
            return k;
        }
    }
    return -1;
}

std::uint64_t line_us(const device_model* m, std::int64_t count) {
    return m->config.pacing ? device_wire_us(count) : 0;
}

void emit(device_model* m, const device_event& ev) {
    if (m->on_event != nullptr) {
        m->on_event(m->event_context, &ev);
    }
}

device_event blank_event(std::uint64_t at_us, std::uint32_t kind) {
    device_event ev{};
    ev.at_us = at_us;
    ev.kind = kind;
    ev.pieces = 1;
    ev.corrupt_offset = -1;
    return ev;
}

void queue_piece(device_model* m, std::uint64_t at_us, const std::uint8_t* bytes,
                 std::int32_t len) {
    if (m->out_count >= DEVICE_OUT_CAPACITY) {
        ++m->counters.out_overflow;
        return;
    }
    device_piece& piece = m->out[static_cast<std::size_t>(m->out_count++)];
    piece.at_us = at_us;
    piece.seq = m->out_seq++;
    piece.len = std::min(len, DEVICE_PIECE_MAX);
    std::memcpy(piece.bytes.data(), bytes, static_cast<std::size_t>(piece.len));
}

bool selected(device_model* m, const reply_selector& sel, std::uint32_t kind) {
    if ((sel.kinds & (1u << kind)) == 0) {
        return false;
    }
    if (sel.nth > 0) {
        return m->seen[kind] == static_cast<std::uint32_t>(sel.nth);
    }
    if (sel.permille >= 1000) {
        return true;
    }
    return sel.permille > 0 && random_below(m, 1000) < sel.permille;
}

// Shapes one reply by the faults and queues its pieces. Returns true when it went out whole
// and unchanged; *last_at is then the time its last byte reaches the tool.
bool send_reply(device_model* m, std::uint32_t kind, std::uint8_t* reply, std::int32_t len,
                std::uint64_t ready_us, device_event* ev, std::uint64_t* last_at) {
    const fault_config& f = m->config.faults;
    *last_at = ready_us;
    if (selected(m, f.drop, kind)) {
        ++m->counters.replies_dropped;
        ev->fate = FATE_DROPPED;
        emit(m, *ev);
        return false;
    }
    if (selected(m, f.corrupt, kind)) {
        // A changed byte always breaks a CRC-16, so the tool sees a damaged frame.
        ev->corrupted = true;
        ev->corrupt_offset =
            static_cast<std::int32_t>(random_below(m, static_cast<std::uint32_t>(len)));
        reply[ev->corrupt_offset] ^= static_cast<std::uint8_t>(1 + random_below(m, 255));
        ++m->counters.replies_corrupted;
    }
    std::uint64_t t = std::max(ready_us, m->line_free_us);
    if (selected(m, f.delay, kind)) {
        // A late reply is held outside the device's own timing: it does not hold up the line
        // for the replies that follow it.
        ev->delayed_ms = f.delay_ms;
        t = ready_us + std::uint64_t{f.delay_ms} * 1000;
        ++m->counters.replies_delayed;
    }
    std::array<std::int32_t, DEVICE_PIECE_MAX + 1> cuts{};
    std::int32_t pieces = 1;
    if (len > 1 && selected(m, f.split, kind)) {
        pieces = std::clamp(f.split_pieces, 2, std::min(len, DEVICE_PIECE_MAX));
        std::array<std::int32_t, DEVICE_PIECE_MAX> positions{};
        for (std::int32_t i = 0; i < len - 1; ++i) {
            positions[static_cast<std::size_t>(i)] = i + 1;
        }
        for (std::int32_t i = 0; i < pieces - 1; ++i) {
            const auto j = i + static_cast<std::int32_t>(
                                   random_below(m, static_cast<std::uint32_t>(len - 1 - i)));
            std::swap(positions[static_cast<std::size_t>(i)],
                      positions[static_cast<std::size_t>(j)]);
        }
        std::sort(positions.begin(), positions.begin() + (pieces - 1));
        for (std::int32_t i = 0; i < pieces - 1; ++i) {
            cuts[static_cast<std::size_t>(i + 1)] = positions[static_cast<std::size_t>(i)];
        }
        ++m->counters.replies_split;
    }
    cuts[static_cast<std::size_t>(pieces)] = len;
    ev->pieces = pieces;
    for (std::int32_t i = 0; i < pieces; ++i) {
        const std::int32_t from = cuts[static_cast<std::size_t>(i)];
        const std::int32_t n = cuts[static_cast<std::size_t>(i + 1)] - from;
        if (i > 0) {
            t += std::uint64_t{f.split_gap_ms} * 1000;
        }
        t += line_us(m, n);
        queue_piece(m, t, reply + from, n);
    }
    if (ev->delayed_ms == 0) {
        m->line_free_us = t;
    }
    *last_at = t;
    ++m->counters.replies_sent;
    emit(m, *ev);
    return !ev->corrupted && pieces == 1;
}

void ignore_frame(device_model* m, std::uint32_t reason, const std::uint8_t* p, std::int32_t len,
                  std::uint64_t now_us) {
    ++m->counters.ignored[reason];
    device_event ev = blank_event(now_us, EVENT_IGNORED);
    ev.fate = FATE_IGNORED;
    ev.reason = reason;
    ev.length = static_cast<std::uint32_t>(len);
    if (reason == IGNORED_NOISE || reason == IGNORED_INCOMPLETE) {
        emit(m, ev); // no header worth quoting; the length is the byte count
        return;
    }
    ev.command = len >= HEADER_LEN ? p[COMMAND_AT] : 0;
    ev.address = len >= FLASH_ADDRESS_END ? read_be32(p + FLASH_ADDRESS_AT) : 0;
    if (len >= BLOCK_DATA_AT && p[COMMAND_AT] == CMD_WRITE_BLOCK) {
        ev.length = read_be16(p + LENGTH_AT);
    } else if (len >= CHECKSUM_HEADER_LEN && p[COMMAND_AT] == CMD_CHECKSUM) {
        ev.length = read_be32(p + LENGTH_AT);
    }
    emit(m, ev);
}

bool region_in_flash(std::uint32_t address, std::uint32_t length, std::uint32_t lowest) {
    return length > 0 && address >= lowest &&
           std::uint64_t{address} - DEVICE_FLASH_BASE + length <= DEVICE_FLASH_SIZE;
}

void handle_checksum(device_model* m, const std::uint8_t* p, std::uint64_t start_us,
                     device_event* ev) {
    std::array<std::uint8_t, CHECKSUM_REPLY_LEN> reply{};
    std::memcpy(reply.data(), p, CHECKSUM_HEADER_LEN);
    std::uint16_t crc =
        crc16_modbus(m->flash.data() + (ev->address - DEVICE_FLASH_BASE), ev->length);
    // Every region longer than the contact request's counts as the image.
    if (m->config.faults.wrong_image_crc && ev->length > CONTACT_REGION_LEN) {
        crc ^= 0x5A5A;
        ev->wrong_crc = true;
        ++m->counters.wrong_crcs;
    }
    reply[REMOTE_CRC_AT] = static_cast<std::uint8_t>(crc >> 8);
    reply[REMOTE_CRC_AT + 1] = static_cast<std::uint8_t>(crc);
    frame_seal(reply.data(), CHECKSUM_REPLY_LEN);
    std::uint64_t last_at = 0;
    send_reply(m, REQ_CHECKSUM, reply.data(), CHECKSUM_REPLY_LEN, start_us, ev, &last_at);
}

void handle_block(device_model* m, const std::uint8_t* p, std::uint64_t start_us,
                  device_event* ev) {
    std::memcpy(m->flash.data() + (ev->address - DEVICE_FLASH_BASE), p + BLOCK_DATA_AT, ev->length);
    ++m->counters.blocks_written;
    m->counters.bytes_written += ev->length;
    m->busy_until_us = start_us + std::uint64_t{m->config.flash_ms} * 1000;
    std::array<std::uint8_t, BLOCK_ACK_LEN> reply{};
    std::memcpy(reply.data(), p, BLOCK_DATA_AT);
    frame_seal(reply.data(), BLOCK_ACK_LEN);
    std::uint64_t last_at = 0;
    send_reply(m, REQ_WRITE_BLOCK, reply.data(), BLOCK_ACK_LEN, m->busy_until_us, ev, &last_at);
}

void handle_restart(device_model* m, const std::uint8_t* p, std::uint64_t start_us,
                    device_event* ev) {
    std::array<std::uint8_t, RESTART_ACK_LEN> reply{};
    std::memcpy(reply.data(), p, HEADER_LEN);
    frame_seal(reply.data(), RESTART_ACK_LEN);
    ++m->counters.restarts;
    m->restart_ack_intact = send_reply(m, REQ_RESTART, reply.data(), RESTART_ACK_LEN, start_us, ev,
                                       &m->restart_done_us);
}

// Answers a request with an exception reply instead of carrying it out.
void refuse_request(device_model* m, std::uint32_t kind, std::uint64_t start_us, device_event* ev) {
    std::array<std::uint8_t, EXCEPTION_REPLY_LEN> reply{};
    reply[DEVICE_ADDRESS_AT] = DEVICE_ADDRESS;
    reply[FUNCTION_AT] = FUNC_ENCAPSULATED_EXCEPTION;
    std::int32_t len = REPLY_MIN_LEN;
    if (!m->config.faults.refusal_without_code) {
        reply[EXCEPTION_CODE_AT] = m->config.faults.refusal_code;
        len = EXCEPTION_REPLY_LEN;
    }
    frame_seal(reply.data(), len);
    ev->refused = true;
    ++m->counters.refusals;
    std::uint64_t last_at = 0;
    send_reply(m, kind, reply.data(), len, start_us, ev, &last_at);
}

void handle_frame(device_model* m, const std::uint8_t* p, std::int32_t len, std::uint64_t now_us) {
    if (p[DEVICE_ADDRESS_AT] != DEVICE_ADDRESS) {
        ignore_frame(m, IGNORED_ADDRESS, p, len, now_us);
        return;
    }
    if (p[FUNCTION_AT] != FUNC_ENCAPSULATED) {
        ignore_frame(m, IGNORED_FUNCTION, p, len, now_us);
        return;
    }
    const std::uint8_t command = p[COMMAND_AT];
    if (!known_command(command)) {
        ignore_frame(m, IGNORED_COMMAND, p, len, now_us);
        return;
    }
    device_event ev = blank_event(now_us, EVENT_REQUEST);
    ev.command = command;
    if (command == CMD_CHECKSUM) {
        ev.address = read_be32(p + FLASH_ADDRESS_AT);
        ev.length = read_be32(p + LENGTH_AT);
        if (!region_in_flash(ev.address, ev.length, DEVICE_FLASH_BASE)) {
            ignore_frame(m, IGNORED_RANGE, p, len, now_us);
            return;
        }
    } else if (command == CMD_WRITE_BLOCK) {
        ev.address = read_be32(p + FLASH_ADDRESS_AT);
        ev.length = read_be16(p + LENGTH_AT);
        // The boot code keeps its own pages below the image region out of reach.
        if (!region_in_flash(ev.address, ev.length, DEVICE_IMAGE_BASE)) {
            ignore_frame(m, IGNORED_RANGE, p, len, now_us);
            return;
        }
    } else if (m->restarts_ignored < m->config.faults.ignore_restarts) {
        ++m->restarts_ignored;
        ignore_frame(m, IGNORED_BY_FAULT, p, len, now_us);
        return;
    }
    const std::uint32_t kind = kind_of(command);
    ++m->seen[kind];
    ++m->counters.requests[kind];
    const std::uint64_t start_us = std::max(now_us, m->busy_until_us);
    if (selected(m, m->config.faults.refuse, kind)) {
        refuse_request(m, kind, start_us, &ev);
        return;
    }
    switch (kind) {
    case REQ_CHECKSUM:
        handle_checksum(m, p, start_us, &ev);
        break;
    case REQ_WRITE_BLOCK:
        handle_block(m, p, start_us, &ev);
        break;
    default:
        handle_restart(m, p, start_us, &ev);
        break;
    }
}

void drop_noise(device_model* m, std::int32_t count, std::int32_t* dropped) {
    if (!m->in_noise) {
        m->in_noise = true;
        ++m->counters.ignored[IGNORED_NOISE];
    }
    m->counters.noise_in += static_cast<std::uint32_t>(count);
    *dropped += count;
}

// Logs the noise dropped since the last frame, before whatever comes next is logged.
void report_noise(device_model* m, std::int32_t* dropped, std::uint64_t now_us) {
    if (*dropped > 0) {
        device_event ev = blank_event(now_us, EVENT_IGNORED);
        ev.fate = FATE_IGNORED;
        ev.reason = IGNORED_NOISE;
        ev.length = static_cast<std::uint32_t>(*dropped);
        emit(m, ev);
        *dropped = 0;
    }
}

// Handles every complete frame in the receive buffer and keeps what may still become one.
void parse_rx(device_model* m, std::uint64_t now_us) {
    std::int32_t pos = 0;
    std::int32_t dropped = 0;
    while (pos < m->rx_len) {
        const std::uint8_t* p = m->rx.data() + pos;
        const std::int32_t avail = m->rx_len - pos;
        std::int32_t len = 0;
        const parse_result r = classify(p, avail, &len);
        if (r == parse_result::frame) {
            m->in_noise = false;
            report_noise(m, &dropped, now_us);
            handle_frame(m, p, len, now_us);
            pos += len;
        } else if (r == parse_result::bad_checksum) {
            // A damaged header may hide the start of a good frame; prefer the good frame.
            const std::int32_t k = find_frame(p, avail, 1, len);
            if (k > 0) {
                drop_noise(m, k, &dropped);
                pos += k;
            } else {
                m->in_noise = false;
                report_noise(m, &dropped, now_us);
                ignore_frame(m, IGNORED_CHECKSUM, p, len, now_us);
                pos += len;
            }
        } else if (r == parse_result::none) {
            drop_noise(m, 1, &dropped);
            pos += 1;
        } else {
            // Waiting for the rest of a proper header: bytes come in order, so a frame later in
            // the buffer cannot be complete before it. Anything else gives way to a complete
            // frame found behind it.
            const bool proper_header =
                avail >= HEADER_LEN && p[DEVICE_ADDRESS_AT] == DEVICE_ADDRESS &&
                p[FUNCTION_AT] == FUNC_ENCAPSULATED && known_command(p[COMMAND_AT]);
            const std::int32_t k = proper_header ? -1 : find_frame(p, avail, 1, avail);
            if (k <= 0) {
                break;
            }
            drop_noise(m, k, &dropped);
            pos += k;
        }
    }
    if (pos > 0) {
        std::memmove(m->rx.data(), m->rx.data() + pos, static_cast<std::size_t>(m->rx_len - pos));
        m->rx_len -= pos;
    }
    report_noise(m, &dropped, now_us);
}

void power_up(device_model* m) {
    m->powered = true;
    emit(m, blank_event(m->power_at_us, EVENT_POWER_UP));
    const std::int32_t noise = std::clamp(m->config.faults.noise_bytes, 0, DEVICE_MAX_NOISE);
    if (noise == 0) {
        return;
    }
    std::uint64_t t = std::max(m->power_at_us, m->line_free_us);
    std::array<std::uint8_t, DEVICE_PIECE_MAX> buf{};
    for (std::int32_t sent = 0; sent < noise;) {
        const std::int32_t n = std::min(noise - sent, DEVICE_PIECE_MAX);
        for (std::int32_t i = 0; i < n; ++i) {
            buf[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(next_random(m));
        }
        t += line_us(m, n);
        queue_piece(m, t, buf.data(), n);
        sent += n;
    }
    m->line_free_us = t;
    m->counters.noise_out += static_cast<std::uint32_t>(noise);
    device_event ev = blank_event(m->power_at_us, EVENT_NOISE);
    ev.length = static_cast<std::uint32_t>(noise);
    emit(m, ev);
}

} // namespace

std::uint64_t device_wire_us(std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    const std::uint64_t bits = static_cast<std::uint64_t>(count) * DEVICE_BITS_PER_BYTE * 1000000;
    return (bits + DEVICE_LINE_BAUD - 1) / DEVICE_LINE_BAUD;
}

void device_init(device_model* model, const device_config* config) {
    model->config = *config;
    model->config.image_size = std::min(
        model->config.image_size, DEVICE_FLASH_SIZE - (DEVICE_IMAGE_BASE - DEVICE_FLASH_BASE));
    model->flash.fill(0xFF);
    model->powered = false;
    model->seen_first_byte = false;
    model->power_at_us = 0;
    model->rng = config->faults.seed;
    model->rx_len = 0;
    model->last_rx_us = 0;
    model->in_noise = false;
    model->busy_until_us = 0;
    model->line_free_us = 0;
    model->rx_line_free_us = 0;
    model->out_count = 0;
    model->out_seq = 0;
    model->seen = {};
    model->restarts_ignored = 0;
    model->restart_done_us = DEVICE_NEVER_US;
    model->restart_ack_intact = false;
    model->counters = device_counters{};
    model->on_event = nullptr;
    model->event_context = nullptr;
}

void device_feed(device_model* m, std::span<const std::uint8_t> bytes, std::uint64_t now_us) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (n == 0) {
        return;
    }
    if (m->config.pace_requests) {
        now_us = std::max(now_us, m->rx_line_free_us) + device_wire_us(n);
        m->rx_line_free_us = now_us;
    }
    auto wire = [&](std::int64_t count) {
        return m->config.pace_requests ? device_wire_us(count) : line_us(m, count);
    };
    const std::uint64_t span_us = wire(n);
    // Byte i arrived once the bytes up to and including it had crossed the line.
    auto arrival = [&](std::int64_t i) { return now_us - std::min(now_us, span_us - wire(i + 1)); };
    std::int64_t first = 0;
    if (!m->seen_first_byte) {
        m->seen_first_byte = true;
        m->power_at_us = arrival(0) + std::uint64_t{m->config.power_delay_ms} * 1000;
    }
    if (!m->powered) {
        // An unplugged device hears nothing: bytes before power-up are lost, even mid-frame.
        while (first < n && arrival(first) < m->power_at_us) {
            ++first;
        }
        m->counters.unpowered_in += static_cast<std::uint32_t>(first);
        if (first == n) {
            return;
        }
        power_up(m);
    }
    if (m->rx_len > 0 && arrival(first) > m->last_rx_us + DEVICE_FRAME_SILENCE_US) {
        // Leftovers of a run of noise belong to that run; anything else was a frame's start.
        if (m->in_noise) {
            m->counters.noise_in += static_cast<std::uint32_t>(m->rx_len);
        } else {
            ignore_frame(m, IGNORED_INCOMPLETE, m->rx.data(), m->rx_len, m->last_rx_us);
        }
        m->rx_len = 0;
        m->in_noise = false;
    }
    m->last_rx_us = now_us;
    while (first < n) {
        std::int32_t room = DEVICE_RX_CAPACITY - m->rx_len;
        if (room == 0) {
            // Cannot happen while frames are at most 1035 bytes; never overrun the buffer.
            std::int32_t dropped = 0;
            drop_noise(m, 1, &dropped);
            std::memmove(m->rx.data(), m->rx.data() + 1, static_cast<std::size_t>(m->rx_len - 1));
            --m->rx_len;
            room = 1;
        }
        const auto take = static_cast<std::int32_t>(std::min<std::int64_t>(room, n - first));
        std::memcpy(m->rx.data() + m->rx_len, bytes.data() + first, static_cast<std::size_t>(take));
        m->rx_len += take;
        first += take;
        parse_rx(m, now_us);
    }
}

std::uint64_t device_next_output_us(const device_model* m) {
    std::uint64_t best = DEVICE_NEVER_US;
    for (std::int32_t i = 0; i < m->out_count; ++i) {
        best = std::min(best, m->out[static_cast<std::size_t>(i)].at_us);
    }
    return best;
}

bool device_take_output(device_model* m, std::uint64_t now_us, device_piece* piece) {
    std::int32_t best = -1;
    for (std::int32_t i = 0; i < m->out_count; ++i) {
        const device_piece& c = m->out[static_cast<std::size_t>(i)];
        if (c.at_us > now_us) {
            continue;
        }
        const device_piece* b = best < 0 ? nullptr : &m->out[static_cast<std::size_t>(best)];
        if (b == nullptr || c.at_us < b->at_us || (c.at_us == b->at_us && c.seq < b->seq)) {
            best = i;
        }
    }
    if (best < 0) {
        return false;
    }
    *piece = m->out[static_cast<std::size_t>(best)];
    m->out[static_cast<std::size_t>(best)] = m->out[static_cast<std::size_t>(m->out_count - 1)];
    --m->out_count;
    return true;
}

std::uint32_t device_ignored_total(const device_model* m) {
    std::uint32_t total = 0;
    for (const std::uint32_t n : m->counters.ignored) {
        total += n;
    }
    return total;
}

std::uint32_t device_requests_total(const device_model* m) {
    std::uint32_t total = 0;
    for (const std::uint32_t n : m->counters.requests) {
        total += n;
    }
    return total;
}

const char* request_kind_name(std::uint32_t kind) {
    switch (kind) {
    case REQ_CHECKSUM:
        return "checksum";
    case REQ_WRITE_BLOCK:
        return "block";
    case REQ_RESTART:
        return "restart";
    default:
        return "?";
    }
}

const char* ignore_reason_name(std::uint32_t reason) {
    switch (reason) {
    case IGNORED_CHECKSUM:
        return "bad checksum";
    case IGNORED_ADDRESS:
        return "not our address";
    case IGNORED_FUNCTION:
        return "wrong function";
    case IGNORED_COMMAND:
        return "unknown sub-command";
    case IGNORED_RANGE:
        return "address or length out of range";
    case IGNORED_NOISE:
        return "noise";
    case IGNORED_INCOMPLETE:
        return "incomplete frame";
    case IGNORED_BY_FAULT:
        return "restart ignored by fault switch";
    default:
        return "?";
    }
}

namespace {

// "P" or "P.D" followed by '%', at most 100; the result in thousandths.
bool parse_percent(const char* s, std::uint32_t* permille) {
    std::uint32_t whole = 0;
    std::uint32_t tenth = 0;
    int digits = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        whole = whole * 10 + static_cast<std::uint32_t>(*s - '0');
        if (++digits > 3) {
            return false;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (*s == '.') {
        ++s;
        if (*s < '0' || *s > '9') {
            return false;
        }
        tenth = static_cast<std::uint32_t>(*s++ - '0');
    }
    if (s[0] != '%' || s[1] != '\0') {
        return false;
    }
    const std::uint32_t value = whole * 10 + tenth;
    if (value > 1000) {
        return false;
    }
    *permille = value;
    return true;
}

bool parse_count(const char* s, std::int32_t* out) {
    std::int64_t v = 0;
    if (*s == '\0') {
        return false;
    }
    for (; *s != '\0'; ++s) {
        if (*s < '0' || *s > '9' || v > 100000000) {
            return false;
        }
        v = v * 10 + (*s - '0');
    }
    if (v < 1) {
        return false;
    }
    *out = static_cast<std::int32_t>(v);
    return true;
}

} // namespace

bool parse_reply_selector(const char* text, reply_selector* out) {
    if (text == nullptr) {
        return false;
    }
    reply_selector sel;
    sel.kinds = KIND_BIT_ALL;
    sel.permille = 1000;
    const char* rest = text;
    const char* colon = std::strchr(text, ':');
    const std::size_t name_len =
        colon != nullptr ? static_cast<std::size_t>(colon - text) : std::strlen(text);
    bool named = false;
    for (std::uint32_t k = 0; k < REQ_KIND_COUNT; ++k) {
        const char* name = request_kind_name(k);
        if (name_len == std::strlen(name) && std::strncmp(text, name, name_len) == 0) {
            sel.kinds = 1u << k;
            named = true;
        }
    }
    if (named) {
        if (colon == nullptr) {
            *out = sel;
            return true;
        }
        rest = colon + 1;
    } else if (colon != nullptr) {
        return false;
    }
    if (std::strcmp(rest, "all") == 0) {
        *out = sel;
        return true;
    }
    if (parse_percent(rest, &sel.permille)) {
        *out = sel;
        return true;
    }
    if (named && parse_count(rest, &sel.nth)) {
        sel.permille = 0;
        *out = sel;
        return true;
    }
    return false;
}
