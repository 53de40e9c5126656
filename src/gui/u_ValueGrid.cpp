#include "gui/u_ValueGrid.h"

#include "common/u_AnsiText.h"
#include "variables/u_Variables.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QVBoxLayout>

namespace {
// A cell lays its text out on every repaint; this many characters cost next to nothing, and
// show more of a line than the widest screen holds.
constexpr qsizetype ShortValueLength = 300;
const QChar LeftOut(0x2026);
constexpr QSize ValueDialogSize(560, 360);

bool IsLineBreak(QChar c) {
  return c == '\r' || c == '\n';
}

// Roles of a value cell beside its shown text: the whole value as edited, and the book's.
constexpr int ValueRole = Qt::UserRole;
constexpr int BookValueRole = Qt::UserRole + 1;
// Of a key cell, whose text is the key and its mark: the key.
constexpr int KeyRole = Qt::UserRole;

// A value cell: the whole stored value is what the cell edits, the short form of its
// resolution what it shows. The value is data of a role of its own, so that every change of it
// is reported (itemChanged), also one that leaves the shown text as it was.
class TValueItem : public QTableWidgetItem {
public:
  TValueItem(const QString& value, const QString& shown) : QTableWidgetItem(UserType) {
    Show(shown);
    QTableWidgetItem::setData(BookValueRole, value);
    QTableWidgetItem::setData(ValueRole, value);
  }

  QVariant data(int role) const override {
    if (role == Qt::EditRole)
      return QTableWidgetItem::data(ValueRole);
    // A screen reader names the cell by its variable, as a sighted user reads the row.
    if (role == Qt::AccessibleTextRole && tableWidget())
      if (const QTableWidgetItem* key = tableWidget()->item(row(), TValueGrid::KeyColumn))
        return QStringLiteral("%1: %2").arg(key->data(KeyRole).toString(),
                                            QTableWidgetItem::data(Qt::DisplayRole).toString());
    return QTableWidgetItem::data(role);
  }

  // The text (setText) is the value too, as in any cell.
  void setData(int role, const QVariant& value) override {
    if (role != Qt::DisplayRole && role != Qt::EditRole) {
      QTableWidgetItem::setData(role, value);
      return;
    }
    // Until it is resolved, a new value shows as it is written.
    Show(value.toString());
    QTableWidgetItem::setData(ValueRole, value);
  }

  // Shows shown, the value resolved, leaving the value as it is.
  void Show(const QString& shown) {
    QTableWidgetItem::setData(Qt::DisplayRole, ShortValueText(shown));
  }
};

bool ShowsWhole(const QString& value) {
  return value.size() <= ShortValueLength && !value.contains('\r') && !value.contains('\n');
}

QString FromAnsi(const TCodePage& codePage, const std::string& text) {
  return QString::fromStdU16String(codePage.AnsiToUtf16(text));
}

// The editor works in line feeds; the value gets back the breaks it had ("\r\n" unless it
// held bare line feeds only), and every other character exactly as typed.
QString EditorText(const QString& value) {
  return QString(value).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// Ctrl+Enter accepts the dialog, as it does in a dialog's multi-line boxes elsewhere, by its
// OK button (which does nothing while disabled); Enter alone stays a line break of the value.
class TAcceptKeys : public QObject {
public:
  explicit TAcceptKeys(QAbstractButton& ok) : FOk(ok) {}

protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::KeyPress)
      return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (!enter || !(key->modifiers() & Qt::ControlModifier))
      return false;
    FOk.click();
    return true;
  }

private:
  QAbstractButton& FOk;
};

// The value dialog's label: the variable's name and how many characters its value has.
QString ValueDialogLabel(const QString& key, qsizetype length) {
  // A "&" of the name is no mnemonic.
  return QStringLiteral("&Value of %1 (%2 characters):")
      .arg(QString(key).replace('&', QStringLiteral("&&")), QLocale().toString(length));
}

QString ValueText(const QTextDocument& document, const QString& oldValue) {
  // The raw text keeps no-break spaces, which the plain text would turn into spaces.
  QString text = document.toRawText();
  text.replace(QChar::ParagraphSeparator, '\n').replace(QChar::LineSeparator, '\n');
  const bool bareLineFeeds = oldValue.contains('\n') && !oldValue.contains(QStringLiteral("\r\n"));
  if (!bareLineFeeds)
    text.replace('\n', QStringLiteral("\r\n"));
  return text;
}
} // namespace

QString ShortValueText(const QString& value) {
  qsizetype end = 0;
  while (end < value.size() && end < ShortValueLength && !IsLineBreak(value[end]))
    ++end;
  return end == value.size() ? value : value.left(end) + LeftOut;
}

