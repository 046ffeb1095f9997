#include "ModuleTarget.h"

#include <array>
#include <tuple>

namespace vqx::provision {

QString recordLine(const NetworkRecord& r) {
    return QStringLiteral("ip %1, mask %2, gateway %3")
        .arg(formatAddress(r.ip), formatAddress(r.mask), formatAddress(r.gateway));
}

QStringList differences(const NetworkRecord& from, const NetworkRecord& to, QStringList* names) {
    QStringList out;
    const std::array<std::tuple<const char*, std::uint32_t, std::uint32_t>, 3> fields = {
        {{"ip", from.ip, to.ip},
         {"mask", from.mask, to.mask},
         {"gateway", from.gateway, to.gateway}}};
    for (const auto& [field, a, b] : fields) {
        if (a == b)
            continue;
        out << QStringLiteral("%1 %2 -> %3")
                   .arg(QLatin1String(field), formatAddress(a), formatAddress(b));
        if (names)
            *names << QLatin1String(field);
    }
    return out;
}

Outcome writeAndVerify(ModuleTarget& t, const NetworkRecord& settings, bool verify,
                       std::optional<NetworkRecord>& after, const Progress& writing,
                       const Progress& verifying) {
    const Outcome written = t.writeRecord(settings, writing);
    if (!written.ok() || !verify)
        return written;
    NetworkRecord back;
    if (Outcome o = t.readRecord(back, verifying); !o.ok()) {
        o.message = QStringLiteral("written, but reading it back failed: %1").arg(o.message);
        o.bytesWritten = written.bytesWritten;
        o.bytesMaybeWritten = written.bytesMaybeWritten;
        return o;
    }
    after = back;
    if (back != settings) {
        Outcome o = Outcome::fail(
            Exit::Mismatch, QStringLiteral("%1: verification failed: the module reads back %2 "
                                           "(differs: %3)")
                                .arg(t.name(), recordLine(back),
                                     differences(settings, back).join(QStringLiteral(", "))));
        o.bytesWritten = written.bytesWritten;
        return o;
    }
    return written;
}

} // namespace vqx::provision
