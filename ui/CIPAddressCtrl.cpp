#include "CIPAddressCtrl.h"

#include <algorithm>

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QStyleOptionFrame>

namespace {

constexpr int kFieldCount = 4;

// Digits only, at most three of them; values above 255 are clamped when a field is completed.
const QRegularExpression& fieldPattern() {
    static const QRegularExpression re(QStringLiteral("[0-9]{0,3}"));
    return re;
}

bool isDigitsOnly(const QString& s) {
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
}

} // namespace

CIPAddressCtrl::CIPAddressCtrl(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    auto* validator = new QRegularExpressionValidator(fieldPattern(), this);
    for (int i = 0; i < kFieldCount; ++i) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("field%1").arg(i));
        edit->setFrame(false);
        edit->setAlignment(Qt::AlignCenter);
        edit->setMaxLength(3);
        edit->setValidator(validator);
        // The right-click menu belongs to the dialog; pasting goes through the keyboard.
        edit->setContextMenuPolicy(Qt::NoContextMenu);
        // The control is one tab stop: only the first field takes focus by Tab.
        edit->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textChanged, this, &CIPAddressCtrl::addressChanged);
        connect(edit, &QLineEdit::textEdited, this, [this, i, edit](const QString& text) {
            // A third digit completes the field and moves on, as a dot does.
            if (text.size() == 3 && edit->cursorPosition() == 3) {
                clampField(i);
                if (i + 1 < kFieldCount)
                    moveTo(i + 1, true, false);
            }
        });
        connect(edit, &QLineEdit::editingFinished, this, [this, i] { clampField(i); });
        m_fields[static_cast<std::size_t>(i)] = edit;
    }
    setFocusProxy(m_fields[0]);
    layoutFields();
}

QSize CIPAddressCtrl::sizeHint() const {
    const QFontMetrics fm(font());
    const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    return {fm.horizontalAdvance(QStringLiteral("888.888.888.888")) + 4 * 8 + 2 * frame,
            fm.height() + 2 * frame + 2};
}

QSize CIPAddressCtrl::minimumSizeHint() const {
    return sizeHint();
}

void CIPAddressCtrl::SetAccessibleNames(const QString& name) {
    setAccessibleName(name);
    for (int i = 0; i < kFieldCount; ++i)
        field(i)->setAccessibleName(QStringLiteral("%1, octet %2").arg(name).arg(i + 1));
}

void CIPAddressCtrl::SetAddress(std::uint32_t packed) {
    SetAddress(static_cast<std::uint8_t>(packed >> 24), static_cast<std::uint8_t>(packed >> 16),
               static_cast<std::uint8_t>(packed >> 8), static_cast<std::uint8_t>(packed));
}

void CIPAddressCtrl::SetAddress(std::uint8_t f0, std::uint8_t f1, std::uint8_t f2,
                                std::uint8_t f3) {
    const std::array<std::uint8_t, 4> v{f0, f1, f2, f3};
    for (int i = 0; i < kFieldCount; ++i)
        m_fields[static_cast<std::size_t>(i)]->setText(
            QString::number(v[static_cast<std::size_t>(i)]));
}

