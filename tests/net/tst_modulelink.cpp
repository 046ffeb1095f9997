// The Ethernet module link over real loopback TCP against the module simulator: register
// and EEPROM transfers byte for byte, and every fault the simulator can inject.

#include <limits>
#include <memory>

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include "CModuleSocket.h"
#include "ModuleModel.h"
#include "ModuleServer.h"
#include "NetworkRecord.h"
#include "TestRows.h"

using vqx::sim::ModuleModel;
using vqx::sim::ModuleServer;

namespace {

/// Makes the next close of a connected socket a reset rather than an orderly shutdown.
bool resetOnClose(qintptr descriptor) {
    linger hard{};
    hard.l_onoff = 1;
    hard.l_linger = 0;
#ifdef Q_OS_WIN
    return ::setsockopt(static_cast<SOCKET>(descriptor), SOL_SOCKET, SO_LINGER,
                        reinterpret_cast<const char*>(&hard), sizeof hard) == 0;
#else
    return ::setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_LINGER, &hard, sizeof hard) ==
           0;
#endif
}

constexpr std::uint32_t kLoopback = 0x7F000001;

/// A link whose socket creation can be made to fail.
class FailingCreateSocket : public CModuleSocket {
public:
    bool failCreate = false;
    int creates = 0;

protected:
    bool Create() override {
        ++creates;
        return failCreate ? false : CModuleSocket::Create();
    }
};

/// A link whose socket layer takes only part of each piece.
class ShortSendSocket : public CModuleSocket {
protected:
    int Send(const std::uint8_t* data, int len) override {
        return CModuleSocket::Send(data, len > 1 ? len - 1 : len);
    }
};

/// A link whose socket layer cannot take anything for its first `stalls` sends, though the
/// connection is up.
class StallingSendSocket : public CModuleSocket {
public:
    int stalls = 0;

protected:
    int Send(const std::uint8_t* data, int len) override {
        if (stalls > 0) {
            --stalls;
            return -1;
        }
        return CModuleSocket::Send(data, len);
    }
};

/// Exposes the receive notification, to set the data-ready flag by hand.
class NotifiedSocket : public CModuleSocket {
public:
    void notifyReceive() { OnReceive(0); }
};

template <class Link = CModuleSocket> struct RigOf {
    std::shared_ptr<ModuleModel> model;
    std::unique_ptr<ModuleServer> server;
    Link link;
    QStringList boxes;
    QList<QByteArray> sends; // one entry per Send the link made

    QList<int> receives; // size of each receive the link made

    explicit RigOf(ModuleModel::Variant v = ModuleModel::Variant::V1) {
        model = std::make_shared<ModuleModel>(v); // strict: the link must never be refused
        server = std::make_unique<ModuleServer>(model);
        server->setRecording(true);
        CModuleSocket::Timing t;
        t.waitMs = 300; // keeps fault cases quick; the default of 1000 ms is checked apart
        t.eepromPollMs = 300;
        link.SetTiming(t);
        link.SetReceiveErrorHandler(
            [this](const QString& text, const QString& title) { boxes << title + "|" + text; });
        link.SetTrace([this](bool out, const QByteArray& b) {
            if (out)
                sends << b;
            else
                receives << int(b.size());
        });
    }

    ~RigOf() {
        if (model->rejections() != 0)
            QFAIL(("the module refused: " + model->lastRejection()).c_str());
    }

    bool connect() {
        if (!server->listen(QHostAddress::LocalHost, 0))
            return false;
        if (link.ConnectTo(kLoopback, server->port()) != 0)
            return false;
        return QTest::qWaitFor([this] { return link.IsConnected(); }, 5000) &&
               QTest::qWaitFor([this] { return server->connectionCount() == 1; }, 5000);
    }

    QByteArray received() const { return server->received().toHex(' ').toUpper(); }
};
using Rig = RigOf<>;

QByteArray hex(const char* s) {
    return QByteArray(s);
}

} // namespace

class TestModuleLink : public QObject {
    Q_OBJECT
private slots:
    void defaultsAreTheProtocols() {
        CModuleSocket link;
        QCOMPARE(link.timing().waitMs, 1000);
        QCOMPARE(link.timing().eepromPollMs, 3000);
        QCOMPARE(link.EepromMode(), std::uint8_t(1));
        QVERIFY(!link.IsConnected());
        // Without a connection a write is refused before anything is built.
        const std::uint32_t w = 1;
        QCOMPARE(link.WriteRegs(0, &w, 1), CModuleSocket::kNotConnected);
    }

