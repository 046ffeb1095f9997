#include "FleetWindow.h"

// The window's controls, the plan and report files, the hubs' read and closing. Scans,
// previews and runs (the engine's side) are in FleetRuns.cpp.

#include <algorithm>
#include <type_traits>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "ApplyReport.h"
#include "FillDialog.h"
#include "FleetRun.h"
#include "FleetView.h"
#include "HubReader.h"
#include "HubSession.h"
#include "ModuleTypes.h"
#include "PlanFile.h"
#include "PlanWriter.h"
#include "Scan.h"
#include "UserText.h"

namespace vqx::fleet {

using namespace vqx::provision;

namespace {

QPushButton* button(const QString& text, const QString& name, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAccessibleName(QString(text).remove(QLatin1Char('&')).remove(QStringLiteral("...")));
    b->setAutoDefault(false);
    return b;
}

QLabel* label(const QString& text, QWidget* buddy, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setBuddy(buddy);
    return l;
}

bool isJson(const QString& path) {
    return path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive);
}

} // namespace

FleetWindow::FleetWindow(HubDriverFactory hubDriver, QWidget* parent)
    : QWidget(parent, Qt::Window), m_hubDriver(std::move(hubDriver)) {
    setWindowTitle(QStringLiteral("VQX250 Fleet"));
    setObjectName(QStringLiteral("fleetWindow"));
    setAccessibleName(windowTitle());
    m_timing.timeoutSeconds = 10;
    createControls();
    m_refresh = new QTimer(this);
    m_refresh->setInterval(kRefreshMs);
    connect(m_refresh, &QTimer::timeout, this, &FleetWindow::refresh);
    updateButtons();
}

FleetWindow::~FleetWindow() {
    // The engine's threads and the hub reader end first (nothing new starts, transfers in
    // flight run to their end), and nothing they report reaches the window any more: their
    // signals would find it half destroyed. The wait runs this thread's event loop, as the
    // run's own end would: modules served on this thread (the demo's) keep answering the
    // transfers in flight.
    m_closeWhenDone = false;
    const auto settle = [this](auto* run) {
        run->disconnect(this);
        run->stop();
        if (!run->running())
            return;
        QEventLoop loop;
        connect(run, &std::remove_pointer_t<decltype(run)>::finished, &loop, &QEventLoop::quit);
        loop.exec();
    };
    if (m_applyRun) {
        settle(m_applyRun.get());
        m_applyRun.reset();
    }
    if (m_scanRun) {
        settle(m_scanRun.get());
        m_scanRun.reset();
    }
    if (m_hubReader) {
        m_hubReader->disconnect(this);
        m_hubReader.reset();
    }
}

