// Ethernet mode of the dialog against a module served on a loopback address, port 23100:
// the connect cycle, reading and writing the record, failures and clicks during transfers.

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "ModuleServer.h"
#include "TestRows.h"
#include "UiTestSupport.h"

using namespace uitest;
using vqx::sim::ModuleModel;
using vqx::sim::ModuleServer;
using Bytes = std::array<std::uint8_t, 12>;

namespace {

const Bytes kExample{0x01, 0x01, 0xA8, 0xC0, 0x00, 0xFF, 0xFF, 0xFF, 0x14, 0x01, 0xA8, 0xC0};

QString dotted(std::uint32_t a) {
    return vqx::formatAddress(a);
}

// A module served on a free loopback address.
struct ServedModule {
    std::shared_ptr<ModuleModel> model;
    std::unique_ptr<ModuleServer> server;
    std::uint32_t address = 0;

    explicit ServedModule(ModuleModel::Variant v = ModuleModel::Variant::V2)
        : model(std::make_shared<ModuleModel>(v)), server(std::make_unique<ModuleServer>(model)) {
        model->setRecord(kExample);
        address = onFreeLoopback(
            [this](const QHostAddress& a) { return server->listen(a, vqx::kModulePort); });
    }
};

// A right click on a widget: the mouse click and the context-menu request the platform makes
// of it (the test's mouse events do not go through the window system).
void rightClick(QWidget* w) {
    const QPoint pos = w->rect().center();
    QTest::mouseClick(w, Qt::RightButton, {}, pos);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, w->mapToGlobal(pos));
    QApplication::sendEvent(w, &event);
}

// Connects the dialog to the address and waits until the settings have been read.
bool connectAndRead(Harness& h, std::uint32_t address) {
    h.dlg->SetConnectAddress(address);
    QSignalSpy done(h.dlg.get(), &CConfigDlg::operationFinished);
    h.click(CConfigDlg::IDC_CONNECT);
    return done.wait(10000) || done.count() > 0;
}

} // namespace

