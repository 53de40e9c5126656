#include "gui/u_CodePageMenu.h"

#include "gui/u_Forms.h"

#include <QSettings>

namespace {
constexpr const char* SCodePage = "CodePage";

struct TCodePageName {
  int CodePage;
  const char* Script;
};

// What each code page writes, as Windows names them.
constexpr TCodePageName CodePageNames[] = {
    {874, "Thai"},
    {932, "Japanese"},
    {936, "Chinese, Simplified"},
    {949, "Korean"},
    {950, "Chinese, Traditional"},
    {1250, "Central European"},
    {1251, "Cyrillic"},
    {1252, "Western European"},
    {1253, "Greek"},
    {1254, "Turkish"},
    {1255, "Hebrew"},
    {1256, "Arabic"},
    {1257, "Baltic"},
    {1258, "Vietnamese"},
};
} // namespace

TCodePageMenu::TCodePageMenu(const QString& keyPath, TCodePage localeCodePage, QWidget* parent)
    : QMenu(tr("Code &Page"), parent), FKeyPath(keyPath), FLocaleCodePage(localeCodePage),
      FInUse(localeCodePage.Number()), FGroup(new QActionGroup(this)) {
  setObjectName(QStringLiteral("mnuCodePage"));
  for (const int codePage : AnsiCodePages()) {
    QString text = Caption(codePage);
    if (codePage == FLocaleCodePage.Number())
      text += tr(" (your locale's)");
    QAction* action = addAction(text);
    action->setCheckable(true);
    action->setData(codePage);
    FGroup->addAction(action);
    connect(action, &QAction::triggered, this, [this, codePage] {
      ShowInUse(); // stays as it is until the window applies the request
      emit CodePageRequested(codePage);
    });
  }
  ShowInUse();
}

QString TCodePageMenu::Caption(int codePage) {
  for (const TCodePageName& name : CodePageNames)
    if (name.CodePage == codePage)
      return QStringLiteral("%1 %2").arg(codePage).arg(QString::fromLatin1(name.Script));
  return QString::number(codePage);
}

TCodePage TCodePageMenu::Restore() {
  const QSettings settings(FormStateFileName(FKeyPath), QSettings::IniFormat);
  bool isNumber = false;
  const int codePage = settings.value(SCodePage).toInt(&isNumber);
  const TCodePage restored =
      isNumber && IsAnsiCodePage(codePage) ? TCodePage(codePage) : FLocaleCodePage;
  FInUse = restored.Number();
  ShowInUse();
  return restored;
}

void TCodePageMenu::Choose(TCodePage codePage) {
  QSettings settings(FormStateFileName(FKeyPath), QSettings::IniFormat);
  settings.setValue(SCodePage, codePage == FLocaleCodePage ? 0 : codePage.Number());
  FInUse = codePage.Number();
  ShowInUse();
}

void TCodePageMenu::ShowInUse() {
  for (QAction* action : FGroup->actions())
    action->setChecked(action->data().toInt() == FInUse);
}
