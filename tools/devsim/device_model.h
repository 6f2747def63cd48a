// The simulated device's boot code: flash, request parsing, replies and fault switches, without
// I/O.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "engine/frame.h"

inline constexpr std::uint32_t DEVICE_FLASH_BASE = 0x08000000;
inline constexpr std::uint32_t DEVICE_FLASH_SIZE = 512 * 1024;
inline constexpr std::uint32_t DEVICE_IMAGE_BASE = 0x08004000;
inline constexpr std::uint32_t DEVICE_IMAGE_REGION = 0x1D800; // 118 blocks of 1024 bytes
inline constexpr std::uint32_t DEVICE_FLASH_MS = 20;
inline constexpr std::uint32_t DEVICE_LINE_BAUD = 115200;
inline constexpr std::uint32_t DEVICE_BITS_PER_BYTE = 11; // start, 8 data, parity, stop
// Bytes of an incomplete frame older than this when new bytes arrive are abandoned: a sender
// writes a frame in one go, so such a gap means its start was lost.
inline constexpr std::uint64_t DEVICE_FRAME_SILENCE_US = 50000;
inline constexpr std::int32_t DEVICE_MAX_FRAME = MAX_BLOCK_DATA + BLOCK_FRAME_OVERHEAD; // 1035
inline constexpr std::int32_t DEVICE_RX_CAPACITY = 2 * FRAME_CAPACITY;
inline constexpr std::int32_t DEVICE_PIECE_MAX = 32;
inline constexpr std::int32_t DEVICE_OUT_CAPACITY = 512;
inline constexpr std::int32_t DEVICE_MAX_NOISE = 4096;
inline constexpr std::uint64_t DEVICE_NEVER_US = UINT64_MAX;
inline constexpr std::uint8_t DEVICE_REFUSAL_CODE = 0x04; // Modbus "server device failure"

enum request_kind : std::uint32_t {
    REQ_CHECKSUM = 0,
    REQ_WRITE_BLOCK = 1,
    REQ_RESTART = 2,
    REQ_KIND_COUNT = 3,
};

enum ignore_reason : std::uint32_t {
    IGNORED_CHECKSUM = 0, // frame-shaped, but its checksum is wrong
    IGNORED_ADDRESS = 1,  // address byte is not DEVICE_ADDRESS
    IGNORED_FUNCTION = 2, // function byte is not FUNC_ENCAPSULATED
    IGNORED_COMMAND = 3,  // unknown sub-command
    IGNORED_RANGE = 4,    // address or length outside the flash (or, for writes, the image region)
    IGNORED_NOISE = 5,    // a run of bytes that formed no frame
    IGNORED_INCOMPLETE = 6, // the start of a frame whose rest never came
    IGNORED_BY_FAULT = 7,   // a restart request skipped by the ignore-restarts switch
    IGNORE_REASON_COUNT = 8,
};

// Which replies a fault applies to: the nth request of each kind in `kinds`, or, when nth is 0,
// a share of them in thousandths drawn from the model's generator (1000 = every one).
struct reply_selector {
    std::uint32_t kinds = 0; // bit (1 << request_kind) per kind; 0 = fault off
    std::int32_t nth = 0;
    std::uint32_t permille = 0;
};
inline constexpr std::uint32_t KIND_BIT_ALL = (1u << REQ_KIND_COUNT) - 1;

struct fault_config {
    std::uint64_t seed = 1;
    reply_selector drop;
    reply_selector corrupt; // one byte of the reply is changed, so its checksum fails
    reply_selector split;
    std::int32_t split_pieces = 2;
    std::uint32_t split_gap_ms = 20;
    reply_selector delay;
    std::uint32_t delay_ms = 10500; // past the tool's 10 s time-out
    bool wrong_image_crc = false;   // checksum replies for more than 4 bytes carry a wrong CRC
    std::int32_t ignore_restarts = 0;
    std::int32_t noise_bytes = 0; // random bytes sent at power-up
    // Selected requests are not carried out but answered with an exception reply, by default
    // code 04 ("server device failure"), as a device whose flash write failed would answer;
    // 01 ("illegal function") is what boot code that cannot restart on request answers.
    reply_selector refuse;
    std::uint8_t refusal_code = DEVICE_REFUSAL_CODE;
    bool refusal_without_code = false; // the four-byte form: function byte and CRC only
};

struct device_config {
    std::uint32_t image_size = DEVICE_IMAGE_REGION; // region saved at restart
    std::uint32_t power_delay_ms = 0;               // power-up this long after the first byte
    bool pacing = true;                             // replies take 11 bits a byte at 115200
    // Requests take their wire time too: a pseudo-terminal hands a write over at once, a serial
    // line delivers its last byte 11 bits a byte later, after whatever was still crossing.
    bool pace_requests = false;
    std::uint32_t flash_ms = DEVICE_FLASH_MS; // time to write one block before its ack
    fault_config faults;
};

enum event_kind : std::uint32_t {
    EVENT_POWER_UP = 0,
    EVENT_NOISE = 1,   // noise bytes sent at power-up (length = count)
    EVENT_REQUEST = 2, // a well-formed request and what became of its reply
    EVENT_IGNORED = 3, // a frame or run of bytes that got no reply (reason)
};

