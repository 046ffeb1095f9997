#include "Tool.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

#include "ApplyEngine.h"
#include "DemoEnvironment.h"
#include "DriverFactory.h"
#include "EthernetTarget.h"
#include "ExitCodes.h"
#include "HubSession.h"
#include "Interrupt.h"
#include "ModuleTypes.h"
#include "Plan.h"
#include "Scan.h"
#include "SimHub.h"
#include "SlotTarget.h"
#include "TargetLock.h"
#include "TracingDriver.h"
#include "UserText.h"
#include "Validation.h"
#include "Version.h"

namespace vqx::cli {

using namespace vqx::provision;

namespace {

constexpr const char* kToolName = "vqx250-ipconfig";
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
    int jobs = 0; ///< 0: the command's default

    std::vector<std::string> targets;
    int connectTimeoutMs = 300;

    bool records = false;
    std::string hubText = "0"; ///< slots: a hub number or "all"
};

/// The exit statuses as listed in --help.
inline constexpr const char* kExitCodeHelp = "Exit status:\n"
                                             "  0  success\n"
                                             "  1  internal failure (socket, simulator, output)\n"
                                             "  2  usage error, refused settings, invalid plan\n"
                                             "  3  module or hub unreachable\n"
                                             "  4  device error (a transfer failed)\n"
                                             "  5  verification mismatch after a write\n"
                                             "  6  apply: one or more modules did not succeed\n"
                                             "130  apply or write interrupted (Ctrl-C, SIGTERM)\n";

constexpr int kApplyJobs = 16;
constexpr int kScanJobs = 64;
constexpr int kMaxJobs = 256;

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

class Runner {
public:
    Runner(const Options& o, ToolIo io) : m_o(o), m_io(std::move(io)) {}

    int read();
    int write();
    int listSlots();
    int apply();
    int scan();

private:
    // ---- output ----
    // A progress line stands on stderr without a line end while a USB transfer runs. Any
    // other output first erases it, so that nothing is glued onto it when a transfer fails.
    void endProgress() {
        std::lock_guard lock(m_outLock);
        if (!m_progressShown)
            return;
        m_io.err << "\r\033[K";
        m_io.err.flush();
        m_progressShown = false;
    }
    void message(const QString& text) {
        std::lock_guard lock(m_outLock);
        endProgress();
        m_io.err << kToolName << ": " << text.toStdString() << '\n';
    }
    void trace(const QString& text) {
        if (m_o.verbose == 0)
            return;
        std::lock_guard lock(m_outLock);
        endProgress();
        m_io.err << text.toStdString() << '\n';
    }
    void print(const QString& text) {
        std::lock_guard lock(m_outLock);
        endProgress();
        m_io.out << text.toStdString() << '\n';
    }
    void printJson(const QJsonDocument& doc) {
        std::lock_guard lock(m_outLock);
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
    Progress progressFor(const ModuleTarget& t, bool usb, const char* verb) {
        return progressFor(t.name(), usb, verb);
    }
    Progress progressFor(const QString& target, bool usb, const char* verb);
    /// A progress line of its own (scan), shown only on a terminal.
    void showProgress(const std::string& text) {
        std::lock_guard lock(m_outLock);
        m_io.err << '\r' << text << "\033[K";
        m_io.err.flush();
        m_progressShown = true;
    }
    Outcome readSlotRecords(HubSession& session, bool withHub, QJsonArray& arr, Exit& failed);

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
                           std::optional<NetworkRecord>& after) {
        return vqx::provision::writeAndVerify(t, settings, !m_o.noVerify, after,
                                              progressFor(t, usb, "writing"),
                                              progressFor(t, usb, "verifying"));
    }
    /// Takes the module's write lock, waiting up to --timeout when another writer holds it
    /// (Exit::Unreachable if it still does). A lock file that cannot be made is warned about
    /// and the write goes on without it.
    Outcome lockTarget(ModuleTarget& t, std::unique_ptr<TargetLock>& lock);

