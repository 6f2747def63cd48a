// libFuzzer target: drives the update job through the scripted host with fuzzer-written replies,
// arrival times, read costs and clock jumps, and checks the record and the wire after every step.
//
// Input layout (every byte past the end reads as zero):
//   header  4 bytes: blocks (1 + b % 4), short tail (b % 128 * 8 bytes cut from the last block),
//           image seed, clock start (0, or b * 64 ms before the 32-bit tick wraps)
//   then operations, one byte each (kind = low nibble, arg = high nibble) with their operands:
//     0  run arg + 1 ticks of 10 ms
//     1  one tick, then a gap of (next byte) * 4 ms
//     2  the clock jumps (arg + 1) s + (next byte) * 4 ms, then one tick
//     3  reply to the last request, sealed so it passes the frame check; delay = next byte * 2 ms;
//        arg bits: 1 wrong value (checksum or block address), 2 truncate to a shorter frame
//        before sealing, 4 flip a byte after sealing, 8 dribble in pieces over time
//     4  raw bytes: count = next byte % 64, then the bytes; delay = arg * 8 ms
//     5  a sealed frame of raw content: count = 2 + next byte % 62, then the bytes
//     6  (arg + 1) * 128 + next byte filler bytes of value (next byte), arriving at once
//     7  each read costs arg ms of virtual time
//     8  the button is pressed again (only once the run has ended)
//     9  simulated device: arg bit 1 answers every request after (next byte) * 2 ms,
//        arg bit 2 makes its checksum replies wrong
//     10..15  one tick
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "tests/support/scripted_host.h"

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr int MAX_STEPS = 2000;
constexpr std::uint32_t TICK_MS = 10;
constexpr std::size_t MAX_QUEUED = 64 * 1024; // bytes on the wire at once, keeps runs fast

// Reference CRC-16/MODBUS, table-driven, kept apart from the engine's bitwise one so that a
// fault in either shows as a disagreement.
constexpr std::array<std::uint16_t, 256> make_crc_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        }
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}
constexpr std::array<std::uint16_t, 256> CRC_TABLE = make_crc_table();

std::uint16_t ref_crc(std::span<const std::uint8_t> data) {
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t b : data) {
        crc = static_cast<std::uint16_t>((crc >> 8) ^ CRC_TABLE[(crc ^ b) & 0xFFu]);
    }
    return crc;
}

bool ref_valid(std::span<const std::uint8_t> f) {
    if (f.size() < 4) {
        return false;
    }
    const std::size_t n = f.size();
    return ref_crc(f.first(n - 2)) == (f[n - 2] | (f[n - 1] << 8));
}

void seal(bytes* f) {
    const std::uint16_t crc = ref_crc(*f);
    f->push_back(static_cast<std::uint8_t>(crc & 0xFF));
    f->push_back(static_cast<std::uint8_t>(crc >> 8));
}

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

[[noreturn]] void violation(const char* what) {
    std::fprintf(stderr, "engine_fuzz: invariant violated: %s\n", what);
    std::abort();
}

void require(bool ok, const char* what) {
    if (!ok) {
        violation(what);
    }
}

// Reads the fuzz input front to back.
struct script {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    bool done() const { return pos >= size; }
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
};

struct harness {
    script in;
    scripted::job_fixture* fx = nullptr;
    std::uint16_t image_crc = 0;
    bytes last_request;      // the most recent write, what a reply answers
    bytes added;             // bytes the simulated device queued during the current step
    bool peer_on = false;    // the simulated device answers every request by itself
    bool peer_wrong = false; // ... with a wrong checksum value
    std::uint32_t peer_delay = 0;
    bool verified = false; // a checksum reply equal to the local CRC was accepted this run
    int steps = 0;
    unsigned visited = 0; // bit per state reached, reported when reproducing an input
};

std::size_t queued_bytes() {
    std::size_t n = 0;
    for (const auto& c : scripted::host().rx) {
        n += c.bytes.size();
    }
    return n;
}

void deliver(std::uint32_t delay, std::span<const std::uint8_t> data) {
    if (queued_bytes() + data.size() > MAX_QUEUED) {
        return;
    }
    scripted::deliver(scripted::host().now + delay, data);
}

// The device's CRC over a region it was asked about; the part outside the image reads as nothing.
std::uint16_t region_crc(const harness& h, std::uint32_t address, std::uint32_t length) {
    const auto& image = h.fx->image;
    const std::uint32_t off = address - h.fx->job.image_base;
    if (off >= image.size()) {
        return 0xFFFF;
    }
    const std::size_t n = std::min<std::size_t>(length, image.size() - off);
    return ref_crc(std::span<const std::uint8_t>(image).subspan(off, n));
}

