#include "ApplyEngine.h"

#include <atomic>
#include <memory>

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include "ArpCache.h"
#include "EthernetTarget.h"
#include "HubSession.h"
#include "SessionThread.h"
#include "SlotTarget.h"

namespace vqx::provision {

QString resultName(Exit e) {
    switch (e) {
    case Exit::Ok:
        return QStringLiteral("ok");
    case Exit::Unreachable:
        return QStringLiteral("unreachable");
    case Exit::Device:
        return QStringLiteral("device error");
    case Exit::Mismatch:
        return QStringLiteral("verification mismatch");
    case Exit::Usage:
        return QStringLiteral("refused");
    case Exit::Interrupted:
        return QStringLiteral("interrupted");
    default:
        return QStringLiteral("failed");
    }
}

namespace {

constexpr int kStopPollMs = 50;
const QString kPending = QStringLiteral("pending");

class PlanRun {
public:
    PlanRun(const std::vector<PlanEntry>& entries, const ApplyOptions& options,
            const ApplyHooks& hooks)
        : m_o(options), m_h(hooks), m_items(entries.size()), m_targets(entries.size()),
          m_owner(entries.size(), -1), m_stage(entries.size(), Stage::Waiting) {
        int ethernet = 0;
        bool anySlot = false;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            m_items[i].entry = entries[i];
            if (entries[i].bySlot())
                anySlot = true;
            else
                ++ethernet;
        }
        const int threads = std::max(1, std::min(m_o.jobs, ethernet + (anySlot ? 1 : 0)));
        for (int w = 0; w < threads; ++w) {
            auto thread = std::make_unique<SessionThread>();
            // The targets a thread created (its sockets) are destroyed on it.
            thread->setCleanup([this, w] {
                for (std::size_t i = 0; i < m_targets.size(); ++i)
                    if (m_owner[i] == w)
                        m_targets[i].reset();
            });
            m_workers.push_back(std::move(thread));
            m_free.push_back(true);
        }
    }

    ~PlanRun() {
        m_workers.clear(); // joins the threads; each destroys its targets first
    }

    std::vector<ApplyItem> run(bool* interrupted) {
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &m_context, [this] {
            if (!m_stop && m_h.stopRequested && m_h.stopRequested()) {
                m_stop = true;
                maybeFinish();
            }
        });
        poll.start(kStopPollMs);
        QTimer::singleShot(0, &m_context, [this] { schedule(); });
        m_loop.exec();
        poll.stop();
        m_workers.clear();
        markUnfinished();
        if (interrupted)
            *interrupted = m_stop;
        return std::move(m_items);
    }

private:
    enum class Stage { Waiting, Starting, Reading, Read, Writing, Done };

    bool slotItem(std::size_t i) const { return m_items[i].entry.bySlot(); }

    /// Starts what can start now: free threads take waiting modules (phase 1) or pending
    /// writes (phase 2).
    void schedule() {
        if (!m_stop && m_h.stopRequested && m_h.stopRequested())
            m_stop = true;
        if (m_stop) {
            maybeFinish();
            return;
        }
        if (m_phase == 1)
            scheduleReads();
        else
            scheduleWrites();
        maybeFinish();
    }

    int freeWorker() const {
        for (std::size_t w = 0; w < m_free.size(); ++w)
            if (m_free[w])
                return static_cast<int>(w);
        return -1;
    }

    void scheduleReads() {
        std::vector<std::pair<std::size_t, int>> batch;
        for (std::size_t i = 0; i < m_items.size(); ++i) {
            if (m_stage[i] != Stage::Waiting)
                continue;
            if (slotItem(i) && m_hubBusy)
                continue;
            const int w = freeWorker();
            if (w < 0)
                break;
            if (slotItem(i)) {
                if (!m_hubTried) {
                    m_hubTried = true;
                    m_hubOutcome =
                        m_h.hub ? m_h.hub(m_hub)
                                : Outcome::fail(Exit::Failure, QStringLiteral("no hub was given"));
                }
                if (!m_hubOutcome.ok()) {
                    readDone(i, -1, m_hubOutcome, {}, false);
                    continue;
                }
                m_hubBusy = true;
                m_free[static_cast<std::size_t>(w)] = false;
                m_stage[i] = Stage::Reading;
                startRead(i, w);
                continue;
            }
            m_free[static_cast<std::size_t>(w)] = false;
            m_stage[i] = Stage::Starting;
            batch.emplace_back(i, w);
        }
        if (batch.empty())
            return;
        // The arp step of the modules that start together, each started by the thread that
        // will run the module (starting a process takes a while), then one pause for all.
        ++m_batches;
        auto left = std::make_shared<std::size_t>(batch.size());
        for (const auto& [i, w] : batch) {
            const std::uint32_t host = m_items[i].entry.host;
            m_workers[static_cast<std::size_t>(w)]->post([this, host, batch, left] {
                if (m_o.timing.runArp) {
                    const QString command = vqx::net::arpDeleteCommand(host);
                    if (m_h.diagnostics.trace)
                        m_h.diagnostics.trace(command);
                    vqx::net::launchHidden(command);
                }
                postTo(&m_context, [this, batch, left] {
                    if (--*left == 0)
                        QTimer::singleShot(std::max(0, m_o.timing.arpPauseMs), &m_context,
                                           [this, batch] { startBatch(batch); });
                });
            });
        }
    }

