#include "FleetRun.h"

// The fleet window's work on the engine: scans (ScanRun) and previews and applies
// (ApplyRun). Both run on the engine's threads and report through its signals, which arrive
// on the window's thread; the table hears of status changes at the next refresh.

#include <algorithm>
#include <map>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSpinBox>

#include "ExitCodes.h"
#include "FileLimit.h"
#include "FleetView.h"
#include "HubSession.h"
#include "Scan.h"
#include "TargetLock.h"

namespace vqx::fleet {

using namespace vqx::provision;

namespace {

/// What a row shows for a module whose run has ended, and where that leaves the row.
QString finalStatus(const ApplyItem& item, RowState& state) {
    if (item.outcome.ok()) {
        state = item.result == QStringLiteral("unchanged")      ? RowState::Unchanged
                : item.result == QStringLiteral("would change") ? RowState::WouldChange
                                                                : RowState::Ok;
        return item.result;
    }
    if (item.result == QStringLiteral("interrupted")) {
        state = RowState::Interrupted;
        return item.written ? QStringLiteral("interrupted: may be half written")
                            : QStringLiteral("interrupted: nothing was written");
    }
    if (item.result == QStringLiteral("not started")) {
        state = RowState::NotStarted;
        return item.result;
    }
    state = RowState::Failed;
    QString text = QStringLiteral("%1: %2").arg(item.result, item.outcome.message);
    if (item.outcome.deviceCode != 0 &&
        !item.outcome.message.contains(QStringLiteral("code %1").arg(item.outcome.deviceCode)))
        text += QStringLiteral(" (code %1)").arg(item.outcome.deviceCode);
    if (item.written && item.outcome.bytesWritten < kRecordSize)
        text = QStringLiteral("may be half written: ") + text;
    return text;
}

} // namespace

// ---- scan ----

void FleetWindow::scan() {
    if (busy())
        return;
    static const QRegularExpression separators(QStringLiteral("[\\s,;]+"));
    const QStringList words = m_targets->text().split(separators, Qt::SkipEmptyParts);
    if (words.isEmpty()) {
        messageBox(QStringLiteral("Give the addresses to scan: addresses, ranges FIRST-LAST or "
                                  "blocks ADDRESS/BITS."));
        m_targets->setFocus(Qt::OtherFocusReason);
        return;
    }
    std::vector<AddressRange> ranges;
    for (const QString& word : words) {
        QString why;
        const auto range = parseScanTarget(word, &why);
        if (!range) {
            messageBox(QStringLiteral("Bad target: %1").arg(why));
            m_targets->setFocus(Qt::OtherFocusReason);
            return;
        }
        ranges.push_back(*range);
    }
    ranges = mergeRanges(ranges);
    const std::uint64_t total = addressCount(ranges);
    if (total > kLargestScan &&
        messageBox(QStringLiteral("The targets hold %1 addresses, more than a /16 (%2). Scan "
                                  "them all?")
                       .arg(total)
                       .arg(kLargestScan),
                   {}, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;

    ScanOptions options;
    options.port = static_cast<std::uint16_t>(m_port->value());
    options.connectTimeoutMs = m_scanTimeoutMs;
    m_scanRun = std::make_unique<ScanRun>(ranges, options, ScanHooks{});
    const std::uint16_t port = options.port;
    connect(m_scanRun.get(), &ScanRun::found, this, [this, port](const ScanHit& hit) {
        const int r = m_model->hostRow(hit.address, port);
        m_model->setFound(r, QStringLiteral("variant %1").arg(hit.variant), -1, hit.record,
                          hit.differs(), hit.failure.message);
    });
    connect(m_scanRun.get(), &ScanRun::progress, this,
            [this](quint64 done, quint64 all, int found) {
                // A range of up to 2^32 addresses: the bar counts in parts of a thousand.
                m_progress->setRange(0, 1000);
                m_progress->setValue(all == 0 ? 1000 : static_cast<int>(done * 1000 / all));
                m_progressText->setText(
                    QStringLiteral("Scanning: %1 of %2 addresses, %3 module(s) found")
                        .arg(done)
                        .arg(all)
                        .arg(found));
            });
    connect(m_scanRun.get(), &ScanRun::finished, this, [this, total] {
        const auto found = m_scanRun->hits().size();
        m_progress->setRange(0, 1);
        m_progress->setValue(1);
        m_progressText->setText(
            QStringLiteral("Scan %1: %2 module(s) found among %3 address(es)")
                .arg(m_scanRun->stopped() ? QStringLiteral("stopped") : QStringLiteral("done"))
                .arg(found)
                .arg(total));
        finishOperation();
    });
    m_progress->setRange(0, 1000);
    m_progress->setValue(0);
    m_progressText->setText(QStringLiteral("Scanning: 0 of %1 addresses").arg(total));
    setActivity(Activity::Scanning);
    m_scanRun->start();
}

// ---- preview and apply ----

void FleetWindow::preview() {
    startRun(true);
}

void FleetWindow::apply() {
    startRun(false);
}

void FleetWindow::startRun(bool dryRun) {
    if (busy())
        return;
    std::vector<int> rows = selectedRows();
    const bool chosen = !rows.empty();
    if (!chosen)
        rows = allRows();
    std::vector<int> planned;
    QStringList marked;
    std::vector<int> markedRows;
    for (const int r : rows) {
        const FleetRow& row = m_model->row(r);
        if (!row.plan || row.emptySlot())
            continue;
        if (!dryRun && row.marked()) {
            QStringList why;
            for (const QString& p : row.problems)
                if (!p.isEmpty())
                    why << QString(p).replace(QLatin1Char('\n'), QStringLiteral("; "));
            if (!row.duplicate.isEmpty())
                why << row.duplicate;
            marked << QStringLiteral("%1: %2").arg(row.target(), why.join(QStringLiteral("; ")));
            markedRows.push_back(r);
        }
        planned.push_back(r);
    }
    if (planned.empty()) {
        messageBox(chosen ? QStringLiteral("No selected row has a complete plan.")
                          : QStringLiteral("No row has a complete plan."));
        return;
    }
    if (!markedRows.empty()) {
        const auto answer = messageBox(
            QStringLiteral("%1 module(s) have planned settings that fail the checks. Write them "
                           "anyway?\n\nYes writes them too, No leaves them out.")
                .arg(markedRows.size()),
            marked.join(QLatin1Char('\n')),
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        if (answer == QMessageBox::Cancel)
            return;
        if (answer != QMessageBox::Yes) {
            for (const int r : markedRows) {
                planned.erase(std::find(planned.begin(), planned.end(), r));
                m_model->setStatus(r, RowState::Idle,
                                   QStringLiteral("left out: the plan fails the checks"));
            }
            if (planned.empty()) {
                m_model->flushStatus();
                return;
            }
        }
    }

    if (const Outcome o = ensureOpenFiles(m_jobs->value(), QStringLiteral("Jobs")); !o.ok()) {
        messageBox(o.message);
        return;
    }

    // Groups: the modules reached by host with the slots of the first hub, then each further
    // hub's slots.
    auto run = std::make_unique<Run>();
    run->dryRun = dryRun;
    std::map<int, Run::Group> byHub;
    for (const int r : planned)
        byHub[m_model->row(r).hub].rows.push_back(r);
    Run::Group first;
    first.rows = byHub[-1].rows;
    byHub.erase(-1);
    if (!byHub.empty()) {
        first.hub = byHub.begin()->first;
        first.rows.insert(first.rows.end(), byHub.begin()->second.rows.begin(),
                          byHub.begin()->second.rows.end());
        byHub.erase(byHub.begin());
        hubSession(); // made here, on the window's thread
    }
    run->groups.push_back(std::move(first));
    for (auto& [hub, group] : byHub) {
        group.hub = hub;
        run->groups.push_back(std::move(group));
    }
    for (Run::Group& g : run->groups) {
        std::sort(g.rows.begin(), g.rows.end());
        for (const int r : g.rows) {
            g.entries.push_back(*m_model->entryFor(r));
            m_model->setStatus(r, RowState::Running, QStringLiteral("queued"));
        }
    }
    run->total = static_cast<int>(planned.size());
    m_run = std::move(run);
    m_report.clear();
    m_summaryText.clear();
    m_summary->clear();
    m_progress->setRange(0, m_run->total);
    m_progress->setValue(0);
    setActivity(dryRun ? Activity::Previewing : Activity::Applying);
    refresh();
    startGroup();
}

void FleetWindow::startGroup() {
    const Run::Group& g = m_run->groups[m_run->group];
    ApplyOptions options;
    options.jobs = m_jobs->value();
    options.dryRun = m_run->dryRun;
    options.timing = m_timing;
    ApplyHooks hooks;
    if (g.hub >= 0) {
        HubSession* session = m_hubSession.get();
        const int hub = g.hub;
        hooks.hub = [session, hub](HubSession*& out) {
            if (session->number() != hub)
                session->select(hub);
            out = session;
            return Outcome{};
        };
    }
    // The write lock every writer takes; a lock held elsewhere is waited for (the row names
    // the holder) up to the connect time-out, and Stop ends the wait.
    hooks.lock = [waitMs = static_cast<int>(m_timing.timeoutSeconds * 1000)](
                     ModuleTarget& target, const std::atomic<bool>* stop,
                     const std::function<void(const QString&)>& waiting,
                     std::shared_ptr<void>& held) {
        std::unique_ptr<TargetLock> lock;
        Outcome o = takeWriteLock(target, waitMs, stop, waiting, lock);
        held = std::shared_ptr<TargetLock>(std::move(lock));
        return o;
    };
    m_applyRun = std::make_unique<ApplyRun>(g.entries, options, hooks);
    const std::vector<int> rows = g.rows;
    connect(m_applyRun.get(), &ApplyRun::progress, this,
            [this, rows](int index, ModuleStage stage, int done, int total) {
                if (stage != ModuleStage::Done)
                    m_model->setStatus(rows[static_cast<std::size_t>(index)], RowState::Running,
                                       stageText(stage, done, total));
            });
    connect(m_applyRun.get(), &ApplyRun::lockHeld, this,
            [this, rows](int index, const QString& holder) {
                m_model->setStatus(
                    rows[static_cast<std::size_t>(index)], RowState::Running,
                    QStringLiteral("waiting for the write lock held by %1").arg(holder));
            });
    connect(m_applyRun.get(), &ApplyRun::moduleFinished, this, [this, rows](int index) {
        const ApplyItem& item = m_applyRun->item(index);
        const int r = rows[static_cast<std::size_t>(index)];
        RowState state = RowState::Idle;
        const QString text = finalStatus(item, state);
        m_model->setStatus(r, state, text);
        if (item.after)
            m_model->setCurrent(r, *item.after);
        else if (item.before && !item.written)
            m_model->setCurrent(r, *item.before);
        ++m_run->done;
        if (state == RowState::Failed)
            ++m_run->failed;
    });
    connect(m_applyRun.get(), &ApplyRun::finished, this, &FleetWindow::onGroupFinished);
    m_applyRun->start();
}

void FleetWindow::onGroupFinished() {
    // The group's report in its order; a module whose final result was not announced (none
    // should be) takes it from the item now.
    const Run::Group& g = m_run->groups[m_run->group];
    for (int i = 0; i < m_applyRun->count(); ++i) {
        const ApplyItem& item = m_applyRun->item(i);
        m_report.push_back(item);
        const int r = g.rows[static_cast<std::size_t>(i)];
        if (m_model->row(r).state == RowState::Running) {
            RowState state = RowState::Idle;
            const QString text = finalStatus(item, state);
            m_model->setStatus(r, state, text);
            ++m_run->done;
            m_run->failed += state == RowState::Failed;
        }
    }
    m_run->stopped = m_run->stopped || m_applyRun->interrupted();
    m_applyRun.reset();
    if (++m_run->group < m_run->groups.size() && !m_run->stopped) {
        startGroup();
        return;
    }
    // Groups never started when the run was stopped: their modules were not contacted.
    for (; m_run->group < m_run->groups.size(); ++m_run->group) {
        const Run::Group& rest = m_run->groups[m_run->group];
        for (std::size_t i = 0; i < rest.rows.size(); ++i) {
            ApplyItem item;
            item.entry = rest.entries[i];
            item.result = QStringLiteral("not started");
            item.outcome = Outcome::fail(Exit::Interrupted,
                                         QStringLiteral("%1: not started: the run was stopped")
                                             .arg(rest.entries[i].target()));
            m_report.push_back(item);
            m_model->setStatus(rest.rows[i], RowState::NotStarted, item.result);
            ++m_run->done;
        }
    }
    int ok = 0, unchanged = 0, failed = 0, interrupted = 0;
    for (const ApplyItem& item : m_report) {
        if (item.outcome.ok())
            ++(item.result == QStringLiteral("unchanged") ? unchanged : ok);
        else if (item.outcome.exit == Exit::Interrupted)
            ++interrupted;
        else
            ++failed;
    }
    m_summaryText = QStringLiteral("%1: %2 %3, %4 unchanged, %5 failed, %6 interrupted")
                        .arg(m_run->dryRun ? QStringLiteral("Preview") : QStringLiteral("Applied"))
                        .arg(ok)
                        .arg(m_run->dryRun ? QStringLiteral("would change") : QStringLiteral("ok"))
                        .arg(unchanged)
                        .arg(failed)
                        .arg(interrupted);
    m_summary->setText(m_summaryText);
    refresh();
    m_run.reset();
    finishOperation();
}

void FleetWindow::stopRuns() {
    if (m_scanRun && m_activity == Activity::Scanning)
        m_scanRun->stop();
    if (m_run)
        m_run->stopped = true;
    if (m_applyRun)
        m_applyRun->stop();
}

void FleetWindow::refresh() {
    m_model->flushStatus();
    if (m_run) {
        m_progress->setRange(0, std::max(m_run->total, 1));
        m_progress->setValue(m_run->done);
        m_progressText->setText(
            QStringLiteral("%1: %2 of %3 done, %4 failed%5")
                .arg(m_run->dryRun ? QStringLiteral("Preview") : QStringLiteral("Apply"))
                .arg(m_run->done)
                .arg(m_run->total)
                .arg(m_run->failed)
                .arg(m_run->stopped ? QStringLiteral(", stopping") : QString()));
    }
}

} // namespace vqx::fleet