// A well-formed reply to a request: the block header echoed, the checksum request echoed with
// the region's CRC after it, or the restart command alone. `wrong` (non-zero) is xored into the
// checksum value or the low byte of the acknowledged address.
bytes reply_to(const harness& h, std::span<const std::uint8_t> request, std::uint16_t wrong) {
    bytes r;
    if (request.size() < 13 || request[2] == CMD_RESTART) {
        r = {static_cast<std::uint8_t>(DEVICE_ADDRESS), FUNC_ENCAPSULATED, CMD_RESTART};
    } else if (request[2] == CMD_WRITE_BLOCK) {
        r.assign(request.begin(), request.begin() + 9);
        r[6] = static_cast<std::uint8_t>(r[6] ^ wrong);
    } else {
        r.assign(request.begin(), request.begin() + 11);
        const std::uint16_t crc =
            static_cast<std::uint16_t>(region_crc(h, be32(&request[3]), be32(&request[7])) ^ wrong);
        r.push_back(static_cast<std::uint8_t>(crc >> 8));
        r.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    }
    seal(&r);
    return r;
}

void check_record(const harness& h, std::uint32_t prev_state, std::int32_t prev_offset) {
    const update_job& job = h.fx->job;
    require(job.frame == h.fx->frame_buf.data() && job.frame_cap == FRAME_CAPACITY,
            "frame buffer replaced");
    require(job.image == h.fx->image.data() &&
                job.image_size == static_cast<std::int32_t>(h.fx->image.size()),
            "image replaced");
    require(job.frame_len >= 0 && job.frame_len <= job.frame_cap, "frame_len outside the buffer");
    require(job.state <= JOB_DONE, "state is not a job_state");
    require(job.image_offset >= 0 && job.image_offset <= job.image_size,
            "image_offset outside the image");
    if (job.state == JOB_PROGRAM) {
        require(job.chunk_len > 0 && job.chunk_len <= BLOCK_SIZE &&
                    job.chunk_len <= job.image_size - job.image_offset,
                "current block outside the image");
        require(job.timeout_ms == REPLY_TIMEOUT_MS, "block wait without the reply time-out");
    }
    if (job.state != JOB_CONTACT && prev_state != JOB_START) {
        require(job.image_offset >= prev_offset, "image_offset went back within a run");
    }
}

// Every request on the wire is one of the three, sealed, and a block is a faithful slice of
// the image at its address: the block the record says is current.
void check_writes(harness& h) {
    const update_job& job = h.fx->job;
    auto& writes = scripted::host().writes;
    for (const bytes& f : writes) {
        require(f.size() >= 5 && ref_valid(f), "request not sealed");
        require(f[0] == DEVICE_ADDRESS && f[1] == FUNC_ENCAPSULATED, "request header");
        switch (f[2]) {
        case CMD_WRITE_BLOCK: {
            require(f.size() >= 11, "block frame too short");
            const std::size_t n = (std::size_t{f[7]} << 8) | f[8];
            require(n >= 1 && n <= static_cast<std::size_t>(BLOCK_SIZE) && f.size() == n + 11,
                    "block length field");
            const std::uint32_t address = be32(&f[3]);
            require(address >= job.image_base, "block below the image");
            const std::size_t off = address - job.image_base;
            require(off < h.fx->image.size() && n <= h.fx->image.size() - off,
                    "block beyond the image");
            require(off % BLOCK_SIZE == 0, "block not on a block boundary");
            require(std::memcmp(&f[9], &h.fx->image[off], n) == 0, "block data differs from image");
            require(off == static_cast<std::size_t>(job.image_offset) &&
                        n == static_cast<std::size_t>(job.chunk_len),
                    "block sent is not the current block");
            break;
        }
        case CMD_CHECKSUM:
            require(f.size() == 13 && be32(&f[3]) == job.image_base, "checksum request layout");
            require(be32(&f[7]) == 4 || be32(&f[7]) == static_cast<std::uint32_t>(job.image_size),
                    "checksum request length");
            break;
        case CMD_RESTART:
            require(f.size() == 5, "restart request layout");
            break;
        default:
            violation("unknown request");
        }
    }
    writes.clear();
    scripted::host().write_times.clear();
}

// The value a checksum reply carries, when the reply read in one step is a complete one and
// not an echo of the contact request's header (a late contact reply must not count).
bool checksum_reply(const bytes& r, const update_job& job, std::uint16_t* value) {
    if (r.size() < 15 || !ref_valid(r)) {
        return false;
    }
    const bool echoes_contact = r[0] == static_cast<std::uint8_t>(job.device_address) &&
                                r[1] == FUNC_ENCAPSULATED && r[2] == CMD_CHECKSUM &&
                                be32(&r[3]) == job.image_base && be32(&r[7]) == 4;
    if (echoes_contact) {
        return false;
    }
    *value = static_cast<std::uint16_t>((r[11] << 8) | r[12]);
    return true;
}

