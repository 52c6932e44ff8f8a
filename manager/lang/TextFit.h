#pragma once

// Dialogs are laid out at fixed positions for the English texts; another
// language, or another font, needs more room. fitTexts widens what is too
// narrow for its text and makes room for it, keeping the layout's columns.

class QWidget;

// Room a window's title bar needs beyond the title's own text: the icon and
// the frame's buttons.
inline constexpr int kTitleBarAllowance = 96;

// For every label, button and group box of the window (its own children,
// not those of child windows) that is narrower than its size hint: a strip
// as wide as the shortfall is put in at the widget's right edge. Whatever
// lies right of the strip moves right; whatever spans it, that widget
// included, gets wider; the window too. Last, the window is made as wide as
// its title needs. A fixed-size window stays fixed, at its new size.
void fitTexts(QWidget* window);
