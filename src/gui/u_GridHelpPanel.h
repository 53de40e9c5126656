#pragma once
// The lower panel of the main window: the grid of variables above the help box, inside a
// border. The grid takes the room the help box leaves: the help box shows its whole text when
// there is room for it beside a grid of a few rows, shrinks when there is not, and folds away
// below a few lines; the user may fold it too.

#include <QTextEdit>
#include <QWidget>

class TValueGrid;

// The help box: as high as its text at its width needs, so that it shows no scroll bar it
// does not need.
class THelpBox : public QTextEdit {
public:
  using QTextEdit::QTextEdit;

  // The height that shows the whole text at width, frame included.
  int WholeTextHeight(int width) const;
  // Below this height the box folds away.
  int FoldHeight() const;
};

class TGridHelpPanel : public QWidget {
public:
  static constexpr int Border = 5;

  // Takes grid and help as its children.
  TGridHelpPanel(QWidget* parent, TValueGrid* grid, THelpBox* help);

  void SetHelpFolded(bool folded);
  // Shares the room out again, as after the grid's rows have changed.
  void Place();

  QSize minimumSizeHint() const override;

protected:
  void resizeEvent(QResizeEvent* event) override;

private:
  TValueGrid* FGrid;
  THelpBox* FHelp;
  bool FHelpFolded = false;
};
