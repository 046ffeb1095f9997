// The fleet window against simulated modules served in this process on 127.0.63.x (a port
// of their own) and a simulated hub: the scan fills the table with exactly the modules that
// listen, Fill and Apply write each module's planned record, a failing module fails alone,
// Stop leaves every row with its true state, a plan saved and opened again gives the same
// rows; the checks' marks, the keyboard and the accessible names.

#include <memory>
#include <vector>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "ApplyEngine.h"
#include "CUsbHub.h"
#include "FleetView.h"
#include "FleetWindow.h"
#include "HubSession.h"
#include "ModuleModel.h"
#include "ModuleServer.h"
#include "NetworkRecord.h"
#include "SimHub.h"
#include "TargetLock.h"
#include "TestNet.h"

using vqx::NetworkRecord;
using vqx::fleet::FleetModel;
using vqx::fleet::FleetWindow;
using vqx::fleet::RowState;
using vqx::sim::ModuleModel;
using vqx::sim::ModuleServer;

namespace {

constexpr std::uint32_t kBlock = 0x7F003F00;                      // 127.0.63.0
const NetworkRecord kOld{0x0A0000FE, 0xFF000000, 0x0A000005};     // gateway 10.0.0.254
const NetworkRecord kPlanned{0x0A000001, 0xFFFFFF00, 0x0A000015}; // 10.0.0.21/24 via .1

using vqxtest::freePort;

struct Served {
    std::uint32_t address = 0;
    std::shared_ptr<ModuleModel> model;
    std::unique_ptr<ModuleServer> server;
    NetworkRecord record() const { return NetworkRecord::fromBytes(model->record()); }
};

/// A fleet window with simulated modules, a simulated hub, and its boxes and file choices
/// recorded.
QString block(unsigned last) {
    return vqx::formatAddress(kBlock | last);
}

struct Harness {
    quint16 port = freePort();
    std::vector<std::unique_ptr<Served>> served;
    std::shared_ptr<vqx::sim::SimHub> hub;
    std::unique_ptr<FleetWindow> window;
    QStringList boxes;
    QMessageBox::StandardButton answer = QMessageBox::No;
    QString file;

    Harness() {
        window = std::make_unique<FleetWindow>([this]() -> std::unique_ptr<vqx::usb::D2xxDriver> {
            if (!hub)
                return std::make_unique<vqx::sim::SimHubDriver>(
                    std::vector<std::shared_ptr<vqx::sim::SimHub>>{});
            return std::make_unique<vqx::sim::SimHubDriver>(hub);
        });
        window->setPort(port);
        vqx::provision::ConnectTiming timing;
        timing.timeoutSeconds = 1;
        timing.runArp = false;
        timing.arpPauseMs = 0;
        timing.cycleMs = 200;
        window->setConnectTiming(timing);
        window->setScanTimeoutMs(2000);
        window->setMessageBoxHook([this](const QString& text, const QString& detail,
                                         QMessageBox::StandardButtons buttons) {
            boxes << (detail.isEmpty() ? text : text + QStringLiteral(" | ") + detail);
            return buttons == QMessageBox::Ok ? QMessageBox::Ok : answer;
        });
        window->setFileDialogHook([this](FleetWindow::FileChoice) { return file; });
    }

    Served& serve(unsigned last, ModuleModel::Variant variant = ModuleModel::Variant::V1,
                  const NetworkRecord& record = kOld) {
        auto s = std::make_unique<Served>();
        s->address = kBlock | last;
        s->model = std::make_shared<ModuleModel>(variant);
        s->model->setRecord(record.toBytes());
        s->server = std::make_unique<ModuleServer>(s->model);
        if (!s->server->listen(QHostAddress(s->address), port))
            qFatal("cannot serve on %s:%u", qPrintable(vqx::formatAddress(s->address)), port);
        served.push_back(std::move(s));
        return *served.back();
    }

