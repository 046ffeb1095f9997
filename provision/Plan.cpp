#include "Plan.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <QBuffer>
#include <QIODevice>
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

QString tooManyModules(std::size_t limit) {
    return QStringLiteral("the plan lists more than %1 modules; split it into smaller plans")
        .arg(limit);
}

/// The bytes of a plan from a device, a chunk at a time, at most `limit` of them.
class PlanReader {
public:
    PlanReader(QIODevice& in, qint64 limit) : m_in(in), m_limit(std::max<qint64>(limit, 0)) {}

    /// The next byte (0..255); -1 at the end, and also once the plan goes past the limit or
    /// a read fails, which error() then tells.
    int get() {
        if (m_pos == m_buf.size() && !more())
            return -1;
        return static_cast<unsigned char>(m_buf[m_pos++]);
    }
    /// The byte `ahead` places after the next one, left to be read; -1 past the end. What it
    /// looks at stays held (a plan that starts with a megabyte of blanks holds a megabyte).
    int peek(std::size_t ahead) {
        while (m_pos + ahead >= m_buf.size())
            if (!more())
                return -1;
        return static_cast<unsigned char>(m_buf[m_pos + ahead]);
    }
    void skip(std::size_t n) { m_pos = std::min(m_pos + n, m_buf.size()); }
    const QString& error() const { return m_error; }

private:
    static constexpr qint64 kChunk = qint64{64} * 1024;

    /// Reads more after what is held, dropping what was taken already; false at the end.
    bool more() {
        if (!m_error.isEmpty())
            return false;
        if (m_over)
            return tooLarge();
        if (m_pos == m_buf.size()) {
            m_buf.clear();
            m_pos = 0;
        }
        const std::size_t held = m_buf.size();
        // One byte past the limit tells a plan of exactly the limit from a larger one.
        const qint64 room = std::min(kChunk, m_limit + 1 - m_read);
        m_buf.resize(held + static_cast<std::size_t>(room));
        const qint64 n = m_in.read(m_buf.data() + held, room);
        if (n < 0) {
            m_buf.resize(held);
            m_error = QStringLiteral("reading the plan failed: %1").arg(m_in.errorString());
            return false;
        }
        m_read += n;
        m_over = m_read > m_limit;
        const qint64 kept = m_over ? n - 1 : n;
        m_buf.resize(held + static_cast<std::size_t>(kept));
        if (kept > 0)
            return true;
        return m_over ? tooLarge() : false;
    }
    bool tooLarge() {
        constexpr qint64 mib = qint64{1024} * 1024;
        m_error = (m_limit % mib == 0
                       ? QStringLiteral("the plan is larger than %1 MiB").arg(m_limit / mib)
                       : QStringLiteral("the plan is larger than %1 bytes").arg(m_limit)) +
                  QStringLiteral("; split it into smaller plans");
        return false;
    }

    QIODevice& m_in;
    const qint64 m_limit;
    qint64 m_read = 0; ///< bytes read from the device
    bool m_over = false;
    std::vector<char> m_buf;
    std::size_t m_pos = 0; ///< the next byte in m_buf
    QString m_error;
};

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