    void startBatch(const std::vector<std::pair<std::size_t, int>>& batch) {
        --m_batches;
        for (const auto& [i, w] : batch) {
            if (m_stop) {
                m_stage[i] = Stage::Waiting; // reported as not started
                m_free[static_cast<std::size_t>(w)] = true;
                continue;
            }
            m_stage[i] = Stage::Reading;
            startRead(i, w);
        }
        schedule();
    }

    void startRead(std::size_t i, int w) {
        ++m_inFlight;
        const PlanEntry entry = m_items[i].entry;
        if (!entry.bySlot())
            m_owner[i] = w;
        m_workers[static_cast<std::size_t>(w)]->post([this, i, w, entry] {
            std::unique_ptr<ModuleTarget>& target = m_targets[i];
            if (entry.bySlot()) {
                target = std::make_unique<SlotTarget>(*m_hub, entry.slot);
            } else {
                ConnectTiming timing = m_o.timing;
                timing.firstArpDone = true;
                auto t = std::make_unique<EthernetTarget>(entry.host, entry.port, timing,
                                                          m_h.diagnostics);
                t->setStop(&m_stop);
                target = std::move(t);
            }
            Outcome o = target->open();
            NetworkRecord r;
            if (o.ok())
                o = target->readRecord(r, progress(*target, entry.bySlot(), "reading"));
            postTo(&m_context, [this, i, w, o, r] { readDone(i, w, o, r); });
        });
    }

    Progress progress(const ModuleTarget& t, bool usb, const char* verb) const {
        return m_h.progress ? m_h.progress(t.name(), usb, verb) : Progress{};
    }

    void readDone(std::size_t i, int w, const Outcome& o, const NetworkRecord& r,
                  bool reschedule = true) {
        ApplyItem& item = m_items[i];
        item.outcome = o;
        if (w >= 0) {
            --m_inFlight;
            m_free[static_cast<std::size_t>(w)] = true;
            if (slotItem(i))
                m_hubBusy = false;
        }
        if (!o.ok()) {
            item.result = resultName(o.exit);
            m_stage[i] = Stage::Done;
        } else {
            item.before = r;
            const bool same = differences(r, item.entry.settings).isEmpty();
            item.result = same         ? QStringLiteral("unchanged")
                          : m_o.dryRun ? QStringLiteral("would change")
                                       : kPending;
            m_stage[i] = item.result == kPending ? Stage::Read : Stage::Done;
        }
        // Phase-1 reports go out in plan order, each as soon as those before it are known.
        while (m_nextReport < m_items.size() &&
               (m_stage[m_nextReport] == Stage::Read || m_stage[m_nextReport] == Stage::Done)) {
            if (m_h.read)
                m_h.read(m_items[m_nextReport]);
            ++m_nextReport;
        }
        if (reschedule)
            schedule();
    }

    void scheduleWrites() {
        // Who is about to write is announced before the first of them can start, so that
        // an interruption at any moment names every record that may be half written.
        std::vector<std::pair<std::size_t, int>> starts;
        for (std::size_t i = 0; i < m_items.size(); ++i) {
            if (m_stage[i] != Stage::Read)
                continue;
            int w = -1;
            if (slotItem(i)) {
                if (m_hubBusy)
                    continue;
                w = freeWorker();
                if (w < 0)
                    break;
                m_hubBusy = true;
            } else {
                w = m_owner[i];
                if (!m_free[static_cast<std::size_t>(w)])
                    continue;
            }
            m_free[static_cast<std::size_t>(w)] = false;
            m_stage[i] = Stage::Writing;
            m_writing << m_items[i].entry.target();
            starts.emplace_back(i, w);
        }
        if (m_h.writing)
            m_h.writing(m_writing);
        for (const auto& [i, w] : starts)
            startWrite(i, w);
    }

