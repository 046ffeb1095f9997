#include "Output.h"

#include <array>
#include <tuple>
#include <utility>

#include <QJsonArray>
#include <QJsonValue>
#include <QStringList>

#include "ApplyReport.h"
#include "CommandLine.h"
#include "ExitCodes.h"
#include "ModuleTypes.h"

namespace vqx::cli {

using namespace vqx::provision;

// ---- the console ----

// A progress line stands on stderr without a line end while a USB transfer runs. Any other
// output first erases it, so that nothing is glued onto it when a transfer fails.
void Console::endProgress() {
    std::lock_guard lock(m_lock);
    if (!m_progressShown)
        return;
    m_io.err << "\r\033[K";
    m_io.err.flush();
    m_progressShown = false;
}

void Console::message(const QString& text) {
    std::lock_guard lock(m_lock);
    endProgress();
    m_io.err << kToolName << ": " << text.toStdString() << '\n';
}

void Console::trace(const QString& text) {
    if (m_verbose == 0)
        return;
    std::lock_guard lock(m_lock);
    endProgress();
    m_io.err << text.toStdString() << '\n';
}

void Console::print(const QString& text) {
    std::lock_guard lock(m_lock);
    endProgress();
    m_io.out << text.toStdString() << '\n';
}

void Console::printJson(const QJsonDocument& doc) {
    std::lock_guard lock(m_lock);
    endProgress();
    m_io.out << doc.toJson(QJsonDocument::Indented).toStdString();
}

void Console::printJsonArray(std::size_t count,
                             const std::function<QJsonObject(std::size_t)>& item) {
    std::lock_guard lock(m_lock);
    endProgress();
    m_io.out << "[\n";
    for (std::size_t i = 0; i < count; ++i) {
        // An element of an indented array: the object's own lines, four spaces further in.
        const QByteArray text = QJsonDocument(item(i)).toJson(QJsonDocument::Indented).trimmed();
        m_io.out << "    ";
        for (const char c : text) {
            m_io.out << c;
            if (c == '\n')
                m_io.out << "    ";
        }
        m_io.out << (i + 1 < count ? ",\n" : "\n");
    }
    m_io.out << "]\n";
}

int Console::fail(const Outcome& o, const QString& target) {
    message(o.message);
    if (m_json) {
        QJsonObject obj{{QStringLiteral("error"), o.message},
                        {QStringLiteral("exit"), code(o.exit)}};
        if (!target.isEmpty())
            obj.insert(QStringLiteral("target"), target);
        if (o.deviceCode != 0)
            obj.insert(QStringLiteral("code"), o.deviceCode);
        printJson(QJsonDocument(obj));
    }
    return code(o.exit);
}

Progress Console::progressFor(const QString& target, bool usb, const char* verb) {
    // USB transfers take about 100 ms a byte; show where they are when someone is watching.
    if (!usb || !showsProgress())
        return {};
    const std::string name = target.toStdString();
    const std::string what = verb;
    return [this, name, what](int done, int total) {
        std::lock_guard lock(m_lock);
        m_io.err << '\r' << name << ": " << what << ' ' << done << '/' << total << " bytes";
        m_progressShown = true;
        if (done == total)
            endProgress();
        m_io.err.flush();
    };
}

void Console::showProgress(const std::string& text) {
    std::lock_guard lock(m_lock);
    m_io.err << '\r' << text << "\033[K";
    m_io.err.flush();
    m_progressShown = true;
}

// ---- texts ----

QString partlyWritten(int stored, int maybe) {
    const int next = kRecordFirstAddress + stored;
    if (stored == 0)
        return maybe > 0 ? QStringLiteral("(not written, maybe address %1)").arg(next)
                         : QStringLiteral("(not written)");
    QString text = QStringLiteral("(partly written: addresses %1 to %2")
                       .arg(kRecordFirstAddress)
                       .arg(next - 1);
    if (maybe > 0)
        text += QStringLiteral(", maybe %1").arg(next);
    return text + QLatin1Char(')');
}

QString named(const QString& target, const QString& text) {
    if (text.startsWith(target) &&
        (text.size() == target.size() || text.at(target.size()) == QLatin1Char(':') ||
         text.at(target.size()) == QLatin1Char(' ')))
        return text;
    return QStringLiteral("%1: %2").arg(target, text);
}

// ---- read and write ----

void showRecord(Console& console, const NetworkRecord& r) {
    if (console.json()) {
        console.printJson(QJsonDocument(recordJson(r)));
        return;
    }
    console.print(QStringLiteral("IP:      %1").arg(formatAddress(r.ip)));
    console.print(QStringLiteral("Mask:    %1").arg(formatAddress(r.mask)));
    console.print(QStringLiteral("Gateway: %1").arg(formatAddress(r.gateway)));
}

void showWrite(Console& console, const WriteReport& w) {
    const Outcome& result = w.result;
    const int stored = result.bytesWritten;
    const int maybe = result.bytesMaybeWritten;
    if (console.json()) {
        QJsonObject obj{
            {QStringLiteral("target"), w.target},
            {QStringLiteral("before"), recordJson(w.before)},
            {QStringLiteral("written"), recordJson(w.written)},
            {QStringLiteral("after"), w.after ? QJsonValue(recordJson(*w.after)) : QJsonValue()},
            {QStringLiteral("verified"), result.ok() && w.verify},
            {QStringLiteral("bytesWritten"), stored},
            {QStringLiteral("bytesMaybeWritten"), maybe},
            {QStringLiteral("exit"), code(result.exit)}};
        if (!result.ok())
            obj.insert(QStringLiteral("error"), result.message);
        if (result.deviceCode != 0)
            obj.insert(QStringLiteral("code"), result.deviceCode);
        console.printJson(QJsonDocument(obj));
        return;
    }
    // The second column: what the module holds now as far as it is known. After a write that
    // failed part way only the addresses that took their byte are named.
    const bool wrote = stored == kRecordSize;
    const NetworkRecord shown = w.after ? *w.after : w.written;
    QString head = w.after ? QStringLiteral("read back") : QStringLiteral("written");
    if (!wrote)
        head = partlyWritten(stored, maybe);
    console.print(
        QStringLiteral("%1 %2 %3").arg(QString(), -8).arg(QStringLiteral("old"), -16).arg(head));
    const std::array<std::tuple<const char*, std::uint32_t, std::uint32_t>, 3> rows = {
        {{"IP:", w.before.ip, shown.ip},
         {"Mask:", w.before.mask, shown.mask},
         {"Gateway:", w.before.gateway, shown.gateway}}};
    for (const auto& [label, a, b] : rows) {
        QString line = QStringLiteral("%1 %2")
                           .arg(QLatin1String(label), -8)
                           .arg(formatAddress(a), wrote ? -16 : 0);
        if (wrote)
            line += QLatin1Char(' ') + formatAddress(b);
        console.print(line);
    }
    if (result.ok())
        console.print(w.verify ? QStringLiteral("Verified: the module holds the new settings.")
                               : QStringLiteral("Written; not read back (--no-verify)."));
}

// ---- slots ----

void showHubHeading(Console& console, int hub, const QString& serial) {
    console.print(QStringLiteral("Hub %1 (serial %2):")
                      .arg(hub)
                      .arg(serial.isEmpty() ? QStringLiteral("unknown") : serial));
}

QString slotLine(const SlotReport& s) {
    QString text = QStringLiteral("Slot %1: %2 (type %3)")
                       .arg(s.slot)
                       .arg(QString::fromLatin1(vqx::usb::moduleTypeName(s.type)))
                       .arg(s.type);
    if (!s.withRecord)
        return text;
    if (s.record)
        text += QStringLiteral(": %1").arg(recordLine(*s.record));
    else if (s.type != 0)
        text += QStringLiteral(": record not read: %1").arg(s.failure.message);
    return text;
}

QJsonObject slotJson(const SlotReport& s) {
    QJsonObject obj{
        {QStringLiteral("slot"), s.slot},
        {QStringLiteral("type"), s.type},
        {QStringLiteral("name"), QString::fromLatin1(vqx::usb::moduleTypeName(s.type))}};
    if (s.withHub) {
        obj.insert(QStringLiteral("hub"), s.hub);
        obj.insert(QStringLiteral("serial"), s.serial);
    }
    if (!s.withRecord)
        return obj;
    if (!s.record && s.type != 0) {
        obj.insert(QStringLiteral("error"), s.failure.message);
        if (s.failure.deviceCode != 0)
            obj.insert(QStringLiteral("code"), s.failure.deviceCode);
    }
    for (const auto& [key, field] :
         {std::pair{"ip", &NetworkRecord::ip}, std::pair{"mask", &NetworkRecord::mask},
          std::pair{"gateway", &NetworkRecord::gateway}})
        obj.insert(QLatin1String(key),
                   s.record ? QJsonValue(formatAddress((*s.record).*field)) : QJsonValue());
    return obj;
}

// ---- apply ----

QString readPhaseLine(const ApplyItem& item) {
    if (!item.outcome.ok())
        return item.outcome.message;
    if (item.result == QStringLiteral("unchanged"))
        return QStringLiteral("no change");
    return differences(*item.before, item.entry.settings).join(QStringLiteral(", "));
}

namespace {

/// What the module holds after the run, as far as it is known.
QString afterText(const ApplyItem& item) {
    if (item.after)
        return recordLine(*item.after);
    if (item.result == QStringLiteral("unchanged"))
        return recordLine(*item.before);
    if (item.written && item.outcome.ok())
        return recordLine(item.entry.settings) + QStringLiteral(" (written, not read back)");
    if (item.written && item.outcome.bytesWritten < kRecordSize)
        return QStringLiteral("(unknown) ") +
               partlyWritten(item.outcome.bytesWritten, item.outcome.bytesMaybeWritten);
    if (!item.written && item.before)
        return recordLine(*item.before) + QStringLiteral(" (not written)");
    if (item.result == QStringLiteral("not started"))
        return QStringLiteral("(not contacted)");
    return QStringLiteral("(unknown)");
}

void showApplyItem(Console& console, const ApplyItem& item) {
    console.print(item.entry.target());
    console.print(QStringLiteral("  before: %1")
                      .arg(item.before ? recordLine(*item.before) : QStringLiteral("(not read)")));
    console.print(QStringLiteral("  after:  %1").arg(afterText(item)));
    console.print(QStringLiteral("  result: %1").arg(item.result));
    if (!item.outcome.ok())
        console.print(QStringLiteral("  error:  %1").arg(item.outcome.message));
}

} // namespace

void showApplyReport(Console& console, const std::vector<ApplyItem>& items, bool dryRun,
                     bool interrupted, int good) {
    if (console.json()) {
        console.printJsonArray(items.size(),
                               [&items](std::size_t i) { return applyItemJson(items[i]); });
        return;
    }
    console.print(dryRun ? QStringLiteral("Dry run: nothing was written.")
                         : QStringLiteral("Report:"));
    if (!dryRun || interrupted)
        for (const ApplyItem& item : items)
            showApplyItem(console, item);
    console.print(QStringLiteral("%1 of %2 module(s) %3.")
                      .arg(good)
                      .arg(items.size())
                      .arg(dryRun ? QStringLiteral("read") : QStringLiteral("succeeded")));
}

// ---- scan ----

void showScan(Console& console, const std::vector<ScanHit>& hits) {
    QJsonArray arr;
    for (const ScanHit& h : hits) {
        const QString address = formatAddress(h.address);
        if (console.json()) {
            QJsonObject o{{QStringLiteral("address"), address},
                          {QStringLiteral("variant"), h.variant}};
            const auto field = [&h](std::uint32_t NetworkRecord::*f) {
                return h.record ? QJsonValue(formatAddress((*h.record).*f)) : QJsonValue();
            };
            o.insert(QStringLiteral("ip"), field(&NetworkRecord::ip));
            o.insert(QStringLiteral("mask"), field(&NetworkRecord::mask));
            o.insert(QStringLiteral("gateway"), field(&NetworkRecord::gateway));
            o.insert(QStringLiteral("differs"), h.differs());
            if (!h.record)
                o.insert(QStringLiteral("error"), h.failure.message);
            arr.append(o);
            continue;
        }
        QString line = QStringLiteral("%1  variant %2  ").arg(address, -15).arg(h.variant);
        if (h.record)
            line += QStringLiteral("ip %1  mask %2  gateway %3")
                        .arg(formatAddress(h.record->ip), -15)
                        .arg(formatAddress(h.record->mask), -15)
                        .arg(formatAddress(h.record->gateway), h.differs() ? -15 : 0);
        else
            line += QStringLiteral("record not read: %1").arg(h.failure.message);
        if (h.differs())
            line += QStringLiteral("  * record differs from the address");
        console.print(line);
    }
    if (console.json())
        console.printJson(QJsonDocument(arr));
}

} // namespace vqx::cli
