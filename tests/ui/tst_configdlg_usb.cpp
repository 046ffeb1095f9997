// USB mode of the dialog against the simulated hub: enumeration, its failures, slot labels,
// reading and writing a slot module's record. emulatedHub runs the libftdi backend against
// the hub emulated below libusb, in the ctest entry that preloads libvqx250-usbemu.so.

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QRegularExpression>

#include "UiTestSupport.h"
#ifdef VQX_HAVE_LIBFTDI
#include "LibFtdiDriver.h"
#endif

using namespace uitest;
using vqx::sim::ModuleModel;
using vqx::sim::SimHub;
using vqx::sim::SimHubDriver;
using Bytes = std::array<std::uint8_t, 12>;

Q_DECLARE_METATYPE(Bytes)

namespace {

Bytes recordOf(std::uint32_t gate, std::uint32_t mask, std::uint32_t ip) {
    return vqx::NetworkRecord{gate, mask, ip}.toBytes();
}

// A hub with slot-type bytes 0x21 0x93 0x05 0x00 and a module with a record in each
// non-empty slot: IP 192.168.1.101 + slot.
std::shared_ptr<SimHub> makeHub() {
    auto hub = std::make_shared<SimHub>();
    const int types[6] = {1, 2, 3, 9, 5, 0};
    for (int slot = 0; slot < 6; ++slot) {
        if (types[slot] == 0)
            continue;
        auto m = std::make_shared<ModuleModel>(types[slot] == 2 ? ModuleModel::Variant::V2
                                                                : ModuleModel::Variant::V1);
        m->setRecord(recordOf(ipv4(192, 168, 1, 1), ipv4(255, 255, 255, 0),
                              ipv4(192, 168, 1, 101 + static_cast<unsigned>(slot))));
        hub->setSlot(slot, types[slot], m);
    }
    return hub;
}

// A click the window system has queued for the widget: delivered once events are dispatched.
void postClick(QWidget* w) {
    const QPointF pos = QRectF(w->rect()).center();
    const QPointF global = w->mapToGlobal(pos);
    QCoreApplication::postEvent(w, new QMouseEvent(QEvent::MouseButtonPress, pos, global,
                                                   Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(w, new QMouseEvent(QEvent::MouseButtonRelease, pos, global,
                                                   Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
}

} // namespace

class TestConfigDlgUsb : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QCoreApplication::setApplicationName(QStringLiteral("VQX250_IPConfig")); }

    void noHub() {
        Harness h(std::make_unique<SimHubDriver>(std::vector<std::shared_ptr<SimHub>>{}));
        h.click(CConfigDlg::IDC_USB);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("No device.")});
        QCOMPARE(h.messages.first().title, QStringLiteral("VQX250_IPConfig"));
        QVERIFY(h.radio(1000)->isChecked());
        QVERIFY(!h.radio(1001)->isChecked());
        QVERIFY(h.item(1002)->isEnabled() && h.item(1003)->isEnabled());
        QVERIFY(!h.item(1014)->isEnabled());
        QCOMPARE(h.label(1), QStringLiteral("---"));
    }