void FleetWindow::createControls() {
    auto* layout = new QVBoxLayout(this);

    // Find.
    auto* find = new QHBoxLayout;
    m_targets = new QLineEdit(this);
    m_targets->setObjectName(QStringLiteral("targets"));
    m_targets->setAccessibleName(QStringLiteral("Targets"));
    m_targets->setPlaceholderText(QStringLiteral("192.168.1.0/24 10.0.0.10-10.0.0.60"));
    m_targets->setToolTip(QStringLiteral("Addresses, ranges FIRST-LAST and blocks ADDRESS/BITS, "
                                         "separated by blanks or commas"));
    m_port = new QSpinBox(this);
    m_port->setObjectName(QStringLiteral("port"));
    m_port->setAccessibleName(QStringLiteral("Port"));
    m_port->setRange(1, 65535);
    m_port->setValue(kModulePort);
    m_scan = button(QStringLiteral("&Scan"), QStringLiteral("scan"), this);
    m_hubs = button(QStringLiteral("&Hubs"), QStringLiteral("hubs"), this);
    m_stop = button(QStringLiteral("St&op"), QStringLiteral("stop"), this);
    find->addWidget(label(QStringLiteral("&Targets:"), m_targets, this));
    find->addWidget(m_targets, 1);
    find->addWidget(label(QStringLiteral("Po&rt:"), m_port, this));
    find->addWidget(m_port);
    find->addWidget(m_scan);
    find->addWidget(m_hubs);
    find->addWidget(m_stop);
    layout->addLayout(find);

    // The table.
    m_model = new FleetModel(this);
    m_proxy = new QSortFilterProxyModel(this);
    m_proxy->setSourceModel(m_model);
    m_proxy->setSortRole(FleetModel::SortRole);
    m_proxy->setDynamicSortFilter(false); // rows do not jump while their statuses change
    m_view = new FleetView(this);
    m_view->setObjectName(QStringLiteral("modules"));
    m_view->setAccessibleName(QStringLiteral("Modules"));
    m_view->setModel(m_proxy);
    m_view->setItemDelegate(new PlannedDelegate(m_view));
    m_view->sortByColumn(FleetModel::Target, Qt::AscendingOrder);
    const QFontMetrics fm(m_view->font());
    const int address = fm.horizontalAdvance(QStringLiteral("255.255.255.255")) + 3 * fm.height();
    const std::array<int, FleetModel::ColumnCount> widths = {
        fm.horizontalAdvance(QStringLiteral("255.255.255.255:65535")) + fm.height(),
        fm.horizontalAdvance(QStringLiteral("Oscilloscope")) + 2 * fm.height(),
        address,
        address,
        address,
        fm.horizontalAdvance(QStringLiteral("Differs")) + 2 * fm.height(),
        address,
        address,
        address,
        fm.horizontalAdvance(QStringLiteral("writing 12 of 12")) + 2 * fm.height()};
    for (int c = 0; c < FleetModel::ColumnCount; ++c)
        m_view->setColumnWidth(c, widths[static_cast<std::size_t>(c)]);
    m_view->horizontalHeader()->setStretchLastSection(true);
    m_view->verticalHeader()->setDefaultSectionSize(fm.height() + fm.height() / 2);
    connect(m_view, &FleetView::copyRequested, this, &FleetWindow::copySelection);
    connect(m_view, &FleetView::clearRequested, this, &FleetWindow::clearSelectedPlans);
    layout->addWidget(label(QStringLiteral("&Modules:"), m_view, this));
    layout->addWidget(m_view, 1);

    // Plan and apply.
    auto* plan = new QHBoxLayout;
    m_fill = button(QStringLiteral("&Fill..."), QStringLiteral("fill"), this);
    m_open = button(QStringLiteral("Open p&lan..."), QStringLiteral("openPlan"), this);
    m_save = button(QStringLiteral("Sa&ve plan..."), QStringLiteral("savePlan"), this);
    m_preview = button(QStringLiteral("&Preview"), QStringLiteral("preview"), this);
    m_apply = button(QStringLiteral("&Apply"), QStringLiteral("apply"), this);
    m_jobs = new QSpinBox(this);
    m_jobs->setObjectName(QStringLiteral("jobs"));
    m_jobs->setAccessibleName(QStringLiteral("Jobs"));
    m_jobs->setToolTip(QStringLiteral("Modules reached at once (the slots of a hub go one at a "
                                      "time)"));
    m_jobs->setRange(1, 256);
    m_jobs->setValue(kDefaultJobs);
    plan->addWidget(m_fill);
    plan->addWidget(m_open);
    plan->addWidget(m_save);
    plan->addStretch(1);
    plan->addWidget(m_preview);
    plan->addWidget(m_apply);
    plan->addWidget(label(QStringLiteral("&Jobs:"), m_jobs, this));
    plan->addWidget(m_jobs);
    layout->addLayout(plan);

    // Report and progress.
    auto* report = new QHBoxLayout;
    m_selectFailed = button(QStringLiteral("Select fa&iled"), QStringLiteral("selectFailed"), this);
    m_saveReport = button(QStringLiteral("Save r&eport..."), QStringLiteral("saveReport"), this);
    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("summary"));
    m_summary->setAccessibleName(QStringLiteral("Summary"));
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_summary->setFocusPolicy(Qt::NoFocus);
    report->addWidget(m_selectFailed);
    report->addWidget(m_saveReport);
    report->addWidget(m_summary, 1);
    layout->addLayout(report);
    auto* progress = new QHBoxLayout;
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setAccessibleName(QStringLiteral("Progress"));
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
    m_progressText = new QLabel(this);
    m_progressText->setObjectName(QStringLiteral("progressText"));
    m_progressText->setAccessibleName(QStringLiteral("Progress text"));
    progress->addWidget(m_progress, 1);
    progress->addWidget(m_progressText, 2);
    layout->addLayout(progress);

    connect(m_targets, &QLineEdit::returnPressed, this, &FleetWindow::scan);
    connect(m_scan, &QPushButton::clicked, this, &FleetWindow::scan);
    connect(m_hubs, &QPushButton::clicked, this, &FleetWindow::readHubs);
    connect(m_stop, &QPushButton::clicked, this, &FleetWindow::stop);
    connect(m_fill, &QPushButton::clicked, this, &FleetWindow::fillSelected);
    connect(m_open, &QPushButton::clicked, this, qOverload<>(&FleetWindow::openPlan));
    connect(m_save, &QPushButton::clicked, this, qOverload<>(&FleetWindow::savePlan));
    connect(m_preview, &QPushButton::clicked, this, &FleetWindow::preview);
    connect(m_apply, &QPushButton::clicked, this, &FleetWindow::apply);
    connect(m_selectFailed, &QPushButton::clicked, this, &FleetWindow::selectFailed);
    connect(m_saveReport, &QPushButton::clicked, this, qOverload<>(&FleetWindow::saveReport));

    const std::array<QWidget*, 14> order = {
        m_targets, m_port, m_scan,    m_hubs,  m_stop, m_view,         m_fill,
        m_open,    m_save, m_preview, m_apply, m_jobs, m_selectFailed, m_saveReport};
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    int width = layout->contentsMargins().left() + layout->contentsMargins().right() +
                m_view->frameWidth() * 2 + style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 2;
    for (const int w : widths)
        width += w;
    resize(std::max(width, minimumSizeHint().width()), fm.height() * 36);
}

