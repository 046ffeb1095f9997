#include "RequestFraming.h"

#include <QByteArray>
#include <QString>

namespace vqx::sim {

namespace {
QString hexBytes(const std::uint8_t* p, std::size_t n) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(p), static_cast<qsizetype>(n))
            .toHex(' ')
            .toUpper());
}
} // namespace

std::uint32_t decodeRequestValue(const std::uint8_t* fiveBytes) {
    const std::uint8_t* p = fiveBytes;
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 7) | (std::uint32_t{p[2]} << 14) |
           (std::uint32_t{p[3]} << 21) | (std::uint32_t{p[4] & 0x0Fu} << 28);
}

RequestStep nextRequest(const std::uint8_t* p, std::size_t available, bool strict, bool& stray) {
    RequestStep step;
    if (available == 0)
        return step;
    // Resynchronise on the header byte: the only byte of a group with bit 7 set.
    if ((p[0] & 0x80) == 0) {
        step.kind = RequestStep::Kind::Skip;
        step.length = 1;
        if (strict && !stray) {
            stray = true;
            step.rejection = QStringLiteral("byte %1 outside a request group")
                                 .arg(p[0], 2, 16, QLatin1Char('0'))
                                 .toUpper()
                                 .toStdString();
        }
        return step;
    }
    stray = false;
    if (strict) {
        // A data byte with bit 7 set ends the group early: it is the next header.
        for (std::size_t i = 1; i < 6 && i < available; ++i) {
            if (p[i] & 0x80) {
                step.kind = RequestStep::Kind::Skip;
                step.length = i;
                step.rejection = QStringLiteral("request %1: data byte %2 has bit 7 set")
                                     .arg(hexBytes(p, i + 1))
                                     .arg(i)
                                     .toStdString();
                return step;
            }
        }
    }
    if (available < 6)
        return step;
    step.length = 6;
    if (strict && ((p[0] & 0x20) != 0 || (p[5] & 0x70) != 0)) {
        step.kind = RequestStep::Kind::Skip;
        step.rejection =
            QStringLiteral("request %1: reserved bits set").arg(hexBytes(p, 6)).toStdString();
        return step;
    }
    step.kind = RequestStep::Kind::Group;
    return step;
}

} // namespace vqx::sim
