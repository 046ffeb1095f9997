#pragma once
// The configurator's main dialog (template 102): Ethernet and USB access to a module, the
// "EEPROM" group with the module's network settings, and the workflows behind its buttons.
//
// Controls keep their template ids: each control's objectName is "IDC_<id>" (e.g. "IDC_1002"
// for the connect-address field); controls without an id are named "IDC_STATIC_<n>", n being
// their 1-based place in the template. GetDlgItem(id) finds a control by id.
//
// Decisions of this implementation:
//  - No overlapping device operations. While a transfer runs (the settings read after a
//    connect, a write, a slot read, the hub enumeration), clicks and keys on "Ethernet",
//    "USB", "Connect", "Set" and the slot selector are swallowed: the controls do not react
//    and the mouse pointer shows the busy cursor. Closing the dialog during a transfer
//    (Escape, Enter, the close box) takes effect when the transfer has ended.
//    A USB transfer, and the pause after the arp step, block the thread: input made meanwhile
//    waits in the queue. Before the dialog stops being busy it dispatches that input, so the
//    guard drops it: clicks and keys made against a frozen screen are never acted on
//    afterwards (only Escape and Enter, which end the dialog, are kept).
//    The about entry is not acted on either: while a transfer runs a right click (or the
//    menu key) opens no context menu, and the about command (from that menu or, on Windows,
//    from the system menu) opens no about box; the user sees nothing happen. A menu or box
//    held open inside an Ethernet transfer would hold the transfer up past its time limits.
//    A tick of the connect timer inside a transfer is put off by one period. That check in
//    OnTimer is defensive: the dialog's own controls cannot arm the timer during a transfer
//    ("Connect" is swallowed, "Set" is disabled while the timer runs, entering USB mode
//    stops it); only a direct call of the handler reaches it.
//  - Switching to USB ends a running connect cycle (the connect timer is stopped); the
//    Ethernet connection itself is left as it is. A click on "Ethernet" leaves the cycle alone.
//  - A slot index outside 0..5 (no slot chosen, or the selector's field edited since) never
//    reaches the hub: the slot read or write says "Choose a slot first." and touches nothing.
//  - After a failed version register read the compared word is zero (the buffer is
//    zero-initialised), so the link uses EEPROM controller variant 1.
//  - The default module address in the connect field is 10.0.0.100 (kDefaultModuleAddress).
//  - "Set" first runs the settings check shared with the command-line tool. Settings that
//    fail it (a mask that is not one run of 1 bits; an IP of 0.0.0.0, loopback, multicast,
//    or the subnet's network or broadcast address; a gateway outside the subnet) get one
//    question naming every problem, e.g. "The mask 0.0.0.0 is not a valid subnet mask.
//    Write anyway?", with Yes and No (No, the default, writes nothing). Settings that pass
//    are written as before, without a question.
//  - "Set" takes the module's write lock (vqx::provision::TargetLock), the one the
//    command-line tool's writers take, without waiting for it: while another writer holds
//    it one box names the holder ("... is busy: process 4711 (vqx250-ipconfig) of user
//    alice is writing it ...; nothing was written") and nothing is written; a lock file that
//    cannot be used is said the same way. The lock is let go before the result box opens.
//  - Without any USB backend (on Windows: FTD2XX.dll, the FTDI D2XX driver's library, not
//    found) "USB" shows "No device" with the reason and what to install as the box's
//    informative text, and the same on the log.
//  - A hub that cannot be opened for lack of permission still shows "HUB failure."; the box
//    then carries the udev hint (vqx::usb::kUdevHint) as its informative text, and the same
//    hint goes to the log (stderr), with the driver's own account of the failure.
//  - Look: neither push button is a default button, not even while it has the focus (Enter
//    on a focused button still presses it). Group boxes draw their frame line through the
//    middle of the title, as the dialog template does. A text wider than the template's
//    control (other scripts, wide fonts) widens the control; the field labels grow to the
//    left, away from their fields.
//  - The dialog is an application window, not a transient dialog: it has its own task-bar
//    entry.
//  - Accessibility: the address controls carry the names of their labels ("IP", "Mask",
//    "Gate", "Module address") and their fields "<name>, octet <n>"; the slot selector is
//    "Slot", a slot label "Slot <n>" until the hub has been read; message boxes give their
//    text as their accessible description.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QDialog>
#include <QIcon>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include "CModuleSocket.h"
#include "CUsbHub.h"
#include "NetworkRecord.h"

