#pragma once
// Byte formats of the module's register protocol over TCP.
//
// Requests are 6-byte groups. The header byte is 0x80 | (reg & 0x1F) for a write and
// 0xC0 | (reg & 0x1F) for a read; the five bytes after it carry a 32-bit value seven bits
// at a time, least significant group first (the fifth byte holds bits 28..31).
// A write sends one group per word; a read sends one group whose value is the word count.
//
// A reply to a read of `count` words is 2 * count payload bytes cut into packets:
//   EF BE, packet number (16-bit little-endian), then up to 1456 payload bytes.
// Every packet but the last is 1460 bytes long. Packet numbers run on across replies for
// the whole connection; the first one after a connect may carry any number.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vqx::net {

inline constexpr int kPacketSize = 1460;
inline constexpr int kPacketHeader = 4;
inline constexpr std::uint8_t kMagic0 = 0xEF;
inline constexpr std::uint8_t kMagic1 = 0xBE;

using Request = std::array<std::uint8_t, 6>;

/// The five-byte value encoding, written to out[0..4].
void encodeValue(std::uint32_t value, std::uint8_t* out);
Request encodeWrite(int reg, std::uint32_t word);
Request encodeRead(int reg, std::uint32_t count);
/// All write requests of a block, 6 * count bytes, every one with the same header.
std::vector<std::uint8_t> encodeWriteBlock(int reg, const std::uint32_t* words,
                                           std::uint32_t count);

/// The data register words that carry `count` bytes of an EEPROM write, two to a word
/// ((count + 1) / 2 words).
std::vector<std::uint32_t> eepromDataWords(const std::uint8_t* bytes, std::uint32_t count);
/// Byte `index` of an EEPROM read, from the reply bytes of the data register (the low byte
/// of word `index`).
inline std::uint8_t eepromReplyByte(const std::uint8_t* reply, std::uint32_t index) {
    return reply[2 * std::size_t{index}];
}

/// Parses one reply as it arrives, in pieces cut anywhere. Payload bytes go straight into
/// the caller's buffer; the packet numbering state belongs to the connection and is passed
/// by reference.
class ReplyParser {
public:
    enum class Status {
        More,      ///< the reply is not complete yet
        Complete,  ///< exactly 2 * count payload bytes have arrived
        BadMagic0, ///< a packet's first byte is not 0xEF
        BadMagic1, ///< a packet's second byte is not 0xBE
        BadNumber, ///< a packet number out of sequence
        Overrun,   ///< more payload than requested arrived
    };

    ReplyParser(std::uint8_t* buffer, std::size_t expected, bool& firstPacket,
                std::uint16_t& counter)
        : m_buffer(buffer), m_expected(expected), m_firstPacket(firstPacket), m_counter(counter) {}

    /// Takes the next piece of the stream. Ends at the first faulty byte; the rest of the
    /// piece is dropped. Payload beyond the requested count is never stored.
    Status feed(const std::uint8_t* data, std::size_t len);

    std::size_t received() const { return m_received; }

private:
    std::uint8_t* m_buffer;
    std::size_t m_expected;
    bool& m_firstPacket;
    std::uint16_t& m_counter;
    std::size_t m_received = 0;
    int m_position = 0;
    std::uint16_t m_number = 0;
};

} // namespace vqx::net
