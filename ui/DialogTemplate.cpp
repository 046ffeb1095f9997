#include "CConfigDlg.h"

// The dialog template: its controls, their geometry in dialog units, how texts widen them,
// and how the dialog and its group boxes are painted.

#include <array>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <qdrawutil.h>

#include "CIPAddressCtrl.h"
#include "CSlotCombo.h"
#include "DialogUnits.h"
#include "ModuleTypes.h"

namespace {

using vqx::usb::kSlotCount;

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

} // namespace

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
