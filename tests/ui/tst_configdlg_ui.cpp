// The dialog's controls, start state, keyboard handling, message box and about entry.

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProxyStyle>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include "CAboutBox.h"
#include "DialogUnits.h"
#include "SimHub.h"
#include "UiTestSupport.h"

#ifdef Q_OS_WIN
#include <windows.h>
#undef MessageBox
#elif defined(Q_OS_UNIX)
#include <unistd.h>
#endif

using namespace uitest;

namespace {

struct Expected {
    int id;
    const char* kind;
    const char* text;
    int x, y, w, h;
};

// Template 102 in template order.
const Expected kControls[] = {
    {-1, "QGroupBox", "", 6, 3, 154, 221},
    {1000, "QRadioButton", "Ethernet", 19, 16, 43, 10},
    {1001, "QRadioButton", "USB", 19, 87, 31, 10},
    {1002, "CIPAddressCtrl", "", 30, 30, 100, 11},
    {1003, "QPushButton", "Connect", 30, 45, 50, 12},
    {-1, "QGroupBox", "", 12, 9, 142, 70},
    {-1, "QGroupBox", "", 12, 80, 142, 70},
    {-1, "QGroupBox", "EEPROM", 12, 151, 142, 67},
    {1004, "CIPAddressCtrl", "", 41, 164, 100, 11},
    {1005, "QPushButton", "Set", 41, 202, 50, 12},
    {-1, "QLabel", "IP:", 30, 165, 10, 8},
    {1006, "CIPAddressCtrl", "", 41, 176, 100, 11},
    {1007, "CIPAddressCtrl", "", 41, 188, 100, 11},
    {-1, "QLabel", "Mask:", 20, 178, 20, 8},
    {-1, "QLabel", "Gate:", 22, 189, 18, 8},
    {1008, "QLabel", "---", 72, 88, 75, 8},
    {1009, "QLabel", "---", 72, 98, 75, 8},
    {1010, "QLabel", "---", 72, 108, 75, 8},
    {1011, "QLabel", "---", 72, 118, 75, 8},
    {1012, "QLabel", "---", 72, 128, 75, 8},
    {1013, "QLabel", "---", 72, 138, 75, 8},
    {1014, "CSlotCombo", "", 18, 103, 48, 115},
};

#if defined(Q_OS_UNIX) || defined(Q_OS_WIN)
#if defined(Q_OS_WIN)
// The stand-in for arp.exe (FakeArp.cpp): waits for a file "go" beside it, then writes
// "report" (console window, show state, parent program) and appends its arguments to "args".
bool writeFakeArp(const QString& dir) {
    return QFile::copy(QStringLiteral(VQX_FAKE_ARP), dir + QStringLiteral("/arp.exe"));
}
#else
// A stand-in for the system's arp tool: waits for a file "go" beside it (at most about 30 s),
// then notes its session ("session", Linux) and appends its arguments, one a line, to "args"
// beside it. Uses no PATH lookups.
bool writeFakeArp(const QString& dir) {
    QFile f(dir + QStringLiteral("/arp"));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write("#!/bin/sh\n"
            "here=${0%/*}\n"
            "n=0\n"
            "while [ ! -e \"$here/go\" ] && [ $n -lt 600 ]; do /bin/sleep 0.05; n=$((n+1)); done\n"
            "[ -e \"$here/go\" ] || { echo gave-up >> \"$here/args\"; exit 1; }\n"
            "sixth() { set -- $1; echo \"$6\"; }\n"
            "read -r stat < /proc/$$/stat 2>/dev/null && sixth \"$stat\" > \"$here/session\"\n"
            "printf '%s\\n' \"$@\" >> \"$here/args\"\n"
            "echo output that nobody reads\n");
    f.close();
    return f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}
#endif

#ifdef Q_OS_LINUX
// Children of this process that have ended and not been waited for.
int zombieChildren() {
    int zombies = 0;
    const QString self = QString::number(::getpid());
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...: the fields after the last ')'.
        const QByteArray stat = f.readAll();
        const QList<QByteArray> rest =
            stat.mid(stat.lastIndexOf(')') + 2).split(' '); // state ppid ...
        if (rest.size() > 1 && rest[0] == "Z" && rest[1] == self.toLatin1())
            ++zombies;
    }
    return zombies;
}
#endif

bool touch(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::WriteOnly);
}

