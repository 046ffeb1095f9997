// The command-line configurator's logic in process, against simulated modules on loopback
// and simulated hubs: fault sequences that a separate simulator process cannot stage, what
// the tool reports of them, write locks, interruption, and the progress display. The
// sessions themselves are tested in tests/provision.

#include <csignal>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "ExitCodes.h"
#include "ModuleModel.h"
#include "ModuleServer.h"
#include "NetworkRecord.h"
#include "SimHub.h"
#include "TargetLock.h"
#include "TestNet.h"
#include "Tool.h"
#include "TracingDriver.h"

using vqx::provision::Exit;
using vqx::sim::ModuleModel;
using vqx::sim::ModuleServer;
using vqx::sim::SimHub;
using HubDriverFactory = std::function<std::unique_ptr<vqx::usb::D2xxDriver>()>;

namespace {

/// The EEPROM command register of a variant-2 module (the module in hub slot 2).
constexpr int kCommandRegisterV2 = 13;

struct Run {
    int exit = -1;
    QString out;
    QString err;
};

Run runTool(const QStringList& args, bool progress = false, HubDriverFactory hub = {}) {
    std::vector<std::string> storage{"vqx250-ipconfig"};
    for (const QString& a : args)
        storage.push_back(a.toStdString());
    std::vector<const char*> argv;
    for (const auto& s : storage)
        argv.push_back(s.c_str());
    std::ostringstream out, err;
    Run r;
    r.exit = vqx::cli::runTool(static_cast<int>(argv.size()), argv.data(),
                               {out, err, progress, std::move(hub)});
    r.out = QString::fromStdString(out.str());
    r.err = QString::fromStdString(err.str());
    return r;
}

using vqxtest::freePort;

/// Drivers on `hub`; `onTransfer` (if any) runs before every read and write call returns,
/// which lets a test change the faults between two transfers.
HubDriverFactory hubDriver(std::shared_ptr<SimHub> hub, std::function<void()> onTransfer = {}) {
    return [hub, onTransfer]() -> std::unique_ptr<vqx::usb::D2xxDriver> {
        auto inner = std::make_unique<vqx::sim::SimHubDriver>(hub);
        if (!onTransfer)
            return inner;
        return std::make_unique<vqx::usb::TracingDriver>(
            std::move(inner), [onTransfer](const QString&) { onTransfer(); });
    };
}

/// A plan file in `dir`.
QString writePlan(const QTemporaryDir& dir, const QByteArray& text) {
    const QString path = dir.filePath(QStringLiteral("plan.csv"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return {};
    return path;
}

} // namespace

class TestTool : public QObject {
    Q_OBJECT
private slots:
    // A write that the controller fails part way names the address and the code, and the
    // bytes below it hold the new values while those above keep the old ones.
    void writeFailsAtAddress10_data() {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QString>("text");
        QTest::newRow("variant 2")
            << 2 << "EEPROM write failed at address 10: the controller reported failure (code 100)";
        QTest::newRow("variant 1")
            << 1
            << "EEPROM write failed at address 10: the controller reported a failed write "
               "(code -1)";
    }
    void writeFailsAtAddress10() {
        QFETCH(int, variant);
        QFETCH(QString, text);
        auto model = std::make_shared<ModuleModel>(variant == 2 ? ModuleModel::Variant::V2
                                                                : ModuleModel::Variant::V1);
        const vqx::NetworkRecord old{0xC0A80101, 0xFFFFFF00, 0xC0A80114};
        model->setRecord(old.toBytes());
        ModuleServer server(model);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        // The twelve reads of the old record pass; from the first write on, address 10 fails.
        server.setLogger([model](const QString&) {
            if (model->commandsExecuted() >= 12)
                model->faults().failAtAddress = 10;
        });
        const Run r =
            runTool({"write", "--host", "127.0.0.1", "--port", QString::number(server.port()),
                     "--ip", "10.0.0.7", "--mask", "255.255.255.0", "--gateway", "10.0.0.1"});
        QCOMPARE(r.exit, vqx::provision::code(Exit::Device));
        QVERIFY2(r.err.contains(text), qPrintable(r.err));
        QVERIFY2(r.err.contains("addresses 6 to 9 already hold the new values"), qPrintable(r.err));
        QVERIFY(!r.out.contains("Verified"));
        const auto bytes = model->record();
        const auto fresh = vqx::NetworkRecord{0x0A000001, 0xFFFFFF00, 0x0A000007}.toBytes();
        const auto before = old.toBytes();
        for (int i = 0; i < 4; ++i)
            QCOMPARE(bytes[static_cast<std::size_t>(i)], fresh[static_cast<std::size_t>(i)]);
        for (int i = 5; i < 12; ++i)
            QCOMPARE(bytes[static_cast<std::size_t>(i)], before[static_cast<std::size_t>(i)]);
    }

    // A write that fails part way says how far it came: in the table, in the JSON object, and
    // the same over Ethernet and through the hub. The bytes written are counted, not guessed
    // from the message.
    void partialWriteReported_data() {
        QTest::addColumn<bool>("usb");
        QTest::addColumn<bool>("json");
        QTest::addColumn<int>("failAt");
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("head");
        // The link fails after the command of failAt went out (the connection closes, the
        // hub's status never finishes): that byte may be stored and is named as such.
        QTest::addColumn<bool>("maybe");
        for (const bool usb : {false, true}) {
            const char* link = usb ? "usb" : "tcp";
            QTest::addRow("%s, at 10", link)
                << usb << false << 10 << 4 << "(partly written: addresses 6 to 9)" << false;
            QTest::addRow("%s, at 10, json", link) << usb << true << 10 << 4 << "" << false;
            QTest::addRow("%s, at 17", link)
                << usb << false << 17 << 11 << "(partly written: addresses 6 to 16)" << false;
            QTest::addRow("%s, at 6", link) << usb << false << 6 << 0 << "(not written)" << false;
            QTest::addRow("%s, at 6, json", link) << usb << true << 6 << 0 << "" << false;
            QTest::addRow("%s, lost after the command at 10", link)
                << usb << false << 10 << 4 << "(partly written: addresses 6 to 9, maybe 10)"
                << true;
            QTest::addRow("%s, lost after the command at 6, json", link)
                << usb << true << 6 << 0 << "" << true;
        }
    }
    void partialWriteReported() {
        QFETCH(bool, usb);
        QFETCH(bool, json);
        QFETCH(int, failAt);
        QFETCH(int, stored);
        QFETCH(QString, head);
        QFETCH(bool, maybe);
        std::shared_ptr<ModuleModel> model;
        std::unique_ptr<ModuleServer> server;
        HubDriverFactory driver;
        QStringList args{"write",         "--ip",      "10.0.0.7", "--mask",
                         "255.255.255.0", "--gateway", "10.0.0.1"};
        // The twelve reads of the old record pass; from the first write on, failAt fails.
        if (usb) {
            // The hub fails the EEPROM command of the write to failAt on the slot bus.
            auto hub = vqx::sim::makeDemoHub();
            model = hub->module(1);
            driver = hubDriver(hub, [hub, model, failAt, maybe] {
                if (!maybe && model->commandsExecuted() >= 12 + failAt - 6)
                    hub->faults().failRegister = kCommandRegisterV2;
                if (maybe && model->commandsExecuted() > 12 + failAt - 6)
                    hub->faults().neverFinish = true;
            });
            args << "--slot"
                 << "2";
        } else {
            model = std::make_shared<ModuleModel>(ModuleModel::Variant::V2);
            model->setRecord(vqx::NetworkRecord{0xC0A80101, 0xFFFFFF00, 0xC0A80166}.toBytes());
            server = std::make_unique<ModuleServer>(model);
            QVERIFY(server->listen(QHostAddress::LocalHost, 0));
            ModuleServer* s = server.get();
            server->setLogger([model, failAt, maybe, s](const QString&) {
                if (!maybe && model->commandsExecuted() >= 12)
                    model->faults().failAtAddress = failAt;
                // The status poll after the command of failAt: the module closes instead.
                if (maybe && model->commandsExecuted() > 12 + failAt - 6)
                    s->faults().closeAfterBytes = 0;
            });
            args << "--host"
                 << "127.0.0.1"
                 << "--port" << QString::number(server->port());
        }
        if (json)
            args << "--json";
        const Run r = runTool(args, false, driver);
        QCOMPARE(r.exit, vqx::provision::code(Exit::Device));
        QVERIFY2(r.err.contains(QStringLiteral("EEPROM write failed at address %1").arg(failAt)),
                 qPrintable(r.err));
        QCOMPARE(r.err.contains(QStringLiteral("address %1 may hold its new value").arg(failAt)),
                 maybe);
        if (maybe) // the module did take it
            QCOMPARE(model->record()[static_cast<std::size_t>(failAt - 6)],
                     (vqx::NetworkRecord{0x0A000001, 0xFFFFFF00, 0x0A000007}
                          .toBytes()[static_cast<std::size_t>(failAt - 6)]));
        if (json) {
            const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
            QCOMPARE(o.value("bytesWritten").toInt(-1), stored);
            QCOMPARE(o.value("bytesMaybeWritten").toInt(-1), maybe ? 1 : 0);
            QVERIFY(o.value("after").isNull());
            QCOMPARE(o.value("verified").toBool(true), false);
            QCOMPARE(o.value("exit").toInt(), vqx::provision::code(Exit::Device));
        } else {
            const QString first = r.out.section(QLatin1Char('\n'), 0, 0);
            QVERIFY2(first.endsWith(head), qPrintable(r.out));
            // Only the old values are shown: the new ones are in place only in part. Both
            // modules hold 192.168.1.102.
            QVERIFY2(r.out.contains(QStringLiteral("\nIP:      192.168.1.102\n")),
                     qPrintable(r.out));
            QVERIFY2(!r.out.contains("10.0.0.7"), qPrintable(r.out));
            QVERIFY(!r.out.contains("Verified"));
        }
    }

    // Two writers on one module: while another holder has the module's lock, a write waits
    // its --timeout and then gives up having sent nothing; once the lock is free it writes.
    // The same for a plan's write step, over Ethernet and through a hub slot. The holder is
    // another lock of this process (threads exclude each other as processes do), named as it
    // recorded itself; a record planted in the lock file reaches the messages quoted.
    void writersExcludeEachOther_data() {
        QTest::addColumn<bool>("usb");
        QTest::addColumn<bool>("plan");
        QTest::addColumn<QByteArray>("planted");
        QTest::addColumn<QString>("holder");
        const QString self = QStringLiteral("process %1 (%2) of user %3")
                                 .arg(QCoreApplication::applicationPid())
                                 .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName(),
                                      vqx::provision::TargetLock::userName());
        QTest::newRow("write, tcp") << false << false << QByteArray() << self;
        QTest::newRow("apply, usb") << true << true << QByteArray() << self;
        QTest::newRow("write, tcp, planted holder")
            << false << false
            << QByteArray("vqx250-ipconfig write lock\npid=1\x1b]0;x\x07\nuser=\x1b[31mmallory\n"
                          "program=\xe2\x80\xae" // a right-to-left override
                          "evil\n")
            << QStringLiteral("process 1\\e]0;x\\x07 (\\u202eevil) of user \\e[31mmallory");
    }
    void writersExcludeEachOther() {
        QFETCH(bool, usb);
        QFETCH(bool, plan);
        QFETCH(QByteArray, planted);
        QFETCH(QString, holder);
        QTemporaryDir locks;
        const QByteArray savedLocks = qgetenv("VQX250_LOCK_DIR");
        qputenv("VQX250_LOCK_DIR", locks.path().toLocal8Bit());
        auto model = std::make_shared<ModuleModel>(ModuleModel::Variant::V2);
        ModuleServer server(model);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        auto hub = vqx::sim::makeDemoHub(); // its serial is VQX25001; slot 2 holds a module
        const QString key = usb ? QStringLiteral("hub-VQX25001-slot-2")
                                : QStringLiteral("module-127.0.0.1-%1").arg(server.port());
        const QString name =
            usb ? QStringLiteral("slot 2") : QStringLiteral("127.0.0.1:%1").arg(server.port());
        const std::shared_ptr<ModuleModel> module = usb ? hub->module(1) : model;
        const QString target =
            usb ? QStringLiteral("2,,") : QStringLiteral(",127.0.0.1,%1").arg(server.port());
        QTemporaryDir dir;
        const QString planFile = writePlan(
            dir,
            QStringLiteral("slot,host,port,ip,mask,gateway\n%1,10.0.0.7,255.255.255.0,0.0.0.0\n")
                .arg(target)
                .toUtf8());
        QStringList args = plan ? QStringList{"apply", planFile, "--json"}
                                : QStringList{"write",         "--ip",      "10.0.0.7", "--mask",
                                              "255.255.255.0", "--gateway", "0.0.0.0"};
        if (!plan)
            args << "--host"
                 << "127.0.0.1"
                 << "--port" << QString::number(server.port());
        args << "--timeout"
             << "0.3";
        const auto before = module->record();
        auto other = std::make_unique<vqx::provision::TargetLock>(key);
        QCOMPARE(other->acquire(0), vqx::provision::TargetLock::Result::Taken);
        const QString file = vqx::provision::TargetLock::fileFor(key);
        QCOMPARE(QFileInfo(file).path(), locks.path());
        if (!planted.isEmpty()) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(f.write(planted), planted.size());
        }

        const Run busy = runTool(args, false, hubDriver(hub));
        QCOMPARE(busy.exit, vqx::provision::code(plan ? Exit::Partial : Exit::Unreachable));
        QVERIFY2(
            busy.err.contains(
                QStringLiteral("vqx250-ipconfig: %1 is being written by %2; waiting up to 0.3 s "
                               "(--timeout)\n")
                    .arg(name, holder)),
            qPrintable(busy.err));
        QVERIFY2(
            busy.err.contains(
                QStringLiteral("vqx250-ipconfig: %1 is busy: %2 is writing it (lock %3); nothing "
                               "was written\n")
                    .arg(name, holder, QDir::toNativeSeparators(file))),
            qPrintable(busy.err));
        QVERIFY(!busy.err.contains(QChar(0x1B)) && !busy.err.contains(QChar(0x202E)));
        QCOMPARE(module->record(), before);

        other.reset();
        const Run free = runTool(args, false, hubDriver(hub));
        QCOMPARE(free.exit, 0);
        QVERIFY(module->record() != before);
        qputenv("VQX250_LOCK_DIR", savedLocks);
    }