bool isBlank(int c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

/// One line of a CSV plan, without its '\n', of which `text` holds at most
/// kMaxPlanLineBytes bytes; `cut` tells a longer line. `first` is its first byte that is
/// not an ASCII blank (0: none), which tells a long comment or blank line from others.
struct CsvLine {
    QByteArray text;
    int first = 0;
    bool cut = false;
};

/// The next line; false at the end of the plan.
bool readLine(PlanReader& in, CsvLine& line) {
    line.text.resize(0);
    line.first = 0;
    line.cut = false;
    int c = in.get();
    if (c < 0)
        return false;
    for (; c >= 0 && c != '\n'; c = in.get()) {
        if (line.first == 0 && !isBlank(c))
            line.first = c;
        if (line.text.size() < kMaxPlanLineBytes)
            line.text.append(static_cast<char>(c));
        else
            line.cut = true;
    }
    return true;
}

bool parseCsv(PlanReader& in, std::size_t maxModules, std::vector<PlanEntry>& out, QString* error) {
    static const QStringList known = {QStringLiteral("host"), QStringLiteral("port"),
                                      QStringLiteral("slot"), QStringLiteral("ip"),
                                      QStringLiteral("mask"), QStringLiteral("gateway")};
    QStringList header;
    CsvLine raw;
    for (int ln = 1; readLine(in, raw); ++ln) {
        const QString where = QStringLiteral("plan line %1").arg(ln);
        if (raw.cut) {
            if (raw.first == 0 || raw.first == '#')
                continue;
            *error = QStringLiteral("%1: longer than %2 bytes").arg(where).arg(kMaxPlanLineBytes);
            return false;
        }
        QString line = QString::fromUtf8(raw.text);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        if (!header.isEmpty() && out.size() == maxModules) {
            *error = tooManyModules(maxModules);
            return false;
        }
        QString why;
        const auto fields = splitCsvLine(line, &why);
        if (!fields) {
            *error = QStringLiteral("%1: %2").arg(where, why);
            return false;
        }
        if (header.isEmpty()) {
            for (const QString& f : *fields) {
                const QString name = f.toLower();
                if (!known.contains(name)) {
                    *error = QStringLiteral("%1: unknown column '%2' (known: %3)")
                                 .arg(where, shown(f), known.join(QStringLiteral(", ")));
                    return false;
                }
                if (header.contains(name)) {
                    *error = QStringLiteral("%1: column '%2' appears twice").arg(where, shown(f));
                    return false;
                }
                header << name;
            }
            for (const char* required : {"ip", "mask", "gateway"})
                if (!header.contains(QLatin1String(required))) {
                    *error = QStringLiteral("%1: the header lacks the column '%2'")
                                 .arg(where, QLatin1String(required));
                    return false;
                }
            if (!header.contains(QStringLiteral("host")) &&
                !header.contains(QStringLiteral("slot"))) {
                *error =
                    QStringLiteral("%1: the header needs a 'host' or a 'slot' column").arg(where);
                return false;
            }
            continue;
        }
        if (fields->size() != header.size()) {
            *error = QStringLiteral("%1: %2 fields where the header has %3")
                         .arg(where)
                         .arg(fields->size())
                         .arg(header.size());
            return false;
        }
        const auto value = [&](const char* name) {
            const auto i = header.indexOf(QLatin1String(name));
            return i < 0 ? QString() : fields->at(i);
        };
        PlanEntry e;
        e.origin = ln;
        if (!makeEntry(where, value("host"), value("port"), value("slot"), value("ip"),
                       value("mask"), value("gateway"), e, error))
            return false;
        out.push_back(e);
    }
    if (header.isEmpty()) {
        *error = QStringLiteral("the plan has no header row");
        return false;
    }
    return true;
}

/// The plan's bytes as the input iterator the JSON parser reads from.
class ReaderIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = char;

    ReaderIterator() = default; ///< the end
    explicit ReaderIterator(PlanReader& in) : m_in(&in), m_byte(in.get()) {}
    char operator*() const { return static_cast<char>(m_byte); }
    ReaderIterator& operator++() {
        m_byte = m_in->get();
        return *this;
    }
    bool operator==(const ReaderIterator& other) const {
        return (m_byte < 0) == (other.m_byte < 0);
    }

private:
    PlanReader* m_in = nullptr;
    int m_byte = -1;
};

/// The start of a value or key of the plan, enough for any message about it: more than the
/// kShownChars characters shown() quotes, however many bytes they take, so a message reads
/// as the whole text would make it (a valid value is far shorter). A 60 MB string is not
/// copied.
QString headOf(const std::string& text) {
    constexpr std::size_t kept = 4 * kShownChars + 16;
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(std::min(text.size(), kept)));
}

/// Builds the entries of a JSON plan from the parser's events, checking the plan's shape,
/// each entry's keys and the types of their values as they come.
class JsonPlan final : public nlohmann::json_sax<nlohmann::json> {
public:
    JsonPlan(std::size_t maxModules, std::vector<PlanEntry>& out)
        : m_maxModules(maxModules), m_out(out) {}

    QString error; ///< the first problem met

    bool null() override { return scalar(Scalar::Other); }
    bool boolean(bool) override { return scalar(Scalar::Other); }
    bool number_integer(number_integer_t v) override {
        return scalar(Scalar::Number, QString::number(v));
    }
    bool number_unsigned(number_unsigned_t v) override {
        return scalar(Scalar::Number, QString::number(v));
    }
    bool number_float(number_float_t d, const string_t&) override {
        // Only a whole number is taken, and one too large for an int is passed on as text,
        // for the range checks to refuse by its value.
        if (!std::isfinite(d) || std::trunc(d) != d)
            return scalar(Scalar::Other);
        return scalar(Scalar::Number, std::fabs(d) < 1e9 ? QString::number(static_cast<int>(d))
                                                         : QString::number(d, 'f', 0));
    }
    bool string(string_t& s) override {
        return scalar(s.empty() ? Scalar::EmptyString : Scalar::String, headOf(s));
    }
    bool binary(binary_t&) override { return scalar(Scalar::Other); }

