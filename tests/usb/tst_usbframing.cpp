// Byte-exact requests of the hub's data channel, slot commands and EEPROM command words.

#include <QtTest>

#include "ModuleProtocol.h"
#include "ModuleTypes.h"
#include "UsbFraming.h"

namespace fr = vqx::usb::framing;

namespace {
QByteArray bytes(const std::vector<std::uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<qsizetype>(v.size()));
}
template <std::size_t N> QByteArray bytes(const std::array<std::uint8_t, N>& a) {
    return QByteArray(reinterpret_cast<const char*>(a.data()), static_cast<qsizetype>(N));
}
} // namespace

class TestUsbFraming : public QObject {
    Q_OBJECT
private slots:
    void headerBytes_data() {
        QTest::addColumn<int>("reg");
        QTest::addColumn<int>("write");
        QTest::addColumn<int>("read");
        QTest::newRow("reg 0") << 0 << 0x80 << 0xC0;
        QTest::newRow("reg 2") << 2 << 0x82 << 0xC2;
        QTest::newRow("reg 0x45") << 0x45 << 0x85 << 0xC5;
        QTest::newRow("reg 0x3F") << 0x3F << 0xBF << 0xFF;
        QTest::newRow("reg 0xFF drops high bits") << 0xFF << 0xBF << 0xFF;
    }
    void headerBytes() {
        QFETCH(int, reg);
        QFETCH(int, write);
        QFETCH(int, read);
        QCOMPARE(int(fr::writeHeader(static_cast<std::uint8_t>(reg))), write);
        QCOMPARE(int(fr::readHeader(static_cast<std::uint8_t>(reg))), read);
    }

    void writeRequest_data() {
        QTest::addColumn<int>("reg");
        QTest::addColumn<quint32>("word");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("0xFFFFFFFF") << 0 << 0xFFFFFFFFu << QByteArray::fromHex("807f7f7f7f0f");
        QTest::newRow("EEPROM read command at 6")
            << 10 << 0x80000601u << QByteArray::fromHex("8a010c000008");
        QTest::newRow("zero") << 3 << 0u << QByteArray::fromHex("830000000000");
        QTest::newRow("one") << 3 << 1u << QByteArray::fromHex("830100000000");
        QTest::newRow("group borders") << 1 << 0x10204081u << QByteArray::fromHex("810101010101");
        QTest::newRow("slot 3 register 0")
            << 2 << 0x00002000u << QByteArray::fromHex("820040000000");
    }
    void writeRequest() {
        QFETCH(int, reg);
        QFETCH(quint32, word);
        QFETCH(QByteArray, expected);
        const std::uint32_t w = word;
        const auto requests = fr::writeRequests(static_cast<std::uint8_t>(reg), &w, 1);
        QCOMPARE(requests.size(), std::size_t{1});
        QCOMPARE(bytes(requests[0]), expected);
        QCOMPARE(fr::decodeWord(requests[0].data() + 1), w);
    }

    void writeRequestChunks_data() {
        QTest::addColumn<quint32>("count");
        QTest::addColumn<QList<int>>("sizes");
        QTest::newRow("none") << 0u << QList<int>{};
        QTest::newRow("one") << 1u << QList<int>{6};
        QTest::newRow("4096 in one") << 4096u << QList<int>{20481};
        QTest::newRow("4097") << 4097u << QList<int>{20481, 6};
        QTest::newRow("8193") << 8193u << QList<int>{20481, 20481, 6};
    }
    void writeRequestChunks() {
        QFETCH(quint32, count);
        QFETCH(QList<int>, sizes);
        std::vector<std::uint32_t> words(count);
        for (std::uint32_t i = 0; i < count; ++i)
            words[i] = i * 0x01010101u;
        const auto requests = fr::writeRequests(0x45, words.data(), count);
        QCOMPARE(int(requests.size()), int(sizes.size()));
        std::uint32_t word = 0;
        for (int r = 0; r < sizes.size(); ++r) {
            QCOMPARE(int(requests[r].size()), sizes[r]);
            QCOMPARE(int(requests[r][0]), 0x85); // every chunk repeats the header
            for (std::size_t b = 1; b < requests[r].size(); b += 5)
                QCOMPARE(fr::decodeWord(&requests[r][b]), words[word++]);
            for (std::size_t b = 1; b < requests[r].size(); ++b)
                QVERIFY((requests[r][b] & 0x80) == 0);
        }
        QCOMPARE(word, count);
    }

