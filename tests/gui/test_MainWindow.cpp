#include "gui/frm_Main.h"
#include "gui/u_DesktopRun.h"
#include "gui/u_Forms.h"
#include "gui/u_ValueGrid.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QtEndian>

#include <memory>

namespace {
const QString Samples = QStringLiteral(FOLIOSET_TEST_DATA "/samples");
const QString Icons = QStringLiteral(FOLIOSET_TEST_DATA "/samples/icons");

const QList<QPair<QString, QString>> TypicalGrid = {
    {"Author", "Mara Quill"},
    {"Company", "Quill Press"},
    {"Copyright", "Copyright 2025 Quill Press. All rights reserved."},
    {"Discount", " $5 off with code GARDEN"},
    {"Email", "books@example.org"},
    {"Title", "The Garden Handbook"},
    {"Website", "https://example.org/garden"},
};

struct TBoxSeen {
  QString Caption;
  QString Text;
  QString InformativeText;
  QMessageBox::Icon Icon;
  QMessageBox::StandardButtons Buttons;
};

QByteArray FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QImage ShownIcon(const TfrmMain& window) {
  return window.imgIcon->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
}

QList<QPair<QString, QString>> GridRows(const TfrmMain& window) {
  QList<QPair<QString, QString>> rows;
  for (int row = 0; row < window.vleVariables->rowCount(); ++row)
    rows.append(
        {window.vleVariables->item(row, 0)->text(), window.vleVariables->item(row, 1)->text()});
  return rows;
}

int RowOf(const TfrmMain& window, const QString& key) {
  for (int row = 0; row < window.vleVariables->rowCount(); ++row)
    if (window.vleVariables->item(row, 0)->text() == key)
      return row;
  return -1;
}
} // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

  QTemporaryDir FWork;
  // What the next dialogs and boxes answer, and what they were asked.
  QStringList FChosenFiles;
  QList<int> FPressedButtons;
  QStringList FDialogsAsked;
  QList<TBoxSeen> FBoxes;
  QStringList FShellOpened;
  bool FShellRuns = true;

  std::unique_ptr<TfrmMain> NewWindow() {
    auto window = std::make_unique<TfrmMain>();
    window->ModalHooks.ExecFileDialog = [this](QFileDialog& dialog) {
      FDialogsAsked << dialog.objectName();
      return FChosenFiles.isEmpty() ? QString() : FChosenFiles.takeFirst();
    };
    window->ModalHooks.ExecMessageBox = [this](QMessageBox& box) {
      FBoxes.append({box.windowTitle(), box.text(), box.informativeText(), box.icon(),
                     box.standardButtons()});
      return FPressedButtons.isEmpty() ? int(QMessageBox::Ok) : FPressedButtons.takeFirst();
    };
    window->ModalHooks.ShellOpen = [this](const QString& path) {
      FShellOpened << path;
      return FShellRuns;
    };
    return window;
  }

  // A fresh, writable copy of a sample e-book.
  QString CopyOfSample(const QString& name) {
    static int copies = 0;
    const QString path = FWork.filePath(QStringLiteral("book%1-%2").arg(++copies).arg(name));
    if (!QFile::copy(Samples + '/' + name, path))
      qFatal("cannot copy sample %s", qPrintable(name));
    QFile(path).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    return path;
  }

  void OpenThroughTheDialog(TfrmMain& window, const QString& path) {
    FChosenFiles = {path};
    QTest::mouseClick(window.btnOpen, Qt::LeftButton);
  }

  static void CheckEnabledStates(const TfrmMain& window, bool opened) {
    QVERIFY(window.btnOpen->isEnabled());
    QCOMPARE(window.btnCloseModule->isEnabled(), opened);
    QCOMPARE(window.btnUpdate->isEnabled(), opened);
    QCOMPARE(window.btnViewEbook->isEnabled(), opened);
    QCOMPARE(window.vleVariables->isEnabled(), opened);
    QCOMPARE(window.imgIcon->isEnabled(), opened);
    const QColor gridColour = window.vleVariables->palette().color(QPalette::Base);
    QCOMPARE(gridColour, QApplication::palette().color(opened ? QPalette::Base : QPalette::Button));
  }

  static void CheckClosed(const TfrmMain& window) {
    CheckEnabledStates(window, false);
    QCOMPARE(window.edtName->text(), QString());
    QCOMPARE(window.edtTitle->text(), QString());
    QCOMPARE(window.vleVariables->rowCount(), 0);
    QVERIFY(window.imgIcon->pixmap().isNull());
  }