QByteArray readAll(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Sets PATH for the lifetime of the object.
class PathGuard {
public:
    explicit PathGuard(const QString& path) : m_old(qgetenv("PATH")) {
        qputenv("PATH", QFile::encodeName(QDir::toNativeSeparators(path)));
    }
    ~PathGuard() { qputenv("PATH", m_old); }
    PathGuard(const PathGuard&) = delete;
    PathGuard& operator=(const PathGuard&) = delete;

private:
    QByteArray m_old;
};
#endif

// The template id of the control that holds the focus widget.
int focusedId(CConfigDlg& dlg) {
    for (QWidget* w = QApplication::focusWidget(); w; w = w->parentWidget()) {
        const QVariant id = w->property("ctrlId");
        if (id.isValid())
            return id.toInt();
        if (w == &dlg)
            break;
    }
    return 0;
}

QString accessibleText(QObject* o, QAccessible::Text t = QAccessible::Name) {
    QAccessibleInterface* i = QAccessible::queryAccessibleInterface(o);
    return i ? i->text(t) : QStringLiteral("<none>");
}

// A style that puts icons on dialog buttons, as some desktop themes do.
class ButtonIconStyle : public QProxyStyle {
public:
    ButtonIconStyle() : QProxyStyle(QStringLiteral("fusion")) {}
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* ret) const override {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, ret);
    }
};

} // namespace

// A window of the dialog's (as the fleet window is) that refuses to close while told to.
class Refuser : public QWidget {
public:
    Refuser(QWidget* parent, const bool* refuse) : QWidget(parent, Qt::Window), m_refuse(refuse) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        if (*m_refuse)
            event->ignore();
        else
            event->accept();
    }

private:
    const bool* m_refuse;
};

