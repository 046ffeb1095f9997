#include "Targets.h"

#include <string>
#include <utility>

#include "DemoEnvironment.h"
#include "DriverFactory.h"
#include "EthernetTarget.h"
#include "ExitCodes.h"
#include "SimHub.h"
#include "SlotTarget.h"
#include "TracingDriver.h"
#include "UserText.h"

namespace vqx::cli {

using namespace vqx::provision;

Targets::Targets(const Options& options, Console& console, ToolIo::HubDriverFactory hubDriver)
    : m_o(options), m_console(console), m_hubDriver(std::move(hubDriver)) {}

Targets::~Targets() = default;

Outcome Targets::startDemo() {
    if (m_demo || !m_o.demo)
        return {};
    m_demo = std::make_unique<vqx::sim::DemoEnvironment>();
    QString why;
    if (!m_demo->start(&why)) {
        m_demo.reset();
        return Outcome::fail(Exit::Failure,
                             QStringLiteral("the demo simulators could not start: %1").arg(why));
    }
    m_console.trace(QStringLiteral("demo: module at %1:%2, simulated hub with six slots")
                        .arg(formatAddress(m_demo->moduleAddress()))
                        .arg(m_demo->modulePort()));
    return {};
}

Outcome Targets::hubSession(HubSession*& session) {
    if (!m_session) {
        if (Outcome o = startDemo(); !o.ok())
            return o;
        std::unique_ptr<vqx::usb::D2xxDriver> driver;
        if (m_hubDriver) {
            driver = m_hubDriver();
            if (!driver)
                return Outcome::fail(Exit::Failure, QStringLiteral("no USB driver was given"));
        } else if (m_demo) {
            driver = m_demo->makeHubDriver();
        } else {
            if (m_o.driver == "sim")
                vqx::sim::registerSimDriver(vqx::sim::makeDemoHub());
            std::string why;
            driver = vqx::usb::createDriver(m_o.driver, &why);
            if (!driver)
                return Outcome::fail(
                    Exit::Unreachable,
                    QStringLiteral("no device: the USB driver '%1' is not available: %2")
                        .arg(QString::fromStdString(m_o.driver), QString::fromStdString(why)));
            if (!why.empty())
                m_console.trace(QStringLiteral("driver: %1").arg(QString::fromStdString(why)));
        }
        m_console.trace(QStringLiteral("driver: %1").arg(QString::fromStdString(driver->name())));
        if (m_console.tracing())
            driver = std::make_unique<vqx::usb::TracingDriver>(
                std::move(driver), [this](const QString& l) { m_console.trace(l); });
        m_session = std::make_unique<HubSession>(std::move(driver), m_o.hub);
    }
    session = m_session.get();
    return {};
}

Outcome Targets::make(std::uint32_t host, std::uint16_t port, int slot,
                      std::unique_ptr<ModuleTarget>& target) {
    if (slot != 0) {
        HubSession* session = nullptr;
        if (Outcome o = hubSession(session); !o.ok())
            return o;
        target = std::make_unique<SlotTarget>(*session, slot);
        return {};
    }
    ConnectTiming timing;
    timing.timeoutSeconds = m_o.timeout;
    Diagnostics diag;
    if (m_console.tracing())
        diag.trace = [this](const QString& l) { m_console.trace(l); };
    diag.warn = [this](const QString& l) { m_console.message(l); };
    auto ethernet = std::make_unique<EthernetTarget>(host, port, timing, diag);
    ethernet->setStop(m_stop);
    target = std::move(ethernet);
    return {};
}

Outcome Targets::fromOptions(std::unique_ptr<ModuleTarget>& target) {
    if (m_o.slot != 0)
        return make(0, 0, m_o.slot, target);
    if (!m_o.host.empty()) {
        const auto a = parseAddress(QString::fromStdString(m_o.host));
        if (!a)
            return Outcome::fail(
                Exit::Usage,
                QStringLiteral("--host: '%1' is not a dotted IPv4 address").arg(shown(m_o.host)));
        if (Outcome o = startDemo(); !o.ok())
            return o;
        return make(*a, static_cast<std::uint16_t>(m_o.port), 0, target);
    }
    if (m_o.demo) {
        if (Outcome o = startDemo(); !o.ok())
            return o;
        return make(m_demo->moduleAddress(), m_demo->modulePort(), 0, target);
    }
    return Outcome::fail(Exit::Usage, QStringLiteral("give --host ADDR or --slot N (see --help)"));
}

Outcome Targets::writeLock(ModuleTarget& t, const std::atomic<bool>* stop,
                           std::unique_ptr<TargetLock>& lock,
                           const std::function<void(const QString& holder)>& waiting) {
    return takeWriteLock(
        t, static_cast<int>(m_o.timeout * 1000.0), stop,
        [this, &t, &waiting](const QString& holder) {
            if (waiting)
                waiting(holder);
            m_console.message(QStringLiteral("%1 is being written by %2; waiting up to %3 s "
                                             "(--timeout)")
                                  .arg(t.name(), holder, QString::number(m_o.timeout, 'g', 6)));
        },
        lock);
}

} // namespace vqx::cli