class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QRadioButton;
class QTimer;
class CIPAddressCtrl;
class CSlotCombo;

class CConfigDlg : public QDialog {
    Q_OBJECT
public:
    enum ControlId : int {
        IDC_ETHERNET = 1000,
        IDC_USB = 1001,
        IDC_CONNECT_ADDRESS = 1002,
        IDC_CONNECT = 1003,
        IDC_IP = 1004,
        IDC_SET = 1005,
        IDC_MASK = 1006,
        IDC_GATE = 1007,
        IDC_SLOT1 = 1008, // labels of slots 1..6: 1008..1013
        IDC_SLOT_COMBO = 1014,
    };
    /// Command id of the about entry.
    static constexpr unsigned IDM_ABOUTBOX = 0x10;
    /// Text of the about entry (string 101).
    static const QString kAboutEntryText;
    /// Command id and text of the entry below it that opens the fleet window.
    static constexpr unsigned IDM_FLEET = 0x20;
    static const QString kFleetEntryText;
    /// 10.0.0.100, shown in the connect field at start.
    static constexpr std::uint32_t kDefaultModuleAddress = 0x0A000064;
    /// Size of the dialog in dialog units.
    static constexpr int kWidthDlu = 167;
    static constexpr int kHeightDlu = 231;

    /// The waits of the connect workflow. The defaults are the configurator's; tests shorten.
    struct Timing {
        int connectTimerMs = 1000; ///< the one-shot connect timer
        int arpPauseMs = 200;      ///< the pause after starting the arp command
    };

    /// Shows a message box; receives the text, the title and the informative text (mostly
    /// empty).
    using MessageBoxHook =
        std::function<void(const QString& text, const QString& title, const QString& detail)>;
    /// A hook that also sees the buttons and gives the answer (Yes or No for a question).
    using AnsweringMessageBoxHook = std::function<QMessageBox::StandardButton(
        const QString& text, const QString& title, const QString& detail,
        QMessageBox::StandardButtons buttons)>;
    /// Starts a command line hidden, without a shell, and without waiting for it.
    using CommandLauncher = std::function<void(const QString& commandLine)>;
    /// Blocks the thread for the given time without processing events.
    using Sleeper = std::function<void(int ms)>;
    /// Runs the about box modally over the given parent.
    using AboutBoxRunner = std::function<void(QWidget* parent)>;
    /// Opens (or raises) the window for many modules, a window of its own beside the dialog.
    using FleetWindowRunner = std::function<void(QWidget* parent)>;

    /// driver: the hub's D2XX driver; nullptr chooses the real default backend.
    explicit CConfigDlg(std::unique_ptr<vqx::usb::D2xxDriver> driver = nullptr,
                        QWidget* parent = nullptr);
    /// socket: the Ethernet link to use (e.g. one whose socket creation fails); nullptr
    /// chooses a plain CModuleSocket.
    CConfigDlg(std::unique_ptr<vqx::usb::D2xxDriver> driver, std::unique_ptr<CModuleSocket> socket,
               QWidget* parent = nullptr);
    ~CConfigDlg() override;

    /// The control with the given template id, or nullptr.
    QWidget* GetDlgItem(int id) const;
    /// All controls in template order (22 of them).
    const std::vector<QWidget*>& Controls() const { return m_controls; }
    /// Maps a rectangle in dialog units to pixels with the dialog font's base units.
    QRect MapDialogRect(int x, int y, int w, int h) const;

