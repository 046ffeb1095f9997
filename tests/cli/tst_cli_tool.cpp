// The command-line configurator's logic in process, against simulated modules on loopback:
// fault sequences that a separate simulator process cannot stage, the connect cycle, and the
// progress display.

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include "ExitCodes.h"
#include "ModuleAccess.h"
#include "ModuleModel.h"
#include "ModuleServer.h"
#include "NetworkRecord.h"
#include "Tool.h"

using vqx::cli::ConnectTiming;
using vqx::cli::EthernetTarget;
using vqx::cli::Exit;
using vqx::sim::ModuleModel;
using vqx::sim::ModuleServer;

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

struct Run {
    int exit = -1;
    QString out;
    QString err;
};

Run runTool(const QStringList& args, bool progress = false) {
    std::vector<std::string> storage{"vqx250-ipconfig"};
    for (const QString& a : args)
        storage.push_back(a.toStdString());
    std::vector<const char*> argv;
    for (const auto& s : storage)
        argv.push_back(s.c_str());
    std::ostringstream out, err;
    Run r;
    r.exit = vqx::cli::runTool(static_cast<int>(argv.size()), argv.data(), {out, err, progress});
    r.out = QString::fromStdString(out.str());
    r.err = QString::fromStdString(err.str());
    return r;
}

quint16 freePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

ConnectTiming quickTiming(double seconds) {
    ConnectTiming t;
    t.timeoutSeconds = seconds;
    t.runArp = false;
    t.arpPauseMs = 0;
    t.cycleMs = 200;
    return t;
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
        QCOMPARE(r.exit, vqx::cli::code(Exit::Device));
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
        vqx::NetworkRecord r;
        QVERIFY(t.readRecord(r, {}).ok());
        QCOMPARE(r, vqx::NetworkRecord::fromBytes(model->record()));
    }

    // A refused connection counts as connected on the link; the tool keeps cycling and says
    // the module is unreachable once the time-out has passed.
    void refusedIsUnreachable() {
        const quint16 port = freePort();
        EthernetTarget t(kLoopback, port, quickTiming(1.0), {});
        QElapsedTimer clock;
        clock.start();
        const vqx::cli::Outcome o = t.open();
        QCOMPARE(o.exit, Exit::Unreachable);
        QVERIFY2(o.message.contains("unreachable"), qPrintable(o.message));
        QVERIFY2(o.message.contains("refused, failed or dropped"), qPrintable(o.message));
        QVERIFY2(o.message.contains("code 2"), qPrintable(o.message));
        QVERIFY(t.attempts() >= 2); // 200 ms cycles within one second
        QVERIFY(clock.elapsed() >= 1000);
        QVERIFY(clock.elapsed() < 5000);
    }

    // A module that starts listening while the tool is cycling is reached.
    void moduleComingUpIsReached() {
        const quint16 port = freePort();
        auto model = std::make_shared<ModuleModel>();
        ModuleServer server(model);
        QTimer::singleShot(500, &server, [&] { server.listen(QHostAddress::LocalHost, port); });
        EthernetTarget t(kLoopback, port, quickTiming(10), {});
        const vqx::cli::Outcome o = t.open();
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
        const vqx::cli::Outcome o = t.open();
        QCOMPARE(o.exit, Exit::Device);
        QCOMPARE(o.deviceCode, 5);
        QVERIFY2(o.message.contains("version register"), qPrintable(o.message));
        QCOMPARE(t.attempts(), 1);
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