    void driverFailureWhileCounting() {
        auto driver = std::make_unique<SimHubDriver>(makeHub());
        driver->faults().createList = vqx::usb::FT_IO_ERROR;
        Harness h(std::move(driver));
        h.click(CConfigDlg::IDC_USB);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("No device")});
        QVERIFY(h.radio(1000)->isChecked());
    }

    void hubThatDoesNotAnswer() {
        auto hub = makeHub();
        Harness h(std::make_unique<SimHubDriver>(hub));
        h.click(CConfigDlg::IDC_USB); // a good enumeration first
        QCOMPARE(h.label(2), QStringLiteral("Slot 2: Afg"));
        h.click(CConfigDlg::IDC_ETHERNET);
        hub->faults().silent = true;
        hub->setSlot(1, 7, hub->module(1)); // a change the failing read must not show
        h.click(CConfigDlg::IDC_USB);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("HUB failure.")});
        QVERIFY(h.radio(1000)->isChecked());
        QCOMPARE(h.label(2), QStringLiteral("Slot 2: Afg")); // labels unchanged
        QVERIFY(h.dlg->Hub().IsOpen());                      // the hub is left open
    }

    void configurationFailure_data() {
        QTest::addColumn<int>("which");
        QTest::newRow("time-outs of channel B") << 0;
        QTest::newRow("bit mode of channel A") << 1;
        QTest::newRow("opening channel A") << 2;
    }
    void configurationFailure() {
        QFETCH(int, which);
        auto hub = makeHub();
        if (which == 0)
            hub->faults().setTimeoutsB = vqx::usb::FT_IO_ERROR;
        else if (which == 1)
            hub->faults().bitModeA = vqx::usb::FT_IO_ERROR;
        else
            hub->faults().openA = vqx::usb::FT_DEVICE_NOT_OPENED;
        Harness h(std::make_unique<SimHubDriver>(hub));
        h.click(CConfigDlg::IDC_USB);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("HUB failure.")});
        QVERIFY(h.radio(1000)->isChecked());
        for (int slot = 1; slot <= 6; ++slot)
            QCOMPARE(h.label(slot), QStringLiteral("---"));
    }

    void permissionDeniedPointsAtUdevRule_data() {
        QTest::addColumn<bool>("denied");
        QTest::newRow("permission denied") << true;
        QTest::newRow("other open failure") << false;
    }
    void permissionDeniedPointsAtUdevRule() {
        QFETCH(bool, denied);
        auto driver = std::make_unique<RefusingHubDriver>(denied);
        RefusingHubDriver* raw = driver.get();
        Harness h(std::move(driver));
        if (denied)
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(QStringLiteral("^HUB failure \\(code 3\\): channel VQ0001A: "
                                                  "access denied\n.*60-vqx250-hub\\.rules"),
                                   QRegularExpression::DotMatchesEverythingOption));
        else
            QTest::failOnWarning(QRegularExpression(QStringLiteral("udev")));
        h.click(CConfigDlg::IDC_USB);
        QCOMPARE(raw->opens, 1);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("HUB failure.")}); // the text stays
        QCOMPARE(h.messages.first().title, QStringLiteral("VQX250_IPConfig"));
        QCOMPARE(h.messages.first().detail,
                 denied ? QString::fromUtf8(vqx::usb::kUdevHint) : QString());
        QVERIFY(h.radio(1000)->isChecked());
        QVERIFY(!h.item(1014)->isEnabled());
        QVERIFY(!h.dlg->Hub().IsOpen());
    }

    void slotLabels_data() {
        QTest::addColumn<quint32>("word");
        QTest::addColumn<QStringList>("labels");
        QTest::newRow("21 93 05 00")
            << quint32(0x00059321)
            << QStringList{"Oscilloscope", "Afg", "LAG", "Thermo", "Strain", "No"};
        QTest::newRow("fourth byte ignored")
            << quint32(0xFF059321)
            << QStringList{"Oscilloscope", "Afg", "LAG", "Thermo", "Strain", "No"};
        QTest::newRow("unknown codes")
            << quint32(0x00FA8760)
            << QStringList{"No", "ICP", "Unknown", "Unknown", "Unknown", "Unknown"};
        QTest::newRow("ADC and the rest")
            << quint32(0x00BCDE04)
            << QStringList{"ADC", "No", "Unknown", "Unknown", "Unknown", "Unknown"};
    }
    void slotLabels() {
        QFETCH(quint32, word);
        QFETCH(QStringList, labels);
        auto hub = makeHub();
        hub->setSlotTypeWord(word);
        Harness h(std::make_unique<SimHubDriver>(hub));
        h.combo()->SetCurSel(3); // a selection from before is cleared on entry
        h.click(CConfigDlg::IDC_USB);
        QVERIFY(h.messages.isEmpty());
        QVERIFY(h.radio(1001)->isChecked());
        QVERIFY(!h.radio(1000)->isChecked());
        for (int slot = 1; slot <= 6; ++slot) {
            QCOMPARE(h.label(slot), QStringLiteral("Slot %1: ").arg(slot) + labels[slot - 1]);
            QCOMPARE(
                QAccessible::queryAccessibleInterface(h.item(1007 + slot))->text(QAccessible::Name),
                h.label(slot));
        }
        QVERIFY(!h.item(1002)->isEnabled() && !h.item(1003)->isEnabled());
        QVERIFY(h.item(1014)->isEnabled());
        QCOMPARE(h.combo()->GetCurSel(), -1);
        QVERIFY(h.combo()->currentText().isEmpty());
        QVERIFY(h.settingsDisabled());
    }

    // The demo hub's labels, a slot read and "Set" through libftdi on the emulated chip (strict:
    // a request it would not accept ends the test).
    void emulatedHub() {
#ifndef VQX_HAVE_LIBFTDI
        QSKIP("built without the libftdi backend");
#else
        if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("libvqx250-usbemu")))
            QSKIP("needs libvqx250-usbemu.so preloaded");
        Harness h(std::make_unique<vqx::usb::LibFtdiDriver>());
        h.dlg->show();
        h.dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.dlg.get()));
        h.click(CConfigDlg::IDC_USB);
        QVERIFY2(h.messages.isEmpty(), qPrintable(h.texts().join('\n')));
        const QStringList labels{"Oscilloscope", "Afg", "Thermo", "Unknown", "Strain", "No"};
        for (int slot = 1; slot <= 6; ++slot)
            QCOMPARE(h.label(slot), QStringLiteral("Slot %1: ").arg(slot) + labels[slot - 1]);
        h.chooseSlot(1);
        QVERIFY2(h.messages.isEmpty(), qPrintable(h.texts().join('\n')));
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.102"));
        QCOMPARE(h.ip(1006)->text(), QStringLiteral("255.255.255.0"));
        QCOMPARE(h.ip(1007)->text(), QStringLiteral("192.168.1.1"));
        h.ip(1004)->ClearAddress();
        h.ip(1004)->field(0)->setFocus();
        for (QChar c : QStringLiteral("192.168.1.40"))
            QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.40"));
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
        h.chooseSlot(4); // another slot, then back: read afresh from the module
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.105"));
        h.chooseSlot(1);
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.40"));
#endif
    }

    void moduleTypeNames() {
        const QStringList names{"No",     "Oscilloscope", "Afg",     "LAG",     "ADC",
                                "Strain", "ICP",          "Unknown", "Unknown", "Thermo"};
        for (int code = 0; code < 256; ++code)
            QCOMPARE(CConfigDlg::ModuleTypeName(static_cast<std::uint8_t>(code)),
                     code < names.size() ? names[code] : QStringLiteral("Unknown"));
    }

    void choosingSlotFillsFields() {
        auto hub = makeHub();
        Harness h(std::make_unique<SimHubDriver>(hub));
        hub->module(3)->setRecord(
            {0x01, 0x02, 0x03, 0x04, 0x00, 0xFC, 0xFF, 0xFF, 0x0A, 0x00, 0x00, 0x0A});
        h.click(CConfigDlg::IDC_USB);
        h.chooseSlot(3);
        QVERIFY(h.messages.isEmpty());
        QCOMPARE(h.ip(1007)->text(), QStringLiteral("4.3.2.1"));
        QCOMPARE(h.ip(1006)->text(), QStringLiteral("255.255.252.0"));
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("10.0.0.10"));
        QVERIFY(h.settingsEnabled());
        QCOMPARE(h.hubSleeps.size(), 12); // one transfer per byte
        // Another slot, then the same again: each choice reads afresh.
        h.chooseSlot(1);
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.102"));
        hub->module(1)->setRecord(recordOf(1, 2, ipv4(10, 1, 1, 1)));
        h.chooseSlot(1);
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("10.1.1.1"));
        QCOMPARE(h.ip(1007)->text(), QStringLiteral("0.0.0.1"));
        // Back to Ethernet: values stay, fields disabled, hub open; USB again reopens it.
        h.click(CConfigDlg::IDC_ETHERNET);
        QVERIFY(h.settingsDisabled());
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("10.1.1.1"));
        QVERIFY(h.dlg->Hub().IsOpen());
        hub->clearLog();
        h.click(CConfigDlg::IDC_USB);
        QVERIFY(hub->calls().size() > 2);
        QCOMPARE(hub->calls().front().rfind("Close", 0), 0u); // reopened: closed first
        QVERIFY(h.messages.isEmpty());
    }

    void typingInSelectorReadsNothing() {
        auto hub = makeHub();
        Harness h(std::make_unique<SimHubDriver>(hub));
        h.dlg->show();
        h.click(CConfigDlg::IDC_USB);
        hub->clearLog();
        QTest::keyClicks(h.combo()->lineEdit(), QStringLiteral("Slot 3"));
        QTest::keyClick(h.combo()->lineEdit(), Qt::Key_Tab);
        QVERIFY(hub->accesses().empty());
        QVERIFY(h.settingsDisabled());
        QCOMPARE(h.combo()->GetCurSel(), -1);
        QVERIFY(h.messages.isEmpty());
    }

    void setWritesTwelveBytes_data() {
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("gate");
        QTest::addColumn<Bytes>("bytes");
        QTest::newRow("example, variant 1 slot")
            << 0 << "192.168.1.20"
            << "255.255.255.0"
            << "192.168.1.1"
            << Bytes{0x01, 0x01, 0xA8, 0xC0, 0x00, 0xFF, 0xFF, 0xFF, 0x14, 0x01, 0xA8, 0xC0};
        QTest::newRow("example, variant 2 slot")
            << 1 << "192.168.1.20"
            << "255.255.255.0"
            << "192.168.1.1"
            << Bytes{0x01, 0x01, 0xA8, 0xC0, 0x00, 0xFF, 0xFF, 0xFF, 0x14, 0x01, 0xA8, 0xC0};
        QTest::newRow("blank parts are 0")
            << 4 << "10.7"
            << "255"
            << "10.0.0.1"
            << Bytes{0x01, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x07, 0x0A};
    }
    void setWritesTwelveBytes() {
        QFETCH(int, slot);
        QFETCH(QString, ip);
        QFETCH(QString, mask);
        QFETCH(QString, gate);
        QFETCH(Bytes, bytes);
        auto hub = makeHub();
        Harness h(std::make_unique<SimHubDriver>(hub));
        h.dlg->show();
        h.dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.dlg.get()));
        h.click(CConfigDlg::IDC_USB);
        h.chooseSlot(slot);
        const Bytes other = hub->module(2)->record();
        for (auto [id, text] : {std::pair{1004, ip}, {1006, mask}, {1007, gate}}) {
            h.ip(id)->ClearAddress();
            h.ip(id)->field(0)->setFocus();
            for (QChar c : text)
                QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
        }
        hub->clearLog();
        h.hubSleeps.clear();
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
        QCOMPARE(hub->module(slot)->record(), bytes);
        QCOMPARE(hub->module(2)->record(), other); // no other slot touched
        QCOMPARE(h.hubSleeps.size(), 12);
        // Ascending addresses, one byte per EEPROM write command, all to the chosen slot.
        int commands = 0;
        for (const auto& a : hub->accesses()) {
            QCOMPARE(a.slot, slot);
            const bool command = !a.read && (a.reg == 10 || a.reg == 13);
            if (!command)
                continue;
            QCOMPARE(a.value & 0x40000000u, 0x40000000u);
            QCOMPARE(int((a.value >> 8) & 0x7FF), 6 + commands);
            ++commands;
        }
        QCOMPARE(commands, 12);
        QVERIFY(h.settingsEnabled());
    }

    // "Set" on a slot while another writer holds that module's write lock: one box names the
    // holder and nothing goes to the hub; once the lock is free the same click writes.
    void setWhileAnotherWrites() {
        auto hub = makeHub();
        Harness h(std::make_unique<SimHubDriver>(hub));
        h.click(CConfigDlg::IDC_USB);
        h.chooseSlot(0);
        h.ip(1004)->SetAddress(ipv4(192, 168, 1, 30));
        const Bytes old = hub->module(0)->record();
        const QString key = QStringLiteral("hub-VQX25001-slot-1");
        auto other = std::make_unique<vqx::provision::TargetLock>(key);
        QCOMPARE(other->acquire(0), vqx::provision::TargetLock::Result::Taken);
        hub->clearLog();
        h.messages.clear();
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{lockBusyText(QStringLiteral("Slot 1"), key)});
        QCOMPARE(hub->writeCalls(), 0);
        QCOMPARE(hub->module(0)->record(), old);
        QVERIFY(h.settingsEnabled());
        other.reset();
        h.messages.clear();
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
        QCOMPARE(hub->module(0)->record(),
                 recordOf(ipv4(192, 168, 1, 1), ipv4(255, 255, 255, 0), ipv4(192, 168, 1, 30)));
    }

    void writeFailingMidway() {
        auto hub = makeHub();
        Harness h(std::make_unique<SimHubDriver>(hub));
        h.click(CConfigDlg::IDC_USB);
        h.chooseSlot(0);
        // Count the driver writes of one full record, then fail the one that falls into the
        // byte at address 10.
        hub->clearLog();
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
        const int perByte = hub->writeCalls() / 12;
        QCOMPARE(perByte * 12, hub->writeCalls());
        const Bytes old = hub->module(0)->record();
        h.messages.clear();
        h.ip(1007)->SetAddress(ipv4(1, 2, 3, 4));
        h.ip(1006)->SetAddress(ipv4(255, 0, 0, 0)); // settings that pass the check
        h.ip(1004)->SetAddress(ipv4(1, 10, 11, 12));
        hub->clearLog();
        hub->faults().failWriteCall = 4 * perByte; // the first driver write of address 10
        hub->faults().writeStatus = vqx::usb::FT_IO_ERROR;
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Error. Code = 4")});
        const Bytes now = hub->module(0)->record();
        QCOMPARE((std::array<int, 4>{now[0], now[1], now[2], now[3]}),
                 (std::array<int, 4>{4, 3, 2, 1})); // the gateway is new
        for (int i = 5; i < 12; ++i)
            QCOMPARE(int(now[static_cast<std::size_t>(i)]), int(old[static_cast<std::size_t>(i)]));
        QVERIFY(h.settingsEnabled());
    }

    void inputDuringTransferIsDiscarded_data() {
        QTest::addColumn<bool>("write");
        QTest::newRow("slot read") << false;
        QTest::newRow("write") << true;
    }
    void inputDuringTransferIsDiscarded() {
        // A USB transfer dispatches nothing: clicks made meanwhile wait in the queue, and the
        // user saw a screen that the transfer then changed. They are dropped, not acted on.
        QFETCH(bool, write);
        auto hub = makeHub();
        Harness h(std::make_unique<SimHubDriver>(hub));
        h.dlg->show();
        h.click(CConfigDlg::IDC_USB);
        h.chooseSlot(0);
        h.ip(1004)->SetAddress(ipv4(192, 168, 1, 99)); // the user's edit
        int sleeps = 0;
        h.dlg->Hub().SetSleep([&](unsigned) {
            if (++sleeps == 2) {
                postClick(h.item(CConfigDlg::IDC_SET));
                postClick(h.item(CConfigDlg::IDC_ETHERNET));
                if (write) // Escape is kept: the dialog ends once the transfer has
                    QCoreApplication::postEvent(
                        h.ip(1004)->field(0),
                        new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
            }
        });
        if (write)
            h.click(CConfigDlg::IDC_SET);
        else
            h.chooseSlot(1);
        QCOMPARE(sleeps, 12);
        QCoreApplication::processEvents(); // whatever is still queued
        QCOMPARE(h.texts(), write ? QStringList{QStringLiteral("Done")} : QStringList{});
        QCOMPARE(int(hub->module(0)->record()[8]), write ? 99 : 101); // the one write only
        QVERIFY(h.radio(1001)->isChecked());                          // still USB mode
        QVERIFY(h.settingsEnabled());
        QCOMPARE(h.dlg->isVisible(), !write);
    }

    void slotReadFailure() {
        auto hub = makeHub();
        Harness h(std::make_unique<SimHubDriver>(hub));
        h.click(CConfigDlg::IDC_USB);
        h.chooseSlot(0);
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.101"));
        hub->faults().failRegister = 15; // the module's data register
        h.chooseSlot(1);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Error. Code = 10")});
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.101")); // fields unchanged
        QVERIFY(h.settingsDisabled());
    }

    void noSlotNeverReachesTheHub() {
        auto hub = makeHub();
        Harness h(std::make_unique<SimHubDriver>(hub));
        h.dlg->show();
        h.click(CConfigDlg::IDC_USB);
        h.chooseSlot(2);
        const Bytes before = hub->module(2)->record();
        // Editing the selector's field leaves no slot selected; Set then touches no slot.
        QTest::keyClick(h.combo()->lineEdit(), Qt::Key_Backspace);
        QCOMPARE(h.combo()->GetCurSel(), -1);
        hub->clearLog();
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Choose a slot first.")});
        QVERIFY(hub->accesses().empty());
        QCOMPARE(hub->writeCalls(), 0);
        QCOMPARE(hub->module(2)->record(), before);
        // Settings that fail the check change nothing: the missing slot is said first, and
        // no question asks to write them anywhere.
        h.messages.clear();
        h.ip(1006)->SetAddress(0);
        h.dlg->OnSet();
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Choose a slot first.")});
        QCOMPARE(hub->writeCalls(), 0);
        // The read handler guards the same way.
        h.messages.clear();
        h.dlg->OnSlotSelected();
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Choose a slot first.")});
        QCOMPARE(hub->writeCalls(), 0);
        QVERIFY(h.settingsDisabled());
    }

    void switchToUsbEndsConnectCycle() {
        Harness h(std::make_unique<SimHubDriver>(makeHub()), 60000);
        const std::uint32_t address = unusedLoopback(); // never a host on the network
        QVERIFY(address);
        h.dlg->SetConnectAddress(address);
        h.click(CConfigDlg::IDC_CONNECT);
        QCOMPARE(h.commands, QStringList{QStringLiteral("arp -d ") + vqx::formatAddress(address)});
        QVERIFY(h.dlg->IsConnectTimerActive());
        h.click(CConfigDlg::IDC_USB);
        QVERIFY(!h.dlg->IsConnectTimerActive());
        QVERIFY(h.radio(1001)->isChecked());
    }

    void ethernetClickKeepsConnectCycle() {
        Harness h(std::make_unique<SimHubDriver>(makeHub()), 60000);
        const std::uint32_t address = unusedLoopback();
        QVERIFY(address);
        h.dlg->SetConnectAddress(address);
        h.click(CConfigDlg::IDC_CONNECT);
        QCOMPARE(h.commands, QStringList{QStringLiteral("arp -d ") + vqx::formatAddress(address)});
        h.click(CConfigDlg::IDC_ETHERNET);
        QVERIFY(h.dlg->IsConnectTimerActive());
    }
};

QTEST_MAIN(TestConfigDlgUsb)
#include "tst_configdlg_usb.moc"