    /// The one message box of the dialog: modal, owned by the dialog, OK only, no icon.
    /// An empty title stands for the application name; a non-empty detail is shown as the
    /// box's informative text under the text. With a hook set, the hook receives the text,
    /// the resolved title and the detail instead and nothing is shown. A question passes Yes
    /// and No as its buttons and gets the button pressed back; a hook that gives no answer
    /// answers No.
    QMessageBox::StandardButton MessageBox(const QString& text, const QString& title = QString(),
                                           const QString& detail = QString(),
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    void SetMessageBoxHook(MessageBoxHook hook);
    void SetMessageBoxHook(AnsweringMessageBoxHook hook) { m_messageBoxHook = std::move(hook); }
    void SetCommandLauncher(CommandLauncher launcher) { m_launcher = std::move(launcher); }
    void SetSleep(Sleeper sleeper) { m_sleep = std::move(sleeper); }
    void SetTiming(const Timing& timing) { m_timing = timing; }
    const Timing& timing() const { return m_timing; }
    void SetAboutBoxRunner(AboutBoxRunner runner) { m_aboutRunner = std::move(runner); }
    void SetFleetWindowRunner(FleetWindowRunner runner) { m_fleetRunner = std::move(runner); }
    /// Puts an address into the connect field (the demo shows its module's address).
    void SetConnectAddress(std::uint32_t packed);

    CModuleSocket& Socket() { return *m_socket; }
    CUsbHub& Hub() { return m_hub; }
    /// True while a device operation runs.
    bool IsBusy() const { return m_busy > 0; }
    bool IsConnectTimerActive() const;
    /// The one-shot connect timer (for inspection).
    const QTimer* ConnectTimer() const { return m_connectTimer; }
    /// The menu with the about and fleet entries (the context menu; on Windows they are also
    /// appended to the window's system menu).
    QMenu* SystemMenu() const { return m_systemMenu; }
    const QIcon& AppIcon() const { return m_appIcon; }

    /// The default launcher: runs the command's program detached and hidden, without a shell,
    /// output dropped; the program is looked up on PATH, then in fallbackDirs. A missing
    /// program or a failed start is ignored; nothing waits for the program.
    static void LaunchHidden(const QString& commandLine, const QStringList& fallbackDirs);
    /// The same with the system directories of the arp tool (/usr/sbin, /sbin) as fallback.
    static void LaunchHidden(const QString& commandLine);
    static QString ModuleTypeName(std::uint8_t code);

    // The handlers of the dialog, public so that the shell and tests can drive them.
    void SelectInterface(bool usb);
    void EnableSettings(bool on);
    void OnEthernet();
    void OnUsb();
    void OnSlotEditChange();
    void OnConnectButton();
    void OnTimer();
    void ReadSettings();
    void OnSlotSelected();
    void OnSet();
    /// The problems the core's settings check finds, one sentence each, as the question
    /// before "Set" names them; empty when the settings pass.
    static QString SettingsProblems(const vqx::NetworkRecord& settings);
    /// Returns true when the command was the about entry (id & 0xFFF0 == 0x10) or the fleet
    /// entry (0x20); the about box or the fleet window then opens unless a transfer runs (the
    /// command is then dropped).
    bool OnSysCommand(unsigned id, std::intptr_t param = 0);

signals:
    /// A device operation (connect read, write, slot read, enumeration) has ended.
    void operationFinished();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void done(int result) override;
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    class Operation;
    friend class Operation;

    void CreateControls();
    void OnInitDialog();
    void AppendAboutEntry();
    void FillFields(const vqx::NetworkRecord& record);
    int SlotIndex() const;
    void BeginOperation();
    void EndOperation(bool deviceOperation);
    void DiscardQueuedInput();
    bool IsOwnObject(const QObject* object) const;

    // The links are members, destroyed before the base class deletes the child controls;
    // the destructor therefore first cuts every child off from the dialog, so that nothing a
    // control sends while it is torn down reaches a handler (or a destroyed link).
    std::unique_ptr<CModuleSocket> m_socket;
    CUsbHub m_hub;
    CSlotCombo* m_slotCombo = nullptr;
    CIPAddressCtrl* m_gateAddress = nullptr;
    CIPAddressCtrl* m_maskAddress = nullptr;
    CIPAddressCtrl* m_ipAddress = nullptr;
    CIPAddressCtrl* m_connectAddress = nullptr;
    std::uint32_t m_linkAddress = 0; // where the last connect attempt went (the write lock's key)
    QIcon m_appIcon;

    QRadioButton* m_ethernetRadio = nullptr;
    QRadioButton* m_usbRadio = nullptr;
    QPushButton* m_connectButton = nullptr;
    QPushButton* m_setButton = nullptr;
    std::vector<QLabel*> m_slotLabels;
    std::vector<QWidget*> m_controls;
    QMenu* m_systemMenu = nullptr;
    QTimer* m_connectTimer = nullptr;

    Timing m_timing;
    AnsweringMessageBoxHook m_messageBoxHook;
    CommandLauncher m_launcher;
    Sleeper m_sleep;
    AboutBoxRunner m_aboutRunner;
    FleetWindowRunner m_fleetRunner;

    int m_busy = 0;
    bool m_discardingInput = false;
    bool m_usbCheckedAtStart = false; // the mode when the running operation began
    bool m_closePending = false;
    int m_pendingResult = 0;
};
