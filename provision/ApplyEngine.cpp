#include "ApplyEngine.h"

#include <algorithm>

#include <QEventLoop>
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

QString stageText(ModuleStage stage, int done, int total) {
    const auto bytes = [done, total](const QString& verb) {
        return total > 0 ? QStringLiteral("%1 %2 of %3").arg(verb).arg(done).arg(total) : verb;
    };
    switch (stage) {
    case ModuleStage::Queued:
        return QStringLiteral("queued");
    case ModuleStage::Arp:
        return QStringLiteral("arp step");
    case ModuleStage::Connecting:
        return QStringLiteral("connecting");
    case ModuleStage::Reading:
        return bytes(QStringLiteral("reading"));
    case ModuleStage::Read:
        return QStringLiteral("read");
    case ModuleStage::Locking:
        return QStringLiteral("waiting for the write lock");
    case ModuleStage::Writing:
        return bytes(QStringLiteral("writing"));
    case ModuleStage::Verifying:
        return bytes(QStringLiteral("verifying"));
    case ModuleStage::Done:
        break;
    }
    return QStringLiteral("done");
}

namespace {

/// A record that may hold some but not all of its new bytes.
bool partWritten(const ApplyItem& item) {
    return !item.outcome.ok() && item.written && item.outcome.bytesWritten < kRecordSize;
}

} // namespace

ApplyRun::ApplyRun(const std::vector<PlanEntry>& entries, ApplyOptions options, ApplyHooks hooks,
                   QObject* parent)
    : QObject(parent), m_o(options), m_h(std::move(hooks)) {
    m_o.jobs = std::max(1, m_o.jobs);
    m_items.resize(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        m_items[i].entry = entries[i];
}

ApplyRun::~ApplyRun() {
    m_stop = true;
    // Joins the threads: a session in flight ends (its transfer runs to its end); what it
    // posts here is dropped with this object.
    m_workers.clear();
    m_arpThread.reset();
}

void ApplyRun::start() {
    if (m_started)
        return;
    m_started = true;
    int ethernet = 0;
    bool anySlot = false;
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        if (m_items[i].entry.bySlot()) {
            anySlot = true;
            m_slots.push_back(static_cast<int>(i));
        } else {
            ++ethernet;
            m_queue.push_back(static_cast<int>(i));
        }
    }
    const int threads = std::max(1, std::min(m_o.jobs, ethernet + (anySlot ? 1 : 0)));
    for (int w = 0; w < threads; ++w) {
        m_workers.push_back(std::make_unique<SessionThread>());
        m_idle.push_back(threads - 1 - w); // taken from the back: worker 0 first
    }
    if (ethernet > 0 && m_o.timing.runArp)
        m_arpThread = std::make_unique<SessionThread>();
    QTimer::singleShot(0, this, [this] { schedule(); });
}

void ApplyRun::stop() {
    if (m_finished || m_stop.exchange(true))
        return;
    postTo(this, [this] { schedule(); });
}

QStringList ApplyRun::maybeHalfWritten() const {
    QStringList names;
    for (const int i : m_halfWritten)
        names << m_items[static_cast<std::size_t>(i)].entry.target();
    return names;
}

void ApplyRun::setStage(int index, ModuleStage stage, int done, int total) {
    m_items[static_cast<std::size_t>(index)].stage = stage;
    emit progress(index, stage, done, total);
}

int ApplyRun::freeWorker() {
    if (m_idle.empty())
        return -1;
    const int w = m_idle.back();
    m_idle.pop_back();
    return w;
}

/// Starts what can start now: the arp steps of the modules next in line, the slot session
/// when the slot bus is free, and the modules whose pause is over on free threads.
void ApplyRun::schedule() {
    if (m_finished)
        return;
    if (m_stop) {
        maybeFinish();
        return;
    }
    prepareAhead();
    while (!m_slots.empty() && !m_hubBusy && !m_idle.empty()) {
        const int i = m_slots.front();
        m_slots.pop_front();
        if (!m_hubTried) {
            m_hubTried = true;
            m_hubOutcome = m_h.hub
                               ? m_h.hub(m_hub)
                               : Outcome::fail(Exit::Failure, QStringLiteral("no hub was given"));
        }
        if (!m_hubOutcome.ok()) {
            readFinished(i, m_hubOutcome, std::nullopt);
            continue;
        }
        m_hubBusy = true;
        startSlot(i, freeWorker());
    }
    while (!m_ready.empty() && !m_idle.empty()) {
        const int i = m_ready.front();
        m_ready.pop_front();
        startEthernet(i, freeWorker());
    }
    maybeFinish();
}

