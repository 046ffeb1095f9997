#pragma once
// Running a plan: many modules read, written and verified, up to `jobs` at once, at a cost
// that follows `jobs`, not the size of the plan.
//
// Phases: first every module is read; then those whose settings differ are written and
// verified. A failing module never stops the others.
//
// Connections: every module session runs on one of at most `jobs` SessionThreads, each with
// its own event loop, and a thread serves one module at a time: its target (socket, receive
// buffer) is made, used and destroyed within one task. So at most `jobs` connections are open
// at any moment, and a module's connection closes when its phase ends; its write phase
// connects again with the whole connect sequence (a module may have restarted, or dropped an
// idle connection, in between). What stays per module is its ApplyItem: the report.
//
// The connect sequence's first arp step and pause run ahead of the transfers: while the
// threads transfer, the arp steps of up to `jobs` modules next in line are started (on a
// thread of their own: starting a process takes a while) and their pauses run; a module whose
// pause is over takes the next free thread and connects at once. Each module still has its
// own sequence: its arp step, the pause, then its connect; later attempts of a module that
// does not answer run their own arp step and pause on its thread. The hub's slots stay serial
// (one slot bus): at most one slot session runs at a time, on any thread, without arp steps.
//
// Stopping (stop(), the Ctrl-C of the tool and the "Stop" of a window): no module starts any
// more, connect sequences in progress end before their next attempt, a wait for a write lock
// ends at once, and every record transfer in flight runs to its end (a record half written is
// worse than a short wait). Each module then says what happened: its usual result when its
// session completed, "interrupted" when it was read (or being reached) but nothing was written,
// "not started" when it was not contacted.
//
// Events: the run lives on the thread that made it (a GUI thread, or the tool's main thread
// running an event loop). Every signal is emitted there, never on a worker thread; the hub
// hook also runs there. Only the diagnostics and the lock hook run on worker threads.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>
#include <QString>
#include <QStringList>

#include "EthernetTarget.h"
#include "Plan.h"

namespace vqx::provision {

class HubSession;
class SessionThread;

/// Where a module of a running plan is.
enum class ModuleStage : std::uint8_t {
    Queued,     ///< waiting for its turn
    Arp,        ///< its arp step started, the pause running
    Connecting, ///< the connect sequence (later attempts included)
    Reading,    ///< its record being read (bytes done of 12)
    Read,       ///< read, waiting for the write phase
    Locking,    ///< waiting for the module's write lock
    Writing,    ///< its record being written (bytes done of 12)
    Verifying,  ///< its record being read back (bytes done of 12)
    Done,       ///< its result is known
};

/// "queued", "arp step", "connecting", "reading 4 of 12", "read", "waiting for the write
/// lock", "writing 5 of 12", "verifying 3 of 12", "done" (no byte counts when total is 0).
QString stageText(ModuleStage stage, int done = 0, int total = 0);

/// What became of one module of a plan.
struct ApplyItem {
    PlanEntry entry;
    std::optional<NetworkRecord> before;
    std::optional<NetworkRecord> after;
    Outcome outcome;
    /// "ok", "unchanged", "would change", "unreachable", "device error",
    /// "verification mismatch", "failed", "interrupted" or "not started"; empty while running.
    QString result;
    ModuleStage stage = ModuleStage::Queued;
    bool written = false; ///< at least one byte of the record was (or may have been) written
};

struct ApplyOptions {
    int jobs = 16;
    bool dryRun = false;
    bool verify = true;
    ConnectTiming timing; ///< for the Ethernet modules
};

struct ApplyHooks {
    /// The hub of the plan's slots; called once, on the run's thread, before the first slot
    /// session.
    std::function<Outcome(HubSession*& session)> hub;
    /// Traces and warnings of the links; called on any thread.
    Diagnostics diagnostics;
    /// Takes the module's write lock before its record is written (on the module's thread);
    /// `held` keeps it until the write and its verification end. It may wait, calling
    /// `waiting` with the holder once, and must end at once with Exit::Interrupted when *stop
    /// turns true. A failure is the module's outcome, and nothing is written.
    std::function<Outcome(ModuleTarget& target, const std::atomic<bool>* stop,
                          const std::function<void(const QString& holder)>& waiting,
                          std::shared_ptr<void>& held)>
        lock;
};

/// A plan being run. Make it, connect to its signals, start() it; it reports through its
/// signals and ends with finished(). Destroying it while it runs stops it and waits for the
/// transfers in flight.
class ApplyRun : public QObject {
    Q_OBJECT
public:
    ApplyRun(const std::vector<PlanEntry>& entries, ApplyOptions options, ApplyHooks hooks,
             QObject* parent = nullptr);
    ~ApplyRun() override;