private slots:
  void initTestCase() {
    QVERIFY(FWork.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(FWork.filePath("config")));
    qputenv("TMPDIR", QFile::encodeName(FWork.path()));
  }

  void init() {
    FChosenFiles.clear();
    FPressedButtons.clear();
    FDialogsAsked.clear();
    FBoxes.clear();
    FShellOpened.clear();
    FShellRuns = true;
  }

  void StartsClosedWithItsTextsAndDialogs() {
    const auto window = NewWindow();
    QCOMPARE(window->windowTitle(), QString("Folioset 1.0.0.1"));
    CheckClosed(*window);
    QCOMPARE(window->btnOpen->text(), QString("Open eBook"));
    QCOMPARE(window->btnCloseModule->text(), QString("Close eBook"));
    QCOMPARE(window->btnUpdate->text(), QString("Update"));
    QCOMPARE(window->btnViewEbook->text(), QString("View eBook"));
    QCOMPARE(window->Label1->text(), QString("File Name"));
    QCOMPARE(window->Label2->text(), QString("Title"));
    QCOMPARE(window->Label3->text(), QString("Icon"));
    QVERIFY(window->edtName->isReadOnly() && window->edtTitle->isReadOnly());
    QCOMPARE(window->imgIcon->toolTip(), QString("Double click on the icon to load new one."));
    QCOMPARE(window->vleVariables->toolTip(), QString("Select the variable and enter new value."));
    QCOMPARE(window->vleVariables->horizontalHeaderItem(0)->text(), QString("Key"));
    QCOMPARE(window->vleVariables->horizontalHeaderItem(1)->text(), QString("Value"));
    QCOMPARE(window->vleVariables->columnWidth(0), 150);

    QCOMPARE(window->dlgOpen->nameFilters(), QStringList{"eBooks (*.exe)"});
    QCOMPARE(window->dlgOpen->defaultSuffix(), QString("exe"));
    QCOMPARE(window->dlgOpenPicture->nameFilters(), QStringList{"Icons (*.ico)"});
    QCOMPARE(window->dlgOpenPicture->defaultSuffix(), QString("ico"));
    QCOMPARE(window->popIcon->actions(),
             (QList<QAction*>{window->mnuLoadIcon, window->mnuResetIcon}));
    QCOMPARE(window->mnuLoadIcon->text(), QString("Load Icon"));
    QCOMPARE(window->mnuResetIcon->text(), QString("Reset"));
    QCOMPARE(window->popIcon->defaultAction(), window->mnuLoadIcon);
    QVERIFY(window->mnuLoadIcon->font().bold());

    // Lines broken inside a sentence run on; the box wraps at its own width.
    QVERIFY(window->edtHelp->isReadOnly());
    QCOMPARE(window->edtHelp->lineWrapMode(), QTextEdit::WidgetWidth);
    const QStringList help = window->edtHelp->toPlainText().split('\n');
    QCOMPARE(help.size(), 10);
    QCOMPARE(help[0], QString("Branding Your eBook"));
    QCOMPARE(help[1], QString(" "));
    QCOMPARE(help[4], QString(" "));
    QCOMPARE(help[5], QString("Step 1: Click on the \"Open eBook\" button. (Please note, if the "
                              "ebook is secured, you will be asked to enter a password or "
                              "username and password.)"));
    QCOMPARE(help[7], QString("Step 3: If the ebook has text that may be branded, the brandable "
                              "fields will be displayed in the \"Key\" section above, with the "
                              "current text listed in the \"Value\" section. Click on each value "
                              "to edit the text."));
    QCOMPARE(
        help[9],
        QString("Step 5: Click on the \"View eBook\" button to view your newly branded ebook."));
  }

  void TabOrderFollowsTheDesign() {
    const auto window = NewWindow();
    QWidgetList order;
    QWidget* widget = window->btnOpen;
    do {
      if (widget->focusPolicy() & Qt::TabFocus)
        order << widget;
      widget = widget->nextInFocusChain();
    } while (widget != window->btnOpen);
    const QWidgetList expected = {window->btnOpen,      window->btnCloseModule, window->btnUpdate,
                                  window->edtName,      window->edtTitle,       window->imgIcon,
                                  window->btnViewEbook, window->vleVariables,   window->edtHelp};
    QWidgetList designed;
    for (QWidget* control : order)
      if (expected.contains(control))
        designed << control;
    QCOMPARE(designed, expected);
  }

  void OpenShowsTheBook() {
    const auto window = NewWindow();
    const QString book = CopyOfSample("typical.exe");
    OpenThroughTheDialog(*window, book);
    QCOMPARE(FDialogsAsked, QStringList{"dlgOpen"});
    QCOMPARE(FBoxes.size(), 0);
    QCOMPARE(window->edtName->text(), book);
    QCOMPARE(window->edtTitle->text(), QString("The Garden Handbook by Mara Quill"));
    QCOMPARE(GridRows(*window), TypicalGrid);
    QCOMPARE(ShownIcon(*window).size(), QSize(32, 32));
    CheckEnabledStates(*window, true);
    // Keys are read-only, values editable.
    QVERIFY(!(window->vleVariables->item(0, 0)->flags() & Qt::ItemIsEditable));
    QVERIFY(window->vleVariables->item(0, 1)->flags() & Qt::ItemIsEditable);

    QTest::mouseClick(window->btnCloseModule, Qt::LeftButton);
    CheckClosed(*window);
  }

  void CancelledDialogsChangeNothing() {
    const auto window = NewWindow();
    const QString book = CopyOfSample("typical.exe");
    OpenThroughTheDialog(*window, book);
    const QImage icon = ShownIcon(*window);
    QTest::mouseClick(window->btnOpen, Qt::LeftButton);
    window->mnuLoadIcon->trigger();
    QCOMPARE(FDialogsAsked, (QStringList{"dlgOpen", "dlgOpen", "dlgOpenPicture"}));
    QCOMPARE(window->edtName->text(), book);
    QCOMPARE(GridRows(*window), TypicalGrid);
    QCOMPARE(ShownIcon(*window), icon);
    QCOMPARE(FBoxes.size(), 0);
  }

  void EditedValuesAreWrittenAndReadBack() {
    const QString book = CopyOfSample("typical.exe");
    {
      const auto window = NewWindow();
      OpenThroughTheDialog(*window, book);
      window->vleVariables->item(RowOf(*window, "Author"), 1)->setText("Ann Reseller");
      FPressedButtons = {QMessageBox::Cancel};
      QTest::mouseClick(window->btnUpdate, Qt::LeftButton);
      QCOMPARE(FBoxes.size(), 1);
      QCOMPARE(FBoxes[0].Caption, QString("Confirm"));
      QCOMPARE(FBoxes[0].Text, QString("eBook successfully branded. Would you like to run it?"));
      QCOMPARE(FBoxes[0].Icon, QMessageBox::Question);
      QCOMPARE(FBoxes[0].Buttons, QMessageBox::Ok | QMessageBox::Cancel);
      QVERIFY(FShellOpened.isEmpty());
      // The window shows the book as now stored.
      QCOMPARE(window->edtName->text(), book);
      QCOMPARE(window->vleVariables->item(RowOf(*window, "Author"), 1)->text(),
               QString("Ann Reseller"));
      QCOMPARE(window->edtTitle->text(), QString("The Garden Handbook by Ann Reseller"));
      CheckEnabledStates(*window, true);
    }
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    QCOMPARE(window->vleVariables->item(RowOf(*window, "Author"), 1)->text(),
             QString("Ann Reseller"));

    // OK runs the book; so does View eBook.
    FBoxes.clear();
    FPressedButtons = {QMessageBox::Ok};
    QTest::mouseClick(window->btnUpdate, Qt::LeftButton);
    QCOMPARE(FShellOpened, QStringList{book});
    QTest::mouseClick(window->btnViewEbook, Qt::LeftButton);
    QCOMPARE(FShellOpened, (QStringList{book, book}));

    // A desktop with no program for the book says so.
    FShellRuns = false;
    QTest::mouseClick(window->btnViewEbook, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 2);
    QCOMPARE(FBoxes[1].Icon, QMessageBox::Critical);
    QCOMPARE(FBoxes[1].Text,
             "No program of this desktop is set to run \"" + book + "\"; Folioset only brands it.");
  }

  void LongValueShowsShortAndIsWrittenWhole() {
    const QString book = CopyOfSample("typical.exe");
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    OpenThroughTheDialog(*window, book);
    TValueGrid& grid = *window->vleVariables;
    const int row = RowOf(*window, "Author");
    const QString firstLine = QString("Mara\u00A0Quill ").repeated(40);
    const QString value = firstLine + "\r\n\r\nsecond line\r\n" + QString(200000, 'x');
    grid.SetValue(row, value);
    QCOMPARE(grid.item(row, 1)->text(), firstLine.left(300) + QChar(0x2026));
    QCOMPARE(grid.Value(row), value);

    // The dialog shows the line breaks; what it gives back keeps them as they were.
    QString shown;
    grid.ExecDialog = [&](QDialog& dialog) {
      auto* editor = dialog.findChild<QPlainTextEdit*>();
      shown = editor->toPlainText();
      editor->moveCursor(QTextCursor::End);
      editor->insertPlainText("\nend");
      return int(QDialog::Accepted);
    };
    const QRect cell = grid.visualItemRect(grid.item(row, 1));
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(grid.viewport(), Qt::LeftButton, {}, cell.center());
    QVERIFY(shown.contains("Quill \n\nsecond line\nxxx"));
    QCOMPARE(grid.Value(row), value + "\r\nend");

    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(grid.Value(RowOf(*window, "Author")), value + "\r\nend");
    QVERIFY(grid.item(RowOf(*window, "Author"), 1)->text().size() <= 301);
  }

  void ViewNeverStartsFoliosetItself_data() {
    QTest::addColumn<QString>("defaultProgram");
    QTest::addColumn<bool>("started");
    QTest::newRow("a program that runs it") << "wine.desktop" << true;
    QTest::newRow("none") << "" << false;
    QTest::newRow("Folioset itself") << "folioset.desktop" << false;
  }

  void ViewNeverStartsFoliosetItself() {
    QFETCH(QString, defaultProgram);
    QFETCH(bool, started);
    // A desktop of its own: xdg-mime names the default program, xdg-open notes what it ran.
    const QString bin = FWork.filePath("bin"), ran = FWork.filePath("ran");
    QDir().mkpath(bin);
    QFile::remove(ran);
    const auto script = [&](const QString& name, const QString& body) {
      QFile file(bin + '/' + name);
      QVERIFY(file.open(QIODevice::WriteOnly) && file.write(("#!/bin/sh\n" + body).toUtf8()) > 0);
      file.setPermissions(file.permissions() | QFile::ExeOwner);
    };
    script("xdg-mime", "echo '" + defaultProgram + "'\n");
    script("xdg-open", "echo \"$1\" > '" + ran + "'\n");
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin) + ':' + path);
    QGuiApplication::setDesktopFileName("folioset");
    const QString book = CopyOfSample("typical.exe");
    QCOMPARE(RunOnDesktop(book), started);
    qputenv("PATH", path);
    QTRY_COMPARE(QFile::exists(ran), started);
  }

  void EditsAreDiscardedOnlyWhenTheUserSays() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    QTest::mouseClick(window->btnCloseModule, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 0);

    const QString book = CopyOfSample("typical.exe");
    OpenThroughTheDialog(*window, book);
    window->vleVariables->item(RowOf(*window, "Author"), 1)->setText("Ann Reseller");
    FPressedButtons = {QMessageBox::Cancel, QMessageBox::Cancel, QMessageBox::Cancel};
    window->close();
    QTest::mouseClick(window->btnCloseModule, Qt::LeftButton);
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    QCOMPARE(FBoxes.size(), 3);
    QCOMPARE(FBoxes[0].Icon, QMessageBox::Warning);
    QCOMPARE(FBoxes[0].Buttons, QMessageBox::Discard | QMessageBox::Cancel);
    QVERIFY(window->isVisible());
    QCOMPARE(window->edtName->text(), book);
    QCOMPARE(window->vleVariables->item(RowOf(*window, "Author"), 1)->text(),
             QString("Ann Reseller"));

    FPressedButtons = {QMessageBox::Discard};
    QTest::mouseClick(window->btnCloseModule, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 4);
    CheckClosed(*window);
  }

  void RemovedSignatureIsMentioned() {
    const QString book = CopyOfSample("typical.exe");
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].InformativeText, QString());

    // A certificate table at the end of the file, named by the security directory.
    QByteArray image = FileBytes(book);
    const qsizetype securityDirectory =
        qFromLittleEndian<quint32>(image.constData() + 0x3C) + 24 + 96 + 8 * 4;
    qToLittleEndian<quint32>(quint32(image.size()), image.data() + securityDirectory);
    qToLittleEndian<quint32>(24, image.data() + securityDirectory + 4);
    image += QByteArray("\x18\0\0\0\0\x02\x02\0", 8) + QByteArray(16, 's');
    QFile signedBook(book);
    QVERIFY(signedBook.open(QIODevice::WriteOnly) && signedBook.write(image) == image.size());
    signedBook.close();

    FBoxes.clear();
    OpenThroughTheDialog(*window, book);
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Text, QString("eBook successfully branded. Would you like to run it?"));
    QVERIFY2(FBoxes[0].InformativeText.contains("signature"),
             qPrintable(FBoxes[0].InformativeText));
    QVERIFY(!FileBytes(book).contains(QByteArray(16, 's')));
  }

  void ValueStillInItsEditorCounts() {
    const QString book = CopyOfSample("typical.exe");
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    OpenThroughTheDialog(*window, book);
    window->vleVariables->setFocus();
    window->vleVariables->setCurrentCell(RowOf(*window, "Company"), 1);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor && editor->parentWidget() == window->vleVariables->viewport());
    editor->selectAll();
    QTest::keyClicks(editor, "Leaf & Co");
    FPressedButtons = {QMessageBox::Cancel};
    window->btnUpdateClick();
    QCOMPARE(window->vleVariables->item(RowOf(*window, "Company"), 1)->text(),
             QString("Leaf & Co"));
    QCOMPARE(window->vleVariables->item(RowOf(*window, "Copyright"), 1)->text(),
             QString("Copyright 2025 Quill Press. All rights reserved."));
  }

  void IconsLoadAndReset() {
    const QString book = CopyOfSample("typical.exe");
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    const QImage own = ShownIcon(*window);

    FChosenFiles = {Icons + "/brand_3.ico"};
    window->mnuLoadIcon->trigger();
    const QImage brand = ShownIcon(*window);
    QCOMPARE(brand.size(), QSize(32, 32));
    QVERIFY(brand != own);

    window->mnuResetIcon->trigger();
    QCOMPARE(ShownIcon(*window), own);

    // A double click on the icon loads one too.
    FChosenFiles = {Icons + "/brand_1.ico"};
    QTest::mouseDClick(window->imgIcon, Qt::LeftButton);
    QCOMPARE(FDialogsAsked.last(), QString("dlgOpenPicture"));
    const QImage chosen = ShownIcon(*window);
    QVERIFY(chosen != own);

    // A damaged icon is refused and the chosen one stays.
    FChosenFiles = {Icons + "/corrupt_5_bytes.ico"};
    window->mnuLoadIcon->trigger();
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Text, QString("Icon image is not valid."));
    QCOMPARE(ShownIcon(*window), chosen);

    // Update writes the chosen icon; the reopened book shows it.
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->btnUpdate, Qt::LeftButton);
    QCOMPARE(ShownIcon(*window), chosen);
    const auto reopened = NewWindow();
    OpenThroughTheDialog(*reopened, book);
    QCOMPARE(ShownIcon(*reopened), chosen);
  }

  void IconOperationsDoNothingWhileClosed() {
    const auto window = NewWindow();
    FChosenFiles = {Icons + "/brand_1.ico"};
    window->imgIconDblClick();
    window->mnuLoadIconClick();
    window->mnuResetIconClick();
    QVERIFY(FDialogsAsked.isEmpty());
    QVERIFY(window->imgIcon->pixmap().isNull());
    QVERIFY(FBoxes.isEmpty());
  }

  void OpenErrorsReachTheErrorBox_data() {
    QTest::addColumn<QString>("sample");
    QTest::addColumn<QString>("message");
    QTest::newRow("no content resource") << "no_system_mfs.exe"
                                         << "File \"\\info.cab\" is not a cabinet.";
    // Ending in a quote, a code below that of ".", the message gets no full stop.
    QTest::newRow("variables refer to each other")
        << "cycle.exe"
        << "Cycling reference encountered during loading variable \"Edition\"";
  }

  void OpenErrorsReachTheErrorBox() {
    QFETCH(QString, sample);
    QFETCH(QString, message);
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    const QString book = CopyOfSample(sample);
    const QByteArray before = FileBytes(book);
    OpenThroughTheDialog(*window, book);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Caption, QString("Folioset"));
    QCOMPARE(FBoxes[0].Text, message);
    QCOMPARE(FBoxes[0].Icon, QMessageBox::Critical);
    QCOMPARE(FBoxes[0].Buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // The first book is not restored: the window ends closed.
    CheckClosed(*window);
    QCOMPARE(FileBytes(book), before);
  }

  void MissingFileReachesTheErrorBox() {
    // The file name is the system's UTF-8, the rest of the message the code page's.
    const QString missing = FWork.filePath(QString::fromUtf8("B\xC3\xBC"
                                                             "cher/nowhere.exe"));
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, missing);
    QCOMPARE(FBoxes.size(), 1);
    QVERIFY2(FBoxes[0].Text.startsWith("Cannot open file \"" + missing + "\". "),
             qPrintable(FBoxes[0].Text));
    QVERIFY(FBoxes[0].Text.endsWith('.'));
    CheckClosed(*window);
  }

  void RefusedUpdateKeepsTheBookOpen_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("message");
    QTest::newRow("beyond the code page")
        << QString::fromUtf8("\xE4\xB8\xAD\xE6\x96\x87")
        << "No mapping for the Unicode character U+4E2D in code page 1252.";
    // The first row is Author: a value that refers to itself would not open again.
    QTest::newRow("refers to itself")
        << "%{Author} jr"
        << "Cycling reference encountered during loading variable \"Author\"";
  }

  void RefusedUpdateKeepsTheBookOpen() {
    QFETCH(QString, value);
    QFETCH(QString, message);
    const QString book = CopyOfSample("typical.exe");
    const QByteArray before = FileBytes(book);
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    window->vleVariables->item(0, 1)->setText(value);
    QTest::mouseClick(window->btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Caption, QString("Folioset"));
    QCOMPARE(FBoxes[0].Icon, QMessageBox::Critical);
    QCOMPARE(FBoxes[0].Text, message);
    QVERIFY(FShellOpened.isEmpty());
    CheckEnabledStates(*window, true);
    QCOMPARE(window->vleVariables->item(0, 1)->text(), value);
    QCOMPARE(FileBytes(book), before);
  }

  // Another book put at the path while the window had the first open is not written over
  // with the first one's content; the window keeps the book and its edits.
  void UpdateOfABookReplacedOnDiskIsRefusedAndKeepsTheEdits() {
    const QString book = CopyOfSample("typical.exe");
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    window->vleVariables->item(0, 1)->setText("Ann");
    const QString other = CopyOfSample("icons4.exe");
    QVERIFY(QFile::remove(book) && QFile::rename(other, book));
    const QByteArray replaced = FileBytes(book);
    QTest::mouseClick(window->btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Text, "The file \"" + book + "\" changed on disk since it was opened.");
    CheckEnabledStates(*window, true);
    QCOMPARE(window->vleVariables->item(0, 1)->text(), QString("Ann"));
    QCOMPARE(FileBytes(book), replaced);
  }

  void ErrorBoxAppendsAFullStop() {
    QCOMPARE(ErrorBoxText("Icon image is not valid"), std::string("Icon image is not valid."));
    QCOMPARE(ErrorBoxText("Ends here."), std::string("Ends here."));
    QCOMPARE(ErrorBoxText("Code: 5"), std::string("Code: 5."));
    QCOMPARE(ErrorBoxText("Stopped!"), std::string("Stopped!"));
    QCOMPARE(ErrorBoxText("(see above)"), std::string("(see above)"));
    QCOMPARE(ErrorBoxText(""), std::string());
  }

  void WideningMovesTheAnchoredControls() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QRect name = window->edtName->geometry(), icon = window->Panel3->geometry();
    const QRect label = window->Label3->geometry(), grid = window->vleVariables->geometry();
    const QRect help = window->edtHelp->geometry();
    QCOMPARE(name, QRect(8, 56, 591, 21));
    QCOMPARE(icon, QRect(606, 56, 61, 61));
    window->resize(window->width() + 100, window->height() + 40);
    QTRY_COMPARE(window->edtName->width(), name.width() + 100);
    QCOMPARE(window->edtTitle->width(), name.width() + 100);
    QCOMPARE(window->Panel3->geometry(), icon.translated(100, 0));
    QCOMPARE(window->Label3->geometry(), label.translated(100, 0));
    QCOMPARE(window->vleVariables->geometry(), grid.adjusted(0, 0, 100, 40));
    QCOMPARE(window->edtHelp->height(), help.height());
    QCOMPARE(window->edtHelp->geometry().bottom(), help.bottom() + 40);
    QCOMPARE(window->vleVariables->columnWidth(0), 150);

    // At its smallest nothing overlaps and no button is cut off.
    window->resize(1, 1);
    QTRY_COMPARE(window->size(), window->minimumSize());
    QVERIFY(window->btnViewEbook->geometry().right() < window->width());
    QVERIFY(window->edtName->geometry().right() < window->Label3->geometry().left());
    QVERIFY(window->Panel3->geometry().right() < window->width());
    QVERIFY(window->vleVariables->height() >= 60);
    QVERIFY(window->edtHelp->mapTo(window.get(), window->edtHelp->rect().bottomLeft()).y() <
            window->height());
  }

  void DroppedExecutableIsOpened() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QString book = CopyOfSample("typical.exe");
    QMimeData text;
    text.setUrls({QUrl::fromLocalFile(FWork.filePath("notes.txt"))});
    QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &refused);
    QVERIFY(!refused.isAccepted());

    QMimeData executable;
    executable.setUrls({QUrl::fromLocalFile(book)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &executable, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    QVERIFY(enter.isAccepted());
    // Taken as a copy even when the source proposes a move: it keeps its file.
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, &executable, Qt::LeftButton,
                    Qt::ShiftModifier);
    QCOMPARE(drop.proposedAction(), Qt::MoveAction);
    QApplication::sendEvent(window.get(), &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(drop.dropAction(), Qt::CopyAction);
    QTRY_COMPARE(window->edtName->text(), book);
    QCOMPARE(GridRows(*window), TypicalGrid);
  }

  void ShortcutsOpenAndClose() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    FChosenFiles = {CopyOfSample("typical.exe")};
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(FDialogsAsked, QStringList{"dlgOpen"});
    CheckEnabledStates(*window, true);
    QTest::keyClick(window.get(), Qt::Key_W, Qt::ControlModifier);
    CheckClosed(*window);
  }

  void KeyboardReachesEveryValueAndTheIconMenu() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    window->btnViewEbook->setFocus();
    for (int row = 0; row < int(TypicalGrid.size()); ++row) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(window->vleVariables->currentRow(), row);
      QCOMPARE(window->vleVariables->currentColumn(), 1);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), window->edtHelp);

    window->imgIcon->setFocus();
    QCOMPARE(QApplication::focusWidget(), window->imgIcon);
    QTest::keyClick(window->imgIcon, Qt::Key_F10, Qt::ShiftModifier);
    QTRY_VERIFY(window->popIcon->isVisible());
    window->popIcon->hide();
  }

  void StateIsSavedAndRestored() {
    const QString stateFile = FormStateFileName(SMainFormStateKey);
    QFile::remove(stateFile);
    QRect normal;
    {
      const auto window = NewWindow();
      window->show();
      QVERIFY(QTest::qWaitForWindowExposed(window.get()));
      const QRect screen = QGuiApplication::primaryScreen()->geometry();
      QCOMPARE(window->pos(), QPoint((screen.width() - window->width()) / 2,
                                     (screen.height() - window->height()) / 2));
      window->setGeometry(30, 40, 500, 420);
      normal = window->geometry();
      window->close();
    }
    {
      QSettings settings(stateFile, QSettings::IniFormat);
      QCOMPARE(settings.value("SizeAndPos").toByteArray().size(), 44);
      QCOMPARE(settings.value("SplittersData").toString(), QString());
      QCOMPARE(settings.value("PageControlsData").toString(), QString());
      QCOMPARE(settings.value("ActiveControl").toString(), QString());
      QVERIFY(!settings.contains("ExtInfo"));
    }
    {
      const auto window = NewWindow();
      window->show();
      QVERIFY(QTest::qWaitForWindowExposed(window.get()));
      QCOMPARE(window->geometry(), normal);
      window->showMaximized();
      QTRY_VERIFY(window->isMaximized());
      window->close();
    }
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTRY_VERIFY(window->isMaximized());
    QCOMPARE(window->normalGeometry(), normal);
  }

  void ShortPlacementKeepsTheDesignedPlace() {
    const QString stateFile = FormStateFileName(SMainFormStateKey);
    QFile::remove(stateFile);
    {
      QSettings settings(stateFile, QSettings::IniFormat);
      settings.setValue("SizeAndPos", QByteArray(40, '\0'));
    }
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(window->pos(), QPoint(283, 119));
  }
};

QTEST_MAIN(TestMainWindow)
#include "test_MainWindow.moc"