class TestConfigDlgNet : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QCoreApplication::setApplicationName(QStringLiteral("VQX250_IPConfig")); }

    void connectReadsSettings_data() { vqxtest::variantRows(); }
    void connectReadsSettings() {
        QFETCH(int, variant);
        ServedModule m(static_cast<ModuleModel::Variant>(variant));
        QVERIFY(m.address);
        Harness h;
        h.dlg->Socket().SetEepromMode(variant == 2 ? 1 : 2); // the tick must set it
        h.dlg->show();
        h.dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.dlg.get()));
        // Key the module's address into the connect field.
        h.ip(1002)->ClearAddress();
        h.ip(1002)->field(0)->setFocus();
        for (QChar c : dotted(m.address))
            QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
        QSignalSpy done(h.dlg.get(), &CConfigDlg::operationFinished);
        h.click(CConfigDlg::IDC_CONNECT);
        QVERIFY(h.settingsDisabled());
        QVERIFY(h.dlg->IsConnectTimerActive());
        QCOMPARE(h.commands, QStringList{QStringLiteral("arp -d ") + dotted(m.address)});
        QCOMPARE(h.pauses, QList<int>{200});
        QVERIFY(done.wait(10000));
        QVERIFY(h.messages.isEmpty());
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.20"));
        QCOMPARE(h.ip(1006)->text(), QStringLiteral("255.255.255.0"));
        QCOMPARE(h.ip(1007)->text(), QStringLiteral("192.168.1.1"));
        QVERIFY(h.settingsEnabled());
        QCOMPARE(int(h.dlg->Socket().EepromMode()), variant);
        QVERIFY(!h.dlg->IsConnectTimerActive());
        QCOMPARE(h.commands.size(), 1);
        QCOMPARE(m.server->connectionCount(), 1);
        QCOMPARE(m.model->commandsExecuted(), 12); // one EEPROM command per byte
    }

    void blankConnectFieldPartsAreZero() {
        const std::uint32_t address = unusedLoopback(); // 127.0.0.N
        QVERIFY(address);
        Harness h(nullptr, 60000);
        h.ip(1002)->ClearAddress();
        h.ip(1002)->field(0)->setText(QStringLiteral("127"));
        h.ip(1002)->field(3)->setText(QString::number(address & 0xFF));
        h.click(CConfigDlg::IDC_CONNECT);
        QCOMPARE(h.commands, QStringList{QStringLiteral("arp -d ") + dotted(address)});
    }

    void setWritesTwelveBytes_data() { vqxtest::variantRows(); }
    void setWritesTwelveBytes() {
        QFETCH(int, variant);
        ServedModule m(static_cast<ModuleModel::Variant>(variant));
        m.model->setRecord({});
        Harness h;
        QVERIFY(connectAndRead(h, m.address));
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("0.0.0.0"));
        h.ip(1004)->SetAddress(ipv4(192, 168, 1, 20));
        h.ip(1006)->SetAddress(ipv4(255, 255, 255, 0));
        h.ip(1007)->SetAddress(ipv4(192, 168, 1, 1));
        const int before = m.model->commandsExecuted();
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
        QCOMPARE(m.model->record(), kExample);
        QCOMPARE(m.model->commandsExecuted() - before, 12);
        QVERIFY(h.settingsEnabled());
        // Read back through a new connection: the same three addresses.
        h.ip(1004)->ClearAddress();
        QVERIFY(connectAndRead(h, m.address));
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.20"));
        QCOMPARE(h.ip(1007)->text(), QStringLiteral("192.168.1.1"));
    }

    // "Set" while another writer holds the module's write lock (the tool's, here another lock
    // of this process): one box names the holder and nothing is written; once the lock is
    // free the same click writes.
    void setWhileAnotherWrites() {
        ServedModule m(ModuleModel::Variant::V2);
        QVERIFY(m.address);
        Harness h;
        QVERIFY(connectAndRead(h, m.address));
        h.ip(1004)->SetAddress(ipv4(192, 168, 1, 30));
        const QString key = QStringLiteral("module-%1-23100").arg(dotted(m.address));
        auto other = std::make_unique<vqx::provision::TargetLock>(key);
        QCOMPARE(other->acquire(0), vqx::provision::TargetLock::Result::Taken);
        const int before = m.model->commandsExecuted();
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{lockBusyText(dotted(m.address), key)});
        QCOMPARE(m.model->commandsExecuted(), before);
        QCOMPARE(m.model->record(), kExample);
        QVERIFY(h.settingsEnabled());
        other.reset();
        h.messages.clear();
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
        QCOMPARE(m.model->record(),
                 (vqx::NetworkRecord{0xC0A80101, 0xFFFFFF00, 0xC0A8011E}.toBytes()));
    }

    // "Set" asks before writing settings that fail the check: No writes nothing, Yes writes
    // them; settings that pass are written without a question, as before.
    void setAsksBeforeBrokenSettings_data() {
        QTest::addColumn<quint32>("mask");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("question");
        const QString broken =
            QStringLiteral("The mask 0.0.0.0 is not a valid subnet mask. Write anyway?");
        QTest::newRow("refused mask, No") << 0u << int(QMessageBox::No) << broken;
        QTest::newRow("refused mask, Yes") << 0u << int(QMessageBox::Yes) << broken;
        QTest::newRow("valid") << 0xFFFFFF00u << int(QMessageBox::No) << QString();
    }
    void setAsksBeforeBrokenSettings() {
        QFETCH(quint32, mask);
        QFETCH(int, answer);
        QFETCH(QString, question);
        ServedModule m(ModuleModel::Variant::V2);
        m.model->setRecord({});
        Harness h;
        QVERIFY(connectAndRead(h, m.address));
        QStringList asked;
        h.dlg->SetMessageBoxHook([&](const QString& text, const QString&, const QString&,
                                     QMessageBox::StandardButtons buttons) {
            if (buttons == (QMessageBox::Yes | QMessageBox::No)) {
                asked << text;
                return static_cast<QMessageBox::StandardButton>(answer);
            }
            h.messages.append({text, {}, {}});
            return QMessageBox::Ok;
        });
        h.ip(1004)->SetAddress(ipv4(192, 168, 1, 20));
        h.ip(1006)->SetAddress(mask);
        h.ip(1007)->SetAddress(ipv4(192, 168, 1, 1));
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(asked, question.isEmpty() ? QStringList{} : QStringList{question});
        const bool writes = question.isEmpty() || answer == int(QMessageBox::Yes);
        QCOMPARE(h.texts(), writes ? QStringList{QStringLiteral("Done")} : QStringList{});
        const Bytes written = vqx::NetworkRecord{0xC0A80101, mask, 0xC0A80114}.toBytes();
        QCOMPARE(m.model->record(), writes ? written : Bytes{});
    }

    void writeFailingMidway_data() {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QString>("message");
        QTest::newRow("variant 1") << 1 << QStringLiteral("Error. Code = -1");
        QTest::newRow("variant 2") << 2 << QStringLiteral("Error. Code = 100");
    }
    void writeFailingMidway() {
        QFETCH(int, variant);
        QFETCH(QString, message);
        ServedModule m(static_cast<ModuleModel::Variant>(variant));
        Harness h;
        QVERIFY(connectAndRead(h, m.address));
        h.ip(1007)->SetAddress(ipv4(1, 2, 3, 4));
        h.ip(1006)->SetAddress(ipv4(255, 0, 0, 0)); // settings that pass the check
        h.ip(1004)->SetAddress(ipv4(1, 10, 11, 12));
        m.model->faults().failAtAddress = 10;
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{message});
        const Bytes now = m.model->record();
        QCOMPARE((std::array<int, 4>{now[0], now[1], now[2], now[3]}),
                 (std::array<int, 4>{4, 3, 2, 1}));
        for (std::size_t i = 5; i < 12; ++i)
            QCOMPARE(int(now[i]), int(kExample[i]));
        QVERIFY(h.settingsEnabled());
    }

    void readFailureKeepsFieldsAndEnables() {
        ServedModule m;
        Harness h;
        h.ip(1004)->SetAddress(ipv4(1, 1, 1, 1));
        m.model->faults().failAtAddress = 14;
        QVERIFY(connectAndRead(h, m.address));
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Error. Code = 100")});
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("1.1.1.1"));
        QVERIFY(h.ip(1006)->IsBlank());
        QVERIFY(h.settingsEnabled());
    }

    void refusedConnection() {
        const std::uint32_t address = unusedLoopback();
        QVERIFY(address);
        Harness h;
        h.ip(1004)->SetAddress(ipv4(1, 1, 1, 1));
        QVERIFY(connectAndRead(h, address));
        // A refused attempt counts as connected: the settings read fails with the link's
        // code for a send on a dead connection, and the group is enabled.
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Error. Code = 2")});
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("1.1.1.1"));
        QVERIFY(h.settingsEnabled());
        QCOMPARE(h.commands.size(), 1);
    }

    void failedSocketCreation() {
        // A link whose socket cannot be created: "Failed", and no connect timer after it, not
        // even one armed by an earlier click.
        class FailingSocket : public CModuleSocket {
        public:
            bool fail = false;

        protected:
            bool Create() override { return !fail && CModuleSocket::Create(); }
        };
        auto socket = std::make_unique<FailingSocket>();
        FailingSocket* raw = socket.get();
        const std::uint32_t address = unusedLoopback();
        QVERIFY(address);
        Harness h(nullptr, 60000, std::move(socket));
        h.dlg->SetConnectAddress(address);
        h.click(CConfigDlg::IDC_CONNECT);
        QVERIFY(h.dlg->IsConnectTimerActive());
        raw->fail = true;
        h.click(CConfigDlg::IDC_CONNECT);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Failed")});
        QCOMPARE(h.commands.size(), 2); // the arp step ran before the attempt
        QVERIFY(!h.dlg->IsConnectTimerActive());
        QVERIFY(h.settingsDisabled());
    }

    void setAfterModuleClosedLink() {
        ServedModule m;
        Harness h;
        QVERIFY(connectAndRead(h, m.address));
        m.server->close();
        QTRY_VERIFY(!h.dlg->Socket().IsConnected());
        const int commands = m.model->commandsExecuted();
        h.ip(1004)->SetAddress(ipv4(192, 168, 1, 30));
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Error. Code = 3")});
        QCOMPARE(m.model->commandsExecuted(), commands);
        QCOMPARE(m.model->record(), kExample);
    }

    void failedVersionReadSelectsVariant1() {
        ServedModule m(ModuleModel::Variant::V2);
        Harness h;
        QVERIFY(connectAndRead(h, m.address));
        QCOMPARE(int(h.dlg->Socket().EepromMode()), 2);
        // Now the module stops answering reads: the version read fails.
        CModuleSocket::Timing t;
        t.waitMs = 100;
        t.eepromPollMs = 300;
        h.dlg->Socket().SetTiming(t);
        m.server->faults().noReply = true;
        QVERIFY(connectAndRead(h, m.address));
        QCOMPARE(int(h.dlg->Socket().EepromMode()), 1);
        QVERIFY(h.messages.size() >= 2);
        // The link's receive-error box, titled "Error", then the read's own message.
        QCOMPARE(h.messages.first().title, QStringLiteral("Error"));
        QVERIFY(h.messages.first().text.startsWith(QStringLiteral("len = -1,\nerr = ")));
        QCOMPARE(h.messages.last().title, QStringLiteral("VQX250_IPConfig"));
        QCOMPARE(h.messages.last().text, QStringLiteral("Error. Code = 4"));
        QVERIFY(h.settingsEnabled());
    }

    void clicksDuringTransferAreNotActedOn_data() {
        QTest::addColumn<bool>("duringRead");
        QTest::newRow("settings read after a connect") << true;
        QTest::newRow("write") << false;
    }
    void clicksDuringTransferAreNotActedOn() {
        QFETCH(bool, duringRead);
        ServedModule m;
        m.model->setBusyPolls(3); // each byte takes several polls, each a wait
        Harness h;
        h.dlg->show();
        if (!duringRead) {
            QVERIFY(connectAndRead(h, m.address));
            h.commands.clear();
            h.ip(1004)->SetAddress(ipv4(192, 168, 1, 7));
        }
        int rounds = 0;
        bool sawBusy = false;
        QTimer poke;
        poke.setInterval(0);
        connect(&poke, &QTimer::timeout, this, [&] {
            if (!h.dlg->IsBusy() || rounds >= 3)
                return;
            sawBusy = true;
            ++rounds;
            // During the read "Connect" and both radio buttons are enabled; during the write
            // the "EEPROM" group is as well.
            h.click(CConfigDlg::IDC_CONNECT);
            QTest::keyClick(h.item(CConfigDlg::IDC_CONNECT), Qt::Key_Space);
            h.click(CConfigDlg::IDC_USB);
            h.click(CConfigDlg::IDC_ETHERNET);
            h.click(CConfigDlg::IDC_SET);
            QTest::keyClick(h.item(CConfigDlg::IDC_SET), Qt::Key_Space);
        });
        poke.start();
        if (duringRead) {
            QVERIFY(connectAndRead(h, m.address));
        } else {
            h.click(CConfigDlg::IDC_SET);
        }
        poke.stop();
        QVERIFY(sawBusy);
        QCOMPARE(rounds, 3);
        if (duringRead) {
            QVERIFY(h.messages.isEmpty());
            QCOMPARE(h.commands.size(), 1); // no new connect sequence
            QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.20"));
            QCOMPARE(m.model->commandsExecuted(), 12);
        } else {
            QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")}); // one write, one message
            QVERIFY(h.commands.isEmpty());
            QCOMPARE(m.model->record()[8], std::uint8_t{7});
        }
        QCOMPARE(m.server->connectionCount(), 1);
        QVERIFY(h.radio(1000)->isChecked()); // still Ethernet mode
        QVERIFY(!h.radio(1001)->isChecked());
        QVERIFY(h.settingsEnabled());
        QVERIFY(!h.dlg->IsConnectTimerActive());
        // Afterwards the controls work again.
        h.messages.clear();
        h.click(CConfigDlg::IDC_SET);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
    }

    void aboutEntryNotOpenedDuringTransfer() {
        ServedModule m;
        m.model->setBusyPolls(3);
        Harness h;
        h.dlg->show();
        h.dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.dlg.get()));
        QVERIFY(connectAndRead(h, m.address));
        int aboutRuns = 0;
        h.dlg->SetAboutBoxRunner([&](QWidget*) { ++aboutRuns; });
        QSignalSpy menuShown(h.dlg->SystemMenu(), &QMenu::aboutToShow);
