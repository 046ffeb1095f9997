// Module type codes of the hub's slot-type word: the names and the slot positions.

#include <QTest>

#include "ModuleTypes.h"

class TestModuleTypes : public QObject {
    Q_OBJECT
private slots:
    void names_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("name");
        const char* names[16] = {"No",      "Oscilloscope", "Afg",     "LAG",
                                 "ADC",     "Strain",       "ICP",     "Unknown",
                                 "Unknown", "Thermo",       "Unknown", "Unknown",
                                 "Unknown", "Unknown",      "Unknown", "Unknown"};
        for (int c = 0; c < 16; ++c)
            QTest::addRow("%d", c) << c << QString::fromLatin1(names[c]);
        QTest::newRow("255") << 255 << "Unknown";
        QTest::newRow("-1") << -1 << "Unknown";
    }
    void names() {
        QFETCH(int, code);
        QFETCH(QString, name);
        QCOMPARE(QString::fromLatin1(vqx::usb::moduleTypeName(code)), name);
    }

    void slotPositions() {
        // Bytes as delivered: first word low byte first. Slot 1 is the low nibble of byte 0;
        // byte 3 carries no slot.
        const std::uint8_t bytes[4] = {0x21, 0x93, 0x05, 0xF7};
        const std::uint32_t word = vqx::usb::slotTypeWord(bytes);
        QCOMPARE(word, 0xF7059321u);
        const auto codes = vqx::usb::slotTypes(word);
        QCOMPARE(codes[0], 1);
        QCOMPARE(codes[1], 2);
        QCOMPARE(codes[2], 3);
        QCOMPARE(codes[3], 9);
        QCOMPARE(codes[4], 5);
        QCOMPARE(codes[5], 0);
    }
};

QTEST_APPLESS_MAIN(TestModuleTypes)
#include "tst_moduletypes.moc"
