#include "CConfigDlg.h"

// The dialog's shell: construction, the about entry and the system menu, the one message
// box, and the keys that end the dialog. The template, the busy guard and the workflows have
// files of their own (DialogTemplate.cpp, DialogGuard.cpp, DialogWorkflows.cpp).

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "CIPAddressCtrl.h"
#include "WindowsApi.h"

static void initUiResources() {
    Q_INIT_RESOURCE(vqx250_ipconfig);
}

const QString CConfigDlg::kAboutEntryText = QStringLiteral("&О VQX250_IPConfig...");
const QString CConfigDlg::kFleetEntryText = QStringLiteral("&Many modules...");

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
    QAction* fleet = m_systemMenu->addAction(kFleetEntryText);
    fleet->setData(IDM_FLEET);
    connect(fleet, &QAction::triggered, this, [this] { OnSysCommand(IDM_FLEET); });
#ifdef Q_OS_WIN
    if (HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX,
                    reinterpret_cast<LPCWSTR>(kAboutEntryText.utf16()));
        AppendMenuW(menu, MF_STRING, IDM_FLEET, reinterpret_cast<LPCWSTR>(kFleetEntryText.utf16()));
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
    const unsigned command = id & 0xFFF0u;
    if (command != IDM_ABOUTBOX && command != IDM_FLEET)
        return false;
    // A modal box inside a running transfer would hold the transfer up: dropped then (and
    // the fleet window with it, for the same rule).
    if (IsBusy())
        return true;
    if (command == IDM_ABOUTBOX && m_aboutRunner)
        m_aboutRunner(this);
    if (command == IDM_FLEET && m_fleetRunner)
        m_fleetRunner(this);
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
