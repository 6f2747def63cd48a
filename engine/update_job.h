// The update job: one record and a step function that carries a device from first contact,
// through the image written block by block and its checksum compared, to restarted.
#pragma once

#include <cstdint>

#include "engine/frame.h"
#include "engine/host_api.h"

inline constexpr std::uint32_t LINK_BAUD = 115200;
inline constexpr std::uint32_t FLASH_IMAGE_BASE = 0x08004000;
inline constexpr std::int32_t BLOCK_SIZE = 1024;
inline constexpr std::uint32_t LINK_RETRY_MS = 100;
inline constexpr std::uint32_t REPLY_TIMEOUT_MS = 10000;
inline constexpr std::uint32_t RESTART_RETRY_MS = 100;
inline constexpr std::uint32_t REPLY_GAP_MS = 50;
inline constexpr std::uint32_t SEND_SLEEP_MS = 100;
inline constexpr std::uint32_t ACK_TONE_HZ = 3000;
inline constexpr std::uint32_t ACK_TONE_MS = 50;

enum job_state : std::uint32_t {
    JOB_START = 0,      // set by the host when "Update Device" is pressed
    JOB_CONTACT = 1,    // counters reset; the first contact request goes out on the next tick
    JOB_AWAIT_LINK = 2, // contact request sent, resent every 100 ms until any valid reply
    JOB_PROGRAM = 3,    // one block sent, gathering its acknowledgement
    JOB_VERIFY = 4,     // whole-image checksum request sent
    JOB_FAILED = 5,     // checksums differed or a block or checksum request was refused
    JOB_RESTART = 6,    // restart request sent, resent every 100 ms until a valid reply
    JOB_DONE = 7,       // restart answered, by an acknowledgement or an exception; run ends
};

struct update_job {
    const char* port_path;       // device path of the chosen port (the host keeps the text)
    serial_handle port;          // the open port, SERIAL_INVALID_HANDLE until the first open
    std::uint32_t baud;          // LINK_BAUD, set by the host at each start
    std::int32_t device_address; // low byte is byte 0 of every request
    std::int32_t frame_len;      // meaningful bytes in frame: a built request or a gathered reply
    std::int32_t frame_cap;      // size of frame: FRAME_CAPACITY
    std::uint8_t* frame;         // shared request and reply buffer
    std::uint32_t state;         // a job_state value
    const std::uint8_t* image;   // the padded image
    std::uint32_t image_base;    // device address of image byte 0
    std::int32_t image_offset;   // bytes acknowledged so far; the current block starts here
    std::int32_t image_size;     // padded size, a multiple of BLOCK_SIZE
    std::int32_t chunk_len;      // length of the current block
    std::uint32_t sent_at;       // tick at the start of the entry action that sent the request
    std::uint32_t timeout_ms;    // reply time-out of the phase: 100 contacting, 10000 after
    std::uint32_t last_rx_at;    // tick at which bytes of a block acknowledgement last arrived
    std::uint32_t resends;       // requests sent again since the press: contact and restart
                                 // requests after the first, blocks and checksum requests after
                                 // a time-out (the run record reports it)
};

// One tick: at most one read, and the next request when a reply is complete or a timer ran out.
void job_step(update_job* job);
// Performs the entry action of a state (sending its request, if it has one), then stores it.
void job_enter(update_job* job, std::uint32_t state);
// Writes frame_len bytes of frame to the port and empties the frame.
void job_send(update_job* job);
// Traces "RX:" and the frame's bytes in hex.
void trace_rx_dump(const update_job* job);