/// Up to `jobs` modules are kept in their arp step and pause, or past it waiting for a
/// thread, so that a thread that comes free finds a module ready to connect.
void ApplyRun::prepareAhead() {
    while (!m_queue.empty() && m_preparing + static_cast<int>(m_ready.size()) < m_o.jobs) {
        const int i = m_queue.front();
        m_queue.pop_front();
        ++m_preparing;
        setStage(i, ModuleStage::Arp);
        if (!m_arpThread) {
            arpDone(i);
            continue;
        }
        const std::uint32_t host = m_items[static_cast<std::size_t>(i)].entry.host;
        m_arpThread->post([this, i, host] {
            const QString command = vqx::net::arpDeleteCommand(host);
            if (m_h.diagnostics.trace)
                m_h.diagnostics.trace(command);
            vqx::net::launchHidden(command);
            postTo(this, [this, i] { arpDone(i); });
        });
    }
}

/// The arp step of a module was started: its pause runs, then it is ready to connect.
void ApplyRun::arpDone(int index) {
    QTimer::singleShot(std::max(0, m_o.timing.arpPauseMs), this, [this, index] {
        --m_preparing;
        if (m_stop) {
            maybeFinish();
            return;
        }
        m_ready.push_back(index);
        schedule();
    });
}

Progress ApplyRun::byteProgress(int index, ModuleStage stage) {
    return [this, index, stage](int done, int total) {
        postTo(this, [this, index, stage, done, total] { setStage(index, stage, done, total); });
    };
}

void ApplyRun::startEthernet(int index, int worker) {
    ++m_inFlight;
    const PlanEntry entry = m_items[static_cast<std::size_t>(index)].entry;
    const bool write = m_phase == 2;
    if (write) {
        // Named before its first byte can go out: an interruption at any moment names every
        // record that may be half written.
        m_halfWritten.push_back(index);
        emit halfWrittenChanged();
    }
    setStage(index, ModuleStage::Connecting);
    ConnectTiming timing = m_o.timing;
    timing.firstArpDone = true;
    m_workers[static_cast<std::size_t>(worker)]->post([this, index, worker, entry, timing, write] {
        auto target =
            std::make_unique<EthernetTarget>(entry.host, entry.port, timing, m_h.diagnostics);
        target->setStop(&m_stop);
        std::optional<NetworkRecord> record;
        std::shared_ptr<void> held;
        Outcome o;
        if (write && m_h.lock) {
            bool waited = false;
            o = m_h.lock(
                *target, &m_stop,
                [this, index, &waited](const QString& holder) {
                    waited = true;
                    postTo(this, [this, index, holder] {
                        setStage(index, ModuleStage::Locking);
                        emit lockHeld(index, holder);
                    });
                },
                held);
            if (o.ok() && waited)
                postTo(this, [this, index] { setStage(index, ModuleStage::Connecting); });
        }
        if (o.ok())
            o = target->open();
        if (o.ok() && write) {
            o = writeAndVerify(*target, entry.settings, m_o.verify, record,
                               byteProgress(index, ModuleStage::Writing),
                               byteProgress(index, ModuleStage::Verifying));
        } else if (o.ok()) {
            NetworkRecord r;
            o = target->readRecord(r, byteProgress(index, ModuleStage::Reading));
            if (o.ok())
                record = r;
        }
        target.reset(); // the connection closes with its phase
        held.reset();
        postTo(this, [this, index, worker, o, record] { sessionDone(index, worker, o, record); });
    });
}

void ApplyRun::startSlot(int index, int worker) {
    ++m_inFlight;
    const PlanEntry entry = m_items[static_cast<std::size_t>(index)].entry;
    const bool write = m_phase == 2;
    if (write) {
        m_halfWritten.push_back(index);
        emit halfWrittenChanged();
    }
    setStage(index, ModuleStage::Connecting);
    HubSession* hub = m_hub;
    m_workers[static_cast<std::size_t>(worker)]->post([this, index, worker, entry, hub, write] {
        SlotTarget target(*hub, entry.slot);
        std::optional<NetworkRecord> record;
        std::shared_ptr<void> held;
        Outcome o;
        if (write && m_h.lock)
            o = m_h.lock(
                target, &m_stop,
                [this, index](const QString& holder) {
                    postTo(this, [this, index, holder] {
                        setStage(index, ModuleStage::Locking);
                        emit lockHeld(index, holder);
                    });
                },
                held);
        if (o.ok())
            o = target.open();
        if (o.ok() && write) {
            o = writeAndVerify(target, entry.settings, m_o.verify, record,
                               byteProgress(index, ModuleStage::Writing),
                               byteProgress(index, ModuleStage::Verifying));
        } else if (o.ok()) {
            NetworkRecord r;
            o = target.readRecord(r, byteProgress(index, ModuleStage::Reading));
            if (o.ok())
                record = r;
        }
        held.reset();
        postTo(this, [this, index, worker, o, record] { sessionDone(index, worker, o, record); });
    });
}