    void connectReadsVersionAndVariant_data() {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("variant 1") << 1 << QByteArray("00012103");
        QTest::newRow("variant 2") << 2 << QByteArray("00013003");
    }
    void connectReadsVersionAndVariant() {
        QFETCH(int, variant);
        QFETCH(QByteArray, expected);
        Rig rig(variant == 2 ? ModuleModel::Variant::V2 : ModuleModel::Variant::V1);
        QVERIFY(rig.connect());
        std::uint8_t buf[4] = {};
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 4).toHex(), expected);
        QCOMPARE(rig.received(), hex("CE 02 00 00 00 00"));
        QCOMPARE(std::uint16_t(buf[2] | buf[3] << 8) == 0x0330, variant == 2);
    }

    // The record of 192.168.1.20 / 255.255.255.0 / 192.168.1.1 written a byte at a time
    // lands at EEPROM 6..17 and reads back the same, on both controller variants.
    void recordWriteAndRead_data() { vqxtest::variantRows(); }
    void recordWriteAndRead() {
        QFETCH(int, variant);
        Rig rig(variant == 2 ? ModuleModel::Variant::V2 : ModuleModel::Variant::V1);
        rig.link.SetEepromMode(std::uint8_t(variant));
        rig.model->setBusyPolls(3);
        QVERIFY(rig.connect());
        const vqx::NetworkRecord record{0xC0A80101, 0xFFFFFF00, 0xC0A80114};
        const vqx::RecordBytes bytes = record.toBytes();
        for (int i = 0; i < vqx::kRecordSize; ++i)
            QCOMPARE(rig.link.WriteEeprom(std::uint16_t(6 + i), &bytes[std::size_t(i)], 1), 0);
        const auto stored = rig.model->record();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(stored.data()), 12).toHex(' '),
                 QByteArray("01 01 a8 c0 00 ff ff ff 14 01 a8 c0"));
        vqx::RecordBytes back{};
        for (int i = 0; i < vqx::kRecordSize; ++i)
            QCOMPARE(rig.link.ReadEeprom(std::uint16_t(6 + i), &back[std::size_t(i)], 1), 0);
        QVERIFY(vqx::NetworkRecord::fromBytes(back) == record);
    }

    void readSequenceVariant1OnTheWire() {
        Rig rig(ModuleModel::Variant::V1);
        rig.model->eeprom()[6] = 0xC0;
        rig.model->setBusyPolls(1);
        QVERIFY(rig.connect());
        std::uint8_t b = 0;
        QCOMPARE(rig.link.ReadEeprom(6, &b, 1), 0);
        QCOMPARE(b, std::uint8_t(0xC0));
        QCOMPARE(rig.received(), hex("80 01 00 00 00 00 8A 01 0C 00 00 08 "
                                     "C4 06 00 00 00 00 C4 06 00 00 00 00 "
                                     "CF 01 00 00 00 00"));
    }

    void writeSequenceVariant2OnTheWire() {
        Rig rig(ModuleModel::Variant::V2);
        rig.link.SetEepromMode(2);
        QVERIFY(rig.connect());
        const std::uint8_t b = 0xC0;
        QCOMPARE(rig.link.WriteEeprom(6, &b, 1), 0);
        QCOMPARE(rig.model->eeprom()[6], std::uint8_t(0xC0));
        QCOMPARE(rig.received(), hex("80 01 00 00 00 00 8F 40 01 00 00 00 "
                                     "8D 01 0C 00 00 04 C3 01 00 00 00 00"));
    }

    // 300 bytes at 6: 256 with count field 0, then 44 at 262; the control register once.
    void readChunks() {
        Rig rig;
        for (int i = 0; i < 2048; ++i)
            rig.model->eeprom()[std::size_t(i)] = std::uint8_t(i * 13 + 1);
        QVERIFY(rig.connect());
        std::vector<std::uint8_t> buf(300);
        QCOMPARE(rig.link.ReadEeprom(6, buf.data(), 300), 0);
        for (int i = 0; i < 300; ++i)
            QCOMPARE(buf[std::size_t(i)], std::uint8_t((6 + i) * 13 + 1));
        const QByteArray wire = rig.server->received().toHex();
        QCOMPARE(wire.count("800100000000"), 1); // control register once
        QVERIFY(wire.contains("8a000c000008"));  // 0x80000600
        QVERIFY(wire.contains("8a2c0c040008"));  // 0x8001062C: 44 bytes at 262
        QVERIFY(wire.contains("cf0002000000"));  // 256 words of register 15
        QVERIFY(wire.contains("cf2c00000000"));  // 44 words
    }

    // 65 bytes: a chunk of 64 (32 data words) and one of 1, the control register before each.
    void writeChunks() {
        Rig rig;
        QVERIFY(rig.connect());
        std::vector<std::uint8_t> data(65);
        for (int i = 0; i < 65; ++i)
            data[std::size_t(i)] = std::uint8_t(0xA0 + i);
        QCOMPARE(rig.link.WriteEeprom(100, data.data(), 65), 0);
        for (int i = 0; i < 65; ++i)
            QCOMPARE(rig.model->eeprom()[std::size_t(100 + i)], data[std::size_t(i)]);
        const QByteArray wire = rig.server->received().toHex();
        QCOMPARE(wire.count("800100000000"), 2);
        QVERIFY(wire.contains("8a4048010004")); // 0x40006440: 64 bytes at 100
        QVERIFY(wire.contains("8a0148020004")); // 0x4000A401: 1 byte at 164
        // The last chunk's single byte travels alone in its word, upper half zero.
        QVERIFY(wire.contains("8a0148020004"));
        const qsizetype lastData = wire.lastIndexOf("8f");
        QCOMPARE(wire.mid(lastData, 12), QByteArray("8f6001000000")); // 0xE0
    }

    void writeCommandWords_data() {
        QTest::addColumn<uint>("address");
        QTest::addColumn<uint>("count");
        QTest::addColumn<QByteArray>("dataRequests");
        QTest::addColumn<QByteArray>("command");
        // 3 bytes: bytes 0 and 1 in the first word (bits 0..7, 16..23), byte 2 alone.
        QTest::newRow("3 bytes") << 6u << 3u << QByteArray("8f0100080000 8f0300000000")
                                 << QByteArray("8a030c000004");
        QTest::newRow("address 2047")
            << 2047u << 1u << QByteArray("8f0100000000") << QByteArray("8a017e1f0004");
        QTest::newRow("address 2048 wraps")
            << 2048u << 1u << QByteArray("8f0100000000") << QByteArray("8a0100000004");
        QTest::newRow("address 2054 wraps")
            << 2054u << 1u << QByteArray("8f0100000000") << QByteArray("8a010c000004");
    }
    void writeCommandWords() {
        QFETCH(uint, address);
        QFETCH(uint, count);
        QFETCH(QByteArray, dataRequests);
        QFETCH(QByteArray, command);
        Rig rig;
        QVERIFY(rig.connect());
        const std::uint8_t data[3] = {1, 2, 3};
        QCOMPARE(rig.link.WriteEeprom(std::uint16_t(address), data, count), 0);
        const QByteArray expected =
            "800100000000" + dataRequests.replace(" ", "") + command + "c40600000000";
        QCOMPARE(rig.server->received().toHex(), expected);
    }

    // Modes other than 2 behave as variant 1: command register 10, status block 4.
    void unknownModesActAsVariant1_data() {
        QTest::addColumn<int>("mode");
        QTest::newRow("0") << 0;
        QTest::newRow("1") << 1;
        QTest::newRow("3") << 3;
        QTest::newRow("255") << 255;
    }
    void unknownModesActAsVariant1() {
        QFETCH(int, mode);
        Rig rig(ModuleModel::Variant::V1);
        rig.link.SetEepromMode(std::uint8_t(mode));
        rig.model->eeprom()[9] = 0x5A;
        QVERIFY(rig.connect());
        std::uint8_t b = 0;
        QCOMPARE(rig.link.ReadEeprom(9, &b, 1), 0);
        QCOMPARE(b, std::uint8_t(0x5A));
        QCOMPARE(rig.server->received().toHex(), QByteArray("800100000000"
                                                            "8a0112000008"
                                                            "c40600000000"
                                                            "cf0100000000"));
    }

    void countZero() {
        Rig rig;
        QVERIFY(rig.connect());
        std::uint8_t b = 0;
        QCOMPARE(rig.link.ReadEeprom(6, &b, 0), 0);
        QCOMPARE(rig.link.WriteEeprom(6, &b, 0), 0);
        QCOMPARE(rig.link.WriteRegs(0, nullptr, 0), 0);
        QCOMPARE(rig.link.ReadRegs(15, &b, 0), 0);
        QVERIFY(QTest::qWaitFor([&] { return rig.server->received().size() == 12; }, 2000));
        QCOMPARE(rig.server->received().toHex(), QByteArray("800100000000"
                                                            "cf0000000000"));
    }

    // 244 words are 1464 bytes: handed to the socket as 1460 and 4.
    void writeBlockPieces() {
        Rig rig;
        QVERIFY(rig.connect());
        std::vector<std::uint32_t> words(244, 7);
        QCOMPARE(rig.link.WriteRegs(20, words.data(), 244), 0);
        QCOMPARE(rig.sends.size(), 2);
        QCOMPARE(rig.sends[0].size(), 1460);
        QCOMPARE(rig.sends[1].size(), 4);
    }

    // A socket layer that takes only part of a piece ends the write with 1, and the read
    // request likewise.
    void partialSendGivesCode1() {
        auto model = std::make_shared<ModuleModel>();
        ModuleServer server(model);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        ShortSendSocket link;
        QCOMPARE(link.ConnectTo(kLoopback, server.port()), 0);
        QVERIFY(QTest::qWaitFor([&] { return link.IsConnected(); }, 5000));
        std::vector<std::uint32_t> words(244, 7);
        QCOMPARE(link.WriteRegs(20, words.data(), 244), CModuleSocket::kSendShort);
        std::uint8_t buf[4];
        QCOMPARE(link.ReadRegs(14, buf, 2), CModuleSocket::kSendShort);
    }

    // A module that accepts the connection but never reads: once the system's buffers are
    // full, sends keep failing and the write ends with 2 after the wait limit.
    void stalledModuleGivesCode2() {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        silent.pauseAccepting(); // the system completes the connection; nobody reads it
        CModuleSocket link;
        CModuleSocket::Timing t;
        t.waitMs = 300;
        t.sendBufferLimit = 64 * 1024;
        link.SetTiming(t);
        QCOMPARE(link.ConnectTo(kLoopback, silent.serverPort()), 0);
        QVERIFY(QTest::qWaitFor([&] { return link.IsConnected(); }, 5000));
        std::vector<std::uint32_t> words(4 * 1024 * 1024, 0x12345678); // 24 MiB of requests
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link.WriteRegs(15, words.data(), std::uint32_t(words.size())),
                 CModuleSocket::kSendStalled);
        QVERIFY(clock.elapsed() >= 300);
    }

    // A read request the live socket cannot take at once is offered again until the wait
    // limit, then the read ends with 2.
    void readRequestRetriedWhileTheSocketIsAlive_data() {
        QTest::addColumn<int>("stalls");
        QTest::addColumn<int>("code");
        QTest::newRow("taken after 1000 refusals") << 1000 << 0;
        QTest::newRow("never taken")
            << std::numeric_limits<int>::max() << CModuleSocket::kSendStalled;
    }
    void readRequestRetriedWhileTheSocketIsAlive() {
        QFETCH(int, stalls);
        QFETCH(int, code);
        RigOf<StallingSendSocket> rig;
        QVERIFY(rig.connect());
        rig.link.stalls = stalls;
        std::uint8_t buf[4] = {};
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), code);
        QVERIFY(code == 0 ? buf[2] == 0x21 : clock.elapsed() >= 300); // version, or the limit
    }

    // A handler run by a wait that calls the link again is refused with 11; the waiting
    // operation keeps its own reply and nothing of the nested call reaches the module.
    void nestedOperationIsRefused_data() {
        QTest::addColumn<QString>("op");
        QTest::newRow("ReadRegs") << "ReadRegs";
        QTest::newRow("WriteEeprom") << "WriteEeprom";
        QTest::newRow("ConnectTo") << "ConnectTo";
    }
    void nestedOperationIsRefused() {
        QFETCH(QString, op);
        Rig rig;
        rig.server->faults().pieceSize = 1; // the reply takes several passes of the wait
        QVERIFY(rig.connect());
        int nested = -100;
        QTimer::singleShot(0, [&] {
            std::uint8_t b[4] = {};
            nested = op == "ReadRegs"      ? rig.link.ReadRegs(15, b, 2)
                     : op == "WriteEeprom" ? rig.link.WriteEeprom(6, b, 1)
                                           : rig.link.ConnectTo(kLoopback, rig.server->port());
        });
        std::uint8_t buf[4] = {};
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), 0);
        QCOMPARE(nested, CModuleSocket::kBusy);
        QCOMPARE(buf[2] | buf[3] << 8, int(ModuleModel::kVersionVariant1));
        QCOMPARE(rig.received(), hex("CE 02 00 00 00 00"));
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), 0); // the link is free again
    }

    // A handler that destroys the link inside a wait: the operation returns 12 without
    // touching the destroyed object (the sanitizer build checks the "without").
    void destroyedInsideAWait_data() {
        QTest::addColumn<bool>("statusPoll");
        QTest::newRow("waiting for a reply") << false;
        QTest::newRow("polling the controller") << true;
    }
    void destroyedInsideAWait() {
        QFETCH(bool, statusPoll);
        auto model = std::make_shared<ModuleModel>();
        ModuleServer server(model);
        server.faults().noReply = !statusPoll;
        model->faults().neverDone = statusPoll;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        auto* link = new CModuleSocket;
        QCOMPARE(link->ConnectTo(kLoopback, server.port()), 0);
        QVERIFY(QTest::qWaitFor([&] { return link->IsConnected(); }, 5000));
        QTimer killer;
        connect(&killer, &QTimer::timeout, this, [&] {
            if (link && (!statusPoll || model->statusReads() >= 2)) {
                delete link;
                link = nullptr;
            }
        });
        killer.start(0);
        std::uint8_t b = 0;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link->ReadEeprom(6, &b, 1), CModuleSocket::kLinkDestroyed);
        QVERIFY(!link);
        QVERIFY(clock.elapsed() < 900); // the wait ended with the link, not on its time-out
    }

    // Packet numbers run on across replies over the connection and wrap after 0xFFFF.
    void numberingWrapsOverTheConnection() {
        Rig rig;
        rig.server->setFirstPacketNumber(0xFFFE);
        QVERIFY(rig.connect());
        QList<std::uint16_t> numbers;
        rig.link.SetTrace([&](bool out, const QByteArray& b) {
            if (!out && b.size() >= 4 && std::uint8_t(b[0]) == 0xEF)
                numbers << std::uint16_t(std::uint8_t(b[2]) | std::uint8_t(b[3]) << 8);
        });
        std::vector<std::uint8_t> buf(1460);
        QCOMPARE(rig.link.ReadRegs(15, buf.data(), 730), 0); // packets FFFE and FFFF
        std::uint8_t v[4];
        QCOMPARE(rig.link.ReadRegs(14, v, 2), 0); // packet 0000
        QCOMPARE(numbers.first(), std::uint16_t(0xFFFE));
        QCOMPARE(numbers.last(), std::uint16_t(0x0000));
    }

    // Payload beyond the requested words in the reply's last receive ends the read with 9;
    // the surplus is not stored.
    void surplusPayloadGives9() {
        QTcpServer raw;
        QVERIFY(raw.listen(QHostAddress::LocalHost, 0));
        QTcpSocket* peer = nullptr;
        connect(&raw, &QTcpServer::newConnection, this, [&] {
            peer = raw.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, peer, [&] {
                if (peer->readAll().size() >= 6) {
                    peer->write(QByteArray::fromHex("EFBE0000A1B2C3D4E5F6"));
                    peer->flush();
                }
            });
        });
        CModuleSocket link;
        QCOMPARE(link.ConnectTo(kLoopback, raw.serverPort()), 0);
        QVERIFY(QTest::qWaitFor([&] { return link.IsConnected(); }, 5000));
        std::uint8_t buf[6] = {0, 0, 0, 0, 0x77, 0x77};
        QCOMPARE(link.ReadRegs(14, buf, 2), CModuleSocket::kReplyTooLong);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 6).toHex(), QByteArray("a1b2c3d47777"));
    }

    void repliesInSmallPieces_data() {
        QTest::addColumn<int>("piece");
        QTest::newRow("1 byte") << 1;
        QTest::newRow("3 bytes") << 3;
        QTest::newRow("7 bytes") << 7;
    }
    void repliesInSmallPieces() {
        QFETCH(int, piece);
        Rig rig;
        rig.server->faults().pieceSize = piece;
        rig.model->setRecord({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
        QVERIFY(rig.connect());
        vqx::RecordBytes back{};
        QCOMPARE(rig.link.ReadEeprom(6, back.data(), 12), 0);
        QCOMPARE(back, (vqx::RecordBytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
        std::vector<std::uint8_t> big(1460);
        rig.receives.clear();
        QCOMPARE(rig.link.ReadRegs(15, big.data(), 730), 0);
        QVERIFY2(rig.receives.size() > 1, "the reply must really arrive in several receives");
    }

    void replyFaults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("code");
        QTest::newRow("bad first magic byte") << "badMagic0" << CModuleSocket::kBadMagic0;
        QTest::newRow("bad second magic byte") << "badMagic1" << CModuleSocket::kBadMagic1;
        QTest::newRow("skipped packet number") << "skip" << CModuleSocket::kBadPacketNumber;
        QTest::newRow("close inside the header") << "close2" << CModuleSocket::kClosedMidReply;
        QTest::newRow("close inside the payload") << "close6" << CModuleSocket::kClosedMidReply;
        QTest::newRow("close before the reply") << "close0" << CModuleSocket::kClosedMidReply;
    }
    void replyFaults() {
        QFETCH(QString, fault);
        QFETCH(int, code);
        Rig rig;
        auto& f = rig.server->faults();
        if (fault == "badMagic0")
            f.badMagic0 = true;
        else if (fault == "badMagic1")
            f.badMagic1 = true;
        else if (fault == "skip")
            f.skipNumberAt = 1;
        else if (fault.startsWith("close"))
            f.closeAfterBytes = 8 + fault.mid(5).toInt(); // after the first whole reply
        CModuleSocket::Timing t = rig.link.timing();
        t.waitMs = 5000; // a fault must end the read long before a time-out could
        rig.link.SetTiming(t);
        QVERIFY(rig.connect());
        std::uint8_t buf[12] = {};
        if (fault == "skip" || fault.startsWith("close"))
            QCOMPARE(rig.link.ReadRegs(14, buf, 2), 0); // first reply is whole
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), code);
        QVERIFY(clock.elapsed() < 2500); // ends as soon as the fault shows, not on a time-out
        QVERIFY(rig.boxes.isEmpty());
    }

    // No reply: after the wait limit the receive fails, the box is shown, code 4.
    void noReplyShowsBoxAndGives4() {
        Rig rig;
        rig.server->faults().noReply = true;
        QVERIFY(rig.connect());
        std::uint8_t buf[4];
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), CModuleSocket::kReceiveError);
        QVERIFY(clock.elapsed() >= 300);
        QCOMPARE(rig.boxes.size(), 1);
        QVERIFY2(rig.boxes[0].startsWith("Error|len = -1,\nerr = "), qPrintable(rig.boxes[0]));
        QVERIFY(rig.boxes[0].mid(22).toInt() != 0);
    }

    void controllerFailure_data() {
        QTest::addColumn<int>("variant");
        QTest::addColumn<bool>("write");
        QTest::addColumn<int>("code");
        QTest::newRow("read, variant 1") << 1 << false << 100;
        QTest::newRow("write, variant 1") << 1 << true << -1;
        QTest::newRow("read, variant 2") << 2 << false << 100;
        QTest::newRow("write, variant 2") << 2 << true << 100;
    }
    void controllerFailure() {
        QFETCH(int, variant);
        QFETCH(bool, write);
        QFETCH(int, code);
        Rig rig(variant == 2 ? ModuleModel::Variant::V2 : ModuleModel::Variant::V1);
        rig.link.SetEepromMode(std::uint8_t(variant));
        rig.model->faults().failAtAddress = 10;
        rig.model->setRecord({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        QVERIFY(rig.connect());
        const vqx::RecordBytes bytes =
            vqx::NetworkRecord{0xC0A80101, 0xFFFFFF00, 0xC0A80114}.toBytes();
        int result = 0, failedAt = -1;
        for (int i = 0; i < 12 && result == 0; ++i) {
            std::uint8_t b = bytes[std::size_t(i)];
            result = write ? rig.link.WriteEeprom(std::uint16_t(6 + i), &b, 1)
                           : rig.link.ReadEeprom(std::uint16_t(6 + i), &b, 1);
            if (result != 0)
                failedAt = 6 + i;
        }
        QCOMPARE(result, code);
        QCOMPARE(failedAt, 10);
        if (write) { // lower addresses hold the new bytes, higher ones the old
            const auto rec = rig.model->record();
            for (int i = 0; i < 4; ++i)
                QCOMPARE(rec[std::size_t(i)], bytes[std::size_t(i)]);
            for (int i = 4; i < 12; ++i)
                QCOMPARE(rec[std::size_t(i)], std::uint8_t(0));
        }
    }

    void controllerNeverDone() {
        Rig rig;
        rig.model->faults().neverDone = true;
        QVERIFY(rig.connect());
        std::uint8_t b = 0;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.link.ReadEeprom(6, &b, 1), CModuleSocket::kEepromNeverDone);
        QVERIFY(clock.elapsed() >= 300);
        QVERIFY(rig.model->statusReads() > 1);
    }

    // A refused attempt still counts as connected; the first transfer then fails at once.
    void refusedConnection() {
        QTcpServer probe; // find a port nobody listens on
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        CModuleSocket link;
        CModuleSocket::Timing t;
        t.waitMs = 5000; // the failure must show at once, not after a send stall
        link.SetTiming(t);
        QStringList boxes;
        link.SetReceiveErrorHandler([&](const QString& text, const QString&) { boxes << text; });
        QCOMPARE(link.ConnectTo(kLoopback, port), 0);
        QVERIFY(!link.IsConnected());
        QVERIFY(QTest::qWaitFor([&] { return link.IsConnected(); }, 5000));
        std::uint8_t buf[4];
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link.ReadRegs(14, buf, 2), CModuleSocket::kSendStalled);
        const std::uint32_t one = 1;
        QCOMPARE(link.WriteRegs(0, &one, 1), CModuleSocket::kSendStalled);
        QVERIFY(clock.elapsed() < 2500);
        QVERIFY(boxes.isEmpty());
    }

    void moduleClosesThenWriteGives3() {
        Rig rig;
        QVERIFY(rig.connect());
        QSignalSpy closed(rig.server.get(), &ModuleServer::clientDisconnected);
        rig.server->close();
        QVERIFY(QTest::qWaitFor([&] { return !rig.link.IsConnected(); }, 5000));
        const std::uint8_t b = 1;
        QCOMPARE(rig.link.WriteEeprom(6, &b, 1), CModuleSocket::kNotConnected);
        std::uint8_t r = 0;
        QCOMPARE(rig.link.ReadEeprom(6, &r, 1), CModuleSocket::kNotConnected);
    }

    // A second ConnectTo drops the first socket (no close notification for it), clears the
    // connected flag, and numbering restarts with the new connection.
    void reconnect() {
        Rig rig;
        QVERIFY(rig.connect());
        rig.server->setFirstPacketNumber(0x4000);
        std::uint8_t buf[4];
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), 0);
        QCOMPARE(rig.link.ConnectTo(kLoopback, rig.server->port() + 65536), 0);
        QVERIFY(!rig.link.IsConnected());
        QVERIFY(QTest::qWaitFor([&] { return rig.link.IsConnected(); }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return rig.server->connectionCount() == 2; }, 5000));
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), 0); // 0x4000 again, taken as first
    }

    void createFailure() {
        FailingCreateSocket link;
        link.failCreate = true;
        QCOMPARE(link.ConnectTo(kLoopback, 23100), 1);
        QVERIFY(!link.IsConnected());
        link.failCreate = false;
        QCOMPARE(link.ConnectTo(kLoopback, 1), 0);
        QCOMPARE(link.creates, 2);
    }

    // The success bit alone, before done, keeps the poll going on both variants.
    void successBitWithoutDoneKeepsPolling_data() { vqxtest::variantRows(); }
    void successBitWithoutDoneKeepsPolling() {
        QFETCH(int, variant);
        Rig rig(variant == 2 ? ModuleModel::Variant::V2 : ModuleModel::Variant::V1);
        rig.link.SetEepromMode(std::uint8_t(variant));
        rig.model->setBusyPolls(2);
        rig.model->faults().successWhileBusy = true;
        rig.model->eeprom()[6] = 0x99;
        QVERIFY(rig.connect());
        std::uint8_t b = 0;
        QCOMPARE(rig.link.ReadEeprom(6, &b, 1), 0);
        QCOMPARE(b, std::uint8_t(0x99));
        QCOMPARE(rig.model->statusReads(), 3);
    }

    // The simulator's refusal: a module that stopped listening. The attempt still counts
    // as connected; the first read fails at once with 2.
    void simulatorRefusesConnections() {
        Rig rig;
        QVERIFY(rig.server->listen(QHostAddress::LocalHost, 0));
        const quint16 port = rig.server->port();
        rig.server->close();
        CModuleSocket::Timing t = rig.link.timing();
        t.waitMs = 5000;
        rig.link.SetTiming(t);
        QCOMPARE(rig.link.ConnectTo(kLoopback, port), 0);
        QVERIFY(QTest::qWaitFor([&] { return rig.link.IsConnected(); }, 5000));
        std::uint8_t buf[4];
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), CModuleSocket::kSendStalled);
        QVERIFY(clock.elapsed() < 2500);
        QCOMPARE(rig.server->connectionCount(), 0);
    }

    // A read after the module has closed the link fails with 2 at once.
    void readAfterModuleClosed() {
        Rig rig;
        CModuleSocket::Timing t = rig.link.timing();
        t.waitMs = 5000;
        rig.link.SetTiming(t);
        QVERIFY(rig.connect());
        rig.server->close();
        QVERIFY(QTest::qWaitFor([&] { return !rig.link.IsConnected(); }, 5000));
        std::uint8_t buf[4];
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), CModuleSocket::kSendStalled);
        QVERIFY(clock.elapsed() < 2500);
    }

    // A client that resets the connection right after its request leaves the simulator
    // standing, with or without replies in pieces.
    void simulatorSurvivesResets_data() {
        QTest::addColumn<int>("piece");
        QTest::newRow("whole replies") << 0;
        QTest::newRow("replies in pieces") << 2;
    }
    void simulatorSurvivesResets() {
        QFETCH(int, piece);
        Rig rig;
        rig.server->faults().pieceSize = piece;
        QVERIFY(rig.server->listen(QHostAddress::LocalHost, 0));
        for (int i = 0; i < 20; ++i) {
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, rig.server->port());
            QVERIFY(client.waitForConnected(5000));
            const QByteArray request = QByteArray::fromHex("CE0200000000CF0002000000");
            QCOMPARE(client.write(request), qint64(request.size()));
            QVERIFY(client.waitForBytesWritten(5000));
            if (i % 2)
                QTest::qWait(1); // let the reply be written before the reset, every other time
            QVERIFY(resetOnClose(client.socketDescriptor()));
            client.abort(); // a reset, not an orderly close
            QTest::qWait(1);
        }
        QVERIFY(QTest::qWaitFor([&] { return rig.server->connectionCount() == 20; }, 5000));
        QTest::qWait(20);
        QCOMPARE(rig.link.ConnectTo(kLoopback, rig.server->port()), 0); // still serving
        QVERIFY(QTest::qWaitFor([&] { return rig.link.IsConnected(); }, 5000));
        std::uint8_t buf[4];
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), 0);
    }

    // What a module would not accept is refused, with no effect and no reply (strict mode).
    void strictServerRefusesMalformedRequests_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("header bit 5") << QByteArray("EE 02 00 00 00 00");
        QTest::newRow("data byte with bit 7") << QByteArray("CE 82 00 00 00 00");
        QTest::newRow("fifth data byte bit 4") << QByteArray("CE 02 00 00 00 10");
        QTest::newRow("byte outside a group") << QByteArray("02");
    }
    void strictServerRefusesMalformedRequests() {
        QFETCH(QByteArray, request);
        auto model = std::make_shared<ModuleModel>();
        ModuleServer server(model);
        QStringList log;
        server.setLogger([&](const QString& line) { log << line; });
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QTcpSocket client;
        client.setProxy(QNetworkProxy::NoProxy);
        client.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(client.waitForConnected(5000));
        // The malformed request, then a good one: only the good one is answered.
        client.write(QByteArray::fromHex(request) + QByteArray::fromHex("CE0200000000"));
        QVERIFY(QTest::qWaitFor([&] { return client.bytesAvailable() >= 8; }, 5000));
        QCOMPARE(client.readAll().toHex(), QByteArray("efbe000000012103"));
        QVERIFY(model->rejections() >= 1); // a byte with bit 7 starts a group of its own
        QVERIFY2(log.filter("rejected: ").size() == model->rejections(),
                 qPrintable(log.join('\n')));
    }

    // A client that sends read requests and never reads the replies: the server stops taking
    // its requests once 1 MiB of replies waits, and serves them all once the client reads.
    void unreadRepliesAreBounded() {
        auto model = std::make_shared<ModuleModel>();
        ModuleServer server(model);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QTcpSocket client;
        client.setProxy(QNetworkProxy::NoProxy);
        client.setReadBufferSize(4096); // takes nothing more until told
        client.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(client.waitForConnected(5000));
        constexpr int kRequests = 200;
        constexpr qint64 kReply = 131072 + 4 * 91; // 65536 words: 91 packets
        for (int i = 0; i < kRequests; ++i)
            client.write(QByteArray::fromHex("CF0000040000")); // 65536 words of register 15
        QVERIFY(QTest::qWaitFor([&] { return server.peakUnsent() >= ModuleServer::kMaxUnsent; },
                                10000));
        QVERIFY2(server.peakUnsent() <= ModuleServer::kMaxUnsent + kReply,
                 qPrintable(QString::number(server.peakUnsent())));
        client.setReadBufferSize(0);
        qint64 got = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                got += client.readAll().size();
                return got >= kRequests * kReply;
            },
            20000));
        QCOMPARE(got, kRequests * kReply);
    }

    // With the flag already set a wait returns at once and leaves the flag set.
    void waitWithFlagSetReturnsAtOnce() {
        NotifiedSocket link;
        link.notifyReceive();
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link.WaitForData(), 0);
        QCOMPARE(link.WaitForData(), 0);
        QVERIFY(clock.elapsed() < 500);
    }

    // The protocol's own limit: a wait with no data ends after slightly more than 1000 ms.
    void defaultWaitLimit() {
        Rig rig;
        rig.link.SetTiming(CModuleSocket::Timing{});
        QVERIFY(rig.connect());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.link.WaitForData(), -1);
        QVERIFY(clock.elapsed() > 1000);
        QVERIFY(clock.elapsed() < 5000);
    }

    // A wait during the application's exit still dispatches events instead of spinning: the
    // reply is read. Kept last, as it leaves the application quitting until it resets it.
    void zzWaitWhileQuitting() {
        Rig rig;
        QVERIFY(rig.connect());
        QCoreApplication::exit(0);
        std::uint8_t buf[4] = {};
        QCOMPARE(rig.link.ReadRegs(14, buf, 2), 0);
        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec(); // ends the quitting state for what follows
    }

    // A wait with nothing coming lasts the limit and keeps the thread's events flowing.
    void waitForDataPumps() {
        Rig rig;
        QVERIFY(rig.connect());
        bool fired = false;
        QTimer::singleShot(50, [&] { fired = true; });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.link.WaitForData(), -1);
        QVERIFY(clock.elapsed() > 300);
        QVERIFY(fired);
    }
};

QTEST_GUILESS_MAIN(TestModuleLink)
#include "tst_modulelink.moc"