vqx::provision::HubSession& FleetWindow::hubSession() {
    if (!m_hubSession)
        m_hubSession = std::make_unique<HubSession>(m_hubDriver ? m_hubDriver() : nullptr, 0);
    return *m_hubSession;
}

void FleetWindow::setTargets(const QString& text) {
    m_targets->setText(text);
}

void FleetWindow::setPort(int port) {
    m_port->setValue(port);
}

void FleetWindow::setJobs(int jobs) {
    m_jobs->setValue(jobs);
}

void FleetWindow::setActivity(Activity activity) {
    m_activity = activity;
    if (activity == Activity::Idle)
        m_refresh->stop();
    else
        m_refresh->start();
    m_view->setEditTriggers(activity == Activity::Idle ? QAbstractItemView::DoubleClicked |
                                                             QAbstractItemView::EditKeyPressed |
                                                             QAbstractItemView::AnyKeyPressed
                                                       : QAbstractItemView::NoEditTriggers);
    updateButtons();
}

void FleetWindow::updateButtons() {
    const bool idle = m_activity == Activity::Idle;
    for (QWidget* w : std::initializer_list<QWidget*>{m_targets, m_port, m_scan, m_hubs, m_fill,
                                                      m_open, m_save, m_preview, m_apply, m_jobs})
        w->setEnabled(idle);
    m_stop->setEnabled(!idle);
    m_saveReport->setEnabled(idle && !m_report.empty());
    m_selectFailed->setEnabled(idle);
}

