// The checks vqx250-ipconfig applies to network settings before it writes them.

#include <QTest>

#include "Validation.h"

using vqx::NetworkRecord;
using vqx::parseAddress;

namespace {
std::uint32_t a(const char* text) {
    return *parseAddress(QString::fromLatin1(text));
}
} // namespace

class TestValidation : public QObject {
    Q_OBJECT
private slots:
    void contiguousMask_data() {
        QTest::addColumn<QString>("mask");
        QTest::addColumn<bool>("valid");
        QTest::newRow("/24") << "255.255.255.0" << true;
        QTest::newRow("/1") << "128.0.0.0" << true;
        QTest::newRow("/32") << "255.255.255.255" << true;
        QTest::newRow("/23") << "255.255.254.0" << true;
        QTest::newRow("zero") << "0.0.0.0" << false;
        QTest::newRow("gap") << "255.0.255.0" << false;
        QTest::newRow("low bits") << "0.0.0.255" << false;
        QTest::newRow("one hole") << "255.255.253.0" << false;
        QTest::newRow("trailing one") << "255.255.255.1" << false;
    }
    void contiguousMask() {
        QFETCH(QString, mask);
        QFETCH(bool, valid);
        QCOMPARE(vqx::provision::isContiguousMask(*parseAddress(mask)), valid);
    }

    void rules_data() {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("gateway");
        QTest::addColumn<QStringList>("fields"); // the fields refused, in order
        QTest::addColumn<QString>("text");       // part of the first message
        const QString m24 = QStringLiteral("255.255.255.0");
        QTest::newRow("good") << "192.168.1.20" << m24 << "192.168.1.1" << QStringList{}
                              << QString();
        QTest::newRow("no gateway") << "10.0.0.7"
                                    << "255.0.0.0"
                                    << "0.0.0.0" << QStringList{} << QString();
        QTest::newRow("broken mask") << "192.168.1.20"
                                     << "255.0.255.0"
                                     << "192.168.1.1" << QStringList{"mask"} << "mask 255.0.255.0";
        QTest::newRow("zero mask") << "192.168.1.20"
                                   << "0.0.0.0"
                                   << "0.0.0.0" << QStringList{"mask"} << "mask 0.0.0.0";
        QTest::newRow("ip zero") << "0.0.0.0" << m24 << "0.0.0.0" << QStringList{"ip"}
                                 << "ip 0.0.0.0";
        QTest::newRow("loopback") << "127.0.0.5"
                                  << "255.0.0.0"
                                  << "0.0.0.0" << QStringList{"ip"} << "loopback";
        QTest::newRow("multicast")
            << "224.0.0.1" << m24 << "0.0.0.0" << QStringList{"ip"} << "multicast";
        QTest::newRow("multicast top")
            << "239.255.255.1" << m24 << "0.0.0.0" << QStringList{"ip"} << "multicast";
        QTest::newRow("network address")
            << "192.168.1.0" << m24 << "192.168.1.1" << QStringList{"ip"} << "network address";
        QTest::newRow("broadcast address")
            << "192.168.1.255" << m24 << "192.168.1.1" << QStringList{"ip"} << "broadcast address";
        QTest::newRow("/23 inner zero is a host") << "10.0.1.0"
                                                  << "255.255.254.0"
                                                  << "10.0.0.1" << QStringList{} << QString();
        QTest::newRow("/31 has no host") << "10.0.0.4"
                                         << "255.255.255.254"
                                         << "0.0.0.0" << QStringList{"ip"} << "network address";
        QTest::newRow("gateway outside") << "192.168.1.20" << m24 << "192.168.2.1"
                                         << QStringList{"gateway"} << "outside the subnet";
        QTest::newRow("gateway is ip")
            << "192.168.1.20" << m24 << "192.168.1.20" << QStringList{"gateway"} << "own ip";
        QTest::newRow("gateway is broadcast")
            << "192.168.1.20" << m24 << "192.168.1.255" << QStringList{"gateway"} << "broadcast";
        QTest::newRow("gateway is network") << "192.168.1.20" << m24 << "192.168.1.0"
                                            << QStringList{"gateway"} << "network address";
        QTest::newRow("mask and ip")
            << "0.0.0.0"
            << "255.0.255.0"
            << "0.0.0.0" << QStringList{"mask", "ip"} << "mask 255.0.255.0";
        QTest::newRow("ip and gateway")
            << "127.0.0.1" << m24 << "127.0.0.1" << QStringList{"ip", "gateway"} << "loopback";
    }
    void rules() {
        QFETCH(QString, ip);
        QFETCH(QString, mask);
        QFETCH(QString, gateway);
        QFETCH(QStringList, fields);
        QFETCH(QString, text);
        const NetworkRecord r{a(gateway.toLatin1()), a(mask.toLatin1()), a(ip.toLatin1())};
        const auto v = vqx::provision::checkSettings(r);
        QStringList got;
        for (const auto& x : v) {
            got << x.field;
            QVERIFY2(x.message.startsWith(x.field + QLatin1Char(' ')), qPrintable(x.message));
        }
        QCOMPARE(got, fields);
        if (!text.isEmpty())
            QVERIFY2(v.front().message.contains(text), qPrintable(v.front().message));
    }
};

QTEST_APPLESS_MAIN(TestValidation)
#include "tst_validation.moc"
