#include "CConfigDlg.h"

#include <array>

#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <qdrawutil.h>

#include "ArpCache.h"
#include "CIPAddressCtrl.h"
#include "CSlotCombo.h"
#include "DialogUnits.h"
#include "HubSession.h"
#include "ModuleTypes.h"
#include "NetworkRecord.h"
#include "RecordTransfer.h"
#include "Validation.h"

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef MessageBox
#endif

static void initUiResources() {
    Q_INIT_RESOURCE(vqx250_ipconfig);
}

namespace {

enum class Kind { Group, Radio, IpAddress, Button, Static, Combo };

struct TemplateControl {
    int id; // -1: no id of its own
    Kind kind;
    const char* text;
    int x, y, w, h;
};

// Dialog template 102, in template order (which is also the tab order).
constexpr std::array<TemplateControl, 22> kTemplate{{
    {-1, Kind::Group, "", 6, 3, 154, 221},
    {1000, Kind::Radio, "Ethernet", 19, 16, 43, 10},
    {1001, Kind::Radio, "USB", 19, 87, 31, 10},
    {1002, Kind::IpAddress, "IPAddress1", 30, 30, 100, 11},
    {1003, Kind::Button, "Connect", 30, 45, 50, 12},
    {-1, Kind::Group, "", 12, 9, 142, 70},
    {-1, Kind::Group, "", 12, 80, 142, 70},
    {-1, Kind::Group, "EEPROM", 12, 151, 142, 67},
    {1004, Kind::IpAddress, "IPAddress1", 41, 164, 100, 11},
    {1005, Kind::Button, "Set", 41, 202, 50, 12},
    {-1, Kind::Static, "IP:", 30, 165, 10, 8},
    {1006, Kind::IpAddress, "IPAddress1", 41, 176, 100, 11},
    {1007, Kind::IpAddress, "IPAddress1", 41, 188, 100, 11},
    {-1, Kind::Static, "Mask:", 20, 178, 20, 8},
    {-1, Kind::Static, "Gate:", 22, 189, 18, 8},
    {1008, Kind::Static, "---", 72, 88, 75, 8},
    {1009, Kind::Static, "---", 72, 98, 75, 8},
    {1010, Kind::Static, "---", 72, 108, 75, 8},
    {1011, Kind::Static, "---", 72, 118, 75, 8},
    {1012, Kind::Static, "---", 72, 128, 75, 8},
    {1013, Kind::Static, "---", 72, 138, 75, 8},
    {1014, Kind::Combo, "", 18, 103, 48, 115},
}};

using vqx::usb::kSlotCount;

QString errorText(int code) {
    return QStringLiteral("Error. Code = %1").arg(code);
}

QString chooseSlotText() {
    return QStringLiteral("Choose a slot first.");
}

// A group box drawn as the dialog template draws one: an etched frame whose top line runs
// through the middle of the title (also when there is no title), the title on a cleared
// stretch of that line. Styles such as Fusion put the title above the frame instead.
class TemplateGroupBox final : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QFontMetrics fm = fontMetrics();
        const int line = fm.height() / 2;
        qDrawShadeRect(&p, QRect(0, line, width(), height() - line), palette(), true, 1, 0);
        if (title().isEmpty())
            return;
        const int gap = std::max(fm.averageCharWidth() / 3, 2);
        const QRect text(fm.averageCharWidth(), 0, fm.horizontalAdvance(title()) + 2 * gap,
                         fm.height());
        p.fillRect(text, palette().window());
        style()->drawItemText(&p, text, Qt::AlignCenter, palette(), isEnabled(), title(),
                              QPalette::WindowText);
    }
};

// Input a blocked thread may have queued for a window.
bool isInputEvent(const QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
        return true;
    default:
        return false;
    }
}

bool isClosingKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease &&
        event->type() != QEvent::ShortcutOverride)
        return false;
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter;
}

} // namespace

const QString CConfigDlg::kAboutEntryText = QStringLiteral("&О VQX250_IPConfig...");

// An operation on a device, or another stretch that blocks the thread (device = false):
// marks the dialog busy for its duration.
class CConfigDlg::Operation {
public:
    explicit Operation(CConfigDlg& dlg, bool device = true) : m_dlg(dlg), m_device(device) {
        m_dlg.BeginOperation();
    }
    ~Operation() { m_dlg.EndOperation(m_device); }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

private:
    CConfigDlg& m_dlg;
    bool m_device;
};