class TestConfigDlgUi : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QCoreApplication::setApplicationName(QStringLiteral("VQX250_IPConfig")); }

    void controlsFollowTheTemplate() {
        Harness h;
        CConfigDlg& dlg = *h.dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("VQX250_IPConfig"));
        QCOMPARE(dlg.size(), dlg.MapDialogRect(0, 0, 167, 231).size());
        QCOMPARE(int(dlg.Controls().size()), int(std::size(kControls)));
        int place = 0;
        for (const Expected& e : kControls) {
            QWidget* w = dlg.Controls()[static_cast<std::size_t>(place++)];
            QVERIFY2(w->inherits(e.kind), e.kind);
            QCOMPARE(w->property("ctrlId").toInt(), e.id);
            if (e.id >= 0) {
                QCOMPARE(w->objectName(), QStringLiteral("IDC_%1").arg(e.id));
                QCOMPARE(dlg.GetDlgItem(e.id), w);
            } else {
                QCOMPARE(w->objectName(), QStringLiteral("IDC_STATIC_%1").arg(place));
            }
            QString text;
            if (auto* b = qobject_cast<QAbstractButton*>(w))
                text = b->text();
            else if (auto* l = qobject_cast<QLabel*>(w))
                text = l->text();
            else if (auto* g = qobject_cast<QGroupBox*>(w))
                text = g->title();
            QCOMPARE(text, QString::fromUtf8(e.text));
            const QRect r = dlg.MapDialogRect(e.x, e.y, e.w, e.h);
            if (e.id == CConfigDlg::IDC_SLOT_COMBO) // the template height includes the list
                QCOMPARE(w->geometry().topLeft(), r.topLeft());
            else if (w->geometry() != r) // only widened, for a text wider than the template's
                QVERIFY(w->geometry().contains(r) && w->height() == r.height() &&
                        vqx::ui::textWidth(w, text) > r.width());
        }
        QCOMPARE(dlg.GetDlgItem(999), nullptr);
        QCOMPARE(h.combo()->count(), 6);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(h.combo()->itemText(i), QStringLiteral("Slot %1").arg(i + 1));
    }

    void dialogUnitsFollowTheFont() {
        Harness h;
        QFont big = h.dlg->font();
        big.setPointSize(big.pointSize() * 2);
        const QRect small = h.dlg->MapDialogRect(0, 0, 167, 231);
        h.dlg->setFont(big);
        const QRect large = h.dlg->MapDialogRect(0, 0, 167, 231);
        QVERIFY(large.width() > small.width() * 3 / 2);
        QVERIFY(large.height() > small.height() * 3 / 2);
    }

    void startState() {
        Harness h;
        h.dlg->show();
        h.dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.dlg.get()));
        QVERIFY(h.radio(1000)->isChecked());
        QVERIFY(!h.radio(1001)->isChecked());
        QVERIFY(h.item(1002)->isEnabled());
        QVERIFY(h.item(1003)->isEnabled());
        QVERIFY(!h.item(1014)->isEnabled());
        QVERIFY(h.settingsDisabled());
        for (int slot = 1; slot <= 6; ++slot)
            QCOMPARE(h.label(slot), QStringLiteral("---"));
        QCOMPARE(h.ip(1002)->text(), QStringLiteral("10.0.0.100"));
        QCOMPARE(h.ip(1002)->address(), CConfigDlg::kDefaultModuleAddress);
        for (int id : {1004, 1006, 1007})
            QVERIFY(h.ip(id)->IsBlank());
        QCOMPARE(h.combo()->GetCurSel(), -1);
        QVERIFY(h.combo()->currentText().isEmpty());
        QCOMPARE(focusedId(*h.dlg), 1002);
        QVERIFY(h.messages.isEmpty());
        QVERIFY(h.commands.isEmpty());
        QVERIFY(!h.dlg->IsConnectTimerActive());
        QVERIFY(!h.button(1003)->isDefault()); // neither button is drawn as the default one
        QVERIFY(!h.button(1005)->isDefault());
        // A window of its own (a task-bar entry), not a transient dialog.
        QCOMPARE(h.dlg->windowHandle()->type(), Qt::Window);
        QCOMPARE(h.dlg->windowHandle()->transientParent(), nullptr);
        const Qt::WindowFlags flags = h.dlg->windowHandle()->flags();
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    }

    void tabOrder() {
        Harness h;
        h.dlg->EnableSettings(true);
        h.item(1014)->setEnabled(true);
        h.dlg->show();
        h.dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.dlg.get()));
        QList<int> seen{focusedId(*h.dlg)};
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << focusedId(*h.dlg);
        }
        QCOMPARE(seen, (QList<int>{1002, 1003, 1004, 1005, 1006, 1007, 1014, 1002}));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(focusedId(*h.dlg), 1014);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(focusedId(*h.dlg), 1007);
    }

    void escapeEndsTheDialog() {
        Harness h;
        h.dlg->show();
        QTest::keyClick(h.ip(1002)->field(0), Qt::Key_Escape);
        QVERIFY(!h.dlg->isVisible());
        QCOMPARE(h.dlg->result(), int(QDialog::Rejected));
    }

    void enterOutsideButtonsEndsTheDialog() {
        Harness h;
        h.dlg->show();
        QTest::keyClick(h.ip(1002)->field(2), Qt::Key_Return);
        QVERIFY(!h.dlg->isVisible());
        QCOMPARE(h.dlg->result(), int(QDialog::Accepted));
    }

    void enterOnConnectPressesIt() {
        Harness h(nullptr, 60000);
        h.dlg->show();
        h.dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.dlg.get()));
        const std::uint32_t address = unusedLoopback(); // never a host on the network
        QVERIFY(address);
        h.dlg->SetConnectAddress(address);
        h.item(1003)->setFocus();
        QVERIFY(!h.button(1003)->isDefault()); // not even while it has the focus
        QTest::keyClick(h.item(1003), Qt::Key_Return);
        QVERIFY(h.dlg->isVisible());
        QCOMPARE(h.commands, QStringList{QStringLiteral("arp -d ") + vqx::formatAddress(address)});
        QVERIFY(h.dlg->IsConnectTimerActive());
    }

    void connectTimerDefaults() {
        Harness h(nullptr, 0); // the dialog's own timing
        QCOMPARE(h.dlg->timing().connectTimerMs, 1000);
        QCOMPARE(h.dlg->timing().arpPauseMs, 200);
        const std::uint32_t address = unusedLoopback();
        QVERIFY(address);
        h.dlg->SetConnectAddress(address);
        h.click(CConfigDlg::IDC_CONNECT);
        QCOMPARE(h.pauses, QList<int>{200});
        QVERIFY(h.dlg->IsConnectTimerActive());
        QCOMPARE(h.dlg->ConnectTimer()->interval(), 1000);
        QVERIFY(h.dlg->ConnectTimer()->isSingleShot());
    }

    void hubWithoutPermissionShowsUdevHint() {
        CConfigDlg dlg(std::make_unique<RefusingHubDriver>(true));
        dlg.show();
        QString text, detail;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            text = box->text();
            detail = box->informativeText();
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^HUB failure \\(code 3\\)")));
        QTest::mouseClick(dlg.GetDlgItem(CConfigDlg::IDC_USB), Qt::LeftButton);
        QCOMPARE(text, QStringLiteral("HUB failure."));
        QCOMPARE(detail, QString::fromUtf8(vqx::usb::kUdevHint));
        QVERIFY(qobject_cast<QRadioButton*>(dlg.GetDlgItem(CConfigDlg::IDC_ETHERNET))->isChecked());
    }

