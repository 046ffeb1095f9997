// Time and peak memory of reading plans (readPlan) at the bounds: the largest CSV and JSON
// plans, plans of a million modules, and refused plans built to make the parser hold as
// much as it can. Each case runs in a process of its own (this program again, with
// --case), which writes its plan to a temporary file a chunk at a time, then loads it; the
// peak resident set is measured before and after the load.
//
//   bench_plan              every case, one line each
//   bench_plan --case NAME  one case

#include <cstdio>
#include <functional>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

#include "NetworkRecord.h"
#include "Plan.h"

namespace {

using vqx::provision::kMaxPlanBytes;
using vqx::provision::kMaxPlanModules;
using vqx::provision::PlanLimits;

/// The peak resident set of this process so far, in MiB; -1 where it is not measured.
double peakMiB() {
#if defined(Q_OS_MACOS)
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_maxrss) / (1024.0 * 1024.0); // bytes
#elif defined(Q_OS_UNIX)
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_maxrss) / 1024.0; // KiB
#else
    return -1;
#endif
}

/// A plan file of `head`, then `fill` repeated up to `size` bytes in all, then `tail`; with
/// `append`, these go after what the file holds.
bool writeFilled(const QString& path, const QByteArray& head, char fill, const QByteArray& tail,
                 qint64 size, bool append = false) {
    QFile f(path);
    if (!f.open(append ? QIODevice::Append : QIODevice::WriteOnly) || f.write(head) != head.size())
        return false;
    QByteArray chunk(1 << 20, fill);
    for (qint64 left = size - f.size() - tail.size(); left > 0; left -= chunk.size()) {
        if (left < chunk.size())
            chunk.truncate(int(left));
        if (f.write(chunk) != chunk.size())
            return false;
    }
    return f.write(tail) == tail.size();
}

/// A plan file of the pieces `next` appends, a megabyte at a time; `next` returns false
/// after the last piece.
bool writeGenerated(const QString& path, const std::function<bool(QByteArray&)>& next) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk;
    for (bool more = true; more;) {
        more = next(chunk);
        if (chunk.size() >= (1 << 20) || !more) {
            if (f.write(chunk) != chunk.size())
                return false;
            chunk.clear();
        }
    }
    return true;
}

QByteArray address(std::uint32_t packed) {
    return vqx::formatAddress(packed).toLatin1();
}

/// A CSV plan of `modules` modules (hosts 10.0.0.0 onwards), then a comment line filling
/// the file up to `size` bytes.
bool csvPlan(const QString& path, std::size_t modules, qint64 size) {
    std::size_t i = 0;
    return writeGenerated(path,
                          [&](QByteArray& out) {
                              if (i == 0)
                                  out += "host,ip,mask,gateway\n";
                              const std::uint32_t host = 0x0A000000u + std::uint32_t(i);
                              out += address(host) + ',' + address(host) + ",255.0.0.0,10.0.0.1\n";
                              return ++i < modules;
                          }) &&
           writeFilled(path, "#", 'x', "\n", size, true);
}

/// A JSON plan of `modules` modules, one object a line as people write them, or compact;
/// then blanks filling the file up to `size` bytes.
bool jsonPlan(const QString& path, std::size_t modules, qint64 size, bool compact) {
    std::size_t i = 0;
    return writeGenerated(path,
                          [&](QByteArray& out) {
                              const QByteArray a = address(0x0A000000u + std::uint32_t(i));
                              out += i == 0 ? "[\n" : ",\n";
                              out += compact
                                         ? R"({"host":")" + a + R"(","ip":")" + a +
                                               R"(","mask":"255.0.0.0","gateway":"10.0.0.1"})"
                                         : R"(  {"host": ")" + a + R"(", "ip": ")" + a +
                                               R"(", "mask": "255.0.0.0", "gateway": "10.0.0.1"})";
                              if (++i < modules)
                                  return true;
                              out += "\n]\n";
                              return false;
                          }) &&
           writeFilled(path, "", ' ', "", size, true);
}

