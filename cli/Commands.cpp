#include "Commands.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QJsonArray>
#include <QStringList>

#include "ApplyEngine.h"
#include "ApplyWatch.h"
#include "ExitCodes.h"
#include "FileLimit.h"
#include "HubSession.h"
#include "Interrupt.h"
#include "ModuleTarget.h"
#include "PlanFile.h"
#include "Scan.h"
#include "SettingsPolicy.h"
#include "SlotTarget.h"
#include "TargetLock.h"
#include "UserText.h"
#include "Validation.h"

namespace vqx::cli {

using namespace vqx::provision;

namespace {

Outcome settingsFromOptions(const Options& o, NetworkRecord& s) {
    const std::array<std::pair<const char*, std::pair<const std::string*, std::uint32_t*>>, 3>
        fields = {{{"ip", {&o.ip, &s.ip}},
                   {"mask", {&o.mask, &s.mask}},
                   {"gateway", {&o.gateway, &s.gateway}}}};
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

/// The refusal of settings that break the checks, unless forced; forced, the warnings.
Outcome judge(Console& console, const std::vector<CheckedSettings>& checked, bool force,
              RefusedRun run) {
    const SettingsVerdict verdict = judgeSettings(checked, force, run);
    for (const QString& warning : verdict.warnings)
        console.message(warning);
    if (verdict.refused())
        return Outcome::fail(Exit::Usage, verdict.refusal);
    return {};
}

/// The slot types of the session's hub and, with --records, the record of each occupied
/// slot; printed, or appended to `arr` with --json. A record that cannot be read sets
/// `failed`.
Outcome readSlotRecords(const Options& o, Console& console, HubSession& session, bool withHub,
                        QJsonArray& arr, Exit& failed) {
    if (Outcome r = session.open(); !r.ok())
        return r;
    std::array<int, 6> codes{};
    if (Outcome r = session.readSlotTypes(codes); !r.ok())
        return r;
    const QString serial = withHub ? session.serial() : QString();
    if (withHub && !o.json)
        showHubHeading(console, session.number(), serial);
    for (int n = 1; n <= 6; ++n) {
        SlotReport slot;
        slot.slot = n;
        slot.type = codes[static_cast<std::size_t>(n - 1)];
        slot.withHub = withHub;
        slot.hub = session.number();
        slot.serial = serial;
        slot.withRecord = o.records;
        if (o.records && slot.type != 0) {
            SlotTarget target(session, n);
            NetworkRecord r;
            Outcome read = target.open();
            if (read.ok())
                read = target.readRecord(r, console.progressFor(target.name(), true, "reading"));
            if (read.ok()) {
                slot.record = r;
            } else {
                failed = Exit::Device;
                slot.failure = read;
            }
        }
        if (o.json)
            arr.append(slotJson(slot));
        else
            console.print(slotLine(slot));
    }
    return {};
}

} // namespace

int readCommand(const Options& o, Console& console, Targets& targets) {
    std::unique_ptr<ModuleTarget> t;
    if (Outcome r = targets.fromOptions(t); !r.ok())
        return console.fail(r);
    const bool usb = o.slot != 0;
    if (Outcome r = t->open(); !r.ok())
        return console.fail(r, t->name());
    NetworkRecord record;
    if (Outcome r = t->readRecord(record, console.progressFor(t->name(), usb, "reading")); !r.ok())
        return console.fail(r, t->name());
    showRecord(console, record);
    return code(Exit::Ok);
}

int writeCommand(const Options& o, Console& console, Targets& targets) {
    NetworkRecord settings;
    if (Outcome r = settingsFromOptions(o, settings); !r.ok())
        return console.fail(r);
    if (Outcome r =
            judge(console, {{QString(), checkSettings(settings)}}, o.force, RefusedRun::Write);
        !r.ok())
        return console.fail(r);
    // Ctrl-C: a connect sequence stops, a transfer in flight runs to its end and nothing
    // further is written; a second Ctrl-C ends at once.
    InterruptGuard guard;
    targets.setStop(InterruptGuard::flag());
    std::unique_ptr<ModuleTarget> t;
    if (Outcome r = targets.fromOptions(t); !r.ok())
        return console.fail(r);
    const bool usb = o.slot != 0;
    // One writer per module at a time, from reading the old record to the read-back.
    std::unique_ptr<TargetLock> lock;
    if (Outcome r = targets.writeLock(*t, InterruptGuard::flag(), lock); !r.ok())
        return console.fail(r, t->name());
    if (Outcome r = t->open(); !r.ok())
        return console.fail(r, t->name());
    WriteReport report;
    report.target = t->name();
    report.written = settings;
    report.verify = !o.noVerify;
    if (Outcome r = t->readRecord(report.before, console.progressFor(t->name(), usb, "reading"));
        !r.ok())
        return console.fail(r, t->name());
    if (InterruptGuard::requested())
        return console.fail(
            Outcome::fail(Exit::Interrupted,
                          QStringLiteral("%1: interrupted before writing; nothing was written")
                              .arg(t->name())),
            t->name());
    InterruptGuard::setNote(QStringLiteral("%1: interrupted again: ending now; %2 may be half "
                                           "written\n")
                                .arg(QLatin1String(kToolName), t->name())
                                .toStdString());
    report.result = writeAndVerify(*t, settings, report.verify, report.after,
                                   console.progressFor(t->name(), usb, "writing"),
                                   console.progressFor(t->name(), usb, "verifying"));
    InterruptGuard::setNote({});
    if (!report.result.ok())
        console.message(report.result.message);
    showWrite(console, report);
    if (InterruptGuard::requested()) {
        console.message(QStringLiteral("interrupted: the write that had started ran to its end"));
        return code(Exit::Interrupted);
    }
    return code(report.result.exit);
}

int slotsCommand(const Options& o, Console& console, Targets& targets) {
    const bool all = o.hubText == "all";
    HubSession* session = nullptr;
    if (Outcome r = targets.hubSession(session); !r.ok())
        return console.fail(r);
    QJsonArray arr;
    Exit failed = Exit::Ok; // a hub or a slot record that could not be read
    if (!all) {
        if (Outcome r = readSlotRecords(o, console, *session, false, arr, failed); !r.ok())
            return console.fail(r, session->name());
    } else {
        int hubs = 0;
        if (Outcome r = session->count(hubs); !r.ok())
            return console.fail(r);
        if (hubs == 0)
            return console.fail(
                Outcome::fail(Exit::Unreachable, QStringLiteral("no device: no hub is attached")));
        for (int h = 0; h < hubs; ++h) {
            session->select(h);
            if (Outcome r = readSlotRecords(o, console, *session, true, arr, failed); !r.ok()) {
                console.message(r.message);
                if (failed == Exit::Ok)
                    failed = r.exit;
            }
        }
    }
    if (o.json)
        console.printJson(QJsonDocument(arr));
    return code(failed);
}

int applyCommand(const Options& o, Console& console, Targets& targets) {
    // The plan, and the checks of every entry before any module is touched.
    const PlanFormat format = o.format == "csv"    ? PlanFormat::Csv
                              : o.format == "json" ? PlanFormat::Json
                                                   : PlanFormat::Auto;
    QString why;
    const auto entries = loadPlan(QString::fromStdString(o.plan), format, &why);
    if (!entries)
        return console.fail(Outcome::fail(Exit::Usage, why));
    std::vector<CheckedSettings> checked;
    for (const PlanEntry& e : *entries)
        if (auto violations = checkSettings(e.settings); !violations.empty())
            checked.push_back({e.target(), std::move(violations)});
    if (Outcome r = judge(console, checked, o.force, RefusedRun::Plan); !r.ok())
        return console.fail(r);

    // The demo's simulators serve the plan's hosts as well as its slots.
    if (Outcome r = targets.startDemo(); !r.ok())
        return console.fail(r);

    // Read every module and show what would change, then write and verify those that need
    // it, up to --jobs modules at once; the lines of the first phase and the report keep the
    // plan's order.
    ApplyOptions options;
    options.jobs = o.jobs > 0 ? o.jobs : kApplyJobs;
    if (Outcome r = ensureOpenFiles(options.jobs, QStringLiteral("--jobs")); !r.ok())
        return console.fail(r);
    if (!o.json)
        console.print(QStringLiteral("Reading %1 module(s):").arg(entries->size()));
    options.dryRun = o.dryRun;
    options.verify = !o.noVerify;
    options.timing.timeoutSeconds = o.timeout;
    ApplyHooks hooks;
    hooks.hub = [&targets](HubSession*& session) { return targets.hubSession(session); };
    if (console.tracing())
        hooks.diagnostics.trace = [&console](const QString& l) { console.trace(l); };
    hooks.diagnostics.warn = [&console](const QString& l) { console.message(l); };
    hooks.lock = [&targets](ModuleTarget& t, const std::atomic<bool>* stop,
                            const std::function<void(const QString&)>& waiting,
                            std::shared_ptr<void>& held) {
        std::unique_ptr<TargetLock> lock;
        Outcome r = targets.writeLock(t, stop, lock, waiting);
        held = std::shared_ptr<TargetLock>(std::move(lock));
        return r;
    };
    InterruptGuard guard;
    std::unique_ptr<ApplyWatch> watch;
    bool interrupted = false;
    const std::vector<ApplyItem> items = runPlan(
        *entries, options, hooks, &interrupted, [] { return InterruptGuard::requested(); },
        [&console, &watch](ApplyRun& run) { watch = std::make_unique<ApplyWatch>(console, run); });
    watch.reset();
    console.endProgress();

    const auto good = static_cast<int>(std::count_if(
        items.begin(), items.end(), [](const ApplyItem& item) { return item.outcome.ok(); }));
    showApplyReport(console, items, o.dryRun, interrupted, good);
    if (interrupted) {
        const auto notWritten = std::count_if(items.begin(), items.end(), [](const ApplyItem& i) {
            return i.outcome.exit == Exit::Interrupted;
        });
        console.message(QStringLiteral("interrupted: %1 module(s) were left unwritten; every "
                                       "record transfer that had started ran to its end")
                            .arg(notWritten));
        return code(Exit::Interrupted);
    }
    return code(good == static_cast<int>(items.size()) ? Exit::Ok : Exit::Partial);
}

int scanCommand(const Options& o, Console& console, Targets& targets) {
    std::vector<AddressRange> ranges;
    for (const std::string& t : o.targets) {
        QString why;
        const auto r = parseScanTarget(QString::fromStdString(t), &why);
        if (!r)
            return console.fail(
                Outcome::fail(Exit::Usage, QStringLiteral("bad target: %1").arg(why)));
        ranges.push_back(*r);
    }
    ranges = mergeRanges(ranges);
    const std::uint64_t total = addressCount(ranges);
    if (total > kLargestScan && !o.force)
        return console.fail(Outcome::fail(
            Exit::Usage, QStringLiteral("refused: the targets hold %1 addresses, more than a /16 "
                                        "(%2); use --force to scan them anyway")
                             .arg(total)
                             .arg(kLargestScan)));
    if (Outcome r = targets.startDemo(); !r.ok())
        return console.fail(r);
    ScanOptions options;
    options.jobs = o.jobs > 0 ? o.jobs : kScanJobs;
    if (Outcome r = ensureOpenFiles(options.jobs, QStringLiteral("--jobs")); !r.ok())
        return console.fail(r);
    options.connectTimeoutMs = o.connectTimeoutMs;
    options.port = static_cast<std::uint16_t>(o.port);
    ScanHooks hooks;
    if (console.tracing())
        hooks.diagnostics.trace = [&console](const QString& l) { console.trace(l); };
    if (console.showsProgress())
        hooks.progress = [&console](std::uint64_t done, std::uint64_t all, int found) {
            console.showProgress(QStringLiteral("scanning: %1/%2 addresses, %3 module(s) found")
                                     .arg(done)
                                     .arg(all)
                                     .arg(found)
                                     .toStdString());
        };
    const std::vector<ScanHit> hits = scanModules(ranges, options, hooks);
    console.endProgress();
    showScan(console, hits);
    console.message(
        QStringLiteral("%1 module(s) found among %2 address(es)").arg(hits.size()).arg(total));
    return code(hits.empty() ? Exit::Unreachable : Exit::Ok);
}

} // namespace vqx::cli
