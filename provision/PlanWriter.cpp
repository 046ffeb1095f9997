#include "PlanWriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace vqx::provision {

QString csvField(const QString& text) {
    const bool plain = !text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
                       !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')) &&
                       text.trimmed() == text;
    if (plain)
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString csvLine(const QStringList& fields) {
    QStringList out;
    out.reserve(fields.size());
    for (const QString& f : fields)
        out << csvField(f);
    return out.join(QLatin1Char(','));
}

QByteArray writePlan(const std::vector<PlanEntry>& entries, PlanFormat format) {
    if (format == PlanFormat::Json) {
        QJsonArray modules;
        for (const PlanEntry& e : entries) {
            QJsonObject o;
            if (e.bySlot()) {
                o.insert(QStringLiteral("slot"), e.slot);
            } else {
                o.insert(QStringLiteral("host"), formatAddress(e.host));
                if (e.port != kModulePort)
                    o.insert(QStringLiteral("port"), e.port);
            }
            o.insert(QStringLiteral("ip"), formatAddress(e.settings.ip));
            o.insert(QStringLiteral("mask"), formatAddress(e.settings.mask));
            o.insert(QStringLiteral("gateway"), formatAddress(e.settings.gateway));
            modules.append(o);
        }
        return QJsonDocument(QJsonObject{{QStringLiteral("modules"), modules}})
            .toJson(QJsonDocument::Indented);
    }
    QByteArray out = "host,port,slot,ip,mask,gateway\n";
    for (const PlanEntry& e : entries) {
        const QStringList fields = {e.bySlot() ? QString() : formatAddress(e.host),
                                    e.bySlot() || e.port == kModulePort ? QString()
                                                                        : QString::number(e.port),
                                    e.bySlot() ? QString::number(e.slot) : QString(),
                                    formatAddress(e.settings.ip),
                                    formatAddress(e.settings.mask),
                                    formatAddress(e.settings.gateway)};
        out += csvLine(fields).toUtf8() + '\n';
    }
    return out;
}

} // namespace vqx::provision