    void startWrite(std::size_t i, int w) {
        ++m_inFlight;
        const PlanEntry entry = m_items[i].entry;
        m_workers[static_cast<std::size_t>(w)]->post([this, i, w, entry] {
            ModuleTarget& target = *m_targets[i];
            std::optional<NetworkRecord> after;
            std::shared_ptr<void> held;
            Outcome o = m_h.lock ? m_h.lock(target, held) : Outcome{};
            if (o.ok())
                o = writeAndVerify(target, entry.settings, m_o.verify, after,
                                   progress(target, entry.bySlot(), "writing"),
                                   progress(target, entry.bySlot(), "verifying"));
            held.reset();
            postTo(&m_context, [this, i, w, o, after] { writeDone(i, w, o, after); });
        });
    }

    void writeDone(std::size_t i, int w, const Outcome& o,
                   const std::optional<NetworkRecord>& after) {
        --m_inFlight;
        m_free[static_cast<std::size_t>(w)] = true;
        if (slotItem(i))
            m_hubBusy = false;
        ApplyItem& item = m_items[i];
        item.outcome = o;
        item.after = after;
        item.written = o.bytesWritten + o.bytesMaybeWritten > 0;
        item.result = o.ok() ? QStringLiteral("ok") : resultName(o.exit);
        m_stage[i] = Stage::Done;
        m_writing.removeOne(item.entry.target());
        if (m_h.writing)
            m_h.writing(m_writing);
        if (m_h.written)
            m_h.written(item);
        schedule();
    }

    /// Ends phase 1 when every read is known, and the run when nothing is left to start.
    void maybeFinish() {
        if (m_inFlight > 0 || m_batches > 0)
            return;
        if (m_stop) {
            m_loop.quit();
            return;
        }
        if (m_phase == 1) {
            for (Stage s : m_stage)
                if (s == Stage::Waiting || s == Stage::Starting)
                    return;
            if (m_o.dryRun) {
                m_loop.quit();
                return;
            }
            m_phase = 2;
            scheduleWrites();
            if (m_inFlight == 0)
                m_loop.quit();
            return;
        }
        for (Stage s : m_stage)
            if (s == Stage::Read || s == Stage::Writing)
                return;
        m_loop.quit();
    }

    /// After an interruption: what each module that did not complete its session got.
    void markUnfinished() {
        for (std::size_t i = 0; i < m_items.size(); ++i) {
            ApplyItem& item = m_items[i];
            if (m_stage[i] == Stage::Waiting || m_stage[i] == Stage::Starting) {
                item.result = QStringLiteral("not started");
                item.outcome = Outcome::fail(
                    Exit::Interrupted,
                    QStringLiteral("%1: not started: interrupted").arg(item.entry.target()));
            } else if (m_stage[i] == Stage::Read) {
                item.result = QStringLiteral("interrupted");
                item.outcome = Outcome::fail(
                    Exit::Interrupted,
                    QStringLiteral("%1: read, but interrupted before writing; nothing was written")
                        .arg(item.entry.target()));
            }
        }
    }

    ApplyOptions m_o;
    ApplyHooks m_h;
    std::vector<ApplyItem> m_items;
    std::vector<std::unique_ptr<ModuleTarget>> m_targets;
    std::vector<int> m_owner; ///< the thread that owns an Ethernet module's socket
    std::vector<Stage> m_stage;
    std::vector<std::unique_ptr<SessionThread>> m_workers;
    std::vector<bool> m_free;
    QObject m_context; ///< results of the threads are queued to it
    QEventLoop m_loop;
    std::atomic<bool> m_stop{false};
    int m_phase = 1;
    int m_inFlight = 0;
    int m_batches = 0; ///< batches in their arp pause
    std::size_t m_nextReport = 0;
    QStringList m_writing;
    bool m_hubBusy = false;
    bool m_hubTried = false;
    Outcome m_hubOutcome;
    HubSession* m_hub = nullptr;
};

} // namespace

std::vector<ApplyItem> runPlan(const std::vector<PlanEntry>& entries, const ApplyOptions& options,
                               const ApplyHooks& hooks, bool* interrupted) {
    PlanRun run(entries, options, hooks);
    return run.run(interrupted);
}

} // namespace vqx::provision
