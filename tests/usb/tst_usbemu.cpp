// The configuration text of the USB-level hub emulation (VQX250_USBEMU), parsed directly.
#include <QtTest>

#include "UsbEmulation.h"

using vqx::sim::usbemu::Config;

class TestUsbEmu : public QObject {
    Q_OBJECT
private slots:
    void configAccepted_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("packet");
        QTest::addColumn<int>("slot3");
        QTest::newRow("empty") << "" << 512 << 9;
        QTest::newRow("packet and strict") << "packet=64 strict" << 64 << 9;
        QTest::newRow("slots, ';' between items") << "slots=0,0,4,0,0,0;packet=512" << 512 << 4;
    }
    void configAccepted() {
        QFETCH(QString, text);
        QFETCH(int, packet);
        QFETCH(int, slot3);
        Config config;
        std::string error;
        QVERIFY2(Config::parse(text.toStdString(), config, &error), error.c_str());
        QCOMPARE(config.packetSize, packet);
        QCOMPARE(config.types[2], slot3);
        QCOMPARE(config.strict, text.contains(QLatin1String("strict")));
    }

    // A refused text leaves the configuration as it was, also when items before the bad one
    // were good (found by fuzz_usb_emulation: "strict bogus" left strict set).
    void configRefusedLeavesItUnchanged_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reason");
        QTest::newRow("good item, then an unknown one") << "strict bogus"
                                                        << "'bogus'";
        QTest::newRow("packet, then five slots") << "packet=64 slots=1,2,3,4,5"
                                                 << "six type codes";
        QTest::newRow("slots, then a short record") << "slots=3,3,3,3,3,3 record1=0A0B"
                                                    << "24 hex digits";
        QTest::newRow("serial, then a negative number") << "serial=XY busy-polls=-1"
                                                        << "busy-polls";
        QTest::newRow("record, then a record of slot 7")
            << "record2=0102030405060708090A0B0C record7=0102030405060708090A0B0C"
            << "record7";
    }
    void configRefusedLeavesItUnchanged() {
        QFETCH(QString, text);
        QFETCH(QString, reason);
        Config config;
        config.serial = "KEPT";
        config.types[0] = 6;
        std::string error;
        QVERIFY(!Config::parse(text.toStdString(), config, &error));
        QVERIFY2(QString::fromStdString(error).contains(reason), error.c_str());
        const Config fresh;
        QCOMPARE(config.serial, std::string("KEPT"));
        QCOMPARE(config.types[0], 6);
        QCOMPARE(config.types[2], fresh.types[2]);
        QCOMPARE(config.packetSize, fresh.packetSize);
        QCOMPARE(config.strict, false);
        QCOMPARE(config.busyPolls, fresh.busyPolls);
        QVERIFY(!config.records[1].has_value());
    }
};

QTEST_GUILESS_MAIN(TestUsbEmu)
#include "tst_usbemu.moc"
