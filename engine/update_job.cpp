// The update state machine, driven once per host timer tick.
#include "engine/update_job.h"

#include <algorithm>
#include <array>
#include <span>

namespace {

// Unsigned difference: stays right when the 32-bit tick counter wraps through zero.
bool expired(std::uint32_t since, std::uint32_t limit_ms) {
    return host_tick_ms() - since > limit_ms;
}

// Sends the state's request once more: the only way a request is repeated, so that the count
// of resends is kept in one place.
void resend(update_job* job, std::uint32_t state) {
    ++job->resends;
    job_enter(job, state);
}

std::span<std::uint8_t> frame_span(const update_job* job) {
    if (job->frame == nullptr || job->frame_cap <= 0) {
        return {};
    }
    return {job->frame, static_cast<std::size_t>(job->frame_cap)};
}

// Reads at most `room` bytes to frame + at; never trusts the host to respect the limit.
std::int32_t read_into_frame(update_job* job, std::int32_t at) {
    const std::int32_t room = job->frame_cap - at;
    if (job->frame == nullptr || at < 0 || room <= 0) {
        return 0;
    }
    const std::int32_t got = serial_read(job->port, job->frame + at, room);
    if (got <= 0) {
        return 0;
    }
    return got > room ? room : got;
}

// Replies to the contact, checksum and restart requests come in one read at the start of the
// buffer; anything left of a previous reply is dropped.
bool read_whole_reply(update_job* job) {
    job->frame_len = read_into_frame(job, 0);
    if (job->frame_len > 0) {
        trace_rx_dump(job);
    }
    return reply_is_valid(job->frame, job->frame_len);
}

// True when the frame starts with the header bytes of this job's contact request.
bool echoes_contact_request(const update_job* job) {
    std::array<std::uint8_t, CHECKSUM_QUERY_LEN> contact{};
    build_checksum_query(contact, job->device_address, job->image_base, CONTACT_REGION_LEN);
    return job->frame_len >= CHECKSUM_HEADER_LEN &&
           std::equal(contact.begin(), contact.begin() + CHECKSUM_HEADER_LEN, job->frame);
}

void send_contact(update_job* job) {
    job->sent_at = host_tick_ms();
    trace_printf("CONTACTING...\n");
    job->frame_len = build_checksum_query(frame_span(job), job->device_address, job->image_base,
                                          CONTACT_REGION_LEN);
    job_send(job);
    host_sleep_ms(SEND_SLEEP_MS);
}

void send_block(update_job* job) {
    job->sent_at = host_tick_ms();
    const std::uint32_t address = job->image_base + static_cast<std::uint32_t>(job->image_offset);
    trace_printf("PROG ADDR %#x, LEN %#x, FROM %#x...", address,
                 static_cast<unsigned>(job->chunk_len), static_cast<unsigned>(job->image_offset));
    trace_flush();
    status_printf("programming %#x", address);
    // The block must lie inside the image; a record that says otherwise sends nothing rather
    // than reading past the image.
    std::span<const std::uint8_t> data;
    if (job->image != nullptr && job->image_offset >= 0 && job->chunk_len >= 0 &&
        job->chunk_len <= job->image_size - job->image_offset) {
        data = {job->image + job->image_offset, static_cast<std::size_t>(job->chunk_len)};
        job->frame_len = build_block_frame(frame_span(job), job->device_address, address, data);
    } else {
        job->frame_len = 0;
    }
    host_sleep_ms(SEND_SLEEP_MS);
    job_send(job);
    host_sleep_ms(SEND_SLEEP_MS);
    trace_printf(" - SENT - ");
    trace_flush();
}

void send_verify(update_job* job) {
    job->sent_at = host_tick_ms();
    trace_printf("Verifying address %#x, image size %#x bytes\n", job->image_base,
                 static_cast<unsigned>(job->image_size));
    status_printf("Verifying...");
    job->frame_len = build_checksum_query(frame_span(job), job->device_address, job->image_base,
                                          static_cast<std::uint32_t>(job->image_size));
    const std::int32_t sent = job->frame_len;
    job_send(job);
    trace_printf("frame length %4d bytes sent\n", sent);
}

void send_restart(update_job* job) {
    job->sent_at = host_tick_ms();
    trace_printf("Resetting target\n");
    status_printf("Resetting target...");
    job->frame_len = build_restart_frame(frame_span(job), job->device_address);
    const std::int32_t sent = job->frame_len;
    job_send(job);
    trace_printf("frame length %4d bytes sent\n", sent);
}

// A valid reply whose function byte has the exception flag: the device refused the request.
// The four-byte form carries no code. Only a reply whose own checksum holds is judged, so a
// damaged reply never reads as a refusal.
bool reply_is_refusal(const update_job* job) {
    return reply_is_valid(job->frame, job->frame_len) &&
           job->frame[FUNCTION_AT] == FUNC_ENCAPSULATED_EXCEPTION;
}

// Ends the run after a refused block or checksum request, as after a checksum mismatch: one
// line after the "RX:" dump, "FAILED", and nothing more is sent.
void fail_refused(update_job* job, const char* request) {
    if (job->frame_len >= EXCEPTION_REPLY_LEN) {
        trace_printf("ERROR DEVICE REFUSED %s, EXCEPTION %02x\n", request,
                     job->frame[EXCEPTION_CODE_AT]);
    } else {
        trace_printf("ERROR DEVICE REFUSED %s\n", request);
    }
    trace_flush();
    status_printf("FAILED");
    job_enter(job, JOB_FAILED);
}

std::uint16_t local_image_crc(const update_job* job) {
    if (job->image == nullptr || job->image_size <= 0) {
        return 0xFFFF;
    }
    return crc16_modbus(job->image, static_cast<std::size_t>(job->image_size));
}

void step_await_link(update_job* job) {
    if (expired(job->sent_at, job->timeout_ms)) {
        resend(job, JOB_AWAIT_LINK);
    }
    if (!read_whole_reply(job)) {
        return;
    }
    trace_printf("REMOTE DEVICE LINK ESTABLISHED\n");
    job->timeout_ms = REPLY_TIMEOUT_MS;
    serial_purge(job->port);
    job_enter(job, JOB_PROGRAM);
}

// A block acknowledgement is gathered over several ticks and is complete after more than
// REPLY_GAP_MS of silence. A bad one stays in the buffer until the time-out's resend clears it.
void step_program(update_job* job) {
    if (expired(job->sent_at, job->timeout_ms)) {
        trace_printf("TIMEOUT\n");
        resend(job, JOB_PROGRAM);
        return;
    }
    if (job->frame_len < 0 || job->frame_len > job->frame_cap) {
        job->frame_len = 0; // never index the buffer with a length the record cannot hold
    }
    const std::int32_t got = read_into_frame(job, job->frame_len);
    if (got > 0) {
        job->last_rx_at = host_tick_ms();
        job->frame_len += got;
        return;
    }
    if (job->frame_len == 0 || !expired(job->last_rx_at, REPLY_GAP_MS)) {
        return;
    }
    trace_rx_dump(job);
    if (!reply_is_valid(job->frame, job->frame_len)) {
        return;
    }
    // An exception reply is the device refusing the block, not acknowledging it: going on would
    // report blocks written that are not.
    if (reply_is_refusal(job)) {
        fail_refused(job, "BLOCK");
        return;
    }
    host_beep(ACK_TONE_HZ, ACK_TONE_MS);
    const std::uint32_t expected = job->image_base + static_cast<std::uint32_t>(job->image_offset);
    // A shorter acknowledgement carries no complete address to compare.
    if (job->frame_len < FLASH_ADDRESS_END ||
        read_be32(job->frame + FLASH_ADDRESS_AT) != expected) {
        trace_printf("ERROR MISMATCHED REPLY TO COMMAND\n");
    }
    trace_printf("- OK\n");
    trace_flush();

    job->image_offset += job->chunk_len;
    if (job->image_offset >= job->image_size) {
        job_enter(job, JOB_VERIFY);
        return;
    }
    if (job->image_size - job->image_offset < job->chunk_len) {
        job->chunk_len = job->image_size - job->image_offset;
    }
    job_enter(job, JOB_PROGRAM);
}

void step_verify(update_job* job) {
    if (expired(job->sent_at, job->timeout_ms)) {
        resend(job, JOB_VERIFY);
    }
    if (!read_whole_reply(job)) {
        return;
    }
    // Resending a refused request would only be refused again, for ever.
    if (reply_is_refusal(job)) {
        fail_refused(job, "CHECKSUM");
        return;
    }
    // The checksum sits before the frame's own two bytes; a shorter reply carries none and is
    // ignored until the time-out resends the request.
    if (job->frame_len < CHECKSUM_REPLY_LEN) {
        return;
    }
    // A contact reply held up past its resend is just as valid, and taking its checksum of
    // four bytes would fail a good image. Only a reply that echoes the contact request's header
    // byte for byte is known to be that one; other header bytes are the device's own affair,
    // so nothing else is refused. The time-out resends the request.
    if (echoes_contact_request(job)) {
        trace_printf("ERROR MISMATCHED REPLY TO COMMAND\n");
        return;
    }
    const unsigned remote = job->frame[REMOTE_CRC_AT] * 256u + job->frame[REMOTE_CRC_AT + 1];
    const unsigned local = local_image_crc(job);
    trace_printf("Remote CRC %#x\n", remote);
    trace_printf("Local  CRC %#x\n", local);
    if (remote == local) {
        trace_printf("CRCs match\n");
        status_printf("Program Verified OK");
        job_enter(job, JOB_RESTART);
    } else {
        trace_printf("CRC FAIL\n");
        status_printf("FAILED");
        job_enter(job, JOB_FAILED);
    }
}

void step_restart(update_job* job) {
    if (expired(job->sent_at, RESTART_RETRY_MS)) {
        resend(job, JOB_RESTART);
    }
    if (!read_whole_reply(job)) {
        return;
    }
    // The checksums have matched: the image is written and verified. A device whose boot code
    // restarts without answering, or whose acknowledgement is lost on the line, gets the resent
    // request in its new application, which may answer an unknown request with an exception
    // (01, illegal function). Failing the run then would have a good device flashed again, so
    // an exception ends the run as an acknowledgement does; the trace says which it was.
    if (reply_is_refusal(job)) {
        if (job->frame_len >= EXCEPTION_REPLY_LEN) {
            trace_printf("RESTART ANSWERED WITH EXCEPTION %02x\n", job->frame[EXCEPTION_CODE_AT]);
        } else {
            trace_printf("RESTART ANSWERED WITH EXCEPTION\n");
        }
        job_enter(job, JOB_DONE);
        return;
    }
    // A late block acknowledgement or checksum reply is valid too, but the device has not
    // restarted; ending the run on it would report a restart that never happened. Resends go
    // on until a reply that does not echo the header of another request.
    const std::uint8_t* f = job->frame;
    if (job->frame_len >= REPLY_WITH_COMMAND_LEN &&
        f[DEVICE_ADDRESS_AT] == static_cast<std::uint8_t>(job->device_address) &&
        f[FUNCTION_AT] == FUNC_ENCAPSULATED &&
        (f[COMMAND_AT] == CMD_CHECKSUM || f[COMMAND_AT] == CMD_WRITE_BLOCK)) {
        trace_printf("ERROR MISMATCHED REPLY TO COMMAND\n");
        return;
    }
    trace_printf("frame length %4d bytes received & OK\n", job->frame_len);
    job_enter(job, JOB_DONE);
}

} // namespace

