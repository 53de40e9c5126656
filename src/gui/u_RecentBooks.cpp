#include "gui/u_RecentBooks.h"

#include "gui/u_Forms.h"

#include <QFile>
#include <QSettings>

namespace {
const char* const SBooks = "Books";

QSettings RecentBooksSettings() {
  return QSettings(FormStateFileName(QString::fromLatin1(SRecentBooksKey)), QSettings::IniFormat);
}
} // namespace

QStringList RecentBooks() {
  QStringList books;
  const QVariantList names = RecentBooksSettings().value(SBooks).toList();
  for (const QVariant& name : names) {
    if (books.size() == MaxRecentBooks)
      break;
    const QByteArray bytes = name.toByteArray();
    if (!bytes.isEmpty())
      books << QFile::decodeName(bytes);
  }
  return books;
}

namespace {
void SaveRecentBooks(const QStringList& books) {
  QVariantList names;
  for (const QString& book : books.mid(0, MaxRecentBooks))
    names << QFile::encodeName(book);
  QSettings settings = RecentBooksSettings();
  if (settings.isWritable())
    settings.setValue(SBooks, names);
}
} // namespace

void AddRecentBook(const QString& path) {
  QStringList books = RecentBooks();
  books.removeAll(path);
  books.prepend(path);
  SaveRecentBooks(books);
}

void ForgetRecentBook(const QString& path) {
  QStringList books = RecentBooks();
  books.removeAll(path);
  SaveRecentBooks(books);
}