void ApplyRun::sessionDone(int index, int worker, const Outcome& o,
                           const std::optional<NetworkRecord>& record) {
    --m_inFlight;
    m_idle.push_back(worker);
    if (m_items[static_cast<std::size_t>(index)].entry.bySlot())
        m_hubBusy = false;
    if (m_phase == 1)
        readFinished(index, o, record);
    else
        writeFinished(index, o, record);
    schedule();
}

void ApplyRun::readFinished(int index, const Outcome& o,
                            const std::optional<NetworkRecord>& record) {
    ApplyItem& item = m_items[static_cast<std::size_t>(index)];
    item.outcome = o;
    if (!o.ok() || !record) {
        item.result = resultName(o.exit);
    } else {
        item.before = record;
        if (differences(*record, item.entry.settings).isEmpty())
            item.result = QStringLiteral("unchanged");
        else if (m_o.dryRun)
            item.result = QStringLiteral("would change");
    }
    if (item.result.isEmpty()) {
        setStage(index, ModuleStage::Read);
        emit moduleRead(index);
        return;
    }
    setStage(index, ModuleStage::Done);
    emit moduleRead(index);
    emit moduleFinished(index);
}

void ApplyRun::writeFinished(int index, const Outcome& o,
                             const std::optional<NetworkRecord>& after) {
    ApplyItem& item = m_items[static_cast<std::size_t>(index)];
    item.outcome = o;
    item.after = after;
    item.written = o.bytesWritten + o.bytesMaybeWritten > 0;
    item.result = o.ok() ? QStringLiteral("ok") : resultName(o.exit);
    if (!partWritten(item)) {
        m_halfWritten.erase(std::remove(m_halfWritten.begin(), m_halfWritten.end(), index),
                            m_halfWritten.end());
        emit halfWrittenChanged();
    }
    setStage(index, ModuleStage::Done);
    emit moduleFinished(index);
}

/// Ends the read phase when every read is known, and the run when nothing is left to start.
void ApplyRun::maybeFinish() {
    if (m_finished || m_inFlight > 0 || m_preparing > 0)
        return;
    if (!m_stop) {
        if (!m_queue.empty() || !m_ready.empty() || !m_slots.empty())
            return;
        if (m_phase == 1 && !m_o.dryRun) {
            m_phase = 2;
            for (std::size_t i = 0; i < m_items.size(); ++i) {
                if (m_items[i].stage != ModuleStage::Read)
                    continue;
                if (m_items[i].entry.bySlot())
                    m_slots.push_back(static_cast<int>(i));
                else
                    m_queue.push_back(static_cast<int>(i));
            }
            if (!m_queue.empty() || !m_slots.empty()) {
                schedule();
                return;
            }
        }
    }
    settleUnfinished();
    m_finished = true;
    m_workers.clear(); // idle by now
    m_arpThread.reset();
    emit finished();
}

/// After an interruption: what each module that did not complete its session got.
void ApplyRun::settleUnfinished() {
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        ApplyItem& item = m_items[i];
        if (item.stage == ModuleStage::Done)
            continue;
        if (item.before) {
            item.result = QStringLiteral("interrupted");
            item.outcome = Outcome::fail(
                Exit::Interrupted,
                QStringLiteral("%1: read, but interrupted before writing; nothing was written")
                    .arg(item.entry.target()));
        } else {
            item.result = QStringLiteral("not started");
            item.outcome = Outcome::fail(
                Exit::Interrupted,
                QStringLiteral("%1: not started: interrupted").arg(item.entry.target()));
        }
        setStage(static_cast<int>(i), ModuleStage::Done);
        emit moduleFinished(static_cast<int>(i));
    }
}

std::vector<ApplyItem> runPlan(const std::vector<PlanEntry>& entries, const ApplyOptions& options,
                               const ApplyHooks& hooks, bool* interrupted,
                               const std::function<bool()>& stopRequested,
                               const std::function<void(ApplyRun&)>& observe) {
    ApplyRun run(entries, options, hooks);
    if (observe)
        observe(run);
    QEventLoop loop;
    QObject::connect(&run, &ApplyRun::finished, &loop, &QEventLoop::quit);
    QTimer poll;
    if (stopRequested) {
        QObject::connect(&poll, &QTimer::timeout, &run, [&run, &stopRequested] {
            if (stopRequested())
                run.stop();
        });
        poll.start(50);
    }
    run.start();
    loop.exec();
    if (interrupted)
        *interrupted = run.interrupted();
    return run.takeItems();
}

} // namespace vqx::provision