CConfigDlg::CConfigDlg(std::unique_ptr<vqx::usb::D2xxDriver> driver, QWidget* parent)
    : CConfigDlg(std::move(driver), nullptr, parent) {}

CConfigDlg::CConfigDlg(std::unique_ptr<vqx::usb::D2xxDriver> driver,
                       std::unique_ptr<CModuleSocket> socket, QWidget* parent)
    : QDialog(parent), m_socket(socket ? std::move(socket) : std::make_unique<CModuleSocket>()),
      m_hub(std::move(driver)) {
    initUiResources();
    m_appIcon.addFile(QStringLiteral(":/vqx/icons/vqx250-ipconfig-16.png"), QSize(16, 16));
    m_appIcon.addFile(QStringLiteral(":/vqx/icons/vqx250-ipconfig-32.png"), QSize(32, 32));
    m_appIcon.addFile(QStringLiteral(":/vqx/icons/vqx250-ipconfig.svg"));

    setWindowTitle(QStringLiteral("VQX250_IPConfig"));
    // Caption, system menu, minimise box; no maximise box, no sizing border. An application
    // window rather than a dialog: a parentless dialog is transient for the application (on
    // X11 WM_TRANSIENT_FOR the client leader), which task bars leave out.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
#ifdef Q_OS_WIN
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
#endif
    m_connectTimer = new QTimer(this);
    m_connectTimer->setSingleShot(true);
    connect(m_connectTimer, &QTimer::timeout, this, &CConfigDlg::OnTimer);
    m_socket->SetReceiveErrorHandler(
        [this](const QString& text, const QString& title) { MessageBox(text, title); });

    CreateControls();
    OnInitDialog();
}

CConfigDlg::~CConfigDlg() {
    m_connectTimer->stop();
    // The members go before the base class deletes the controls: nothing a control sends
    // while it is torn down (a click, a focus change) may reach a handler.
    for (QObject* child : findChildren<QObject*>()) {
        child->disconnect(this);
        child->removeEventFilter(this);
    }
}

QRect CConfigDlg::MapDialogRect(int x, int y, int w, int h) const {
    return vqx::ui::mapDialogRect(font(), x, y, w, h);
}