    Options m_o;
    ToolIo m_io;
    std::unique_ptr<vqx::sim::DemoEnvironment> m_demo;
    std::unique_ptr<HubSession> m_session;
    bool m_progressShown = false;
    std::recursive_mutex m_outLock; ///< module sessions of a plan report from their threads
    const std::atomic<bool>* m_stop = nullptr; ///< write: set by Ctrl-C
};

Progress Runner::progressFor(const QString& target, bool usb, const char* verb) {
    // USB transfers take about 100 ms a byte; show where they are when someone is watching.
    // With -v the trace lines say that already, and a progress line would only flicker
    // between them.
    if (!usb || !m_io.progress || m_o.verbose > 0)
        return {};
    const std::string name = target.toStdString();
    const std::string what = verb;
    return [this, name, what](int done, int total) {
        std::lock_guard lock(m_outLock);
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
            driver = std::make_unique<vqx::usb::TracingDriver>(
                std::move(driver), [this](const QString& l) { trace(l); });
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
    auto ethernet = std::make_unique<EthernetTarget>(host, port, timing, diag);
    ethernet->setStop(m_stop);
    target = std::move(ethernet);
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
    // Ctrl-C: a connect sequence stops, a transfer in flight runs to its end and nothing
    // further is written; a second Ctrl-C ends at once.
    InterruptGuard guard;
    m_stop = InterruptGuard::flag();
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
    if (InterruptGuard::requested())
        return fail(Outcome::fail(Exit::Interrupted,
                                  QStringLiteral("%1: interrupted before writing; nothing was "
                                                 "written")
                                      .arg(t->name())),
                    t->name());
    InterruptGuard::setNote(QStringLiteral("%1: interrupted again: ending now; %2 may be half "
                                           "written\n")
                                .arg(QLatin1String(kToolName), t->name())
                                .toStdString());
    std::optional<NetworkRecord> after;
    const Outcome result = writeAndVerify(*t, usb, settings, after);
    InterruptGuard::setNote({});
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
    if (InterruptGuard::requested()) {
        message(QStringLiteral("interrupted: the write that had started ran to its end"));
        return code(Exit::Interrupted);
    }
    return code(result.exit);
}

Outcome Runner::readSlotRecords(HubSession& session, bool withHub, QJsonArray& arr, Exit& failed) {
    if (Outcome o = session.open(); !o.ok())
        return o;
    std::array<int, 6> codes{};
    if (Outcome o = session.readSlotTypes(codes); !o.ok())
        return o;
    const QString serial = withHub ? session.serial() : QString();
    if (withHub && !m_o.json)
        print(QStringLiteral("Hub %1 (serial %2):")
                  .arg(session.number())
                  .arg(serial.isEmpty() ? QStringLiteral("unknown") : serial));
    for (int n = 1; n <= 6; ++n) {
        const int c = codes[static_cast<std::size_t>(n - 1)];
        const QString name = QString::fromLatin1(vqx::usb::moduleTypeName(c));
        QString text = QStringLiteral("Slot %1: %2 (type %3)").arg(n).arg(name).arg(c);
        QJsonObject obj{{QStringLiteral("slot"), n},
                        {QStringLiteral("type"), c},
                        {QStringLiteral("name"), name}};
        if (withHub) {
            obj.insert(QStringLiteral("hub"), session.number());
            obj.insert(QStringLiteral("serial"), serial);
        }
        if (m_o.records) {
            std::optional<NetworkRecord> record;
            if (c != 0) {
                SlotTarget target(session, n);
                NetworkRecord r;
                Outcome o = target.open();
                if (o.ok())
                    o = target.readRecord(r, progressFor(target, true, "reading"));
                if (o.ok()) {
                    record = r;
                } else {
                    failed = Exit::Device;
                    text += QStringLiteral(": record not read: %1").arg(o.message);
                    obj.insert(QStringLiteral("error"), o.message);
                    if (o.deviceCode != 0)
                        obj.insert(QStringLiteral("code"), o.deviceCode);
                }
            }
            if (record)
                text += QStringLiteral(": %1").arg(recordLine(*record));
            for (const auto& [key, field] :
                 {std::pair{"ip", &NetworkRecord::ip}, std::pair{"mask", &NetworkRecord::mask},
                  std::pair{"gateway", &NetworkRecord::gateway}})
                obj.insert(QLatin1String(key),
                           record ? QJsonValue(formatAddress((*record).*field)) : QJsonValue());
        }
        if (m_o.json)
            arr.append(obj);
        else
            print(text);
    }
    return {};
}

int Runner::listSlots() {
    const bool all = m_o.hubText == "all";
    HubSession* session = nullptr;
    if (Outcome o = hubSession(session); !o.ok())
        return fail(o);
    QJsonArray arr;
    Exit failed = Exit::Ok; // a hub or a slot record that could not be read
    if (!all) {
        if (Outcome o = readSlotRecords(*session, false, arr, failed); !o.ok())
            return fail(o, session->name());
    } else {
        int hubs = 0;
        if (Outcome o = session->count(hubs); !o.ok())
            return fail(o);
        if (hubs == 0)
            return fail(
                Outcome::fail(Exit::Unreachable, QStringLiteral("no device: no hub is attached")));
        for (int h = 0; h < hubs; ++h) {
            session->select(h);
            if (Outcome o = readSlotRecords(*session, true, arr, failed); !o.ok()) {
                message(o.message);
                if (failed == Exit::Ok)
                    failed = o.exit;
            }
        }
    }
    if (m_o.json)
        printJson(QJsonDocument(arr));
    return code(failed);
}

int Runner::apply() {
    // The plan, and the checks of every entry before any module is touched.
    QFile in;
    if (m_o.plan == "-") {
        // Read through the descriptor, unbuffered: on Windows a QFile over the C stream of a
        // pipe reports the pipe's end as a read error. The plan is taken as bytes there too
        // (no CR-LF translation, no end at a Ctrl-Z); the parser accepts both line ends.
#ifdef Q_OS_WIN
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        if (!in.open(fileno(stdin), QIODevice::ReadOnly))
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
    // --format first; without it the file name's extension.
    const QString plan = QString::fromStdString(m_o.plan);
    if (m_o.format == "csv")
        format = PlanFormat::Csv;
    else if (m_o.format == "json" || plan.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive))
        format = PlanFormat::Json;
    else if (plan.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive))
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

    // Read every module and show what would change, then write and verify those that need
    // it, up to --jobs modules at once; the lines of the first phase and the report keep the
    // plan's order.
    if (!m_o.json)
        print(QStringLiteral("Reading %1 module(s):").arg(entries->size()));
    ApplyOptions options;
    options.jobs = m_o.jobs > 0 ? m_o.jobs : kApplyJobs;
    options.dryRun = m_o.dryRun;
    options.verify = !m_o.noVerify;
    options.timing.timeoutSeconds = m_o.timeout;
    ApplyHooks hooks;
    hooks.hub = [this](HubSession*& session) { return hubSession(session); };
    if (m_o.verbose > 0)
        hooks.diagnostics.trace = [this](const QString& l) { trace(l); };
    hooks.diagnostics.warn = [this](const QString& l) { message(l); };
    hooks.progress = [this](const QString& target, bool usb, const char* verb) {
        return progressFor(target, usb, verb);
    };
    hooks.read = [this](const ApplyItem& item) {
        const PlanEntry& e = item.entry;
        const QString line = !item.outcome.ok() ? item.outcome.message
                             : item.result == QStringLiteral("unchanged")
                                 ? QStringLiteral("no change")
                                 : differences(*item.before, e.settings).join(QStringLiteral(", "));
        if (!m_o.json)
            print(QStringLiteral("  %1").arg(named(e.target(), line)));
        else if (!item.outcome.ok())
            message(named(e.target(), item.outcome.message));
    };
    hooks.written = [this](const ApplyItem& item) {
        if (!item.outcome.ok() && m_o.json)
            message(named(item.entry.target(), item.outcome.message));
    };
    InterruptGuard guard;
    InterruptGuard::setNote(std::string(kToolName) +
                            ": interrupted again: ending now; no record was being written\n");
    hooks.writing = [](const QStringList& targets) {
        InterruptGuard::setNote(std::string(kToolName) + ": interrupted again: ending now; " +
                                (targets.isEmpty()
                                     ? std::string("no record was being written")
                                     : "these modules may be half written: " +
                                           targets.join(QStringLiteral(", ")).toStdString()) +
                                "\n");
    };
    hooks.stopRequested = [] { return InterruptGuard::requested(); };
    hooks.lock = [this](ModuleTarget& t, std::shared_ptr<void>& held) {
        std::unique_ptr<TargetLock> lock;
        Outcome o = lockTarget(t, lock);
        held = std::shared_ptr<TargetLock>(std::move(lock));
        return o;
    };
    bool interrupted = false;
    const std::vector<ApplyItem> items = runPlan(*entries, options, hooks, &interrupted);

    // The report.
    int good = 0;
    int notWritten = 0;
    QJsonArray arr;
    if (!m_o.json)
        print(m_o.dryRun ? QStringLiteral("Dry run: nothing was written.")
                         : QStringLiteral("Report:"));
    for (const ApplyItem& item : items) {
        const bool success = item.outcome.ok();
        good += success ? 1 : 0;
        notWritten += item.outcome.exit == Exit::Interrupted ? 1 : 0;
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
        } else if (!m_o.dryRun || interrupted) {
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
            else if (item.result == QStringLiteral("not started"))
                after = QStringLiteral("(not contacted)");
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
    if (interrupted) {
        message(QStringLiteral("interrupted: %1 module(s) were left unwritten; every record "
                               "transfer that had started ran to its end")
                    .arg(notWritten));
        return code(Exit::Interrupted);
    }
    return code(good == static_cast<int>(items.size()) ? Exit::Ok : Exit::Partial);
}

int Runner::scan() {
    std::vector<AddressRange> ranges;
    for (const std::string& t : m_o.targets) {
        QString why;
        const auto r = parseScanTarget(QString::fromStdString(t), &why);
        if (!r)
            return fail(Outcome::fail(Exit::Usage, QStringLiteral("bad target: %1").arg(why)));
        ranges.push_back(*r);
    }
    ranges = mergeRanges(ranges);
    const std::uint64_t total = addressCount(ranges);
    if (total > kLargestScan && !m_o.force)
        return fail(Outcome::fail(
            Exit::Usage, QStringLiteral("refused: the targets hold %1 addresses, more than a /16 "
                                        "(%2); use --force to scan them anyway")
                             .arg(total)
                             .arg(kLargestScan)));
    if (Outcome o = startDemo(); !o.ok())
        return fail(o);
    ScanOptions options;
    options.jobs = m_o.jobs > 0 ? m_o.jobs : kScanJobs;
    options.connectTimeoutMs = m_o.connectTimeoutMs;
    options.port = static_cast<std::uint16_t>(m_o.port);
    ScanHooks hooks;
    if (m_o.verbose > 0)
        hooks.diagnostics.trace = [this](const QString& l) { trace(l); };
    if (m_io.progress && m_o.verbose == 0)
        hooks.progress = [this](std::uint64_t done, std::uint64_t all, int found) {
            showProgress(QStringLiteral("scanning: %1/%2 addresses, %3 module(s) found")
                             .arg(done)
                             .arg(all)
                             .arg(found)
                             .toStdString());
        };
    const std::vector<ScanHit> hits = scanModules(ranges, options, hooks);
    endProgress();
    QJsonArray arr;
    for (const ScanHit& h : hits) {
        const QString address = formatAddress(h.address);
        if (m_o.json) {
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
        print(line);
    }
    if (m_o.json)
        printJson(QJsonDocument(arr));
    message(QStringLiteral("%1 module(s) found among %2 address(es)").arg(hits.size()).arg(total));
    return code(hits.empty() ? Exit::Unreachable : Exit::Ok);
}

} // namespace

int runTool(int argc, const char* const* argv, ToolIo io) {
    Options o;
    CLI::App app{"Reads and writes the network settings (IP address, subnet mask, gateway) of "
                 "VQX250 measurement modules, over Ethernet or through the slots of a USB hub.",
                 kToolName};
    app.set_version_flag("--version", std::string(kToolName) + " " + vqx::kVersion);
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
    slotsCmd
        ->add_option("--hub", o.hubText, "Hub number from 0 (default 0), or 'all' for every hub")
        ->check(CLI::Validator(
            [&decimal](std::string& v) { return v == "all" ? std::string() : decimal(v); },
            "NUMBER|all"));
    slotsCmd->add_flag("--records", o.records,
                       "Also read the network settings record of every occupied slot");
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
    apply
        ->add_option("--jobs", o.jobs,
                     "Ethernet modules handled at once (default 16); the hub's slots stay serial")
        ->check(decimal)
        ->check(CLI::Range(1, kMaxJobs));
    apply->footer(
        std::string(
            "Ctrl-C (or SIGTERM) starts no further module and lets every record transfer in\n"
            "flight end, then reports each module and exits with 130; a second Ctrl-C ends at\n"
            "once, naming the modules that may be half written.\n\n") +
        kLockHelp + kExitCodeHelp);

    auto* scanCmd = app.add_subcommand(
        "scan", "Find modules: probe addresses on the module port and show each module's "
                "controller variant and record");
    scanCmd
        ->add_option("TARGET", o.targets,
                     "An address, a range (10.0.0.10-10.0.0.60) or a block (192.168.1.0/24)")
        ->required();
    scanCmd->add_option("--port", o.port, "TCP port of the modules (default 23100)")
        ->check(decimal)
        ->check(CLI::Range(1, 65535));
    scanCmd->add_option("--jobs", o.jobs, "Addresses probed at once (default 64)")
        ->check(decimal)
        ->check(CLI::Range(1, kMaxJobs));
    scanCmd
        ->add_option("--connect-timeout", o.connectTimeoutMs,
                     "Milliseconds allowed for the connection and for each reply (default 300)")
        ->check(decimal)
        ->check(CLI::Range(1, 60000));
    scanCmd->add_flag("--force", o.force, "Scan more than a /16 (65536 addresses)");
    scanCmd->footer(std::string(
        "A scan runs no arp step: a module that has just changed its address may need\n"
        "'arp -d ADDRESS' first. Each module found is listed in address order; a '*' marks a\n"
        "record whose IP differs from the address it answered on (new settings not yet in\n"
        "effect, or a misconfigured module).\n"
        "Exit status: 0 at least one module found, 3 none found, 2 bad target.\n"));

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

    if (slotsCmd->parsed() && o.hubText != "all") {
        bool ok = false;
        o.hub = QString::fromStdString(o.hubText).toInt(&ok);
        if (!ok || o.hub < 0 || o.hub > 255) {
            io.err << kToolName << ": --hub must be a hub number from 0 to 255, or 'all'\n";
            return code(Exit::Usage);
        }
    }
    Runner runner(o, io);
    int status = 0;
    if (read->parsed())
        status = runner.read();
    else if (write->parsed())
        status = runner.write();
    else if (slotsCmd->parsed())
        status = runner.listSlots();
    else if (scanCmd->parsed())
        status = runner.scan();
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
