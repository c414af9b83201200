// Helpers the three forms share: the fonts and the absolute placement of their components.
#pragma once

#include <QFont>
#include <QLabel>
#include <QRect>
#include <QWidget>

namespace marvolen::ui {

// The forms were laid out for an 8-pixel-wide, 34-pixel-tall window frame: a form's
// client area is its outer size less that.
inline constexpr int kFrameWidth = 8;
inline constexpr int kFrameHeight = 34;

// The nearest sans-serif at hand to the forms' bitmap font, `pixels` high.
QFont FormFont(int pixels);

// Names `widget` after its component, places it and sets its font when `font_pixels` is given.
void Place(QWidget* widget, const char* name, QRect geometry, int font_pixels = 0);

// A label of the forms' design, whose size followed its text in the original font. The place
// and size are kept; where our font is wider, its text is set a little smaller to fit.
QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                 int font_pixels);

// Centres top-level `form` on `over` (or on its screen when `over` is null).
void CentreOn(QWidget* form, const QWidget* over);

}  // namespace marvolen::ui
