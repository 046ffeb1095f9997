#include "ApplyWatch.h"

#include <string>

#include "CommandLine.h"
#include "Interrupt.h"

namespace vqx::cli {

using namespace vqx::provision;

namespace {

constexpr int kTickMs = 100;

const char* verbOf(ModuleStage stage) {
    switch (stage) {
    case ModuleStage::Reading:
        return "reading";
    case ModuleStage::Writing:
        return "writing";
    case ModuleStage::Verifying:
        return "verifying";
    default:
        return nullptr;
    }
}

} // namespace

ApplyWatch::ApplyWatch(Console& console, ApplyRun& run)
    : m_console(console), m_run(run), m_readKnown(static_cast<std::size_t>(run.count())),
      m_writePending(static_cast<std::size_t>(run.count())),
      m_writeBegun(static_cast<std::size_t>(run.count())) {
    connect(&run, &ApplyRun::moduleRead, this, &ApplyWatch::onRead);
    connect(&run, &ApplyRun::moduleFinished, this, &ApplyWatch::onFinished);
    connect(&run, &ApplyRun::halfWrittenChanged, this, &ApplyWatch::onHalfWritten);
    connect(&run, &ApplyRun::progress, this, &ApplyWatch::onProgress);
    if (m_console.showsProgress()) {
        connect(&m_ticker, &QTimer::timeout, this, &ApplyWatch::showCount);
        m_ticker.start(kTickMs);
    }
    onHalfWritten();
}

void ApplyWatch::onProgress(int index, ModuleStage stage, int done, int total) {
    const auto i = static_cast<std::size_t>(index);
    if (m_writePending[i] && stage != ModuleStage::Arp)
        m_writeBegun[i] = true;
    if (!m_console.showsProgress())
        return;
    const ApplyItem& item = m_run.item(index);
    const char* verb = verbOf(stage);
    if (!item.entry.bySlot() || !verb || total <= 0)
        return;
    m_console.progressFor(item.entry.target(), true, verb)(done, total);
    m_slotLine = done < total;
}

void ApplyWatch::showCount() {
    if (m_slotLine)
        return;
    const int all = m_run.count();
    if (m_toWrite == 0 || m_read < all)
        m_console.showProgress(QStringLiteral("reading: %1 of %2 module(s), %3 failed")
                                   .arg(m_read)
                                   .arg(all)
                                   .arg(m_failed)
                                   .toStdString());
    else
        m_console.showProgress(QStringLiteral("writing: %1 of %2 module(s), %3 failed")
                                   .arg(m_writesDone)
                                   .arg(m_toWrite)
                                   .arg(m_failed)
                                   .toStdString());
}

void ApplyWatch::onRead(int index) {
    const auto i = static_cast<std::size_t>(index);
    const ApplyItem& item = m_run.item(index);
    m_readKnown[i] = true;
    ++m_read;
    if (item.result.isEmpty()) {
        m_writePending[i] = true;
        ++m_toWrite;
    } else if (!item.outcome.ok()) {
        ++m_failed;
    }
    // The lines go out in plan order, each as soon as those before it are known.
    while (m_nextRead < m_readKnown.size() && m_readKnown[m_nextRead]) {
        const ApplyItem& next = m_run.item(static_cast<int>(m_nextRead));
        if (!m_console.json())
            m_console.print(
                QStringLiteral("  %1").arg(named(next.entry.target(), readPhaseLine(next))));
        else if (!next.outcome.ok())
            m_console.message(named(next.entry.target(), next.outcome.message));
        ++m_nextRead;
    }
}

void ApplyWatch::onFinished(int index) {
    const auto i = static_cast<std::size_t>(index);
    if (!m_writePending[i])
        return;
    m_writePending[i] = false;
    ++m_writesDone;
    const ApplyItem& item = m_run.item(index);
    if (!item.outcome.ok()) {
        ++m_failed;
        // Modules that never began their write (a stop came first) are in the report only.
        if (m_writeBegun[i])
            m_console.message(named(item.entry.target(), item.outcome.message));
    }
}

void ApplyWatch::onHalfWritten() {
    const QStringList modules = m_run.maybeHalfWritten();
    InterruptGuard::setNote(std::string(kToolName) + ": interrupted again: ending now; " +
                            (modules.isEmpty()
                                 ? std::string("no record was being written")
                                 : "these modules may be half written: " +
                                       modules.join(QStringLiteral(", ")).toStdString()) +
                            "\n");
}

} // namespace vqx::cli
