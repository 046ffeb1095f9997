#include "Tool.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "DemoEnvironment.h"
#include "DriverFactory.h"
#include "ExitCodes.h"
#include "ModuleAccess.h"
#include "ModuleTypes.h"
#include "Plan.h"
#include "SimHub.h"
#include "TargetLock.h"
#include "UsbAccess.h"
#include "UserText.h"
#include "Validation.h"

namespace vqx::cli {

namespace {

constexpr const char* kToolName = "vqx250-ipconfig";
constexpr const char* kVersion = "1.0.0.1";
constexpr const char* kLockHelp =
    "One writer per module: a write (and each write step of apply) holds a lock file per module\n"
    "(vqx250-ipconfig-<module>.lock in $XDG_RUNTIME_DIR, or /tmp when it is unset). Another\n"
    "writer of the same module waits up to --timeout for it, then gives up (exit status 3).\n\n";

struct Options {
    bool json = false;
    bool demo = false;
    int verbose = 0;
    std::string driver = "auto";
    double timeout = 10;
    int hub = 0;

    std::string host;
    int port = kModulePort;
    int slot = 0;
    std::string ip, mask, gateway;
    bool force = false;
    bool noVerify = false;

    std::string plan;
    std::string format = "auto";
    bool dryRun = false;
};

QJsonObject recordJson(const NetworkRecord& r) {
    return QJsonObject{{QStringLiteral("ip"), formatAddress(r.ip)},
                       {QStringLiteral("mask"), formatAddress(r.mask)},
                       {QStringLiteral("gateway"), formatAddress(r.gateway)}};
}

/// "(partly written: addresses 6 to 9)" for a write that stored the first `stored` bytes,
/// "(partly written: addresses 6 to 9, maybe 10)" when the next byte may be stored as well,
/// "(not written)" or "(not written, maybe address 6)" when none was stored for sure.
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

QString recordLine(const NetworkRecord& r) {
    return QStringLiteral("ip %1, mask %2, gateway %3")
        .arg(formatAddress(r.ip), formatAddress(r.mask), formatAddress(r.gateway));
}

/// The fields that differ, as "ip 1.2.3.4 -> 5.6.7.8" items, and their names.
QStringList differences(const NetworkRecord& from, const NetworkRecord& to,
                        QStringList* names = nullptr) {
    QStringList out;
    const std::array<std::tuple<const char*, std::uint32_t, std::uint32_t>, 3> fields = {
        {{"ip", from.ip, to.ip},
         {"mask", from.mask, to.mask},
         {"gateway", from.gateway, to.gateway}}};
    for (const auto& [name, a, b] : fields) {
        if (a == b)
            continue;
        out << QStringLiteral("%1 %2 -> %3")
                   .arg(QLatin1String(name), formatAddress(a), formatAddress(b));
        if (names)
            *names << QLatin1String(name);
    }
    return out;
}

class Runner {
public:
    Runner(const Options& o, ToolIo io) : m_o(o), m_io(io) {}

