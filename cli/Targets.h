#pragma once
// The modules a command of vqx250-ipconfig works on: a module by address or by hub slot as
// the options name it, the hub session of a command (opened once, with the driver --driver
// names, traced with -v), the demo's simulators (--demo), and a module's write lock.

#include <atomic>
#include <cstdint>
#include <memory>

#include "CommandLine.h"
#include "HubSession.h"
#include "ModuleTarget.h"
#include "Output.h"
#include "TargetLock.h"
#include "Tool.h"

namespace vqx::sim {
class DemoEnvironment;
}

namespace vqx::cli {

class Targets {
public:
    Targets(const Options& options, Console& console, ToolIo::HubDriverFactory hubDriver);
    ~Targets();
    Targets(const Targets&) = delete;
    Targets& operator=(const Targets&) = delete;

    /// Starts the demo's simulators with --demo (once); Ok without it.
    vqx::provision::Outcome startDemo();
    /// The hub of the command's slots, made on first use.
    vqx::provision::Outcome hubSession(vqx::provision::HubSession*& session);
    /// The module that --host (with --port) or --slot names; the demo module with --demo when
    /// neither is given.
    vqx::provision::Outcome fromOptions(std::unique_ptr<vqx::provision::ModuleTarget>& target);
    /// Takes the module's write lock (takeWriteLock), waiting up to --timeout when another
    /// writer holds it, and saying so (and telling `waiting`, when given, who holds it); the
    /// wait ends when *stop becomes true (Ctrl-C).
    vqx::provision::Outcome
    writeLock(vqx::provision::ModuleTarget& target, const std::atomic<bool>* stop,
              std::unique_ptr<vqx::provision::TargetLock>& lock,
              const std::function<void(const QString& holder)>& waiting = {});
    /// When set and true, the connect sequence of a module made afterwards stops (Ctrl-C).
    void setStop(const std::atomic<bool>* stop) { m_stop = stop; }

private:
    /// A target for a host (slot 0) or a slot.
    vqx::provision::Outcome make(std::uint32_t host, std::uint16_t port, int slot,
                                 std::unique_ptr<vqx::provision::ModuleTarget>& target);

    const Options& m_o;
    Console& m_console;
    ToolIo::HubDriverFactory m_hubDriver;
    std::unique_ptr<vqx::sim::DemoEnvironment> m_demo;
    std::unique_ptr<vqx::provision::HubSession> m_session;
    const std::atomic<bool>* m_stop = nullptr;
};

} // namespace vqx::cli