    void withHub(const std::array<int, 6>& types) {
        hub = vqx::sim::makeHub(types);
        window->hubSession().hub().SetSleep([](unsigned) {}); // not 100 ms a byte
    }

    /// Runs an action of the window and waits for it to end.
    /// Runs an action of the window and waits for it to end (at once when it did not start).
    bool run(const std::function<void()>& action, int timeoutMs = 60000) {
        QSignalSpy done(window.get(), &FleetWindow::operationFinished);
        action();
        return done.count() > 0 || !window->busy() || done.wait(timeoutMs);
    }

    bool scan(const QString& targets) {
        window->setTargets(targets);
        return run([this] { window->scan(); });
    }

    /// Modules on the block's addresses 1 to `count`, found by a scan and all planned.
    bool servedAndPlanned(unsigned count) {
        for (unsigned last = 1; last <= count; ++last)
            serve(last);
        if (!scan(block(1) + "-" + block(count)))
            return false;
        window->fill(kPlanned.ip, kPlanned.mask, kPlanned.gateway);
        return true;
    }

    FleetModel& model() { return window->model(); }
    int rowOf(const QString& target) {
        for (int r = 0; r < model().size(); ++r)
            if (model().row(r).target() == target)
                return r;
        return -1;
    }
    QString target(const Served& s) const {
        return QStringLiteral("%1:%2").arg(vqx::formatAddress(s.address)).arg(port);
    }
    const vqx::fleet::FleetRow& row(const Served& s) { return model().row(rowOf(target(s))); }
    /// Runs `action` from the event loop as soon as any module receives the first byte of
    /// an EEPROM write (its data register written): that module's write is then in flight.
    void onFirstWrite(std::function<void()> action) {
        auto fired = std::make_shared<bool>(false);
        for (const auto& s : served)
            s->server->setLogger([fired, action](const QString& line) {
                if (*fired || !line.startsWith(QStringLiteral("<- ")) ||
                    !line.contains(QStringLiteral("write reg 15 ")))
                    return;
                *fired = true;
                QTimer::singleShot(0, qApp, action);
            });
    }
};

} // namespace

class TestFleet : public QObject {
    Q_OBJECT
private slots:
    // A scan finds exactly the modules that listen, each with its variant and record, marks
    // a record whose IP is not the address the module answered on, and counts every address.
    void scanFillsTheTableWithTheListeningModules() {
        Harness h;
        h.serve(2, ModuleModel::Variant::V1, NetworkRecord{0, 0xFF000000, kBlock | 2});
        h.serve(5, ModuleModel::Variant::V2);
        h.serve(14, ModuleModel::Variant::V1, NetworkRecord{0, 0xFF000000, kBlock | 14});
        QTcpServer silent; // accepts and answers nothing: no module
        QVERIFY(silent.listen(QHostAddress(kBlock | 7), h.port));
        QVERIFY(h.scan(block(1) + "-" + block(12) + ", " + block(14) + "/32"));
        QStringList rows;
        for (int r = 0; r < h.model().size(); ++r) {
            const auto& row = h.model().row(r);
            rows << QStringLiteral("%1 %2 %3 %4")
                        .arg(row.target(), row.module,
                             row.current ? vqx::formatAddress(row.current->ip) : "-")
                        .arg(row.differs ? "differs" : "");
        }
        rows.sort();
        const QString p = QString::number(h.port);
        QCOMPARE(rows, (QStringList{block(14) + ":" + p + " variant 1 " + block(14) + " ",
                                    block(2) + ":" + p + " variant 1 " + block(2) + " ",
                                    block(5) + ":" + p + " variant 2 10.0.0.5 differs"}));
        QCOMPARE(h.window->findChild<QLabel*>("progressText")->text(),
                 QStringLiteral("Scan done: 3 module(s) found among 13 address(es)"));
        const QModelIndex differs =
            h.model().index(h.rowOf(h.target(*h.served[1])), FleetModel::Differs);
        QVERIFY(!differs.data(Qt::ToolTipRole).toString().isEmpty());
        QVERIFY(h.boxes.isEmpty());
    }

