// Request encoding and reply parsing of the module's TCP register protocol, checked
// against fixed bytes.

#include <QTest>

#include "ArpCache.h"
#include "NetFraming.h"

using vqx::net::ReplyParser;
using Status = ReplyParser::Status;

namespace {

QByteArray bytes(const vqx::net::Request& r) {
    return QByteArray(reinterpret_cast<const char*>(r.data()), static_cast<int>(r.size()));
}

/// A reply of `words` words as the module sends it, packets numbered from `first`.
QByteArray makeReply(const QByteArray& payload, std::uint16_t first) {
    QByteArray out;
    std::uint16_t number = first;
    for (int off = 0; off < payload.size(); off += 1456) {
        out.append(char(0xEF)).append(char(0xBE));
        out.append(char(number & 0xFF)).append(char(number >> 8));
        out.append(payload.mid(off, 1456));
        ++number;
    }
    return out;
}

QByteArray pattern(int n) {
    QByteArray p;
    for (int i = 0; i < n; ++i)
        p.append(char((i * 7 + 3) & 0xFF));
    return p;
}

} // namespace

class TestNetFraming : public QObject {
    Q_OBJECT
private slots:
    void writeRequest_data() {
        QTest::addColumn<int>("reg");
        QTest::addColumn<uint>("word");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("word 1 to register 0") << 0 << 1u << QByteArray::fromHex("800100000000");
        QTest::newRow("read command to register 10")
            << 10 << 0x80000601u << QByteArray::fromHex("8A010C000008");
        QTest::newRow("all ones to register 5")
            << 5 << 0xFFFFFFFFu << QByteArray::fromHex("857F7F7F7F0F");
        QTest::newRow("register 37 keeps 5 bits")
            << 37 << 0xFFFFFFFFu << QByteArray::fromHex("857F7F7F7F0F");
        QTest::newRow("write command to register 13")
            << 13 << 0x40000601u << QByteArray::fromHex("8D010C000004");
        QTest::newRow("data byte C0 to register 15")
            << 15 << 0x000000C0u << QByteArray::fromHex("8F4001000000");
    }
    void writeRequest() {
        QFETCH(int, reg);
        QFETCH(uint, word);
        QFETCH(QByteArray, expected);
        QCOMPARE(bytes(vqx::net::encodeWrite(reg, word)).toHex(), expected.toHex());
    }

    void readRequest_data() {
        QTest::addColumn<int>("reg");
        QTest::addColumn<uint>("count");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("2 words of register 14") << 14 << 2u << QByteArray::fromHex("CE0200000000");
        QTest::newRow("6 words of register 4") << 4 << 6u << QByteArray::fromHex("C40600000000");
        QTest::newRow("1 word of register 3") << 3 << 1u << QByteArray::fromHex("C30100000000");
        QTest::newRow("1 word of register 15") << 15 << 1u << QByteArray::fromHex("CF0100000000");
        QTest::newRow("count 0") << 15 << 0u << QByteArray::fromHex("CF0000000000");
        QTest::newRow("count 730") << 15 << 730u << QByteArray::fromHex("CF5A05000000");
    }
    void readRequest() {
        QFETCH(int, reg);
        QFETCH(uint, count);
        QFETCH(QByteArray, expected);
        QCOMPARE(bytes(vqx::net::encodeRead(reg, count)).toHex(), expected.toHex());
    }

    void writeBlockRepeatsHeader() {
        const std::uint32_t words[3] = {1, 0x80, 0xFFFFFFFF};
        const auto block = vqx::net::encodeWriteBlock(15, words, 3);
        const QByteArray got(reinterpret_cast<const char*>(block.data()), int(block.size()));
        QCOMPARE(got.toHex(), QByteArray("8f0100000000"
                                         "8f0001000000"
                                         "8f7f7f7f7f0f"));
        QVERIFY(vqx::net::encodeWriteBlock(15, words, 0).empty());
    }

