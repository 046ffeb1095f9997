// vqx250-ipconfig end to end: the real executable against vqx250-modsim processes on
// loopback and against the simulated hub (--driver sim, --demo). Each command, the --json
// output, refused settings, a verification mismatch, a plan with a failing module, and the
// exit statuses. With --driver libftdi (and auto) libftdi's real code runs against the hub
// emulated below libusb (libvqx250-usbemu.so, preloaded), strict: a USB request the emulated
// chip would not accept ends the tool with status 86.

#include <memory>
#include <optional>
#include <vector>

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

#include "ModuleModel.h"
#include "ModuleServer.h"
#include "NetworkRecord.h"
#include "TargetLock.h"
#include "TestNet.h"
#include "Version.h"
#include <unistd.h>
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif
#ifdef Q_OS_LINUX
#include <pwd.h>
#include <sys/stat.h>
#endif

namespace {

enum ExitStatus { kOk = 0, kUsage = 2, kUnreachable = 3, kDevice = 4, kMismatch = 5, kPartial = 6 };

QString tool() {
    return qEnvironmentVariable("VQX_IPCONFIG");
}
QString modsim() {
    return qEnvironmentVariable("VQX_MODSIM");
}

struct Run {
    int exit = -1;
    QByteArray out;
    QString err;
    QJsonDocument json() const { return QJsonDocument::fromJson(out); }
};

Run run(const QStringList& args, int timeoutMs = 60000,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(tool(), args);
    Run r;
    if (!p.waitForStarted(60000)) {
        r.err = QStringLiteral("could not start %1").arg(tool());
        return r;
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("timed out");
        return r;
    }
    r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = QString::fromUtf8(p.readAllStandardError());
    if (p.exitStatus() != QProcess::NormalExit)
        r.err += QStringLiteral("\n(crashed, exit code %1)").arg(p.exitCode());
#ifdef Q_OS_WIN
    // Text written on Windows ends its lines with CR LF, as Windows programs do.
    r.out.replace("\r\n", "\n");
    r.err.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
#endif
    return r;
}

/// A run of the tool on the hub emulated at the USB level, configured with `config`, and the
/// emulation's transcript of every USB request.
struct EmuRun : Run {
    QString transcript;
};

// The emulation preloads into Linux processes only.
#define SKIP_WITHOUT_USB_EMULATION()                                                               \
    if (qEnvironmentVariableIsEmpty("VQX_USBEMU"))                                                 \
    QSKIP("needs the hub emulated at the USB level (Linux)")

EmuRun runEmulated(const QString& config, const QStringList& args, int timeoutMs = 60000) {
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LD_PRELOAD", qEnvironmentVariable("VQX_USBEMU"));
    env.insert("VQX250_USBEMU", config + " strict transcript=" + dir.filePath("usb.log"));
    env.insert("ASAN_OPTIONS", "detect_leaks=1:verify_asan_link_order=0");
    env.remove("LD_LIBRARY_PATH"); // no vendor library anywhere
    EmuRun r;
    static_cast<Run&>(r) = run(args, timeoutMs, env);
    QFile log(dir.filePath("usb.log"));
    if (log.open(QIODevice::ReadOnly))
        r.transcript = QString::fromUtf8(log.readAll());
    return r;
}

/// A vqx250-modsim process on 127.0.0.1 and a free port; stopped when destroyed.
class Modsim {
public:
    /// port 0: any free port.
    explicit Modsim(const QStringList& extra = {}, quint16 port = 0) {
        m_process.setProgram(modsim());
        m_process.setArguments(
            QStringList{"--address", "127.0.0.1", "--port", QString::number(port), "--strict"} +
            extra);
        m_process.setReadChannel(QProcess::StandardError);
        m_process.start();
        if (!m_process.waitForStarted(60000))
            return;
        // It announces "... listening on 127.0.0.1:PORT; ..." on stderr once it listens.
        static const QRegularExpression announce(QStringLiteral("listening on [0-9.]+:(\\d+)"));
        QByteArray seen;
        while (m_port == 0 && m_process.waitForReadyRead(60000)) {
            seen += m_process.readAllStandardError();
            const auto m = announce.match(QString::fromUtf8(seen));
            if (m.hasMatch())
                m_port = m.captured(1).toUShort();
        }
        if (m_port == 0) // the tool is then given port 0 and refuses it (exit 2)
            qWarning("vqx250-modsim did not announce its port: %s", seen.constData());
    }
    ~Modsim() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    quint16 port() const { return m_port; }
    QString portText() const { return QString::number(m_port); }
    QStringList target() const { return {"--host", "127.0.0.1", "--port", portText()}; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

QJsonObject record(const char* ip, const char* mask, const char* gateway) {
    return QJsonObject{{"ip", ip}, {"mask", mask}, {"gateway", gateway}};
}

using vqxtest::freePort;

/// A loopback host with a closed port and a short time-out: should a check that ought to
/// stop the tool before it connects let it through, the attempt stays on this machine and
/// ends soon.
QStringList closedHost() {
    return {"--host", "127.0.0.1", "--port", QString::number(freePort()), "--timeout", "1"};
}

/// Writes a plan file into `dir`.
QString writePlan(const QTemporaryDir& dir, const QString& name, const QByteArray& text) {
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return {};
    return path;
}

using vqx::provision::TargetLock;

/// Another user to run the tool as: "nobody", through setpriv. Only when this test runs as
/// root and that user can run the tool from where it was built.
struct OtherUser {
    QString name;
    QStringList prefix; ///< the command line's start, before the tool and its arguments
};

std::optional<OtherUser> otherUser() {
#ifdef Q_OS_LINUX
    const passwd* pw = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    if (!pw)
        return std::nullopt;
    OtherUser u{QStringLiteral("nobody"),
                {QStringLiteral("--reuid=%1").arg(pw->pw_uid),
                 QStringLiteral("--regid=%1").arg(pw->pw_gid), QStringLiteral("--clear-groups")}};
    QProcess p;
    p.start(QStringLiteral("setpriv"), u.prefix + QStringList{tool(), "--version"});
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return std::nullopt;
    return u;
#else
    return std::nullopt;
#endif
}

/// Starts the tool, as `as` when given.
void startTool(QProcess& p, const QStringList& args, const std::optional<OtherUser>& as,
               const QProcessEnvironment& env) {
    p.setProcessEnvironment(env);
    if (as)
        p.start(QStringLiteral("setpriv"), as->prefix + QStringList{tool()} + args);
    else
        p.start(tool(), args);
}

/// The holder as a waiting writer names it.
QString holderText(qint64 pid, const QString& program, const QString& user) {
    return QStringLiteral("process %1 (%2) of user %3")
        .arg(pid)
        .arg(QFileInfo(program).fileName(), user);
}

} // namespace

class TestCliEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(!tool().isEmpty() && !modsim().isEmpty(),
                 "VQX_IPCONFIG and VQX_MODSIM must name the executables");
    }

    void version() {
        const Run r = run({"--version"});
        QCOMPARE(r.exit, kOk);
        QCOMPARE(r.out.trimmed(), QByteArray("vqx250-ipconfig ") + vqx::kVersion);
    }

