#pragma once
// The key/value grid of the brandable variables. A row holds its value as the book stores it
// (references to other variables written out), which is what is edited and compared, and shows
// it resolved from the values as they stand, as the book will once updated. A row whose value
// differs from the book's is marked changed; one whose resolution changes through a reference
// is marked as following the variables it refers to. A value may be tens of megabytes long and
// hold line breaks, so a cell shows only a short single-line form of it: painting and layout
// then cost the same whatever the values hold. A value short enough to show whole is edited in
// place; a longer or multi-line one in a dialog that shows and keeps its line breaks. Keys are
// read-only, and Tab moves from value to value. In the dialog Tab moves the focus, Ctrl+Enter
// accepts and Escape cancels.

#include "ebook/u_EBookDocument.h"

#include <QTableWidget>

#include <functional>

class QDialog;
class QKeyEvent;

// What a cell shows of value: its first line, cut to a few hundred characters, with "…"
// appended when something was left out.
QString ShortValueText(const QString& value);
// What the window says of the entries of a variables file that are not read, in codePage:
// each one's name and what shadows it; empty when there are none.
QString ShadowedEntriesText(const TShadowedEntries& entries, const TCodePage& codePage);

class TValueGrid : public QTableWidget {
  Q_OBJECT

public:
  static constexpr int KeyColumn = 0;
  static constexpr int ValueColumn = 1;

  explicit TValueGrid(QWidget* parent);
  using QTableWidget::edit;

  // A row of the book: its key, its value as stored and as the book shows it resolved.
  void AddRow(const QString& key, const QString& value, const QString& shown);
  QString Key(int row) const;
  // The whole value of row as stored, as edited.
  QString Value(int row) const;
  void SetValue(int row, const QString& value);
  // Whether the value of row differs from the book's.
  bool Changed(int row) const;
  // The rows as the user left them, in the book's code page; a value the user did not change
  // is the book's own bytes (bookRows, the document's rows). A character the code page cannot
  // hold raises EConvertError naming the variable.
  TVariableRows Rows(const TVariableRows& bookRows, const TCodePage& codePage) const;
  // Shows each value resolved from the values as they stand, and the rows' marks; the title
  // the book then has. Values that cannot be resolved (a reference cycle, a character the code
  // page cannot hold) show as stored, and the title as the book has it: the update says why.
  QString ShowResolution(const TEBookDocument& document);

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
  // Whether the value of row is short enough to edit in place.
  bool ShownWhole(int row) const;
  // Shows row's value as shown (resolved) and marks it: changed, or following the names.
  void ShowRow(int row, const QString& shown, const QStringList& following);

  // The rows show the book's own resolution: nothing was changed since they were filled or
  // last resolved.
  bool FShowsBook = true;
};
