// The fleet window's responsiveness: 1,000 simulated modules (127.79.x.y, port 23100, served
// by a thread of this process) are applied through the window on the offscreen platform,
// the plan taken into the table as an opened plan would be, with the window's default
// parallelism. A timer on the GUI thread ticks every 2 ms; the longest gap between its ticks
// beyond the interval is the longest stall of the GUI thread (goal: under 50 ms).
// On a loaded machine the gaps include the time the thread waited for a processor; so the
// benchmark also gives the longest processor time the GUI thread spent in one event (its
// own work, which is what the window and the engine's scheduling control), and the gaps of
// an idle second before the run.
// The arp step is left out (it runs on the engine's own thread, and would start the system's
// arp tool a thousand times).
//
//   bench_fleet_window [modules]   (default 1000)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <QApplication>
#include <QEvent>
#include <QHostAddress>
#include <QThread>
#include <QTimer>

#include "FileLimit.h"
#include "FleetWindow.h"
#include "ModuleModel.h"
#include "ModuleServer.h"
#include "NetworkRecord.h"
#include "Plan.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <time.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

/// Processor time of the calling thread, in milliseconds.
double threadCpuMs() {
#ifdef Q_OS_WIN
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e4;
#else
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
#endif
}

/// Measures the processor time of each outermost event the GUI thread handles.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (m_depth++ > 0 || QThread::currentThread() != thread()) {
            const bool r = QApplication::notify(receiver, event);
            --m_depth;
            return r;
        }
        const double before = threadCpuMs();
        const bool r = QApplication::notify(receiver, event);
        const double spent = threadCpuMs() - before;
        --m_depth;
        if (measuring && spent > longest) {
            longest = spent;
            longestEvent = event->type();
        }
        return r;
    }
    bool measuring = false;
    double longest = 0;
    int longestEvent = 0;

private:
    thread_local static int m_depth;
};

thread_local int TimedApplication::m_depth = 0;
using vqx::sim::ModuleModel;
using vqx::sim::ModuleServer;

const vqx::NetworkRecord kFactory{0xC0A80101, 0xFFFFFF00, 0xC0A80114};

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);
    const int modules = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (modules < 1 || modules > 60000) {
        std::fprintf(stderr, "usage: bench_fleet_window [modules 1..60000]\n");
        return 2;
    }
    // A listening socket per module, beside the sessions' own files.
    if (const auto o = vqx::provision::ensureOpenFiles(modules / 4 + 64, QStringLiteral("modules"));
        !o.ok()) {
        std::fprintf(stderr, "%s\n", qPrintable(o.message));
        return 1;
    }

    // The modules live on a thread of their own, so that serving them costs the GUI thread
    // nothing.
    QThread serving;
    serving.start();
    QObject home;
    home.moveToThread(&serving);
    std::vector<std::shared_ptr<ModuleModel>> models;
    std::vector<std::unique_ptr<ModuleServer>> servers;
    bool listening = true;
    QMetaObject::invokeMethod(
        &home,
        [&] {
            for (int i = 0; i < modules && listening; ++i) {
                auto model = std::make_shared<ModuleModel>(i % 2 ? ModuleModel::Variant::V2
                                                                 : ModuleModel::Variant::V1);
                model->setRecord(kFactory.toBytes());
                auto server = std::make_unique<ModuleServer>(model);
                listening = server->listen(QHostAddress(0x7F4F0001u + static_cast<quint32>(i)),
                                           vqx::kModulePort);
                models.push_back(model);
                servers.push_back(std::move(server));
            }
        },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        std::fprintf(stderr, "cannot serve %d modules on 127.79.x.y:%d\n", modules,
                     vqx::kModulePort);
        return 1;
    }

    vqx::fleet::FleetWindow window({});
    vqx::provision::ConnectTiming timing;
    timing.runArp = false;
    timing.arpPauseMs = 0;
    window.setConnectTiming(timing);
    std::vector<vqx::provision::PlanEntry> plan(static_cast<std::size_t>(modules));
    for (int i = 0; i < modules; ++i) {
        auto& e = plan[static_cast<std::size_t>(i)];
        e.host = 0x7F4F0001u + static_cast<quint32>(i);
        e.settings = {0x0A010001, 0xFFFF0000, 0x0A010002u + static_cast<quint32>(i)};
    }
    window.model().mergePlan(plan);
    window.selectRows({});
    window.show();

    // The GUI thread's ticks: first for a second with nothing to do (the machine's own
    // jitter), then during the run.
    std::vector<double> idle;
    std::vector<std::pair<double, double>> gaps; // (gap, ms since the run started)
    bool running = false;
    auto last = Clock::now();
    auto start = last;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(2);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        const double gap = std::chrono::duration<double, std::milli>(now - last).count();
        if (running)
            gaps.emplace_back(gap, std::chrono::duration<double, std::milli>(now - start).count());
        else
            idle.push_back(gap);
        last = now;
    });
    QObject::connect(&window, &vqx::fleet::FleetWindow::operationFinished, &app,
                     &QCoreApplication::quit);
    last = Clock::now();
    ticker.start();
    QTimer::singleShot(1000, &window, [&] {
        running = true;
        app.measuring = true;
        start = Clock::now();
        window.apply();
    });
    app.exec();
    ticker.stop();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    int written = 0;
    QMetaObject::invokeMethod(
        &home,
        [&] {
            for (int i = 0; i < modules; ++i)
                written +=
                    vqx::NetworkRecord::fromBytes(models[static_cast<std::size_t>(i)]->record())
                        .ip == 0x0A010002u + static_cast<quint32>(i);
            servers.clear();
        },
        Qt::BlockingQueuedConnection);
    serving.quit();
    serving.wait();

    std::sort(gaps.begin(), gaps.end());
    std::sort(idle.begin(), idle.end());
    const auto beyond = [](double gap) { return std::max(0.0, gap - 2); };
    std::printf("fleet window: %d modules applied in %.2f s (%s), %d of %d written\n", modules,
                seconds, qPrintable(window.summary()), written, modules);
    if (gaps.empty())
        return 1;
    std::printf("GUI thread: %zu ticks of 2 ms; longest stall %.1f ms (at %.0f ms), 99th "
                "percentile %.1f ms (goal: longest under 50 ms)\n",
                gaps.size(), beyond(gaps.back().first), gaps.back().second,
                beyond(gaps[gaps.size() * 99 / 100].first));
    std::printf("  longest five:");
    for (std::size_t i = gaps.size() > 5 ? gaps.size() - 5 : 0; i < gaps.size(); ++i)
        std::printf(" %.1f ms at %.0f ms;", beyond(gaps[i].first), gaps[i].second);
    std::printf("\n  idle for a second before: longest %.1f ms (the machine's own jitter)\n",
                idle.empty() ? 0.0 : beyond(idle.back()));
    std::printf(
        "  longest processor time in one event of the GUI thread: %.1f ms (event type %d)\n",
        app.longest, app.longestEvent);
    return written == modules ? 0 : 1;
}
