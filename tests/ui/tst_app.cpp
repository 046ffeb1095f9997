// The executable's options and its demo mode, run as a separate process, and the demo
// environment driven through the dialog.

#include <set>

#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "DemoEnvironment.h"
#include "UiTestSupport.h"

using namespace uitest;

class TestApp : public QObject {
    Q_OBJECT

    static QProcessEnvironment offscreen() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }
    static int run(const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr) {
        QProcess p;
        p.setProcessEnvironment(offscreen());
        p.start(QStringLiteral(VQX_APP_PATH), args);
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            return -100;
        }
        if (out)
            *out = p.readAllStandardOutput();
        if (err)
            *err = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -101;
    }

private slots:
    void version() {
        QByteArray out;
        QCOMPARE(run({QStringLiteral("--version")}, &out), 0);
        QCOMPARE(out.trimmed(), QByteArray("VQX250_IPConfig 1.0.0.1"));
    }

    void help() {
        QByteArray out;
        QCOMPARE(run({QStringLiteral("--help")}, &out), 0);
        QVERIFY(out.contains("--demo"));
        QVERIFY(!out.contains("--screenshot")); // hidden
    }

    void unknownArgumentsAreRefused() {
        QCOMPARE(run({QStringLiteral("--bogus")}), 2);
        QCOMPARE(run({QStringLiteral("extra")}), 2);
        QCOMPARE(run({QStringLiteral("--screenshot"), QStringLiteral("x.png")}), 2);
    }

    void demoRunsBothModes_data() {
        QTest::addColumn<bool>("usb");
        QTest::newRow("Ethernet") << false;
        QTest::newRow("USB") << true;
    }
    void demoRunsBothModes() {
        QFETCH(bool, usb);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("shot.png"));
        QStringList args{QStringLiteral("--demo"), QStringLiteral("--screenshot"), file};
        if (usb)
            args << QStringLiteral("--screenshot-usb");
        QByteArray err;
        QCOMPARE(run(args, nullptr, &err), 0);
        QVERIFY2(err.contains("Demo mode: simulated module at 127.0.0."), err.constData());
        const QImage shot(file);
        QVERIFY(!shot.isNull());
        QVERIFY(shot.width() > 100 && shot.height() > 100);
    }

    void demoEnvironmentThroughTheDialog() {
        vqx::sim::DemoEnvironment env;
        QString why;
        QVERIFY2(env.start(&why), qPrintable(why));
        QCOMPARE(env.moduleAddress() >> 8, 0x7F0000u);
        QCOMPARE(env.modulePort(), quint16(23100));
        QCOMPARE(env.moduleServer().port(), quint16(23100));
        // Six slots, each module with a record of its own.
        std::set<std::array<std::uint8_t, 12>> records;
        for (int slot = 0; slot < 6; ++slot)
            if (auto m = env.hub()->module(slot))
                records.insert(m->record());
        QCOMPARE(int(records.size()), 5);

        Harness h(env.makeHubDriver());
        h.dlg->SetConnectAddress(env.moduleAddress());
        QSignalSpy done(h.dlg.get(), &CConfigDlg::operationFinished);
        h.click(CConfigDlg::IDC_CONNECT);
        QVERIFY(done.wait(10000));
        QVERIFY(h.messages.isEmpty());
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.20"));

        h.click(CConfigDlg::IDC_USB);
        const QStringList names{"Oscilloscope", "Afg", "Thermo", "Unknown", "Strain", "No"};
        for (int slot = 1; slot <= 6; ++slot)
            QCOMPARE(h.label(slot), QStringLiteral("Slot %1: ").arg(slot) + names[slot - 1]);
        for (int slot = 0; slot < 5; ++slot) {
            h.chooseSlot(slot);
            QCOMPARE(h.ip(1004)->address(), ipv4(192, 168, 1, 101 + unsigned(slot)));
        }
        QVERIFY(h.messages.isEmpty());
        h.chooseSlot(5); // the empty slot: the hub reports a failed access
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Error. Code = 10")});
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
