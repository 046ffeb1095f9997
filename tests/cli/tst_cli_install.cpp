// The installed tree and the .deb: every program, desktop file, icon, udev rule and man page
// in its usual place. The build must be complete (ctest runs after the build).

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Expected {
    const char* path; ///< relative to the prefix
    bool executable;
};

// Everything `cmake --install` must put in place, relative to the prefix. Add new installed
// files here.
const Expected kInstalled[] = {
    {"bin/VQX250_IPConfig", true},
    {"bin/vqx250-ipconfig", true},
    {"bin/vqx250-modsim", true},
    {"share/applications/vqx250-ipconfig.desktop", false},
    {"share/icons/hicolor/16x16/apps/vqx250-ipconfig.png", false},
    {"share/icons/hicolor/32x32/apps/vqx250-ipconfig.png", false},
    {"share/icons/hicolor/scalable/apps/vqx250-ipconfig.svg", false},
    {"lib/udev/rules.d/60-vqx250-hub.rules", false},
    {"share/man/man1/vqx250-ipconfig.1", false},
    {"share/man/man1/vqx250-modsim.1", false},
};

QString buildDir() {
    return qEnvironmentVariable("VQX_BUILD_DIR");
}

QString cmakeProgram() {
    return qEnvironmentVariable("VQX_CMAKE", QStringLiteral("cmake"));
}

struct Run {
    int exit = -1;
    QString out;
};

Run run(const QString& program, const QStringList& args, int timeoutMs = 240000) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(10000) || !p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAll());
    return r;
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo(buildDir() + "/CMakeCache.txt").exists(),
                 "VQX_BUILD_DIR must name the build directory");
    }

    void installTree() {
        QTemporaryDir prefix;
        QVERIFY(prefix.isValid());
        const Run r = run(cmakeProgram(), {"--install", buildDir(), "--prefix", prefix.path()});
        QVERIFY2(r.exit == 0, qPrintable(r.out));
        for (const Expected& e : kInstalled) {
            const QFileInfo f(prefix.filePath(QString::fromLatin1(e.path)));
            QVERIFY2(f.isFile(), e.path);
            QVERIFY2(f.size() > 0, e.path);
            if (e.executable)
                QVERIFY2(f.isExecutable(), e.path);
        }
        // The installed tool runs from its new place, and the desktop entry starts a program
        // that is installed.
        const Run v = run(prefix.filePath("bin/vqx250-ipconfig"), {"--version"});
        QCOMPARE(v.exit, 0);
        QCOMPARE(v.out.trimmed(), QStringLiteral("vqx250-ipconfig 1.0.0.1"));
        QFile desktop(prefix.filePath("share/applications/vqx250-ipconfig.desktop"));
        QVERIFY(desktop.open(QIODevice::ReadOnly));
        const QString entry = QString::fromUtf8(desktop.readAll());
        const qsizetype at = entry.indexOf(QStringLiteral("\nExec="));
        QVERIFY(at >= 0);
        const QString exec = entry.mid(at + 6).section(QLatin1Char('\n'), 0, 0).section(' ', 0, 0);
        QVERIFY2(QFileInfo(prefix.filePath("bin/" + exec)).isExecutable(), qPrintable(exec));
    }

    void debianPackage() {
        if (QStandardPaths::findExecutable(QStringLiteral("dpkg-deb")).isEmpty())
            QSKIP("dpkg-deb is not installed");
        const QString config = buildDir() + "/CPackConfig.cmake";
        QVERIFY(QFileInfo(config).exists());
        QString cpack = QFileInfo(cmakeProgram()).dir().filePath(QStringLiteral("cpack"));
        if (!QFileInfo(cpack).isExecutable())
            cpack = QStringLiteral("cpack");
        QTemporaryDir out;
        const Run r = run(cpack, {"-G", "DEB", "--config", config, "-B", out.path()});
        QVERIFY2(r.exit == 0, qPrintable(r.out));
        const QStringList debs = QDir(out.path()).entryList({"*.deb"}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        QCOMPARE(debs.front(), QStringLiteral("vqx250-ipconfig_1.0.0.1_%1.deb")
                                   .arg(debs.front().section('_', 2).chopped(4)));
        const QString deb = QDir(out.path()).filePath(debs.front());

        const Run info =
            run(QStringLiteral("dpkg-deb"), {"-f", deb, "Package", "Version", "Depends"});
        QCOMPARE(info.exit, 0);
        QVERIFY2(info.out.contains("Package: vqx250-ipconfig"), qPrintable(info.out));
        QVERIFY(info.out.contains("Version: 1.0.0.1"));
        for (const char* dep : {"libqt6core6", "libqt6network6", "libqt6widgets6", "libftdi1-2"})
            QVERIFY2(info.out.contains(QLatin1String(dep)), dep);

        const Run list = run(QStringLiteral("dpkg-deb"), {"-c", deb});
        QCOMPARE(list.exit, 0);
        for (const Expected& e : kInstalled)
            QVERIFY2(list.out.contains(QStringLiteral("./usr/%1\n").arg(QLatin1String(e.path))),
                     e.path);
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_cli_install.moc"
