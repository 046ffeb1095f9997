// The installed tree and the .deb: every program, desktop file, icon, udev rule, man page and
// the copyright file in its usual place, the man pages compressed as Debian wants them, and
// the package's control fields. The build must be complete (ctest runs after the build).

#include "Version.h"
#include <QDir>
#include <QFile>
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
    {"lib/vqx250-ipconfig/libvqx250-usbemu.so", false},
    {"share/applications/vqx250-ipconfig.desktop", false},
    {"share/applications/vqx250-ipconfig-fleet.desktop", false},
    {"share/icons/hicolor/16x16/apps/vqx250-ipconfig.png", false},
    {"share/icons/hicolor/32x32/apps/vqx250-ipconfig.png", false},
    {"share/icons/hicolor/scalable/apps/vqx250-ipconfig.svg", false},
    {"lib/udev/rules.d/60-vqx250-hub.rules", false},
    {"share/man/man1/VQX250_IPConfig.1.gz", false},
    {"share/man/man1/vqx250-ipconfig.1.gz", false},
    {"share/man/man1/vqx250-modsim.1.gz", false},
    {"share/doc/vqx250-ipconfig/copyright", false},
    {"share/doc/vqx250-ipconfig/changelog.gz", false},
};

const char* const kManPages[] = {"VQX250_IPConfig.1", "vqx250-ipconfig.1", "vqx250-modsim.1"};

constexpr const char* kSummary = "Network settings configurator for VQX250 measurement modules";

QString buildDir() {
    return qEnvironmentVariable("VQX_BUILD_DIR");
}

QString sourceDir() {
    return qEnvironmentVariable("VQX_SOURCE_DIR");
}

QString cmakeProgram() {
    return qEnvironmentVariable("VQX_CMAKE", QStringLiteral("cmake"));
}

struct Run {
    int exit = -1;
    QString out;
    QByteArray bytes; ///< the output as it came
};