    // Refusals as in the tool: a bad target names itself, and more than a /16 asks first.
    void scanRefusals() {
        Harness h;
        h.window->setTargets("10.0.0.1-10.0.0.300");
        h.window->scan();
        QCOMPARE(h.boxes.size(), 1);
        QVERIFY2(h.boxes[0].startsWith("Bad target: "), qPrintable(h.boxes[0]));
        QVERIFY(!h.window->busy());
        h.window->setTargets("10.0.0.0/15");
        h.answer = QMessageBox::No;
        h.window->scan();
        QCOMPARE(h.boxes.size(), 2);
        QVERIFY2(h.boxes[1].contains("131072 addresses, more than a /16"), qPrintable(h.boxes[1]));
        QVERIFY(!h.window->busy());
    }

    // Fill plans consecutive IPs in the table's order; Apply writes each module's record, a
    // hub's slots among them, and every row says ok.
    void fillAndApplyWriteEachModule() {
        Harness h;
        for (unsigned last : {3u, 4u, 6u, 9u})
            h.serve(last, last % 2 ? ModuleModel::Variant::V1 : ModuleModel::Variant::V2);
        h.withHub({1, 0, 9, 0, 0, 0});
        QVERIFY(h.scan(block(1) + "/28"));
        QVERIFY(h.run([&] { h.window->readHubs(); }));
        QCOMPARE(h.model().size(), 4 + 6);
        h.window->view()->sortByColumn(FleetModel::Target, Qt::AscendingOrder);
        h.window->selectRows({});
        h.window->fill(kPlanned.ip, kPlanned.mask, kPlanned.gateway);
        h.window->setJobs(3);
        QVERIFY(h.run([&] { h.window->apply(); }));
        std::uint32_t ip = kPlanned.ip;
        for (const auto& s : h.served) {
            NetworkRecord want = kPlanned;
            want.ip = ip++;
            QCOMPARE(s->record(), want);
            QCOMPARE(h.row(*s).status, QStringLiteral("ok"));
            QCOMPARE(*h.row(*s).current, want); // as read back
            QVERIFY(h.row(*s).differs);         // not in effect until the module restarts
        }
        for (const int slot : {1, 3}) { // slots 2, 4..6 are empty and not planned
            NetworkRecord want = kPlanned;
            want.ip = ip++;
            QCOMPARE(NetworkRecord::fromBytes(h.hub->module(slot - 1)->record()), want);
            QCOMPARE(h.model().row(h.rowOf(QStringLiteral("hub 0 slot %1").arg(slot))).status,
                     QStringLiteral("ok"));
        }
        QCOMPARE(h.window->summary(),
                 QStringLiteral("Applied: 6 ok, 0 unchanged, 0 failed, 0 interrupted"));
        QCOMPARE(h.window->report().size(), std::size_t{6});
        // Again: nothing differs any more.
        QVERIFY(h.run([&] { h.window->apply(); }));
        QCOMPARE(h.window->summary(),
                 QStringLiteral("Applied: 0 ok, 6 unchanged, 0 failed, 0 interrupted"));
    }

