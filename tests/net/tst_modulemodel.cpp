// The simulated module's registers, which both the Ethernet server and the simulated hub
// rely on to behave like a real controller.

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