#if defined(Q_OS_UNIX) || defined(Q_OS_WIN)
    void launchHiddenRunsTheToolDirectly_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("arguments"); // one a line, as the tool received them
        QTest::newRow("arp -d") << QStringLiteral("arp -d 127.0.0.5")
                                << QByteArray("-d\n127.0.0.5\n");
#ifdef Q_OS_WIN
        QTest::newRow("no shell") << QStringLiteral("arp -d 127.0.0.5&echo %PATH%")
                                  << QByteArray("-d\n127.0.0.5&echo\n%PATH%\n");
#else
        QTest::newRow("no shell") << QStringLiteral("arp -d 127.0.0.5;echo $HOME")
                                  << QByteArray("-d\n127.0.0.5;echo\n$HOME\n");
#endif
    }
    void launchHiddenRunsTheToolDirectly() {
        QFETCH(QString, command);
        QFETCH(QByteArray, arguments);
        QTemporaryDir tools;
        QVERIFY(tools.isValid());
        QVERIFY(writeFakeArp(tools.path()));
        const PathGuard path(tools.path());
        CConfigDlg::LaunchHidden(command);
        // The tool writes its arguments only once it sees "go": had the call waited for the
        // tool, the tool would have given up by now.
        QVERIFY(touch(tools.filePath(QStringLiteral("go"))));
        QTRY_COMPARE_WITH_TIMEOUT(readAll(tools.filePath(QStringLiteral("args"))), arguments,
                                  20000);
#ifdef Q_OS_WIN
        // Started by this program itself (no cmd.exe between), without a console window, and
        // told to keep any window hidden.
        const QByteArray self =
            QFileInfo(QCoreApplication::applicationFilePath()).fileName().toLower().toUtf8();
        QCOMPARE(readAll(tools.filePath(QStringLiteral("report"))),
                 "console=0\nshow=0\nparent=" + self + "\n");
#elif defined(Q_OS_LINUX)
        // In a session of its own (a Ctrl-C at this program's terminal is not its business),
        // and reaped once it has ended: no zombie is left behind.
        const QByteArray session = readAll(tools.filePath(QStringLiteral("session"))).trimmed();
        QVERIFY(!session.isEmpty());
        QVERIFY(session != QByteArray::number(::getsid(0)));
        QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(), 0, 20000);
#endif
    }

    void launchHiddenLooksInFallbackDirs() {
        QTemporaryDir empty, tools;
        QVERIFY(empty.isValid() && tools.isValid());
        QVERIFY(writeFakeArp(tools.path()));
        QVERIFY(touch(tools.filePath(QStringLiteral("go"))));
        const PathGuard path(empty.path());
        CConfigDlg::LaunchHidden(QStringLiteral("arp -d 127.0.0.6"), {}); // found nowhere
        CConfigDlg::LaunchHidden(QStringLiteral("nosuchtool -d 127.0.0.6"), {tools.path()});
        CConfigDlg::LaunchHidden(QStringLiteral("arp -d 127.0.0.7"), {tools.path()});
        QTRY_COMPARE_WITH_TIMEOUT(readAll(tools.filePath(QStringLiteral("args"))),
                                  QByteArray("-d\n127.0.0.7\n"), 20000);
        CConfigDlg::LaunchHidden(QString(), {tools.path()}); // an empty line starts nothing
    }
#endif

#ifdef Q_OS_WIN
    // The real default backend without FTD2XX.dll on the DLL search: "No device", with the
    // reason and what to install under it.
    void missingFtd2xxDllIsExplained() {
        CConfigDlg dlg;
        if (dlg.Hub().Driver())
            QSKIP("an FTD2XX.dll is installed on this machine");
        QString text, detail;
        dlg.SetMessageBoxHook([&](const QString& t, const QString&, const QString& d) {
            text = t;
            detail = d;
        });
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral(
                                 "^No device: The FTDI D2XX library \\(FTD2XX\\.dll\\)")));
        dlg.OnUsb();
        QCOMPARE(text, QStringLiteral("No device"));
        QVERIFY2(detail.startsWith(
                     QStringLiteral("The FTDI D2XX library (FTD2XX.dll) could not be loaded")),
                 qPrintable(detail));
        QVERIFY2(detail.contains(QStringLiteral("Install the FTDI D2XX driver")),
                 qPrintable(detail));
        QVERIFY(qobject_cast<QRadioButton*>(dlg.GetDlgItem(CConfigDlg::IDC_ETHERNET))->isChecked());
    }