void check_transition(harness& h, std::uint32_t prev, const bytes& consumed) {
    const std::uint32_t now = h.fx->job.state;
    std::uint16_t remote = 0;
    const bool complete = checksum_reply(consumed, h.fx->job, &remote);
    if (prev == JOB_VERIFY && now == JOB_VERIFY) {
        require(!complete, "complete checksum reply ignored");
    }
    // After the checksums matched, an exception answers the restart as an acknowledgement does.
    if (prev == JOB_RESTART && now == JOB_RESTART) {
        require(!(ref_valid(consumed) && consumed[1] == 0xAB), "restart exception not taken");
    }
    if (now == prev) {
        return;
    }
    switch (now) {
    case JOB_CONTACT:
        require(prev == JOB_START, "JOB_CONTACT not from JOB_START");
        break;
    case JOB_AWAIT_LINK:
        require(prev == JOB_CONTACT, "JOB_AWAIT_LINK not from JOB_CONTACT");
        break;
    case JOB_PROGRAM:
        require(prev == JOB_AWAIT_LINK && h.fx->job.image_offset == 0,
                "JOB_PROGRAM not from JOB_AWAIT_LINK");
        break;
    case JOB_VERIFY:
        require(prev == JOB_PROGRAM && h.fx->job.image_offset == h.fx->job.image_size,
                "JOB_VERIFY before the whole image was acknowledged");
        break;
    case JOB_FAILED: {
        // A refusal ends a run while a block or the checksum is awaited; the job's frame still
        // holds it.
        const update_job& job = h.fx->job;
        const std::size_t held = job.frame_len > 0 && job.frame_len <= job.frame_cap
                                     ? static_cast<std::size_t>(job.frame_len)
                                     : 0;
        const bool refused = ref_valid({job.frame, held}) && job.frame[FUNCTION_AT] == 0xAB;
        require((prev == JOB_VERIFY && complete && remote != h.image_crc) ||
                    ((prev == JOB_PROGRAM || prev == JOB_VERIFY) && refused),
                "JOB_FAILED without a differing checksum reply or a refusal");
        break;
    }
    case JOB_RESTART:
        require(prev == JOB_VERIFY && complete && remote == h.image_crc,
                "JOB_RESTART without a checksum reply equal to the local CRC");
        h.verified = true;
        break;
    case JOB_DONE:
        require(prev == JOB_RESTART && h.verified && ref_valid(consumed),
                "JOB_DONE without a verified image and a valid restart reply");
        require(consumed.size() < 5 || consumed[0] != DEVICE_ADDRESS ||
                    consumed[1] != FUNC_ENCAPSULATED ||
                    (consumed[2] != CMD_CHECKSUM && consumed[2] != CMD_WRITE_BLOCK),
                "JOB_DONE on a late reply to a checksum or block request");
        break;
    default:
        violation("state changed to JOB_START by a step");
    }
}

// One host tick: job_step, every check, then the clock moves on by gap_ms.
void step(harness& h, std::uint32_t gap_ms) {
    if (h.steps >= MAX_STEPS) {
        return;
    }
    ++h.steps;
    update_job& job = h.fx->job;
    const std::uint32_t prev = job.state;
    const std::int32_t prev_offset = job.image_offset;
    // In these states the step reads one whole reply and never purges, so what it took off the
    // wire is the front of what was queued.
    const bool watch = prev == JOB_VERIFY || prev == JOB_RESTART;
    bytes queued;
    if (watch) {
        for (const auto& c : scripted::host().rx) {
            queued.insert(queued.end(), c.bytes.begin(), c.bytes.end());
        }
    }
    h.added.clear();

    job_step(&job);

    bytes consumed;
    if (watch) {
        queued.insert(queued.end(), h.added.begin(), h.added.end());
        const std::size_t left = queued_bytes();
        require(left <= queued.size(), "more bytes queued than delivered");
        consumed.assign(queued.begin(), queued.end() - static_cast<std::ptrdiff_t>(left));
    }
    check_record(h, prev, prev_offset);
    check_writes(h);
    check_transition(h, prev, consumed);
    h.visited |= 1u << job.state;

    auto& host = scripted::host();
    host.trace.clear();
    host.flushes.clear();
    host.status.clear();
    host.sleeps.clear();
    host.beeps.clear();
    host.now += gap_ms;
}

