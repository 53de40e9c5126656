#pragma once
// The books opened last, newest first, for the Open Recent menu. They are kept between runs in
// a settings file of their own beside the window's state, as file names in the system's own
// bytes, so that a name that is no valid text survives.

#include <QString>
#include <QStringList>

// Where the list lives: a key path as the window state takes it.
inline constexpr const char* SRecentBooksKey =
    "Software\\Norvane\\Leafpress\\Folioset\\RecentBooks";
// A menu longer than this is no quicker than the open dialog.
inline constexpr int MaxRecentBooks = 8;

// The books as last saved, newest first; empty when none was saved or the list is unreadable.
QStringList RecentBooks();
// Puts path first, dropping an older entry of it and those past MaxRecentBooks, and saves the
// list; nothing is saved when the settings file cannot be written.
void AddRecentBook(const QString& path);
// Drops path from the list and saves it.
void ForgetRecentBook(const QString& path);
