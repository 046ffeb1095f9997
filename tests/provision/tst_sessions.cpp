// The module sessions of the core, called directly against simulated modules served in this
// process on loopback addresses of their own: one Ethernet module's connect sequence and
// variant choice, a plan run in parallel with hub slots among its modules, and a scan.

#include <atomic>
#include <memory>
#include <numeric>
#include <vector>

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include "ApplyEngine.h"
#include "CUsbHub.h"
#include "EthernetTarget.h"
#include "ExitCodes.h"
#include "HubSession.h"
#include "ModuleModel.h"
#include "ModuleServer.h"
#include "NetworkRecord.h"
#include "Scan.h"
#include "SimHub.h"
#include "TestNet.h"

using vqx::NetworkRecord;
using vqx::provision::ApplyHooks;
using vqx::provision::ApplyItem;
using vqx::provision::ApplyOptions;
using vqx::provision::ConnectTiming;
using vqx::provision::EthernetTarget;
using vqx::provision::Exit;
using vqx::provision::HubSession;
using vqx::provision::Outcome;
using vqx::provision::PlanEntry;
using vqx::sim::ModuleModel;
using vqx::sim::ModuleServer;

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

using vqxtest::freePort;

/// No arp step and no pause before connecting, and short cycles.
ConnectTiming quickTiming(double seconds) {
    ConnectTiming t;
    t.timeoutSeconds = seconds;
    t.runArp = false;
    t.arpPauseMs = 0;
    t.cycleMs = 200;
    return t;
}

NetworkRecord planned(int i) {
    return {0x0A000001, 0xFFFFFF00, 0x0A000000u + std::uint32_t(i + 10)};
}

} // namespace

class TestSessions : public QObject {
    Q_OBJECT
private slots:
    // ---- one module over Ethernet ----

    void variantFromVersionRegister_data() {
        QTest::addColumn<int>("modelVariant");
        QTest::newRow("1") << 1;
        QTest::newRow("2") << 2;
    }
    void variantFromVersionRegister() {
        QFETCH(int, modelVariant);
        auto model = std::make_shared<ModuleModel>(modelVariant == 2 ? ModuleModel::Variant::V2
                                                                     : ModuleModel::Variant::V1);
        ModuleServer server(model);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        EthernetTarget t(kLoopback, server.port(), quickTiming(5), {});
        QVERIFY(t.open().ok());
        QCOMPARE(t.variant(), modelVariant);
        QCOMPARE(t.attempts(), 1);
        NetworkRecord r;
        QVERIFY(t.readRecord(r, {}).ok());
        QCOMPARE(r, NetworkRecord::fromBytes(model->record()));
    }

    // A refused connection counts as connected on the link; the target keeps cycling and
    // says the module is unreachable once the time-out has passed.
    void refusedIsUnreachable() {
        const quint16 port = freePort();
        EthernetTarget t(kLoopback, port, quickTiming(1.0), {});
        QElapsedTimer clock;
        clock.start();
        const Outcome o = t.open();
        QCOMPARE(o.exit, Exit::Unreachable);
        QVERIFY2(o.message.contains("unreachable"), qPrintable(o.message));
        QVERIFY2(o.message.contains("refused, failed or dropped"), qPrintable(o.message));
        QVERIFY2(o.message.contains("code 2"), qPrintable(o.message));
        QVERIFY(t.attempts() >= 2); // 200 ms cycles within one second
        QVERIFY(clock.elapsed() >= 1000);
        QVERIFY(clock.elapsed() < 5000);
    }

    // A time-out shorter than the pause before connecting still gives the attempt its full
    // wait: the module that is there is reached.
    void shortTimeoutStillWaitsOneAttempt() {
        auto model = std::make_shared<ModuleModel>();
        ModuleServer server(model);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        ConnectTiming timing = quickTiming(0.05);
        timing.arpPauseMs = 200;
        timing.cycleMs = 1000;
        EthernetTarget t(kLoopback, server.port(), timing, {});
        const Outcome o = t.open();
        QVERIFY2(o.ok(), qPrintable(o.message));
        QCOMPARE(t.attempts(), 1);
    }