void job_send(update_job* job) {
    if (job->frame != nullptr && job->frame_len > 0 && job->frame_len <= job->frame_cap) {
        serial_write(job->port, job->frame, job->frame_len);
    }
    job->frame_len = 0;
}

void trace_rx_dump(const update_job* job) {
    trace_printf("RX:");
    const std::int32_t n = job->frame_len < job->frame_cap ? job->frame_len : job->frame_cap;
    for (std::int32_t i = 0; i < n && job->frame != nullptr; ++i) {
        trace_printf(" %02x", job->frame[i]);
    }
    trace_printf("\n");
}

void job_enter(update_job* job, std::uint32_t state) {
    switch (state) {
    case JOB_CONTACT:
        // An image shorter than one block is its own last block; a full-length first block
        // would lie outside it, and send_block would then never send anything.
        job->chunk_len =
            job->image_size > 0 && job->image_size < BLOCK_SIZE ? job->image_size : BLOCK_SIZE;
        job->image_offset = 0;
        job->timeout_ms = LINK_RETRY_MS;
        job->resends = 0;
        break;
    case JOB_AWAIT_LINK:
        send_contact(job);
        break;
    case JOB_PROGRAM:
        send_block(job);
        break;
    case JOB_VERIFY:
        send_verify(job);
        break;
    case JOB_RESTART:
        send_restart(job);
        break;
    case JOB_DONE:
        status_printf("Programming Completed OK");
        break;
    default: // JOB_START, JOB_FAILED and unknown values have no entry action
        break;
    }
    job->state = state;
}

void job_step(update_job* job) {
    switch (job->state) {
    case JOB_START:
        job_enter(job, JOB_CONTACT);
        break;
    case JOB_CONTACT:
        status_printf("Establishing Link...");
        job_enter(job, JOB_AWAIT_LINK);
        break;
    case JOB_AWAIT_LINK:
        step_await_link(job);
        break;
    case JOB_PROGRAM:
        step_program(job);
        break;
    case JOB_VERIFY:
        step_verify(job);
        break;
    case JOB_RESTART:
        step_restart(job);
        break;
    default: // JOB_FAILED, JOB_DONE and unknown values do nothing
        break;
    }
}