#ifdef Q_OS_WIN
        const bool contextMenuHasTheEntry = false;
#else
        const bool contextMenuHasTheEntry = true;
#endif
        // A menu that opens is closed again soon, so that the test cannot hang on it.
        QTimer closer;
        closer.setInterval(50);
        connect(&closer, &QTimer::timeout, this, [] {
            if (QWidget* popup = QApplication::activePopupWidget())
                popup->close();
        });
        closer.start();
        int rounds = 0;
        QTimer poke;
        poke.setInterval(0);
        connect(&poke, &QTimer::timeout, this, [&] {
            if (!h.dlg->IsBusy() || rounds >= 2)
                return;
            ++rounds;
            rightClick(h.item(CConfigDlg::IDC_SLOT1));
            rightClick(h.ip(1004)->field(1));
            QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                  h.dlg->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(h.dlg.get(), &key);
            QVERIFY(h.dlg->OnSysCommand(CConfigDlg::IDM_ABOUTBOX)); // taken, but dropped
        });
        poke.start();
        h.click(CConfigDlg::IDC_SET);
        poke.stop();
        QCOMPARE(rounds, 2);
        QCOMPARE(menuShown.count(), 0);
        QCOMPARE(aboutRuns, 0);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
        // Outside a transfer the same right click and command do open them (on Windows the
        // entry is in the system menu only, so a right click opens nothing there).
        const int menus = contextMenuHasTheEntry ? 1 : 0;
        rightClick(h.item(CConfigDlg::IDC_SLOT1));
        QCOMPARE(menuShown.count(), menus);
        rightClick(h.ip(1004)->field(1));
        QCOMPARE(menuShown.count(), 2 * menus);
        QVERIFY(h.dlg->OnSysCommand(CConfigDlg::IDM_ABOUTBOX));
        QCOMPARE(aboutRuns, 1);
    }

    void timerTickDuringTransferIsPutOff() {
        // The dialog's controls cannot arm the timer during a transfer; a direct call of the
        // handler stands in for such a tick.
        ServedModule m;
        m.model->setBusyPolls(3);
        Harness h;
        h.dlg->show();
        QVERIFY(connectAndRead(h, m.address));
        h.commands.clear();
        const int before = m.model->commandsExecuted();
        bool ticked = false;
        QTimer poke;
        poke.setInterval(0);
        connect(&poke, &QTimer::timeout, this, [&] {
            if (!h.dlg->IsBusy() || ticked)
                return;
            ticked = true;
            h.dlg->OnTimer();
            QVERIFY(h.dlg->IsConnectTimerActive());
        });
        poke.start();
        h.click(CConfigDlg::IDC_SET);
        poke.stop();
        QVERIFY(ticked);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
        QCOMPARE(m.model->commandsExecuted() - before, 12); // the write only, no read inside
        QVERIFY(h.commands.isEmpty());
        // The tick comes one period later and reads the settings then.
        QVERIFY(h.dlg->IsConnectTimerActive());
        QSignalSpy done(h.dlg.get(), &CConfigDlg::operationFinished);
        QVERIFY(done.wait(10000));
        QCOMPARE(m.model->commandsExecuted() - before, 12 + 12); // then the read
        QVERIFY(!h.dlg->IsConnectTimerActive());
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
    }

    void closingDuringTransferWaitsForIt() {
        ServedModule m;
        m.model->setBusyPolls(3);
        Harness h;
        h.dlg->show();
        QVERIFY(connectAndRead(h, m.address));
        bool closedInside = false;
        QTimer::singleShot(0, this, [&] {
            QTest::keyClick(h.ip(1002)->field(0), Qt::Key_Escape);
            closedInside = !h.dlg->isVisible();
        });
        h.click(CConfigDlg::IDC_SET);
        QVERIFY(!closedInside);
        QCOMPARE(h.texts(), QStringList{QStringLiteral("Done")});
        QVERIFY(!h.dlg->isVisible()); // closed once the write had ended
        QCOMPARE(h.dlg->result(), int(QDialog::Rejected));
    }