struct Case {
    const char* name;
    const char* file; ///< the plan's file name: its ending gives the form
    std::function<bool(const QString& path)> write;
    PlanLimits limits; ///< the bounds it is read with
};

constexpr std::size_t kMillion = 1000000;
const PlanLimits kMillionLimits{2 * kMaxPlanBytes, kMillion};

const Case kCases[] = {
    // The largest plans: as many modules as a plan may hold, padded to the byte bound with
    // a comment line (CSV) or blanks (JSON).
    {"csv-max",
     "plan.csv",
     [](const QString& p) { return csvPlan(p, kMaxPlanModules, kMaxPlanBytes); },
     {}},
    {"json-max",
     "plan.json",
     [](const QString& p) { return jsonPlan(p, kMaxPlanModules, kMaxPlanBytes, false); },
     {}},
    // A million modules, read with the bounds raised to take them, and refused under the
    // real bounds as soon as one module too many comes.
    {"csv-1M", "plan.csv", [](const QString& p) { return csvPlan(p, kMillion, 0); },
     kMillionLimits},
    {"json-1M", "plan.json", [](const QString& p) { return jsonPlan(p, kMillion, 0, true); },
     kMillionLimits},
    {"csv-1M-refd", "plan.csv", [](const QString& p) { return csvPlan(p, kMillion, 0); }, {}},
    // Refused plans that make a parser hold the most: one JSON string, one CSV line, and
    // one byte more than the byte bound.
    {"json-string",
     "plan.json",
     [](const QString& p) { return writeFilled(p, R"([{"host":")", 'a', R"("}])", kMaxPlanBytes); },
     {}},
    {"csv-line",
     "plan.csv",
     [](const QString& p) { return writeFilled(p, "host,", 'h', "\n", kMaxPlanBytes); },
     {}},
    {"over",
     "plan.csv",
     [](const QString& p) { return writeFilled(p, "#", 'x', "\n", kMaxPlanBytes + 1); },
     {}},
};

int runCase(const Case& c) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QString::fromLatin1(c.file));
    if (!dir.isValid() || !c.write(path)) {
        std::fprintf(stderr, "%s: cannot write the plan\n", c.name);
        return 1;
    }
    const double before = peakMiB();
    QElapsedTimer t;
    t.start();
    QString why;
    QFile in(path);
    const auto plan =
        in.open(QIODevice::ReadOnly)
            ? vqx::provision::readPlan(in, vqx::provision::PlanFormat::Auto, &why, c.limits)
            : std::nullopt;
    const double seconds = double(t.elapsed()) / 1000.0;
    const QString result = plan ? QStringLiteral("%1 modules").arg(plan->size())
                                : QStringLiteral("refused: %1").arg(why.left(60));
    std::printf("%-12s %8.1f %6.2f %7.0f %7.0f  %s\n", c.name,
                double(in.size()) / (1024.0 * 1024.0), seconds, before, peakMiB(),
                qPrintable(result));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--case")) {
        for (const Case& c : kCases)
            if (args[2] == QLatin1String(c.name))
                return runCase(c);
        std::fprintf(stderr, "no case %s\n", qPrintable(args[2]));
        return 2;
    }
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: bench_plan [--case NAME]\n");
        return 2;
    }
    std::printf("sizeof(PlanEntry) = %zu bytes\n", sizeof(vqx::provision::PlanEntry));
    std::printf("%-12s %8s %6s %7s %7s  %s\n", "case", "MiB", "s", "RSS0", "peak", "result");
    int failed = 0;
    for (const Case& c : kCases) {
        std::fflush(stdout);
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--case"), QString::fromLatin1(c.name)});
        if (!p.waitForFinished(-1) || p.exitCode() != 0)
            failed = 1;
    }
    return failed;
}