Run run(const QString& program, const QStringList& args, int timeoutMs = 240000,
        bool merged = true) {
    QProcess p;
    if (merged)
        p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(60000) || !p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.bytes = p.readAllStandardOutput();
    r.out = QString::fromUtf8(r.bytes);
    return r;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

    /// Checks that `path` is compressed as gzip -9n does it: best compression, and neither a
    /// file name nor a time stamp in the header. `plain` receives the content.
    void gunzip(const QString& path, QByteArray& plain) {
        const QByteArray head = readAll(path).left(10);
        QVERIFY2(head.size() == 10, qPrintable(path));
        QVERIFY2(head.startsWith("\x1f\x8b\x08"), qPrintable(path));
        QVERIFY2((head[3] & 0x08) == 0, qPrintable(path));                 // no file name
        QVERIFY2(head.mid(4, 4) == QByteArray(4, '\0'), qPrintable(path)); // no time stamp
        QVERIFY2(head[8] == 2, qPrintable(path));                          // best compression
        const Run r = run(QStringLiteral("gzip"), {"-dc", path}, 60000, false);
        QCOMPARE(r.exit, 0);
        plain = r.bytes;
    }

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
        // The installed tool runs from its new place, and each desktop entry starts a program
        // that is installed, the fleet's with --fleet.
        const Run v = run(prefix.filePath("bin/vqx250-ipconfig"), {"--version"});
        QCOMPARE(v.exit, 0);
        QCOMPARE(v.out.trimmed(), QStringLiteral("vqx250-ipconfig %1").arg(vqx::kVersion));
        for (const auto& [file, arguments] : {std::pair{"vqx250-ipconfig.desktop", ""},
                                              {"vqx250-ipconfig-fleet.desktop", "--fleet"}}) {
            QFile desktop(prefix.filePath(QStringLiteral("share/applications/") + file));
            QVERIFY(desktop.open(QIODevice::ReadOnly));
            const QString entry = QString::fromUtf8(desktop.readAll());
            const qsizetype at = entry.indexOf(QStringLiteral("\nExec="));
            QVERIFY(at >= 0);
            const QString line = entry.mid(at + 6).section(QLatin1Char('\n'), 0, 0);
            const QString exec = line.section(' ', 0, 0);
            QVERIFY2(QFileInfo(prefix.filePath("bin/" + exec)).isExecutable(), qPrintable(exec));
            QCOMPARE(line.section(' ', 1), QString::fromLatin1(arguments));
        }

        // The man pages: gzip at its best compression, without a file name or a time stamp in
        // the header (gzip -9n), holding the pages of the source tree with the version filled in.
        for (const char* page : kManPages) {
            QByteArray plain;
            gunzip(prefix.filePath(QStringLiteral("share/man/man1/%1.gz").arg(page)), plain);
            QVERIFY2(!plain.isEmpty(), page);
            const QByteArray source = readAll(sourceDir() + "/docs/man/" + page);
            QVERIFY2(source.contains("@PROJECT_VERSION@"), page);
            QVERIFY2(plain == QByteArray(source).replace("@PROJECT_VERSION@", vqx::kVersion), page);
        }
        QVERIFY(!QFileInfo::exists(prefix.filePath("share/man/man1/vqx250-ipconfig.1")));

        // The copyright file in Debian's machine-readable form.
        const QString copyright =
            QString::fromUtf8(readAll(prefix.filePath("share/doc/vqx250-ipconfig/copyright")));
        QVERIFY2(
            copyright.startsWith(QStringLiteral(
                "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")),
            qPrintable(copyright));
        QVERIFY(copyright.contains(QStringLiteral("\nFiles: *\n")));
        QVERIFY(
            copyright.contains(QStringLiteral("\nCopyright: 2026 VQX250_IPConfig developers\n")));
        QVERIFY(copyright.contains(QStringLiteral("\nLicense: ")));

        // The changelog of a native package, for this version.
        QByteArray changelog;
        gunzip(prefix.filePath("share/doc/vqx250-ipconfig/changelog.gz"), changelog);
        QVERIFY2(changelog.startsWith(QByteArray("vqx250-ipconfig (") + vqx::kVersion +
                                      ") unstable; urgency=medium\n"),
                 changelog.constData());
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
        QCOMPARE(debs.front(), QStringLiteral("vqx250-ipconfig_%1_%2.deb")
                                   .arg(vqx::kVersion)
                                   .arg(debs.front().section('_', 2).chopped(4)));
        const QString deb = QDir(out.path()).filePath(debs.front());

        const Run info =
            run(QStringLiteral("dpkg-deb"), {"-f", deb, "Package", "Version", "Depends"});
        QCOMPARE(info.exit, 0);
        QVERIFY2(info.out.contains("Package: vqx250-ipconfig"), qPrintable(info.out));
        QVERIFY(info.out.contains(QByteArray("Version: ") + vqx::kVersion));
        for (const char* dep : {"libqt6core6", "libqt6network6", "libqt6widgets6", "libftdi1-2"})
            QVERIFY2(info.out.contains(QLatin1String(dep)), dep);

        // The synopsis on the first line, the extended description below it, and the
        // synopsis not repeated there.
        const Run description = run(QStringLiteral("dpkg-deb"), {"-f", deb, "Description"});
        QCOMPARE(description.exit, 0);
        const QStringList lines = description.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY2(lines.size() > 2, qPrintable(description.out));
        QCOMPARE(lines.front(), QLatin1String(kSummary));
        QCOMPARE(description.out.count(QLatin1String(kSummary)), 1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            QVERIFY2(lines[i].startsWith(QLatin1Char(' ')), qPrintable(lines[i]));
            QVERIFY2(lines[i].size() <= 80, qPrintable(lines[i]));
        }
        QVERIFY(lines[1].startsWith(QStringLiteral(" Reads and writes")));

        const Run list = run(QStringLiteral("dpkg-deb"), {"-c", deb});
        QCOMPARE(list.exit, 0);
        for (const Expected& e : kInstalled)
            QVERIFY2(list.out.contains(QStringLiteral("./usr/%1\n").arg(QLatin1String(e.path))),
                     e.path);
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_cli_install.moc"
