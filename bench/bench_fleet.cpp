// Fleet provisioning against many simulated modules served by this one process, each on a
// loopback address of its own (127.77.x.y and 127.78.x.y, port 23100):
//   1. vqx250-ipconfig apply of a plan of N modules with --jobs 1, then with --jobs 32
//      (goal: at least 15 times faster);
//   2. vqx250-ipconfig scan of a /22 (1024 addresses) where 100 modules answer
//      (goal: under 2 s).
// The tool runs as its own process; this process serves the modules meanwhile and checks
// that every module took its planned record and that the scan found exactly the modules.
//
//   bench_fleet [modules]           (default 200)
//   bench_fleet --serve [modules]   only serve the plan's modules and print the plan's path,
//                                   for running the tool by hand (under perf, strace...)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

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

/// Runs the tool while this thread keeps serving; returns seconds, or -1 on failure.
double runTool(const QString& tool, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&p, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    const auto start = Clock::now();
    p.start(tool, args);
    loop.exec();
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (out)
        *out = p.readAllStandardOutput();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s %s: exit %d\n%s\n", qPrintable(tool),
                     qPrintable(args.join(QLatin1Char(' '))), p.exitCode(),
                     p.readAllStandardError().constData());
        return -1;
    }
    return s;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const bool serveOnly = argc > 1 && std::strcmp(argv[1], "--serve") == 0;
    const int argModules = serveOnly ? 2 : 1;
    const int modules = argc > argModules ? std::atoi(argv[argModules]) : 200;
    if (modules < 1 || modules > 65000) {
        std::fprintf(stderr, "usage: bench_fleet [--serve] [modules 1..65000]\n");
        return 2;
    }
    const QString tool = QStringLiteral(VQX_IPCONFIG_PATH);

    // The plan's modules: 127.77.0.1 upwards, both controller variants.
    std::vector<Served> fleet;
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

    std::printf("apply of %d modules (one process serving them on 127.77.x.y)\n", modules);
    double serial = 0, parallel = 0;
    for (int jobs : {1, 32}) {
        reset();
        const double s = runTool(tool, {QStringLiteral("apply"), planPath, QStringLiteral("--jobs"),
                                        QString::number(jobs)});
        if (s < 0)
            return 1;
        const int written = check();
        std::printf("  --jobs %-3d %8.2f s  %6.1f ms/module  %d of %d written\n", jobs, s,
                    1000 * s / modules, written, modules);
        if (written != modules)
            return 1;
        (jobs == 1 ? serial : parallel) = s;
    }
    std::printf("  speed-up   %8.1fx (goal: at least 15x)\n", serial / parallel);

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
    const double s = runTool(
        tool, {QStringLiteral("scan"), QStringLiteral("127.78.4.0/22"), QStringLiteral("--json")},
        &out);
    if (s < 0)
        return 1;
    std::set<QString> seen;
    for (const QJsonValue& v : QJsonDocument::fromJson(out).array())
        seen.insert(v.toObject().value(QStringLiteral("address")).toString());
    std::printf("scan of 127.78.4.0/22 (1024 addresses, 100 modules): %.2f s, %zu found%s "
                "(goal: under 2 s)\n",
                s, seen.size(), seen == expected ? "" : " -- NOT the served modules");
    return seen == expected ? 0 : 1;
}
