// vqx250-modsim as a user runs it: a separate process the link reads and writes over
// loopback, and its refusal of bad options.

#include <QProcess>
#include <QTcpServer>
#include <QTest>

#include "CModuleSocket.h"
#include "NetworkRecord.h"

namespace {
QString modsim() {
    return QString::fromLocal8Bit(qgetenv("VQX_MODSIM"));
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
} // namespace

class TestModsim : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(QFile::exists(modsim()), "VQX_MODSIM must name the binary"); }

    void servesARecordThatTheLinkReadsAndWrites() {
        const quint16 port = freePort();
        QProcess sim;
        sim.setProcessChannelMode(QProcess::SeparateChannels);
        sim.start(modsim(), {"--port", QString::number(port), "--variant", "2", "--ip", "10.1.2.3",
                             "--mask", "255.255.0.0", "--gateway", "10.1.0.1", "--verbose"});
        QVERIFY(sim.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return sim.readAllStandardError().contains("listening on"); },
                                10000));

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
        QVERIFY(log.contains("<- 8D 01 0C 00 00 04")); // the first write command, in hex
    }

    void refusesBadOptions_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("variant 3") << QStringList{"--variant", "3"};
        QTest::newRow("bad ip") << QStringList{"--ip", "10.0.0.256"};
        QTest::newRow("short record") << QStringList{"--record", "0102"};
        QTest::newRow("port") << QStringList{"--port", "70000"};
        QTest::newRow("fail-at") << QStringList{"--fail-at", "2048"};
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
        QVERIFY(sim.readAllStandardOutput().contains("--ignore-writes"));
    }
};

QTEST_GUILESS_MAIN(TestModsim)
#include "tst_modsim.moc"
