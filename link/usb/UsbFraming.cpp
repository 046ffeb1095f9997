#include "UsbFraming.h"

#include <algorithm>

namespace vqx::usb::framing {

std::array<std::uint8_t, 5> encodeWord(std::uint32_t word) {
    return {static_cast<std::uint8_t>(word & 0x7F), static_cast<std::uint8_t>((word >> 7) & 0x7F),
            static_cast<std::uint8_t>((word >> 14) & 0x7F),
            static_cast<std::uint8_t>((word >> 21) & 0x7F),
            static_cast<std::uint8_t>((word >> 28) & 0x0F)};
}

std::uint32_t decodeWord(const std::uint8_t* fiveBytes) {
    const std::uint8_t* b = fiveBytes;
    return (std::uint32_t{b[0]} & 0x7F) | ((std::uint32_t{b[1]} & 0x7F) << 7) |
           ((std::uint32_t{b[2]} & 0x7F) << 14) | ((std::uint32_t{b[3]} & 0x7F) << 21) |
           ((std::uint32_t{b[4]} & 0x0F) << 28);
}

void appendWriteRequest(std::vector<std::uint8_t>& out, std::uint8_t reg,
                        const std::uint32_t* words, std::uint32_t count) {
    out.reserve(out.size() + 1 + 5 * std::size_t{count});
    out.push_back(writeHeader(reg));
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto bytes = encodeWord(words[i]);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
}

std::vector<std::vector<std::uint8_t>> writeRequests(std::uint8_t reg, const std::uint32_t* words,
                                                     std::uint32_t count) {
    std::vector<std::vector<std::uint8_t>> requests;
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t n = std::min(count - done, kMaxWordsPerRequest);
        requests.emplace_back();
        appendWriteRequest(requests.back(), reg, words + done, n);
        done += n;
    }
    return requests;
}

std::array<std::uint8_t, kReadRequestBytes> readRequest(std::uint8_t reg, std::uint32_t count) {
    const std::uint32_t c = count & kCountMask;
    return {readHeader(reg),
            static_cast<std::uint8_t>(c & 0x7F),
            static_cast<std::uint8_t>((c >> 7) & 0x7F),
            static_cast<std::uint8_t>((c >> 14) & 0x7F),
            static_cast<std::uint8_t>((c >> 21) & 0x1F),
            0x00};
}

std::uint32_t decodeReadCount(const std::uint8_t* fourBytes) {
    const std::uint8_t* b = fourBytes;
    return (std::uint32_t{b[0]} & 0x7F) | ((std::uint32_t{b[1]} & 0x7F) << 7) |
           ((std::uint32_t{b[2]} & 0x7F) << 14) | ((std::uint32_t{b[3]} & 0x1F) << 21);
}

} // namespace vqx::usb::framing
