// The executable's options and its demo mode, run as a separate process, and the demo
// environment driven through the dialog.

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "CConfigApp.h"
#include "DemoEnvironment.h"
#include "UiTestSupport.h"
#include "Version.h"

#ifdef Q_OS_WIN
#include <windows.h>
#undef MessageBox
#endif

using namespace uitest;

class TestApp : public QObject {
    Q_OBJECT

    static QProcessEnvironment offscreen() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }
    // The environment of a terminal without any display.
    static QProcessEnvironment noDisplay() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        return env;
    }
    static int run(const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr,
                   const QProcessEnvironment& env = offscreen()) {
        QProcess p;
        p.setProcessEnvironment(env);
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
    void versionAndHelp_data() {
        QTest::addColumn<bool>("display");
        QTest::newRow("offscreen") << true;
        QTest::newRow("terminal without a display") << false;
    }
#ifdef Q_OS_WIN
    // What Windows shows of the executable (Properties, Explorer, the task bar): its version
    // record, read back from the built file, and its icon group.
    void versionResourceOfTheExecutable() {
        const std::wstring file =
            QDir::toNativeSeparators(QStringLiteral(VQX_APP_PATH)).toStdWString();
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
        QVERIFY(size > 0);
        std::vector<char> data(size);
        QVERIFY(GetFileVersionInfoW(file.c_str(), 0, size, data.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        QVERIFY(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        QCOMPARE(fixed->dwSignature, DWORD(0xFEEF04BD));
        const auto dotted = [](DWORD ms, DWORD ls) {
            return QStringLiteral("%1.%2.%3.%4")
                .arg(HIWORD(ms))
                .arg(LOWORD(ms))
                .arg(HIWORD(ls))
                .arg(LOWORD(ls));
        };
        QCOMPARE(dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS),
                 QStringLiteral(VQX_PROJECT_VERSION));
        QCOMPARE(dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS),
                 QStringLiteral(VQX_PROJECT_VERSION));
        WORD* translation = nullptr;
        QVERIFY(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
        QCOMPARE(length, UINT(4));
        QCOMPARE(translation[0], WORD(0x0419)); // Russian
        QCOMPARE(translation[1], WORD(1200));   // Unicode
        const QString commas = QStringLiteral(VQX_PROJECT_VERSION).replace('.', ", ");
        const std::pair<const wchar_t*, QString> strings[] = {
            {L"FileVersion", commas},
            {L"ProductVersion", commas},
            {L"InternalName", QStringLiteral("VQX250_IPConfig")},
            {L"OriginalFilename", QStringLiteral("VQX250_IPConfig.EXE")}};
        for (const auto& [key, expected] : strings) {
            const std::wstring path = std::wstring(L"\\StringFileInfo\\041904b0\\") + key;
            wchar_t* value = nullptr;
            QVERIFY(VerQueryValueW(data.data(), path.c_str(), reinterpret_cast<void**>(&value),
                                   &length));
            QCOMPARE(QString::fromWCharArray(value), expected);
        }

        // Icon group 128 (Russian): a 32x32 and a 16x16 image, 32 bits per pixel.
        const HMODULE module = LoadLibraryExW(
            file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        QVERIFY(module);
        const HRSRC group =
            FindResourceExW(module, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, MAKEINTRESOURCEW(128),
                            MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT));
        QVERIFY(group);
        const auto* dir =
            static_cast<const unsigned char*>(LockResource(LoadResource(module, group)));
        QVERIFY(dir);
        const int count = dir[4] | dir[5] << 8;
        QCOMPARE(count, 2);
        QList<int> sizes;
        for (int i = 0; i < count; ++i) {
            const unsigned char* entry = dir + 6 + 14 * i; // GRPICONDIRENTRY
            sizes << (entry[0] ? entry[0] : 256);
            QCOMPARE(entry[6] | entry[7] << 8, 32); // bits per pixel
        }
        std::sort(sizes.begin(), sizes.end());
        QCOMPARE(sizes, (QList<int>{16, 32}));
        FreeLibrary(module);

        // A windowed program (no console window opens with the dialog).
        QFile exe(QStringLiteral(VQX_APP_PATH));
        QVERIFY(exe.open(QIODevice::ReadOnly));
        const QByteArray head = exe.read(4096);
        const auto at = [&](int offset) {
            return quint32(quint8(head[offset])) | quint32(quint8(head[offset + 1])) << 8;
        };
        const int pe = int(at(0x3C));
        QVERIFY(pe > 0 && pe + 4 + 20 + 70 < head.size());
        QCOMPARE(at(pe + 4 + 20 + 68), quint32(IMAGE_SUBSYSTEM_WINDOWS_GUI));
    }
#endif

    void versionAndHelp() {
        QFETCH(bool, display);
        const QProcessEnvironment env = display ? offscreen() : noDisplay();
        QByteArray out, err;
        QCOMPARE(run({QStringLiteral("--version")}, &out, &err, env), 0);
        QCOMPARE(out.trimmed(), QByteArray("VQX250_IPConfig ") + vqx::kVersion);
        QCOMPARE(run({QStringLiteral("--help")}, &out, &err, env), 0);
        QVERIFY(out.contains("--demo"));
        QVERIFY(out.contains("--fleet"));
        QVERIFY(!out.contains("--screenshot")); // hidden
        QVERIFY2(err.isEmpty(), err.constData());
    }

    void argumentsOtherThanTheOptionsAreIgnored_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("demo");
        QTest::addColumn<QString>("screenshot");
        QTest::addColumn<bool>("screenshotUsb");
        QTest::addColumn<quint32>("demoAddress");
        QTest::addColumn<QStringList>("ignored");
        QTest::newRow("none") << QStringList{} << false << QString() << false << 0u
                              << QStringList{};
        QTest::newRow("fleet") << QStringList{"--fleet"} << false << QString() << false << 0u
                               << QStringList{};
        QTest::newRow("demo fleet with a screenshot")
            << QStringList{"--fleet", "--demo", "--screenshot", "f.png"} << true
            << QStringLiteral("f.png") << false << 0u << QStringList{};
        QTest::newRow("demo") << QStringList{"--demo"} << true << QString() << false << 0u
                              << QStringList{};
        QTest::newRow("unknown option") << QStringList{"--bogus"} << false << QString() << false
                                        << 0u << QStringList{"--bogus"};
        QTest::newRow("a file dropped on the program")
            << QStringList{"/home/user/notes.txt"} << false << QString() << false << 0u
            << QStringList{"/home/user/notes.txt"};
        QTest::newRow("demo among strays")
            << QStringList{"-x", "--demo", "extra"} << true << QString() << false << 0u
            << QStringList{"-x", "extra"};
        QTest::newRow("screenshot without demo")
            << QStringList{"--screenshot", "x.png", "--screenshot-usb"} << false << QString()
            << false << 0u << QStringList{"--screenshot", "--screenshot-usb"};
        QTest::newRow("screenshot with demo")
            << QStringList{"--demo", "--screenshot", "x.png", "--screenshot-usb"} << true
            << QStringLiteral("x.png") << true << 0u << QStringList{};
        QTest::newRow("demo address")
            << QStringList{"--demo", "--demo-address", "127.0.0.9"} << true << QString() << false
            << ipv4(127, 0, 0, 9) << QStringList{};
        QTest::newRow("demo address off the loopback")
            << QStringList{"--demo", "--demo-address=10.0.0.1"} << true << QString() << false << 0u
            << QStringList{"--demo-address=10.0.0.1"};
    }
    void argumentsOtherThanTheOptionsAreIgnored() {
        QFETCH(QStringList, args);
        QFETCH(bool, demo);
        QFETCH(QString, screenshot);
        QFETCH(bool, screenshotUsb);
        QFETCH(quint32, demoAddress);
        QFETCH(QStringList, ignored);
        const bool fleet = args.contains(QStringLiteral("--fleet"));
        CConfigApp::Options o;
        QString output;
        QCOMPARE(CConfigApp::ParseArguments(QStringList{"VQX250_IPConfig"} + args, o, &output), -1);
        QCOMPARE(o.fleet, fleet);
        QVERIFY(output.isEmpty());
        QCOMPARE(o.demo, demo);
        QCOMPARE(o.screenshot, screenshot);
        QCOMPARE(o.screenshotUsb, screenshotUsb);
        QCOMPARE(o.demoAddress, demoAddress);
        QCOMPARE(o.ignored, ignored);
    }

    void helpAndVersionInProcess() {
        CConfigApp::Options o;
        QString output;
        QCOMPARE(CConfigApp::ParseArguments({"VQX250_IPConfig", "stray", "--help"}, o, &output), 0);
        QVERIFY(output.contains(QStringLiteral("--demo")));
        QVERIFY(!output.contains(QStringLiteral("--demo-address")));
    }

    void strayArgumentsDoNotStopTheProgram() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("shot.png"));
        QByteArray err;
        QCOMPARE(run({QStringLiteral("--bogus"), QStringLiteral("--demo"),
                      QStringLiteral("--screenshot"), file, QStringLiteral("dropped.txt")},
                     nullptr, &err),
                 0);
        QVERIFY2(err.contains("ignoring argument --bogus"), err.constData());
        QVERIFY2(err.contains("ignoring argument dropped.txt"), err.constData());
        QVERIFY(!QImage(file).isNull());
    }

    // The fleet window in the demo, as its own process: the demo fleet is scanned, the hub
    // read and the fleet applied (the screenshot waits for all three), and the window's
    // picture saved.
    void demoFleetWindow() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("fleet.png"));
        QByteArray err;
        QCOMPARE(run({QStringLiteral("--demo"), QStringLiteral("--fleet"),
                      QStringLiteral("--screenshot"), file},
                     nullptr, &err),
                 0);
        QVERIFY2(err.contains("Demo fleet: 36 simulated modules from 127.0.1"), err.constData());
        const QImage picture(file);
        QVERIFY(!picture.isNull());
        QVERIFY(picture.width() > picture.height());
    }

    void demoThatCannotStartEndsWithAnError() {
        // The demo's module address is taken: the simulators cannot start.
        QTcpServer taken;
        const std::uint32_t address = onFreeLoopback(
            [&](const QHostAddress& a) { return taken.listen(a, vqx::kModulePort); });
        QVERIFY(address);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("shot.png"));
        QByteArray err;
        QCOMPARE(run({QStringLiteral("--demo"), QStringLiteral("--demo-address"),
                      vqx::formatAddress(address), QStringLiteral("--screenshot"), file},
                     nullptr, &err),
                 1);
        QVERIFY2(err.contains(QStringLiteral("The demo mode cannot start: port 23100 of %1 is "
                                             "not free.")
                                  .arg(vqx::formatAddress(address))
                                  .toUtf8()),
                 err.constData());
        QVERIFY(!QFile::exists(file));
    }

    void demoEnvironmentOnAGivenAddress() {
        QTcpServer taken;
        const std::uint32_t address = onFreeLoopback(
            [&](const QHostAddress& a) { return taken.listen(a, vqx::kModulePort); });
        QVERIFY(address);
        QString why;
        {
            vqx::sim::DemoEnvironment env;
            env.setAddress(address);
            QVERIFY(!env.start(&why));
            QCOMPARE(
                why,
                QStringLiteral("port 23100 of %1 is not free").arg(vqx::formatAddress(address)));
            QCOMPARE(env.moduleAddress(), 0u);
        }
        {
            vqx::sim::DemoEnvironment env;
            env.setAddress(ipv4(10, 0, 0, 1));
            QVERIFY(!env.start(&why));
            QCOMPARE(why, QStringLiteral("10.0.0.1 is not a loopback address"));
        }
        taken.close();
        vqx::sim::DemoEnvironment env;
        env.setAddress(address);
        QVERIFY2(env.start(&why), qPrintable(why));
        QCOMPARE(env.moduleAddress(), address);
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
