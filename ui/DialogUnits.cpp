#include "DialogUnits.h"

#include <algorithm>

#include <QAbstractButton>
#include <QFontMetrics>
#include <QLabel>

namespace vqx::ui {

namespace {

int mulDiv(int value, int numerator, int denominator) {
    const long long p = static_cast<long long>(value) * numerator;
    return static_cast<int>((p >= 0 ? p + denominator / 2 : p - denominator / 2) / denominator);
}

} // namespace

QSize dialogBaseUnits(const QFont& font) {
    const QFontMetrics fm(font);
    const int letters = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {std::max((letters / 26 + 1) / 2, 1), std::max(fm.height(), 1)};
}

QRect mapDialogRect(const QFont& font, int x, int y, int w, int h) {
    const QSize base = dialogBaseUnits(font);
    return {mulDiv(x, base.width(), 4), mulDiv(y, base.height(), 8), mulDiv(w, base.width(), 4),
            mulDiv(h, base.height(), 8)};
}

int textWidth(const QWidget* control, const QString& text) {
    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        const int frame = label->width() - label->contentsRect().width() + 2 * label->margin();
        return label->fontMetrics().horizontalAdvance(text) + frame;
    }
    if (qobject_cast<const QAbstractButton*>(control))
        return control->sizeHint().width();
    return control->fontMetrics().horizontalAdvance(text);
}

void growToText(QWidget* control, int width, bool toTheLeft) {
    QRect r = control->geometry();
    if (r.width() >= width)
        return;
    if (toTheLeft)
        r.setLeft(r.right() + 1 - width);
    else
        r.setWidth(width);
    control->setGeometry(r);
}

} // namespace vqx::ui