void CConfigDlg::CreateControls() {
    int place = 0;
    for (const TemplateControl& t : kTemplate) {
        ++place;
        const QString text = QString::fromUtf8(t.text);
        QWidget* w = nullptr;
        switch (t.kind) {
        case Kind::Group: {
            auto* box = new TemplateGroupBox(text, this);
            // Group boxes only frame: clicks go to the controls they frame.
            box->setAttribute(Qt::WA_TransparentForMouseEvents);
            box->setFocusPolicy(Qt::NoFocus);
            w = box;
            break;
        }
        case Kind::Radio: {
            auto* radio = new QRadioButton(text, this);
            radio->setFocusPolicy(Qt::ClickFocus); // not a tab stop
            radio->installEventFilter(this);
            (t.id == IDC_ETHERNET ? m_ethernetRadio : m_usbRadio) = radio;
            w = radio;
            break;
        }
        case Kind::IpAddress: {
            auto* ip = new CIPAddressCtrl(this);
            switch (t.id) {
            case IDC_CONNECT_ADDRESS:
                m_connectAddress = ip;
                break;
            case IDC_IP:
                m_ipAddress = ip;
                break;
            case IDC_MASK:
                m_maskAddress = ip;
                break;
            default:
                m_gateAddress = ip;
                break;
            }
            w = ip;
            break;
        }
        case Kind::Button: {
            auto* button = new QPushButton(text, this);
            // No default button, and none drawn as one: keyPressEvent lets Enter press the
            // button that has the focus.
            button->setAutoDefault(false);
            button->setDefault(false);
            button->setFocusPolicy(Qt::StrongFocus);
            button->installEventFilter(this);
            (t.id == IDC_CONNECT ? m_connectButton : m_setButton) = button;
            w = button;
            break;
        }
        case Kind::Static: {
            auto* label = new QLabel(text, this);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            if (t.id >= IDC_SLOT1)
                m_slotLabels.push_back(label);
            w = label;
            break;
        }
        case Kind::Combo: {
            m_slotCombo = new CSlotCombo(this);
            for (int i = 1; i <= kSlotCount; ++i)
                m_slotCombo->addItem(QStringLiteral("Slot %1").arg(i));
            m_slotCombo->SetCurSel(-1);
            m_slotCombo->setFocusPolicy(Qt::StrongFocus);
            m_slotCombo->installEventFilter(this);
            m_slotCombo->lineEdit()->installEventFilter(this);
            w = m_slotCombo;
            break;
        }
        }
        w->setObjectName(t.id >= 0 ? QStringLiteral("IDC_%1").arg(t.id)
                                   : QStringLiteral("IDC_STATIC_%1").arg(place));
        w->setProperty("ctrlId", t.id);
        QRect r = MapDialogRect(t.x, t.y, t.w, t.h);
        if (t.kind == Kind::Combo)
            r.setHeight(m_slotCombo->sizeHint().height()); // 115 units include the list
        w->setGeometry(r);
        m_controls.push_back(w);
    }
    // Texts wider than the template's controls widen them (see the class comment). A slot
    // label is made wide enough for any module type name.
    using vqx::ui::growToText;
    using vqx::ui::textWidth;
    for (QWidget* w : m_controls) {
        const int id = w->property("ctrlId").toInt();
        if (qobject_cast<QRadioButton*>(w)) {
            growToText(w, textWidth(w, QString()));
        } else if (auto* label = qobject_cast<QLabel*>(w); label && id < IDC_SLOT1) {
            growToText(w, textWidth(w, label->text()), true); // the field labels
        } else if (label) {
            int width = 0;
            for (int code = 0; code < 16; ++code)
                width = std::max(width,
                                 textWidth(w, QStringLiteral("Slot %1: ").arg(id - 1007) +
                                                  ModuleTypeName(static_cast<std::uint8_t>(code))));
            growToText(w, width);
        }
    }
    m_connectAddress->SetAccessibleNames(QStringLiteral("Module address"));
    m_ipAddress->SetAccessibleNames(QStringLiteral("IP"));
    m_maskAddress->SetAccessibleNames(QStringLiteral("Mask"));
    m_gateAddress->SetAccessibleNames(QStringLiteral("Gate"));
    m_slotCombo->setAccessibleName(QStringLiteral("Slot"));
    for (std::size_t i = 0; i < m_slotLabels.size(); ++i) // until the hub has been read
        m_slotLabels[i]->setAccessibleName(QStringLiteral("Slot %1").arg(i + 1));
    // Group boxes are drawn beneath the controls they frame.
    for (QWidget* w : m_controls)
        if (qobject_cast<QGroupBox*>(w))
            w->lower();
    setFixedSize(MapDialogRect(0, 0, kWidthDlu, kHeightDlu).size());

    connect(m_ethernetRadio, &QRadioButton::clicked, this, [this] {
        if (IsBusy()) {
            (m_usbCheckedAtStart ? m_usbRadio : m_ethernetRadio)->setChecked(true);
            return;
        }
        OnEthernet();
    });
    connect(m_usbRadio, &QRadioButton::clicked, this, [this] {
        if (IsBusy()) {
            (m_usbCheckedAtStart ? m_usbRadio : m_ethernetRadio)->setChecked(true);
            return;
        }
        OnUsb();
    });
    connect(m_connectButton, &QPushButton::clicked, this, [this] {
        if (!IsBusy())
            OnConnectButton();
    });
    connect(m_setButton, &QPushButton::clicked, this, [this] {
        if (!IsBusy())
            OnSet();
    });
    connect(m_slotCombo, &CSlotCombo::editChange, this, &CConfigDlg::OnSlotEditChange);
    connect(m_slotCombo, &CSlotCombo::selEndOk, this, [this] {
        if (!IsBusy())
            OnSlotSelected();
    });
}

void CConfigDlg::OnInitDialog() {
    AppendAboutEntry();
    setWindowIcon(m_appIcon);
    SelectInterface(false);
    m_connectAddress->SetAddress(kDefaultModuleAddress);
    m_socket->SetOwner(this);
    m_connectAddress->setFocus(Qt::OtherFocusReason);
}

