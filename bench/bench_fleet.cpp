// Fleet provisioning against many simulated modules served by this one process, each on a
// loopback address of its own (127.77.x.y and 127.78.x.y, port 23100):
//   1. vqx250-ipconfig apply of a plan of N modules with --jobs 1, then with --jobs 32
//      (goal: at least 40 times faster);
//   2. vqx250-ipconfig scan of a /22 (1024 addresses) where 100 modules answer
//      (goal: under 2 s);
//   3. with --large: a plan of 10,000 modules (or the number given), apply --dry-run and apply
//      with --jobs 64, the tool run under the usual limit of 1,024 open files (goals: no
//      failure, a peak under 64 MB of memory and of at most 4 x jobs + 32 open descriptors).
// The tool runs as its own process, sampled every 10 ms for its open descriptors and its peak
// memory (/proc); this process serves the modules meanwhile (raising its own open-file limit
// for them) and checks that every module took its planned record and that the scan found
// exactly the modules.
//
//   bench_fleet [modules]             (default 200)
//   bench_fleet --large [modules]     (default 10000)
//   bench_fleet --serve [modules]     only serve the plan's modules and print the plan's path,
//                                     for running the tool by hand (under perf, strace...)
//   VQX_BENCH_TOOL=path bench_fleet   measures another build of the tool (an older one, say)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

#include "ModuleModel.h"
#include "ModuleServer.h"
#include "NetworkRecord.h"

namespace {

using Clock = std::chrono::steady_clock;
using vqx::sim::ModuleModel;
using vqx::sim::ModuleServer;

const vqx::NetworkRecord kFactory{0xC0A80101, 0xFFFFFF00, 0xC0A80114};

struct Served {
    std::uint32_t address;
    std::unique_ptr<ModuleServer> server;
};

bool serve(std::vector<Served>& out, std::uint32_t address, int variant) {
    auto model = std::make_shared<ModuleModel>(variant == 2 ? ModuleModel::Variant::V2
                                                            : ModuleModel::Variant::V1);
    model->setRecord(kFactory.toBytes());
    auto server = std::make_unique<ModuleServer>(model);
    if (!server->listen(QHostAddress(address), vqx::kModulePort)) {
        std::fprintf(stderr, "cannot listen on %s:%d\n", qPrintable(vqx::formatAddress(address)),
                     vqx::kModulePort);
        return false;
    }
    out.push_back({address, std::move(server)});
    return true;
}

struct ToolRun {
    double seconds = -1; ///< -1: the tool failed
    qint64 peakKiB = 0;  ///< its peak resident memory
    int peakFiles = 0;   ///< the most descriptors it held at a sample
};

/// The peak resident memory (VmHWM) of a running process, in KiB; 0 when unknown.
qint64 peakMemory(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

int openFiles(qint64 pid) {
    return static_cast<int>(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                                .size());
}

/// Runs the tool while this thread keeps serving, under `fileLimit` open files when given.
ToolRun runTool(const QString& tool, const QStringList& args, QByteArray* out = nullptr,
                int fileLimit = 0) {
    ToolRun result;
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
#ifdef Q_OS_UNIX
    if (fileLimit > 0)
        p.setChildProcessModifier([fileLimit] {
            rlimit l{};
            getrlimit(RLIMIT_NOFILE, &l);
            l.rlim_cur = static_cast<rlim_t>(fileLimit);
            setrlimit(RLIMIT_NOFILE, &l);
        });
#else
    Q_UNUSED(fileLimit); // Windows has no such limit to set
#endif
    QByteArray stdoutText;
    QObject::connect(&p, &QProcess::readyReadStandardOutput,
                     [&] { stdoutText += p.readAllStandardOutput(); });
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&p, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (const qint64 pid = p.processId(); pid > 0) {
            result.peakKiB = std::max(result.peakKiB, peakMemory(pid));
            result.peakFiles = std::max(result.peakFiles, openFiles(pid));
        }
    });
    const auto start = Clock::now();
    p.start(tool, args);
    sampler.start(10);
    loop.exec();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stdoutText += p.readAllStandardOutput();
    if (out)
        *out = stdoutText;
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s %s: exit %d\n%s\n", qPrintable(tool),
                     qPrintable(args.join(QLatin1Char(' '))), p.exitCode(),
                     p.readAllStandardError().right(4000).constData());
        result.seconds = -1;
    }
    return result;
}