    // The bytes the tool writes are the record layout: gateway, mask, IP, each last octet
    // first, at EEPROM 6..17.
    void writeStoresRecordLayout() {
        auto model = std::make_shared<ModuleModel>(ModuleModel::Variant::V2);
        ModuleServer server(model);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const Run r = runTool({"write", "--host", "127.0.0.1", "--port",
                               QString::number(server.port()), "--ip", "192.168.1.20", "--mask",
                               "255.255.255.0", "--gateway", "192.168.1.1"});
        QCOMPARE(r.exit, 0);
        const auto bytes = model->record();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(bytes.data()), 12).toHex(' '),
                 QByteArray("01 01 a8 c0 00 ff ff ff 14 01 a8 c0"));
    }

    // A transfer that fails part way ends the progress line before the message, so that the
    // message starts on a line of its own.
    void progressEndedByFailure_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("message");
        QTest::newRow("read") << QStringList{"read", "--slot", "2"} << "slot 2: reading 4/12 bytes"
                              << "vqx250-ipconfig: slot 2: EEPROM read failed at address 10";
        QTest::newRow("apply") << QStringList{"apply", "PLAN", "--dry-run"}
                               << "slot 2: reading 4/12 bytes"
                               << "vqx250-ipconfig: slot 2: EEPROM read failed at address 10";
    }
    void progressEndedByFailure() {
        QFETCH(QStringList, args);
        QFETCH(QString, shown);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString plan = writePlan(dir, "slot,ip,mask,gateway\n2,10.0.0.2,255.0.0.0,0.0.0.0\n");
        QVERIFY(!plan.isEmpty());
        args.replaceInStrings(QStringLiteral("PLAN"), plan);
        // The fifth EEPROM command (address 10) fails on the slot bus.
        auto hub = vqx::sim::makeDemoHub();
        auto model = hub->module(1);
        const Run r = runTool(args + QStringList{"--json"}, true, hubDriver(hub, [hub, model] {
                                  if (model->commandsExecuted() >= 4)
                                      hub->faults().failRegister = kCommandRegisterV2;
                              }));
        QVERIFY2(r.err.contains(shown + QStringLiteral("\r\033[K") + message), qPrintable(r.err));
        QVERIFY(!r.err.contains(QStringLiteral("reading 5/12")));
    }

    // With -v the trace lines show every transfer; no progress line is drawn between them.
    void noProgressWhenTracing() {
        const Run r = runTool({"read", "--demo", "--slot", "2", "-v"}, true);
        QCOMPARE(r.exit, 0);
        QVERIFY2(r.err.contains(QStringLiteral("\n> ")), qPrintable(r.err));
        QVERIFY2(!r.err.contains(QStringLiteral(" bytes")), qPrintable(r.err));
        QVERIFY(!r.err.contains(QLatin1Char('\r')));
    }

    // Every line of the first phase of a plan names its module, also when the failure's own
    // text does not (a missing hub), and with --dry-run and --json; a text that names the
    // module already is not prefixed twice.
    void applyNamesEachModule_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("onStdout");
        QTest::newRow("text") << QStringList{} << true;
        QTest::newRow("dry run") << QStringList{"--dry-run"} << true;
        QTest::newRow("json") << QStringList{"--json"} << false;
        QTest::newRow("json dry run") << QStringList{"--json", "--dry-run"} << false;
    }
    void applyNamesEachModule() {
        QFETCH(QStringList, options);
        QFETCH(bool, onStdout);
        const quint16 closed = freePort();
        QTemporaryDir dir;
        const QString plan = writePlan(dir, QStringLiteral("host,port,slot,ip,mask,gateway\n"
                                                           ",,1,10.0.0.2,255.0.0.0,0.0.0.0\n"
                                                           ",,3,10.0.0.3,255.0.0.0,0.0.0.0\n"
                                                           "127.0.0.1,%1,,10.0.0.4,255.0.0.0,\n")
                                                .arg(closed)
                                                .toUtf8()
                                                .replace(",\n", ",0.0.0.0\n"));
        QVERIFY(!plan.isEmpty());
        const Run r =
            runTool(QStringList{"apply", plan, "--driver", "sim", "--hub", "1", "--timeout", "1"} +
                    options);
        QCOMPARE(r.exit, vqx::provision::code(Exit::Partial));
        const QString lead = onStdout ? QStringLiteral("  ") : QStringLiteral("vqx250-ipconfig: ");
        const QString& text = onStdout ? r.out : r.err;
        for (const char* slot : {"slot 1", "slot 3"})
            QVERIFY2(text.contains(QStringLiteral("%1%2: no hub 1: 1 hub(s) attached")
                                       .arg(lead, QLatin1String(slot))),
                     qPrintable(text));
        const QString host = QStringLiteral("127.0.0.1:%1").arg(closed);
        QVERIFY2(text.contains(QStringLiteral("%1%2 is unreachable").arg(lead, host)),
                 qPrintable(text));
        QVERIFY(!text.contains(QStringLiteral("%1: %1").arg(host)));
    }

    // scan finds exactly the modules listening in a range, with their variants and records,
    // in address order, and marks the one whose record differs from its address.
    void scanFindsListeningModules() {
        const quint16 port = freePort();
        const struct {
            std::uint32_t address;
            ModuleModel::Variant variant;
            bool ownAddress;
        } served[] = {{0x7F003D09, ModuleModel::Variant::V1, true},
                      {0x7F003D03, ModuleModel::Variant::V1, false},
                      {0x7F003D04, ModuleModel::Variant::V2, true}};
        std::vector<std::unique_ptr<ModuleServer>> servers;
        for (const auto& m : served) {
            auto model = std::make_shared<ModuleModel>(m.variant);
            model->setRecord(
                vqx::NetworkRecord{0x0A000001, 0xFF000000, m.ownAddress ? m.address : 0x0A000005}
                    .toBytes());
            servers.push_back(std::make_unique<ModuleServer>(model));
            QVERIFY(servers.back()->listen(QHostAddress(m.address), port));
        }
        const QStringList where{
            "127.0.61.1-127.0.61.12", "127.0.61.9", "--connect-timeout", "5000", "--port",
            QString::number(port)};
        const Run json = runTool(QStringList{"scan", "--json"} + where);
        QCOMPARE(json.exit, 0);
        const QJsonArray hits = QJsonDocument::fromJson(json.out.toUtf8()).array();
        QStringList seen;
        for (const auto& v : hits) {
            const QJsonObject o = v.toObject();
            seen << QStringLiteral("%1 v%2 %3 %4 %5 %6")
                        .arg(o["address"].toString())
                        .arg(o["variant"].toInt())
                        .arg(o["ip"].toString(), o["mask"].toString(), o["gateway"].toString())
                        .arg(o["differs"].toBool() ? "true" : "false");
        }
        QCOMPARE(seen, (QStringList{"127.0.61.3 v1 10.0.0.5 255.0.0.0 10.0.0.1 true",
                                    "127.0.61.4 v2 127.0.61.4 255.0.0.0 10.0.0.1 false",
                                    "127.0.61.9 v1 127.0.61.9 255.0.0.0 10.0.0.1 false"}));
        const Run text = runTool(QStringList{"scan"} + where);
        const QStringList lines = text.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[0].startsWith("127.0.61.3 ") && lines[0].contains("*"),
                 qPrintable(lines[0]));
        QVERIFY(!lines[1].contains("*") && !lines[2].contains("*"));
        const Run none =
            runTool({"scan", "127.0.61.10-127.0.61.12", "--port", QString::number(port)});
        QCOMPARE(none.exit, vqx::provision::code(Exit::Unreachable));
    }

    // SIGINT while a plan writes: no module starts after it, the writes in flight end, and the
    // report's "written" says exactly which modules hold their new record; every other one
    // holds its old record whole.
    void applyInterrupted() {
        std::vector<std::unique_ptr<ModuleServer>> servers;
        QByteArray plan = "host,port,ip,mask,gateway\n";
        auto raised = std::make_shared<bool>(false);
        const vqx::NetworkRecord old{0xC0A80101, 0xFFFFFF00, 0xC0A80114};
        for (int i = 0; i < 12; ++i) {
            auto model = std::make_shared<ModuleModel>();
            model->setRecord(old.toBytes());
            model->setBusyPolls(3);
            servers.push_back(std::make_unique<ModuleServer>(model));
            QVERIFY(servers.back()->listen(QHostAddress::LocalHost, 0));
            // The first EEPROM write command of the plan brings the interrupt.
            servers.back()->setLogger([raised](const QString& line) {
                if (!*raised && line.contains(QStringLiteral("write reg 10 value 0x4"))) {
                    *raised = true;
                    std::raise(SIGINT);
                }
            });
            plan += QStringLiteral("127.0.0.1,%1,10.0.0.%2,255.255.255.0,10.0.0.1\n")
                        .arg(servers.back()->port())
                        .arg(i + 10)
                        .toLatin1();
        }
        QTemporaryDir dir;
        const Run r = runTool({"apply", writePlan(dir, plan), "--jobs", "4", "--json"});
        QVERIFY(*raised);
        QCOMPARE(r.exit, 130);
        const QJsonArray items = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(items.size(), 12);
        int untouched = 0;
        for (int i = 0; i < 12; ++i) {
            const QJsonObject o = items[i].toObject();
            const auto held =
                vqx::NetworkRecord::fromBytes(servers[std::size_t(i)]->model().record());
            if (o["written"].toBool()) {
                QCOMPARE(o["result"].toString(), QStringLiteral("ok"));
                QCOMPARE(held.ip, 0x0A000000u + std::uint32_t(i + 10));
            } else {
                QCOMPARE(o["result"].toString(), QStringLiteral("interrupted"));
                QCOMPARE(held, old);
                ++untouched;
            }
        }
        QVERIFY2(untouched >= 8, qPrintable(r.out)); // at most 4 writes were under way
        QVERIFY(r.err.contains("interrupted"));
    }

    // A driver's standing note (a vendor library without FT_SetVIDPID) explains a hub that is
    // not listed, and is left out of failures it has nothing to do with.
    void driverNoteOnlyWhereItApplies_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("openFails");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("noted");
        QTest::newRow("hub not listed")
            << QStringList{"slots", "--hub", "1"} << false << "no hub 1: 1 hub(s) attached" << true;
        QTest::newRow("hub fails to open")
            << QStringList{"slots"} << true << "hub 0 failure: opening it failed" << false;
    }
    void driverNoteOnlyWhereItApplies() {
        QFETCH(QStringList, args);
        QFETCH(bool, openFails);
        QFETCH(QString, message);
        QFETCH(bool, noted);
        struct NotedDriver : vqx::usb::TracingDriver {
            using TracingDriver::TracingDriver;
            std::string lastError() const override { return "the library lacks FT_SetVIDPID"; }
        };
        auto hub = vqx::sim::makeDemoHub();
        if (openFails)
            hub->faults().openB = vqx::usb::FT_DEVICE_NOT_OPENED;
        const Run r = runTool(args, false, [hub]() -> std::unique_ptr<vqx::usb::D2xxDriver> {
            return std::make_unique<NotedDriver>(std::make_unique<vqx::sim::SimHubDriver>(hub),
                                                 nullptr);
        });
        QCOMPARE(r.exit, vqx::provision::code(Exit::Unreachable));
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QCOMPARE(r.err.contains("lacks FT_SetVIDPID"), noted);
    }

    // USB progress goes to stderr when asked for (a terminal), and not otherwise.
    void usbProgress() {
        const Run shown = runTool({"read", "--demo", "--slot", "2"}, true);
        QCOMPARE(shown.exit, 0);
        QVERIFY2(shown.err.contains("\rslot 2: reading 1/12 bytes"), qPrintable(shown.err));
        QVERIFY(shown.err.contains("\rslot 2: reading 12/12 bytes"));
        QVERIFY(shown.out.contains("192.168.1.102"));
        const Run quiet = runTool({"read", "--demo", "--slot", "2"}, false);
        QCOMPARE(quiet.exit, 0);
        QVERIFY(!quiet.err.contains("bytes"));
    }
};

QTEST_GUILESS_MAIN(TestTool)
#include "tst_cli_tool.moc"