void CConfigDlg::AppendAboutEntry() {
    m_systemMenu = new QMenu(this);
    m_systemMenu->setObjectName(QStringLiteral("systemMenu"));
    m_systemMenu->addSeparator();
    QAction* about = m_systemMenu->addAction(kAboutEntryText);
    about->setData(IDM_ABOUTBOX);
    connect(about, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
#ifdef Q_OS_WIN
    if (HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX,
                    reinterpret_cast<LPCWSTR>(kAboutEntryText.utf16()));
    }
#endif
}

#ifdef Q_OS_WIN
bool CConfigDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    auto* msg = static_cast<MSG*>(message);
    if (msg->message == WM_SYSCOMMAND &&
        OnSysCommand(static_cast<unsigned>(msg->wParam), static_cast<std::intptr_t>(msg->lParam))) {
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}
#endif

bool CConfigDlg::OnSysCommand(unsigned id, std::intptr_t param) {
    Q_UNUSED(param)
    if ((id & 0xFFF0u) != IDM_ABOUTBOX)
        return false;
    // A modal box inside a running transfer would hold the transfer up: dropped then.
    if (!IsBusy() && m_aboutRunner)
        m_aboutRunner(this);
    return true;
}

void CConfigDlg::contextMenuEvent(QContextMenuEvent* event) {
#ifdef Q_OS_WIN
    QDialog::contextMenuEvent(event); // the entry lives in the system menu there
#else
    if (IsBusy()) {
        // No menu inside a running transfer: its modal loop would hold the transfer up.
        event->accept();
        return;
    }
    m_systemMenu->exec(event->globalPos());
#endif
}

void CConfigDlg::paintEvent(QPaintEvent* event) {
    if (!isMinimized()) {
        QDialog::paintEvent(event);
        return;
    }
    // Where the platform draws a minimised window's client area: the icon, centred.
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    const int size = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    const int x = (width() - size + 1) / 2;
    const int y = (height() - size + 1) / 2;
    m_appIcon.paint(&p, QRect(x, y, size, size));
}

QWidget* CConfigDlg::GetDlgItem(int id) const {
    for (QWidget* w : m_controls)
        if (w->property("ctrlId").toInt() == id && id >= 0)
            return w;
    return nullptr;
}

void CConfigDlg::SetConnectAddress(std::uint32_t packed) {
    m_connectAddress->SetAddress(packed);
}

bool CConfigDlg::IsConnectTimerActive() const {
    return m_connectTimer->isActive();
}

void CConfigDlg::SetMessageBoxHook(MessageBoxHook hook) {
    if (!hook) {
        m_messageBoxHook = nullptr;
        return;
    }
    m_messageBoxHook = [hook = std::move(hook)](const QString& text, const QString& title,
                                                const QString& detail,
                                                QMessageBox::StandardButtons buttons) {
        hook(text, title, detail);
        return buttons.testFlag(QMessageBox::No) ? QMessageBox::No : QMessageBox::Ok;
    };
}

QMessageBox::StandardButton CConfigDlg::MessageBox(const QString& text, const QString& title,
                                                   const QString& detail,
                                                   QMessageBox::StandardButtons buttons) {
    const QString caption = title.isEmpty() ? QCoreApplication::applicationName() : title;
    if (m_messageBoxHook)
        return m_messageBoxHook(text, caption, detail, buttons);
    // The busy pointer of a running operation is not shown over the box.
    const bool busyCursor = m_busy > 0 && QApplication::overrideCursor();
    if (busyCursor)
        QApplication::restoreOverrideCursor();
    QMessageBox box(QMessageBox::NoIcon, caption, text, buttons, this);
    box.setTextFormat(Qt::PlainText);
    for (QAbstractButton* button : box.buttons())
        button->setIcon(QIcon()); // some themes put one on dialog buttons
    if (!detail.isEmpty())
        box.setInformativeText(detail); // shown as plain text: it holds no markup
    // What screen readers announce with the box.
    box.setAccessibleDescription(detail.isEmpty() ? text : text + QLatin1Char('\n') + detail);
    if (buttons.testFlag(QMessageBox::No))
        box.setDefaultButton(QMessageBox::No); // Enter does not write broken settings
    const int answer = box.exec();
    if (busyCursor)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    return buttons == QMessageBox::Ok ? QMessageBox::Ok
                                      : static_cast<QMessageBox::StandardButton>(answer);
}

void CConfigDlg::BeginOperation() {
    if (m_busy++ == 0) {
        m_usbCheckedAtStart = m_usbRadio->isChecked();
        QApplication::setOverrideCursor(Qt::BusyCursor);
    }
}