    // A module that starts listening while the target is cycling is reached.
    void moduleComingUpIsReached() {
        const quint16 port = freePort();
        auto model = std::make_shared<ModuleModel>();
        ModuleServer server(model);
        QTimer::singleShot(500, &server, [&] { server.listen(QHostAddress::LocalHost, port); });
        EthernetTarget t(kLoopback, port, quickTiming(10), {});
        const Outcome o = t.open();
        QVERIFY2(o.ok(), qPrintable(o.message));
        QVERIFY(t.attempts() >= 2);
        QCOMPARE(t.variant(), 1);
    }

    // A module that accepts the connection but sends garbage is a device error, not retried.
    void badVersionReplyIsDeviceError() {
        auto model = std::make_shared<ModuleModel>();
        ModuleServer server(model);
        server.faults().badMagic0 = true;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        EthernetTarget t(kLoopback, server.port(), quickTiming(5), {});
        const Outcome o = t.open();
        QCOMPARE(o.exit, Exit::Device);
        QCOMPARE(o.deviceCode, 5);
        QVERIFY2(o.message.contains("version register"), qPrintable(o.message));
        QCOMPARE(t.attempts(), 1);
    }

    // ---- a plan ----

    // Twenty modules on addresses of their own, 8 at a time, both variants, and two hub slots:
    // one module fails while it is read, one while it is written, one restarts between the
    // phases. Every module is read once, the items keep the plan's order, the hub is asked for
    // once, each module's connection closes with its phase (a written module was connected
    // twice), the module that failed part-way is named as maybe half written, and every other
    // module holds its new record.
    void runPlanInParallel() {
        std::vector<std::unique_ptr<ModuleServer>> servers;
        std::vector<PlanEntry> entries;
        for (int i = 0; i < 20; ++i) {
            auto model = std::make_shared<ModuleModel>(i % 2 ? ModuleModel::Variant::V2
                                                             : ModuleModel::Variant::V1);
            servers.push_back(std::make_unique<ModuleServer>(model));
            const std::uint32_t address = 0x7F004601u + std::uint32_t(i); // 127.0.70.1 up
            QVERIFY(servers.back()->listen(QHostAddress(address), 0));
            if (i == 4)
                model->faults().failAtAddress = 10;
            if (i == 13) // reads pass; from the first write on, address 10 fails
                servers.back()->setLogger([model](const QString&) {
                    if (model->commandsExecuted() >= 12)
                        model->faults().failAtAddress = 10;
                });
            PlanEntry e;
            e.origin = i + 2;
            e.host = address;
            e.port = servers.back()->port();
            e.settings = planned(i);
            entries.push_back(e);
        }
        auto hub = vqx::sim::makeDemoHub();
        for (const int slot : {1, 3}) {
            PlanEntry e;
            e.origin = 20 + slot;
            e.slot = slot;
            e.settings = planned(20 + slot);
            entries.push_back(e);
        }

        ApplyOptions options;
        options.jobs = 8;
        options.timing = quickTiming(5);
        ApplyHooks hooks;
        std::unique_ptr<HubSession> session;
        int hubsAsked = 0;
        std::atomic<int> hubSleeps{0}; // ms
        hooks.hub = [&](HubSession*& s) {
            ++hubsAsked;
            session =
                std::make_unique<HubSession>(std::make_unique<vqx::sim::SimHubDriver>(hub), 0);
            session->hub().SetSleep([&hubSleeps](unsigned ms) { hubSleeps += int(ms); });
            s = session.get();
            return Outcome{};
        };
        std::vector<int> reads(entries.size());
        std::vector<int> connections(servers.size());
        for (std::size_t i = 0; i < servers.size(); ++i)
            QObject::connect(servers[i].get(), &ModuleServer::clientConnected,
                             [&connections, i] { ++connections[i]; });
        QStringList stages; // of the first module
        QStringList halfWritten;
        const auto observe = [&](vqx::provision::ApplyRun& run) {
            QObject::connect(&run, &vqx::provision::ApplyRun::moduleRead, [&](int index) {
                ++reads[std::size_t(index)];
                if (index == 7) { // restarts: its connections drop, it listens again
                    const quint16 port = servers[7]->port();
                    servers[7]->close();
                    QVERIFY(servers[7]->listen(QHostAddress(0x7F004608u), port));
                }
            });
            QObject::connect(
                &run, &vqx::provision::ApplyRun::progress,
                [&](int index, vqx::provision::ModuleStage stage, int done, int total) {
                    if (index == 0 && (done == 0 || done == total))
                        stages << vqx::provision::stageText(stage, done, total);
                    // Modules to be written are prepared while the last reads run, but none
                    // connects before every module was read.
                    if (stage == vqx::provision::ModuleStage::Connecting &&
                        reads[std::size_t(index)] > 0) {
                        const auto all = std::accumulate(reads.begin(), reads.end(), 0);
                        QCOMPARE(all, int(entries.size()));
                    }
                });
            QObject::connect(&run, &vqx::provision::ApplyRun::halfWrittenChanged,
                             [&] { halfWritten = run.maybeHalfWritten(); });
        };
        bool interrupted = true;
        const std::vector<ApplyItem> items =
            vqx::provision::runPlan(entries, options, hooks, &interrupted, {}, observe);
        QVERIFY(!interrupted);
        QCOMPARE(hubsAsked, 1);
        // Each slot byte's 100 ms wait went through the injected sleep: twelve bytes read,
        // written and read back in each of the two slots.
        QCOMPARE(hubSleeps.load(), 2 * 36 * 100);
        QCOMPARE(items.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            QCOMPARE(items[i].entry.origin, entries[i].origin);
            QCOMPARE(reads[i], 1);
        }
        QCOMPARE(stages,
                 (QStringList{"arp step", "connecting", "reading 12 of 12", "read", "arp step",
                              "connecting", "writing 12 of 12", "verifying 12 of 12", "done"}));
        QCOMPARE(halfWritten, QStringList{entries[13].target()});
        for (int i = 0; i < 20; ++i) {
            const ApplyItem& item = items[std::size_t(i)];
            const auto held = NetworkRecord::fromBytes(servers[std::size_t(i)]->model().record());
            if (i == 4) {
                QCOMPARE(item.result, QStringLiteral("device error"));
                QVERIFY(!item.before);
                QVERIFY(!item.written);
                QVERIFY(held != planned(i));
            } else if (i == 13) {
                QCOMPARE(item.result, QStringLiteral("device error"));
                QVERIFY(item.written);
                QCOMPARE(item.outcome.bytesWritten, 4);
                QVERIFY2(item.outcome.message.contains("EEPROM write failed at address 10"),
                         qPrintable(item.outcome.message));
            } else {
                QCOMPARE(item.result, QStringLiteral("ok"));
                QCOMPARE(item.after, std::optional<NetworkRecord>(planned(i)));
                QCOMPARE(held, planned(i));
            }
            QCOMPARE(connections[std::size_t(i)], i == 4 ? 1 : 2);
        }
        for (std::size_t k = 20; k < items.size(); ++k) {
            const int slot = items[k].entry.slot;
            QCOMPARE(items[k].result, QStringLiteral("ok"));
            QCOMPARE(NetworkRecord::fromBytes(hub->module(slot - 1)->record()), planned(20 + slot));
        }
    }