    int read();
    int write();
    int listSlots();
    int apply();

private:
    // ---- output ----
    // A progress line stands on stderr without a line end while a USB transfer runs. Any
    // other output first erases it, so that nothing is glued onto it when a transfer fails.
    void endProgress() {
        if (!m_progressShown)
            return;
        m_io.err << "\r\033[K";
        m_io.err.flush();
        m_progressShown = false;
    }
    void message(const QString& text) {
        endProgress();
        m_io.err << kToolName << ": " << text.toStdString() << '\n';
    }
    void trace(const QString& text) {
        if (m_o.verbose == 0)
            return;
        endProgress();
        m_io.err << text.toStdString() << '\n';
    }
    void print(const QString& text) {
        endProgress();
        m_io.out << text.toStdString() << '\n';
    }
    void printJson(const QJsonDocument& doc) {
        endProgress();
        m_io.out << doc.toJson(QJsonDocument::Indented).toStdString();
    }
    /// "<target>: <text>", unless the text names the target already.
    static QString named(const QString& target, const QString& text) {
        if (text.startsWith(target) &&
            (text.size() == target.size() || text.at(target.size()) == QLatin1Char(':') ||
             text.at(target.size()) == QLatin1Char(' ')))
            return text;
        return QStringLiteral("%1: %2").arg(target, text);
    }
    /// Reports a failure: the message on stderr, and with --json an object on stdout.
    int fail(const Outcome& o, const QString& target = {}) {
        message(o.message);
        if (m_o.json) {
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
    Progress progressFor(const ModuleTarget& t, bool usb, const char* verb);

    // ---- devices ----
    Outcome startDemo();
    Outcome hubSession(HubSession*& session);
    /// A target for a host (slot 0) or a slot; the demo module when neither is given.
    Outcome makeTarget(std::uint32_t host, std::uint16_t port, int slot,
                       std::unique_ptr<ModuleTarget>& target);
    Outcome targetFromOptions(std::unique_ptr<ModuleTarget>& target);
    Outcome settingsFromOptions(NetworkRecord& settings);
    /// Applies the checks; refuses (Exit::Usage) unless --force, which only warns.
    Outcome checkBeforeWrite(const NetworkRecord& settings, const QString& where);
    /// Writes, then reads back unless --no-verify. after receives the record read back; the
    /// outcome's bytesWritten says how much of the record the module took.
    Outcome writeAndVerify(ModuleTarget& t, bool usb, const NetworkRecord& settings,
                           std::optional<NetworkRecord>& after);
    /// Takes the module's write lock, waiting up to --timeout when another writer holds it
    /// (Exit::Unreachable if it still does). A lock file that cannot be made is warned about
    /// and the write goes on without it.
    Outcome lockTarget(ModuleTarget& t, std::unique_ptr<TargetLock>& lock);

    Options m_o;
    ToolIo m_io;
    std::unique_ptr<vqx::sim::DemoEnvironment> m_demo;
    std::unique_ptr<HubSession> m_session;
    bool m_progressShown = false;
};

Progress Runner::progressFor(const ModuleTarget& t, bool usb, const char* verb) {
    // USB transfers take about 100 ms a byte; show where they are when someone is watching.
    // With -v the trace lines say that already, and a progress line would only flicker
    // between them.
    if (!usb || !m_io.progress || m_o.verbose > 0)
        return {};
    const std::string name = t.name().toStdString();
    const std::string what = verb;
    return [this, name, what](int done, int total) {
        m_io.err << '\r' << name << ": " << what << ' ' << done << '/' << total << " bytes";
        m_progressShown = true;
        if (done == total)
            endProgress();
        m_io.err.flush();
    };
}

Outcome Runner::startDemo() {
    if (m_demo || !m_o.demo)
        return {};
    m_demo = std::make_unique<vqx::sim::DemoEnvironment>();
    QString why;
    if (!m_demo->start(&why)) {
        m_demo.reset();
        return Outcome::fail(Exit::Failure,
                             QStringLiteral("the demo simulators could not start: %1").arg(why));
    }
    trace(QStringLiteral("demo: module at %1:%2, simulated hub with six slots")
              .arg(formatAddress(m_demo->moduleAddress()))
              .arg(m_demo->modulePort()));
    return {};
}

Outcome Runner::hubSession(HubSession*& session) {
    if (!m_session) {
        if (Outcome o = startDemo(); !o.ok())
            return o;
        std::unique_ptr<vqx::usb::D2xxDriver> driver;
        if (m_io.hubDriver) {
            driver = m_io.hubDriver();
            if (!driver)
                return Outcome::fail(Exit::Failure, QStringLiteral("no USB driver was given"));
        } else if (m_demo) {
            driver = m_demo->makeHubDriver();
        } else {
            if (m_o.driver == "sim")
                vqx::sim::registerSimDriver(vqx::sim::makeDemoHub());
            std::string why;
            driver = vqx::usb::createDriver(m_o.driver, &why);
            if (!driver)
                return Outcome::fail(
                    Exit::Unreachable,
                    QStringLiteral("no device: the USB driver '%1' is not available: %2")
                        .arg(QString::fromStdString(m_o.driver), QString::fromStdString(why)));
            if (!why.empty())
                trace(QStringLiteral("driver: %1").arg(QString::fromStdString(why)));
        }
        trace(QStringLiteral("driver: %1").arg(QString::fromStdString(driver->name())));
        if (m_o.verbose > 0)
            driver = std::make_unique<TracingDriver>(std::move(driver),
                                                     [this](const QString& l) { trace(l); });
        m_session = std::make_unique<HubSession>(std::move(driver), m_o.hub);
    }
    session = m_session.get();
    return {};
}

Outcome Runner::makeTarget(std::uint32_t host, std::uint16_t port, int slot,
                           std::unique_ptr<ModuleTarget>& target) {
    if (slot != 0) {
        HubSession* session = nullptr;
        if (Outcome o = hubSession(session); !o.ok())
            return o;
        target = std::make_unique<SlotTarget>(*session, slot);
        return {};
    }
    ConnectTiming timing;
    timing.timeoutSeconds = m_o.timeout;
    Diagnostics diag;
    if (m_o.verbose > 0)
        diag.trace = [this](const QString& l) { trace(l); };
    diag.warn = [this](const QString& l) { message(l); };
    target = std::make_unique<EthernetTarget>(host, port, timing, diag);
    return {};
}

Outcome Runner::targetFromOptions(std::unique_ptr<ModuleTarget>& target) {
    if (m_o.slot != 0)
        return makeTarget(0, 0, m_o.slot, target);
    if (!m_o.host.empty()) {
        const auto a = parseAddress(QString::fromStdString(m_o.host));
        if (!a)
            return Outcome::fail(
                Exit::Usage,
                QStringLiteral("--host: '%1' is not a dotted IPv4 address").arg(shown(m_o.host)));
        if (Outcome o = startDemo(); !o.ok())
            return o;
        return makeTarget(*a, static_cast<std::uint16_t>(m_o.port), 0, target);
    }
    if (m_o.demo) {
        if (Outcome o = startDemo(); !o.ok())
            return o;
        return makeTarget(m_demo->moduleAddress(), m_demo->modulePort(), 0, target);
    }
    return Outcome::fail(Exit::Usage, QStringLiteral("give --host ADDR or --slot N (see --help)"));
}

Outcome Runner::settingsFromOptions(NetworkRecord& s) {
    const std::array<std::pair<const char*, std::pair<const std::string*, std::uint32_t*>>, 3>
        fields = {{{"ip", {&m_o.ip, &s.ip}},
                   {"mask", {&m_o.mask, &s.mask}},
                   {"gateway", {&m_o.gateway, &s.gateway}}}};
    for (const auto& [name, f] : fields) {
        const auto a = parseAddress(QString::fromStdString(*f.first));
        if (!a)
            return Outcome::fail(Exit::Usage,
                                 QStringLiteral("--%1: '%2' is not a dotted IPv4 address")
                                     .arg(QLatin1String(name), shown(*f.first)));
        *f.second = *a;
    }
    return {};
}

Outcome Runner::checkBeforeWrite(const NetworkRecord& settings, const QString& where) {
    const auto violations = checkSettings(settings);
    if (violations.empty())
        return {};
    const QString prefix = where.isEmpty() ? QString() : where + QStringLiteral(": ");
    if (m_o.force) {
        for (const auto& v : violations)
            message(
                QStringLiteral("warning: %1%2 (written anyway: --force)").arg(prefix, v.message));
        return {};
    }
    QStringList lines;
    for (const auto& v : violations)
        lines << QStringLiteral("%1refused: %2").arg(prefix, v.message);
    lines << QStringLiteral("nothing was written; use --force to write these settings anyway");
    return Outcome::fail(Exit::Usage, lines.join(QLatin1Char('\n')));
}

Outcome Runner::writeAndVerify(ModuleTarget& t, bool usb, const NetworkRecord& settings,
                               std::optional<NetworkRecord>& after) {
    const Outcome written = t.writeRecord(settings, progressFor(t, usb, "writing"));
    if (!written.ok() || m_o.noVerify)
        return written;
    NetworkRecord back;
    if (Outcome o = t.readRecord(back, progressFor(t, usb, "verifying")); !o.ok()) {
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

Outcome Runner::lockTarget(ModuleTarget& t, std::unique_ptr<TargetLock>& lock) {
    QString key;
    if (Outcome o = t.lockKey(key); !o.ok())
        return o;
    lock = std::make_unique<TargetLock>(key);
    TargetLock::Result r = lock->acquire(0);
    if (r == TargetLock::Result::Busy) {
        message(QStringLiteral("%1 is being written by %2; waiting up to %3 s (--timeout)")
                    .arg(t.name(), lock->holder(), QString::number(m_o.timeout, 'g', 6)));
        r = lock->acquire(static_cast<int>(m_o.timeout * 1000.0));
    }
    if (r == TargetLock::Result::Busy)
        return Outcome::fail(Exit::Unreachable,
                             QStringLiteral("%1 is busy: %2 is writing it (lock %3); nothing was "
                                            "written")
                                 .arg(t.name(), lock->holder(), lock->fileName()));
    if (r == TargetLock::Result::Unavailable) {
        message(QStringLiteral("warning: %1: the write lock cannot be taken (%2); writing "
                               "without it")
                    .arg(t.name(), lock->problem()));
        lock.reset();
    }
    return {};
}

int Runner::read() {
    std::unique_ptr<ModuleTarget> t;
    if (Outcome o = targetFromOptions(t); !o.ok())
        return fail(o);
    const bool usb = m_o.slot != 0;
    if (Outcome o = t->open(); !o.ok())
        return fail(o, t->name());
    NetworkRecord r;
    if (Outcome o = t->readRecord(r, progressFor(*t, usb, "reading")); !o.ok())
        return fail(o, t->name());
    if (m_o.json) {
        printJson(QJsonDocument(recordJson(r)));
    } else {
        print(QStringLiteral("IP:      %1").arg(formatAddress(r.ip)));
        print(QStringLiteral("Mask:    %1").arg(formatAddress(r.mask)));
        print(QStringLiteral("Gateway: %1").arg(formatAddress(r.gateway)));
    }
    return code(Exit::Ok);
}

int Runner::write() {
    NetworkRecord settings;
    if (Outcome o = settingsFromOptions(settings); !o.ok())
        return fail(o);
    if (Outcome o = checkBeforeWrite(settings, {}); !o.ok())
        return fail(o);
    std::unique_ptr<ModuleTarget> t;
    if (Outcome o = targetFromOptions(t); !o.ok())
        return fail(o);
    const bool usb = m_o.slot != 0;
    // One writer per module at a time, from reading the old record to the read-back.
    std::unique_ptr<TargetLock> lock;
    if (Outcome o = lockTarget(*t, lock); !o.ok())
        return fail(o, t->name());
    if (Outcome o = t->open(); !o.ok())
        return fail(o, t->name());
    NetworkRecord before;
    if (Outcome o = t->readRecord(before, progressFor(*t, usb, "reading")); !o.ok())
        return fail(o, t->name());
    std::optional<NetworkRecord> after;
    const Outcome result = writeAndVerify(*t, usb, settings, after);
    const int stored = result.bytesWritten;
    const int maybe = result.bytesMaybeWritten;
    const bool wrote = stored == kRecordSize;
    if (!result.ok())
        message(result.message);
    if (m_o.json) {
        QJsonObject obj{
            {QStringLiteral("target"), t->name()},
            {QStringLiteral("before"), recordJson(before)},
            {QStringLiteral("written"), recordJson(settings)},
            {QStringLiteral("after"), after ? QJsonValue(recordJson(*after)) : QJsonValue()},
            {QStringLiteral("verified"), result.ok() && !m_o.noVerify},
            {QStringLiteral("bytesWritten"), stored},
            {QStringLiteral("bytesMaybeWritten"), maybe},
            {QStringLiteral("exit"), code(result.exit)}};
        if (!result.ok())
            obj.insert(QStringLiteral("error"), result.message);
        if (result.deviceCode != 0)
            obj.insert(QStringLiteral("code"), result.deviceCode);
        printJson(QJsonDocument(obj));
    } else {
        // The second column: what the module holds now as far as it is known. After a write
        // that failed part way only the addresses that took their byte are named.
        const NetworkRecord shown = after ? *after : settings;
        QString head = after ? QStringLiteral("read back") : QStringLiteral("written");
        if (!wrote)
            head = partlyWritten(stored, maybe);
        print(QStringLiteral("%1 %2 %3")
                  .arg(QString(), -8)
                  .arg(QStringLiteral("old"), -16)
                  .arg(head));
        const std::array<std::tuple<const char*, std::uint32_t, std::uint32_t>, 3> rows = {
            {{"IP:", before.ip, shown.ip},
             {"Mask:", before.mask, shown.mask},
             {"Gateway:", before.gateway, shown.gateway}}};
        for (const auto& [label, a, b] : rows) {
            QString line = QStringLiteral("%1 %2")
                               .arg(QLatin1String(label), -8)
                               .arg(formatAddress(a), wrote ? -16 : 0);
            if (wrote)
                line += QLatin1Char(' ') + formatAddress(b);
            print(line);
        }
        if (result.ok())
            print(m_o.noVerify ? QStringLiteral("Written; not read back (--no-verify).")
                               : QStringLiteral("Verified: the module holds the new settings."));
    }
    return code(result.exit);
}

int Runner::listSlots() {
    HubSession* session = nullptr;
    if (Outcome o = hubSession(session); !o.ok())
        return fail(o);
    if (Outcome o = session->open(); !o.ok())
        return fail(o, session->name());
    std::array<int, 6> codes{};
    if (Outcome o = session->readSlotTypes(codes); !o.ok())
        return fail(o, session->name());
    QJsonArray arr;
    for (int n = 1; n <= 6; ++n) {
        const int c = codes[static_cast<std::size_t>(n - 1)];
        const QString name = QString::fromLatin1(vqx::usb::moduleTypeName(c));
        if (m_o.json)
            arr.append(QJsonObject{{QStringLiteral("slot"), n},
                                   {QStringLiteral("type"), c},
                                   {QStringLiteral("name"), name}});
        else
            print(QStringLiteral("Slot %1: %2 (type %3)").arg(n).arg(name).arg(c));
    }
    if (m_o.json)
        printJson(QJsonDocument(arr));
    return code(Exit::Ok);
}

struct ApplyItem {
    PlanEntry entry;
    std::unique_ptr<ModuleTarget> target;
    std::optional<NetworkRecord> before;
    std::optional<NetworkRecord> after;
    Outcome outcome;
    QString result; ///< "ok", "unchanged", "would change", "unreachable", "device error", ...
    bool written = false;
};

QString resultName(Exit e) {
    switch (e) {
    case Exit::Ok:
        return QStringLiteral("ok");
    case Exit::Unreachable:
        return QStringLiteral("unreachable");
    case Exit::Device:
        return QStringLiteral("device error");
    case Exit::Mismatch:
        return QStringLiteral("verification mismatch");
    case Exit::Usage:
        return QStringLiteral("refused");
    default:
        return QStringLiteral("failed");
    }
}

int Runner::apply() {
    // The plan, and the checks of every entry before any module is touched.
    QFile in;
    if (m_o.plan == "-") {
        if (!in.open(stdin, QIODevice::ReadOnly))
            return fail(
                Outcome::fail(Exit::Usage, QStringLiteral("cannot read the plan from stdin")));
    } else {
        in.setFileName(QString::fromStdString(m_o.plan));
        if (!in.open(QIODevice::ReadOnly))
            return fail(
                Outcome::fail(Exit::Usage, QStringLiteral("cannot read the plan %1: %2")
                                               .arg(shown(in.fileName()), in.errorString())));
    }
    QString tooLarge;
    const std::optional<QByteArray> planText = readPlanText(in, &tooLarge);
    in.close();
    if (!planText)
        return fail(Outcome::fail(Exit::Usage, tooLarge));
    const QByteArray& text = *planText;
    PlanFormat format = PlanFormat::Auto;
    if (m_o.format == "csv")
        format = PlanFormat::Csv;
    else if (m_o.format == "json")
        format = PlanFormat::Json;
    else if (QString::fromStdString(m_o.plan).endsWith(QStringLiteral(".json"),
                                                       Qt::CaseInsensitive))
        format = PlanFormat::Json;
    else if (QString::fromStdString(m_o.plan).endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive))
        format = PlanFormat::Csv;
    QString why;
    const auto entries = parsePlan(text, format, &why);
    if (!entries)
        return fail(Outcome::fail(Exit::Usage, why));
    QStringList refusals;
    for (const PlanEntry& e : *entries) {
        const auto violations = checkSettings(e.settings);
        for (const auto& v : violations) {
            const QString line = QStringLiteral("%1: %2").arg(e.target(), v.message);
            if (m_o.force)
                message(QStringLiteral("warning: %1 (written anyway: --force)").arg(line));
            else
                refusals << QStringLiteral("refused: %1").arg(line);
        }
    }
    if (!refusals.isEmpty()) {
        refusals << QStringLiteral("nothing was read or written; use --force to write these "
                                   "settings anyway");
        return fail(Outcome::fail(Exit::Usage, refusals.join(QLatin1Char('\n'))));
    }

    // The demo's simulators serve the plan's hosts as well as its slots.
    if (Outcome o = startDemo(); !o.ok())
        return fail(o);

    // Phase 1: read every module and show what would change.
    std::vector<ApplyItem> items;
    items.reserve(entries->size());
    if (!m_o.json)
        print(QStringLiteral("Reading %1 module(s):").arg(entries->size()));
    for (const PlanEntry& e : *entries) {
        ApplyItem item;
        item.entry = e;
        Outcome o = makeTarget(e.host, e.port, e.slot, item.target);
        if (o.ok())
            o = item.target->open();
        NetworkRecord r;
        if (o.ok())
            o = item.target->readRecord(r, progressFor(*item.target, e.bySlot(), "reading"));
        if (o.ok())
            item.before = r;
        item.outcome = o;
        QString line;
        if (!o.ok()) {
            item.result = resultName(o.exit);
            line = o.message;
        } else {
            const QStringList diff = differences(r, e.settings);
            item.result = diff.isEmpty() ? QStringLiteral("unchanged")
                                         : (m_o.dryRun ? QStringLiteral("would change")
                                                       : QStringLiteral("pending"));
            line = diff.isEmpty() ? QStringLiteral("no change") : diff.join(QStringLiteral(", "));
        }
        if (!m_o.json)
            print(QStringLiteral("  %1").arg(named(e.target(), line)));
        else if (!o.ok())
            message(named(e.target(), o.message));
        items.push_back(std::move(item));
    }

    // Phase 2: write and verify each module that needs it; a failure moves on to the next.
    if (!m_o.dryRun) {
        for (ApplyItem& item : items) {
            if (item.result != QStringLiteral("pending"))
                continue;
            std::unique_ptr<TargetLock> lock;
            if (Outcome o = lockTarget(*item.target, lock); !o.ok()) {
                item.outcome = o;
                item.result = resultName(o.exit);
                if (m_o.json)
                    message(named(item.entry.target(), o.message));
                continue;
            }
            item.outcome =
                writeAndVerify(*item.target, item.entry.bySlot(), item.entry.settings, item.after);
            item.written = item.outcome.bytesWritten + item.outcome.bytesMaybeWritten > 0;
            item.result = item.outcome.ok() ? QStringLiteral("ok") : resultName(item.outcome.exit);
            if (!item.outcome.ok() && m_o.json)
                message(named(item.entry.target(), item.outcome.message));
        }
    }

    // The report.
    int good = 0;
    QJsonArray arr;
    if (!m_o.json)
        print(m_o.dryRun ? QStringLiteral("Dry run: nothing was written.")
                         : QStringLiteral("Report:"));
    for (const ApplyItem& item : items) {
        const bool success = item.outcome.ok();
        good += success ? 1 : 0;
        if (m_o.json) {
            QJsonObject obj{{QStringLiteral("target"), item.entry.target()},
                            {QStringLiteral("planned"), recordJson(item.entry.settings)},
                            {QStringLiteral("before"),
                             item.before ? QJsonValue(recordJson(*item.before)) : QJsonValue()},
                            {QStringLiteral("after"),
                             item.after ? QJsonValue(recordJson(*item.after)) : QJsonValue()},
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
            if (!success) {
                obj.insert(QStringLiteral("error"), item.outcome.message);
                if (item.outcome.deviceCode != 0)
                    obj.insert(QStringLiteral("code"), item.outcome.deviceCode);
            }
            arr.append(obj);
        } else if (!m_o.dryRun) {
            print(item.entry.target());
            print(QStringLiteral("  before: %1")
                      .arg(item.before ? recordLine(*item.before) : QStringLiteral("(not read)")));
            QString after = QStringLiteral("(unknown)");
            if (item.after)
                after = recordLine(*item.after);
            else if (item.result == QStringLiteral("unchanged"))
                after = recordLine(*item.before);
            else if (item.written && success)
                after =
                    recordLine(item.entry.settings) + QStringLiteral(" (written, not read back)");
            else if (item.written && item.outcome.bytesWritten < kRecordSize)
                after = QStringLiteral("(unknown) ") +
                        partlyWritten(item.outcome.bytesWritten, item.outcome.bytesMaybeWritten);
            else if (!item.written && item.before)
                after = recordLine(*item.before) + QStringLiteral(" (not written)");
            print(QStringLiteral("  after:  %1").arg(after));
            print(QStringLiteral("  result: %1").arg(item.result));
            if (!success)
                print(QStringLiteral("  error:  %1").arg(item.outcome.message));
        }
    }
    if (m_o.json)
        printJson(QJsonDocument(arr));
    else
        print(QStringLiteral("%1 of %2 module(s) %3.")
                  .arg(good)
                  .arg(items.size())
                  .arg(m_o.dryRun ? QStringLiteral("read") : QStringLiteral("succeeded")));
    return code(good == static_cast<int>(items.size()) ? Exit::Ok : Exit::Partial);
}

} // namespace

int runTool(int argc, const char* const* argv, ToolIo io) {
    Options o;
    CLI::App app{"Reads and writes the network settings (IP address, subnet mask, gateway) of "
                 "VQX250 measurement modules, over Ethernet or through the slots of a USB hub.",
                 kToolName};
    app.set_version_flag("--version", std::string(kToolName) + " " + kVersion);
    // The same options on every system: CLI11 would take "/x" as an option on Windows, and
    // a plan's path such as "/plans/rack4.csv" with it.
    app.allow_windows_style_options(false);
    app.footer(kExitCodeHelp);
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.add_flag("--json", o.json,
                 "Machine-readable output on stdout: a record is an object with \"ip\", "
                 "\"mask\" and \"gateway\"");
    app.add_option("--driver", o.driver, "USB driver: auto (default), d2xx, libftdi or sim")
        ->check(CLI::IsMember({"auto", "d2xx", "libftdi", "sim"}));
    app.add_flag("--demo", o.demo,
                 "Use the embedded simulators (a module on a loopback address and a "
                 "six-slot hub) instead of hardware");
    app.add_option("--timeout", o.timeout,
                   "Seconds to keep starting connection attempts (default 10, at most 86400); each "
                   "attempt waits its full second, so a short value still gets one")
        ->check(CLI::Range(0.001, 86400.0));
    app.add_flag("-v,--verbose", o.verbose, "Show each request and reply in hex on stderr");

    // Numbers are taken in plain decimal only: the library's own conversion would also read
    // "0x50", "+80" or " 80" as 80, and "010" as octal.
    const CLI::Validator decimal(
        [](std::string& text) -> std::string {
            if (isPlainDecimal(QString::fromStdString(text)))
                return {};
            return "'" + shown(text).toStdString() +
                   "' is not a plain decimal number (digits only, no leading zero)";
        },
        "DECIMAL");
    const auto addHub = [&o, &decimal](CLI::App* c, const char* help) {
        c->add_option("--hub", o.hub, help)->check(decimal)->check(CLI::Range(0, 255));
    };
    const auto addTarget = [&o, &decimal, &addHub](CLI::App* c) {
        auto* host = c->add_option("--host", o.host, "Module address (dotted IPv4), over Ethernet");
        c->add_option("--port", o.port, "TCP port of the module (default 23100)")
            ->check(decimal)
            ->check(CLI::Range(1, 65535))
            ->needs(host);
        auto* slot = c->add_option("--slot", o.slot, "Hub slot 1 to 6, over USB")
                         ->check(decimal)
                         ->check(CLI::Range(1, 6));
        host->excludes(slot);
        addHub(c, "Hub number, from 0 (default 0)");
    };

    auto* read = app.add_subcommand("read", "Read a module's IP address, mask and gateway");
    addTarget(read);
    read->footer(kExitCodeHelp);

    auto* write = app.add_subcommand(
        "write", "Write a module's network settings, then read them back and compare");
    addTarget(write);
    write->add_option("--ip", o.ip, "New IP address")->required();
    write->add_option("--mask", o.mask, "New subnet mask")->required();
    write->add_option("--gateway", o.gateway, "New gateway (0.0.0.0 = none)")->required();
    write->add_flag("--force", o.force, "Write even settings that fail the checks");
    write->add_flag("--no-verify", o.noVerify, "Do not read the record back after writing");
    write->footer(std::string(kLockHelp) + kExitCodeHelp);

    auto* slotsCmd = app.add_subcommand("slots", "List the hub's six slots and their module types");
    addHub(slotsCmd, "Hub number, from 0 (default 0)");
    slotsCmd->footer(kExitCodeHelp);

    auto* apply = app.add_subcommand(
        "apply", "Apply a plan (CSV or JSON, '-' for stdin) of many modules: read all, show the "
                 "differences, then write and verify each and report");
    apply->add_option("PLAN", o.plan, "The plan file")->required();
    apply
        ->add_option("--format", o.format,
                     "Plan format: auto (default: by name or content), csv, json")
        ->check(CLI::IsMember({"auto", "csv", "json"}));
    apply->add_flag("--dry-run", o.dryRun, "Only read the modules and show the differences");
    apply->add_flag("--force", o.force, "Write even settings that fail the checks");
    apply->add_flag("--no-verify", o.noVerify, "Do not read the records back after writing");
    addHub(apply, "Hub for the plan's slots, from 0 (default 0)");
    apply->footer(std::string(kLockHelp) + kExitCodeHelp);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e, io.out, io.err) == 0 ? code(Exit::Ok) : code(Exit::Usage);
        // The library's messages quote the arguments as given; escape what a terminal would
        // act on, and keep a huge argument from flooding the screen.
        io.err << kToolName << ": "
               << shown(QString::fromStdString(e.what()), kShownMessageChars).toStdString() << '\n'
               << "Run with --help for more information.\n";
        return code(Exit::Usage);
    }

    // The range check above lets "nan" through.
    if (!std::isfinite(o.timeout) || o.timeout <= 0 || o.timeout > 86400) {
        io.err << kToolName << ": --timeout must be a number of seconds above 0, at most 86400\n";
        return code(Exit::Usage);
    }

    Runner runner(o, io);
    int status = 0;
    if (read->parsed())
        status = runner.read();
    else if (write->parsed())
        status = runner.write();
    else if (slotsCmd->parsed())
        status = runner.listSlots();
    else
        status = runner.apply();

    // Results that did not reach their reader (a full disk, a closed stdout) are a failure:
    // a script must not take the silence for an answer. A failure already reported keeps
    // its own status.
    io.out.flush();
    if (!io.out) {
        io.err << kToolName << ": writing the results to standard output failed\n";
        io.err.flush();
        if (status == code(Exit::Ok))
            return code(Exit::Failure);
    }
    return status;
}

} // namespace vqx::cli