void FleetWindow::finishOperation() {
    setActivity(Activity::Idle);
    refresh();
    // Rows found or opened meanwhile join the table's order (it is not kept while statuses
    // change, so that rows do not jump during a run).
    m_view->sortByColumn(m_view->horizontalHeader()->sortIndicatorSection(),
                         m_view->horizontalHeader()->sortIndicatorOrder());
    emit operationFinished();
    if (m_closeWhenDone) {
        m_closeWhenDone = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

QMessageBox::StandardButton FleetWindow::messageBox(const QString& text, const QString& detail,
                                                    QMessageBox::StandardButtons buttons) {
    if (m_messageBoxHook)
        return m_messageBoxHook(text, detail, buttons);
    QMessageBox box(buttons == QMessageBox::Ok ? QMessageBox::Information : QMessageBox::Question,
                    windowTitle(), text, buttons, this);
    box.setTextFormat(Qt::PlainText);
    if (!detail.isEmpty())
        box.setDetailedText(detail);
    box.setAccessibleDescription(detail.isEmpty() ? text : text + QLatin1Char('\n') + detail);
    if (buttons.testFlag(QMessageBox::No))
        box.setDefaultButton(QMessageBox::No);
    const int answer = box.exec();
    return buttons == QMessageBox::Ok ? QMessageBox::Ok
                                      : static_cast<QMessageBox::StandardButton>(answer);
}

QString FleetWindow::chooseFile(FileChoice choice) {
    if (m_fileDialogHook)
        return m_fileDialogHook(choice);
    const QString filters =
        choice == FileChoice::SaveReport
            ? QStringLiteral("CSV report (*.csv);;JSON report, as apply --json (*.json)")
            : QStringLiteral("CSV plan (*.csv);;JSON plan (*.json);;All files (*)");
    QString selected;
    QString path;
    if (choice == FileChoice::OpenPlan) {
        path = QFileDialog::getOpenFileName(this, QStringLiteral("Open plan"), QString(), filters,
                                            &selected);
    } else {
        path = QFileDialog::getSaveFileName(this,
                                            choice == FileChoice::SavePlan
                                                ? QStringLiteral("Save plan")
                                                : QStringLiteral("Save report"),
                                            QString(), filters, &selected);
        // A name without its ending takes the one of the chosen form.
        if (!path.isEmpty() && QFileInfo(path).suffix().isEmpty())
            path += selected.contains(QStringLiteral("*.json")) ? QStringLiteral(".json")
                                                                : QStringLiteral(".csv");
    }
    return path;
}

// ---- the table ----

std::vector<int> FleetWindow::selectedRows() const {
    std::vector<std::pair<int, int>> rows; // (view row, source row)
    for (const QModelIndex& i : m_view->selectionModel()->selectedRows())
        rows.emplace_back(i.row(), m_proxy->mapToSource(i).row());
    std::sort(rows.begin(), rows.end());
    std::vector<int> out;
    out.reserve(rows.size());
    for (const auto& r : rows)
        out.push_back(r.second);
    return out;
}

std::vector<int> FleetWindow::allRows() const {
    std::vector<int> out;
    out.reserve(static_cast<std::size_t>(m_proxy->rowCount()));
    for (int v = 0; v < m_proxy->rowCount(); ++v)
        out.push_back(m_proxy->mapToSource(m_proxy->index(v, 0)).row());
    return out;
}

void FleetWindow::selectRows(const std::vector<int>& rows) {
    QItemSelection selection;
    for (const int r : rows) {
        const QModelIndex at = m_proxy->mapFromSource(m_model->index(r, 0));
        selection.select(at, at.siblingAtColumn(FleetModel::ColumnCount - 1));
    }
    m_view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect |
                                                    QItemSelectionModel::Rows);
    if (!rows.empty()) {
        const QModelIndex first = m_proxy->mapFromSource(m_model->index(rows.front(), 0));
        m_view->selectionModel()->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
        m_view->scrollTo(first);
    }
}

void FleetWindow::copySelection() {
    const std::vector<int> rows = selectedRows();
    if (!rows.empty())
        QGuiApplication::clipboard()->setText(m_model->rowsCsv(rows));
}

void FleetWindow::clearSelectedPlans() {
    if (!busy())
        m_model->clearPlanned(selectedRows());
}

void FleetWindow::fillSelected() {
    std::vector<int> rows = selectedRows();
    if (rows.empty())
        rows = allRows();
    if (rows.empty())
        return;
    // The dialog starts from the first row's plan, else what it holds now.
    const FleetRow& first = m_model->row(rows.front());
    NetworkRecord start{0, 0xFFFFFF00u, 0};
    if (first.plan)
        start = *first.plan;
    else if (first.current)
        start = *first.current;
    FillDialog dialog(static_cast<int>(rows.size()), start.ip, start.mask, start.gateway, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    fill(dialog.start(), dialog.mask(), dialog.gateway());
}

void FleetWindow::fill(std::uint32_t start, std::uint32_t mask, std::uint32_t gateway) {
    if (busy())
        return;
    std::vector<int> rows = selectedRows();
    if (rows.empty())
        rows = allRows();
    m_model->fill(rows, start, mask, gateway);
}

void FleetWindow::selectFailed() {
    std::vector<int> rows;
    for (const int r : allRows())
        if (m_model->row(r).state == RowState::Failed)
            rows.push_back(r);
    selectRows(rows);
    m_view->setFocus(Qt::OtherFocusReason);
}

// ---- plan and report files ----

void FleetWindow::openPlan() {
    if (const QString path = chooseFile(FileChoice::OpenPlan); !path.isEmpty())
        openPlan(path);
}

bool FleetWindow::openPlan(const QString& path) {
    if (busy())
        return false;
    QString why;
    const auto entries = loadPlan(path, PlanFormat::Auto, &why);
    if (!entries) {
        messageBox(QStringLiteral("The plan cannot be opened."), why);
        return false;
    }
    const std::vector<int> rows = m_model->mergePlan(*entries);
    m_view->sortByColumn(m_view->horizontalHeader()->sortIndicatorSection(),
                         m_view->horizontalHeader()->sortIndicatorOrder());
    selectRows(rows);
    m_summaryText = QStringLiteral("Opened a plan of %1 module(s): %2")
                        .arg(entries->size())
                        .arg(QFileInfo(path).fileName());
    m_summary->setText(m_summaryText);
    return true;
}

void FleetWindow::savePlan() {
    if (const QString path = chooseFile(FileChoice::SavePlan); !path.isEmpty())
        savePlan(path);
}

namespace {

/// Writes the file whole or not at all.
bool writeFile(const QString& path, const QByteArray& bytes, QString* why) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *why = file.errorString();
        return false;
    }
    return true;
}

} // namespace