    // With one job nothing runs ahead: each module goes through its whole sequence (arp step,
    // connect, transfer) before the next one's arp step, in both phases.
    void serialRunGoesModuleByModule() {
        std::vector<std::unique_ptr<ModuleServer>> servers;
        std::vector<PlanEntry> entries;
        for (int i = 0; i < 3; ++i) {
            servers.push_back(std::make_unique<ModuleServer>(std::make_shared<ModuleModel>()));
            QVERIFY(servers.back()->listen(QHostAddress::LocalHost, 0));
            PlanEntry e;
            e.origin = i + 2;
            e.host = kLoopback;
            e.port = servers.back()->port();
            e.settings = planned(i);
            entries.push_back(e);
        }
        ApplyOptions options;
        options.jobs = 1;
        options.timing = quickTiming(5);
        options.timing.arpPauseMs = 20;
        QStringList order; // module index at each arp step and at the end of each phase
        const auto observe = [&](vqx::provision::ApplyRun& run) {
            QObject::connect(&run, &vqx::provision::ApplyRun::progress,
                             [&](int index, vqx::provision::ModuleStage stage, int, int) {
                                 using vqx::provision::ModuleStage;
                                 if (stage == ModuleStage::Arp)
                                     order << QStringLiteral("arp %1").arg(index);
                                 else if (stage == ModuleStage::Read || stage == ModuleStage::Done)
                                     order << QStringLiteral("end %1").arg(index);
                             });
        };
        bool interrupted = true;
        const auto items =
            vqx::provision::runPlan(entries, options, ApplyHooks{}, &interrupted, {}, observe);
        QVERIFY(!interrupted);
        for (const ApplyItem& item : items)
            QCOMPARE(item.result, QStringLiteral("ok"));
        QCOMPARE(order, (QStringList{"arp 0", "end 0", "arp 1", "end 1", "arp 2", "end 2", "arp 0",
                                     "end 0", "arp 1", "end 1", "arp 2", "end 2"}));
    }