void CConfigDlg::EndOperation(bool deviceOperation) {
    if (m_busy > 1) {
        --m_busy;
        return;
    }
    DiscardQueuedInput(); // while still busy
    m_busy = 0;
    QApplication::restoreOverrideCursor();
    if (deviceOperation)
        emit operationFinished();
    if (m_closePending) {
        m_closePending = false;
        QDialog::done(m_pendingResult);
    }
}

void CConfigDlg::done(int result) {
    if (IsBusy()) {
        // Ending the dialog inside a transfer would leave the transfer without its window;
        // the dialog ends when the transfer has.
        m_closePending = true;
        m_pendingResult = result;
        return;
    }
    QDialog::done(result);
}

void CConfigDlg::DiscardQueuedInput() {
    // Input that arrived while the thread was blocked is dispatched now, while the dialog is
    // still busy, and dropped by the filter below instead of acting on what the screen
    // shows once the operation is over.
    m_discardingInput = true;
    qApp->installEventFilter(this);
    QCoreApplication::processEvents();
    qApp->removeEventFilter(this);
    m_discardingInput = false;
}

bool CConfigDlg::IsOwnObject(const QObject* object) const {
    for (const QObject* o = object; o; o = o->parent())
        if (o == this)
            return true;
    return object == windowHandle();
}

bool CConfigDlg::eventFilter(QObject* watched, QEvent* event) {
    if (m_discardingInput) // installed on the application while queued input is dispatched
        return isInputEvent(event) && !isClosingKey(event) && IsOwnObject(watched);
    if (!IsBusy())
        return QDialog::eventFilter(watched, event);
    // During a transfer the controls that start device operations take no input.
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
        return true;
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Escape || key == Qt::Key_Tab || key == Qt::Key_Backtab)
            break;
        return true;
    }
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

void CConfigDlg::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const auto mods = event->modifiers() & ~Qt::KeypadModifier;
    if (enter && mods == Qt::NoModifier) {
        // Enter on a push button presses it; anywhere else it ends the dialog, as the dialog
        // manager's OK command does.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            if (button->isEnabled())
                button->click();
            return;
        }
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

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
    using Rule = vqx::provision::Violation::Rule;
    const QString ip = vqx::formatAddress(s.ip);
    const QString mask = vqx::formatAddress(s.mask);
    const QString gateway = vqx::formatAddress(s.gateway);
    QStringList sentences;
    for (const auto& v : vqx::provision::checkSettings(s)) {
        switch (v.rule) {
        case Rule::MaskNotContiguous:
            sentences << tr("The mask %1 is not a valid subnet mask.").arg(mask);
            break;
        case Rule::IpZero:
            sentences << tr("The IP address 0.0.0.0 is not a host address.");
            break;
        case Rule::IpLoopback:
            sentences << tr("The IP address %1 is a loopback address.").arg(ip);
            break;
        case Rule::IpMulticast:
            sentences << tr("The IP address %1 is a multicast address.").arg(ip);
            break;
        case Rule::IpNetwork:
            sentences << tr("The IP address %1 is the network address of its subnet.").arg(ip);
            break;
        case Rule::IpBroadcast:
            sentences << tr("The IP address %1 is the broadcast address of its subnet.").arg(ip);
            break;
        case Rule::GatewayIsIp:
            sentences << tr("The gateway %1 is the module's own IP address.").arg(gateway);
            break;
        case Rule::GatewayOutside:
            sentences << tr("The gateway %1 is outside the subnet of %2 with the mask %3.")
                             .arg(gateway, ip, mask);
            break;
        case Rule::GatewayNetwork:
            sentences << tr("The gateway %1 is the network address of the subnet.").arg(gateway);
            break;
        case Rule::GatewayBroadcast:
            sentences << tr("The gateway %1 is the broadcast address of the subnet.").arg(gateway);
            break;
        }
    }
    return sentences.join(QLatin1Char(' '));
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
    const vqx::provision::Outcome o =
        usb ? vqx::provision::writeRecord(m_hub, slot, QString(), settings)
            : vqx::provision::writeRecord(*m_socket, QString(), settings);
    MessageBox(o.ok() ? QStringLiteral("Done") : errorText(o.deviceCode));
}
