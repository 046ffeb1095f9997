#include "NetFraming.h"

#include "ModuleProtocol.h"

namespace vqx::net {

void encodeValue(std::uint32_t value, std::uint8_t* out) {
    out[0] = static_cast<std::uint8_t>(value & 0x7F);
    out[1] = static_cast<std::uint8_t>((value >> 7) & 0x7F);
    out[2] = static_cast<std::uint8_t>((value >> 14) & 0x7F);
    out[3] = static_cast<std::uint8_t>((value >> 21) & 0x7F);
    out[4] = static_cast<std::uint8_t>((value >> 28) & 0x0F);
}

Request encodeWrite(int reg, std::uint32_t word) {
    Request r{};
    r[0] = static_cast<std::uint8_t>(0x80 | (reg & 0x1F));
    encodeValue(word, r.data() + 1);
    return r;
}

Request encodeRead(int reg, std::uint32_t count) {
    Request r{};
    r[0] = static_cast<std::uint8_t>(0xC0 | (reg & 0x1F));
    encodeValue(count, r.data() + 1);
    return r;
}

std::vector<std::uint8_t> encodeWriteBlock(int reg, const std::uint32_t* words,
                                           std::uint32_t count) {
    std::vector<std::uint8_t> out(std::size_t{count} * 6);
    const auto header = static_cast<std::uint8_t>(0x80 | (reg & 0x1F));
    for (std::uint32_t i = 0; i < count; ++i) {
        out[i * 6] = header;
        encodeValue(words[i], out.data() + i * 6 + 1);
    }
    return out;
}

std::vector<std::uint32_t> eepromDataWords(const std::uint8_t* bytes, std::uint32_t count) {
    std::vector<std::uint32_t> words((std::size_t{count} + 1) / 2, 0);
    for (std::uint32_t i = 0; i < count; ++i)
        words[i / 2] |= std::uint32_t{bytes[i]} << vqx::module::dataLaneShift(i);
    return words;
}

ReplyParser::Status ReplyParser::feed(const std::uint8_t* data, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        const std::uint8_t b = data[i];
        switch (m_position) {
        case 0:
            if (b != kMagic0)
                return Status::BadMagic0;
            break;
        case 1:
            if (b != kMagic1)
                return Status::BadMagic1;
            break;
        case 2:
            m_number = b;
            break;
        case 3:
            m_number = static_cast<std::uint16_t>(m_number | (b << 8));
            if (m_firstPacket) {
                m_firstPacket = false;
                m_counter = m_number;
            } else {
                ++m_counter;
                if (m_number != m_counter)
                    return Status::BadNumber;
            }
            break;
        default:
            if (m_received < m_expected)
                m_buffer[m_received] = b;
            ++m_received;
            break;
        }
        if (++m_position == kPacketSize)
            m_position = 0;
    }
    if (m_received > m_expected)
        return Status::Overrun;
    return m_received == m_expected ? Status::Complete : Status::More;
}

} // namespace vqx::net