    void help_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("mentions");
        QTest::newRow("tool") << QStringList{"--help"}
                              << QStringList{"read",      "write",    "slots",  "apply",
                                             "--json",    "--driver", "--demo", "--timeout",
                                             "--verbose", "--version"};
        QTest::newRow("read") << QStringList{"read", "--help"}
                              << QStringList{"--host", "--port", "--slot", "--hub"};
        QTest::newRow("write") << QStringList{"write", "--help"}
                               << QStringList{"--ip", "--mask", "--gateway", "--force",
                                              "--no-verify"};
        QTest::newRow("slots") << QStringList{"slots", "--help"} << QStringList{"--hub"};
        QTest::newRow("apply") << QStringList{"apply", "--help"}
                               << QStringList{"PLAN", "--dry-run", "--format", "--force"};
    }
    void help() {
        QFETCH(QStringList, args);
        QFETCH(QStringList, mentions);
        const Run r = run(args);
        QCOMPARE(r.exit, kOk);
        const QString text = QString::fromUtf8(r.out);
        for (const QString& m : mentions)
            QVERIFY2(text.contains(m), qPrintable(m));
        // Every help lists the exit statuses.
        for (const char* line :
             {"0  success", "2  usage error", "3  module or hub unreachable", "4  device error",
              "5  verification mismatch", "6  apply: one or more"})
            QVERIFY2(text.contains(QLatin1String(line)), line);
    }

    void usageErrors_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("no command") << QStringList{} << "";
        QTest::newRow("unknown command") << QStringList{"erase"} << "";
        QTest::newRow("unknown option") << QStringList{"read", "--hots", "1.2.3.4"} << "";
        QTest::newRow("no target") << QStringList{"read"} << "--host ADDR or --slot N";
        // Every host here is on loopback with a closed port (closedHost()).
        const QString closed = QString::number(freePort());
        QTest::newRow("bad host") << QStringList{"read", "--host",    "127.0.0", "--port",
                                                 closed, "--timeout", "1"}
                                  << "--host";
        QTest::newRow("host and slot")
            << QStringList{"read", "--host", "127.0.0.1", "--port", closed, "--slot", "1"} << "";
        QTest::newRow("slot 0") << QStringList{"read", "--slot", "0"} << "";
        QTest::newRow("slot 7") << QStringList{"read", "--slot", "7"} << "";
        QTest::newRow("port 0") << QStringList{"read", "--host",    "127.0.0.1", "--port",
                                               "0",    "--timeout", "1"}
                                << "";
        QTest::newRow("timeout 0")
            << QStringList{"read", "--host", "127.0.0.1", "--port", closed, "--timeout", "0"} << "";
        QTest::newRow("timeout nan")
            << QStringList{"read", "--host", "127.0.0.1", "--port", closed, "--timeout", "nan"}
            << "--timeout";
        QTest::newRow("timeout huge")
            << QStringList{"read", "--host", "127.0.0.1", "--port", closed, "--timeout", "1e300"}
            << "--timeout";
        // Numbers in plain decimal only, addresses without leading zeros (read as octal by
        // other parsers), and user text quoted short with its control characters escaped.
        for (const char* port : {"0x50", "+80", " 80"})
            QTest::addRow("port '%s'", port)
                << QStringList{"read", "--host", "127.0.0.1", "--port", port, "--timeout", "1"}
                << QStringLiteral("--port: '%1' is not a plain decimal number").arg(port);
        QTest::newRow("hub -1") << QStringList{"slots", "--driver", "sim", "--hub", "-1"}
                                << "--hub: '-1' is not a plain decimal number";
        QTest::newRow("octet with leading zero")
            << QStringList{"read", "--host", "127.0.0.01", "--port", closed, "--timeout", "1"}
            << "--host: '127.0.0.01' is not";
        QTest::newRow("host with escapes")
            << QStringList{"read",      "--host", "\x1b[31m" + QString(100, 'x'), "--port", closed,
                           "--timeout", "1"}
            << "--host: '\\e[31m" + QString(55, 'x') + "...' is not";
        QTest::newRow("port without host")
            << QStringList{"read", "--slot", "1", "--port", "23101"} << "--port";
        QTest::newRow("bad driver") << QStringList{"slots", "--driver", "ftdi"} << "";
        QTest::newRow("write without mask")
            << QStringList{"write", "--ip", "10.0.0.6", "--gateway", "0.0.0.0"} + closedHost()
            << "--mask";
        QTest::newRow("write bad ip text")
            << QStringList{"write",     "--ip",      "10.0.0.600", "--mask",
                           "255.0.0.0", "--gateway", "0.0.0.0"} +
                   closedHost()
            << "--ip: '10.0.0.600' is not a dotted IPv4 address";
        QTest::newRow("apply without plan") << QStringList{"apply"} << "PLAN";
        // A plan without end is refused once it passes the bound, without exhausting memory.
        QTest::newRow("apply endless plan")
            << QStringList{"apply", "/dev/zero", "--format", "csv"} << "larger than 64 MiB";
        QTest::newRow("apply missing file")
            << QStringList{"apply", "/nonexistent/plan.csv"} << "cannot read the plan";
        QTest::newRow("scan over a /16") << QStringList{"scan", "10.0.0.0/15"} << "more than a /16";
        QTest::newRow("scan bad target")
            << QStringList{"scan", "10.0.0.9-10.0.0.1"} << "bad target";
    }
    void usageErrors() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const Run r = run(args);
        QCOMPARE(r.exit, kUsage);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
    }

#ifdef Q_OS_UNIX
    // Results that cannot be written are a failure (exit 1), not a silent success: a full
    // disk, and a stdout closed before the start (Unix: /dev/full and a closed descriptor).
    void outputFailure_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("closed");
        QTest::newRow("read --json > /dev/full")
            << QStringList{"--demo", "read", "--json"} << false;
        QTest::newRow("slots > /dev/full") << QStringList{"slots", "--driver", "sim"} << false;
        QTest::newRow("read >&-") << QStringList{"--demo", "read"} << true;
    }
    void outputFailure() {
        QFETCH(QStringList, args);
        QFETCH(bool, closed);
        QProcess p;
        if (closed)
            p.setChildProcessModifier([] { ::close(STDOUT_FILENO); });
        else
            p.setStandardOutputFile(QStringLiteral("/dev/full"));
        p.start(tool(), args);
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(p.readAllStandardError().contains("writing the results to standard output failed"),
                 "no message");
    }
