#include "Plan.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringList>

#include <nlohmann/json.hpp>

#include "UserText.h"

namespace vqx::provision {

QString PlanEntry::target() const {
    if (bySlot())
        return QStringLiteral("slot %1").arg(slot);
    if (port == kModulePort)
        return formatAddress(host);
    return QStringLiteral("%1:%2").arg(formatAddress(host)).arg(port);
}

std::optional<QStringList> splitCsvLine(const QString& line, QString* error) {
    QStringList fields;
    QString field;
    int i = 0;
    const int n = static_cast<int>(line.size());
    for (;;) {
        // One field: leading blanks, then either a quoted text or plain text up to a comma.
        while (i < n && (line[i] == QLatin1Char(' ') || line[i] == QLatin1Char('\t')))
            ++i;
        field.clear();
        if (i < n && line[i] == QLatin1Char('"')) {
            ++i;
            bool closed = false;
            while (i < n) {
                if (line[i] == QLatin1Char('"')) {
                    if (i + 1 < n && line[i + 1] == QLatin1Char('"')) {
                        field += QLatin1Char('"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                field += line[i++];
            }
            if (!closed) {
                *error = QStringLiteral("a quoted field is not closed");
                return std::nullopt;
            }
            while (i < n && (line[i] == QLatin1Char(' ') || line[i] == QLatin1Char('\t')))
                ++i;
            if (i < n && line[i] != QLatin1Char(',')) {
                *error = QStringLiteral("text after a closing quote");
                return std::nullopt;
            }
            fields << field;
        } else {
            while (i < n && line[i] != QLatin1Char(',')) {
                if (line[i] == QLatin1Char('"')) {
                    *error = QStringLiteral("a quote inside an unquoted field");
                    return std::nullopt;
                }
                field += line[i++];
            }
            fields << field.trimmed();
        }
        if (i >= n)
            break;
        ++i; // the comma; a trailing comma yields a last empty field
        if (i >= n) {
            fields << QString();
            break;
        }
    }
    return fields;
}

namespace {

QString tooManyModules() {
    return QStringLiteral("the plan lists more than %1 modules; split it into smaller plans")
        .arg(kMaxPlanModules);
}

/// Builds an entry from text values; shared by both forms. `where` prefixes messages.
bool makeEntry(const QString& where, const QString& host, const QString& port, const QString& slot,
               const QString& ip, const QString& mask, const QString& gateway, PlanEntry& e,
               QString* error) {
    const auto fail = [&](const QString& what) {
        *error = QStringLiteral("%1: %2").arg(where, what);
        return false;
    };
    if (host.isEmpty() == slot.isEmpty())
        return fail(QStringLiteral("give either a host or a slot"));
    if (!host.isEmpty()) {
        const auto a = parseAddress(host);
        if (!a)
            return fail(QStringLiteral("host '%1' is not a dotted IPv4 address").arg(shown(host)));
        e.host = *a;
        if (!port.isEmpty()) {
            bool ok = isPlainDecimal(port);
            const uint p = ok ? port.toUInt(&ok) : 0;
            if (!ok || p == 0 || p > 65535)
                return fail(
                    QStringLiteral("port '%1' is not a number from 1 to 65535").arg(shown(port)));
            e.port = static_cast<std::uint16_t>(p);
        }
    } else {
        if (!port.isEmpty())
            return fail(QStringLiteral("a port goes with a host, not with a slot"));
        bool ok = isPlainDecimal(slot);
        const int s = ok ? slot.toInt(&ok) : 0;
        if (!ok || s < 1 || s > 6)
            return fail(QStringLiteral("slot '%1' is not a number from 1 to 6").arg(shown(slot)));
        e.slot = s;
    }
    const std::pair<const char*, std::pair<const QString*, std::uint32_t*>> fields[] = {
        {"ip", {&ip, &e.settings.ip}},
        {"mask", {&mask, &e.settings.mask}},
        {"gateway", {&gateway, &e.settings.gateway}}};
    for (const auto& [name, f] : fields) {
        if (f.first->isEmpty())
            return fail(QStringLiteral("%1 is missing").arg(QLatin1String(name)));
        const auto a = parseAddress(*f.first);
        if (!a)
            return fail(QStringLiteral("%1 '%2' is not a dotted IPv4 address")
                            .arg(QLatin1String(name), shown(*f.first)));
        *f.second = *a;
    }
    return true;
}

std::optional<std::vector<PlanEntry>> parseCsv(const QString& text, QString* error) {
    static const QStringList known = {QStringLiteral("host"), QStringLiteral("port"),
                                      QStringLiteral("slot"), QStringLiteral("ip"),
                                      QStringLiteral("mask"), QStringLiteral("gateway")};
    std::vector<PlanEntry> out;
    QStringList header;
    // Line by line without splitting the whole text first: a plan of many empty lines would
    // otherwise become as many list entries.
    int ln = -1;
    for (qsizetype start = 0; start <= text.size();) {
        ++ln;
        qsizetype end = text.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = text.size();
        QString line = text.mid(start, end - start);
        start = end + 1;
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        const QString where = QStringLiteral("plan line %1").arg(ln + 1);
        QString why;
        const auto fields = splitCsvLine(line, &why);
        if (!fields) {
            *error = QStringLiteral("%1: %2").arg(where, why);
            return std::nullopt;
        }
        if (header.isEmpty()) {
            for (const QString& f : *fields) {
                const QString name = f.toLower();
                if (!known.contains(name)) {
                    *error = QStringLiteral("%1: unknown column '%2' (known: %3)")
                                 .arg(where, shown(f), known.join(QStringLiteral(", ")));
                    return std::nullopt;
                }
                if (header.contains(name)) {
                    *error = QStringLiteral("%1: column '%2' appears twice").arg(where, shown(f));
                    return std::nullopt;
                }
                header << name;
            }
            for (const char* required : {"ip", "mask", "gateway"})
                if (!header.contains(QLatin1String(required))) {
                    *error = QStringLiteral("%1: the header lacks the column '%2'")
                                 .arg(where, QLatin1String(required));
                    return std::nullopt;
                }
            if (!header.contains(QStringLiteral("host")) &&
                !header.contains(QStringLiteral("slot"))) {
                *error =
                    QStringLiteral("%1: the header needs a 'host' or a 'slot' column").arg(where);
                return std::nullopt;
            }
            continue;
        }
        if (fields->size() != header.size()) {
            *error = QStringLiteral("%1: %2 fields where the header has %3")
                         .arg(where)
                         .arg(fields->size())
                         .arg(header.size());
            return std::nullopt;
        }
        const auto value = [&](const char* name) {
            const auto i = header.indexOf(QLatin1String(name));
            return i < 0 ? QString() : fields->at(i);
        };
        PlanEntry e;
        e.origin = ln + 1;
        if (!makeEntry(where, value("host"), value("port"), value("slot"), value("ip"),
                       value("mask"), value("gateway"), e, error))
            return std::nullopt;
        if (out.size() == kMaxPlanModules) {
            *error = tooManyModules();
            return std::nullopt;
        }
        out.push_back(e);
    }
    if (header.isEmpty()) {
        *error = QStringLiteral("the plan has no header row");
        return std::nullopt;
    }
    return out;
}

/// Walks a JSON text as a stream of events and stops at the first object that has a key
/// twice (Qt's parser would keep one of the values silently). Knows the plan's shape well
/// enough to name the entry: the modules are the top array, or the array one level down.
class DuplicateKeyFinder : public nlohmann::json_sax<nlohmann::json> {
public:
    /// Empty when no object repeats a key; else the message.
    QString problem;

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override {
        value();
        m_stack.push_back({true, {}, 0});
        return true;
    }
    bool key(string_t& key) override {
        if (m_stack.back().keys.insert(key).second)
            return true;
        const QString name = shown(QString::fromStdString(key));
        const int entry = entryNumber();
        problem =
            entry > 0
                ? QStringLiteral("plan entry %1: the key \"%2\" appears twice").arg(entry).arg(name)
                : QStringLiteral("the key \"%1\" appears twice in one object").arg(name);
        return false;
    }
    bool end_object() override {
        m_stack.pop_back();
        return true;
    }
    bool start_array(std::size_t) override {
        value();
        m_stack.push_back({false, {}, 0});
        return true;
    }
    bool end_array() override {
        m_stack.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false; // Qt's parser has reported syntax errors already
    }

private:
    struct Frame {
        bool object;
        std::set<std::string> keys;
        int values; ///< values seen so far, in an array
    };
    bool value() {
        if (!m_stack.empty() && !m_stack.back().object)
            ++m_stack.back().values;
        return true;
    }
    /// The number (from 1) of the module entry being read; 0 outside the modules array.
    int entryNumber() const {
        if (m_stack.size() >= 2 && !m_stack[0].object)
            return m_stack[0].values;
        if (m_stack.size() >= 3 && !m_stack[1].object)
            return m_stack[1].values;
        return 0;
    }
    std::vector<Frame> m_stack;
};

std::optional<std::vector<PlanEntry>> parseJson(const QByteArray& text, QString* error) {
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &pe);
    if (pe.error != QJsonParseError::NoError) {
        *error = QStringLiteral("the plan is not valid JSON: %1 at offset %2")
                     .arg(pe.errorString())
                     .arg(pe.offset);
        return std::nullopt;
    }
    DuplicateKeyFinder duplicates;
    nlohmann::json::sax_parse(text.cbegin(), text.cend(), &duplicates);
    if (!duplicates.problem.isEmpty()) {
        *error = duplicates.problem;
        return std::nullopt;
    }
    QJsonArray modules;
    if (doc.isArray()) {
        modules = doc.array();
    } else {
        const QJsonObject top = doc.object();
        if (top.size() != 1 || !top.value(QStringLiteral("modules")).isArray()) {
            *error = QStringLiteral(
                "a JSON plan is an array of modules or an object with only a \"modules\" array");
            return std::nullopt;
        }
        modules = top.value(QStringLiteral("modules")).toArray();
    }
    std::vector<PlanEntry> out;
    if (static_cast<std::size_t>(modules.size()) > kMaxPlanModules) {
        *error = tooManyModules();
        return std::nullopt;
    }
    for (int i = 0; i < modules.size(); ++i) {
        const QString where = QStringLiteral("plan entry %1").arg(i + 1);
        if (!modules[i].isObject()) {
            *error = QStringLiteral("%1: not an object").arg(where);
            return std::nullopt;
        }
        const QJsonObject o = modules[i].toObject();
        QString texts[6]; // host, port, slot, ip, mask, gateway
        static const char* const keys[6] = {"host", "port", "slot", "ip", "mask", "gateway"};
        for (auto it = o.begin(); it != o.end(); ++it) {
            int k = 0;
            while (k < 6 && it.key() != QLatin1String(keys[k]))
                ++k;
            if (k == 6) {
                *error = QStringLiteral("%1: unknown key \"%2\"").arg(where, shown(it.key()));
                return std::nullopt;
            }
            const bool numeric = (k == 1 || k == 2);
            if (numeric) {
                // A JSON number is a double: only a whole one is taken, and one too large for
                // an int is passed on as text, for the range checks to refuse by its value.
                const double d = it.value().toDouble();
                if (!it.value().isDouble() || !std::isfinite(d) || std::trunc(d) != d) {
                    *error =
                        QStringLiteral("%1: \"%2\" must be a whole number").arg(where, it.key());
                    return std::nullopt;
                }
                texts[k] = std::fabs(d) < 1e9 ? QString::number(static_cast<int>(d))
                                              : QString::number(d, 'f', 0);
            } else {
                if (!it.value().isString()) {
                    *error = QStringLiteral("%1: \"%2\" must be a string").arg(where, it.key());
                    return std::nullopt;
                }
                texts[k] = it.value().toString();
                if (texts[k].isEmpty()) {
                    *error = QStringLiteral("%1: \"%2\" is empty").arg(where, it.key());
                    return std::nullopt;
                }
            }
        }
        PlanEntry e;
        e.origin = i + 1;
        if (!makeEntry(where, texts[0], texts[1], texts[2], texts[3], texts[4], texts[5], e, error))
            return std::nullopt;
        out.push_back(e);
    }
    return out;
}

} // namespace

std::optional<std::vector<PlanEntry>> parsePlan(const QByteArray& raw, PlanFormat format,
                                                QString* error) {
    QByteArray text = raw;
    if (text.startsWith("\xEF\xBB\xBF"))
        text.remove(0, 3);
    if (format == PlanFormat::Auto) {
        const QByteArray t = text.trimmed();
        format = (t.startsWith('[') || t.startsWith('{')) ? PlanFormat::Json : PlanFormat::Csv;
    }
    auto entries = format == PlanFormat::Json ? parseJson(text, error)
                                              : parseCsv(QString::fromUtf8(text), error);
    if (!entries)
        return std::nullopt;
    if (entries->empty()) {
        *error = QStringLiteral("the plan lists no modules");
        return std::nullopt;
    }
    std::set<std::pair<std::uint32_t, std::uint16_t>> hosts;
    std::set<int> slotsSeen;
    for (const PlanEntry& e : *entries) {
        const bool fresh =
            e.bySlot() ? slotsSeen.insert(e.slot).second : hosts.insert({e.host, e.port}).second;
        if (!fresh) {
            *error = QStringLiteral("%1 is listed more than once").arg(e.target());
            return std::nullopt;
        }
    }
    return entries;
}

} // namespace vqx::provision
