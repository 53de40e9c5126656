#include "gui/u_ValueGrid.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
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

// A value cell: the whole value is what the cell edits, the short form what it shows.
class TValueItem : public QTableWidgetItem {
public:
  explicit TValueItem(const QString& value) : QTableWidgetItem(UserType) {
    setData(Qt::EditRole, value);
  }

  QVariant data(int role) const override {
    if (role == Qt::EditRole)
      return FValue;
    // A screen reader names the cell by its variable, as a sighted user reads the row.
    if (role == Qt::AccessibleTextRole && tableWidget())
      if (const QTableWidgetItem* key = tableWidget()->item(row(), TValueGrid::KeyColumn))
        return QStringLiteral("%1: %2").arg(key->text(), QTableWidgetItem::data(Qt::DisplayRole).toString());
    return QTableWidgetItem::data(role);
  }

  void setData(int role, const QVariant& value) override {
    if (role != Qt::DisplayRole && role != Qt::EditRole) {
      QTableWidgetItem::setData(role, value);
      return;
    }
    FValue = value.toString();
    QTableWidgetItem::setData(Qt::DisplayRole, ShortValueText(FValue));
  }

private:
  QString FValue;
};

// The editor works in line feeds; the value gets back the breaks it had ("\r\n" unless it
// held bare line feeds only), and every other character exactly as typed.
QString EditorText(const QString& value) {
  return QString(value).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// Ctrl+Enter accepts the dialog, as it does in a dialog's multi-line boxes elsewhere; Enter
// alone stays a line break of the value.
class TAcceptKeys : public QObject {
public:
  explicit TAcceptKeys(QDialog& dialog) : FDialog(dialog) {}

protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::KeyPress)
      return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (!enter || !(key->modifiers() & Qt::ControlModifier))
      return false;
    FDialog.accept();
    return true;
  }

private:
  QDialog& FDialog;
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

TValueGrid::TValueGrid(QWidget* parent) : QTableWidget(0, 2, parent) {
  setWordWrap(false);
  setTabKeyNavigation(false);
}

void TValueGrid::AddRow(const QString& key, const QString& value) {
  const int row = rowCount();
  insertRow(row);
  auto* keyItem = new QTableWidgetItem(key);
  keyItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  setItem(row, KeyColumn, keyItem);
  setItem(row, ValueColumn, new TValueItem(value));
}

QString TValueGrid::Key(int row) const {
  const QTableWidgetItem* key = item(row, KeyColumn);
  return key ? key->text() : QString();
}

QString TValueGrid::Value(int row) const {
  const QTableWidgetItem* value = item(row, ValueColumn);
  return value ? value->data(Qt::EditRole).toString() : QString();
}

void TValueGrid::SetValue(int row, const QString& value) {
  if (QTableWidgetItem* cell = item(row, ValueColumn))
    cell->setData(Qt::EditRole, value);
}

bool TValueGrid::ShownWhole(int row) const {
  const QTableWidgetItem* value = item(row, ValueColumn);
  return !value || value->text().size() == Value(row).size();
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
  const auto describe = [label, editor, key = Key(row)] {
    // The document counts a closing paragraph mark that is no character of the value.
    label->setText(ValueDialogLabel(key, editor->document()->characterCount() - 1));
  };
  describe();
  connect(editor, &QPlainTextEdit::textChanged, label, describe);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  TAcceptKeys acceptKeys(dialog);
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
