#include "CConfigApp.h"

#include <cstdio>
#include <memory>

#include <QCommandLineParser>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "CAboutBox.h"
#include "CConfigDlg.h"
#include "CSlotCombo.h"
#include "DemoEnvironment.h"
#include "DemoFleet.h"
#include "FleetView.h"
#include "FleetWindow.h"
#include "NetworkRecord.h"
#include "Version.h"
#include "WindowsApi.h"

// The icons live in the dialog library's resources.
static void initAppResources() {
    Q_INIT_RESOURCE(vqx250_ipconfig);
}

CConfigApp::CConfigApp(int& argc, char** argv) : QApplication(argc, argv) {
    // The application name stays the executable's name, which titles the message boxes.
    setApplicationVersion(QString::fromLatin1(vqx::kVersion));
}

int CConfigApp::ParseArguments(const QStringList& arguments, Options& options, QString* output) {
    options = Options{};
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Configurator of the network settings of VQX250 modules."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption demo(
        QStringLiteral("demo"),
        QStringLiteral("Work against simulated devices: a module served on a loopback "
                       "address and a hub with six slots (with --fleet: a fleet of modules "
                       "on loopback addresses)."));
    const QCommandLineOption fleet(
        QStringLiteral("fleet"),
        QStringLiteral("Open the window for many modules (find, plan, apply, report) instead "
                       "of the dialog."));
    QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                  QStringLiteral("Save a picture of the dialog and quit."),
                                  QStringLiteral("file"));
    screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption screenshotUsb(QStringLiteral("screenshot-usb"),
                                     QStringLiteral("Take the picture in USB mode."));
    screenshotUsb.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption demoAddress(QStringLiteral("demo-address"),
                                   QStringLiteral("Serve the simulated module on this loopback "
                                                  "address."),
                                   QStringLiteral("address"));
    demoAddress.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({demo, fleet, screenshot, screenshotUsb, demoAddress});

    // Unknown options do not stop the parse: the known ones are still taken, the rest is
    // collected and ignored.
    parser.parse(arguments);
    options.ignored = parser.unknownOptionNames();
    for (QString& name : options.ignored)
        name.prepend(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"));
    options.ignored += parser.positionalArguments();

    if (parser.isSet(help)) {
        if (output)
            *output = parser.helpText();
        return 0;
    }
    if (parser.isSet(version)) {
        if (output)
            *output = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                    QCoreApplication::applicationVersion());
        return 0;
    }
    options.demo = parser.isSet(demo);
    options.fleet = parser.isSet(fleet);
    const bool hiddenSet =
        parser.isSet(screenshot) || parser.isSet(screenshotUsb) || parser.isSet(demoAddress);
    if (!options.demo) {
        // Without the demo these would drive the real links: not acted on.
        if (hiddenSet)
            for (const QCommandLineOption& o : {screenshot, screenshotUsb, demoAddress})
                if (parser.isSet(o))
                    options.ignored << QStringLiteral("--") + o.names().constFirst();
        return -1;
    }
    options.screenshot = parser.value(screenshot);
    options.screenshotUsb = parser.isSet(screenshotUsb);
    if (parser.isSet(demoAddress)) {
        if (const auto a = vqx::parseAddress(parser.value(demoAddress)); a && *a >> 24 == 127)
            options.demoAddress = *a;
        else
            options.ignored << QStringLiteral("--demo-address=") + parser.value(demoAddress);
    }
    return -1;
}

namespace {

#ifdef Q_OS_WIN
/// Whether stdout reaches anything: a handle the caller passed (a pipe or file), or else the
/// console of the process that started this one, attached to now.
bool haveStandardOutput() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN)
        return true;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return false;
    return std::freopen("CONOUT$", "w", stdout) != nullptr;
}
#endif

/// The text of --help or --version, where the user sees it.
void showOutput(const QString& text) {
#ifdef Q_OS_WIN
    if (!haveStandardOutput()) {
        QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text,
                        QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return;
    }
#endif
    std::printf("%s", qPrintable(text));
    std::fflush(stdout);
}

} // namespace