#endif

    void messageBoxIsPlainWithOkOnly() {
        QApplication::setStyle(new ButtonIconStyle);
        const auto restoreStyle =
            qScopeGuard([] { QApplication::setStyle(QStringLiteral("fusion")); });
        CConfigDlg dlg(std::make_unique<vqx::sim::SimHubDriver>(
            std::vector<std::shared_ptr<vqx::sim::SimHub>>{}));
        dlg.show();
        QString title, text;
        int buttons = -1;
        QMessageBox::Icon icon = QMessageBox::Warning;
        QWidget* parent = nullptr;
        bool okWithoutIcon = false;
        QString described;
#ifdef Q_OS_WIN
        QString nativeTitle;
        HWND owner = nullptr;
#endif
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
#ifdef Q_OS_WIN
            if (QGuiApplication::platformName() == QLatin1String("windows")) {
                // The box as Windows sees it: its caption and its owner window.
                const auto hwnd = reinterpret_cast<HWND>(box->winId());
                wchar_t caption[128] = {};
                GetWindowTextW(hwnd, caption, 128);
                nativeTitle = QString::fromWCharArray(caption);
                owner = GetWindow(hwnd, GW_OWNER);
            }
#endif
            title = box->windowTitle();
            text = box->text();
            buttons = int(box->standardButtons());
            icon = box->icon();
            parent = box->parentWidget();
            okWithoutIcon = box->button(QMessageBox::Ok)->icon().isNull();
            described = accessibleText(box, QAccessible::Description);
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        QTest::mouseClick(dlg.GetDlgItem(CConfigDlg::IDC_USB), Qt::LeftButton); // no hub
        QCOMPARE(text, QStringLiteral("No device."));
        QCOMPARE(title, QStringLiteral("VQX250_IPConfig"));
        QCOMPARE(buttons, int(QMessageBox::Ok));
        QCOMPARE(icon, QMessageBox::NoIcon);
        QVERIFY(okWithoutIcon); // no icon on its button either, whatever the theme
        QCOMPARE(described, QStringLiteral("No device.")); // read out by screen readers
        QCOMPARE(parent, &dlg);
#ifdef Q_OS_WIN
        if (QGuiApplication::platformName() == QLatin1String("windows")) {
            QCOMPARE(nativeTitle, QStringLiteral("VQX250_IPConfig"));
            QCOMPARE(owner, reinterpret_cast<HWND>(dlg.winId()));
        }
#endif
        // Back in Ethernet mode once the box was dismissed.
        QVERIFY(qobject_cast<QRadioButton*>(dlg.GetDlgItem(CConfigDlg::IDC_ETHERNET))->isChecked());
    }

    void textsFitTheirControls_data() {
        QTest::addColumn<int>("pointSize");
        for (int pt : {8, 9, 10, 11, 12})
            QTest::addRow("%d pt", pt) << pt;
    }
    void textsFitTheirControls() {
        QFETCH(int, pointSize);
        const QFont old = QApplication::font();
        QFont font = old;
        font.setPointSize(pointSize);
        QApplication::setFont(font);
        const auto restore = qScopeGuard([&] { QApplication::setFont(old); });
        auto hub = std::make_shared<vqx::sim::SimHub>();
        hub->setSlotTypeWord(0x00111111); // the longest type name in every slot
        Harness h(std::make_unique<vqx::sim::SimHubDriver>(hub));
        h.click(CConfigDlg::IDC_USB);
        QCOMPARE(h.label(6), QStringLiteral("Slot 6: Oscilloscope"));
        CAboutBox about(h.dlg.get());
        QList<QWidget*> all(h.dlg->Controls().begin(), h.dlg->Controls().end());
        all += about.findChildren<QWidget*>();
        for (QWidget* w : all) {
            int need = 0; // radio buttons with their indicator
            if (auto* l = qobject_cast<QLabel*>(w); l && l->pixmap().isNull())
                need = vqx::ui::textWidth(l, l->text());
            else if (auto* g = qobject_cast<QGroupBox*>(w))
                need = g->fontMetrics().horizontalAdvance(g->title());
            else if (auto* b = qobject_cast<QAbstractButton*>(w))
                need = qobject_cast<QRadioButton*>(b)
                           ? b->sizeHint().width()
                           : b->fontMetrics().horizontalAdvance(b->text());
            QVERIFY2(need <= w->width(), qPrintable(w->objectName()));
            QVERIFY(w->parentWidget()->rect().contains(w->geometry()));
            if (qobject_cast<QLabel*>(w)) // a widened label covers no other control
                for (QWidget* other : all)
                    QVERIFY2(other == w || qobject_cast<QGroupBox*>(other) ||
                                 other->parentWidget() != w->parentWidget() ||
                                 !w->geometry().intersects(other->geometry()),
                             qPrintable(w->objectName() + other->objectName()));
        }
    }

    void accessibleNames() {
        Harness h;
        const std::pair<int, const char*> controls[] = {
            {1002, "Module address"}, {1004, "IP"}, {1006, "Mask"}, {1007, "Gate"}};
        for (const auto& [id, name] : controls) {
            QCOMPARE(accessibleText(h.ip(id)), QLatin1String(name));
            for (int k = 0; k < 4; ++k)
                QCOMPARE(accessibleText(h.ip(id)->field(k)),
                         QStringLiteral("%1, octet %2").arg(QLatin1String(name)).arg(k + 1));
        }
        QCOMPARE(accessibleText(h.combo()), QStringLiteral("Slot"));
        for (int slot = 1; slot <= 6; ++slot) // while they show "---"
            QCOMPARE(accessibleText(h.item(1007 + slot)), QStringLiteral("Slot %1").arg(slot));
    }

    void groupBoxFrameRunsThroughTitle() {
        Harness h;
        const QImage shot = h.dlg->grab().toImage();
        const QRgb background = h.dlg->palette().color(QPalette::Window).rgb();
        for (QWidget* w : h.dlg->Controls()) {
            auto* box = qobject_cast<QGroupBox*>(w);
            if (!box)
                continue;
            // The top frame line (right of any title) lies half a text line down.
            const QRect r = box->geometry();
            const int x = r.left() + r.width() * 3 / 4;
            int line = 0;
            while (line < r.height() && shot.pixel(x, r.top() + line) == background)
                ++line;
            QVERIFY2(qAbs(line - box->fontMetrics().height() / 2) <= 1,
                     qPrintable(box->objectName()));
        }
    }

    void noControlSignalReachesTheLinksDuringDestruction() {
        // A child torn down ahead of the controls clicks "Set" and "Connect", as a control's
        // signal sent while the base class deletes the children would.
        struct Clicker : QWidget {
            using QWidget::QWidget;
            QList<QAbstractButton*> buttons;
            ~Clicker() override {
                for (QAbstractButton* b : buttons)
                    b->click();
            }
        };
        Harness h;
        h.dlg->EnableSettings(true);
        auto* clicker = new Clicker(h.dlg.get());
        clicker->buttons = {h.button(1005), h.button(1003)};
        clicker->lower(); // first among the children: deleted before the controls
        h.dlg.reset();
        QVERIFY(h.messages.isEmpty() && h.commands.isEmpty()); // no write, no connect
    }

    void sysCommandsOfTheAboutEntry_data() {
        QTest::addColumn<unsigned>("command");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<bool>("opensFleet");
        QTest::newRow("0x10") << 0x10u << true << false;
        QTest::newRow("0x11") << 0x11u << true << false;
        QTest::newRow("0x1F") << 0x1Fu << true << false;
        QTest::newRow("0x20 (the fleet entry)") << 0x20u << false << true;
        QTest::newRow("0x0F") << 0x0Fu << false << false;
        QTest::newRow("0x30") << 0x30u << false << false;
        QTest::newRow("SC_CLOSE") << 0xF060u << false << false;
    }
    void sysCommandsOfTheAboutEntry() {
        QFETCH(unsigned, command);
        QFETCH(bool, opens);
        QFETCH(bool, opensFleet);
        Harness h;
        int runs = 0;
        int fleetRuns = 0;
        h.dlg->SetAboutBoxRunner([&](QWidget* parent) {
            QCOMPARE(parent, h.dlg.get());
            ++runs;
        });
        h.dlg->SetFleetWindowRunner([&](QWidget* parent) {
            QCOMPARE(parent, h.dlg.get());
            ++fleetRuns;
        });
        QCOMPARE(h.dlg->OnSysCommand(command), opens || opensFleet);
        QCOMPARE(runs, opens ? 1 : 0);
        QCOMPARE(fleetRuns, opensFleet ? 1 : 0);
    }

    // The fleet entry sits below the about entry; a window it opened closes with the dialog,
    // unless that window refuses (the dialog then stays).
    void fleetEntryAndItsWindow() {
        Harness h;
        QMenu* menu = h.dlg->SystemMenu();
        const QList<QAction*> actions = menu->actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions.at(1)->data().toUInt(), unsigned(CConfigDlg::IDM_ABOUTBOX));
        QCOMPARE(actions.at(2)->data().toUInt(), unsigned(CConfigDlg::IDM_FLEET));
        QCOMPARE(actions.at(2)->text(), QStringLiteral("&Many modules..."));
        bool refuse = true;
        QWidget* window = nullptr;
        h.dlg->SetFleetWindowRunner([&](QWidget* parent) {
            window = new Refuser(parent, &refuse);
            window->show();
        });
        actions.at(2)->trigger();
        QVERIFY(window && window->isVisible());
        h.dlg->show();
        h.dlg->reject();
        QVERIFY(h.dlg->isVisible()); // the window refused to close
        refuse = false;
        h.dlg->reject();
        QVERIFY(!h.dlg->isVisible());
        QVERIFY(!window->isVisible());
    }

    void aboutEntryOpensTheAboutBox() {
        Harness h;
        h.dlg->show();
        h.dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.dlg.get()));
        QStringList seen;
        bool modal = false;
        h.dlg->SetAboutBoxRunner([&](QWidget* parent) {
            CAboutBox about(parent);
            QTimer::singleShot(0, this, [&] {
                auto* box = qobject_cast<CAboutBox*>(QApplication::activeModalWidget());
                QVERIFY(box);
                modal = box->isModal();
                seen << box->windowTitle();
                for (const char* name : {"aboutDescription", "aboutYear"})
                    seen << box->findChild<QLabel*>(QLatin1String(name))->text();
                QVERIFY(!box->findChild<QLabel*>(QStringLiteral("aboutIcon"))->pixmap().isNull());
                auto* ok = box->findChild<QPushButton*>(QStringLiteral("IDOK"));
                QCOMPARE(ok->text(), QStringLiteral("OK"));
                QVERIFY(ok->isDefault());
                QTest::mouseClick(ok, Qt::LeftButton);
            });
            about.exec();
        });
        // The entry is in the dialog's context menu: open it and pick the entry.
        QMenu* menu = h.dlg->SystemMenu();
        QAction* entry = nullptr;
        for (QAction* a : menu->actions())
            if (a->data().toUInt() == CConfigDlg::IDM_ABOUTBOX)
                entry = a;
        QVERIFY(entry);
        QCOMPARE(entry->text(), QStringLiteral("&О VQX250_IPConfig..."));
        QVERIFY(menu->actions().first()->isSeparator());
