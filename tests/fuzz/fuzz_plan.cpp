// Provisioning plans: parsePlan in CSV, JSON and automatic form, and the CSV line splitter.
//
// Properties:
//  - a parsed plan lists 1..kMaxPlanModules modules, each reached by a slot 1..6 (with the
//    default port) or by a host, no target twice;
//  - a parsed plan written out again, as CSV and as JSON, parses to the same plan;
//  - a byte order mark in front changes nothing;
//  - a parsed plan of N modules and B bytes is refused, for its size alone, under a bound
//    of N - 1 modules or B - 1 bytes, and read the same under bounds of N and B;
//  - a refused plan gives a message of bounded length with no control character in it
//    (the user's text is quoted escaped and cut);
//  - a line the splitter accepts, written again with every field quoted, splits into the
//    same fields.

#include <fuzzer/FuzzedDataProvider.h>

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <set>
#include <utility>

#include "FuzzCheck.h"
#include "Plan.h"

using namespace vqx;
using namespace vqx::provision;

namespace {

bool sameModules(const std::vector<PlanEntry>& a, const std::vector<PlanEntry>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].slot != b[i].slot || a[i].host != b[i].host || a[i].port != b[i].port ||
            !(a[i].settings == b[i].settings))
            return false;
    return true;
}

void checkMessage(const QString& error) {
    VQX_FUZZ_CHECK(!error.isEmpty());
    VQX_FUZZ_CHECK(error.size() < 1000);
    for (const QChar c : error)
        VQX_FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7F);
}

QByteArray asCsv(const std::vector<PlanEntry>& plan) {
    QByteArray out = "host,port,slot,ip,mask,gateway\n";
    for (const PlanEntry& e : plan) {
        if (e.bySlot())
            out += ",," + QByteArray::number(e.slot);
        else
            out += formatAddress(e.host).toLatin1() + ',' + QByteArray::number(e.port) + ',';
        out += ',' + formatAddress(e.settings.ip).toLatin1() + ',' +
               formatAddress(e.settings.mask).toLatin1() + ',' +
               formatAddress(e.settings.gateway).toLatin1() + '\n';
    }
    return out;
}

QByteArray asJson(const std::vector<PlanEntry>& plan) {
    QJsonArray modules;
    for (const PlanEntry& e : plan) {
        QJsonObject o;
        if (e.bySlot()) {
            o.insert(QStringLiteral("slot"), e.slot);
        } else {
            o.insert(QStringLiteral("host"), formatAddress(e.host));
            o.insert(QStringLiteral("port"), e.port);
        }
        o.insert(QStringLiteral("ip"), formatAddress(e.settings.ip));
        o.insert(QStringLiteral("mask"), formatAddress(e.settings.mask));
        o.insert(QStringLiteral("gateway"), formatAddress(e.settings.gateway));
        modules.append(o);
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("modules"), modules}}).toJson();
}

std::optional<std::vector<PlanEntry>> readBounded(const QByteArray& text, PlanFormat format,
                                                  PlanLimits limits, QString* error) {
    QBuffer in;
    in.setData(text);
    in.open(QIODevice::ReadOnly);
    return readPlan(in, format, error, limits);
}

void checkBounds(const QByteArray& text, PlanFormat format, const std::vector<PlanEntry>& plan) {
    const PlanLimits exact{text.size(), plan.size()};
    QString error;
    const auto same = readBounded(text, format, exact, &error);
    VQX_FUZZ_CHECK(same && sameModules(*same, plan));
    const auto fewer = readBounded(text, format, {exact.bytes, exact.modules - 1}, &error);
    VQX_FUZZ_CHECK(!fewer && error.startsWith(QStringLiteral("the plan lists more than")));
    const auto shorter = readBounded(text, format, {exact.bytes - 1, exact.modules}, &error);
    VQX_FUZZ_CHECK(!shorter && error.startsWith(QStringLiteral("the plan is larger than")));
}

void checkPlan(const std::vector<PlanEntry>& plan) {
    VQX_FUZZ_CHECK(!plan.empty() && plan.size() <= kMaxPlanModules);
    std::set<std::pair<std::uint32_t, std::uint16_t>> hosts;
    std::set<int> slotsSeen;
    for (const PlanEntry& e : plan) {
        VQX_FUZZ_CHECK(e.slot >= 0 && e.slot <= 6);
        VQX_FUZZ_CHECK(e.origin >= 1);
        if (e.bySlot()) {
            VQX_FUZZ_CHECK(e.port == kModulePort && e.host == 0);
            VQX_FUZZ_CHECK(slotsSeen.insert(e.slot).second);
        } else {
            VQX_FUZZ_CHECK(e.port != 0);
            VQX_FUZZ_CHECK(hosts.insert({e.host, e.port}).second);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const auto format = static_cast<PlanFormat>(data[0] % 3);
    const QByteArray text(reinterpret_cast<const char*>(data + 1),
                          static_cast<qsizetype>(size - 1));

    QString error;
    const auto plan = parsePlan(text, format, &error);
    if (!plan) {
        checkMessage(error);
    } else {
        checkPlan(*plan);
        checkBounds(text, format, *plan);
        QString again;
        const auto fromCsv = parsePlan(asCsv(*plan), PlanFormat::Csv, &again);
        VQX_FUZZ_CHECK(fromCsv && sameModules(*plan, *fromCsv));
        const auto fromJson = parsePlan(asJson(*plan), PlanFormat::Json, &again);
        VQX_FUZZ_CHECK(fromJson && sameModules(*plan, *fromJson));
        const auto fromAuto = parsePlan(asJson(*plan), PlanFormat::Auto, &again);
        VQX_FUZZ_CHECK(fromAuto && sameModules(*plan, *fromAuto));
    }
    if (!text.startsWith("\xEF\xBB\xBF")) {
        QString bomError;
        const auto withBom = parsePlan("\xEF\xBB\xBF" + text, format, &bomError);
        VQX_FUZZ_CHECK(bool(withBom) == bool(plan));
        VQX_FUZZ_CHECK(!plan || sameModules(*plan, *withBom));
        VQX_FUZZ_CHECK(plan || bomError == error);
    }

    // The first line through the splitter, and back.
    const QString all = QString::fromUtf8(text);
    const QString line = all.left(all.indexOf(QLatin1Char('\n')));
    QString why;
    const auto fields = splitCsvLine(line, &why);
    if (fields) {
        QStringList quoted;
        for (QString f : *fields)
            quoted << QLatin1Char('"') + f.replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
                          QLatin1Char('"');
        QString again;
        const auto split = splitCsvLine(quoted.join(QLatin1Char(',')), &again);
        VQX_FUZZ_CHECK(split && *split == *fields);
    } else {
        VQX_FUZZ_CHECK(!why.isEmpty());
    }
    return 0;
}