    /// Starts the run from the event loop; returns at once.
    void start();
    /// Ctrl-C: nothing new starts, transfers in flight end (see above). Any thread.
    void stop();

    bool running() const { return m_started && !m_finished; }
    bool interrupted() const { return m_stop.load(); }
    int count() const { return static_cast<int>(m_items.size()); }
    const ApplyItem& item(int index) const { return m_items[static_cast<std::size_t>(index)]; }
    const std::vector<ApplyItem>& items() const { return m_items; }
    /// The items, moved out once the run has finished (the run keeps none).
    std::vector<ApplyItem> takeItems() { return std::move(m_items); }
    /// The modules whose record may be half written: the writes in flight (from just before
    /// their first byte) and those that failed after a byte of theirs may have been stored.
    QStringList maybeHalfWritten() const;

signals:
    /// A module moved on; done and total count bytes while reading, writing and verifying.
    void progress(int index, vqx::provision::ModuleStage stage, int done, int total);
    /// Another writer holds the module's write lock; the module waits for it.
    void lockHeld(int index, const QString& holder);
    /// A module's read phase ended: item(index).before and .result are known ("would
    /// change", "unchanged", a failure, or empty when a write follows).
    void moduleRead(int index);
    /// A module's result is final.
    void moduleFinished(int index);
    /// maybeHalfWritten() changed.
    void halfWrittenChanged();
    /// The run ended (all done, or stopped and settled).
    void finished();

private:
    struct Worker;
    void schedule();
    void prepareAhead();
    void arpDone(int index);
    void startEthernet(int index, int worker);
    void startSlot(int index, int worker);
    void sessionDone(int index, int worker, const Outcome& o,
                     const std::optional<NetworkRecord>& record);
    void readFinished(int index, const Outcome& o, const std::optional<NetworkRecord>& record);
    void writeFinished(int index, const Outcome& o, const std::optional<NetworkRecord>& after);
    void setStage(int index, ModuleStage stage, int done = 0, int total = 0);
    void maybeFinish();
    void settleUnfinished();
    int freeWorker();
    Progress byteProgress(int index, ModuleStage stage);

    ApplyOptions m_o;
    ApplyHooks m_h;
    std::vector<ApplyItem> m_items;
    std::vector<std::unique_ptr<SessionThread>> m_workers;
    std::vector<int> m_idle; ///< workers without a module
    std::unique_ptr<SessionThread> m_arpThread;
    std::deque<int> m_queue; ///< Ethernet modules of this phase not yet prepared
    std::deque<int> m_slots; ///< slot modules of this phase not yet started
    std::deque<int> m_ready; ///< pause over, waiting for a thread
    int m_preparing = 0;     ///< arp step started, pause running
    int m_inFlight = 0;      ///< sessions on threads
    int m_phase = 1;
    bool m_started = false;
    std::atomic<bool> m_finished{false};
    bool m_hubBusy = false;
    bool m_hubTried = false;
    Outcome m_hubOutcome;
    HubSession* m_hub = nullptr;
    std::vector<int> m_halfWritten; ///< indexes; see maybeHalfWritten()
    std::atomic<bool> m_stop{false};
};

/// Runs the plan to its end on the calling thread (which runs an event loop meanwhile, so
/// simulators served on it keep answering); the items come back in plan order.
/// `stopRequested` is polled every 50 ms; `observe` may connect to the run's signals.
std::vector<ApplyItem> runPlan(const std::vector<PlanEntry>& entries, const ApplyOptions& options,
                               const ApplyHooks& hooks, bool* interrupted,
                               const std::function<bool()>& stopRequested = {},
                               const std::function<void(ApplyRun&)>& observe = {});

/// The result name of an outcome that is not Ok: "unreachable", "device error", ...
QString resultName(Exit e);

} // namespace vqx::provision