#endif

    void readText() {
        Modsim sim({"--ip", "10.1.2.3", "--mask", "255.255.0.0", "--gateway", "10.1.0.1"});
        QVERIFY(sim.port() != 0);
        const Run r = run(QStringList{"read"} + sim.target());
        QCOMPARE(r.exit, kOk);
        QCOMPARE(QString::fromUtf8(r.out),
                 QStringLiteral("IP:      10.1.2.3\nMask:    255.255.0.0\nGateway: 10.1.0.1\n"));
    }

    void readJson_data() {
        QTest::addColumn<QString>("variant");
        QTest::newRow("variant 1") << "1";
        QTest::newRow("variant 2") << "2";
    }
    void readJson() {
        QFETCH(QString, variant);
        Modsim sim({"--variant", variant, "--record", "0102030400ffffff0a00000a"});
        const Run r = run(QStringList{"read", "--json"} + sim.target());
        QCOMPARE(r.exit, kOk);
        QVERIFY(r.json().isObject());
        QCOMPARE(r.json().object(), record("10.0.0.10", "255.255.255.0", "4.3.2.1"));
    }

    // -v shows the wire: the control register write opens every EEPROM read, and replies
    // start EF BE; the variant chosen from the version register is named.
    void verboseTrace() {
        Modsim sim({"--variant", "2"});
        const Run r = run(QStringList{"read", "-v"} + sim.target());
        QCOMPARE(r.exit, kOk);
        QVERIFY2(r.err.contains("> CE 02 00 00 00 00"), qPrintable(r.err)); // read reg 14, 2 words
        QVERIFY(r.err.contains("> 80 01 00 00 00 00"));
        QVERIFY(r.err.contains("> 8D 01 0C 00 00 08")); // read command 0x80000601 to register 13
        QVERIFY(r.err.contains("< EF BE"));
        QVERIFY(r.err.contains("variant 2"));
        QVERIFY(r.err.contains("arp -d 127.0.0.1"));
    }

    void writeAndReadBack() {
        Modsim sim;
        const Run w = run(QStringList{"write", "--json", "--ip", "10.0.0.7", "--mask",
                                      "255.255.255.0", "--gateway", "10.0.0.1"} +
                          sim.target());
        QCOMPARE(w.exit, kOk);
        const QJsonObject o = w.json().object();
        QCOMPARE(o.value("before").toObject(),
                 record("192.168.1.20", "255.255.255.0", "192.168.1.1"));
        QCOMPARE(o.value("written").toObject(), record("10.0.0.7", "255.255.255.0", "10.0.0.1"));
        QCOMPARE(o.value("after").toObject(), record("10.0.0.7", "255.255.255.0", "10.0.0.1"));
        QCOMPARE(o.value("verified").toBool(), true);
        // A new connection finds the new record.
        const Run r = run(QStringList{"read", "--json"} + sim.target());
        QCOMPARE(r.exit, kOk);
        QCOMPARE(r.json().object(), record("10.0.0.7", "255.255.255.0", "10.0.0.1"));
    }

    void writeText() {
        Modsim sim({"--variant", "2"});
        const Run w = run(QStringList{"write", "--ip", "172.16.5.9", "--mask", "255.255.0.0",
                                      "--gateway", "0.0.0.0"} +
                          sim.target());
        QCOMPARE(w.exit, kOk);
        const QString text = QString::fromUtf8(w.out);
        QVERIFY2(text.contains(QRegularExpression("IP: +192\\.168\\.1\\.20 +172\\.16\\.5\\.9")),
                 qPrintable(text));
        QVERIFY(text.contains(QRegularExpression("Mask: +255\\.255\\.255\\.0 +255\\.255\\.0\\.0")));
        QVERIFY(text.contains(QRegularExpression("Gateway: +192\\.168\\.1\\.1 +0\\.0\\.0\\.0")));
        QVERIFY(text.contains("Verified"));
    }

    // A module that takes writes but keeps its old bytes is caught by the read-back.
    void verificationMismatch() {
        Modsim sim({"--ignore-writes"});
        const QStringList write = QStringList{"write",         "--ip",      "10.0.0.7", "--mask",
                                              "255.255.255.0", "--gateway", "10.0.0.1"} +
                                  sim.target();
        const Run r = run(write + QStringList{"--json"});
        QVERIFY2(r.exit == kMismatch, qPrintable(QString::number(r.exit) + ": " + r.err));
        QVERIFY2(r.err.contains("verification failed"), qPrintable(r.err));
        const QJsonObject o = r.json().object();
        QCOMPARE(o.value("verified").toBool(true), false);
        QCOMPARE(o.value("after").toObject(),
                 record("192.168.1.20", "255.255.255.0", "192.168.1.1"));
        QCOMPARE(o.value("exit").toInt(), kMismatch);
        // --no-verify skips the read-back, so the same module passes.
        const Run n = run(write + QStringList{"--no-verify"});
        QVERIFY2(n.exit == kOk, qPrintable(QString::number(n.exit) + ": " + n.err));
        QVERIFY(n.out.contains("not read back"));
    }

    void deviceErrorNamesAddress() {
        Modsim sim({"--variant", "2", "--fail-at", "10"});
        const Run r = run(QStringList{"read"} + sim.target());
        QCOMPARE(r.exit, kDevice);
        QVERIFY2(r.err.contains("EEPROM read failed at address 10: the controller reported "
                                "failure (code 100)"),
                 qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
    }

    void refusedConnectionIsUnreachable() {
        const Run r = run({"read", "--host", "127.0.0.1", "--port", QString::number(freePort()),
                           "--timeout", "1", "--json"});
        QCOMPARE(r.exit, kUnreachable);
        QVERIFY2(r.err.contains("unreachable"), qPrintable(r.err));
        QCOMPARE(r.json().object().value("exit").toInt(), kUnreachable);
    }

    // Settings that break the checks are refused, each broken rule on a line of its own,
    // before anything is contacted: with -v an attempt to connect would show in the trace (its
    // arp step comes first). --force writes them anyway, with a warning for each. Every rule's
    // wording is tested with the checks themselves (tests/provision).
    void refusedSettings_data() {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("gateway");
        QTest::addColumn<QString>("message");
        QTest::newRow("mask") << "10.0.0.7"
                              << "255.0.255.0"
                              << "0.0.0.0"
                              << "vqx250-ipconfig: refused: mask 255.0.255.0 is not one unbroken "
                                 "run of 1 bits from the left\n"
                                 "nothing was written; use --force to write these settings "
                                 "anyway\n";
        QTest::newRow("ip and gateway")
            << "127.0.0.9"
            << "255.0.0.0"
            << "127.0.0.9"
            << "vqx250-ipconfig: refused: ip 127.0.0.9 is a loopback address\n"
               "refused: gateway 127.0.0.9 is the module's own ip\n"
               "nothing was written; use --force to write these settings anyway\n";
    }
    void refusedSettings() {
        QFETCH(QString, ip);
        QFETCH(QString, mask);
        QFETCH(QString, gateway);
        QFETCH(QString, message);
        const QStringList settings{"--ip", ip, "--mask", mask, "--gateway", gateway};
        const Run r = run(QStringList{"write", "-v"} + closedHost() + settings);
        QCOMPARE(r.exit, kUsage);
        QCOMPARE(r.err, message);
        QVERIFY(r.out.isEmpty());

        Modsim sim;
        const Run f = run(QStringList{"write", "--force", "--json"} + settings + sim.target());
        QCOMPARE(f.exit, kOk);
        QCOMPARE(f.err.count(QStringLiteral("(written anyway: --force)")),
                 message.count(QStringLiteral("refused: ")));
        QCOMPARE(f.json().object().value("after").toObject(),
                 record(ip.toLatin1(), mask.toLatin1(), gateway.toLatin1()));
    }

    void slotsSim() {
        const Run r = run({"slots", "--driver", "sim", "--json"});
        QCOMPARE(r.exit, kOk);
        const QJsonArray a = r.json().array();
        QCOMPARE(a.size(), 6);
        const int types[6] = {1, 2, 3, 9, 5, 0};
        const char* names[6] = {"Oscilloscope", "Afg", "LAG", "Thermo", "Strain", "No"};
        for (int i = 0; i < 6; ++i) {
            const QJsonObject s = a[i].toObject();
            QCOMPARE(s.value("slot").toInt(), i + 1);
            QCOMPARE(s.value("type").toInt(), types[i]);
            QCOMPARE(s.value("name").toString(), QString::fromLatin1(names[i]));
            QCOMPARE(s.keys(), (QStringList{"name", "slot", "type"}));
        }
        const Run t = run({"slots", "--driver", "sim"});
        QCOMPARE(t.exit, kOk);
        QVERIFY(t.out.startsWith("Slot 1: Oscilloscope (type 1)\nSlot 2: Afg (type 2)\n"));
        QVERIFY(t.out.contains("Slot 6: No (type 0)\n"));
    }

    // Every hub with every slot's record in one pass: the hub's number and serial on each
    // slot, the record of each occupied slot, none for the empty one.
    void slotRecordsOfEveryHub() {
        const Run r = run({"slots", "--driver", "sim", "--hub", "all", "--records", "--json"});
        QCOMPARE(r.exit, kOk);
        const QJsonArray a = r.json().array();
        QCOMPARE(a.size(), 6);
        for (int i = 0; i < 6; ++i) {
            const QJsonObject s = a[i].toObject();
            QCOMPARE(s.value("hub").toInt(-1), 0);
            QVERIFY(!s.value("serial").toString().isEmpty());
            if (i < 5)
                QCOMPARE(s.value("ip").toString(), QStringLiteral("192.168.1.10%1").arg(i + 1));
            else
                QVERIFY(s.value("ip").isNull() && s.contains("ip"));
        }
    }

    // -v on the USB path shows the bytes on the hub's data channel.
    void verboseUsbTrace() {
        const Run r = run({"slots", "--driver", "sim", "-v"});
        QCOMPARE(r.exit, kOk);
        static const QRegularExpression sent(
            QStringLiteral("(^|\\n)> ([0-9A-F]{2} )*[0-9A-F]{2}\\n"));
        static const QRegularExpression got(
            QStringLiteral("(^|\\n)< ([0-9A-F]{2} )*[0-9A-F]{2}\\n"));
        QVERIFY2(r.err.contains(sent), qPrintable(r.err));
        QVERIFY(r.err.contains(got));
        QVERIFY(r.err.contains("driver: sim"));
        // Without -v nothing of the kind.
        const Run q = run({"slots", "--driver", "sim"});
        QVERIFY(!q.err.contains(sent));
    }

    void slotsDemo() {
        const Run r = run({"slots", "--demo"});
        QCOMPARE(r.exit, kOk);
        QVERIFY(r.out.contains("Slot 3: Thermo (type 9)"));
        QVERIFY(r.out.contains("Slot 4: Unknown (type 7)"));
    }

    void noHub() {
        // Hub 1 does not exist on the simulated driver, which lists one hub.
        const Run r = run({"slots", "--driver", "sim", "--hub", "1"});
        QCOMPARE(r.exit, kUnreachable);
        QVERIFY2(r.err.contains("no hub 1"), qPrintable(r.err));
    }

    void slotReadWrite() {
        const Run r = run({"read", "--demo", "--slot", "5", "--json"});
        QCOMPARE(r.exit, kOk);
        QCOMPARE(r.json().object(), record("192.168.1.105", "255.255.255.0", "192.168.1.1"));
        // Slot 2 holds a variant-2 module; written and verified within one run.
        const Run w = run({"write", "--demo", "--slot", "2", "--ip", "10.9.8.7", "--mask",
                           "255.255.255.0", "--gateway", "10.9.8.1", "--json"});
        QCOMPARE(w.exit, kOk);
        QCOMPARE(w.json().object().value("before").toObject(),
                 record("192.168.1.102", "255.255.255.0", "192.168.1.1"));
        QCOMPARE(w.json().object().value("after").toObject(),
                 record("10.9.8.7", "255.255.255.0", "10.9.8.1"));
        QCOMPARE(w.json().object().value("target").toString(), QStringLiteral("slot 2"));
        // The progress display is for terminals only.
        QVERIFY(!w.err.contains("bytes"));
    }

    // --driver libftdi on the emulated hub gives the bytes --driver sim (or --demo) gives.
    void libftdiLikeSim_data() {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("reference");
        const QString simHub = QStringLiteral("slots=1,2,3,9,5,0");
        const QStringList write{"write",  "--slot",      "3",         "--ip",     "10.3.2.1",
                                "--mask", "255.255.0.0", "--gateway", "10.3.0.1", "--json"};
        QTest::newRow("slots, demo hub by default") << QString() << QStringList{"slots", "--json"}
                                                    << QStringList{"slots", "--demo", "--json"};
        QTest::newRow("slots") << simHub << QStringList{"slots"}
                               << QStringList{"slots", "--driver", "sim"};
        QTest::newRow("read") << simHub << QStringList{"read", "--slot", "2", "--json"}
                              << QStringList{"read", "--slot", "2", "--json", "--driver", "sim"};
        QTest::newRow("read, 64-byte packets")
            << simHub + " packet=64" << QStringList{"read", "--slot", "5"}
            << QStringList{"read", "--slot", "5", "--driver", "sim"};
        QTest::newRow("write and read back")
            << simHub << write << write + QStringList{"--driver", "sim"};
        QTest::newRow("every slot's record")
            << simHub << QStringList{"slots", "--records", "--json"}
            << QStringList{"slots", "--records", "--json", "--driver", "sim"};
    }
    void libftdiLikeSim() {
        SKIP_WITHOUT_USB_EMULATION();
        QFETCH(QString, config);
        QFETCH(QStringList, args);
        QFETCH(QStringList, reference);
        const EmuRun e = runEmulated(config, args + QStringList{"--driver", "libftdi"});
        const Run r = run(reference);
        QCOMPARE(r.exit, kOk);
        QVERIFY2(e.exit == kOk, qPrintable(e.err));
        QCOMPARE(e.out, r.out);
        QVERIFY2(e.transcript.contains("bulk in 0x83 4096 -> "), qPrintable(e.transcript));
        QVERIFY(!e.transcript.contains("REJECTED"));
    }

    void autoChoosesLibftdiWithoutVendorLibrary() {
        SKIP_WITHOUT_USB_EMULATION();
        const EmuRun e = runEmulated(QString(), {"slots", "--driver", "auto", "-v"});
        QVERIFY2(e.exit == kOk, qPrintable(e.err));
        QVERIFY2(e.err.contains("driver: libftdi"), qPrintable(e.err));
        QCOMPARE(e.out, run({"slots", "--demo"}).out);
    }

    // The USB faults end with a clear message, each within its bound.
    void libftdiFaults_data() {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("mentions");
        QTest::addColumn<int>("boundMs");
        const QStringList read{"read", "--slot", "1", "--driver", "libftdi"};
        QTest::newRow("permission denied")
            << QStringLiteral("deny-open") << QStringList{"slots", "--driver", "libftdi"}
            << int(kUnreachable)
            << QStringLiteral("no permission to open it.*\\n.*60-vqx250-hub\\.rules") << 5000;
        QTest::newRow("unplugged mid-transfer")
            << QStringLiteral("unplug-after=20") << read << int(kDevice)
            << QStringLiteral("EEPROM read failed at address \\d+: .*disconnected") << 5000;
        // 10 transfers of 1000 ms each that move nothing: the stall bound (-20).
        QTest::newRow("IN endpoint silent")
            << QStringLiteral("silent-after=3") << read << int(kDevice)
            << QStringLiteral("stalled.*code -20") << 20000;
        QTest::newRow("OUT endpoint stalled")
            << QStringLiteral("stall-after=10") << read << int(kDevice)
            << QStringLiteral("stalled.*code -20") << 20000;
        // Each short transfer runs out its 1000 ms time-out; the rest follows.
        QTest::newRow("short writes completed")
            << QStringLiteral("short-writes=3 serial=VQXSHORT1")
            << QStringList{"write",     "--slot",    "1",        "--ip",     "10.0.0.9", "--mask",
                           "255.0.0.0", "--gateway", "10.0.0.1", "--driver", "libftdi"}
            << int(kOk) << QString() << 20000;
    }
    void libftdiFaults() {
        SKIP_WITHOUT_USB_EMULATION();
        QFETCH(QString, config);
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        QFETCH(QString, mentions);
        QFETCH(int, boundMs);
        QElapsedTimer clock;
        clock.start();
        const EmuRun e = runEmulated(config, args, boundMs + 10000);
        QVERIFY2(clock.elapsed() < boundMs, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(e.exit == exit, qPrintable(e.err));
        if (!mentions.isEmpty())
            QVERIFY2(e.err.contains(QRegularExpression(mentions)), qPrintable(e.err));
        QVERIFY(!e.transcript.contains("REJECTED"));
        if (exit == kOk) {
            QVERIFY2(e.out.contains("Verified"), e.out.constData());
            QCOMPARE(e.transcript.count("(short)"), 3);
        }
    }

    void emptySlotIsUnreachable() {
        const Run r = run({"read", "--driver", "sim", "--slot", "6"});
        QCOMPARE(r.exit, kUnreachable);
        QVERIFY2(r.err.contains("slot 6 of hub 0 holds no module"), qPrintable(r.err));
    }

    // Three modules and a hub slot; the second module's controller fails at address 10.
    void applyPlanWithOneFailure() {
        Modsim a;
        Modsim b({"--fail-at", "10"});
        Modsim c({"--variant", "2"});
        QTemporaryDir dir;
        const QString path = dir.filePath("plan.csv");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("host,port,slot,ip,mask,gateway\n");
        for (const Modsim* m : {&a, &b, &c})
            f.write(QStringLiteral("127.0.0.1,%1,,10.0.0.%2,255.255.255.0,10.0.0.1\n")
                        .arg(m->port())
                        .arg(m == &a   ? 21
                             : m == &b ? 22
                                       : 23)
                        .toLatin1());
        f.write(",,1,10.0.0.31,255.255.255.0,10.0.0.1\n");
        f.close();

        const Run r = run({"apply", path, "--demo", "--json"});
        QCOMPARE(r.exit, kPartial);
        const QJsonArray items = r.json().array();
        QCOMPARE(items.size(), 4);
        const QJsonObject ia = items[0].toObject();
        QCOMPARE(ia.value("target").toString(), QStringLiteral("127.0.0.1:%1").arg(a.port()));
        QCOMPARE(ia.value("host").toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(ia.value("port").toInt(), int(a.port()));
        QCOMPARE(ia.value("result").toString(), QStringLiteral("ok"));
        QCOMPARE(ia.value("before").toObject(),
                 record("192.168.1.20", "255.255.255.0", "192.168.1.1"));
        QCOMPARE(ia.value("after").toObject(), record("10.0.0.21", "255.255.255.0", "10.0.0.1"));
        QCOMPARE(ia.value("changes").toArray(), (QJsonArray{"ip", "gateway"}));
        const QJsonObject ib = items[1].toObject();
        QCOMPARE(ib.value("result").toString(), QStringLiteral("device error"));
        QCOMPARE(ib.value("exit").toInt(), kDevice);
        QCOMPARE(ib.value("code").toInt(), 100);
        QVERIFY(ib.value("error").toString().contains("EEPROM read failed at address 10"));
        QVERIFY(ib.value("before").isNull());
        QCOMPARE(ib.value("written").toBool(true), false);
        QCOMPARE(items[2].toObject().value("result").toString(), QStringLiteral("ok"));
        const QJsonObject is = items[3].toObject();
        QCOMPARE(is.value("slot").toInt(), 1);
        QCOMPARE(is.value("result").toString(), QStringLiteral("ok"));
        QCOMPARE(is.value("after").toObject(), record("10.0.0.31", "255.255.255.0", "10.0.0.1"));

        // The failing module did not stop the third one, which now holds its new record.
        const Run rc = run(QStringList{"read", "--json"} + c.target());
        QCOMPARE(rc.json().object(), record("10.0.0.23", "255.255.255.0", "10.0.0.1"));
        // Applying the same plan to the first module again finds nothing to change.
        const Run again = run({"apply", path, "--demo"});
        QCOMPARE(again.exit, kPartial);
        QVERIFY2(
            again.out.contains(QStringLiteral("127.0.0.1:%1: no change").arg(a.port()).toUtf8()),
            again.out.constData());
        QVERIFY(again.out.contains("result: unchanged"));
        QVERIFY(again.out.contains("3 of 4 module(s) succeeded."));
    }

    // With --demo a plan's hosts reach the demo module too, also when no row names a slot.
    void applyHostsUnderDemo() {
        // The demo module takes the first loopback address whose port 23100 is free.
        QString demoHost;
        for (int n = 1; n < 255 && demoHost.isEmpty(); ++n) {
            QTcpServer probe;
            if (probe.listen(QHostAddress(QStringLiteral("127.0.0.%1").arg(n)), 23100))
                demoHost = QStringLiteral("127.0.0.%1").arg(n);
        }
        QVERIFY(!demoHost.isEmpty());
        QTemporaryDir dir;
        const QString path =
            writePlan(dir, "plan.csv",
                      QStringLiteral("host,ip,mask,gateway\n%1,10.0.0.20,255.255.255.0,10.0.0.1\n")
                          .arg(demoHost)
                          .toLatin1());
        QVERIFY(!path.isEmpty());
        const Run r = run({"apply", path, "--demo", "--json", "-v", "--timeout", "2"});
        static const QRegularExpression served(QStringLiteral("demo: module at ([0-9.]+):23100"));
        const auto m = served.match(r.err);
        QVERIFY2(m.hasMatch(), qPrintable(r.err)); // the demo was started
        if (m.captured(1) != demoHost)
            QSKIP("another process took the loopback address meanwhile");
        QCOMPARE(r.exit, kOk);
        const QJsonObject o = r.json().array()[0].toObject();
        QCOMPARE(o.value("result").toString(), QStringLiteral("ok"));
        QCOMPARE(o.value("before").toObject(),
                 record("192.168.1.20", "255.255.255.0", "192.168.1.1"));
        QCOMPARE(o.value("after").toObject(), record("10.0.0.20", "255.255.255.0", "10.0.0.1"));
    }

    // A module that fails in the write phase does not stop the one after it.
    void applyWriteFailureThenGoodModule() {
        Modsim bad({"--ignore-writes"});
        Modsim good({"--variant", "2"});
        QVERIFY(bad.port() != 0 && good.port() != 0);
        QTemporaryDir dir;
        const QString path = writePlan(dir, "plan.json",
                                       QStringLiteral(R"([
                {"host": "127.0.0.1", "port": %1, "ip": "10.0.0.21", "mask": "255.255.255.0",
                 "gateway": "10.0.0.1"},
                {"host": "127.0.0.1", "port": %2, "ip": "10.0.0.22", "mask": "255.255.255.0",
                 "gateway": "10.0.0.1"}])")
                                           .arg(bad.port())
                                           .arg(good.port())
                                           .toLatin1());
        QVERIFY(!path.isEmpty());
        const Run r = run({"apply", path, "--json"});
        QCOMPARE(r.exit, kPartial);
        const QJsonArray items = r.json().array();
        QCOMPARE(items.size(), 2);
        const QJsonObject first = items[0].toObject();
        QCOMPARE(first.value("result").toString(), QStringLiteral("verification mismatch"));
        QCOMPARE(first.value("exit").toInt(), kMismatch);
        QCOMPARE(first.value("written").toBool(), true);
        QCOMPARE(first.value("bytesWritten").toInt(), 12);
        QCOMPARE(first.value("after").toObject(),
                 record("192.168.1.20", "255.255.255.0", "192.168.1.1"));
        const QJsonObject second = items[1].toObject();
        QCOMPARE(second.value("result").toString(), QStringLiteral("ok"));
        QCOMPARE(second.value("exit").toInt(), kOk);
        QCOMPARE(second.value("after").toObject(),
                 record("10.0.0.22", "255.255.255.0", "10.0.0.1"));
        // The second module holds its new record for any later connection.
        const Run back = run(QStringList{"read", "--json"} + good.target());
        QCOMPARE(back.json().object(), record("10.0.0.22", "255.255.255.0", "10.0.0.1"));
        QVERIFY2(
            r.err.contains(QStringLiteral("127.0.0.1:%1: verification failed").arg(bad.port())),
            qPrintable(r.err));
    }

    void applyJsonDryRun() {
        Modsim a;
        QTemporaryDir dir;
        const QString path = dir.filePath("plan.json");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral(R"({"modules": [{"host": "127.0.0.1", "port": %1,
            "ip": "10.0.0.21", "mask": "255.255.255.0", "gateway": "192.168.1.1"}]})")
                    .arg(a.port())
                    .toLatin1());
        f.close();
        // The gateway would be outside the new subnet: refused before anything is read.
        const Run refused = run({"apply", path});
        QCOMPARE(refused.exit, kUsage);
        QVERIFY2(refused.err.contains("gateway 192.168.1.1 is outside"), qPrintable(refused.err));
        QVERIFY(refused.out.isEmpty());

        const Run dry = run({"apply", path, "--dry-run", "--force"});
        QCOMPARE(dry.exit, kOk);
        QVERIFY2(dry.out.contains("ip 192.168.1.20 -> 10.0.0.21"), dry.out.constData());
        QVERIFY(!dry.out.contains("gateway 192.168.1.1 ->"));
        QVERIFY(dry.out.contains("nothing was written"));
        const Run r = run(QStringList{"read", "--json"} +
                          QStringList{"--host", "127.0.0.1", "--port", a.portText()});
        QCOMPARE(r.json().object().value("ip").toString(), QStringLiteral("192.168.1.20"));

        const Run forced = run({"apply", path, "--force", "--json"});
        QCOMPARE(forced.exit, kOk);
        QCOMPARE(forced.json().array()[0].toObject().value("after").toObject(),
                 record("10.0.0.21", "255.255.255.0", "192.168.1.1"));
    }

    void applyFromStdinWithMismatch() {
        Modsim a({"--ignore-writes"});
        QProcess p;
        p.start(tool(), {"apply", "-", "--json"});
        QVERIFY(p.waitForStarted());
        p.write(
            QStringLiteral("host,port,ip,mask,gateway\n127.0.0.1,%1,10.0.0.5,255.0.0.0,0.0.0.0\n")
                .arg(a.port())
                .toLatin1());
        p.closeWriteChannel();
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), int(kPartial));
        const QJsonObject o =
            QJsonDocument::fromJson(p.readAllStandardOutput()).array()[0].toObject();
        QCOMPARE(o.value("result").toString(), QStringLiteral("verification mismatch"));
        QCOMPARE(o.value("exit").toInt(), kMismatch);
    }

    // Two writers of one module, started from different environments (runtime and temporary
    // folders) and, when this test runs as root, as different users: they meet in the lock's
    // one place on the machine (not a test folder; left as found afterwards), so the second
    // waits for the first, reads the record the first wrote, and the module ends with the
    // second's record, whole. The module starts to answer only once both are under way: the
    // first has recorded itself in the lock file (and keeps trying to connect), the second
    // has said that it waits for the first.
    void writersOfOneModule_data() {
        QTest::addColumn<bool>("firstOther");
        QTest::addColumn<bool>("secondOther");
        QTest::newRow("one user, other environments") << false << false;
        QTest::newRow("the first as another user") << true << false;
        QTest::newRow("the second as another user") << false << true;
    }
    void writersOfOneModule() {
        QFETCH(bool, firstOther);
        QFETCH(bool, secondOther);
        const std::optional<OtherUser> other =
            firstOther || secondOther ? otherUser() : std::nullopt;
        if ((firstOther || secondOther) && !other)
            QSKIP("needs root, setpriv and a user nobody who can run the tool");
        const quint16 port = freePort();
        const QStringList target{"--host", "127.0.0.1", "--port", QString::number(port)};
        const QByteArray testLocks = qgetenv("VQX250_LOCK_DIR");
        qunsetenv("VQX250_LOCK_DIR");
        const QString lockFile =
            TargetLock::fileFor(QStringLiteral("module-127.0.0.1-%1").arg(port));
        qputenv("VQX250_LOCK_DIR", testLocks);
        QVERIFY2(!lockFile.startsWith(QString::fromLocal8Bit(testLocks)), qPrintable(lockFile));
        // Left as found: the lock file removed, and the folder too when this test made it.
        const QString folder = QFileInfo(lockFile).path();
        const bool folderExisted = QFileInfo::exists(folder);
        QFile::remove(lockFile);
        const auto cleanup = qScopeGuard([&] {
            QFile::remove(lockFile);
            if (!folderExisted)
                QDir().rmdir(folder);
        });

        QTemporaryDir a, b;
        const auto environment = [](const QTemporaryDir& d) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove(QStringLiteral("VQX250_LOCK_DIR"));
            for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "TEMP", "TMP"})
                env.insert(QLatin1String(name), QDir::toNativeSeparators(d.path()));
            return env;
        };
        const QStringList common = QStringList{"write", "--json", "--timeout", "60"} + target;
        QProcess first, second;
        startTool(first,
                  common + QStringList{"--ip", "10.0.0.7", "--mask", "255.255.255.0", "--gateway",
                                       "10.0.0.1"},
                  firstOther ? other : std::nullopt, environment(a));
        QVERIFY(first.waitForStarted(60000));
        const qint64 firstPid = first.processId();
        const QByteArray mark = "\npid=" + QByteArray::number(firstPid) + "\n";
        QByteArray seen;
        QDeadlineTimer deadline(30000);
        while (!seen.contains(mark) && !deadline.hasExpired() &&
               first.state() != QProcess::NotRunning) {
            first.waitForFinished(10);
            QFile f(lockFile);
            if (f.open(QIODevice::ReadOnly))
                seen = f.readAll();
        }
        QVERIFY2(seen.contains(mark), seen.constData());
        startTool(second,
                  common + QStringList{"--ip", "172.16.5.9", "--mask", "255.255.0.0", "--gateway",
                                       "172.16.0.1"},
                  secondOther ? other : std::nullopt, environment(b));
        QVERIFY(second.waitForStarted(60000));
        const QString waiting =
            QStringLiteral("vqx250-ipconfig: 127.0.0.1:%1 is being written by %2; waiting up to "
                           "60 s (--timeout)\n")
                .arg(port)
                .arg(holderText(firstPid, tool(),
                                firstOther ? other->name : TargetLock::userName()));
        QString err2;
        while (!err2.contains(waiting) && !deadline.hasExpired() &&
               second.state() != QProcess::NotRunning) {
            second.waitForReadyRead(50);
            err2 += QString::fromUtf8(second.readAllStandardError());
            err2.replace(QStringLiteral("\r\n"), QStringLiteral("\n")); // lines as on Windows
        }
        QVERIFY2(err2.contains(waiting), qPrintable(err2));

        Modsim sim({"--variant", "2"}, port);
        QCOMPARE(sim.port(), port);
        QVERIFY(first.waitForFinished(60000) && second.waitForFinished(60000));
        const QString err1 = QString::fromUtf8(first.readAllStandardError());
        err2 += QString::fromUtf8(second.readAllStandardError());
        QVERIFY2(first.exitStatus() == QProcess::NormalExit && first.exitCode() == kOk,
                 qPrintable(err1));
        QVERIFY2(second.exitStatus() == QProcess::NormalExit && second.exitCode() == kOk,
                 qPrintable(err2));
        const QJsonObject o1 = QJsonDocument::fromJson(first.readAllStandardOutput()).object();
        const QJsonObject o2 = QJsonDocument::fromJson(second.readAllStandardOutput()).object();
        QCOMPARE(o1.value("before").toObject(),
                 record("192.168.1.20", "255.255.255.0", "192.168.1.1"));
        QCOMPARE(o1.value("after").toObject(), record("10.0.0.7", "255.255.255.0", "10.0.0.1"));
        QCOMPARE(o2.value("before").toObject(), record("10.0.0.7", "255.255.255.0", "10.0.0.1"));
        QCOMPARE(o2.value("after").toObject(), record("172.16.5.9", "255.255.0.0", "172.16.0.1"));
        QCOMPARE(o2.value("verified").toBool(), true);
        const Run r = run(QStringList{"read", "--json"} + sim.target());
        QCOMPARE(r.json().object(), record("172.16.5.9", "255.255.0.0", "172.16.0.1"));
        // Let go: the lock file is left empty.
        QFile f(lockFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray());
    }

