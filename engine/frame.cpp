// Frame building and checking for the device link (Modbus RTU framing, function 0x2B).
#include "engine/frame.h"

namespace {

void put_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// The three header bytes every request starts with.
void put_header(std::uint8_t* p, std::int32_t device_address, std::uint8_t command) {
    p[DEVICE_ADDRESS_AT] = static_cast<std::uint8_t>(device_address);
    p[FUNCTION_AT] = FUNC_ENCAPSULATED;
    p[COMMAND_AT] = command;
}

} // namespace

std::uint16_t crc16_modbus(const std::uint8_t* bytes, std::size_t count) {
    return crc16_update(CRC16_INITIAL, bytes, count);
}

std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u)
                             : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

std::uint16_t frame_check(const std::uint8_t* frame, std::int32_t frame_len) {
    if (frame_len - 2 <= 0 || frame == nullptr) {
        return 0xFFFF;
    }
    return crc16_modbus(frame, static_cast<std::size_t>(frame_len - 2));
}

void frame_seal(std::uint8_t* frame, std::int32_t frame_len) {
    if (frame == nullptr || frame_len < 2) {
        return;
    }
    const std::uint16_t crc = frame_check(frame, frame_len);
    frame[frame_len - 2] = static_cast<std::uint8_t>(crc & 0xFF);
    frame[frame_len - 1] = static_cast<std::uint8_t>(crc >> 8);
}

std::int32_t build_checksum_query(std::span<std::uint8_t> frame, std::int32_t device_address,
                                  std::uint32_t address, std::uint32_t length) {
    if (frame.size() < static_cast<std::size_t>(CHECKSUM_QUERY_LEN)) {
        return 0;
    }
    put_header(frame.data(), device_address, CMD_CHECKSUM);
    put_be32(frame.data() + FLASH_ADDRESS_AT, address);
    put_be32(frame.data() + LENGTH_AT, length);
    frame_seal(frame.data(), CHECKSUM_QUERY_LEN);
    return CHECKSUM_QUERY_LEN;
}

std::int32_t build_block_frame(std::span<std::uint8_t> frame, std::int32_t device_address,
                               std::uint32_t address, std::span<const std::uint8_t> data) {
    const std::size_t total = data.size() + BLOCK_FRAME_OVERHEAD;
    if (data.size() > static_cast<std::size_t>(MAX_BLOCK_DATA) || frame.size() < total) {
        return 0;
    }
    std::uint8_t* p = frame.data();
    put_header(p, device_address, CMD_WRITE_BLOCK);
    put_be32(p + FLASH_ADDRESS_AT, address);
    p[LENGTH_AT] = static_cast<std::uint8_t>(data.size() >> 8);
    p[LENGTH_AT + 1] = static_cast<std::uint8_t>(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        p[BLOCK_DATA_AT + i] = data[i];
    }
    frame_seal(p, static_cast<std::int32_t>(total));
    return static_cast<std::int32_t>(total);
}

std::int32_t build_restart_frame(std::span<std::uint8_t> frame, std::int32_t device_address) {
    if (frame.size() < static_cast<std::size_t>(RESTART_FRAME_LEN)) {
        return 0;
    }
    put_header(frame.data(), device_address, CMD_RESTART);
    frame_seal(frame.data(), RESTART_FRAME_LEN);
    return RESTART_FRAME_LEN;
}

bool reply_is_valid(const std::uint8_t* frame, std::int32_t frame_len) {
    if (frame == nullptr || frame_len < REPLY_MIN_LEN) {
        return false;
    }
    const unsigned carried = frame[frame_len - 2] + 256u * frame[frame_len - 1];
    return frame_check(frame, frame_len) == carried;
}
