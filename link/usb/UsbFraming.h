#pragma once
// The byte protocol on the hub's data channel (channel B), as pure functions.
//
// A request starts with a header byte, the only byte of a request with bit 7 set:
//   bit 7 = 1, bit 6 = 1 for a read / 0 for a write, bits 5..0 = register address.
// A write request carries 1..4096 32-bit words, five bytes each, 7 bits per byte, least
// significant group first (the fifth byte holds bits 28..31). A read request is six bytes:
// the header, the 26-bit word count in four 7-bit groups (the fourth holds bits 21..25) and
// a zero byte. The hub answers a read with 2 * count raw bytes, 16-bit words LSB first.
//
// The same functions also encode the hub's slot bus commands; the module registers and
// EEPROM command words reached through the slot bus are those of ModuleProtocol.h.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vqx::usb::framing {

inline constexpr std::uint32_t kMaxWordsPerRequest = 4096;
inline constexpr std::size_t kMaxWriteRequestBytes = 1 + 5 * kMaxWordsPerRequest; // 20,481
inline constexpr std::size_t kReadRequestBytes = 6;
inline constexpr std::uint32_t kCountMask = 0x3FFFFFF; ///< the 26-bit count field

constexpr std::uint8_t writeHeader(std::uint8_t reg) {
    return static_cast<std::uint8_t>(0x80 | (reg & 0x3F));
}
constexpr std::uint8_t readHeader(std::uint8_t reg) {
    return static_cast<std::uint8_t>(0xC0 | (reg & 0x3F));
}

/// The five bytes of one register word.
std::array<std::uint8_t, 5> encodeWord(std::uint32_t word);
/// The inverse of encodeWord; bits that carry no payload are ignored.
std::uint32_t decodeWord(const std::uint8_t* fiveBytes);

/// Appends one write request (header and count <= 4096 words) to `out`.
void appendWriteRequest(std::vector<std::uint8_t>& out, std::uint8_t reg,
                        const std::uint32_t* words, std::uint32_t count);
/// All write requests for a block: chunks of at most 4096 words, each with the same header.
std::vector<std::vector<std::uint8_t>> writeRequests(std::uint8_t reg, const std::uint32_t* words,
                                                     std::uint32_t count);
/// The six-byte read request; the count is taken modulo 2^26.
std::array<std::uint8_t, kReadRequestBytes> readRequest(std::uint8_t reg, std::uint32_t count);
/// The count field of a read request (bytes 1..4).
std::uint32_t decodeReadCount(const std::uint8_t* fourBytes);

// ---- Hub registers and the slot bus ------------------------------------------------------

inline constexpr std::uint8_t kHubRegStatus = 0;    ///< read: bit 0 done, bit 1 failed
inline constexpr std::uint8_t kHubRegReadData = 1;  ///< read: value fetched by a read command
inline constexpr std::uint8_t kHubRegCommand = 2;   ///< write: slot command; read: slot types
inline constexpr std::uint8_t kHubRegWriteData = 3; ///< write: value for a write command
inline constexpr std::uint8_t kHubRegSlotTypes = 2;
inline constexpr int kSlotCount = 6;

inline constexpr std::uint32_t kStatusDone = 0x1;
inline constexpr std::uint32_t kStatusFailed = 0x2;
inline constexpr std::uint32_t kSlotReadFlag = 0x20;

/// Slot command: module register in bits 0..7, bit 5 = read, slot select bit 10 + slot.
constexpr std::uint32_t slotCommand(int slot, std::uint8_t reg, bool read) {
    return (std::uint32_t{1} << (10 + slot)) | reg | (read ? kSlotReadFlag : 0u);
}

} // namespace vqx::usb::framing
