#pragma once
// Dialog units: a horizontal unit is a quarter of the dialog font's average character width
// (taken, as the Windows dialog manager does, over the 52 Latin letters), a vertical unit an
// eighth of its character height.
//
// Widths laid out in dialog units come from Latin letters; texts in other scripts (the about
// box's Cyrillic line) or fonts with wide capitals can need more. growToText widens such a
// control to its text, so that every text shows whole.

#include <QFont>
#include <QRect>

class QWidget;

namespace vqx::ui {

/// The base units of a font: average character width and character height, in pixels.
QSize dialogBaseUnits(const QFont& font);
/// A rectangle in dialog units mapped to pixels, each value rounded to the nearest pixel.
QRect mapDialogRect(const QFont& font, int x, int y, int w, int h);

/// The width in pixels that a label needs to show text whole (its margins included), or
/// that a button needs for its own text and indicator.
int textWidth(const QWidget* control, const QString& text);
/// Widens a control to the given width when it is narrower: to the right, or to the left
/// (keeping its right edge) for a label that ends where the field it names begins.
void growToText(QWidget* control, int width, bool toTheLeft = false);

} // namespace vqx::ui
