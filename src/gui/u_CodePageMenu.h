#pragma once
// The book's code page as the window offers it: a menu of every code page a book can be read
// with, the locale's own marked as the default, the one in use checked. The choice is kept in
// the settings file of a key path (value CodePage; 0 or none is the locale's default) and put
// back at start.

#include "common/u_AnsiText.h"

#include <QActionGroup>
#include <QMenu>
#include <QString>

class TCodePageMenu : public QMenu {
  Q_OBJECT
public:
  TCodePageMenu(const QString& keyPath, TCodePage localeCodePage, QWidget* parent);

  // The remembered choice, checked as the one in use; the locale's when none is remembered or
  // the value is no code page.
  TCodePage Restore();
  // Remembers codePage and checks it as the one in use.
  void Choose(TCodePage codePage);
  // "1252 Western European", for a status line.
  static QString Caption(int codePage);

signals:
  // The user picked codePage; nothing is applied until Choose.
  void CodePageRequested(int codePage);

private:
  // Checks the action of the code page in use.
  void ShowInUse();

  QString FKeyPath;
  TCodePage FLocaleCodePage;
  int FInUse;
  QActionGroup* FGroup;
};