QString ShadowedEntriesText(const TShadowedEntries& entries, const TCodePage& codePage) {
  QStringList said;
  for (const TShadowedEntry& entry : entries)
    said << QStringLiteral("\"%1\" (%2)")
                .arg(FromAnsi(codePage, entry.Name),
                     FromAnsi(codePage, ShadowedText(entry, codePage.Number())));
  return said.isEmpty() ? QString()
                        : QStringLiteral("Not read from the variables file: ") +
                              said.join(QStringLiteral("; "));
}

TValueGrid::TValueGrid(QWidget* parent) : QTableWidget(0, 2, parent) {
  setWordWrap(false);
  setTabKeyNavigation(false);
}

void TValueGrid::AddRow(const QString& key, const QString& value, const QString& shown) {
  const int row = rowCount();
  insertRow(row);
  auto* keyItem = new QTableWidgetItem(key);
  keyItem->setData(KeyRole, key);
  keyItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  setItem(row, KeyColumn, keyItem);
  setItem(row, ValueColumn, new TValueItem(value, shown));
  FShowsBook = true;
}

QString TValueGrid::Key(int row) const {
  const QTableWidgetItem* key = item(row, KeyColumn);
  return key ? key->data(KeyRole).toString() : QString();
}

QString TValueGrid::Value(int row) const {
  const QTableWidgetItem* value = item(row, ValueColumn);
  return value ? value->data(ValueRole).toString() : QString();
}

void TValueGrid::SetValue(int row, const QString& value) {
  if (QTableWidgetItem* cell = item(row, ValueColumn))
    cell->setData(Qt::EditRole, value);
}

bool TValueGrid::Changed(int row) const {
  const QTableWidgetItem* value = item(row, ValueColumn);
  return value && value->data(ValueRole).toString() != value->data(BookValueRole).toString();
}

TVariableRows TValueGrid::Rows(const TVariableRows& bookRows, const TCodePage& codePage) const {
  TVariableRows rows;
  for (int row = 0; row < rowCount(); ++row) {
    const bool ofBook = row < int(bookRows.size());
    // The book's bytes, not their text converted back: what nobody changed stays exactly.
    if (ofBook && !Changed(row)) {
      rows.push_back(bookRows[size_t(row)]);
      continue;
    }
    const std::string name =
        ofBook ? bookRows[size_t(row)].Name : codePage.Utf16ToAnsi(Key(row).toStdU16String());
    try {
      rows.push_back({name, codePage.Utf16ToAnsi(Value(row).toStdU16String())});
    } catch (const EUnmappableCharacter& e) {
      throw EConvertError(CannotHoldText("The value of \"" + name + "\"", e) +
                          ". Choose the book's code page under View, Code Page.");
    }
  }
  return rows;
}

QString TValueGrid::ShowResolution(const TEBookDocument& document) {
  const TCodePage& codePage = document.CodePage();
  bool changed = false;
  for (int row = 0; row < rowCount() && !changed; ++row)
    changed = Changed(row);
  // Unchanged rows already show the book's own resolution: nothing to compute.
  if (!changed && FShowsBook)
    return FromAnsi(codePage, document.Title());
  try {
    const TResolution resolution = document.ResolveWith(Rows(document.Rows(), codePage));
    for (int row = 0; row < rowCount(); ++row) {
      const TResolvedRow& resolved = resolution.Rows[size_t(row)];
      QStringList following;
      for (const std::string& name : resolved.From)
        following << FromAnsi(codePage, name);
      ShowRow(row, FromAnsi(codePage, resolved.Value), following);
    }
    FShowsBook = !changed;
    return FromAnsi(codePage, resolution.Title);
  } catch (const std::exception&) {
    for (int row = 0; row < rowCount(); ++row)
      ShowRow(row, Value(row), {});
    FShowsBook = false;
    return FromAnsi(codePage, document.Title());
  }
}

void TValueGrid::ShowRow(int row, const QString& shown, const QStringList& following) {
  QTableWidgetItem* value = item(row, ValueColumn);
  QTableWidgetItem* key = item(row, KeyColumn);
  const QString name = Key(row);
  QString mark;
  QString keyText = name;
  if (Changed(row)) {
    mark = QStringLiteral("changed");
    keyText += QStringLiteral(" *");
  } else if (!following.isEmpty()) {
    mark = QStringLiteral("from ") + following.join(QStringLiteral(", "));
    keyText += QStringLiteral(" (") + mark + ')';
  }
  static_cast<TValueItem*>(value)->Show(shown);
  key->setText(keyText);
  // No mark leaves no role behind: the grid's own tip shows again.
  const QVariant said = mark.isEmpty() ? QVariant() : QVariant(mark);
  for (QTableWidgetItem* cell : {key, value}) {
    cell->setData(Qt::AccessibleDescriptionRole, said);
    cell->setData(Qt::ToolTipRole, said);
  }
}

bool TValueGrid::ShownWhole(int row) const {
  return ShowsWhole(Value(row));
}