#ifdef Q_OS_LINUX
    // Whatever is at a lock's place that is not such a lock stops the write at once, with a
    // message naming the path and its owner: nothing is written, and nothing waits (the
    // --timeout is long). Some rows run the tool as another user (root only).
    void lockPlaceNotOurs_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("asOther");
        QTest::newRow("junk file") << "junk" << false;
        QTest::newRow("symbolic link") << "link" << false;
        QTest::newRow("folder at the file's place") << "folder" << false;
        QTest::newRow("lock folder is a file") << "not a folder" << false;
        QTest::newRow("another user's file") << "foreign file" << true;
        QTest::newRow("folder another user may not write") << "closed folder" << true;
    }
    void lockPlaceNotOurs() {
        QFETCH(QString, kind);
        QFETCH(bool, asOther);
        const std::optional<OtherUser> other = asOther ? otherUser() : std::nullopt;
        if (asOther && !other)
            QSKIP("needs root, setpriv and a user nobody who can run the tool");
        Modsim sim;
        QVERIFY(sim.port() != 0);
        QTemporaryDir tmp;
        QVERIFY(QFile::setPermissions(tmp.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                      QFile::ExeOwner | QFile::ReadOther |
                                                      QFile::ExeOther));
        QString locks = tmp.filePath("locks");
        const QString file = QStringLiteral("%1/vqx250-ipconfig-module-127.0.0.1-%2.lock")
                                 .arg(locks)
                                 .arg(sim.port());
        const QString self = TargetLock::userName();
        QVERIFY(QDir().mkdir(locks));
        QVERIFY(::chmod(QFile::encodeName(locks).constData(),
                        kind == "closed folder" ? 0755 : 01777) == 0);
        const QByteArray junk = "\x1b[2J not a lock\n";
        QString problem;
        if (kind == "junk" || kind == "foreign file") {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(junk), junk.size());
            f.close();
            QVERIFY(::chmod(QFile::encodeName(file).constData(), 0644) == 0);
            problem =
                kind == "junk"
                    ? QStringLiteral("%1 (owned by %2) holds something other than a write lock")
                          .arg(file, self)
                    : QStringLiteral("%1 (owned by %2) may not be written by user nobody")
                          .arg(file, self);
        } else if (kind == "link") {
            QVERIFY(QFile::link(tmp.filePath("elsewhere"), file));
            problem = QStringLiteral("%1 (owned by %2) is a symbolic link, not a write lock")
                          .arg(file, self);
        } else if (kind == "folder") {
            QVERIFY(QDir().mkdir(file));
            problem =
                QStringLiteral("%1 (owned by %2) is a folder, not a write lock").arg(file, self);
        } else if (kind == "not a folder") {
            locks = tmp.filePath("plain");
            QFile f(locks);
            QVERIFY(f.open(QIODevice::WriteOnly));
            problem = QStringLiteral("%1 (owned by %2) is not a folder").arg(locks, self);
        } else {
            problem = QStringLiteral("%1 (owned by %2) does not let user nobody make files in it")
                          .arg(locks, self);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VQX250_LOCK_DIR"), locks);
        QProcess p;
        startTool(p,
                  QStringList{"write", "--ip", "10.0.0.7", "--mask", "255.255.255.0", "--gateway",
                              "10.0.0.1", "--timeout", "60"} +
                      sim.target(),
                  other, env);
        QVERIFY(p.waitForFinished(20000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(err, QStringLiteral("vqx250-ipconfig: 127.0.0.1:%1: the write lock cannot be "
                                     "taken: %2; nothing was written\n")
                          .arg(sim.port())
                          .arg(problem));
        QVERIFY(!QFileInfo::exists(tmp.filePath("elsewhere")));
        if (kind == "junk" || kind == "foreign file") {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), junk);
        }
        const Run r = run(QStringList{"read", "--json"} + sim.target());
        QCOMPARE(r.json().object(), record("192.168.1.20", "255.255.255.0", "192.168.1.1"));
    }