#ifdef Q_OS_WIN
        // There the entry sits in the window's system menu (nativeSystemMenu); its command
        // reaches the dialog as WM_SYSCOMMAND.
        QVERIFY(h.dlg->OnSysCommand(CConfigDlg::IDM_ABOUTBOX));
#else
        QTimer::singleShot(0, this, [&] {
            auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(popup);
            QTest::mouseClick(popup, Qt::LeftButton, {}, popup->actionGeometry(entry).center());
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20),
                                h.dlg->mapToGlobal(QPoint(20, 20)));
        QApplication::sendEvent(h.dlg.get(), &event);
#endif
        QCOMPARE(seen, (QStringList{QStringLiteral("О программе VQX250_IPConfig"),
                                    QStringLiteral("Конфигуратор параметров Ethernet"),
                                    CAboutBox::YearLine()}));
        QVERIFY(modal);
        QVERIFY(
            CAboutBox::YearLine().contains(QRegularExpression(QStringLiteral("\\b20\\d\\d\\b"))));
        QVERIFY(h.dlg->isVisible());
    }

#ifdef Q_OS_WIN
    // The about entry in the window's real system menu, and system commands as Windows
    // delivers them (under the Windows platform plugin: the test tst_ui_configdlg_windows).
    void nativeSystemMenu_data() {
        QTest::addColumn<unsigned>("command");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<bool>("minimises");
        QTest::newRow("0x10") << 0x10u << true << false;
        QTest::newRow("0x13") << 0x13u << true << false;
        QTest::newRow("0x1F") << 0x1Fu << true << false;
        QTest::newRow("0x0F") << 0x0Fu << false << false;
        QTest::newRow("SC_MINIMIZE") << unsigned(SC_MINIMIZE) << false << true;
    }
    void nativeSystemMenu() {
        if (QGuiApplication::platformName() != QLatin1String("windows"))
            QSKIP("needs the Windows platform plugin (tst_ui_configdlg_windows)");
        QFETCH(unsigned, command);
        QFETCH(bool, opens);
        QFETCH(bool, minimises);
        Harness h;
        h.dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(h.dlg.get()));
        const auto hwnd = reinterpret_cast<HWND>(h.dlg->winId());
        const HMENU menu = GetSystemMenu(hwnd, FALSE);
        QVERIFY(menu);
        const int n = GetMenuItemCount(menu);
        QVERIFY(n >= 3);
        QCOMPARE(GetMenuItemID(menu, n - 2), UINT(CConfigDlg::IDM_ABOUTBOX));
        wchar_t text[64] = {};
        QVERIFY(GetMenuStringW(menu, UINT(n - 2), text, 64, MF_BYPOSITION) > 0);
        QCOMPARE(QString::fromWCharArray(text), QStringLiteral("&О VQX250_IPConfig..."));
        QVERIFY(GetMenuState(menu, UINT(n - 3), MF_BYPOSITION) & MF_SEPARATOR);
        QCOMPARE(GetMenuItemID(menu, n - 1), UINT(CConfigDlg::IDM_FLEET));
        QVERIFY(GetMenuStringW(menu, UINT(n - 1), text, 64, MF_BYPOSITION) > 0);
        QCOMPARE(QString::fromWCharArray(text), QStringLiteral("&Many modules..."));

        int runs = 0;
        h.dlg->SetAboutBoxRunner([&](QWidget* parent) {
            QCOMPARE(parent, h.dlg.get());
            ++runs;
        });
        SendMessageW(hwnd, WM_SYSCOMMAND, WPARAM(command), 0);
        QCOMPARE(runs, opens ? 1 : 0);
        QCOMPARE(IsIconic(hwnd) != FALSE, minimises); // other commands keep their default
    }