    void readRequest_data() {
        QTest::addColumn<int>("reg");
        QTest::addColumn<quint32>("count");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("one word of reg 0") << 0 << 1u << QByteArray::fromHex("c00100000000");
        QTest::newRow("two words of reg 2") << 2 << 2u << QByteArray::fromHex("c20200000000");
        QTest::newRow("count 0") << 1 << 0u << QByteArray::fromHex("c10000000000");
        QTest::newRow("count 128") << 0 << 128u << QByteArray::fromHex("c00001000000");
        QTest::newRow("largest count") << 0 << 0x3FFFFFFu << QByteArray::fromHex("c07f7f7f1f00");
        QTest::newRow("count modulo 2^26")
            << 0 << 0x4000001u << QByteArray::fromHex("c00100000000");
        QTest::newRow("reg 0x45") << 0x45 << 3u << QByteArray::fromHex("c50300000000");
    }
    void readRequest() {
        QFETCH(int, reg);
        QFETCH(quint32, count);
        QFETCH(QByteArray, expected);
        const auto req = fr::readRequest(static_cast<std::uint8_t>(reg), count);
        QCOMPARE(bytes(req), expected);
        QCOMPARE(fr::decodeReadCount(req.data() + 1), count & fr::kCountMask);
    }

    void slotCommand_data() {
        QTest::addColumn<int>("slot");
        QTest::addColumn<int>("reg");
        QTest::addColumn<bool>("read");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("write reg 10 slot 0") << 0 << 10 << false << 0x0000040Au;
        QTest::newRow("read reg 15 slot 5") << 5 << 15 << true << 0x0000802Fu;
        QTest::newRow("write reg 0 slot 3") << 3 << 0 << false << 0x00002000u;
        QTest::newRow("read reg 13 slot 1") << 1 << 13 << true << 0x0000082Du;
        QTest::newRow("write reg 15 slot 4") << 4 << 15 << false << 0x0000400Fu;
    }
    void slotCommand() {
        QFETCH(int, slot);
        QFETCH(int, reg);
        QFETCH(bool, read);
        QFETCH(quint32, expected);
        QCOMPARE(fr::slotCommand(slot, static_cast<std::uint8_t>(reg), read), expected);
    }

    void eepromCommands_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<quint32>("read");
        QTest::addColumn<quint32>("write");
        QTest::newRow("6") << 6 << 0x80000601u << 0x40000601u;
        QTest::newRow("17") << 17 << 0x80001101u << 0x40001101u;
        QTest::newRow("2047") << 2047 << 0x8007FF01u << 0x4007FF01u;
        QTest::newRow("0x0806 wraps to 6") << 0x0806 << 0x80000601u << 0x40000601u;
        QTest::newRow("0xFFFF") << 0xFFFF << 0x8007FF01u << 0x4007FF01u;
    }
    void eepromCommands() {
        QFETCH(int, address);
        QFETCH(quint32, read);
        QFETCH(quint32, write);
        const auto a = static_cast<std::uint16_t>(address);
        QCOMPARE(vqx::module::eepromCommand(false, a, 1), read);
        QCOMPARE(vqx::module::eepromCommand(true, a, 1), write);
    }

    void commandRegisterAndSlotTypes() {
        using namespace vqx::module;
        QCOMPARE(int(commandRegister(variantFromType(2))), 13);
        for (int type : {0, 1, 3, 9, 15})
            QCOMPARE(int(commandRegister(variantFromType(type))), 10);
        const std::uint32_t word = 0xAB059321; // bytes 21 93 05 AB
        const std::array<int, 6> expected = {1, 2, 3, 9, 5, 0};
        QCOMPARE(vqx::usb::slotTypes(word), expected);
    }
};

QTEST_APPLESS_MAIN(TestUsbFraming)
#include "tst_usbframing.moc"
