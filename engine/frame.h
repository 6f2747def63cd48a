// Link frames: the CRC-16/MODBUS checksum, the three requests and the acceptance test for replies.
#pragma once

#include <cstdint>
#include <span>

inline constexpr std::int32_t FRAME_CAPACITY = 1040;
inline constexpr std::int32_t DEVICE_ADDRESS = 4;
inline constexpr std::uint8_t FUNC_ENCAPSULATED = 0x2B;
inline constexpr std::uint8_t CMD_WRITE_BLOCK = 0xF5;
inline constexpr std::uint8_t CMD_CHECKSUM = 0xF6;
inline constexpr std::uint8_t CMD_RESTART = 0xF7;
// A device that refuses a request answers with the function byte's top bit set and an exception
// code in place of the sub-command.
inline constexpr std::uint8_t FUNC_EXCEPTION_FLAG = 0x80;
inline constexpr std::uint8_t FUNC_ENCAPSULATED_EXCEPTION = FUNC_ENCAPSULATED | FUNC_EXCEPTION_FLAG;

// Every frame: device address, function, sub-command, the sub-command's fields, then the
// frame's own CRC-16, low byte first. The checksum and block requests carry a big-endian flash
// address and a length (4 bytes in the checksum request, 2 in the block request); replies echo
// the request's header, so the fields lie at the same offsets in them.
inline constexpr std::int32_t DEVICE_ADDRESS_AT = 0;
inline constexpr std::int32_t FUNCTION_AT = 1;
inline constexpr std::int32_t COMMAND_AT = 2;
inline constexpr std::int32_t HEADER_LEN = 3;
inline constexpr std::int32_t CRC_LEN = 2;
inline constexpr std::int32_t FLASH_ADDRESS_AT = HEADER_LEN;
inline constexpr std::int32_t FLASH_ADDRESS_END = FLASH_ADDRESS_AT + 4;
inline constexpr std::int32_t LENGTH_AT = FLASH_ADDRESS_END;
inline constexpr std::int32_t BLOCK_DATA_AT = LENGTH_AT + 2;       // after the block header
inline constexpr std::int32_t CHECKSUM_HEADER_LEN = LENGTH_AT + 4; // checksum request, unsealed
inline constexpr std::int32_t REMOTE_CRC_AT = CHECKSUM_HEADER_LEN; // big-endian, in the reply
inline constexpr std::int32_t EXCEPTION_CODE_AT = COMMAND_AT;
// The contact request asks for the checksum of this many bytes at the image base.
inline constexpr std::int32_t CONTACT_REGION_LEN = 4;

// Requests.
inline constexpr std::int32_t CHECKSUM_QUERY_LEN = CHECKSUM_HEADER_LEN + CRC_LEN; // 13
inline constexpr std::int32_t BLOCK_FRAME_OVERHEAD = BLOCK_DATA_AT + CRC_LEN;     // 11
inline constexpr std::int32_t RESTART_FRAME_LEN = HEADER_LEN + CRC_LEN;           // 5
inline constexpr std::int32_t MAX_BLOCK_DATA = 1024;

// Replies as the device sends them, and the shortest that carry a field.
inline constexpr std::int32_t CHECKSUM_REPLY_LEN = REMOTE_CRC_AT + 2 + CRC_LEN; // 15
inline constexpr std::int32_t BLOCK_ACK_LEN = BLOCK_DATA_AT + CRC_LEN;          // 11, no data
inline constexpr std::int32_t RESTART_ACK_LEN = HEADER_LEN + CRC_LEN;           // 5
inline constexpr std::int32_t EXCEPTION_REPLY_LEN = HEADER_LEN + CRC_LEN;       // 5
inline constexpr std::int32_t REPLY_MIN_LEN = FUNCTION_AT + 1 + CRC_LEN;        // 4
inline constexpr std::int32_t REPLY_WITH_COMMAND_LEN = HEADER_LEN + CRC_LEN;    // 5

// CRC-16/MODBUS: initial 0xFFFF, reflected polynomial 0xA001, no final xor.
inline constexpr std::uint16_t CRC16_INITIAL = 0xFFFF;
std::uint16_t crc16_modbus(const std::uint8_t* bytes, std::size_t count);
// The same checksum carried on over more bytes, for a reader that checks as it goes.
std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t* bytes, std::size_t count);

// Checksum of the first frame_len - 2 bytes; 0xFFFF without reading when that count is <= 0.
std::uint16_t frame_check(const std::uint8_t* frame, std::int32_t frame_len);

// Stores frame_check of the frame low byte first in its last two bytes (frame_len >= 2).
void frame_seal(std::uint8_t* frame, std::int32_t frame_len);

// Each builder writes its request at the start of frame, seals it and returns its length.
// A frame too small for the request (or a block longer than 1024 bytes) is left untouched
// and 0 is returned, so nothing is ever written past the buffer.
std::int32_t build_checksum_query(std::span<std::uint8_t> frame, std::int32_t device_address,
                                  std::uint32_t address, std::uint32_t length);
std::int32_t build_block_frame(std::span<std::uint8_t> frame, std::int32_t device_address,
                               std::uint32_t address, std::span<const std::uint8_t> data);
std::int32_t build_restart_frame(std::span<std::uint8_t> frame, std::int32_t device_address);

// True when the reply has at least REPLY_MIN_LEN bytes and ends in its own checksum, low byte
// first.
bool reply_is_valid(const std::uint8_t* frame, std::int32_t frame_len);

// Big-endian field readers shared by the engine and the tools.
constexpr std::uint32_t read_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
constexpr std::uint16_t read_be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
