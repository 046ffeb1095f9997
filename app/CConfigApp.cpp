#include "CConfigApp.h"

#include <cstdio>
#include <memory>

#include <QCommandLineParser>
#include <QPushButton>
#include <QTimer>

#include "CAboutBox.h"
#include "CConfigDlg.h"
#include "CSlotCombo.h"
#include "DemoEnvironment.h"

#ifndef VQX_VERSION
#define VQX_VERSION "1.0.0.1"
#endif

CConfigApp::CConfigApp(int& argc, char** argv) : QApplication(argc, argv) {
    // The application name stays the executable's name, which titles the message boxes.
    setApplicationVersion(QStringLiteral(VQX_VERSION));
}

int CConfigApp::ParseCommandLine() {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Configurator of the network settings of VQX250 modules."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption demo(
        QStringLiteral("demo"),
        QStringLiteral("Work against simulated devices: a module served on a loopback "
                       "address and a hub with six slots."));
    QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                  QStringLiteral("Save a picture of the dialog and quit."),
                                  QStringLiteral("file"));
    screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption screenshotUsb(QStringLiteral("screenshot-usb"),
                                     QStringLiteral("Take the picture in USB mode."));
    screenshotUsb.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(demo);
    parser.addOption(screenshot);
    parser.addOption(screenshotUsb);

    if (!parser.parse(arguments())) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help)) {
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qPrintable(applicationName()), qPrintable(applicationVersion()));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "Unexpected argument: %s\n",
                     qPrintable(parser.positionalArguments().constFirst()));
        return 2;
    }
    m_options.demo = parser.isSet(demo);
    m_options.screenshot = parser.value(screenshot);
    m_options.screenshotUsb = parser.isSet(screenshotUsb);
    if (!m_options.screenshot.isEmpty() && !m_options.demo) {
        std::fprintf(stderr, "--screenshot needs --demo\n");
        return 2;
    }
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
        auto* tries = new int(0);
        QObject::connect(poll, &QTimer::timeout, &dlg, [&dlg, poll, tries, options] {
            const bool ready = dlg.GetDlgItem(CConfigDlg::IDC_SET)->isEnabled();
            if (!ready && ++*tries < 100)
                return;
            poll->stop();
            delete tries;
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

} // namespace

bool CConfigApp::InitInstance() {
    std::unique_ptr<vqx::sim::DemoEnvironment> demo;
    std::unique_ptr<vqx::usb::D2xxDriver> driver;
    if (m_options.demo) {
        demo = std::make_unique<vqx::sim::DemoEnvironment>();
        QString why;
        if (!demo->start(&why)) {
            std::fprintf(stderr, "Demo mode: %s\n", qPrintable(why));
            return false;
        }
        driver = demo->makeHubDriver();
        std::fprintf(stderr,
                     "Demo mode: simulated module at %u.%u.%u.%u port %u, simulated hub with six "
                     "slots.\n",
                     demo->moduleAddress() >> 24, (demo->moduleAddress() >> 16) & 0xFF,
                     (demo->moduleAddress() >> 8) & 0xFF, demo->moduleAddress() & 0xFF,
                     demo->modulePort());
    }
    CConfigDlg dlg(std::move(driver));
    dlg.SetAboutBoxRunner([](QWidget* parent) {
        CAboutBox about(parent);
        about.exec();
    });
    if (demo)
        dlg.SetConnectAddress(demo->moduleAddress());
    if (!m_options.screenshot.isEmpty())
        scheduleScreenshot(dlg, m_options);
    dlg.exec(); // the result is not used
    return false;
}
