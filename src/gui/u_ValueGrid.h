#pragma once
// The key/value grid of the brandable variables. A value may be tens of megabytes long and
// hold line breaks, so a cell shows only a short single-line form of it: painting and layout
// then cost the same whatever the values hold. A value the cell shows whole is edited in
// place; a longer or multi-line one in a dialog that shows and keeps its line breaks. Keys are
// read-only, and Tab moves from value to value. In the dialog Tab moves the focus, Ctrl+Enter
// accepts and Escape cancels.

#include <QTableWidget>

#include <functional>

class QDialog;
class QKeyEvent;

// What a cell shows of value: its first line, cut to a few hundred characters, with "…"
// appended when something was left out.
QString ShortValueText(const QString& value);

class TValueGrid : public QTableWidget {
  Q_OBJECT

public:
  static constexpr int KeyColumn = 0;
  static constexpr int ValueColumn = 1;

  explicit TValueGrid(QWidget* parent);
  using QTableWidget::edit;

  void AddRow(const QString& key, const QString& value);
  QString Key(int row) const;
  // The whole value of row, as edited.
  QString Value(int row) const;
  void SetValue(int row, const QString& value);

  // Edits the value of row in the dialog; the value changes only when it is accepted. A key
  // typed on the cell replaces the value there.
  void EditInDialog(int row, const QKeyEvent* typed = nullptr);
  // Runs the value dialog; returns its result. Empty: the dialog's own exec, else tests answer.
  std::function<int(QDialog& dialog)> ExecDialog;

protected:
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;

private:
  // Whether the cell shows the value of row whole, so that it can be edited in place.
  bool ShownWhole(int row) const;
};