    // ---- a scan ----

    // A scan finds exactly the modules in the ranges, in address order, each with its variant
    // and record: a module whose record differs from its address is marked, one whose record
    // cannot be read is found without it, and a peer that does not answer the version read in
    // the module's protocol holds no module.
    void scanModulesDirectly() {
        const quint16 port = freePort();
        const struct {
            std::uint32_t address;
            ModuleModel::Variant variant;
            bool ownAddress;
            bool recordFails;
        } served[] = {{0x7F003E09, ModuleModel::Variant::V1, true, false},
                      {0x7F003E03, ModuleModel::Variant::V1, false, false},
                      {0x7F003E04, ModuleModel::Variant::V2, true, false},
                      {0x7F003E07, ModuleModel::Variant::V2, true, true}};
        std::vector<std::unique_ptr<ModuleServer>> servers;
        for (const auto& m : served) {
            auto model = std::make_shared<ModuleModel>(m.variant);
            model->setRecord(
                NetworkRecord{0x0A000001, 0xFF000000, m.ownAddress ? m.address : 0x0A000005}
                    .toBytes());
            if (m.recordFails)
                model->faults().failAtAddress = 8;
            servers.push_back(std::make_unique<ModuleServer>(model));
            QVERIFY(servers.back()->listen(QHostAddress(m.address), port));
        }
        QTcpServer silent; // accepts, and answers nothing
        QVERIFY(silent.listen(QHostAddress(0x7F003E05u), port));

        QString why;
        const auto range = vqx::provision::parseScanTarget("127.0.62.1-127.0.62.12", &why);
        const auto single = vqx::provision::parseScanTarget("127.0.62.9", &why);
        QVERIFY2(range && single, qPrintable(why));
        const auto ranges = vqx::provision::mergeRanges({*range, *single});
        QCOMPARE(vqx::provision::addressCount(ranges), std::uint64_t{12});
        vqx::provision::ScanOptions options;
        options.jobs = 4;
        options.connectTimeoutMs = 2000;
        options.port = port;
        std::uint64_t lastDone = 0;
        int lastFound = -1;
        vqx::provision::ScanHooks hooks;
        hooks.progress = [&](std::uint64_t done, std::uint64_t, int found) {
            lastDone = done;
            lastFound = found;
        };
        const auto hits = vqx::provision::scanModules(ranges, options, hooks);

        QStringList seen;
        for (const auto& h : hits)
            seen << QStringLiteral("%1 v%2 %3 %4")
                        .arg(vqx::formatAddress(h.address))
                        .arg(h.variant)
                        .arg(h.record ? vqx::formatAddress(h.record->ip)
                                      : QStringLiteral("no record: ") + h.failure.message)
                        .arg(h.differs() ? "differs" : "");
        QCOMPARE(seen.size(), 4);
        QCOMPARE(seen[0], QStringLiteral("127.0.62.3 v1 10.0.0.5 differs"));
        QCOMPARE(seen[1], QStringLiteral("127.0.62.4 v2 127.0.62.4 "));
        QVERIFY2(seen[2].startsWith("127.0.62.7 v2 no record: ") &&
                     seen[2].contains("EEPROM read failed at address 8"),
                 qPrintable(seen[2]));
        QCOMPARE(seen[3], QStringLiteral("127.0.62.9 v1 127.0.62.9 "));
        QCOMPARE(lastDone, std::uint64_t{12});
        QCOMPARE(lastFound, 4);
    }
};

QTEST_GUILESS_MAIN(TestSessions)
#include "tst_sessions.moc"