    bool start_object(std::size_t) override {
        switch (m_at) {
        case At::Start:
            m_at = At::Top;
            return true;
        case At::Modules:
            if (!nextEntry())
                return false;
            m_seen = 0;
            for (QString& t : m_texts)
                t.clear();
            m_at = At::Entry;
            return true;
        default:
            return scalar(Scalar::Other);
        }
    }
    bool start_array(std::size_t) override {
        if (m_at == At::Start || m_at == At::TopValue) {
            m_modulesInObject = m_at == At::TopValue;
            m_at = At::Modules;
            return true;
        }
        return scalar(Scalar::Other);
    }
    bool key(string_t& k) override {
        if (m_at == At::Top) {
            if (k != "modules")
                return fail(shape());
            if (m_sawModules)
                return fail(QStringLiteral("the key \"modules\" appears twice in one object"));
            m_sawModules = true;
            m_at = At::TopValue;
            return true;
        }
        // In an entry.
        std::size_t i = 0;
        while (i < std::size(kKeys) && k != kKeys[i])
            ++i;
        if (i == std::size(kKeys))
            return fail(QStringLiteral("%1: unknown key \"%2\"").arg(where(), shown(headOf(k))));
        if (m_seen & (1u << i))
            return fail(QStringLiteral("%1: the key \"%2\" appears twice")
                            .arg(where(), QLatin1String(kKeys[i])));
        m_seen |= 1u << i;
        m_key = i;
        m_at = At::EntryValue;
        return true;
    }
    bool end_object() override {
        if (m_at == At::Top) {
            m_at = At::End;
            return m_sawModules || fail(shape());
        }
        // The end of an entry.
        PlanEntry e;
        e.origin = static_cast<int>(m_entries);
        if (!makeEntry(where(), m_texts[0], m_texts[1], m_texts[2], m_texts[3], m_texts[4],
                       m_texts[5], e, &error))
            return false;
        m_out.push_back(e);
        m_at = At::Modules;
        return true;
    }
    bool end_array() override {
        m_at = m_modulesInObject ? At::Top : At::End;
        return true;
    }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& e) override {
        // "[json.exception.parse_error.101] parse error at line 1, column 9: syntax error
        // while parsing value - invalid literal; last read: '[tru'" without the prefixes; the
        // last token read is the user's text.
        std::string what = e.what();
        if (const auto end = what.find("] "); end != std::string::npos)
            what.erase(0, end + 2);
        if (const auto end = what.find(": ");
            what.starts_with("parse error") && end != std::string::npos)
            what.erase(0, end + 2);
        return fail(QStringLiteral("the plan is not valid JSON: %1 at offset %2")
                        .arg(shown(headOf(what), 2 * kShownChars))
                        .arg(position > 0 ? position - 1 : 0));
    }

private:
    static constexpr const char* kKeys[] = {"host", "port", "slot", "ip", "mask", "gateway"};
    static bool numeric(std::size_t key) { return key == 1 || key == 2; }

    /// Where the parser is: before the plan, in the top object (before a key or the value of
    /// "modules"), in the modules array (between entries), in an entry (before a key or a
    /// value), after the plan.
    enum class At { Start, Top, TopValue, Modules, Entry, EntryValue, End };
    enum class Scalar { Number, String, EmptyString, Other };

    bool fail(const QString& message) {
        error = message;
        return false;
    }
    static QString shape() {
        return QStringLiteral(
            "a JSON plan is an array of modules or an object with only a \"modules\" array");
    }
    QString where() const { return QStringLiteral("plan entry %1").arg(m_entries); }
    /// A value starts in the modules array: the next entry, within the bound.
    bool nextEntry() {
        if (m_entries == m_maxModules)
            return fail(tooManyModules(m_maxModules));
        ++m_entries;
        return true;
    }
    /// A value other than the start of the plan, of its top object or of an entry: a member
    /// of an entry, or a mistake. An object or array inside an entry is Other.
    bool scalar(Scalar kind, const QString& text = QString()) {
        switch (m_at) {
        case At::Modules:
            return nextEntry() && fail(QStringLiteral("%1: not an object").arg(where()));
        case At::EntryValue:
            break;
        default:
            return fail(shape());
        }
        const QLatin1String key(kKeys[m_key]);
        if (numeric(m_key) && kind != Scalar::Number)
            return fail(QStringLiteral("%1: \"%2\" must be a whole number").arg(where(), key));
        if (!numeric(m_key) && kind == Scalar::EmptyString)
            return fail(QStringLiteral("%1: \"%2\" is empty").arg(where(), key));
        if (!numeric(m_key) && kind != Scalar::String)
            return fail(QStringLiteral("%1: \"%2\" must be a string").arg(where(), key));
        m_texts[m_key] = text;
        m_at = At::Entry;
        return true;
    }

    const std::size_t m_maxModules;
    std::vector<PlanEntry>& m_out;
    At m_at = At::Start;
    bool m_modulesInObject = false;
    bool m_sawModules = false;
    std::size_t m_entries = 0; ///< entries begun, the current one included
    // The entry being read: its keys seen so far (a bit for each of kKeys), the key whose
    // value comes next, and the values as text (host, port, slot, ip, mask, gateway).
    unsigned m_seen = 0;
    std::size_t m_key = 0;
    QString m_texts[6];
};