/// Lets this process serve as many modules as its hard limit allows.
void raiseOwnFileLimit() {
#ifdef Q_OS_UNIX
    rlimit l{};
    if (getrlimit(RLIMIT_NOFILE, &l) == 0 && l.rlim_cur < l.rlim_max) {
        l.rlim_cur = l.rlim_max;
        setrlimit(RLIMIT_NOFILE, &l);
    }
#endif
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const bool serveOnly = argc > 1 && std::strcmp(argv[1], "--serve") == 0;
    const bool large = argc > 1 && std::strcmp(argv[1], "--large") == 0;
    const int argModules = serveOnly || large ? 2 : 1;
    const int modules = argc > argModules ? std::atoi(argv[argModules]) : large ? 10000 : 200;
    if (modules < 1 || modules > 65000) {
        std::fprintf(stderr, "usage: bench_fleet [--serve|--large] [modules 1..65000]\n");
        return 2;
    }
    const QString tool = qEnvironmentVariableIsSet("VQX_BENCH_TOOL")
                             ? qEnvironmentVariable("VQX_BENCH_TOOL")
                             : QStringLiteral(VQX_IPCONFIG_PATH);
    raiseOwnFileLimit();

    // The plan's modules: 127.77.0.1 upwards, both controller variants.
    std::vector<Served> fleet;
    fleet.reserve(static_cast<std::size_t>(modules));
    QTemporaryDir dir;
    QByteArray plan = "host,ip,mask,gateway\n";
    for (int i = 0; i < modules; ++i) {
        const std::uint32_t address = 0x7F4D0001u + static_cast<std::uint32_t>(i);
        if (!serve(fleet, address, i % 2 ? 2 : 1))
            return 1;
        plan += QStringLiteral("%1,10.1.%2.%3,255.255.0.0,10.1.0.1\n")
                    .arg(vqx::formatAddress(address))
                    .arg((i + 2) / 250)
                    .arg((i + 2) % 250 + 2)
                    .toLatin1();
    }
    const QString planPath = dir.filePath(QStringLiteral("fleet.csv"));
    {
        QFile f(planPath);
        if (!f.open(QIODevice::WriteOnly) || f.write(plan) != plan.size())
            return 1;
    }
    const auto check = [&] {
        int good = 0;
        for (const Served& s : fleet)
            good += vqx::NetworkRecord::fromBytes(s.server->model().record()) != kFactory;
        return good;
    };
    const auto reset = [&] {
        for (Served& s : fleet)
            s.server->model().setRecord(kFactory.toBytes());
    };

    if (serveOnly) {
        std::printf("%s\n", qPrintable(planPath));
        std::fflush(stdout);
        return app.exec();
    }

    if (large) {
        constexpr int kJobs = 64;
        constexpr int kFileLimit = 1024;
        std::printf("large plan: %d modules, --jobs %d, the tool under %d open files\n", modules,
                    kJobs, kFileLimit);
        bool good = true;
        for (const bool dryRun : {true, false}) {
            reset();
            QStringList args{QStringLiteral("apply"), planPath, QStringLiteral("--jobs"),
                             QString::number(kJobs), QStringLiteral("--json")};
            if (dryRun)
                args << QStringLiteral("--dry-run");
            QByteArray out;
            const ToolRun r = runTool(tool, args, &out, kFileLimit);
            int failed = 0;
            for (const QJsonValue& v : QJsonDocument::fromJson(out).array()) {
                const QString result = v.toObject().value(QStringLiteral("result")).toString();
                failed +=
                    result != (dryRun ? QStringLiteral("would change") : QStringLiteral("ok"));
            }
            const int written = check();
            const bool ok = r.seconds > 0 && failed == 0 && written == (dryRun ? 0 : modules) &&
                            r.peakKiB < 64 * 1024 && r.peakFiles <= 4 * kJobs + 32;
            good = good && ok;
            std::printf("  %-10s %8.2f s  %7.0f modules/s  peak %6.1f MB  peak %4d open files  "
                        "%d failed  %d written%s\n",
                        dryRun ? "--dry-run" : "apply", r.seconds,
                        r.seconds > 0 ? modules / r.seconds : 0.0,
                        static_cast<double>(r.peakKiB) / 1024.0, r.peakFiles, failed, written,
                        ok ? "" : "  -- GOAL MISSED");
        }
        std::printf("  goals: no failure, peak under 64 MB, at most %d open files\n",
                    4 * kJobs + 32);
        return good ? 0 : 1;
    }

    std::printf("apply of %d modules (one process serving them on 127.77.x.y)\n", modules);
    double serial = 0, parallel = 0;
    for (int jobs : {1, 32}) {
        reset();
        const ToolRun r = runTool(tool, {QStringLiteral("apply"), planPath,
                                         QStringLiteral("--jobs"), QString::number(jobs)});
        if (r.seconds < 0)
            return 1;
        const int written = check();
        std::printf("  --jobs %-3d %8.2f s  %6.1f ms/module  %d of %d written  peak %.1f MB, "
                    "%d open files\n",
                    jobs, r.seconds, 1000 * r.seconds / modules, written, modules,
                    static_cast<double>(r.peakKiB) / 1024.0, r.peakFiles);
        if (written != modules)
            return 1;
        (jobs == 1 ? serial : parallel) = r.seconds;
    }
    std::printf("  speed-up   %8.1fx (goal: at least 40x)\n", serial / parallel);

    // The scan: 100 modules spread over 127.78.4.0/22.
    std::vector<Served> found;
    std::set<QString> expected;
    for (int i = 0; i < 100; ++i) {
        const std::uint32_t address = 0x7F4E0400u + static_cast<std::uint32_t>(i * 10 + 3);
        if (!serve(found, address, i % 2 ? 2 : 1))
            return 1;
        expected.insert(vqx::formatAddress(address));
    }
    QByteArray out;
    const ToolRun r = runTool(
        tool, {QStringLiteral("scan"), QStringLiteral("127.78.4.0/22"), QStringLiteral("--json")},
        &out);
    if (r.seconds < 0)
        return 1;
    std::set<QString> seen;
    for (const QJsonValue& v : QJsonDocument::fromJson(out).array())
        seen.insert(v.toObject().value(QStringLiteral("address")).toString());
    std::printf("scan of 127.78.4.0/22 (1024 addresses, 100 modules): %.2f s, %zu found%s "
                "(goal: under 2 s)\n",
                r.seconds, seen.size(), seen == expected ? "" : " -- NOT the served modules");
    return seen == expected ? 0 : 1;
}