#endif

#ifndef Q_OS_WIN
    // Ctrl-C while a write (or a plan's write step) waits for the module's write lock ends
    // the wait at once (the --timeout is long): status 130, the module "interrupted", and its
    // record untouched.
    void lockWaitInterrupted_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("write") << QStringLiteral("write");
        QTest::newRow("apply") << QStringLiteral("apply");
    }
    void lockWaitInterrupted() {
        QFETCH(QString, command);
        Modsim sim;
        QVERIFY(sim.port() != 0);
        QTemporaryDir locks;
        const QByteArray saved = qgetenv("VQX250_LOCK_DIR");
        qputenv("VQX250_LOCK_DIR", locks.path().toLocal8Bit());
        const auto restore = qScopeGuard([&] { qputenv("VQX250_LOCK_DIR", saved); });
        auto held =
            std::make_unique<TargetLock>(QStringLiteral("module-127.0.0.1-%1").arg(sim.port()));
        QCOMPARE(held->acquire(0), TargetLock::Result::Taken);
        QTemporaryDir dir;
        const QStringList args =
            command == QLatin1String("apply")
                ? QStringList{"apply",
                              writePlan(dir, "plan.csv",
                                        QStringLiteral("host,port,ip,mask,gateway\n127.0.0.1,%1,"
                                                       "10.0.0.7,255.255.255.0,10.0.0.1\n")
                                            .arg(sim.port())
                                            .toLatin1()),
                              "--json", "--timeout", "60"}
                : QStringList{"write",         "--json",    "--ip",     "10.0.0.7",  "--mask",
                              "255.255.255.0", "--gateway", "10.0.0.1", "--timeout", "60"} +
                      sim.target();
        QProcess p;
        p.start(tool(), args);
        QVERIFY(p.waitForStarted(60000));
        const QString name = QStringLiteral("127.0.0.1:%1").arg(sim.port());
        const QString waiting =
            QStringLiteral("vqx250-ipconfig: %1 is being written by %2; waiting up to 60 s "
                           "(--timeout)\n")
                .arg(name,
                     holderText(QCoreApplication::applicationPid(),
                                QCoreApplication::applicationFilePath(), TargetLock::userName()));
        QString err;
        QDeadlineTimer deadline(20000);
        while (!err.contains(waiting) && !deadline.hasExpired() &&
               p.state() != QProcess::NotRunning) {
            p.waitForReadyRead(50);
            err += QString::fromUtf8(p.readAllStandardError());
        }
        QVERIFY2(err.contains(waiting), qPrintable(err));
        ::kill(static_cast<pid_t>(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(10000));
        err += QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 130, qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("vqx250-ipconfig: %1: interrupted while waiting for "
                                             "the write lock; nothing was written\n")
                                  .arg(name)),
                 qPrintable(err));
        const QJsonDocument out = QJsonDocument::fromJson(p.readAllStandardOutput());
        if (command == QLatin1String("apply")) {
            const QJsonObject item = out.array().at(0).toObject();
            QCOMPARE(item.value("result").toString(), QStringLiteral("interrupted"));
            QCOMPARE(item.value("written").toBool(true), false);
        } else {
            QCOMPARE(out.object().value("exit").toInt(), 130);
        }
        held.reset();
        const Run r = run(QStringList{"read", "--json"} + sim.target());
        QCOMPARE(r.json().object(), record("192.168.1.20", "255.255.255.0", "192.168.1.1"));
    }
