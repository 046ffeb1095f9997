#include "CConfigDlg.h"

// The dialog's workflows: switching between Ethernet and USB, connecting, reading a module's
// settings and writing them. The records move through the session core (RecordTransfer).

#include <array>
#include <memory>

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTimer>

#include "ArpCache.h"
#include "CIPAddressCtrl.h"
#include "CSlotCombo.h"
#include "DialogOperation.h"
#include "HubSession.h"
#include "ModuleTypes.h"
#include "NetworkRecord.h"
#include "RecordTransfer.h"
#include "TargetLock.h"
#include "Validation.h"

namespace {

using vqx::usb::kSlotCount;

QString errorText(int code) {
    return QStringLiteral("Error. Code = %1").arg(code);
}

QString chooseSlotText() {
    return QStringLiteral("Choose a slot first.");
}

} // namespace

// ---- Mode switching ------------------------------------------------------------------------

QString CConfigDlg::ModuleTypeName(std::uint8_t code) {
    return QString::fromLatin1(vqx::usb::moduleTypeName(code));
}

void CConfigDlg::EnableSettings(bool on) {
    m_setButton->setEnabled(on);
    m_ipAddress->setEnabled(on);
    m_maskAddress->setEnabled(on);
    m_gateAddress->setEnabled(on);
}

void CConfigDlg::SelectInterface(bool usb) {
    // Entering USB mode ends a running connect cycle; the connection is left as it is.
    if (usb)
        m_connectTimer->stop();
    EnableSettings(false);
    (usb ? m_usbRadio : m_ethernetRadio)->setChecked(true);
    m_connectButton->setEnabled(!usb);
    m_connectAddress->setEnabled(!usb);
    m_slotCombo->setEnabled(usb);
    if (!usb)
        return;

    Operation op(*this);
    const auto fail = [this](const QString& text) {
        MessageBox(text);
        SelectInterface(false);
    };
    using Stage = vqx::provision::HubOpening::Stage;
    switch (const vqx::provision::HubOpening opening = vqx::provision::openHub(m_hub, 0);
            opening.stage) {
    case Stage::Opened:
        break;
    case Stage::ListFailed:
        if (!m_hub.Driver()) {
            // No USB backend at all (on Windows: FTD2XX.dll missing): say why under the text.
            const QString why = QString::fromStdString(m_hub.DriverError());
            qWarning("No device: %s", qUtf8Printable(why));
            MessageBox(QStringLiteral("No device"), QString(), why);
            SelectInterface(false);
            return;
        }
        return fail(QStringLiteral("No device"));
    case Stage::NoHub:
    case Stage::NotThere:
        return fail(QStringLiteral("No device."));
    case Stage::OpenFailed:
        if (opening.permissionDenied) {
            // The user may not open the hub's channels: point at the udev rule.
            const QString hint = QString::fromUtf8(vqx::usb::kUdevHint);
            const QString why = QString::fromStdString(m_hub.Driver()->lastError());
            qWarning("HUB failure (code %d): %s\n%s", opening.code,
                     qUtf8Printable(why.isEmpty() ? QStringLiteral("permission denied") : why),
                     qUtf8Printable(hint));
            MessageBox(QStringLiteral("HUB failure."), QString(), hint);
            SelectInterface(false);
            return;
        }
        return fail(QStringLiteral("HUB failure."));
    }
    std::array<int, kSlotCount> types{};
    if (m_hub.ReadSlotTypes(types) != 0)
        return fail(QStringLiteral("HUB failure."));
    for (int n = 1; n <= kSlotCount; ++n) {
        QLabel* label = m_slotLabels[static_cast<std::size_t>(n - 1)];
        label->setText(
            QStringLiteral("Slot %1: ").arg(n) +
            ModuleTypeName(static_cast<std::uint8_t>(types[static_cast<std::size_t>(n - 1)])));
        label->setAccessibleName(QString()); // read as its text from now on
    }
    m_slotCombo->SetCurSel(-1);
}

void CConfigDlg::OnEthernet() {
    SelectInterface(false);
}

void CConfigDlg::OnUsb() {
    SelectInterface(true);
}

void CConfigDlg::OnSlotEditChange() {
    // Typing in the selector's field selects no slot and reads nothing.
}

// ---- Workflows -----------------------------------------------------------------------------

void CConfigDlg::LaunchHidden(const QString& commandLine) {
    vqx::net::launchHidden(commandLine);
}

void CConfigDlg::LaunchHidden(const QString& commandLine, const QStringList& fallbackDirs) {
    vqx::net::launchHidden(commandLine, fallbackDirs);
}

