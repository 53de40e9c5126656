#include "gui/u_FocusRing.h"

#include <algorithm>
#include <cmath>

namespace {
double Linear(double channel) {
  return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double RelativeLuminance(const QColor& colour) {
  return 0.2126 * Linear(colour.redF()) + 0.7152 * Linear(colour.greenF()) +
         0.0722 * Linear(colour.blueF());
}

double LeastContrast(const QColor& colour, const QPalette& palette,
                     const QList<QPalette::ColorRole>& beside) {
  double least = 21;
  for (QPalette::ColorRole role : beside)
    least = std::min(least, ContrastRatio(colour, palette.color(role)));
  return least;
}
} // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
  const double first = RelativeLuminance(a);
  const double second = RelativeLuminance(b);
  return (std::max(first, second) + 0.05) / (std::min(first, second) + 0.05);
}

QColor FocusRingColour(const QPalette& palette, const QList<QPalette::ColorRole>& beside) {
  QColor best = palette.color(QPalette::Highlight);
  double bestContrast = LeastContrast(best, palette, beside);
  if (bestContrast >= FocusRingContrast)
    return best;
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    const QColor candidate = palette.color(role);
    const double contrast = LeastContrast(candidate, palette, beside);
    if (contrast > bestContrast) {
      best = candidate;
      bestContrast = contrast;
    }
  }
  return best;
}
