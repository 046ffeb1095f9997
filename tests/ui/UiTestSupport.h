#pragma once
// Shared helpers of the dialog tests: loopback addresses for served modules, a dialog with
// its message boxes, arp command lines and pauses recorded instead of shown or run.

#include <cstdint>
#include <cstdio>
#include <memory>

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
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
#include "TargetLock.h"

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

/// The one box "Set" shows while another lock of this process holds the module's write lock
/// `key`; `name` is the module as the box names it.
inline QString lockBusyText(const QString& name, const QString& key) {
    return QStringLiteral("%1 is busy: process %2 (%3) of user %4 is writing it (lock %5); "
                          "nothing was written")
        .arg(name)
        .arg(QCoreApplication::applicationPid())
        .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName(),
             vqx::provision::TargetLock::userName(),
             QDir::toNativeSeparators(vqx::provision::TargetLock::fileFor(key)));
}

/// A loopback address on which nothing listens on port 23100 (a connection is refused).
inline std::uint32_t unusedLoopback() {
    return onFreeLoopback([](const QHostAddress& a) {
        QTcpServer probe;
        return probe.listen(a, vqx::kModulePort); // closed again at once
    });
}

/// A driver that lists one hub (both channels) and refuses to open either, as the system
/// does when the user lacks permission for the device (permissionDenied() then set).
class RefusingHubDriver : public vqx::usb::D2xxDriver {
public:
    explicit RefusingHubDriver(bool denied) : m_denied(denied) {}

    std::string name() const override { return "refusing"; }
    vqx::usb::FT_STATUS CreateDeviceInfoList(std::uint32_t* numDevs) override {
        *numDevs = 2;
        return vqx::usb::FT_OK;
    }
    vqx::usb::FT_STATUS GetDeviceInfoList(vqx::usb::DeviceListNode* list,
                                          std::uint32_t* numDevs) override {
        const char* serials[2] = {"VQ0001A", "VQ0001B"};
        const std::uint32_t n = *numDevs < 2 ? *numDevs : 2;
        for (std::uint32_t i = 0; i < n; ++i) {
            list[i] = vqx::usb::DeviceListNode{};
            list[i].ID = CUsbHub::kHubId;
            std::snprintf(list[i].SerialNumber, sizeof list[i].SerialNumber, "%s", serials[i]);
        }
        *numDevs = n;
        return vqx::usb::FT_OK;
    }
    vqx::usb::FT_STATUS Open(int, vqx::usb::FT_HANDLE* handle) override {
        *handle = nullptr;
        ++opens;
        m_failed = true;
        return vqx::usb::FT_DEVICE_NOT_OPENED;
    }
    vqx::usb::FT_STATUS Close(vqx::usb::FT_HANDLE) override { return vqx::usb::FT_OK; }
    vqx::usb::FT_STATUS SetTimeouts(vqx::usb::FT_HANDLE, std::uint32_t, std::uint32_t) override {
        return vqx::usb::FT_INVALID_HANDLE;
    }
    vqx::usb::FT_STATUS Purge(vqx::usb::FT_HANDLE, std::uint32_t) override {
        return vqx::usb::FT_INVALID_HANDLE;
    }
    vqx::usb::FT_STATUS SetBaudRate(vqx::usb::FT_HANDLE, std::uint32_t) override {
        return vqx::usb::FT_INVALID_HANDLE;
    }
    vqx::usb::FT_STATUS SetBitMode(vqx::usb::FT_HANDLE, std::uint8_t, std::uint8_t) override {
        return vqx::usb::FT_INVALID_HANDLE;
    }
    vqx::usb::FT_STATUS Write(vqx::usb::FT_HANDLE, const void*, std::uint32_t,
                              std::uint32_t*) override {
        return vqx::usb::FT_INVALID_HANDLE;
    }
    vqx::usb::FT_STATUS Read(vqx::usb::FT_HANDLE, void*, std::uint32_t, std::uint32_t*) override {
        return vqx::usb::FT_INVALID_HANDLE;
    }
    std::string lastError() const override {
        return m_failed ? (m_denied ? "channel VQ0001A: access denied" : "channel VQ0001A: busy")
                        : std::string();
    }
    bool permissionDenied() const override { return m_failed && m_denied; }

    int opens = 0;

private:
    bool m_denied;
    bool m_failed = false;
};

struct Message {
    QString text;
    QString title;
    QString detail;
};

/// A dialog whose outside effects are recorded: message boxes, arp command lines, pauses.
struct Harness {
    std::unique_ptr<CConfigDlg> dlg;
    QList<Message> messages;
    QStringList commands;
    QList<int> pauses;
    QList<unsigned> hubSleeps;

    /// connectTimerMs <= 0 keeps the dialog's own timing; socket nullptr a plain link.
    explicit Harness(std::unique_ptr<vqx::usb::D2xxDriver> driver = nullptr,
                     int connectTimerMs = 150, std::unique_ptr<CModuleSocket> socket = nullptr) {
        // Without a driver of its own the dialog gets a device list with no hub in it, so
        // that no test touches real USB devices.
        if (!driver)
            driver = std::make_unique<vqx::sim::SimHubDriver>(
                std::vector<std::shared_ptr<vqx::sim::SimHub>>{});
        dlg = std::make_unique<CConfigDlg>(std::move(driver), std::move(socket));
        dlg->SetMessageBoxHook(
            [this](const QString& text, const QString& title, const QString& detail) {
                messages.append({text, title, detail});
            });
        dlg->SetCommandLauncher([this](const QString& c) { commands << c; });
        dlg->SetSleep([this](int ms) { pauses << ms; });
        dlg->Hub().SetSleep([this](unsigned ms) { hubSleeps << ms; });
        if (connectTimerMs > 0) {
            CConfigDlg::Timing t;
            t.connectTimerMs = connectTimerMs;
            dlg->SetTiming(t);
        }
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
        QCoreApplication::processEvents(); // the list has opened (and taken its activation)
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
