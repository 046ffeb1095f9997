#pragma once
// Shared helpers of the dialog tests: loopback addresses for served modules, a dialog with
// its message boxes, arp command lines and pauses recorded instead of shown or run.

#include <cstdint>
#include <memory>

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QHostAddress>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTcpServer>
#include <QTest>

#include "CConfigDlg.h"
#include "CIPAddressCtrl.h"
#include "CSlotCombo.h"
#include "NetworkRecord.h"
#include "SimHub.h"

namespace uitest {

constexpr std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

/// 127.0.0.N for N from a start that differs between test processes, so that tests running
/// in parallel (all on port 23100) rarely probe the same addresses.
inline std::uint32_t loopbackCandidate(int i) {
    const int start = static_cast<int>(QCoreApplication::applicationPid() % 200);
    return ipv4(127, 0, 0, static_cast<unsigned>(2 + (start + i) % 252));
}

/// Makes `listen` succeed on the first free 127.0.0.N port 23100; returns its address, or 0.
template <typename Listen> std::uint32_t onFreeLoopback(Listen listen) {
    for (int i = 0; i < 252; ++i) {
        const std::uint32_t a = loopbackCandidate(i);
        if (listen(QHostAddress(a)))
            return a;
    }
    return 0;
}

/// A loopback address on which nothing listens on port 23100 (a connection is refused).
inline std::uint32_t unusedLoopback() {
    return onFreeLoopback([](const QHostAddress& a) {
        QTcpServer probe;
        return probe.listen(a, vqx::kModulePort); // closed again at once
    });
}

struct Message {
    QString text;
    QString title;
};

/// A dialog whose outside effects are recorded: message boxes, arp command lines, pauses.
struct Harness {
    std::unique_ptr<CConfigDlg> dlg;
    QList<Message> messages;
    QStringList commands;
    QList<int> pauses;
    QList<unsigned> hubSleeps;

    explicit Harness(std::unique_ptr<vqx::usb::D2xxDriver> driver = nullptr,
                     int connectTimerMs = 150) {
        // Without a driver of its own the dialog gets a device list with no hub in it, so
        // that no test touches real USB devices.
        if (!driver)
            driver = std::make_unique<vqx::sim::SimHubDriver>(
                std::vector<std::shared_ptr<vqx::sim::SimHub>>{});
        dlg = std::make_unique<CConfigDlg>(std::move(driver));
        dlg->SetMessageBoxHook([this](const QString& text, const QString& title) {
            messages.append({text, title});
        });
        dlg->SetCommandLauncher([this](const QString& c) { commands << c; });
        dlg->SetSleep([this](int ms) { pauses << ms; });
        dlg->Hub().SetSleep([this](unsigned ms) { hubSleeps << ms; });
        CConfigDlg::Timing t;
        t.connectTimerMs = connectTimerMs;
        dlg->SetTiming(t);
    }

    QStringList texts() const {
        QStringList out;
        for (const Message& m : messages)
            out << m.text;
        return out;
    }

    QWidget* item(int id) const { return dlg->GetDlgItem(id); }
    QRadioButton* radio(int id) const { return qobject_cast<QRadioButton*>(item(id)); }
    QPushButton* button(int id) const { return qobject_cast<QPushButton*>(item(id)); }
    CIPAddressCtrl* ip(int id) const { return qobject_cast<CIPAddressCtrl*>(item(id)); }
    CSlotCombo* combo() const {
        return qobject_cast<CSlotCombo*>(item(CConfigDlg::IDC_SLOT_COMBO));
    }
    QString label(int slot) const { // slot 1..6
        return item(CConfigDlg::IDC_SLOT1 + slot - 1)->property("text").toString();
    }
    bool settingsEnabled() const {
        return item(CConfigDlg::IDC_SET)->isEnabled() && item(CConfigDlg::IDC_IP)->isEnabled() &&
               item(CConfigDlg::IDC_MASK)->isEnabled() && item(CConfigDlg::IDC_GATE)->isEnabled();
    }
    bool settingsDisabled() const {
        return !item(CConfigDlg::IDC_SET)->isEnabled() && !item(CConfigDlg::IDC_IP)->isEnabled() &&
               !item(CConfigDlg::IDC_MASK)->isEnabled() && !item(CConfigDlg::IDC_GATE)->isEnabled();
    }
    void click(int id) const { QTest::mouseClick(item(id), Qt::LeftButton); }
    /// Chooses a slot (0..5) from the selector's list as the user does, with the keyboard
    /// on the opened list.
    void chooseSlot(int slot) const {
        CSlotCombo* c = combo();
        c->showPopup();
        QAbstractItemView* view = c->view();
        view->setCurrentIndex(view->model()->index(slot, 0));
        QTest::keyClick(view, Qt::Key_Return);
    }
    /// Types an address into an address field: clears it, then keys in the dotted text.
    void typeAddress(int id, const QString& dotted) const {
        CIPAddressCtrl* c = ip(id);
        c->ClearAddress();
        QTest::keyClicks(c->field(0), dotted);
    }
};

} // namespace uitest