int CIPAddressCtrl::GetAddress(std::uint8_t& f0, std::uint8_t& f1, std::uint8_t& f2,
                               std::uint8_t& f3) const {
    std::array<std::uint8_t, 4> v{};
    int nonBlank = 0;
    for (int i = 0; i < kFieldCount; ++i) {
        const QString t = m_fields[static_cast<std::size_t>(i)]->text();
        if (t.isEmpty())
            continue;
        ++nonBlank;
        v[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(std::min(t.toInt(), 255));
    }
    f0 = v[0];
    f1 = v[1];
    f2 = v[2];
    f3 = v[3];
    return nonBlank;
}

int CIPAddressCtrl::GetAddress(std::uint32_t& packed) const {
    std::uint8_t f[4];
    const int n = GetAddress(f[0], f[1], f[2], f[3]);
    packed = (std::uint32_t{f[0]} << 24) | (std::uint32_t{f[1]} << 16) |
             (std::uint32_t{f[2]} << 8) | f[3];
    return n;
}

std::uint32_t CIPAddressCtrl::address() const {
    std::uint32_t packed = 0;
    GetAddress(packed);
    return packed;
}

void CIPAddressCtrl::ClearAddress() {
    for (QLineEdit* e : m_fields)
        e->clear();
}

bool CIPAddressCtrl::IsBlank() const {
    return std::all_of(m_fields.begin(), m_fields.end(),
                       [](const QLineEdit* e) { return e->text().isEmpty(); });
}

QString CIPAddressCtrl::text() const {
    QStringList parts;
    for (const QLineEdit* e : m_fields)
        parts << e->text();
    return parts.join(QLatin1Char('.'));
}

int CIPAddressCtrl::indexOf(QObject* watched) const {
    for (int i = 0; i < kFieldCount; ++i)
        if (m_fields[static_cast<std::size_t>(i)] == watched)
            return i;
    return -1;
}

void CIPAddressCtrl::moveTo(int index, bool selectAll, bool atEnd) {
    QLineEdit* e = m_fields[static_cast<std::size_t>(index)];
    e->setFocus(Qt::OtherFocusReason);
    if (selectAll)
        e->selectAll();
    else
        e->setCursorPosition(atEnd ? static_cast<int>(e->text().size()) : 0);
}

void CIPAddressCtrl::clampField(int index) {
    QLineEdit* e = m_fields[static_cast<std::size_t>(index)];
    const QString t = e->text();
    if (t.isEmpty())
        return;
    const int v = t.toInt();
    // Leading zeros are dropped and values above 255 become 255, as the Windows control does.
    const QString normal = QString::number(std::min(v, 255));
    if (normal != t)
        e->setText(normal);
}

void CIPAddressCtrl::pasteText(int index, const QString& raw) {
    const QString text = raw.trimmed();
    if (text.contains(QLatin1Char('.'))) {
        const QStringList parts = text.split(QLatin1Char('.'));
        for (int i = 0; i < kFieldCount; ++i) {
            QLineEdit* e = m_fields[static_cast<std::size_t>(i)];
            const QString part = i < parts.size() ? parts[i].trimmed() : QString();
            if (isDigitsOnly(part) && part.size() <= 3) {
                e->setText(part);
                clampField(i);
            } else {
                e->clear();
            }
        }
        moveTo(kFieldCount - 1, false, true);
        return;
    }
    if (!isDigitsOnly(text))
        return;
    QLineEdit* e = m_fields[static_cast<std::size_t>(index)];
    e->insert(text.left(3));
    if (e->text().size() == 3 && e->cursorPosition() == 3) {
        clampField(index);
        if (index + 1 < kFieldCount)
            moveTo(index + 1, true, false);
    }
}

bool CIPAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
    const int index = indexOf(watched);
    if (index < 0 || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    QLineEdit* e = m_fields[static_cast<std::size_t>(index)];
    const bool noSelection = !e->hasSelectedText();
    const int pos = e->cursorPosition();
    const int len = static_cast<int>(e->text().size());

    if (key->matches(QKeySequence::Paste)) {
        pasteText(index, QApplication::clipboard()->text());
        return true;
    }
    switch (key->key()) {
    case Qt::Key_Period:
    case Qt::Key_Space:
        // A separator moves on once the field holds something; otherwise it is ignored.
        if (!e->text().isEmpty() && index + 1 < kFieldCount) {
            clampField(index);
            moveTo(index + 1, true, false);
        }
        return true;
    case Qt::Key_Backspace:
        if (pos == 0 && noSelection && index > 0) {
            moveTo(index - 1, false, true);
            return true;
        }
        break;
    case Qt::Key_Left:
        if (pos == 0 && noSelection && index > 0 && key->modifiers() == Qt::NoModifier) {
            moveTo(index - 1, false, true);
            return true;
        }
        break;
    case Qt::Key_Right:
        if (pos == len && noSelection && index + 1 < kFieldCount &&
            key->modifiers() == Qt::NoModifier) {
            clampField(index);
            moveTo(index + 1, false, false);
            return true;
        }
        break;
    case Qt::Key_Backtab:
        // Shift+Tab leaves the whole control: let the window search backwards from the
        // first field, so the other fields of this control are passed over.
        if (index > 0)
            m_fields[0]->setFocus(Qt::OtherFocusReason);
        break;
    case Qt::Key_Tab:
        if ((key->modifiers() & Qt::ShiftModifier) && index > 0)
            m_fields[0]->setFocus(Qt::OtherFocusReason);
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void CIPAddressCtrl::layoutFields() {
    const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    const QRect inner = rect().adjusted(frame, frame, -frame, -frame);
    const QFontMetrics fm(font());
    const int dotWidth = std::max(fm.horizontalAdvance(QLatin1Char('.')) + 2, 4);
    const int fieldWidth = std::max((inner.width() - 3 * dotWidth) / kFieldCount, 1);
    for (int i = 0; i < kFieldCount; ++i)
        m_fields[static_cast<std::size_t>(i)]->setGeometry(inner.x() + i * (fieldWidth + dotWidth),
                                                           inner.y(), fieldWidth, inner.height());
}

void CIPAddressCtrl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutFields();
}

void CIPAddressCtrl::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        layoutFields();
}

void CIPAddressCtrl::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.rect = rect();
    frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, this);
    frame.midLineWidth = 0;
    frame.state |= QStyle::State_Sunken;
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &frame, &p, this);
    // The dots between the fields.
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    for (int i = 0; i + 1 < kFieldCount; ++i) {
        const QRect left = m_fields[static_cast<std::size_t>(i)]->geometry();
        const QRect right = m_fields[static_cast<std::size_t>(i) + 1]->geometry();
        const QRect gap(left.right() + 1, left.top(), right.left() - left.right() - 1,
                        left.height());
        p.drawText(gap, Qt::AlignCenter, QStringLiteral("."));
    }
}