    // One reply of two words, cut into two pieces at every position, header included.
    void replyCutAtEveryPosition() {
        const QByteArray reply = QByteArray::fromHex("EFBE3412A1B2C3D4");
        for (int cut = 0; cut <= reply.size(); ++cut) {
            std::uint8_t buf[4] = {};
            bool first = true;
            std::uint16_t counter = 0;
            ReplyParser parser(buf, 4, first, counter);
            const auto* d = reinterpret_cast<const std::uint8_t*>(reply.constData());
            const Status s1 = parser.feed(d, std::size_t(cut));
            QCOMPARE(s1, cut == reply.size() ? Status::Complete : Status::More);
            if (cut < reply.size())
                QCOMPARE(parser.feed(d + cut, std::size_t(reply.size() - cut)), Status::Complete);
            QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 4).toHex(), QByteArray("a1b2c3d4"));
            QCOMPARE(counter, std::uint16_t(0x1234));
            QVERIFY(!first);
        }
    }

    // 730 words: a full packet of 1460 bytes and one of 8, cut at every position, and fed
    // byte by byte.
    void twoPacketReply() {
        const QByteArray payload = pattern(1460);
        const QByteArray reply = makeReply(payload, 0x0010);
        QCOMPARE(reply.size(), 1460 + 8);
        const auto* d = reinterpret_cast<const std::uint8_t*>(reply.constData());
        for (int cut = 1; cut < reply.size(); cut += 1) {
            std::vector<std::uint8_t> buf(1460);
            bool first = true;
            std::uint16_t counter = 0;
            ReplyParser parser(buf.data(), buf.size(), first, counter);
            QCOMPARE(parser.feed(d, std::size_t(cut)), Status::More);
            QCOMPARE(parser.feed(d + cut, std::size_t(reply.size() - cut)), Status::Complete);
            QCOMPARE(counter, std::uint16_t(0x0011));
            if (QByteArray(reinterpret_cast<char*>(buf.data()), 1460) != payload)
                QFAIL(qPrintable(QStringLiteral("payload differs for cut %1").arg(cut)));
        }
        std::vector<std::uint8_t> buf(1460);
        bool first = true;
        std::uint16_t counter = 0;
        ReplyParser parser(buf.data(), buf.size(), first, counter);
        for (int i = 0; i < reply.size() - 1; ++i)
            QCOMPARE(parser.feed(d + i, 1), Status::More);
        QCOMPARE(parser.feed(d + reply.size() - 1, 1), Status::Complete);
    }

    void numberingRunsAcrossReplies_data() {
        QTest::addColumn<int>("firstNumber");
        QTest::addColumn<int>("secondNumber");
        QTest::addColumn<int>("expected"); // Status as int
        QTest::addColumn<int>("counterAfter");
        QTest::newRow("next in sequence") << 0x1234 << 0x1235 << int(Status::Complete) << 0x1235;
        QTest::newRow("skipped one") << 0x1234 << 0x1236 << int(Status::BadNumber) << 0x1235;
        QTest::newRow("repeated") << 0x1234 << 0x1234 << int(Status::BadNumber) << 0x1235;
        QTest::newRow("wrap after FFFF") << 0xFFFF << 0x0000 << int(Status::Complete) << 0x0000;
        QTest::newRow("no wrap to 1") << 0xFFFF << 0x0001 << int(Status::BadNumber) << 0x0000;
    }
    void numberingRunsAcrossReplies() {
        QFETCH(int, firstNumber);
        QFETCH(int, secondNumber);
        QFETCH(int, expected);
        QFETCH(int, counterAfter);
        bool first = true;
        std::uint16_t counter = 0;
        std::uint8_t buf[2];
        const QByteArray a = makeReply("xy", std::uint16_t(firstNumber));
        const QByteArray b = makeReply("zw", std::uint16_t(secondNumber));
        ReplyParser p1(buf, 2, first, counter);
        QCOMPARE(p1.feed(reinterpret_cast<const std::uint8_t*>(a.constData()), 6),
                 Status::Complete);
        ReplyParser p2(buf, 2, first, counter);
        QCOMPARE(int(p2.feed(reinterpret_cast<const std::uint8_t*>(b.constData()), 6)), expected);
        QCOMPARE(int(counter), counterAfter);
    }

    // After a packet out of sequence the counter keeps its new value: the packet after a
    // rejected 0x1236 must then be numbered 0x1236.
    void counterKeepsValueAfterBadNumber() {
        bool first = false;
        std::uint16_t counter = 0x1234;
        std::uint8_t buf[2];
        const QByteArray bad = makeReply("ab", 0x1236);
        ReplyParser p1(buf, 2, first, counter);
        QCOMPARE(p1.feed(reinterpret_cast<const std::uint8_t*>(bad.constData()), 6),
                 Status::BadNumber);
        const QByteArray good = makeReply("ab", 0x1236);
        ReplyParser p2(buf, 2, first, counter);
        QCOMPARE(p2.feed(reinterpret_cast<const std::uint8_t*>(good.constData()), 6),
                 Status::Complete);
    }

    void badMagic_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("expected");
        QTest::newRow("EE first") << QByteArray::fromHex("EEBE00000102") << int(Status::BadMagic0);
        QTest::newRow("EF BF") << QByteArray::fromHex("EFBF00000102") << int(Status::BadMagic1);
        QTest::newRow("second packet EE")
            << makeReply(pattern(1458), 0).replace(1460, 1, "\xEE") << int(Status::BadMagic0);
    }
    void badMagic() {
        QFETCH(QByteArray, reply);
        QFETCH(int, expected);
        std::vector<std::uint8_t> buf(2000, 0x55);
        bool first = true;
        std::uint16_t counter = 0;
        const std::size_t want = reply.size() > 100 ? 1458 : 2;
        ReplyParser p(buf.data(), want, first, counter);
        QCOMPARE(int(p.feed(reinterpret_cast<const std::uint8_t*>(reply.constData()),
                            std::size_t(reply.size()))),
                 expected);
    }

    // The command line that clears the module's ARP entry before each connection attempt.
    void arpCommandLine_data() {
        QTest::addColumn<uint>("address");
        QTest::addColumn<QString>("expected");
        QTest::newRow("10.0.0.5") << 0x0A000005u << "arp -d 10.0.0.5";
        QTest::newRow("192.168.1.20") << 0xC0A80114u << "arp -d 192.168.1.20";
        QTest::newRow("blank fields") << 0u << "arp -d 0.0.0.0";
        QTest::newRow("all 255") << 0xFFFFFFFFu << "arp -d 255.255.255.255";
    }
    void arpCommandLine() {
        QFETCH(uint, address);
        QFETCH(QString, expected);
        QCOMPARE(vqx::net::arpDeleteCommand(address), expected);
    }

    // Payload beyond the requested count is never stored and ends the read.
    void overrunIsNotStored() {
        const QByteArray reply = QByteArray::fromHex("EFBE0000AABBCCDD");
        std::uint8_t buf[4] = {0x11, 0x22, 0x33, 0x44};
        bool first = true;
        std::uint16_t counter = 0;
        ReplyParser p(buf, 2, first, counter);
        QCOMPARE(p.feed(reinterpret_cast<const std::uint8_t*>(reply.constData()), 8),
                 Status::Overrun);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 4).toHex(), QByteArray("aabb3344"));
    }
};

QTEST_APPLESS_MAIN(TestNetFraming)
#include "tst_netframing.moc"