#endif

    // The dialog and its controls, and the about box, use the 8-point "MS Sans Serif" of
    // their templates on Windows; elsewhere the platform's own dialog font.
    void dialogFont() {
        Harness h;
        CAboutBox about;
#ifdef Q_OS_WIN
        QList<QWidget*> widgets{h.dlg.get(), &about};
        for (QWidget* w : h.dlg->Controls())
            widgets << w;
        for (QWidget* w : widgets) {
            QCOMPARE(w->font().family(), QStringLiteral("MS Sans Serif"));
            QCOMPARE(w->font().pointSize(), 8);
        }
        const QStringList installed = QFontDatabase::families();
        if (QGuiApplication::platformName() == QLatin1String("windows") &&
            (installed.contains(QStringLiteral("MS Sans Serif")) ||
             installed.contains(QStringLiteral("Microsoft Sans Serif")))) {
            // The font the system gives for it (GDI substitutes the TrueType "Microsoft Sans
            // Serif" where the bitmap font is missing), and dialog units measured with it.
            const QString used = QFontInfo(h.dlg->font()).family();
            QVERIFY2(used == QLatin1String("MS Sans Serif") ||
                         used == QLatin1String("Microsoft Sans Serif"),
                     qPrintable(used));
            const QRect r =
                h.dlg->MapDialogRect(0, 0, CConfigDlg::kWidthDlu, CConfigDlg::kHeightDlu);
            QVERIFY2(r.width() > 200 && r.width() < 400, qPrintable(QString::number(r.width())));
        }
#else
        QCOMPARE(h.dlg->font(), QApplication::font(h.dlg.get()));
        QCOMPARE(about.font(), QApplication::font(&about));
#endif
    }

    void appIconIsSet() {
        Harness h;
        QVERIFY(!h.dlg->AppIcon().isNull());
        QVERIFY(h.dlg->AppIcon().availableSizes().contains(QSize(32, 32)));
        QVERIFY(h.dlg->AppIcon().availableSizes().contains(QSize(16, 16)));
        QVERIFY(!h.dlg->windowIcon().isNull());
    }
};

QTEST_MAIN(TestConfigDlgUi)
#include "tst_configdlg_ui.moc"
