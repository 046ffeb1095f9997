#include "ApplyReport.h"

#include <QStringList>

#include "ExitCodes.h"
#include "PlanWriter.h"

namespace vqx::provision {

QJsonObject recordJson(const NetworkRecord& r) {
    return QJsonObject{{QStringLiteral("ip"), formatAddress(r.ip)},
                       {QStringLiteral("mask"), formatAddress(r.mask)},
                       {QStringLiteral("gateway"), formatAddress(r.gateway)}};
}

QJsonObject applyItemJson(const ApplyItem& item) {
    QJsonObject obj{
        {QStringLiteral("target"), item.entry.target()},
        {QStringLiteral("planned"), recordJson(item.entry.settings)},
        {QStringLiteral("before"),
         item.before ? QJsonValue(recordJson(*item.before)) : QJsonValue()},
        {QStringLiteral("after"), item.after ? QJsonValue(recordJson(*item.after)) : QJsonValue()},
        {QStringLiteral("written"), item.written},
        {QStringLiteral("bytesWritten"), item.outcome.bytesWritten},
        {QStringLiteral("bytesMaybeWritten"), item.outcome.bytesMaybeWritten},
        {QStringLiteral("result"), item.result},
        {QStringLiteral("exit"), code(item.outcome.exit)}};
    if (item.entry.bySlot()) {
        obj.insert(QStringLiteral("slot"), item.entry.slot);
    } else {
        obj.insert(QStringLiteral("host"), formatAddress(item.entry.host));
        obj.insert(QStringLiteral("port"), item.entry.port);
    }
    if (item.before) {
        QStringList names;
        differences(*item.before, item.entry.settings, &names);
        obj.insert(QStringLiteral("changes"), QJsonArray::fromStringList(names));
    }
    if (!item.outcome.ok()) {
        obj.insert(QStringLiteral("error"), item.outcome.message);
        if (item.outcome.deviceCode != 0)
            obj.insert(QStringLiteral("code"), item.outcome.deviceCode);
    }
    return obj;
}

QJsonArray applyReportJson(const std::vector<ApplyItem>& items) {
    QJsonArray arr;
    for (const ApplyItem& item : items)
        arr.append(applyItemJson(item));
    return arr;
}

QByteArray applyReportCsv(const std::vector<ApplyItem>& items) {
    const auto record = [](const std::optional<NetworkRecord>& r) {
        return r ? QStringList{formatAddress(r->ip), formatAddress(r->mask),
                               formatAddress(r->gateway)}
                 : QStringList{QString(), QString(), QString()};
    };
    QByteArray out = "target,host,port,slot,planned_ip,planned_mask,planned_gateway,before_ip,"
                     "before_mask,before_gateway,after_ip,after_mask,after_gateway,changes,"
                     "written,bytes_written,bytes_maybe_written,result,exit,code,error\n";
    for (const ApplyItem& item : items) {
        const PlanEntry& e = item.entry;
        QStringList changes;
        if (item.before)
            differences(*item.before, e.settings, &changes);
        const bool failed = !item.outcome.ok();
        QStringList fields = {e.target(), e.bySlot() ? QString() : formatAddress(e.host),
                              e.bySlot() ? QString() : QString::number(e.port),
                              e.bySlot() ? QString::number(e.slot) : QString()};
        fields << record(e.settings) << record(item.before) << record(item.after);
        fields << changes.join(QLatin1Char(' '))
               << (item.written ? QStringLiteral("yes") : QStringLiteral("no"))
               << QString::number(item.outcome.bytesWritten)
               << QString::number(item.outcome.bytesMaybeWritten) << item.result
               << QString::number(code(item.outcome.exit))
               << (failed && item.outcome.deviceCode != 0 ? QString::number(item.outcome.deviceCode)
                                                          : QString())
               << (failed ? item.outcome.message : QString());
        out += csvLine(fields).toUtf8() + '\n';
    }
    return out;
}

} // namespace vqx::provision