    // A module that fails shows its failure (with the code), the others are written, "Select
    // failed" selects exactly it, and once it works it can be applied again.
    void failingModuleFailsAlone_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("status");
        QTest::newRow("device error") << 0 << "device error: ";
        QTest::newRow("verification mismatch") << 1 << "verification mismatch: ";
        QTest::newRow("another writer holds the lock") << 2 << "unreachable: ";
    }
    void failingModuleFailsAlone() {
        QFETCH(int, fault);
        QFETCH(QString, status);
        Harness h;
        for (unsigned last : {1u, 2u, 3u})
            h.serve(last);
        Served& bad = *h.served[1];
        std::unique_ptr<vqx::provision::TargetLock> held; // as another writer would
        if (fault == 0) {
            bad.model->faults().failAtAddress = 14;
        } else if (fault == 1) {
            bad.model->faults().ignoreWrites = true;
        } else {
            held = std::make_unique<vqx::provision::TargetLock>(
                vqx::provision::moduleLockKey(bad.address, h.port));
            QCOMPARE(held->acquire(0), vqx::provision::TargetLock::Result::Taken);
        }
        QVERIFY(h.scan(block(1) + "-" + block(3)));
        h.window->fill(kPlanned.ip, kPlanned.mask, kPlanned.gateway);
        QStringList seen; // the statuses the bad row went through
        connect(&h.model(), &QAbstractItemModel::dataChanged, this, [&] {
            const QString now = h.row(bad).status;
            if (seen.isEmpty() || seen.last() != now)
                seen << now;
        });
        QVERIFY(h.run([&] { h.window->apply(); }));
        const auto& row = h.row(bad);
        QCOMPARE(row.state, RowState::Failed);
        QVERIFY2(row.status.startsWith(status), qPrintable(row.status));
        if (fault == 0)
            QVERIFY2(row.status.contains("code 100"), qPrintable(row.status));
        if (fault == 2) {
            const QString holder =
                QStringLiteral("process %1").arg(QCoreApplication::applicationPid());
            QVERIFY2(row.status.contains("is busy: " + holder), qPrintable(row.status));
            QVERIFY2(seen.join('\n').contains("waiting for the write lock held by " + holder),
                     qPrintable(seen.join('\n')));
            QCOMPARE(bad.record(), kOld);
        }
        held.reset();
        for (const auto& s : h.served)
            if (s.get() != &bad) {
                QCOMPARE(h.row(*s).status, QStringLiteral("ok"));
                QCOMPARE(s->record().mask, kPlanned.mask);
            }
        QVERIFY2(h.window->summary().endsWith("2 ok, 0 unchanged, 1 failed, 0 interrupted"),
                 qPrintable(h.window->summary()));
        h.window->selectFailed();
        QCOMPARE(h.window->selectedRows(), std::vector<int>{h.rowOf(h.target(bad))});
        bad.model->faults() = {};
        QVERIFY(h.run([&] { h.window->apply(); }));
        QCOMPARE(h.row(bad).status, QStringLiteral("ok"));
        QCOMPARE(bad.record().ip, h.row(bad).plan->ip);
        QCOMPARE(h.window->report().size(), std::size_t{1}); // only the selected row ran
    }

    // Stop during a run: no module starts any more, transfers in flight end, and every row
    // says what became of its module, which is what the module holds. (One module at a time:
    // every module is read first, and Stop comes as the first write is under way.)
    void stopMidRunLeavesEachRowTrue() {
        Harness h;
        QVERIFY(h.servedAndPlanned(8));
        h.window->setJobs(1);
        h.onFirstWrite([&] { h.window->stop(); });
        QVERIFY(h.run([&] { h.window->apply(); }));
        int ok = 0;
        int untouched = 0;
        for (const auto& s : h.served) {
            const auto& row = h.row(*s);
            QVERIFY2(row.state != RowState::Running, qPrintable(row.status));
            if (row.state == RowState::Ok) {
                ++ok;
                QCOMPARE(s->record(), *row.plan);
            } else {
                ++untouched;
                QVERIFY2(row.state == RowState::Interrupted || row.state == RowState::NotStarted,
                         qPrintable(row.status));
                QCOMPARE(s->record(), kOld);
            }
        }
        QCOMPARE(ok, 1);        // the write in flight ran to its end
        QCOMPARE(untouched, 7); // and no further module started
        QCOMPARE(h.window->summary(),
                 QStringLiteral("Applied: 1 ok, 0 unchanged, 0 failed, 7 interrupted"));
    }

    // A plan saved and opened again (in a window of its own, no scan) gives the same rows, in
    // either form; hub 0's slots are saved by their number.
    void planSavedAndOpenedAgain_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("csv") << "plan.csv";
        QTest::newRow("json") << "plan.json";
    }
    void planSavedAndOpenedAgain() {
        QFETCH(QString, name);
        Harness h;
        for (unsigned last : {1u, 2u, 3u})
            h.serve(last);
        h.withHub({1, 1, 0, 0, 0, 0});
        QVERIFY(h.scan(block(1) + "-" + block(3)));
        QVERIFY(h.run([&] { h.window->readHubs(); }));
        h.window->fill(kPlanned.ip, kPlanned.mask, kPlanned.gateway);
        h.model().setPlanned(0, {"10.0.1.7", "255.255.0.0", "0.0.0.0"});
        h.model().setPlanned(h.rowOf("hub 0 slot 2"), {}); // not planned: not saved
        QTemporaryDir dir;
        h.file = dir.filePath(name);
        h.window->savePlan();
        QVERIFY(h.boxes.isEmpty());

        Harness again;
        again.file = h.file;
        again.window->openPlan();
        QVERIFY2(again.boxes.isEmpty(), qPrintable(again.boxes.join('\n')));
        const auto planned = [](Harness& x) {
            QStringList rows;
            for (int r = 0; r < x.model().size(); ++r)
                if (x.model().row(r).plan)
                    rows << x.model().row(r).target() + " " +
                                QStringList(x.model().row(r).planned.begin(),
                                            x.model().row(r).planned.end())
                                    .join(' ');
            rows.sort();
            return rows;
        };
        QCOMPARE(planned(again), planned(h));
        QCOMPARE(planned(again).size(), 4);
    }

    // The core's check runs as the user types: a value that fails it is marked with the
    // reason; two rows planned with the same IP are both marked. Marked rows are written
    // only when the user agrees for the whole run, else left out.
    void marksAndTheQuestionBeforeApplying() {
        Harness h;
        for (unsigned last : {1u, 2u, 3u})
            h.serve(last);
        QVERIFY(h.scan(block(1) + "-" + block(3)));
        h.window->view()->sortByColumn(FleetModel::Target, Qt::AscendingOrder);
        h.window->fill(kPlanned.ip, kPlanned.mask, kPlanned.gateway);
        FleetModel& m = h.model();
        const int a = h.rowOf(h.target(*h.served[0]));
        const int b = h.rowOf(h.target(*h.served[1]));
        const int c = h.rowOf(h.target(*h.served[2]));

        // Typed into the editor, key by key: marked while it is no address or a broken mask.
        vqx::fleet::FleetView* view = h.window->view();
        h.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(h.window.get()));
        h.window->selectRows({b});
        view->setFocus();
        const QModelIndex current = view->currentIndex();
        view->setCurrentIndex(current.siblingAtColumn(FleetModel::PlannedMask));
        QTest::keyClick(view, Qt::Key_Return);
        auto* editor = view->findChild<QLineEdit*>();
        QVERIFY(editor && editor->isVisible());
        QCOMPARE(editor->accessibleName(), QStringLiteral("Planned mask"));
        editor->selectAll();
        QTest::keyClicks(editor, "255.0.255");
        QCOMPARE(m.row(b).planned[1], QStringLiteral("255.0.255"));
        QVERIFY2(m.row(b).problems[1].contains("not a dotted IPv4 address"),
                 qPrintable(m.row(b).problems[1]));
        QVERIFY(!editor->toolTip().isEmpty());
        QTest::keyClicks(editor, ".0");
        QVERIFY2(m.row(b).problems[1].contains("not one unbroken run of 1 bits"),
                 qPrintable(m.row(b).problems[1]));
        const QModelIndex mask = m.index(b, FleetModel::PlannedMask);
        QVERIFY(mask.data(FleetModel::MarkedRole).toBool());
        QCOMPARE(mask.data(Qt::ToolTipRole).toString(), m.row(b).problems[1]);
        QTest::keyClick(editor, Qt::Key_Return);

        // The same IP for two rows marks both.
        m.setPlanned(c, {m.row(a).planned[0], "255.255.255.0", "10.0.0.1"});
        QVERIFY(m.index(a, FleetModel::PlannedIp).data(FleetModel::MarkedRole).toBool());
        QVERIFY(m.index(c, FleetModel::PlannedIp).data(FleetModel::MarkedRole).toBool());
        QVERIFY(m.row(c).duplicate.contains(m.row(a).target()));

        // No: the marked rows are left out, and say so.
        h.window->selectRows({});
        h.answer = QMessageBox::No;
        QVERIFY(h.run([&] { h.window->apply(); }));
        QCOMPARE(h.boxes.size(), 1);
        QVERIFY2(h.boxes[0].startsWith("3 module(s) have planned settings that fail"),
                 qPrintable(h.boxes[0]));
        for (const auto& s : h.served)
            QCOMPARE(s->record(), kOld);
        QVERIFY(!h.window->busy());
        QCOMPARE(m.row(a).status, QStringLiteral("left out: the plan fails the checks"));

        // Yes: written anyway (the tool's --force).
        m.setPlanned(c, {"10.0.0.40", "255.255.255.0", "10.0.0.1"});
        h.answer = QMessageBox::Yes;
        QVERIFY(h.run([&] { h.window->apply(); }));
        QCOMPARE(h.boxes.size(), 2);
        QVERIFY2(h.boxes[1].startsWith("1 module(s)"), qPrintable(h.boxes[1]));
        QCOMPARE(h.served[1]->record().mask, 0xFF00FF00u);
        QCOMPARE(h.served[2]->record().ip, 0x0A000028u);
    }

    // Preview reads and says what would change; the report in the tool's apply --json form
    // and as CSV.
    void previewAndReport() {
        Harness h;
        h.serve(1);
        h.serve(2, ModuleModel::Variant::V2, kPlanned);
        QVERIFY(h.scan(block(1) + "-" + block(2)));
        h.window->fill(kPlanned.ip, kPlanned.mask, kPlanned.gateway); // row order of the scan
        h.model().setPlanned(h.rowOf(h.target(*h.served[1])),
                             {"10.0.0.21", "255.255.255.0", "10.0.0.1"});
        h.model().setPlanned(h.rowOf(h.target(*h.served[0])),
                             {"10.0.0.22", "255.255.255.0", "10.0.0.1"});
        QVERIFY(h.run([&] { h.window->preview(); }));
        QCOMPARE(h.row(*h.served[0]).status, QStringLiteral("would change"));
        QCOMPARE(h.row(*h.served[1]).status, QStringLiteral("unchanged"));
        QCOMPARE(h.served[0]->record(), kOld);
        QCOMPARE(h.window->summary(),
                 QStringLiteral("Preview: 1 would change, 1 unchanged, 0 failed, 0 interrupted"));

        QTemporaryDir dir;
        QVERIFY(h.window->saveReport(dir.filePath("report.json")));
        QFile json(dir.filePath("report.json"));
        QVERIFY(json.open(QIODevice::ReadOnly));
        const QJsonArray items = QJsonDocument::fromJson(json.readAll()).array();
        QCOMPARE(items.size(), 2);
        QJsonObject first;
        for (const QJsonValue& v : items)
            if (v.toObject().value("host").toString() == block(1))
                first = v.toObject();
        QCOMPARE(first.value("result").toString(), QStringLiteral("would change"));
        QCOMPARE(first.value("port").toInt(), int(h.port));
        QCOMPARE(first.value("before").toObject().value("ip").toString(),
                 QStringLiteral("10.0.0.5"));
        QCOMPARE(first.value("changes").toArray(), (QJsonArray{"ip", "mask", "gateway"}));
        QVERIFY(h.window->saveReport(dir.filePath("report.csv")));
        QFile csv(dir.filePath("report.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        QVERIFY(lines[0].startsWith("target,host,port,slot,planned_ip,"));
        QCOMPARE(lines.size(), 4); // header, two modules, the end
    }

    // Closing during a run asks; No keeps the run, Yes stops it and the window closes once
    // the run has ended.
    void closingDuringARun() {
        Harness h;
        QVERIFY(h.servedAndPlanned(6));
        h.window->setJobs(1);
        h.window->show();
        bool keptAfterNo = false;
        bool openAfterYes = false;
        h.onFirstWrite([&] {
            h.answer = QMessageBox::No;
            keptAfterNo = !h.window->close() && h.window->busy();
            h.answer = QMessageBox::Yes;
            openAfterYes = !h.window->close() && h.window->isVisible(); // closes at the end
        });
        QVERIFY(h.run([&] { h.window->apply(); }));
        QVERIFY(keptAfterNo);
        QVERIFY(openAfterYes);
        QCOMPARE(h.boxes.size(), 2); // asked each time
        QVERIFY2(h.boxes[0].startsWith("Modules are being worked on."), qPrintable(h.boxes[0]));
        QCOMPARE(h.boxes[1], h.boxes[0]);
        QTRY_VERIFY(!h.window->isVisible());
        int notWritten = 0;
        for (const auto& s : h.served)
            notWritten += s->record() == kOld;
        QCOMPARE(notWritten, 5);
    }

    // A window destroyed during a run (its dialog closed under it) stops the run and waits
    // for the write in flight: every module holds its old record or its whole new one.
    void destroyedDuringARun() {
        Harness h;
        QVERIFY(h.servedAndPlanned(4));
        h.window->setJobs(1);
        std::vector<NetworkRecord> plans;
        for (const auto& s : h.served)
            plans.push_back(*h.row(*s).plan);
        h.onFirstWrite([&] { h.window.reset(); });
        h.window->apply();
        QTRY_VERIFY_WITH_TIMEOUT(!h.window, 60000);
        int written = 0;
        for (std::size_t i = 0; i < h.served.size(); ++i) {
            const NetworkRecord now = h.served[i]->record();
            QVERIFY(now == kOld || now == plans[i]);
            written += now == plans[i];
        }
        QCOMPARE(written, 1);
    }

    // By keyboard alone: Tab reaches every control in order, each named; Enter edits, Delete
    // clears the plans of the selected rows, Ctrl+C copies them as CSV.
    void keyboardAndNames() {
        Harness h;
        h.serve(1);
        h.serve(2);
        QVERIFY(h.scan(block(1) + "-" + block(2)));
        h.window->fill(kPlanned.ip, kPlanned.mask, kPlanned.gateway);
        QVERIFY(h.run([&] { h.window->preview(); })); // a report to save
        h.window->show();
        h.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.window.get()));
        h.window->findChild<QLineEdit*>("targets")->setFocus();
        QStringList names;
        for (int i = 0; i < 13; ++i) {
            names << QApplication::focusWidget()->accessibleName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(names, (QStringList{"Targets", "Port", "Scan", "Hubs", "Modules", "Fill",
                                     "Open plan", "Save plan", "Preview", "Apply", "Jobs",
                                     "Select failed", "Save report"}));
        for (QWidget* child : h.window->findChildren<QWidget*>())
            if (child->parentWidget() == h.window.get() && !child->isWindow() &&
                !qobject_cast<QLabel*>(child))
                QVERIFY2(!child->accessibleName().isEmpty(), child->metaObject()->className());

        auto* view = h.window->view();
        h.window->selectRows({0, 1});
        view->setFocus();
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        const QStringList lines = QApplication::clipboard()->text().split('\n');
        QCOMPARE(lines[0], QStringLiteral("Target,Module,IP,Mask,Gateway,Differs,Planned IP,"
                                          "Planned mask,Planned gateway,Status"));
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[1].contains(",10.0.0.21,255.255.255.0,10.0.0.1,would change"),
                 qPrintable(lines[1]));
        h.window->selectRows({1});
        QTest::keyClick(view, Qt::Key_Delete);
        QVERIFY(!h.model().row(1).plan);
        QVERIFY(h.model().row(0).plan);
        QTest::keyClick(view, Qt::Key_Return); // on a row: edits its planned IP
        auto* editor = view->findChild<QLineEdit*>();
        QVERIFY(editor && editor->isVisible());
        QCOMPARE(editor->accessibleName(), QStringLiteral("Planned IP"));
    }

    // "Fill...": the dialog takes a start address, a mask and a gateway (OK only while all
    // three are addresses) and plans the selected rows from the start upwards.
    void fillDialog() {
        Harness h;
        for (unsigned last : {1u, 2u, 3u})
            h.serve(last);
        QVERIFY(h.scan(block(1) + "-" + block(3)));
        h.window->view()->sortByColumn(FleetModel::Target, Qt::AscendingOrder);
        const int first = h.rowOf(h.target(*h.served[0]));
        const int third = h.rowOf(h.target(*h.served[2]));
        h.window->selectRows({first, third});
        bool okWhileBad = true;
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            auto* ok = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
            auto* start = dialog->findChild<QLineEdit*>("fillStart");
            QCOMPARE(start->accessibleName(), QStringLiteral("Start IP"));
            start->setText("10.0.0");
            okWhileBad = ok->isEnabled();
            start->setText("10.0.0.50");
            dialog->findChild<QLineEdit*>("fillMask")->setText("255.255.0.0");
            dialog->findChild<QLineEdit*>("fillGateway")->setText("10.0.0.1");
            QVERIFY(ok->isEnabled());
            ok->click();
        });
        h.window->findChild<QPushButton*>("fill")->click();
        QVERIFY(!okWhileBad);
        QCOMPARE(h.model().row(first).planned,
                 (std::array<QString, 3>{"10.0.0.50", "255.255.0.0", "10.0.0.1"}));
        QCOMPARE(h.model().row(third).planned,
                 (std::array<QString, 3>{"10.0.0.51", "255.255.0.0", "10.0.0.1"}));
        QVERIFY(!h.row(*h.served[1]).plan); // not selected
    }

    // The column titles, the widest values and the buttons' texts fit at the usual sizes.
    void textsFit_data() {
        QTest::addColumn<int>("points");
        for (const int p : {8, 9, 10, 11, 12})
            QTest::newRow(qPrintable(QStringLiteral("%1 pt").arg(p))) << p;
    }
    void textsFit() {
        QFETCH(int, points);
        const QFont before = QApplication::font();
        const auto restore = qScopeGuard([&] { QApplication::setFont(before); });
        QFont font = before;
        font.setPointSize(points);
        QApplication::setFont(font);
        Harness h;
        h.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(h.window.get()));
        for (auto* b : h.window->findChildren<QPushButton*>())
            QVERIFY2(b->width() >=
                         b->fontMetrics().horizontalAdvance(QString(b->text()).remove('&')),
                     qPrintable(b->text()));
        auto* view = h.window->view();
        const QFontMetrics fm(view->font());
        const QStringList widest = {"255.255.255.255:65535", "Oscilloscope",    "255.255.255.255",
                                    "255.255.255.255",       "255.255.255.255", "Differs",
                                    "255.255.255.255",       "255.255.255.255", "255.255.255.255",
                                    "writing 12 of 12"};
        for (int c = 0; c < FleetModel::ColumnCount; ++c) {
            const QString title = h.model().headerData(c, Qt::Horizontal).toString();
            const int need = std::max(fm.horizontalAdvance(widest[c]), fm.horizontalAdvance(title));
            QVERIFY2(view->columnWidth(c) > need, qPrintable(title));
        }
        QVERIFY(h.window->width() <= 1920);
    }
};

QTEST_MAIN(TestFleet)
#include "tst_fleet.moc"