void CConfigDlg::OnConnectButton() {
    EnableSettings(false);
    std::uint32_t address = 0;
    m_connectAddress->GetAddress(address); // blank fields count as 0
    const QString command = vqx::net::arpDeleteCommand(address);
    if (m_launcher)
        m_launcher(command);
    else
        LaunchHidden(command);
    {
        Operation pause(*this, false); // the thread blocks: input meanwhile is dropped
        if (m_sleep)
            m_sleep(m_timing.arpPauseMs);
        else
            QThread::msleep(static_cast<unsigned long>(m_timing.arpPauseMs));
    }
    m_linkAddress = address;
    if (m_socket->ConnectTo(address, vqx::kModulePort) != 0) {
        m_connectTimer->stop();
        MessageBox(QStringLiteral("Failed"));
        return;
    }
    m_connectTimer->start(m_timing.connectTimerMs);
}

void CConfigDlg::OnTimer() {
    m_connectTimer->stop();
    if (IsBusy()) {
        // Defensive (see the class comment): a tick inside a transfer is put off, not acted
        // on in the middle of it.
        m_connectTimer->start(m_timing.connectTimerMs);
        return;
    }
    if (!m_socket->IsConnected()) {
        OnConnectButton();
        return;
    }
    Operation op(*this);
    // A failed read leaves the compared word 0, which selects variant 1.
    m_socket->SelectEepromVariant();
    ReadSettings();
    EnableSettings(true);
}

void CConfigDlg::FillFields(const vqx::NetworkRecord& r) {
    m_gateAddress->SetAddress(r.gateway);
    m_maskAddress->SetAddress(r.mask);
    m_ipAddress->SetAddress(r.ip);
}

void CConfigDlg::ReadSettings() {
    Operation op(*this);
    vqx::NetworkRecord record;
    if (const auto o = vqx::provision::readRecord(*m_socket, QString(), record); !o.ok()) {
        MessageBox(errorText(o.deviceCode));
        return;
    }
    FillFields(record);
}

int CConfigDlg::SlotIndex() const {
    return m_slotCombo->GetCurSel();
}

void CConfigDlg::OnSlotSelected() {
    Operation op(*this);
    EnableSettings(false);
    // The slot is taken once: input is held off while the bytes come in.
    const int slot = SlotIndex();
    if (slot < 0 || slot >= kSlotCount) {
        MessageBox(chooseSlotText());
        return;
    }
    vqx::NetworkRecord record;
    if (const auto o = vqx::provision::readRecord(m_hub, slot, QString(), record); !o.ok()) {
        MessageBox(errorText(o.deviceCode));
        return;
    }
    FillFields(record);
    EnableSettings(true);
}

QString CConfigDlg::SettingsProblems(const vqx::NetworkRecord& s) {
    return vqx::provision::settingsProblems(s);
}

void CConfigDlg::OnSet() {
    Operation op(*this);
    const bool usb = m_usbRadio->isChecked();
    vqx::NetworkRecord settings;
    m_gateAddress->GetAddress(settings.gateway);
    m_maskAddress->GetAddress(settings.mask);
    m_ipAddress->GetAddress(settings.ip);
    // Without a slot there is nothing to write to: said before any question about the
    // settings themselves. The slot is taken once; input is held off while the bytes go out.
    const int slot = usb ? SlotIndex() : -1;
    if (usb && (slot < 0 || slot >= kSlotCount)) {
        MessageBox(chooseSlotText());
        return;
    }
    if (const QString problems = SettingsProblems(settings);
        !problems.isEmpty() &&
        MessageBox(problems + QStringLiteral(" Write anyway?"), QString(), QString(),
                   QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    // One writer per module on the machine, the tool's writers included; never waited for.
    std::unique_ptr<vqx::provision::TargetLock> lock;
    if (const vqx::provision::Outcome taken = vqx::provision::takeWriteLock(
            usb ? vqx::provision::slotLockKey(vqx::provision::hubLockName(m_hub, 0), slot + 1)
                : vqx::provision::moduleLockKey(m_linkAddress, vqx::kModulePort),
            usb ? QStringLiteral("Slot %1").arg(slot + 1) : vqx::formatAddress(m_linkAddress), 0,
            nullptr, {}, lock);
        !taken.ok()) {
        MessageBox(taken.message);
        return;
    }
    const vqx::provision::Outcome o =
        usb ? vqx::provision::writeRecord(m_hub, slot, QString(), settings)
            : vqx::provision::writeRecord(*m_socket, QString(), settings);
    lock.reset();
    MessageBox(o.ok() ? QStringLiteral("Done") : errorText(o.deviceCode));
}
