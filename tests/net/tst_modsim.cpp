// vqx250-modsim as a user runs it: a separate process the link reads and writes over
// loopback, and its refusal of bad options.

#include <QProcess>
#include <QTcpServer>
#include <QTest>

#include "CModuleSocket.h"
#include "NetworkRecord.h"
#include "TestNet.h"

namespace {
QString modsim() {
    return QString::fromLocal8Bit(qgetenv("VQX_MODSIM"));
}

using vqxtest::freePort;

/// Starts the simulator on a free port with `args`; the port once it listens, 0 otherwise.
/// `banner` receives what it printed until then.
quint16 startSim(QProcess& sim, const QStringList& args, QByteArray* banner = nullptr) {
    const quint16 port = freePort();
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(modsim(), QStringList{"--port", QString::number(port)} + args);
    if (!sim.waitForStarted())
        return 0;
    QByteArray seen;
    const bool up = QTest::qWaitFor(
        [&] {
            seen += sim.readAllStandardError();
            return seen.contains("listening on");
        },
        10000);
    if (banner)
        *banner = seen;
    return up ? port : 0;
}
} // namespace

class TestModsim : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(QFile::exists(modsim()), "VQX_MODSIM must name the binary"); }

    void servesARecordThatTheLinkReadsAndWrites() {
        QProcess sim;
        QByteArray banner;
        const quint16 port =
            startSim(sim,
                     {"--variant", "2", "--ip", "10.1.2.3", "--mask", "255.255.0.0", "--gateway",
                      "10.1.0.1", "--verbose", "--strict"},
                     &banner);
        QVERIFY(port != 0);
        QVERIFY(banner.contains("strict module"));

        CModuleSocket link;
        QCOMPARE(link.ConnectTo(0x7F000001, port), 0);
        QVERIFY(QTest::qWaitFor([&] { return link.IsConnected(); }, 5000));
        std::uint8_t version[4] = {};
        QCOMPARE(link.ReadRegs(14, version, 2), 0);
        QCOMPARE(version[2] | version[3] << 8, 0x0330);
        link.SetEepromMode(2);

        vqx::RecordBytes bytes{};
        for (int i = 0; i < 12; ++i)
            QCOMPARE(link.ReadEeprom(std::uint16_t(6 + i), &bytes[std::size_t(i)], 1), 0);
        const vqx::NetworkRecord read = vqx::NetworkRecord::fromBytes(bytes);
        QCOMPARE(vqx::formatAddress(read.ip), QString("10.1.2.3"));
        QCOMPARE(vqx::formatAddress(read.mask), QString("255.255.0.0"));
        QCOMPARE(vqx::formatAddress(read.gateway), QString("10.1.0.1"));

        const vqx::RecordBytes next =
            vqx::NetworkRecord{0xC0A80101, 0xFFFFFF00, 0xC0A80114}.toBytes();
        for (int i = 0; i < 12; ++i)
            QCOMPARE(link.WriteEeprom(std::uint16_t(6 + i), &next[std::size_t(i)], 1), 0);
        vqx::RecordBytes back{};
        for (int i = 0; i < 12; ++i)
            QCOMPARE(link.ReadEeprom(std::uint16_t(6 + i), &back[std::size_t(i)], 1), 0);
        QCOMPARE(back, next);

        sim.kill();
        sim.waitForFinished();
        const QByteArray log = sim.readAllStandardError();
        QVERIFY(log.contains("<- 8D 01 0C 00 00 04"));        // the first write command, in hex
        QVERIFY2(!log.contains("rejected"), log.constData()); // strict, and nothing refused
    }

    // Each connection fault, set by hand, gives the link its code: the first read of a
    // connection, then the second.
    void connectionFaults_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::newRow("no reply") << QStringList{"--no-reply"} << CModuleSocket::kReceiveError
                                  << -1;
        QTest::newRow("bad first magic")
            << QStringList{"--bad-first-magic"} << CModuleSocket::kBadMagic0 << -1;
        QTest::newRow("bad second magic")
            << QStringList{"--bad-second-magic"} << CModuleSocket::kBadMagic1 << -1;
        QTest::newRow("skipped number")
            << QStringList{"--skip-packet", "1"} << 0 << CModuleSocket::kBadPacketNumber;
        QTest::newRow("close mid-reply")
            << QStringList{"--close-after", "10"} << 0 << CModuleSocket::kClosedMidReply;
    }
    void connectionFaults() {
        QFETCH(QStringList, args);
        QFETCH(int, first);
        QFETCH(int, second);
        QProcess sim;
        const quint16 port = startSim(sim, QStringList{"--strict"} + args);
        QVERIFY(port != 0);
        CModuleSocket link;
        CModuleSocket::Timing t;
        t.waitMs = 300;
        link.SetTiming(t);
        link.SetReceiveErrorHandler([](const QString&, const QString&) {});
        QCOMPARE(link.ConnectTo(0x7F000001, port), 0);
        QVERIFY(QTest::qWaitFor([&] { return link.IsConnected(); }, 5000));
        std::uint8_t buf[4] = {};
        QCOMPARE(link.ReadRegs(14, buf, 2), first);
        if (second >= 0)
            QCOMPARE(link.ReadRegs(14, buf, 2), second);
        sim.kill();
        sim.waitForFinished();
    }

    void refusesBadOptions_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("variant 3") << QStringList{"--variant", "3"};
        QTest::newRow("bad ip") << QStringList{"--ip", "10.0.0.256"};
        QTest::newRow("short record") << QStringList{"--record", "0102"};
        QTest::newRow("port") << QStringList{"--port", "70000"};
        QTest::newRow("fail-at") << QStringList{"--fail-at", "2048"};
        QTest::newRow("piece-size 0") << QStringList{"--piece-size", "0"};
    }
    void refusesBadOptions() {
        QFETCH(QStringList, args);
        QProcess sim;
        sim.start(modsim(), args);
        QVERIFY(sim.waitForFinished(10000));
        QCOMPARE(sim.exitCode(), 2);
        QVERIFY(sim.readAllStandardError().startsWith("vqx250-modsim: "));
    }

    void help() {
        QProcess sim;
        sim.start(modsim(), {"--help"});
        QVERIFY(sim.waitForFinished(10000));
        QCOMPARE(sim.exitCode(), 0);
        const QByteArray help = sim.readAllStandardOutput();
        for (const char* option :
             {"--ignore-writes", "--strict", "--no-reply", "--bad-first-magic",
              "--bad-second-magic", "--skip-packet", "--close-after", "--piece-size"})
            QVERIFY2(help.contains(option), option);
    }
};

QTEST_GUILESS_MAIN(TestModsim)
#include "tst_modsim.moc"
