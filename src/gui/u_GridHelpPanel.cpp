#include "gui/u_GridHelpPanel.h"

#include "gui/u_ValueGrid.h"

#include <QHeaderView>
#include <QTextDocument>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {
// The grid keeps room for this many of its rows before the help box gets any; a longer grid
// scrolls.
constexpr int GridRowsBeforeHelpMin = 4;
constexpr int GridRowsBeforeHelpMax = 10;
// A help box of fewer lines than this shows too little to read: it folds away instead.
constexpr int HelpMinimumLines = 3;
} // namespace

int THelpBox::WholeTextHeight(int width) const {
  const std::unique_ptr<QTextDocument> copy(document()->clone());
  copy->setDefaultFont(document()->defaultFont());
  copy->setTextWidth(std::max(0, width - 2 * frameWidth()));
  return int(std::ceil(copy->size().height())) + 2 * frameWidth();
}

int THelpBox::FoldHeight() const {
  return HelpMinimumLines * fontMetrics().lineSpacing() + int(2 * document()->documentMargin()) +
         2 * frameWidth();
}

TGridHelpPanel::TGridHelpPanel(QWidget* parent, TValueGrid* grid, THelpBox* help)
    : QWidget(parent), FGrid(grid), FHelp(help) {
  FGrid->setParent(this);
  FHelp->setParent(this);
}

void TGridHelpPanel::SetHelpFolded(bool folded) {
  FHelpFolded = folded;
  Place();
}

void TGridHelpPanel::Place() {
  const QRect inner = rect().adjusted(Border, Border, -Border, -Border);
  const int rows = std::clamp(FGrid->rowCount(), GridRowsBeforeHelpMin, GridRowsBeforeHelpMax);
  const int gridRoom = FGrid->horizontalHeader()->sizeHint().height() +
                       rows * FGrid->verticalHeader()->defaultSectionSize() +
                       2 * FGrid->frameWidth();
  int help =
      FHelpFolded ? 0 : std::min(FHelp->WholeTextHeight(inner.width()), inner.height() - gridRoom);
  if (help < FHelp->FoldHeight())
    help = 0;
  FGrid->setGeometry(inner.adjusted(0, 0, 0, -help));
  FHelp->setGeometry(inner.left(), inner.bottom() + 1 - help, inner.width(), help);
  FHelp->setVisible(help > 0);
}

QSize TGridHelpPanel::minimumSizeHint() const {
  return {0, FGrid->minimumHeight() + 2 * Border};
}

void TGridHelpPanel::resizeEvent(QResizeEvent*) {
  Place();
}
