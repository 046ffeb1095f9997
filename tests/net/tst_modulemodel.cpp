// The simulated module's registers, which both the Ethernet server and the simulated hub
// rely on to behave like a real controller.

#include <QStringList>
#include <QTest>

#include "ModuleModel.h"

using vqx::sim::ModuleModel;

class TestModuleModel : public QObject {
    Q_OBJECT
private slots:
    void versionWordNamesTheVariant() {
        ModuleModel v1(ModuleModel::Variant::V1), v2(ModuleModel::Variant::V2);
        QCOMPARE(v1.readRegister(14, 2)[1] == 0x0330, false);
        QCOMPARE(v2.readRegister(14, 2)[1], std::uint16_t(0x0330));
    }

    void commandNeedsEnabledController() {
        ModuleModel m;
        m.setStrict(false); // the plain words, without the bits a client must ignore
        m.eeprom()[6] = 0x42;
        m.writeRegister(10, 0x80000601);                        // control register never written
        QCOMPARE(m.readRegister(4, 6)[5], std::uint16_t(0x02)); // done, no success
        m.writeRegister(0, 1);
        m.writeRegister(10, 0x80000601);
        QCOMPARE(m.readRegister(4, 6)[5], std::uint16_t(0x03));
        QCOMPARE(m.readRegister(15, 1)[0], std::uint16_t(0x42));
    }

    void busyPollsThenDone() {
        ModuleModel m(ModuleModel::Variant::V2);
        m.setStrict(false);
        m.setBusyPolls(2);
        m.writeRegister(0, 1);
        m.writeRegister(13, 0x80000601);
        QCOMPARE(m.readRegister(3, 1)[0], std::uint16_t(0));
        QCOMPARE(m.readRegister(3, 1)[0], std::uint16_t(0));
        QCOMPARE(m.readRegister(3, 1)[0], std::uint16_t(0x0C));
    }

    void wrongCommandRegisterIsIgnored() {
        ModuleModel m(ModuleModel::Variant::V2);
        m.writeRegister(0, 1);
        m.writeRegister(10, 0x40000601);
        QCOMPARE(m.commandsExecuted(), 0);
    }

    // Strict (the default): what a module would not accept is refused, once, with no effect.
    void strictRefusals_data() {
        QTest::addColumn<int>("variant");
        QTest::addColumn<int>("reg");
        QTest::addColumn<uint>("value");
        QTest::addColumn<bool>("read");
        QTest::newRow("command to 13 on variant 1") << 1 << 13 << 0x80000601u << false;
        QTest::newRow("command to 10 on variant 2") << 2 << 10 << 0x80000601u << false;
        QTest::newRow("command with bit 19") << 1 << 10 << 0x80080601u << false;
        QTest::newRow("command reads and writes") << 1 << 10 << 0xC0000601u << false;
        QTest::newRow("command neither reads nor writes") << 2 << 13 << 0x00000601u << false;
        QTest::newRow("data word with bits 8..15") << 1 << 15 << 0x0000015Au << false;
        QTest::newRow("status 3 on variant 1") << 1 << 3 << 1u << true;
        QTest::newRow("status 4 on variant 2") << 2 << 4 << 6u << true;
    }
    void strictRefusals() {
        QFETCH(int, variant);
        QFETCH(int, reg);
        QFETCH(uint, value);
        QFETCH(bool, read);
        ModuleModel m(variant == 2 ? ModuleModel::Variant::V2 : ModuleModel::Variant::V1);
        QVERIFY(m.strict());
        QStringList seen;
        m.setRejectHandler([&](const std::string& why) { seen << QString::fromStdString(why); });
        m.writeRegister(0, 1);
        if (read) {
            QVERIFY(m.readRegister(std::uint8_t(reg), value).empty());
        } else {
            m.writeRegister(std::uint8_t(reg), value);
            m.writeRegister(variant == 2 ? 13 : 10, 0x40000601); // a data word would land at 6
            QCOMPARE(m.commandsExecuted(), 1);
            QCOMPARE(m.eeprom()[6], std::uint8_t(0));
        }
        QCOMPARE(m.rejections(), 1);
        QCOMPARE(seen.size(), 1);
        QCOMPARE(QString::fromStdString(m.lastRejection()), seen[0]);
    }

    // Strict words carry bits besides the ones a client reads.
    void strictOtherBits() {
        ModuleModel v1, v2(ModuleModel::Variant::V2);
        v1.eeprom()[6] = 0x42;
        v1.writeRegister(0, 1);
        v1.writeRegister(10, 0x80000601);
        QCOMPARE(v1.readRegister(4, 6)[5], std::uint16_t(0x5AFF)); // done and success among others
        QCOMPARE(v2.readRegister(3, 1)[0], std::uint16_t(0x5AFF)); // idle: done and success
        QCOMPARE(v1.readRegister(15, 1)[0], std::uint16_t(0xA542));
    }

    void writeTakesPackedDataWords() {
        ModuleModel m;
        m.writeRegister(0, 1);
        m.writeRegister(15, 0x00BB00AA);
        m.writeRegister(15, 0x000000CC);
        m.writeRegister(10, 0x4007FF03); // 3 bytes at 2047: wraps to 0 and 1
        QCOMPARE(m.eeprom()[2047], std::uint8_t(0xAA));
        QCOMPARE(m.eeprom()[0], std::uint8_t(0xBB));
        QCOMPARE(m.eeprom()[1], std::uint8_t(0xCC));
    }

    void faults() {
        ModuleModel m;
        m.setStrict(false);
        m.writeRegister(0, 1);
        m.faults().failAtAddress = 7;
        m.writeRegister(15, 0x11);
        m.writeRegister(10, 0x40000602); // bytes 6 and 7
        QCOMPARE(m.readRegister(4, 6)[5], std::uint16_t(0x02));
        QCOMPARE(m.eeprom()[6], std::uint8_t(0));
        m.faults().failAtAddress = -1;
        m.faults().ignoreWrites = true;
        m.writeRegister(15, 0x11);
        m.writeRegister(10, 0x40000601);
        QCOMPARE(m.readRegister(4, 6)[5], std::uint16_t(0x03));
        QCOMPARE(m.eeprom()[6], std::uint8_t(0));
        m.faults().neverDone = true;
        m.writeRegister(10, 0x80000601);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(m.readRegister(4, 6)[5], std::uint16_t(0));
    }
};

QTEST_APPLESS_MAIN(TestModuleModel)
#include "tst_modulemodel.moc"