enum reply_fate : std::uint32_t {
    FATE_ANSWERED = 0,
    FATE_DROPPED = 1,
    FATE_IGNORED = 2,
};

// One line of the device's log; the program prints it, tests may look at it.
struct device_event {
    std::uint64_t at_us;
    std::uint32_t kind; // event_kind
    std::uint8_t command;
    std::uint32_t address;
    std::uint32_t length;
    std::uint32_t fate;   // reply_fate, for requests
    std::uint32_t reason; // ignore_reason, for ignored frames
    bool corrupted;
    std::int32_t corrupt_offset;
    std::int32_t pieces; // 1 unless split
    std::uint32_t delayed_ms;
    bool wrong_crc;
    bool refused; // answered with an exception reply instead of carried out
};

using device_event_fn = void (*)(void* context, const device_event* event);

// Part of a reply (or of the power-up noise) that has fully arrived at the tool by at_us.
struct device_piece {
    std::uint64_t at_us;
    std::uint32_t seq; // orders pieces with equal times
    std::int32_t len;
    std::array<std::uint8_t, DEVICE_PIECE_MAX> bytes;
};

struct device_counters {
    std::array<std::uint32_t, REQ_KIND_COUNT> requests; // well-formed requests by kind
    std::uint32_t blocks_written;
    std::uint32_t bytes_written;
    std::array<std::uint32_t, IGNORE_REASON_COUNT> ignored;
    std::uint32_t noise_in;     // received bytes dropped while looking for a frame
    std::uint32_t unpowered_in; // received bytes discarded before power-up
    std::uint32_t replies_sent;
    std::uint32_t replies_dropped;
    std::uint32_t replies_corrupted;
    std::uint32_t replies_split;
    std::uint32_t replies_delayed;
    std::uint32_t wrong_crcs;
    std::uint32_t refusals;
    std::uint32_t restarts;
    std::uint32_t noise_out;
    std::uint32_t out_overflow; // pieces lost because the output queue was full
};

// The device. It holds its whole flash (512 KiB): keep it static or on the heap.
struct device_model {
    device_config config;
    std::array<std::uint8_t, DEVICE_FLASH_SIZE> flash;
    bool powered;
    bool seen_first_byte;
    std::uint64_t power_at_us;
    std::uint64_t rng;
    std::array<std::uint8_t, DEVICE_RX_CAPACITY> rx;
    std::int32_t rx_len;
    std::uint64_t last_rx_us;
    bool in_noise;                 // dropping a run of bytes that form no frame
    std::uint64_t busy_until_us;   // the boot code handles one request at a time
    std::uint64_t line_free_us;    // its transmitter is busy until then
    std::uint64_t rx_line_free_us; // with pace_requests: the last received byte arrives then
    std::array<device_piece, DEVICE_OUT_CAPACITY> out;
    std::int32_t out_count;
    std::uint32_t out_seq;
    std::array<std::uint32_t, REQ_KIND_COUNT> seen; // requests of each kind so far, for nth
    std::int32_t restarts_ignored;
    // The latest restart: when the last byte of its acknowledgement reaches the tool (when it
    // was handled, if the acknowledgement was dropped), DEVICE_NEVER_US before the first one;
    // and whether that acknowledgement goes out whole and unchanged. A program that ends at
    // restart waits for an intact one, as the tool resends the request otherwise.
    std::uint64_t restart_done_us;
    bool restart_ack_intact;
    device_counters counters;
    device_event_fn on_event;
    void* event_context;
};

// Erases the flash to 0xFF and resets everything else; the device starts unpowered.
void device_init(device_model* model, const device_config* config);

// Bytes received, the last of them at now_us (microseconds on any monotonic scale); with
// pacing on, the earlier ones are taken to have arrived at the line rate before it. With
// pace_requests they are taken to have been handed over at now_us and to arrive at the line
// rate from then on (or from when the line is free). Complete requests are handled at once
// (at their arrival time) and their replies queued as pieces.
void device_feed(device_model* model, std::span<const std::uint8_t> bytes, std::uint64_t now_us);

// Arrival time of the earliest queued piece, or DEVICE_NEVER_US.
std::uint64_t device_next_output_us(const device_model* model);
// Moves the earliest piece due by now_us into *piece; false when none is due.
bool device_take_output(device_model* model, std::uint64_t now_us, device_piece* piece);

// Ignored frames of every reason.
std::uint32_t device_ignored_total(const device_model* model);
std::uint32_t device_requests_total(const device_model* model);

// Wire time of count bytes at 115200 baud, 11 bits a byte, rounded up to whole microseconds.
std::uint64_t device_wire_us(std::int64_t count);

// Parses "all", "P%", "KIND", "KIND:N", "KIND:all" or "KIND:P%" (KIND = checksum, block or
// restart; P may have one decimal). Returns false and leaves *out alone on bad text.
bool parse_reply_selector(const char* text, reply_selector* out);

const char* request_kind_name(std::uint32_t kind);
const char* ignore_reason_name(std::uint32_t reason);
