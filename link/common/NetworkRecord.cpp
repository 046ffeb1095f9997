#include "NetworkRecord.h"

#include <QStringList>

namespace vqx {

namespace {
void putAddress(RecordBytes& bytes, int offset, std::uint32_t packed) {
    for (int i = 0; i < 4; ++i)
        bytes[static_cast<std::size_t>(offset) + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(packed >> (8 * i));
}

std::uint32_t takeAddress(const RecordBytes& bytes, int offset) {
    std::uint32_t packed = 0;
    for (int i = 0; i < 4; ++i)
        packed |=
            std::uint32_t{bytes[static_cast<std::size_t>(offset) + static_cast<std::size_t>(i)]}
            << (8 * i);
    return packed;
}
} // namespace

RecordBytes NetworkRecord::toBytes() const {
    RecordBytes bytes{};
    putAddress(bytes, 0, gateway);
    putAddress(bytes, 4, mask);
    putAddress(bytes, 8, ip);
    return bytes;
}

NetworkRecord NetworkRecord::fromBytes(const RecordBytes& bytes) {
    return NetworkRecord{takeAddress(bytes, 0), takeAddress(bytes, 4), takeAddress(bytes, 8)};
}

QString formatAddress(std::uint32_t packed) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(packed >> 24)
        .arg((packed >> 16) & 0xFF)
        .arg((packed >> 8) & 0xFF)
        .arg(packed & 0xFF);
}

std::optional<std::uint32_t> parseAddress(const QString& text) {
    const QStringList parts = text.trimmed().split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    std::uint32_t packed = 0;
    for (const QString& part : parts) {
        // A leading zero is refused rather than guessed at: C's inet_aton reads "010" as
        // octal 8, a human as ten.
        if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part.front() == u'0'))
            return std::nullopt;
        for (QChar c : part)
            if (!c.isDigit() || c.unicode() > 127)
                return std::nullopt;
        const uint value = part.toUInt();
        if (value > 255)
            return std::nullopt;
        packed = (packed << 8) | value;
    }
    return packed;
}

} // namespace vqx