// Queues a reply in pieces of `piece` bytes, `spacing` ms apart.
void dribble(std::uint32_t delay, const bytes& r, std::size_t piece, std::uint32_t spacing) {
    for (std::size_t at = 0; at < r.size(); at += piece) {
        const std::size_t n = std::min(piece, r.size() - at);
        deliver(delay, std::span<const std::uint8_t>(r).subspan(at, n));
        delay += spacing;
    }
}

void op_reply(harness& h, unsigned arg) {
    const std::uint32_t delay = h.in.byte() * 2u;
    const std::uint16_t wrong = (arg & 1u) ? static_cast<std::uint16_t>(h.in.byte() | 1u) : 0;
    bytes r = reply_to(h, h.last_request, wrong);
    if ((arg & 2u) && r.size() > 4) {
        // A shorter frame that still passes the frame check.
        const std::size_t body = 2 + h.in.byte() % (r.size() - 4);
        r.resize(body);
        seal(&r);
    }
    if (arg & 4u) {
        const std::size_t at = h.in.byte() % r.size();
        r[at] = static_cast<std::uint8_t>(r[at] ^ (h.in.byte() | 1u));
    }
    if (arg & 8u) {
        const std::size_t piece = 1 + h.in.byte() % 16;
        dribble(delay, r, piece, h.in.byte());
    } else {
        deliver(delay, r);
    }
}

void run(harness& h) {
    const std::size_t blocks = 1 + h.in.byte() % 4;
    const std::size_t tail_cut = (h.in.byte() % 128) * 8u;
    const std::uint8_t seed = h.in.byte();
    const std::uint8_t clock = h.in.byte();
    scripted::reset(clock == 0 ? 0 : 0xFFFFFFFFu - clock * 64u);

    scripted::job_fixture fx(scripted::pattern_image(blocks * BLOCK_SIZE - tail_cut, seed));
    h.fx = &fx;
    h.image_crc = ref_crc(fx.image);
    scripted::host().on_write = [&h](std::span<const std::uint8_t> request, std::uint32_t) {
        h.last_request.assign(request.begin(), request.end());
        if (h.peer_on) {
            const bytes r = reply_to(h, request, h.peer_wrong ? 0x8000 : 0);
            if (queued_bytes() + r.size() <= MAX_QUEUED) {
                deliver(h.peer_delay, r);
                h.added.insert(h.added.end(), r.begin(), r.end());
            }
        }
    };

    while (!h.in.done() && h.steps < MAX_STEPS) {
        const unsigned op = h.in.byte();
        const unsigned arg = op >> 4;
        switch (op & 0x0Fu) {
        case 0:
            for (unsigned i = 0; i <= arg; ++i) {
                step(h, TICK_MS);
            }
            break;
        case 1:
            step(h, h.in.byte() * 4u);
            break;
        case 2:
            scripted::host().now += (arg + 1) * 1000u + h.in.byte() * 4u;
            step(h, TICK_MS);
            break;
        case 3:
            op_reply(h, arg);
            break;
        case 4: {
            bytes raw(h.in.byte() % 64);
            for (auto& b : raw) {
                b = h.in.byte();
            }
            deliver(arg * 8u, raw);
            break;
        }
        case 5: {
            bytes raw(2 + h.in.byte() % 62);
            for (auto& b : raw) {
                b = h.in.byte();
            }
            seal(&raw);
            deliver(arg * 8u, raw);
            break;
        }
        case 6: {
            const std::size_t count = (arg + 1) * 128u + h.in.byte();
            deliver(0, bytes(count, h.in.byte()));
            break;
        }
        case 7:
            scripted::host().read_cost_ms = arg;
            break;
        case 8:
            if (fx.job.state == JOB_DONE || fx.job.state == JOB_FAILED) {
                fx.job.state = JOB_START;
                h.verified = false;
            }
            break;
        case 9:
            h.peer_on = (arg & 1u) != 0;
            h.peer_wrong = (arg & 2u) != 0;
            h.peer_delay = h.in.byte() * 2u;
            break;
        default:
            step(h, TICK_MS);
            break;
        }
    }
    scripted::host().on_write = nullptr;
    // Set ENGINE_FUZZ_VERBOSE when running single inputs to see how deep a script gets.
    if (std::getenv("ENGINE_FUZZ_VERBOSE") != nullptr) {
        std::fprintf(stderr, "engine_fuzz: %d steps, image %zu bytes, states reached %#x, end %u\n",
                     h.steps, fx.image.size(), h.visited, fx.job.state);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    harness h;
    h.in.data = data;
    h.in.size = size;
    run(h);
    return 0;
}