int CConfigApp::AnswerInfoOptions() {
    QCoreApplication::setApplicationVersion(QString::fromLatin1(vqx::kVersion));
    Options options;
    QString output;
    const int rc = ParseArguments(QCoreApplication::arguments(), options, &output);
    if (rc < 0)
        return rc;
#ifdef Q_OS_WIN
    // Without a console or a redirection the text goes into a message box, which needs the
    // GUI application: ParseCommandLine answers then.
    if (!haveStandardOutput())
        return -1;
#endif
    showOutput(output);
    return rc;
}

int CConfigApp::ParseCommandLine() {
    QString output;
    const int rc = ParseArguments(arguments(), m_options, &output);
    if (rc >= 0) {
        showOutput(output);
        return rc;
    }
    for (const QString& arg : m_options.ignored)
        std::fprintf(stderr, "%s: ignoring argument %s\n", qPrintable(applicationName()),
                     qPrintable(arg));
    return -1;
}

namespace {

// Drives the dialog into the state to be shown, grabs it and ends the dialog.
void scheduleScreenshot(CConfigDlg& dlg, const CConfigApp::Options& options) {
    QTimer::singleShot(300, &dlg, [&dlg, options] {
        if (options.screenshotUsb) {
            dlg.OnUsb();
            if (auto* combo =
                    qobject_cast<CSlotCombo*>(dlg.GetDlgItem(CConfigDlg::IDC_SLOT_COMBO))) {
                combo->SetCurSel(1);
                dlg.OnSlotSelected();
            }
        } else {
            dlg.OnConnectButton();
        }
        auto* poll = new QTimer(&dlg);
        // The count of polls lives in the connection's functor, which the timer owns.
        QObject::connect(poll, &QTimer::timeout, &dlg, [&dlg, poll, options, tries = 0]() mutable {
            const bool ready = dlg.GetDlgItem(CConfigDlg::IDC_SET)->isEnabled();
            if (!ready && ++tries < 100)
                return;
            poll->stop();
            const bool saved = dlg.grab().save(options.screenshot);
            std::fprintf(stderr, "%s %s\n", saved ? "saved" : "could not save",
                         qPrintable(options.screenshot));
            if (saved)
                dlg.accept();
            else
                dlg.reject();
        });
        poll->start(100);
    });
}

std::unique_ptr<vqx::sim::DemoFleet> startDemoFleet(QString* why) {
    auto fleet = std::make_unique<vqx::sim::DemoFleet>();
    if (!fleet->start(why))
        return nullptr;
    return fleet;
}

std::unique_ptr<vqx::fleet::FleetWindow>
makeFleetWindow(vqx::sim::DemoEnvironment* demo, vqx::sim::DemoFleet* fleet, QWidget* parent) {
    // The real hub backend, or the demo's simulated hub.
    vqx::fleet::FleetWindow::HubDriverFactory hubDriver = [demo] {
        return demo ? demo->makeHubDriver() : std::unique_ptr<vqx::usb::D2xxDriver>();
    };
    auto window = std::make_unique<vqx::fleet::FleetWindow>(std::move(hubDriver), parent);
    initAppResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/vqx/icons/vqx250-ipconfig-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/vqx/icons/vqx250-ipconfig-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/vqx/icons/vqx250-ipconfig.svg"));
    window->setWindowIcon(icon);
    if (fleet) {
        window->setTargets(fleet->targets());
        // The simulated modules answer from this process's own event loop, between the
        // window's work: more time than a module on the network needs.
        window->setScanTimeoutMs(2000);
    }
    return window;
}

// The demo fleet found, the hub read, the modules reached by host filled and applied; then
// the window is grabbed and closed.
void scheduleFleetScreenshot(vqx::fleet::FleetWindow& window, const QString& file) {
    using vqx::fleet::FleetWindow;
    auto step = std::make_shared<int>(0);
    QObject::connect(&window, &FleetWindow::operationFinished, &window, [&window, step, file] {
        switch ((*step)++) {
        case 0:
            window.readHubs();
            return;
        case 1: {
            std::vector<int> hosts;
            for (int r = 0; r < window.model().size(); ++r)
                if (!window.model().row(r).bySlot())
                    hosts.push_back(r);
            window.selectRows(hosts);
            window.fill(0x0A000015, 0xFFFFFF00, 0x0A000001); // 10.0.0.21/24, gateway 10.0.0.1
            window.apply();
            return;
        }
        default: {
            window.selectFailed(); // the failure in view
            const bool saved = window.grab().save(file);
            std::fprintf(stderr, "%s %s\n", saved ? "saved" : "could not save", qPrintable(file));
            QCoreApplication::exit(saved ? 0 : 1);
        }
        }
    });
    QTimer::singleShot(300, &window, [&window] { window.scan(); });
}

} // namespace

