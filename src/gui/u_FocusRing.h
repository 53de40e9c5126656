#pragma once
// Focus rings that can be seen: two pixels wide, in a colour that stands out at least 3:1
// from the colours beside it, in light and dark palettes alike (the focus appearance that
// WCAG 2.2 asks for).

#include <QColor>
#include <QList>
#include <QPalette>

inline constexpr int FocusRingWidth = 2;
inline constexpr double FocusRingContrast = 3.0;

// The contrast ratio of two colours, from 1 to 21, of their relative luminances as WCAG
// defines them.
double ContrastRatio(const QColor& a, const QColor& b);

// The colour of a ring drawn between the colours of the roles beside it: the palette's
// highlight where it stands out enough from all of them, else whichever of it and the text
// colours stands out most.
QColor FocusRingColour(const QPalette& palette, const QList<QPalette::ColorRole>& beside);