void TValueGrid::EditInDialog(int row, const QKeyEvent* typed) {
  QDialog dialog(this);
  dialog.setObjectName(QStringLiteral("dlgValue"));
  dialog.setWindowTitle(Key(row));
  dialog.resize(ValueDialogSize);
  auto* editor = new QPlainTextEdit(&dialog);
  editor->setObjectName(QStringLiteral("edtValue"));
  editor->setLineWrapMode(QPlainTextEdit::NoWrap);
  // Tab is for the keyboard to leave the box, as in every other box of a dialog.
  editor->setTabChangesFocus(true);
  const QString oldValue = Value(row);
  editor->setPlainText(EditorText(oldValue));
  auto* label = new QLabel(&dialog);
  label->setObjectName(QStringLiteral("lblValue"));
  label->setBuddy(editor);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  const auto describe = [label, editor, buttons, key = Key(row)] {
    // The document counts a closing paragraph mark that is no character of the value.
    const qsizetype length = editor->document()->characterCount() - 1;
    label->setText(ValueDialogLabel(key, length));
    // Each character takes a byte at least: a longer text is no value a variable can hold.
    buttons->button(QDialogButtonBox::Ok)
        ->setEnabled(size_t(length) <= TVariables::MaxResolvedSize);
  };
  describe();
  connect(editor, &QPlainTextEdit::textChanged, label, describe);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  TAcceptKeys acceptKeys(*buttons->button(QDialogButtonBox::Ok));
  editor->installEventFilter(&acceptKeys);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(label);
  layout->addWidget(editor);
  layout->addWidget(buttons);
  editor->setFocus();
  if (typed) {
    // A key typed on the cell replaces the value, as it does in a cell edited in place.
    editor->selectAll();
    QKeyEvent key(typed->type(), typed->key(), typed->modifiers(), typed->text());
    QCoreApplication::sendEvent(editor, &key);
  }
  if ((ExecDialog ? ExecDialog(dialog) : dialog.exec()) == QDialog::Accepted)
    SetValue(row, ValueText(*editor->document(), oldValue));
}

bool TValueGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  if (index.column() != ValueColumn || ShownWhole(index.row()))
    return QTableWidget::edit(index, trigger, event);
  // A value the cell does not show whole never gets an in-place editor, which would lay all
  // of it out; asked for an editor, it opens the dialog.
  if (trigger == DoubleClicked || trigger == EditKeyPressed) {
    EditInDialog(index.row());
    return true;
  }
  if (trigger == AnyKeyPressed && event && event->type() == QEvent::KeyPress) {
    EditInDialog(index.row(), static_cast<const QKeyEvent*>(event));
    return true;
  }
  return false;
}

void TValueGrid::keyPressEvent(QKeyEvent* event) {
  const QModelIndex current = currentIndex();
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && current.isValid() &&
      current.column() == ValueColumn && !ShownWhole(current.row())) {
    EditInDialog(current.row());
    return;
  }
  QTableWidget::keyPressEvent(event);
}

void TValueGrid::focusInEvent(QFocusEvent* event) {
  QTableWidget::focusInEvent(event);
  const bool tabbed =
      event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
  if (!tabbed || rowCount() == 0 || currentColumn() == ValueColumn)
    return;
  int row = currentRow();
  if (row < 0)
    row = event->reason() == Qt::BacktabFocusReason ? rowCount() - 1 : 0;
  setCurrentCell(row, ValueColumn);
}

bool TValueGrid::focusNextPrevChild(bool next) {
  const QModelIndex to = moveCursor(next ? MoveNext : MovePrevious, Qt::NoModifier);
  if (to.isValid()) {
    setCurrentIndex(to);
    return true;
  }
  return QTableWidget::focusNextPrevChild(next);
}

void TValueGrid::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
  const bool next = hint == QAbstractItemDelegate::EditNextItem;
  if ((next || hint == QAbstractItemDelegate::EditPreviousItem) &&
      !moveCursor(next ? MoveNext : MovePrevious, Qt::NoModifier).isValid()) {
    // Tab past the first or last value leaves the grid.
    QTableWidget::closeEditor(editor, QAbstractItemDelegate::NoHint);
    QTableWidget::focusNextPrevChild(next);
    return;
  }
  QTableWidget::closeEditor(editor, hint);
}

QModelIndex TValueGrid::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
  if (action != MoveNext && action != MovePrevious)
    return QTableWidget::moveCursor(action, modifiers);
  const QModelIndex current = currentIndex();
  int row;
  if (!current.isValid())
    row = action == MoveNext ? 0 : rowCount() - 1;
  else if (current.column() == KeyColumn && action == MoveNext)
    row = current.row();
  else
    row = current.row() + (action == MoveNext ? 1 : -1);
  return row >= 0 && row < rowCount() ? model()->index(row, ValueColumn) : QModelIndex();
}