bool CConfigApp::InitInstance() {
    m_exitCode = 0;
    std::unique_ptr<vqx::sim::DemoEnvironment> demo;
    std::unique_ptr<vqx::sim::DemoFleet> demoFleet;
    std::unique_ptr<vqx::usb::D2xxDriver> driver;
    if (m_options.demo) {
        demo = std::make_unique<vqx::sim::DemoEnvironment>();
        if (m_options.demoAddress != 0)
            demo->setAddress(m_options.demoAddress);
        QString why;
        if (!demo->start(&why) || (m_options.fleet && !(demoFleet = startDemoFleet(&why)))) {
            DemoFailed(why);
            return false;
        }
        driver = demo->makeHubDriver();
        std::fprintf(stderr,
                     "Demo mode: simulated module at %s port %u, simulated hub with six "
                     "slots.\n",
                     qPrintable(vqx::formatAddress(demo->moduleAddress())), demo->modulePort());
        if (demoFleet)
            std::fprintf(
                stderr, "Demo fleet: %d simulated modules from %s, port %u.\n", demoFleet->size(),
                qPrintable(vqx::formatAddress(demoFleet->firstAddress())), vqx::kModulePort);
    }
    if (m_options.fleet) {
        auto window = makeFleetWindow(demo.get(), demoFleet.get(), nullptr);
        if (!m_options.screenshot.isEmpty())
            scheduleFleetScreenshot(*window, m_options.screenshot);
        window->show();
        exec();
        return false;
    }
    CConfigDlg dlg(std::move(driver));
    dlg.SetAboutBoxRunner([](QWidget* parent) {
        CAboutBox about(parent);
        about.exec();
    });
    // The fleet window is a window of the dialog's own (a modal dialog leaves its windows
    // usable); in the demo its fleet starts when it is first opened.
    QPointer<vqx::fleet::FleetWindow> fleetWindow;
    dlg.SetFleetWindowRunner([&](QWidget* parent) {
        if (!fleetWindow) {
            if (demo && !demoFleet) {
                QString why;
                demoFleet = startDemoFleet(&why);
                if (!demoFleet)
                    std::fprintf(stderr, "The demo fleet cannot start: %s.\n", qPrintable(why));
            }
            fleetWindow = makeFleetWindow(demo.get(), demoFleet.get(), parent).release();
            fleetWindow->setAttribute(Qt::WA_DeleteOnClose);
        }
        fleetWindow->show();
        fleetWindow->raise();
        fleetWindow->activateWindow();
    });
    if (demo)
        dlg.SetConnectAddress(demo->moduleAddress());
    if (!m_options.screenshot.isEmpty())
        scheduleScreenshot(dlg, m_options);
    dlg.exec();         // the result is not used
    delete fleetWindow; // closed with the dialog; gone before the simulators
    return false;
}

void CConfigApp::DemoFailed(const QString& why) {
    const QString text = QStringLiteral("The demo mode cannot start: %1.").arg(why);
    std::fprintf(stderr, "%s\n", qPrintable(text));
    if (m_options.screenshot.isEmpty()) {
        QMessageBox box(QMessageBox::NoIcon, applicationName(), text, QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
    m_exitCode = 1;
}