bool FleetWindow::savePlan(const QString& path) {
    QStringList skipped;
    const std::vector<PlanEntry> entries = m_model->planEntries(allRows(), &skipped);
    if (entries.empty()) {
        messageBox(QStringLiteral("No row has a complete plan to save."),
                   skipped.join(QLatin1Char('\n')));
        return false;
    }
    QString why;
    if (!writeFile(path, writePlan(entries, isJson(path) ? PlanFormat::Json : PlanFormat::Csv),
                   &why)) {
        messageBox(QStringLiteral("The plan cannot be saved: %1").arg(shown(path, 200)), why);
        return false;
    }
    if (!skipped.isEmpty())
        messageBox(QStringLiteral("The plan of %1 module(s) was saved; %2 row(s) were left out.")
                       .arg(entries.size())
                       .arg(skipped.size()),
                   skipped.join(QLatin1Char('\n')));
    return true;
}

void FleetWindow::saveReport() {
    if (const QString path = chooseFile(FileChoice::SaveReport); !path.isEmpty())
        saveReport(path);
}

bool FleetWindow::saveReport(const QString& path) {
    const QByteArray bytes =
        isJson(path) ? QJsonDocument(applyReportJson(m_report)).toJson(QJsonDocument::Indented)
                     : applyReportCsv(m_report);
    QString why;
    if (!writeFile(path, bytes, &why)) {
        messageBox(QStringLiteral("The report cannot be saved: %1").arg(shown(path, 200)), why);
        return false;
    }
    return true;
}

QString FleetWindow::summary() const {
    return m_summaryText;
}

// ---- the hubs ----

void FleetWindow::readHubs() {
    if (busy())
        return;
    m_hubReader = std::make_unique<HubReader>(hubSession());
    connect(m_hubReader.get(), &HubReader::slotRead, this, &FleetWindow::onHubSlot);
    connect(m_hubReader.get(), &HubReader::progress, this, [this](int done, int total) {
        m_progress->setRange(0, std::max(total, 1));
        m_progress->setValue(done);
        m_progressText->setText(
            QStringLiteral("Reading the hubs: %1 of %2 slot(s)").arg(done).arg(total));
    });
    connect(m_hubReader.get(), &HubReader::finished, this,
            [this](const QString& problems, bool stopped) {
                m_progressText->setText(stopped ? QStringLiteral("Reading the hubs: stopped")
                                                : QStringLiteral("Reading the hubs: done"));
                finishOperation();
                if (!problems.isEmpty())
                    messageBox(QStringLiteral("Not every hub could be read."), problems);
            });
    m_progress->setRange(0, 0); // busy until the hubs are counted
    m_progressText->setText(QStringLiteral("Reading the hubs..."));
    setActivity(Activity::ReadingHubs);
    m_hubReader->start();
}

void FleetWindow::onHubSlot(const HubSlot& slot) {
    const int r = m_model->slotRow(slot.hub, slot.slot);
    QString module = QString::fromLatin1(vqx::usb::moduleTypeName(slot.type));
    if (module == QStringLiteral("Unknown"))
        module += QStringLiteral(" (type %1)").arg(slot.type);
    m_model->setFound(r, module, slot.type, slot.record, false, slot.failure);
}

// ---- stopping and closing ----

void FleetWindow::stop() {
    if (m_hubReader && m_hubReader->running())
        m_hubReader->stop();
    stopRuns();
}

void FleetWindow::closeEvent(QCloseEvent* event) {
    if (!busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_closeWhenDone)
        return; // asked already; the window closes when the run has ended
    const auto answer = messageBox(
        QStringLiteral("Modules are being worked on. Stop and close the window?"),
        QStringLiteral("No further module starts; transfers in flight run to their end, and the "
                       "window closes when they have."),
        QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    m_closeWhenDone = true;
    stop();
}

} // namespace vqx::fleet