bool startsWithBom(PlanReader& in) {
    return in.peek(0) == 0xEF && in.peek(1) == 0xBB && in.peek(2) == 0xBF;
}

bool parseJson(PlanReader& in, std::size_t maxModules, std::vector<PlanEntry>& out,
               QString* error) {
    // The parser would pass over a byte order mark at its start, after the one taken off.
    if (startsWithBom(in)) {
        *error = QStringLiteral("the plan is not valid JSON: a second byte order mark at offset 0");
        return false;
    }
    JsonPlan plan(maxModules, out);
    if (nlohmann::json::sax_parse(ReaderIterator(in), ReaderIterator(), &plan))
        return true;
    *error = plan.error;
    return false;
}

/// The first entry, in plan order, whose target an earlier one has; nullptr when none has.
const PlanEntry* firstRepeated(const std::vector<PlanEntry>& entries) {
    // The targets with their places, sorted: 16 bytes a module, for a moment.
    std::vector<std::pair<std::uint64_t, std::size_t>> keys;
    keys.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PlanEntry& e = entries[i];
        keys.emplace_back(e.bySlot() ? (std::uint64_t{1} << 48) | std::uint64_t(e.slot)
                                     : (std::uint64_t{e.host} << 16) | e.port,
                          i);
    }
    std::sort(keys.begin(), keys.end());
    std::size_t first = entries.size();
    for (std::size_t j = 1; j < keys.size(); ++j)
        if (keys[j].first == keys[j - 1].first)
            first = std::min(first, keys[j].second);
    return first < entries.size() ? &entries[first] : nullptr;
}

} // namespace

std::optional<std::vector<PlanEntry>> readPlan(QIODevice& in, PlanFormat format, QString* error,
                                               const PlanLimits& limits) {
    PlanReader reader(in, limits.bytes);
    if (startsWithBom(reader))
        reader.skip(3);
    if (format == PlanFormat::Auto) {
        // JSON starts with '[' or '{' after blanks, which are left for the CSV parser.
        std::size_t i = 0;
        int c = reader.peek(i);
        while (c == '\n' || isBlank(c))
            c = reader.peek(++i);
        format = (c == '[' || c == '{') ? PlanFormat::Json : PlanFormat::Csv;
    }
    std::vector<PlanEntry> entries;
    QString why;
    const bool parsed = format == PlanFormat::Json
                            ? parseJson(reader, limits.modules, entries, &why)
                            : parseCsv(reader, limits.modules, entries, &why);
    // A plan cut short by the bound or by a failed read is refused as such, whatever the
    // parser made of its start.
    if (!reader.error().isEmpty()) {
        *error = reader.error();
        return std::nullopt;
    }
    if (!parsed) {
        *error = why;
        return std::nullopt;
    }
    if (entries.empty()) {
        *error = QStringLiteral("the plan lists no modules");
        return std::nullopt;
    }
    if (const PlanEntry* e = firstRepeated(entries)) {
        *error = QStringLiteral("%1 is listed more than once").arg(e->target());
        return std::nullopt;
    }
    return entries;
}

std::optional<std::vector<PlanEntry>> parsePlan(const QByteArray& raw, PlanFormat format,
                                                QString* error) {
    QBuffer in;
    in.setData(raw);
    in.open(QIODevice::ReadOnly);
    return readPlan(in, format, error);
}

} // namespace vqx::provision