#endif

#ifndef Q_OS_WIN
    // A plan of 2,000 modules, all served by this process, applied with --jobs 32 by a tool
    // that may open only 256 files: every module is written, since a module holds a
    // connection only while its phase runs. The arp step runs a program that does nothing
    // (first on PATH), so that the test measures the engine and not 4,000 arp runs.
    void largePlanUnderLowFileLimit() {
        constexpr int kModules = 2000;
        rlimit limit{};
        QVERIFY(getrlimit(RLIMIT_NOFILE, &limit) == 0);
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 2 * kModules + 64)
            QSKIP("this process may not open enough files to serve the modules");
        const rlimit saved = limit;
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 2 * kModules + 64 : limit.rlim_max;
        QVERIFY(setrlimit(RLIMIT_NOFILE, &limit) == 0);
        std::vector<std::unique_ptr<vqx::sim::ModuleServer>> servers;
        QByteArray plan = "host,ip,mask,gateway\n";
        for (int i = 0; i < kModules; ++i) {
            const std::uint32_t address = 0x7F4F0001u + std::uint32_t(i); // 127.79.0.1 up
            auto model = std::make_shared<vqx::sim::ModuleModel>(
                i % 2 ? vqx::sim::ModuleModel::Variant::V2 : vqx::sim::ModuleModel::Variant::V1);
            servers.push_back(std::make_unique<vqx::sim::ModuleServer>(model));
            QVERIFY(servers.back()->listen(QHostAddress(address), 23100));
            plan += vqx::formatAddress(address).toLatin1() + ",10.1." +
                    QByteArray::number((i + 2) / 256) + "." + QByteArray::number((i + 2) % 256) +
                    ",255.255.0.0,10.1.0.1\n";
        }
        QTemporaryDir dir;
        QVERIFY(QFile::link("/bin/true", dir.filePath("arp")));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", dir.path() + ":" + env.value("PATH"));
        p.setProcessEnvironment(env);
        p.setChildProcessModifier([] {
            rlimit l{};
            getrlimit(RLIMIT_NOFILE, &l);
            l.rlim_cur = 256;
            setrlimit(RLIMIT_NOFILE, &l);
        });
        QByteArray out;
        QObject::connect(&p, &QProcess::readyReadStandardOutput,
                         [&] { out += p.readAllStandardOutput(); });
        QEventLoop loop; // this thread serves the modules meanwhile
        QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(400000, &loop, &QEventLoop::quit);
        p.start(tool(), {"apply", writePlan(dir, "plan.csv", plan), "--jobs", "32", "--json"});
        loop.exec();
        setrlimit(RLIMIT_NOFILE, &saved);
        QCOMPARE(p.state(), QProcess::NotRunning);
        out += p.readAllStandardOutput();
        QVERIFY2(p.exitCode() == kOk, p.readAllStandardError().right(600).constData());
        const QJsonArray items = QJsonDocument::fromJson(out).array();
        QCOMPARE(items.size(), kModules);
        int notOk = 0;
        for (const QJsonValue& v : items)
            notOk += v.toObject().value("result").toString() != QLatin1String("ok");
        QCOMPARE(notOk, 0);
        int holding = 0;
        for (std::size_t i = 0; i < servers.size(); ++i) {
            const auto held = vqx::NetworkRecord::fromBytes(servers[i]->model().record());
            holding += held.ip == 0x0A010000u + std::uint32_t(i + 2) && held.mask == 0xFFFF0000u &&
                       held.gateway == 0x0A010001u;
        }
        QCOMPARE(holding, kModules);
    }

    // When even the hard limit of open files is too low for --jobs, the tool says so and
    // which --jobs fits, before any module is contacted; a limit it may raise, it raises.
    void jobsBeyondFileLimit_data() {
        QTest::addColumn<int>("hardLimit");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("said");
        QTest::newRow("too low") << 200 << int(kUsage)
                                 << QStringLiteral(
                                        "vqx250-ipconfig: --jobs 64 needs up to 288 open "
                                        "files, but this process may open only 200 "
                                        "(ulimit -n; hard limit 200): use --jobs 42 or "
                                        "less, or raise the limit\n");
        QTest::newRow("raised") << 300 << int(kPartial) << QString();
    }
    void jobsBeyondFileLimit() {
        QFETCH(int, hardLimit);
        QFETCH(int, exit);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const quint16 port = freePort(); // nothing listens: the module is unreachable
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setChildProcessModifier([hardLimit] {
            const rlimit l{100, static_cast<rlim_t>(hardLimit)};
            setrlimit(RLIMIT_NOFILE, &l);
        });
        p.start(tool(), {"apply",
                         writePlan(dir, "plan.csv",
                                   "host,port,ip,mask,gateway\n127.0.0.1," +
                                       QByteArray::number(port) + ",10.0.0.5,255.0.0.0,0.0.0.0\n"),
                         "--jobs", "64", "--timeout", "0.2"});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), exit);
        const QString err = QString::fromUtf8(p.readAll());
        if (!said.isEmpty())
            QCOMPARE(err, said);
        else
            QVERIFY2(err.contains("unreachable") && !err.contains("open files"), qPrintable(err));
    }

    // A second Ctrl-C while records are being written ends the tool at once, naming every
    // module whose record may be half written. The modules' EEPROM writes never finish (the
    // tool would give up on each after 3 s), so a tool that waited for the transfers in
    // flight would print its report and no such names.
    // It names every module that may be half written: the writes in flight,
    // and (--jobs 1) a module whose write failed earlier after its first command went out,
    // whose failure was on stderr the moment it happened.
    void secondInterruptEndsAtOnce_data() {
        QTest::addColumn<int>("modules");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("jobs");
        QTest::newRow("apply --jobs 2") << 2 << QStringLiteral("apply") << QStringLiteral("2");
        QTest::newRow("apply --jobs 1, a failure before")
            << 2 << QStringLiteral("apply") << QStringLiteral("1");
        QTest::newRow("write") << 1 << QStringLiteral("write") << QString();
    }
    void secondInterruptEndsAtOnce() {
        QFETCH(int, modules);
        QFETCH(QString, command);
        QFETCH(QString, jobs);
        const int writesBeforeSignal = modules; // the signal comes when each write has begun
        std::vector<std::unique_ptr<Modsim>> sims;
        QStringList names;
        QByteArray plan = "host,port,ip,mask,gateway\n";
        for (int i = 0; i < modules; ++i) {
            sims.push_back(std::make_unique<Modsim>(
                QStringList{"--variant", "2", "--write-busy-polls", "1000000000"}));
            QVERIFY(sims.back()->port() != 0);
            names << QStringLiteral("127.0.0.1:%1").arg(sims.back()->port());
            plan += QStringLiteral("127.0.0.1,%1,10.0.0.%2,255.255.255.0,10.0.0.1\n")
                        .arg(sims.back()->port())
                        .arg(i + 10)
                        .toLatin1();
        }
        QTemporaryDir dir;
        const QStringList args =
            command == QLatin1String("apply")
                ? QStringList{"apply", writePlan(dir, "plan.csv", plan), "--jobs", jobs, "-v"}
                : QStringList{"write",         "-v",        "--ip",    "10.0.0.10", "--mask",
                              "255.255.255.0", "--gateway", "10.0.0.1"} +
                      sims.front()->target();
        // -v shows each request, thousands of status polls a second: into a file, so that
        // the tool never waits for this test to read them.
        QFile errFile(dir.filePath("stderr"));
        QProcess p;
        p.setStandardErrorFile(errFile.fileName());
        p.start(tool(), args);
        QVERIFY(p.waitForStarted(60000));
        QVERIFY(errFile.open(QIODevice::ReadOnly));
        // The EEPROM write command of the record's first byte.
        const QByteArray firstWrite = "> 8D 01 0C 00 00 04";
        QByteArray err;
        QDeadlineTimer deadline(20000);
        while (err.count(firstWrite) < writesBeforeSignal && !deadline.hasExpired() &&
               p.state() != QProcess::NotRunning) {
            p.waitForFinished(20);
            err += errFile.readAll();
        }
        QVERIFY2(err.count(firstWrite) == writesBeforeSignal, err.right(400).constData());
        if (jobs == QLatin1String("1")) // the first module's write failed, and said so at once
            QVERIFY2(err.contains(names.front().toUtf8() + ": EEPROM write failed at address 6"),
                     err.right(400).constData());
        // Two signals sent together could merge into one: a signal at a time until it ends.
        for (int i = 0; i < 50 && p.state() != QProcess::NotRunning; ++i) {
            ::kill(static_cast<pid_t>(p.processId()), SIGINT);
            p.waitForFinished(100);
        }
        QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(20000));
        err += errFile.readAll();
        const QByteArray out = p.readAllStandardOutput();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 130,
                 qPrintable(QStringLiteral("exit %1 (%2); %3")
                                .arg(p.exitCode())
                                .arg(p.exitStatus() == QProcess::NormalExit ? "normal" : "crash")
                                .arg(QString::fromUtf8(err.right(400)))));
        const QString said = QString::fromUtf8(err);
        QVERIFY2(said.contains(modules > 1 ? "these modules may be half written: " +
                                                 names.join(QStringLiteral(", "))
                                           : names.front() + " may be half written"),
                 qPrintable(said.right(600)));
        QVERIFY2(!out.contains("succeeded") && !out.contains("Verified"), out.constData());
    }
#endif
};

QTEST_GUILESS_MAIN(TestCliEndToEnd)
#include "tst_cli_e2e.moc"
