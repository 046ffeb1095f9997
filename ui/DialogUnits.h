#pragma once
// Dialog units: a horizontal unit is a quarter of the dialog font's average character width
// (taken, as the Windows dialog manager does, over the 52 Latin letters), a vertical unit an
// eighth of its character height.

#include <QFont>
#include <QRect>

namespace vqx::ui {

/// The base units of a font: average character width and character height, in pixels.
QSize dialogBaseUnits(const QFont& font);
/// A rectangle in dialog units mapped to pixels, each value rounded to the nearest pixel.
QRect mapDialogRect(const QFont& font, int x, int y, int w, int h);

} // namespace vqx::ui
