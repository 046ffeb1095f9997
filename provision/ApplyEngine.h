#pragma once
// Running a plan: many modules read, written and verified, up to `jobs` at once.
//
// Concurrency: every module session runs on a SessionThread of a pool of at most `jobs`
// threads, each with its own event loop; an Ethernet module's CModuleSocket is created, used
// and destroyed on one thread, which also runs its write phase, so the connection opened to
// read the module is the one its new record is written over. The slots of the hub stay serial
// (one slot bus): at most one slot session runs at a time, on any thread of the pool.
// Scheduling, results and every hook except `diagnostics` and `progress` stay on the calling
// thread, which runs its event loop meanwhile (so simulators served on it keep answering).
//
// The connect sequence's arp step and pause are shared by the Ethernet modules that start
// together: when threads are free the waiting modules take them, each thread starts the arp
// command for its module (in parallel: starting a process takes a while), and one pause after
// the last of them all connect (later attempts of a module that does not answer run their
// own arp step and pause). Two phases: first every module is read, then those whose
// settings differ are written and verified; a failing module never stops the others.
//
// Interruption: once `stopRequested` says so, no module starts, connect sequences in progress
// end before their next attempt, and every record transfer in flight runs to its end (a
// record half written is worse than a short wait). The items then say for each module what
// happened: its usual result when its session completed, "interrupted" when it was read (or
// being reached) but nothing was written, "not started" when it was not contacted.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QString>
#include <QStringList>

#include "EthernetTarget.h"
#include "Plan.h"

namespace vqx::provision {

class HubSession;

/// What became of one module of a plan.
struct ApplyItem {
    PlanEntry entry;
    std::optional<NetworkRecord> before;
    std::optional<NetworkRecord> after;
    Outcome outcome;
    /// "ok", "unchanged", "would change", "unreachable", "device error",
    /// "verification mismatch", "failed", "interrupted" or "not started".
    QString result;
    bool written = false; ///< at least one byte of the record was written
};

struct ApplyOptions {
    int jobs = 16;
    bool dryRun = false;
    bool verify = true;
    ConnectTiming timing; ///< for the Ethernet modules
};

struct ApplyHooks {
    /// The hub of the plan's slots; called once, before the first slot session.
    std::function<Outcome(HubSession*& session)> hub;
    /// Traces and warnings of the links; called on any thread.
    Diagnostics diagnostics;
    /// Progress of one record transfer (may return an empty function); called on any thread.
    std::function<Progress(const QString& target, bool usb, const char* verb)> progress;
    /// A module's read phase ended; called in plan order.
    std::function<void(const ApplyItem&)> read;
    /// A module's write phase ended; called in the order they end.
    std::function<void(const ApplyItem&)> written;
    /// The modules whose record is being written changed.
    std::function<void(const QStringList& targets)> writing;
    /// Takes the module's write lock before its record is written (on the module's thread);
    /// `held` keeps it until the write and its verification end. A failure is the module's
    /// outcome and nothing is written.
    std::function<Outcome(ModuleTarget& target, std::shared_ptr<void>& held)> lock;
    /// Polled every 50 ms: true once the run should stop starting modules.
    std::function<bool()> stopRequested;
};

/// Runs the plan; the items come back in plan order. *interrupted tells whether the run was
/// stopped by stopRequested.
std::vector<ApplyItem> runPlan(const std::vector<PlanEntry>& entries, const ApplyOptions& options,
                               const ApplyHooks& hooks, bool* interrupted);

/// The result name of an outcome that is not Ok: "unreachable", "device error", ...
QString resultName(Exit e);

} // namespace vqx::provision
