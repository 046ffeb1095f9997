#pragma once
// The fleet window: many modules at once, from the application. Find them (a scan of
// addresses in the tool's syntax, or every hub's slots), plan their settings in the table
// (typed, filled in one step, or opened from a plan file in the tool's formats), preview and
// apply the plan through the provisioning engine, and save the report in the tool's formats.
//
// The window never waits for a module: scans and runs work on the engine's threads and
// report through its signals; the hub's slots are read on a thread of their own. Status
// changes reach the table at most every kRefreshMs, so a thousand rows updating keep the
// window responsive. Stop has the tool's Ctrl-C meaning: nothing new starts, transfers in
// flight end, each row says what happened. Closing the window while something runs asks
// first and then stops the same way; the window closes when the run has ended.
//
// Planned values that fail the core's settings check, or an IP planned for two rows, are
// marked; such rows are written only when the user agrees once for the whole run (the
// tool's --force), else left out.
//
// Every control has an accessible name and a mnemonic; Enter in the targets field scans,
// Enter on a row edits its planned values, Delete clears them, Ctrl+C copies the selected
// rows as CSV. Message boxes and file choices go through replaceable hooks (tests).

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QMessageBox>
#include <QString>
#include <QWidget>

#include "ApplyEngine.h"
#include "D2xx.h"
#include "EthernetTarget.h"
#include "FleetModel.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSortFilterProxyModel;
class QSpinBox;
class QTimer;

namespace vqx::provision {
class ApplyRun;
class HubSession;
class ScanRun;
} // namespace vqx::provision

namespace vqx::fleet {

class FleetView;
class HubReader;
struct HubSlot;

class FleetWindow : public QWidget {
    Q_OBJECT
public:
    /// Makes the driver of the hubs (the real backend, or the demo's simulated hub).
    using HubDriverFactory = std::function<std::unique_ptr<vqx::usb::D2xxDriver>()>;
    /// Shows a message box instead of the window; returns the button pressed.
    using MessageBoxHook = std::function<QMessageBox::StandardButton(
        const QString& text, const QString& detail, QMessageBox::StandardButtons buttons)>;
    enum class FileChoice { OpenPlan, SavePlan, SaveReport };
    /// Chooses a file instead of the file dialog; empty: cancelled.
    using FileDialogHook = std::function<QString(FileChoice choice)>;
    enum class Activity { Idle, Scanning, ReadingHubs, Previewing, Applying };

    static constexpr int kDefaultJobs = 16;
    static constexpr int kRefreshMs = 40;

    explicit FleetWindow(HubDriverFactory hubDriver, QWidget* parent = nullptr);
    ~FleetWindow() override;

    FleetModel& model() { return *m_model; }
    FleetView* view() const { return m_view; }
    Activity activity() const { return m_activity; }
    bool busy() const { return m_activity != Activity::Idle; }

    // The window's actions, as its buttons run them.
    void scan();
    void readHubs();
    void stop();
    /// Fill... : the dialog, then fill().
    void fillSelected();
    /// Plans the selected rows (all rows when none is selected), in the table's order.
    void fill(std::uint32_t start, std::uint32_t mask, std::uint32_t gateway);
    void openPlan();
    void savePlan();
    /// The same with a file named (no file dialog); false when it failed (a box says why).
    bool openPlan(const QString& path);
    bool savePlan(const QString& path);
    void preview();
    void apply();
    void selectFailed();
    void saveReport();
    bool saveReport(const QString& path);
    void copySelection();
    void clearSelectedPlans();

    /// "Applied: 30 ok, 2 unchanged, 1 failed, 0 interrupted"; empty before the first run.
    QString summary() const;
    /// The items of the last preview or apply, in the order the rows were run.
    const std::vector<vqx::provision::ApplyItem>& report() const { return m_report; }
    /// The rows of the table (source rows) selected, in the table's order.
    std::vector<int> selectedRows() const;
    /// Every row, in the table's order.
    std::vector<int> allRows() const;
    void selectRows(const std::vector<int>& rows);

    void setTargets(const QString& text);
    void setPort(int port);
    void setJobs(int jobs);
    /// The connect sequence of a run's Ethernet modules (tests shorten it, drop the arp step).
    void setConnectTiming(const vqx::provision::ConnectTiming& timing) { m_timing = timing; }
    void setScanTimeoutMs(int ms) { m_scanTimeoutMs = ms; }
    /// The hubs' session (made on first use).
    vqx::provision::HubSession& hubSession();

    QMessageBox::StandardButton messageBox(const QString& text, const QString& detail = {},
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    void setMessageBoxHook(MessageBoxHook hook) { m_messageBoxHook = std::move(hook); }
    void setFileDialogHook(FileDialogHook hook) { m_fileDialogHook = std::move(hook); }

signals:
    /// A scan, hub read, preview or apply has ended.
    void operationFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Run; // the groups of a preview or apply and how far they are
    void createControls();
    void setActivity(Activity activity);
    void updateButtons();
    void refresh();
    QString chooseFile(FileChoice choice);
    void finishOperation();

    void onHubSlot(const HubSlot& slot);
    void startRun(bool dryRun);
    void startGroup();
    void onGroupFinished();
    void stopRuns();

    HubDriverFactory m_hubDriver;
    std::unique_ptr<vqx::provision::HubSession> m_hubSession;
    FleetModel* m_model = nullptr;
    QSortFilterProxyModel* m_proxy = nullptr;
    FleetView* m_view = nullptr;

    QLineEdit* m_targets = nullptr;
    QSpinBox* m_port = nullptr;
    QPushButton* m_scan = nullptr;
    QPushButton* m_hubs = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_fill = nullptr;
    QPushButton* m_open = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_preview = nullptr;
    QPushButton* m_apply = nullptr;
    QSpinBox* m_jobs = nullptr;
    QPushButton* m_selectFailed = nullptr;
    QPushButton* m_saveReport = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_progressText = nullptr;
    QLabel* m_summary = nullptr;
    QTimer* m_refresh = nullptr;

    Activity m_activity = Activity::Idle;
    bool m_closeWhenDone = false;
    vqx::provision::ConnectTiming m_timing;
    int m_scanTimeoutMs = 300;

    std::unique_ptr<HubReader> m_hubReader;
    std::unique_ptr<vqx::provision::ScanRun> m_scanRun;
    std::unique_ptr<vqx::provision::ApplyRun> m_applyRun;
    std::unique_ptr<Run> m_run;
    std::vector<vqx::provision::ApplyItem> m_report;
    QString m_summaryText;

    MessageBoxHook m_messageBoxHook;
    FileDialogHook m_fileDialogHook;
};

} // namespace vqx::fleet
