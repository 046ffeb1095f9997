// The checks applied to network settings before they are written, and what becomes of
// settings that break them: refused, or written with a warning when forced.

#include <QTest>

#include "SettingsPolicy.h"
#include "Validation.h"

using vqx::NetworkRecord;
using vqx::parseAddress;
using vqx::provision::CheckedSettings;
using vqx::provision::RefusedRun;

Q_DECLARE_METATYPE(RefusedRun)

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

    // The lines for modules whose settings break rules, in the order given, with the module
    // named when there is one; the closing line says what the refusal kept from happening.
    void policy_data() {
        QTest::addColumn<QStringList>("where");    // one module each
        QTest::addColumn<QStringList>("settings"); // "ip mask gateway" of each module
        QTest::addColumn<bool>("force");
        QTest::addColumn<RefusedRun>("run");
        QTest::addColumn<QStringList>("warnings");
        QTest::addColumn<QString>("refusal");
        const QString good = QStringLiteral("10.0.0.7 255.255.255.0 10.0.0.1");
        const QString twoRules = QStringLiteral("127.0.0.9 255.0.0.0 127.0.0.9");
        const QString loopback = QStringLiteral("ip 127.0.0.9 is a loopback address");
        const QString ownIp = QStringLiteral("gateway 127.0.0.9 is the module's own ip");
        QTest::newRow("good") << QStringList{""} << QStringList{good} << false << RefusedRun::Write
                              << QStringList{} << QString();
        QTest::newRow("write refused")
            << QStringList{""} << QStringList{twoRules} << false << RefusedRun::Write
            << QStringList{}
            << "refused: " + loopback + "\nrefused: " + ownIp +
                   "\nnothing was written; use --force to write these settings anyway";
        QTest::newRow("write forced")
            << QStringList{""} << QStringList{twoRules} << true << RefusedRun::Write
            << QStringList{"warning: " + loopback + " (written anyway: --force)",
                           "warning: " + ownIp + " (written anyway: --force)"}
            << QString();
        QTest::newRow("plan refused")
            << QStringList{"192.168.1.20", "slot 3", "10.1.1.1:23101"}
            << QStringList{twoRules, good, "10.0.0.7 255.0.255.0 0.0.0.0"} << false
            << RefusedRun::Plan << QStringList{}
            << "refused: 192.168.1.20: " + loopback + "\nrefused: 192.168.1.20: " + ownIp +
                   "\nrefused: 10.1.1.1:23101: mask 255.0.255.0 is not one unbroken run of 1 "
                   "bits from the left\nnothing was read or written; use --force to write "
                   "these settings anyway";
        QTest::newRow("plan forced")
            << QStringList{"slot 3", "slot 4"} << QStringList{good, twoRules} << true
            << RefusedRun::Plan
            << QStringList{"warning: slot 4: " + loopback + " (written anyway: --force)",
                           "warning: slot 4: " + ownIp + " (written anyway: --force)"}
            << QString();
        QTest::newRow("plan good") << QStringList{"slot 3", "slot 4"} << QStringList{good, good}
                                   << false << RefusedRun::Plan << QStringList{} << QString();
    }
    void policy() {
        QFETCH(QStringList, where);
        QFETCH(QStringList, settings);
        QFETCH(bool, force);
        QFETCH(RefusedRun, run);
        QFETCH(QStringList, warnings);
        QFETCH(QString, refusal);
        std::vector<CheckedSettings> checked;
        for (int i = 0; i < where.size(); ++i) {
            const QStringList s = settings[i].split(QLatin1Char(' '));
            const NetworkRecord r{a(s[2].toLatin1()), a(s[1].toLatin1()), a(s[0].toLatin1())};
            checked.push_back({where[i], vqx::provision::checkSettings(r)});
        }
        const auto verdict = vqx::provision::judgeSettings(checked, force, run);
        QCOMPARE(verdict.warnings, warnings);
        QCOMPARE(verdict.refusal, refusal);
        QCOMPARE(verdict.refused(), !refusal.isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestValidation)
#include "tst_validation.moc"