#ifdef Q_OS_LINUX
    void connectCycleUntilModuleListens() {
        // A listener with a full accept queue drops further connection requests, so the
        // dialog's attempts neither succeed nor fail, as with a module that does not answer.
        int blocker = -1;
        const std::uint32_t address = onFreeLoopback([&](const QHostAddress& a) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(vqx::kModulePort);
            sa.sin_addr.s_addr = htonl(a.toIPv4Address());
            if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
                ::listen(fd, 0) != 0) {
                ::close(fd);
                return false;
            }
            blocker = fd;
            return true;
        });
        QVERIFY(address);
        QTcpSocket filler1, filler2;
        filler1.connectToHost(QHostAddress(address), vqx::kModulePort);
        QVERIFY(filler1.waitForConnected(3000));
        filler2.connectToHost(QHostAddress(address), vqx::kModulePort);
        QTest::qWait(50);

        Harness h(nullptr, 150);
        h.dlg->SetConnectAddress(address);
        h.click(CConfigDlg::IDC_CONNECT);
        // Every tick without a connection runs the whole sequence again: arp, pause, connect.
        QTRY_VERIFY_WITH_TIMEOUT(h.commands.size() >= 4, 10000);
        QVERIFY(h.messages.isEmpty());
        QVERIFY(h.settingsDisabled());
        QVERIFY(h.dlg->IsConnectTimerActive());
        for (const QString& c : h.commands)
            QCOMPARE(c, QStringLiteral("arp -d ") + dotted(address));
        QCOMPARE(h.pauses.size(), h.commands.size());

        // The module starts listening: a later attempt connects and the settings are read.
        auto model = std::make_shared<ModuleModel>(ModuleModel::Variant::V2);
        model->setRecord(kExample);
        ModuleServer server(model);
        ::close(blocker);
        filler1.abort();
        filler2.abort();
        QVERIFY(server.listen(QHostAddress(address), vqx::kModulePort));
        QTRY_VERIFY_WITH_TIMEOUT(h.settingsEnabled(), 10000);
        QVERIFY(h.messages.isEmpty());
        QCOMPARE(h.ip(1004)->text(), QStringLiteral("192.168.1.20"));
        QVERIFY(!h.dlg->IsConnectTimerActive());
    }
#endif
};

QTEST_MAIN(TestConfigDlgNet)
#include "tst_configdlg_net.moc"
