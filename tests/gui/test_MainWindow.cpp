#include "common/u_AnsiText.h"
#include "ebook/u_EBookDocument.h"
#include "gui/frm_Main.h"
#include "gui/u_CodePageMenu.h"
#include "gui/u_DesktopRun.h"
#include "gui/u_FocusRing.h"
#include "gui/u_Forms.h"
#include "gui/u_MessageText.h"
#include "gui/u_SigningChoice.h"
#include "gui/u_ValueGrid.h"
#include "mfs/u_MFS.h"
#include "resources/u_Resources.h"

#include <QAccessible>
#include <QAccessibleTableCellInterface>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCompleter>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QSettings>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QtEndian>

#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
  QString DetailedText;
  QStringList ButtonTexts;
};

QByteArray FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QImage ShownIcon(const TfrmMain& window) {
  return window.Controls().imgIcon->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
}

// Each row's key and the value it shows.
QList<QPair<QString, QString>> GridRows(const TfrmMain& window) {
  QList<QPair<QString, QString>> rows;
  for (int row = 0; row < window.Controls().vleVariables->rowCount(); ++row)
    rows.append({window.Controls().vleVariables->Key(row),
                 window.Controls().vleVariables->item(row, 1)->text()});
  return rows;
}

int RowOf(const TfrmMain& window, const QString& key) {
  for (int row = 0; row < window.Controls().vleVariables->rowCount(); ++row)
    if (window.Controls().vleVariables->Key(row) == key)
      return row;
  return -1;
}

// A palette of light text on dark panels, as dark desktop themes have.
QPalette DarkPalette() {
  QPalette dark;
  const QColor panel(0x35, 0x35, 0x35), text(0xee, 0xee, 0xee);
  for (QPalette::ColorRole role : {QPalette::Window, QPalette::Button})
    dark.setColor(role, panel);
  dark.setColor(QPalette::Base, QColor(0x2a, 0x2a, 0x2a));
  dark.setColor(QPalette::Mid, QColor(0x50, 0x50, 0x50));
  dark.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    dark.setColor(role, text);
  return dark;
}

// The rows of the value cells as a screen reader is told them.
QStringList AccessibleCellNames(QAccessibleInterface* table) {
  QStringList names;
  for (int i = 0; i < table->childCount(); ++i) {
    QAccessibleInterface* child = table->child(i);
    const auto* cell = child->tableCellInterface();
    if (cell && child->role() == QAccessible::Cell && cell->columnIndex() == 1)
      names << child->text(QAccessible::Name);
  }
  return names;
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
  bool FCanRun = true;

  std::unique_ptr<TfrmMain> NewWindow() {
    auto window = std::make_unique<TfrmMain>(TCodePage::ForLocale());
    window->ModalHooks.ExecFileDialog = [this](QFileDialog& dialog) {
      FDialogsAsked << dialog.objectName();
      return FChosenFiles.isEmpty() ? QString() : FChosenFiles.takeFirst();
    };
    window->ModalHooks.ExecMessageBox = [this](QMessageBox& box) {
      QStringList buttonTexts;
      for (QAbstractButton* button : box.buttons())
        buttonTexts << button->text();
      FBoxes.append({box.windowTitle(), box.text(), box.informativeText(), box.icon(),
                     box.standardButtons(), box.detailedText(), buttonTexts});
      return FPressedButtons.isEmpty() ? int(QMessageBox::Ok) : FPressedButtons.takeFirst();
    };
    window->ModalHooks.ShellOpen = [this](const QString& path) {
      FShellOpened << path;
      return FShellRuns;
    };
    window->ModalHooks.CanRun = [this](const QString&) { return FCanRun; };
    return window;
  }

  // A book of 46 MB whose content does not compress, so that its Update takes a while.
  QString CopyOfBigBook() {
    static QByteArray image;
    if (image.isEmpty()) {
      TMFS content(TCodePage(1252));
      TMFSSession& session = content.Session();
      session.CreateFile("\\System.xml", 0, false)
          ->SetContent(R"(<System Variables="\Variables.xml" ApplicationTitle="%{Title}"/>)");
      session.CreateFile("\\Variables.xml", 0, false)
          ->SetContent(R"(<vars><var name="Title">Big Book</var>)"
                       R"(<var name="Author">A. Writer</var></vars>)");
      std::string noise(46'000'000, '\0');
      std::mt19937_64 random(46);
      for (size_t at = 0; at < noise.size(); at += 8) {
        const uint64_t word = random();
        std::memcpy(&noise[at], &word, std::min<size_t>(8, noise.size() - at));
      }
      session.ForceFolders("\\pages");
      session.CreateFile("\\pages\\noise.dat", 0, false)->SetContent(std::move(noise));
      const QString path = CopyOfSample("typical.exe");
      UpdateRCDataResource(QFile::encodeName(path).toStdString(), "SYSTEM_MFS",
                           PackSystemMFS(content));
      image = FileBytes(path);
    }
    static int copies = 0;
    const QString path = FWork.filePath(QStringLiteral("big%1.exe").arg(++copies));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
      qFatal("cannot write %s", qPrintable(path));
    return path;
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
    QTest::mouseClick(window.Controls().btnOpen, Qt::LeftButton);
  }

  static void CheckEnabledStates(const TfrmMain& window, bool opened) {
    QVERIFY(window.Controls().btnOpen->isEnabled());
    QCOMPARE(window.Controls().btnCloseModule->isEnabled(), opened);
    QCOMPARE(window.Controls().btnUpdate->isEnabled(), opened);
    QCOMPARE(window.Controls().btnViewEbook->isEnabled(), opened);
    QCOMPARE(window.Controls().vleVariables->isEnabled(), opened);
    QCOMPARE(window.Controls().imgIcon->isEnabled(), opened);
    const QColor gridColour = window.Controls().vleVariables->palette().color(QPalette::Base);
    QCOMPARE(gridColour, QApplication::palette().color(opened ? QPalette::Base : QPalette::Button));
  }

  static void CheckClosed(const TfrmMain& window) {
    CheckEnabledStates(window, false);
    QCOMPARE(window.Controls().edtName->text(), QString());
    QCOMPARE(window.Controls().edtTitle->text(), QString());
    QCOMPARE(window.Controls().vleVariables->rowCount(), 0);
    QVERIFY(window.Controls().imgIcon->pixmap().isNull());
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
    FCanRun = true;
  }

  void StartsClosedWithItsTextsAndDialogs() {
    const auto window = NewWindow();
    QCOMPARE(window->windowTitle(), QString("Folioset 1.0.0.1"));
    CheckClosed(*window);
    // The captions as designed, with a mnemonic each, none twice.
    QCOMPARE(window->Controls().btnOpen->text(), QString("&Open eBook"));
    QCOMPARE(window->Controls().btnCloseModule->text(), QString("&Close eBook"));
    QCOMPARE(window->Controls().btnUpdate->text(), QString("&Update"));
    QCOMPARE(window->Controls().btnViewEbook->text(), QString("View e&Book"));
    QCOMPARE(window->Controls().Label1->text(), QString("File Na&me"));
    QCOMPARE(window->Controls().Label2->text(), QString("&Title"));
    QCOMPARE(window->Controls().Label3->text(), QString("Ico&n"));
    QStringList mnemonics;
    for (const QString& caption :
         {window->Controls().btnOpen->text(), window->Controls().btnCloseModule->text(),
          window->Controls().btnUpdate->text(), window->Controls().btnViewEbook->text(),
          window->Controls().Label1->text(), window->Controls().Label2->text(),
          window->Controls().Label3->text()})
      mnemonics << caption.mid(caption.indexOf('&') + 1, 1).toLower();
    for (QAction* menu : window->Controls().mnuMain->actions())
      mnemonics << menu->text().mid(menu->text().indexOf('&') + 1, 1).toLower();
    QCOMPARE(QSet<QString>(mnemonics.begin(), mnemonics.end()).size(), mnemonics.size());

    // Every control has a name for a screen reader; the labels name their boxes.
    QCOMPARE(window->Controls().Label1->buddy(), window->Controls().edtName);
    QCOMPARE(window->Controls().Label2->buddy(), window->Controls().edtTitle);
    QCOMPARE(window->Controls().Label3->buddy(), window->Controls().imgIcon);
    for (QWidget* control : QWidgetList{
             window->Controls().btnOpen, window->Controls().btnCloseModule,
             window->Controls().btnUpdate, window->Controls().btnViewEbook,
             window->Controls().edtName, window->Controls().edtTitle, window->Controls().imgIcon,
             window->Controls().vleVariables, window->Controls().edtHelp}) {
      QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
      QVERIFY2(accessible && !accessible->text(QAccessible::Name).isEmpty(),
               qPrintable(control->objectName()));
    }
    // The window follows the system font.
    QVERIFY(!window->testAttribute(Qt::WA_SetFont));

    // Every command has a home in the menu and a key; Ctrl+Q quits under every scheme.
    for (QAction* command :
         {window->Controls().mnuOpen, window->Controls().mnuUpdate, window->Controls().mnuViewEbook,
          window->Controls().mnuClose, window->Controls().mnuQuit, window->Controls().mnuUndo,
          window->Controls().mnuRevert, window->Controls().mnuShowHelp,
          window->Controls().mnuIconLoad, window->Controls().mnuIconReset,
          window->Controls().mnuHelp})
      QVERIFY2(!command->shortcuts().isEmpty(), qPrintable(command->objectName()));
    QVERIFY(window->Controls().mnuQuit->shortcuts().contains(QKeySequence("Ctrl+Q")));
    QVERIFY(window->Controls().mnuUpdate->shortcuts().contains(QKeySequence("Ctrl+S")));
    QVERIFY(window->Controls().mnuUndo->shortcuts().contains(QKeySequence("Ctrl+Z")));
    QCOMPARE(window->Controls().vleVariables->horizontalHeader()->sectionResizeMode(0),
             QHeaderView::Interactive);
    QVERIFY(window->Controls().edtName->isReadOnly() && window->Controls().edtTitle->isReadOnly());
    QCOMPARE(window->Controls().imgIcon->toolTip(),
             QString("Double click on the icon to load new one."));
    QCOMPARE(window->Controls().vleVariables->toolTip(),
             QString("Select the variable and enter new value."));
    QCOMPARE(window->Controls().vleVariables->horizontalHeaderItem(0)->text(), QString("Key"));
    QCOMPARE(window->Controls().vleVariables->horizontalHeaderItem(1)->text(), QString("Value"));
    QCOMPARE(window->Controls().vleVariables->columnWidth(0), 150);

    QCOMPARE(window->Controls().dlgOpen->nameFilters(), QStringList{"eBooks (*.exe)"});
    QCOMPARE(window->Controls().dlgOpen->defaultSuffix(), QString("exe"));
    QCOMPARE(window->Controls().dlgOpenPicture->nameFilters(), QStringList{"Icons (*.ico)"});
    QCOMPARE(window->Controls().dlgOpenPicture->defaultSuffix(), QString("ico"));
    const QList<QAction*> menu = window->Controls().popIcon->actions();
    QCOMPARE(menu.size(), 6);
    QCOMPARE((QList<QAction*>{menu[0], menu[1], menu[3], menu[4], menu[5]}),
             (QList<QAction*>{window->Controls().mnuLoadIcon, window->Controls().mnuResetIcon, window->Controls().mnuSignWith,
                              window->Controls().mnuDontSign, window->Controls().mnuTimeStamp}));
    QVERIFY(menu[2]->isSeparator());
    QCOMPARE(window->Controls().mnuSignWith->text(), QString("&Sign with\u2026"));
    QVERIFY(!window->Controls().mnuDontSign->isEnabled());
    QCOMPARE(window->Controls().mnuLoadIcon->text(), QString("&Load Icon"));
    QCOMPARE(window->Controls().mnuResetIcon->text(), QString("&Reset"));
    QCOMPARE(window->Controls().popIcon->defaultAction(), window->Controls().mnuLoadIcon);
    QVERIFY(window->Controls().mnuLoadIcon->font().bold());

    // Lines broken inside a sentence run on; the box wraps at its own width.
    QVERIFY(window->Controls().edtHelp->isReadOnly());
    QCOMPARE(window->Controls().edtHelp->lineWrapMode(), QTextEdit::WidgetWidth);
    const QStringList help = window->Controls().edtHelp->toPlainText().split('\n');
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

  void TabOrderRunsTopToBottom() {
    const auto window = NewWindow();
    QWidgetList order;
    QWidget* widget = window->Controls().btnOpen;
    do {
      if (widget->focusPolicy() & Qt::TabFocus)
        order << widget;
      widget = widget->nextInFocusChain();
    } while (widget != window->Controls().btnOpen);
    const QWidgetList expected = {window->Controls().btnOpen,   window->Controls().btnCloseModule,
                                  window->Controls().btnUpdate, window->Controls().btnViewEbook,
                                  window->Controls().edtName,   window->Controls().edtTitle,
                                  window->Controls().imgIcon,   window->Controls().vleVariables,
                                  window->Controls().edtHelp};
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
    QCOMPARE(window->Controls().edtName->text(), book);
    QCOMPARE(window->Controls().edtTitle->text(), QString("The Garden Handbook by Mara Quill"));
    QCOMPARE(GridRows(*window), TypicalGrid);
    QCOMPARE(ShownIcon(*window).size(), QSize(32, 32));
    CheckEnabledStates(*window, true);
    // Keys are read-only, values editable.
    QVERIFY(!(window->Controls().vleVariables->item(0, 0)->flags() & Qt::ItemIsEditable));
    QVERIFY(window->Controls().vleVariables->item(0, 1)->flags() & Qt::ItemIsEditable);

    QTest::mouseClick(window->Controls().btnCloseModule, Qt::LeftButton);
    CheckClosed(*window);
  }

  void CancelledDialogsChangeNothing() {
    const auto window = NewWindow();
    const QString book = CopyOfSample("typical.exe");
    OpenThroughTheDialog(*window, book);
    const QImage icon = ShownIcon(*window);
    QTest::mouseClick(window->Controls().btnOpen, Qt::LeftButton);
    window->Controls().mnuLoadIcon->trigger();
    QCOMPARE(FDialogsAsked, (QStringList{"dlgOpen", "dlgOpen", "dlgOpenPicture"}));
    QCOMPARE(window->Controls().edtName->text(), book);
    QCOMPARE(GridRows(*window), TypicalGrid);
    QCOMPARE(ShownIcon(*window), icon);
    QCOMPARE(FBoxes.size(), 0);
  }

  void SignWithPicksTheCertificateOnceAndUpdateSigns() {
    // The choice outlives the test only if it fails half-way; later tests must not sign.
    const std::unique_ptr<void, void (*)(void*)> forget(nullptr, [](void*) {
      RememberSigningFile({});
      RememberTimeStampUrl({});
    });
    const QString pki = FWork.filePath("pki");
    QVERIFY(QDir().mkpath(pki));
    QCOMPARE(
        std::system(qPrintable("bash '" FOLIOSET_SIGNING_TESTS "/make_test_pki.sh' '" + pki + "'")),
        0);
    const QString certificate = pki + "/signer.p12";
    const QString book = CopyOfSample("typical.exe");
    {
      const auto window = NewWindow();
      OpenThroughTheDialog(*window, book);
      QCOMPARE(window->Controls().edtName->toolTip(), QString("Not signed"));
      QCOMPARE(window->Controls().lblSignature->text(), QString("Not signed"));
      QCOMPARE(window->Controls().lblSigning->text(), QString("Will not sign"));
      FChosenFiles = {certificate};
      window->Controls().mnuSignWith->trigger();
      QCOMPARE(FDialogsAsked.last(), QString("dlgOpenCertificate"));
      QCOMPARE(window->Controls().mnuSignWith->text(), QString("&Sign with signer.p12\u2026"));
      // Whom the file's certificate names is known once its password opens it.
      QCOMPARE(window->Controls().lblSigning->text(),
               QString("Will sign as the certificate in signer.p12, without a time stamp"));
    }
    const QByteArray state = FileBytes(FormStateFileName(SMainFormStateKey));
    QVERIFY(state.contains("signer.p12"));

    // A new window remembers the file; Update asks its password each time and never keeps it.
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    QStringList asked;
    QString answer;
    bool answers = true;
    window->ModalHooks.AskPassword = [&](const QString& file, QString& password) {
      asked << file;
      password = answer;
      return answers;
    };
    const QByteArray original = FileBytes(book);
    answer = "wrong";
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Icon, QMessageBox::Critical);
    QCOMPARE(FBoxes[0].Text, certificate + ": the password is wrong.");
    QCOMPARE(FileBytes(book), original);
    QVERIFY(window->Controls().btnUpdate->isEnabled());
    answers = false;
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FileBytes(book), original);

    answers = true;
    answer = "secret";
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(asked, (QStringList{certificate, certificate, certificate}));
    QCOMPARE(FBoxes.size(), 2);
    QCOMPARE(FBoxes[1].InformativeText,
             QString("Signed by O=Example,CN=Example Reseller, issued by CN=Folioset Test Root; "
                     "the signature is valid but not trusted: the root CN=Folioset Test Root "
                     "is not trusted"));
    QCOMPARE(window->Controls().edtName->toolTip(), FBoxes[1].InformativeText);
    QCOMPARE(window->Controls().lblSignature->text(),
             QString("Signed by Example Reseller: valid but not trusted"));
    QCOMPARE(window->Controls().lblSigning->text(),
             QString("Will sign as Example Reseller, without a time stamp"));
    QVERIFY(!FileBytes(FormStateFileName(SMainFormStateKey)).contains("secret"));

    // A time-stamp server, remembered; one that is no http:// or https:// URL is refused.
    QString server = "ftp://127.0.0.1/";
    window->ModalHooks.AskTimeStampUrl = [&](QString& url) {
      url = server;
      return true;
    };
    window->Controls().mnuTimeStamp->trigger();
    QCOMPARE(FBoxes.size(), 3);
    QVERIFY2(FBoxes[2].Text.contains("must be an http:// or https:// URL"),
             qPrintable(FBoxes[2].Text));
    server = "http://127.0.0.1:1/";
    window->Controls().mnuTimeStamp->trigger();
    QCOMPARE(window->Controls().lblSigning->text(),
             QString("Will sign as Example Reseller, time-stamped by http://127.0.0.1:1/"));
    QCOMPARE(NewWindow()->Controls().lblSigning->text(), window->Controls().lblSigning->text());
    // Update asks the server, which refuses: the book stays as it was.
    const QByteArray signedOnce = FileBytes(book);
    window->Controls().vleVariables->item(RowOf(*window, "Author"), 1)->setText("Ann Reseller");
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 4);
    QVERIFY2(FBoxes[3].Text.contains("http://127.0.0.1:1/: connection refused"),
             qPrintable(FBoxes[3].Text));
    QCOMPARE(FileBytes(book), signedOnce);
    server.clear();
    window->Controls().mnuTimeStamp->trigger();
    QCOMPARE(window->Controls().lblSigning->text(),
             QString("Will sign as Example Reseller, without a time stamp"));

    // Don't Sign forgets the file: Update asks nothing and the book loses its signature.
    window->Controls().mnuDontSign->trigger();
    QVERIFY(!window->Controls().mnuDontSign->isEnabled());
    QVERIFY(!FileBytes(FormStateFileName(SMainFormStateKey)).contains("signer.p12"));
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(asked.size(), 4);
    QCOMPARE(window->Controls().edtName->toolTip(), QString("Not signed"));
    QCOMPARE(window->Controls().lblSignature->text(), QString("Not signed"));
    QCOMPARE(window->Controls().lblSigning->text(), QString("Will not sign"));
  }

  void TheStatusLineSaysWhoTrustsASignature() {
    TImageSignature signature;
    signature.Signed = true;
    signature.Subject = "O=Example,CN=Example Reseller";
    signature.State = TSignatureState::Trusted;
    signature.TrustedBy = "CN=Root\\, Inc.,O=Roots";
    QCOMPARE(SignatureStateText(signature),
             QString("Signed by Example Reseller: valid and trusted by Root\\, Inc."));
    signature.State = TSignatureState::Invalid;
    signature.Subject = "CN=Big Vendor";
    QCOMPARE(SignatureStateText(signature), QString("Signed by Big Vendor: invalid"));
  }

  void EditedValuesAreWrittenAndReadBack() {
    const QString book = CopyOfSample("typical.exe");
    {
      const auto window = NewWindow();
      OpenThroughTheDialog(*window, book);
      window->Controls().vleVariables->item(RowOf(*window, "Author"), 1)->setText("Ann Reseller");
      FPressedButtons = {QMessageBox::Cancel};
      QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
      QCOMPARE(FBoxes.size(), 1);
      QCOMPARE(FBoxes[0].Caption, QString("Confirm"));
      QCOMPARE(FBoxes[0].Text, QString("eBook successfully branded. Would you like to run it?"));
      QCOMPARE(FBoxes[0].Icon, QMessageBox::Question);
      QCOMPARE(FBoxes[0].Buttons, QMessageBox::Ok | QMessageBox::Cancel);
      QVERIFY(FShellOpened.isEmpty());
      // The window shows the book as now stored.
      QCOMPARE(window->Controls().edtName->text(), book);
      QCOMPARE(window->Controls().vleVariables->item(RowOf(*window, "Author"), 1)->text(),
               QString("Ann Reseller"));
      QCOMPARE(window->Controls().edtTitle->text(), QString("The Garden Handbook by Ann Reseller"));
      CheckEnabledStates(*window, true);
    }
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    QCOMPARE(window->Controls().vleVariables->item(RowOf(*window, "Author"), 1)->text(),
             QString("Ann Reseller"));

    // OK runs the book; so does View eBook.
    FBoxes.clear();
    FPressedButtons = {QMessageBox::Ok};
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(FShellOpened, QStringList{book});
    QTest::mouseClick(window->Controls().btnViewEbook, Qt::LeftButton);
    QCOMPARE(FShellOpened, (QStringList{book, book}));

    // A desktop with no program for the book says so.
    FShellRuns = false;
    QTest::mouseClick(window->Controls().btnViewEbook, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 2);
    QCOMPARE(FBoxes[1].Icon, QMessageBox::Critical);
    QCOMPARE(FBoxes[1].Text,
             "No program of this desktop is set to run \"" + book +
                 "\"; Folioset only brands it. An eBook is a Windows program: to run it here, "
                 "install Wine (the Debian package wine) and try again.");
    QCOMPARE(FBoxes[1].InformativeText, "eBook: " + book);
  }

  void LongValueShowsShortAndIsWrittenWhole() {
    const QString book = CopyOfSample("typical.exe");
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    OpenThroughTheDialog(*window, book);
    TValueGrid& grid = *window->Controls().vleVariables;
    const int row = RowOf(*window, "Author");
    const QString firstLine = QString("Mara\u00A0Quill ").repeated(40);
    const QString value = firstLine + "\r\n\r\nsecond line\r\n" + QString(200000, 'x');
    grid.SetValue(row, value);
    QCOMPARE(grid.item(row, 1)->text(), firstLine.left(300) + QChar(0x2026));
    QCOMPARE(grid.Value(row), value);
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QVERIFY(!window->isWindowModified());

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
    // The cell shows what it showed, but the value is another: an edit like any other.
    QCOMPARE(grid.item(row, 1)->text(), firstLine.left(300) + QChar(0x2026));
    QVERIFY(window->isWindowModified());
    QVERIFY(window->Controls().mnuUndo->isEnabled() && window->Controls().mnuRevert->isEnabled());
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->Controls().btnCloseModule, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 2);
    QCOMPARE(FBoxes[1].Icon, QMessageBox::Warning);

    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 3);
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
    QCOMPARE(CanRunOnDesktop(book), started);
    QCOMPARE(RunOnDesktop(book), started);
    qputenv("PATH", path);
    QTRY_COMPARE(QFile::exists(ran), started);
  }

  void EditsAreDiscardedOnlyWhenTheUserSays() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    QTest::mouseClick(window->Controls().btnCloseModule, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 0);

    const QString book = CopyOfSample("typical.exe");
    OpenThroughTheDialog(*window, book);
    window->Controls().vleVariables->item(RowOf(*window, "Author"), 1)->setText("Ann Reseller");
    FPressedButtons = {QMessageBox::Cancel, QMessageBox::Cancel, QMessageBox::Cancel};
    window->close();
    QTest::mouseClick(window->Controls().btnCloseModule, Qt::LeftButton);
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    QCOMPARE(FBoxes.size(), 3);
    QCOMPARE(FBoxes[0].Icon, QMessageBox::Warning);
    const QString name = QFileInfo(book).fileName();
    QCOMPARE(FBoxes[0].Text, "The changes to \"" + name +
                                 "\" have not been written to it. Update it before closing it?");
    QCOMPARE(FBoxes[0].Buttons, QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    QCOMPARE(QSet<QString>(FBoxes[0].ButtonTexts.begin(), FBoxes[0].ButtonTexts.end()),
             (QSet<QString>{"&Update", "Close &without Updating", "&Cancel"}));
    QVERIFY(window->isVisible());
    QCOMPARE(window->Controls().edtName->text(), book);
    QCOMPARE(window->Controls().vleVariables->item(RowOf(*window, "Author"), 1)->text(),
             QString("Ann Reseller"));

    FPressedButtons = {QMessageBox::Discard};
    QTest::mouseClick(window->Controls().btnCloseModule, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 4);
    CheckClosed(*window);
    QVERIFY(!window->isWindowModified());

    // Update in the question writes the edits, then closes.
    OpenThroughTheDialog(*window, book);
    window->Controls().vleVariables->item(RowOf(*window, "Author"), 1)->setText("Ann Reseller");
    FBoxes.clear();
    FPressedButtons = {QMessageBox::Save};
    QTest::mouseClick(window->Controls().btnCloseModule, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    CheckClosed(*window);
    OpenThroughTheDialog(*window, book);
    QCOMPARE(window->Controls().vleVariables->item(RowOf(*window, "Author"), 1)->text(),
             QString("Ann Reseller"));
  }

  void CodePageIsChosenShownRememberedAndReadsTheBookAgain() {
    const QString book = CopyOfSample("typical.exe");
    {
      TEBookDocument document(TCodePage(1252));
      document.OpenEBook(QFile::encodeName(book).toStdString());
      TVariableRows rows = document.Rows();
      rows[0].Value = "\xC0"; // A grave in windows-1252, Cyrillic A in windows-1251
      document.UpdateEBook(rows);
    }
    const QString cyrillicA = QString::fromUtf8("\xD0\x90");
    const auto requestCodePage = [](TfrmMain& window, int codePage) {
      for (QAction* action : window.Controls().mnuCodePage->actions())
        if (action->data().toInt() == codePage)
          action->trigger();
    };
    {
      const auto window = NewWindow();
      window->show();
      OpenThroughTheDialog(*window, book);
      QCOMPARE(GridRows(*window)[0].second, QString::fromUtf8("\xC3\x80"));
      QCOMPARE(window->Controls().lblCodePage->text(), QString("Code page 1252 Western European"));

      // Edits the user keeps stop the change; the grid and the code page stay.
      window->Controls().vleVariables->item(1, 1)->setText("Edited");
      FPressedButtons = {QMessageBox::Cancel};
      requestCodePage(*window, 1251);
      QCOMPARE(window->Controls().lblCodePage->text(), QString("Code page 1252 Western European"));
      QCOMPARE(window->Controls().vleVariables->Value(1), QString("Edited"));

      FPressedButtons = {QMessageBox::Discard};
      requestCodePage(*window, 1251);
      QCOMPARE(GridRows(*window)[0].second, cyrillicA);
      QCOMPARE(window->Controls().lblCodePage->text(), QString("Code page 1251 Cyrillic"));
    }
    const auto next = NewWindow();
    QCOMPARE(next->Controls().lblCodePage->text(), QString("Code page 1251 Cyrillic"));
    OpenThroughTheDialog(*next, book);
    QCOMPARE(GridRows(*next)[0].second, cyrillicA);
    next->Controls().mnuCodePage->Choose(TCodePage::ForLocale());
  }

  void CaptionUndoAndRevertFollowTheEdits() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    const QString book = CopyOfSample("typical.exe");
    OpenThroughTheDialog(*window, book);
    const QString caption = QFileInfo(book).fileName() + "[*] \u2014 Folioset 1.0.0.1";
    QCOMPARE(window->windowTitle(), caption);
    QVERIFY(!window->isWindowModified());
    QVERIFY(!window->Controls().mnuUndo->isEnabled() && !window->Controls().mnuRevert->isEnabled());
    const QImage own = ShownIcon(*window);

    TValueGrid& grid = *window->Controls().vleVariables;
    grid.item(RowOf(*window, "Author"), 1)->setText("Ann");
    grid.item(RowOf(*window, "Author"), 1)->setText("Ann Reseller");
    grid.item(RowOf(*window, "Email"), 1)->setText("ann@example.org");
    FChosenFiles = {Icons + "/brand_1.ico"};
    window->Controls().mnuLoadIcon->trigger();
    QVERIFY(window->isWindowModified());
    const QList<QPair<QString, QString>> edited = GridRows(*window);
    const QImage brand = ShownIcon(*window);

    // Ctrl+Z takes back one edit at a time, the icon first.
    QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(ShownIcon(*window), own);
    QCOMPARE(GridRows(*window), edited);
    QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(grid.Value(RowOf(*window, "Email")), QString("books@example.org"));
    QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(grid.Value(RowOf(*window, "Author")), QString("Ann"));
    QVERIFY(window->isWindowModified());
    QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(GridRows(*window), TypicalGrid);
    QVERIFY(!window->isWindowModified());
    QVERIFY(!window->Controls().mnuUndo->isEnabled());

    // Revert takes every edit back at once, and Undo brings them all back.
    grid.item(RowOf(*window, "Author"), 1)->setText("Ann Reseller");
    FChosenFiles = {Icons + "/brand_1.ico"};
    window->Controls().mnuLoadIcon->trigger();
    window->Controls().mnuRevert->trigger();
    QCOMPARE(GridRows(*window), TypicalGrid);
    QCOMPARE(ShownIcon(*window), own);
    QVERIFY(!window->isWindowModified());
    window->Controls().mnuUndo->trigger();
    QCOMPARE(grid.Value(RowOf(*window, "Author")), QString("Ann Reseller"));
    QCOMPARE(ShownIcon(*window), brand);
    QVERIFY(window->isWindowModified());

    // Ctrl+S updates; the book as written has no edits left.
    FPressedButtons = {QMessageBox::Cancel};
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(FBoxes.size(), 1);
    QVERIFY(!window->isWindowModified());
    QCOMPARE(window->windowTitle(), caption);
    QCOMPARE(window->Controls().edtTitle->text(), QString("The Garden Handbook by Ann Reseller"));
    QTest::mouseClick(window->Controls().btnCloseModule, Qt::LeftButton);
    QCOMPARE(window->windowTitle(), QString("Folioset 1.0.0.1"));
  }

  void UndoAndRedoTakeTheKeysFromTheFocusedWidget() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    TValueGrid& grid = *window->Controls().vleVariables;
    const int author = RowOf(*window, "Author"), company = RowOf(*window, "Company");
    const auto type = [](const QString& text) {
      auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
      QVERIFY(editor);
      editor->selectAll();
      QTest::keyClicks(editor, text);
    };
    const auto press = [](QKeyCombination key) {
      QTest::keyClick(QApplication::focusWidget(), key.key(), key.keyboardModifiers());
    };
    grid.setFocus();
    grid.setCurrentCell(author, 1);
    type("Ann");
    press(Qt::Key_Tab);
    QCOMPARE(grid.currentRow(), company);
    type("Leaf & Co"); // still in its editor
    QVERIFY(window->isWindowModified());

    // Each Ctrl+Z takes back one edit, the one still in its editor first, wherever the focus.
    press(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(grid.Value(company), QString("Quill Press"));
    QCOMPARE(grid.Value(author), QString("Ann"));
    press(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(GridRows(*window), TypicalGrid);
    QVERIFY(!window->isWindowModified());
    // Redo, under both its keys, brings them back in turn.
    press(Qt::CTRL | Qt::SHIFT | Qt::Key_Z);
    QCOMPARE(grid.Value(author), QString("Ann"));
    press(Qt::CTRL | Qt::Key_Y);
    QCOMPARE(grid.Value(company), QString("Leaf & Co"));
    QVERIFY(!window->Controls().mnuRedo->isEnabled());
    // Revert is one step that Ctrl+Z takes back whole; a new edit ends what Redo holds.
    press(Qt::CTRL | Qt::SHIFT | Qt::Key_R);
    QCOMPARE(GridRows(*window), TypicalGrid);
    press(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(grid.Value(author), QString("Ann"));
    QCOMPARE(grid.Value(company), QString("Leaf & Co"));
    press(Qt::CTRL | Qt::Key_Z);
    QVERIFY(window->Controls().mnuRedo->isEnabled());
    grid.SetValue(author, "Bea");
    QVERIFY(!window->Controls().mnuRedo->isEnabled());
  }

  void UpdateACopyLeavesTheBookAsItWas() {
    const QString book = CopyOfSample("typical.exe");
    const QByteArray before = FileBytes(book);
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    window->Controls().vleVariables->item(RowOf(*window, "Author"), 1)->setText("Ann");
    // A copy that cannot be written: the box names the book and the copy.
    const QString nowhere = FWork.filePath("no folder/copy.exe");
    FChosenFiles = {nowhere};
    window->Controls().mnuUpdateCopy->trigger();
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].InformativeText, "eBook: " + book + "\nCopy: " + nowhere);
    const QString copy = FWork.filePath("branded copy.exe");
    FChosenFiles = {copy};
    FCanRun = false;
    window->Controls().mnuUpdateCopy->trigger();
    QCOMPARE(FDialogsAsked.last(), QString("dlgUpdateCopy"));
    QCOMPARE(FileBytes(book), before);
    // The copy is the book shown from then on, as written.
    QCOMPARE(window->Controls().edtName->text(), copy);
    QVERIFY(!window->isWindowModified());
    QCOMPARE(window->Controls().edtTitle->text(), QString("The Garden Handbook by Ann"));
    QVERIFY(window->Controls().mnuOpenRecent->actions()[0]->text().endsWith(copy));

    QStringList shown;
    window->ModalHooks.ShowFolder = [&](const QString& folder) {
      shown << folder;
      return true;
    };
    window->Controls().mnuShowInFolder->trigger();
    QCOMPARE(shown, QStringList{QFileInfo(copy).absolutePath()});
  }

  void IconsComeByDropAndPaste() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QMimeData icon;
    icon.setUrls({QUrl::fromLocalFile(Icons + "/brand_1.ico")});
    // With no book open an icon has nowhere to go.
    QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &icon, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &refused);
    QVERIFY(!refused.isAccepted());

    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    const QImage own = ShownIcon(*window);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &icon, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(window->Controls().imgIcon->mapTo(window.get(), QPoint(5, 5))),
                    Qt::CopyAction, &icon, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &drop);
    QVERIFY(drop.isAccepted());
    QTRY_VERIFY(ShownIcon(*window) != own);
    QVERIFY(window->isWindowModified());
    // Ctrl+Z takes it back like any edit; pasted, the bytes of an icon load as well.
    window->Controls().imgIcon->setFocus();
    QTest::keyClick(window->Controls().imgIcon, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(ShownIcon(*window), own);
    auto* bytes = new QMimeData;
    bytes->setData("image/vnd.microsoft.icon", FileBytes(Icons + "/brand_3.ico"));
    QGuiApplication::clipboard()->setMimeData(bytes);
    QTest::keyClick(window->Controls().imgIcon, Qt::Key_V, Qt::ControlModifier);
    const QImage pasted = ShownIcon(*window);
    QVERIFY(pasted != own);
    // What is no icon is refused with the checks of Load Icon, and changes nothing.
    auto* notIcon = new QMimeData;
    notIcon->setData("image/x-icon", "not an icon");
    QGuiApplication::clipboard()->setMimeData(notIcon);
    window->Controls().mnuIconPaste->trigger();
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Text, QString("Icon image is not valid."));
    QCOMPARE(ShownIcon(*window), pasted);
  }

  void StatusLineFitsAndGoesWithTheNextEdit() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->resize(700, window->height());
    const QString folder = FWork.filePath(QString(60, 'f'));
    QVERIFY(QDir().mkpath(folder));
    const QString book = folder + "/typical.exe";
    QVERIFY(QFile::copy(Samples + "/typical.exe", book));
    QFile(book).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    OpenThroughTheDialog(*window, book);
    FCanRun = false;
    window->btnUpdateClick();
    // The path gives way in its middle: the sentence is whole, and its tip has all of it.
    const QString said = window->Controls().stbStatus->currentMessage();
    QVERIFY2(said.startsWith("eBook successfully branded and written to \"") &&
                 said.endsWith("typical.exe\".") && said.contains(QChar(0x2026)),
             qPrintable(said));
    QVERIFY(window->Controls().stbStatus->fontMetrics().horizontalAdvance(said) <
            window->Controls().lblCodePage->x());
    QCOMPARE(window->Controls().stbStatus->toolTip(),
             "eBook successfully branded and written to \"" + book + "\".");
    window->Controls().vleVariables->item(0, 1)->setText("Ann");
    QCOMPARE(window->Controls().stbStatus->currentMessage(), QString());
  }

  void RemovedSignatureIsMentioned() {
    const QString book = CopyOfSample("typical.exe");
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
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
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
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
    window->Controls().vleVariables->setFocus();
    window->Controls().vleVariables->setCurrentCell(RowOf(*window, "Company"), 1);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor && editor->parentWidget() == window->Controls().vleVariables->viewport());
    editor->selectAll();
    QTest::keyClicks(editor, "Leaf & Co");
    FPressedButtons = {QMessageBox::Cancel};
    window->btnUpdateClick();
    QCOMPARE(window->Controls().vleVariables->item(RowOf(*window, "Company"), 1)->text(),
             QString("Leaf & Co"));
    QCOMPARE(window->Controls().vleVariables->item(RowOf(*window, "Copyright"), 1)->text(),
             QString("Copyright 2025 Leaf & Co. All rights reserved."));
  }

  // The grid shows what the Update will write: values resolved from the rows as they stand,
  // the rows that differ from the book and those that follow them, and the title.
  void ValuesShowTheirResolutionFromTheRowsAsTheyStand() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    TValueGrid& grid = *window->Controls().vleVariables;
    const int copyright = RowOf(*window, "Copyright");
    const auto said = [&](const char* key) {
      return grid.item(RowOf(*window, key), 1)->data(Qt::AccessibleDescriptionRole).toString();
    };
    QCOMPARE(grid.Value(copyright), QString("Copyright 2025 %{Company}. All rights reserved."));

    grid.item(RowOf(*window, "Company"), 1)->setText("NewCo");
    grid.item(RowOf(*window, "Title"), 1)->setText("%{Company} Guide");
    QCOMPARE(grid.item(copyright, 1)->text(),
             QString("Copyright 2025 NewCo. All rights reserved."));
    QCOMPARE(grid.item(RowOf(*window, "Title"), 1)->text(), QString("NewCo Guide"));
    QCOMPARE(window->Controls().edtTitle->text(), QString("NewCo Guide by Mara Quill"));
    QCOMPARE(said("Company"), QString("changed"));
    QCOMPARE(said("Copyright"), QString("from Company"));
    QCOMPARE(grid.item(copyright, 0)->text(), QString("Copyright (from Company)"));
    QCOMPARE(said("Author"), QString());

    // The editor opens on the value as stored, reference and all.
    grid.setFocus();
    grid.setCurrentCell(copyright, 1);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor);
    QCOMPARE(editor->text(), QString("Copyright 2025 %{Company}. All rights reserved."));
    grid.setCurrentCell(RowOf(*window, "Author"), 1);

    // An edit that makes a cycle shows the values as stored until it is mended.
    grid.item(RowOf(*window, "Company"), 1)->setText("%{Copyright}");
    QCOMPARE(grid.item(copyright, 1)->text(),
             QString("Copyright 2025 %{Company}. All rights reserved."));
    window->Controls().mnuRevert->trigger();
    QCOMPARE(GridRows(*window), TypicalGrid);
    QCOMPARE(window->Controls().edtTitle->text(), QString("The Garden Handbook by Mara Quill"));
    QCOMPARE(said("Company"), QString());
    QCOMPARE(said("Copyright"), QString());
    QVERIFY(!window->isWindowModified());

    // An entry the store does not read is named when the book opens.
    const QString book = CopyOfSample("typical.exe");
    {
      TEBookDocument document(TCodePage(1252));
      document.OpenEBook(QFile::encodeName(book).toStdString());
      TVariableRows rows = document.Rows();
      rows.push_back({"TITLE", "Shadowed"});
      document.UpdateEBook(rows);
    }
    OpenThroughTheDialog(*window, book);
    QCOMPARE(window->Controls().stbStatus->currentMessage(),
             QString("Not read from the variables file: \"TITLE\" (shadowed by \"Title\")"));
  }

  void IconsLoadAndReset() {
    const QString book = CopyOfSample("typical.exe");
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    const QImage own = ShownIcon(*window);
    // Reset only when there is an icon to reset.
    QVERIFY(!window->Controls().mnuIconReset->isEnabled() &&
            !window->Controls().mnuResetIcon->isEnabled());

    FChosenFiles = {Icons + "/brand_3.ico"};
    window->Controls().mnuLoadIcon->trigger();
    const QImage brand = ShownIcon(*window);
    QCOMPARE(brand.size(), QSize(32, 32));
    QVERIFY(brand != own);
    QVERIFY(window->Controls().mnuIconReset->isEnabled() &&
            window->Controls().mnuResetIcon->isEnabled());

    window->Controls().mnuResetIcon->trigger();
    QCOMPARE(ShownIcon(*window), own);
    QVERIFY(!window->Controls().mnuIconReset->isEnabled());

    // A double click on the icon loads one too.
    FChosenFiles = {Icons + "/brand_1.ico"};
    QTest::mouseDClick(window->Controls().imgIcon, Qt::LeftButton);
    QCOMPARE(FDialogsAsked.last(), QString("dlgOpenPicture"));
    const QImage chosen = ShownIcon(*window);
    QVERIFY(chosen != own);

    // A damaged icon is refused and the chosen one stays.
    FChosenFiles = {Icons + "/corrupt_5_bytes.ico"};
    window->Controls().mnuLoadIcon->trigger();
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Text, QString("Icon image is not valid."));
    QCOMPARE(ShownIcon(*window), chosen);

    // Update writes the chosen icon; the reopened book shows it.
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
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
    QVERIFY(window->Controls().imgIcon->pixmap().isNull());
    QVERIFY(FBoxes.isEmpty());
  }

  void OpenErrorsReachTheErrorBox_data() {
    QTest::addColumn<QString>("sample");
    QTest::addColumn<QString>("message");
    // The book is named, in the system's own text (%1).
    QTest::newRow("no content resource") << "no_system_mfs.exe"
                                         << "File \"%1\" is not an eBook: it holds no eBook pages.";
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
    QCOMPARE(FBoxes[0].Text, QString(message).replace("%1", book));
    QCOMPARE(FBoxes[0].InformativeText, "eBook: " + book);
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
    QCOMPARE(FBoxes[0].InformativeText, "eBook: " + missing);
    CheckClosed(*window);
  }

  void RefusedUpdateKeepsTheBookOpen_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("message");
    QTest::newRow("beyond the code page")
        << QString::fromUtf8("\xE4\xB8\xAD\xE6\x96\x87")
        << "The value of \"Author\" holds U+4E2D CJK UNIFIED IDEOGRAPH-4E2D, which code page 1252 "
           "cannot hold. Choose the book's code page under View, Code Page.";
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
    window->Controls().vleVariables->item(0, 1)->setText(value);
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Caption, QString("Folioset"));
    QCOMPARE(FBoxes[0].Icon, QMessageBox::Critical);
    QCOMPARE(FBoxes[0].Text, message);
    QCOMPARE(FBoxes[0].InformativeText, "eBook: " + book);
    QVERIFY(FShellOpened.isEmpty());
    CheckEnabledStates(*window, true);
    QCOMPARE(window->Controls().vleVariables->item(0, 1)->text(), value);
    QCOMPARE(FileBytes(book), before);
  }

  // Another book put at the path while the window had the first open is not written over
  // with the first one's content; the window keeps the book and its edits.
  void UpdateOfABookReplacedOnDiskIsRefusedAndKeepsTheEdits() {
    const QString book = CopyOfSample("typical.exe");
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    window->Controls().vleVariables->item(0, 1)->setText("Ann");
    const QString other = CopyOfSample("icons4.exe");
    QVERIFY(QFile::remove(book) && QFile::rename(other, book));
    const QByteArray replaced = FileBytes(book);
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Text, "The file \"" + book + "\" changed on disk since it was opened.");
    CheckEnabledStates(*window, true);
    QCOMPARE(window->Controls().vleVariables->item(0, 1)->text(), QString("Ann"));
    QCOMPARE(FileBytes(book), replaced);
  }

  void ScreenReadersMeetAFrameAndCellsNamedByTheirKeys() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    // The role a screen reader's bridge gives the "frame" of an application's window.
    QCOMPARE(QAccessible::queryAccessibleInterface(window.get())->role(), QAccessible::Window);
    QStringList expected;
    for (const auto& [key, value] : TypicalGrid)
      expected << key + ": " + value;
    QCOMPARE(
        AccessibleCellNames(QAccessible::queryAccessibleInterface(window->Controls().vleVariables)),
        expected);
  }

  void FocusRingsStandOutInLightAndDarkPalettes_data() {
    QTest::addColumn<QPalette>("palette");
    QTest::newRow("light") << QApplication::style()->standardPalette();
    QTest::newRow("dark") << DarkPalette();
  }

  void FocusRingsStandOutInLightAndDarkPalettes() {
    QFETCH(QPalette, palette);
    const QPalette before = QApplication::palette();
    const std::unique_ptr<const QPalette, void (*)(const QPalette*)> restore(
        &before, [](const QPalette* old) { QApplication::setPalette(*old); });
    QApplication::setPalette(palette);
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    // Each ring is two pixels wide and stands out 3:1 from the colours on both its sides.
    const QList<QPair<QWidget*, QList<QPalette::ColorRole>>> rings = {
        {window->Controls().imgIcon, {QPalette::Button}},
        {window->Controls().edtHelp, {QPalette::Button, QPalette::Base}}};
    for (const auto& [control, beside] : rings) {
      control->setFocus(Qt::TabFocusReason);
      QTRY_VERIFY(control->hasFocus());
      const QImage seen = control->grab().toImage();
      for (const QPoint at : {QPoint(0, seen.height() / 2), QPoint(1, seen.height() / 2)})
        for (QPalette::ColorRole role : beside)
          QVERIFY2(ContrastRatio(seen.pixelColor(at), palette.color(role)) >= 3,
                   qPrintable(control->objectName() + ' ' + seen.pixelColor(at).name() + " on " +
                              palette.color(role).name()));
    }
  }

  void EveryChoiceHasAMnemonic() {
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    QList<QMenu*> menus = {window->Controls().popIcon};
    for (QAction* item : window->Controls().mnuMain->actions())
      menus << item->menu();
    for (QMenu* menu : menus) {
      QSet<QChar> taken;
      for (QAction* item : menu->actions()) {
        if (item->isSeparator())
          continue;
        const QString text = item->text().remove("&&");
        const qsizetype at = text.indexOf('&');
        QVERIFY2(at >= 0 && at + 1 < text.size(), qPrintable(item->text()));
        QVERIFY2(!taken.contains(text[at + 1].toLower()), qPrintable(item->text()));
        taken << text[at + 1].toLower();
      }
    }
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
    const QRect name = window->Controls().edtName->geometry(),
                icon = window->Controls().Panel3->geometry();
    const QRect label = window->Controls().Label3->geometry(),
                grid = window->Controls().vleVariables->geometry();
    QCOMPARE(name.topLeft(), QPoint(8, 56 + (name.height() - 21)));
    QCOMPARE(icon.size(), QSize(61, 61));
    QCOMPARE(icon.top(), name.top());
    QVERIFY(name.right() < icon.left());
    window->resize(window->width() + 100, window->height() + 40);
    QTRY_COMPARE(window->Controls().edtName->width(), name.width() + 100);
    QCOMPARE(window->Controls().edtTitle->width(), name.width() + 100);
    QCOMPARE(window->Controls().Panel3->geometry(), icon.translated(100, 0));
    QCOMPARE(window->Controls().Label3->geometry(), label.translated(100, 0));
    QCOMPARE(window->Controls().vleVariables->width(), grid.width() + 100);
    QVERIFY(window->Controls().vleVariables->height() >= grid.height());
    QCOMPARE(window->Controls().vleVariables->columnWidth(0), 150);

    // At its smallest nothing overlaps and no button is cut off; the help box gives way to
    // the grid.
    window->resize(1, 1);
    QTRY_COMPARE(window->size(), window->minimumSize());
    QVERIFY(window->Controls().btnViewEbook->geometry().right() < window->width());
    QVERIFY(window->Controls().edtName->geometry().right() <
            window->Controls().Panel3->geometry().left());
    QVERIFY(window->Controls().Panel3->geometry().right() < window->width());
    QVERIFY(window->Controls().vleVariables->height() >= 60);
    QVERIFY(!window->Controls().edtHelp->isVisible() ||
            window->Controls().edtHelp->height() < window->Controls().vleVariables->height());
  }

  void HelpBoxShowsItsTextOrFoldsAway() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    window->resize(700, 700);
    // With room, the whole text and no scroll bar.
    QTRY_VERIFY(window->Controls().edtHelp->isVisible());
    QCOMPARE(window->Controls().edtHelp->verticalScrollBar()->maximum(), 0);
    QVERIFY(window->Controls().vleVariables->height() > 60);

    // The user folds it away and gets it back with F1, focused.
    window->Controls().mnuShowHelp->trigger();
    QVERIFY(!window->Controls().edtHelp->isVisible());
    QTest::keyClick(window.get(), Qt::Key_F1);
    QVERIFY(window->Controls().mnuShowHelp->isChecked());
    QVERIFY(window->Controls().edtHelp->isVisible());
    QCOMPARE(QApplication::focusWidget(), window->Controls().edtHelp);

    // Too low a window shows the help text in a box of its own.
    window->resize(700, 1);
    QTRY_VERIFY(!window->Controls().edtHelp->isVisible());
    window->Controls().mnuHelp->trigger();
    QCOMPARE(FBoxes.size(), 1);
    QVERIFY(FBoxes[0].Text.startsWith("Branding Your eBook\n"));
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
    QTRY_COMPARE(window->Controls().edtName->text(), book);
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
    // Enter presses the focused button, as Space does.
    window->Controls().btnOpen->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(FDialogsAsked, (QStringList{"dlgOpen", "dlgOpen"}));
  }

  void KeyboardReachesEveryValueAndTheIconMenu() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    window->Controls().imgIcon->setFocus();
    for (int row = 0; row < int(TypicalGrid.size()); ++row) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(window->Controls().vleVariables->currentRow(), row);
      QCOMPARE(window->Controls().vleVariables->currentColumn(), 1);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), window->Controls().edtHelp);

    window->Controls().imgIcon->setFocus();
    QCOMPARE(QApplication::focusWidget(), window->Controls().imgIcon);
    QTest::keyClick(window->Controls().imgIcon, Qt::Key_F10, Qt::ShiftModifier);
    QTRY_VERIFY(window->Controls().popIcon->isVisible());
    window->Controls().popIcon->hide();
  }

  void MessagesShowPathsAsTheSystemWritesThem_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("shown");
    // The book is the file in use; its folder is named by no one but the message.
    QTest::newRow("the book's folder") << QByteArray("The folder \"/w/B\xC3\xBC"
                                                     "cher\" must be writable")
                                       << QString::fromUtf8("The folder \"/w/B\xC3\xBC"
                                                            "cher\" must be writable");
    QTest::newRow("the book itself") << QByteArray("File \"/w/B\xC3\xBC"
                                                   "cher/a.exe\" is not an eBook")
                                     << QString::fromUtf8("File \"/w/B\xC3\xBC"
                                                          "cher/a.exe\" is not an eBook");
    // A variable's name is text of the book's code page, not a path.
    QTest::newRow("a name in the code page")
        << QByteArray("loading variable \"Gr\xFC\xDF"
                      "e\"")
        << QString::fromUtf8("loading variable \"Gr\xC3\xBC\xC3\x9F"
                             "e\"");
  }

  void MessagesShowPathsAsTheSystemWritesThem() {
    QFETCH(QByteArray, message);
    QFETCH(QString, shown);
    QCOMPARE(MessageText(TCodePage(1252), message.toStdString(),
                         {"/w/B\xC3\xBC"
                          "cher/a.exe"}),
             shown);
  }

  void SystemErrorsKeepTheirCodeInTheDetails() {
    // A book in a folder with a name beyond ASCII, gone by the time it is updated.
    const QString folder = FWork.filePath(QString::fromUtf8("B\xC3\xBC"
                                                            "cher"));
    QVERIFY(QDir().mkpath(folder));
    const QString book = folder + "/typical.exe";
    QVERIFY(QFile::copy(CopyOfSample("typical.exe"), book));
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, book);
    QCOMPARE(window->Controls().edtName->text(), book);
    QVERIFY(QFile::remove(book));
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Text, "Cannot open file \"" + book + "\". No such file or directory.");
    QCOMPARE(FBoxes[0].InformativeText, "eBook: " + book);
    // A file that is no executable: the system's code goes to the details.
    QFile text(book);
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("hello") == 5);
    text.close();
    OpenThroughTheDialog(*window, book);
    QCOMPARE(FBoxes.size(), 2);
    QCOMPARE(FBoxes[1].Text,
             QString("not an executable image: the file does not begin with \"MZ\""));
    QCOMPARE(FBoxes[1].DetailedText, QString("System Error.  Code: 8."));
    QCOMPARE(FBoxes[1].InformativeText, "eBook: " + book);

    // A folder that cannot be written to is named as the system writes it. The superuser
    // may write anywhere, so only another user sees this refusal.
    if (::geteuid() == 0)
      return;
    QVERIFY(QFile::copy(CopyOfSample("typical.exe"), book));
    OpenThroughTheDialog(*window, book);
    QFile(folder).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    FBoxes.clear();
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QFile(folder).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(FBoxes.size(), 1);
    QVERIFY2(FBoxes[0].Text.startsWith("The folder \"" + folder + "\" must be writable"),
             qPrintable(FBoxes[0].Text));
    QVERIFY(!FBoxes[0].Text.contains("System Error"));
    QVERIFY(FBoxes[0].ButtonTexts.contains("Update a &Copy\u2026"));
  }

  void ValueDialogKeysAndLength() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    TValueGrid& grid = *window->Controls().vleVariables;
    const int row = RowOf(*window, "Author");
    grid.SetValue(row, "first\r\nsecond");
    QString label, typed;
    const auto answer = [&](QList<QPair<Qt::Key, Qt::KeyboardModifiers>> keys) {
      grid.ExecDialog = [keys, &label, &typed](QDialog& dialog) {
        dialog.show();
        if (!QTest::qWaitForWindowActive(&dialog))
          return -1;
        label = dialog.windowTitle() + ": " + dialog.findChild<QLabel*>()->text();
        for (const auto& [key, modifiers] : keys)
          if (dialog.isVisible())
            QTest::keyClick(dialog.focusWidget(), key, modifiers);
        typed = dialog.findChild<QPlainTextEdit*>()->toPlainText();
        const int result = dialog.isVisible() ? -1 : dialog.result();
        dialog.hide();
        return result;
      };
    };
    // Tab leaves the box instead of typing a tab; Ctrl+Enter accepts.
    answer({{Qt::Key_End, Qt::ControlModifier},
            {Qt::Key_X, Qt::NoModifier},
            {Qt::Key_Tab, Qt::NoModifier},
            {Qt::Key_Y, Qt::NoModifier}});
    grid.setCurrentCell(row, 1);
    grid.EditInDialog(row);
    QCOMPARE(label, QString("Author: &Value of Author (12 characters):"));
    // Still open: nothing accepted it, and no tab was typed into the value.
    QCOMPARE(typed, QString("first\nsecondx"));
    QCOMPARE(grid.Value(row), QString("first\r\nsecond"));
    answer({{Qt::Key_End, Qt::ControlModifier},
            {Qt::Key_X, Qt::NoModifier},
            {Qt::Key_Return, Qt::ControlModifier}});
    grid.EditInDialog(row);
    QCOMPARE(typed, QString("first\nsecondx"));
    QCOMPARE(grid.Value(row), QString("first\r\nsecondx"));
    // Escape cancels.
    answer({{Qt::Key_Y, Qt::NoModifier}, {Qt::Key_Escape, Qt::NoModifier}});
    grid.EditInDialog(row);
    QCOMPARE(grid.Value(row), QString("first\r\nsecondx"));
    // A key typed on the cell opens the dialog with that key typed over the value.
    answer({{Qt::Key_Return, Qt::ControlModifier}});
    grid.setFocus();
    QTest::keyClick(&grid, Qt::Key_Z);
    QCOMPARE(typed, QString("z"));
    QCOMPARE(grid.Value(row), QString("z"));
  }

  void FileDialogsOpenCleanInTheLastFolder() {
    const auto window = NewWindow();
    const QString book = CopyOfSample("typical.exe");
    QStringList namesSeen, foldersSeen;
    window->ModalHooks.ExecFileDialog = [&](QFileDialog& dialog) {
      auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
      namesSeen << (name ? name->text() : QString("no name box"));
      foldersSeen << dialog.directory().absolutePath();
      // The user types part of a name and its completions come up.
      if (name)
        name->setText("typ");
      for (QCompleter* completer : dialog.findChildren<QCompleter*>())
        completer->popup()->show();
      return book;
    };
    window->btnOpenClick();
    for (QCompleter* completer : window->Controls().dlgOpen->findChildren<QCompleter*>())
      QVERIFY(!completer->popup()->isVisible());
    window->btnOpenClick();
    QCOMPARE(namesSeen, (QStringList{"", ""}));
    QCOMPARE(foldersSeen.last(), QFileInfo(book).absolutePath());
  }

  void RunQuestionOnlyWhenSomethingRunsTheBook() {
    const auto window = NewWindow();
    const QString book = CopyOfSample("typical.exe");
    OpenThroughTheDialog(*window, book);
    FCanRun = false;
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QVERIFY(FBoxes.isEmpty());
    QCOMPARE(window->Controls().stbStatus->currentMessage(),
             "eBook successfully branded and written to \"" + book + "\".");
  }

  void TitleIsShownWholeOrMarked() {
    const auto window = NewWindow();
    OpenThroughTheDialog(*window, CopyOfSample("typical.exe"));
    const QString author(40000, 'x');
    window->Controls().vleVariables->SetValue(RowOf(*window, "Author"), author);
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(window->Controls().edtTitle->text(), "The Garden Handbook by " + author);
    QCOMPARE(window->Controls().edtTitle->toolTip(), QString());

    // A title too long to lay out in a box says how much of it is shown.
    window->Controls().vleVariables->SetValue(RowOf(*window, "Author"), QString(200000, 'y'));
    FPressedButtons = {QMessageBox::Cancel};
    QTest::mouseClick(window->Controls().btnUpdate, Qt::LeftButton);
    QCOMPARE(window->Controls().edtTitle->text().size(), 100001);
    QVERIFY(window->Controls().edtTitle->text().endsWith(QString("yyy") + QChar(0x2026)));
    QCOMPARE(window->Controls().edtTitle->toolTip(),
             QLocale().toString(200023).prepend("The title has ") +
                 " characters; the box shows the first " + QLocale().toString(100000) + ".");
  }

  void IconKeysAndRecentBooks() {
    const QString first = CopyOfSample("typical.exe"), second = CopyOfSample("typical.exe");
    {
      const auto window = NewWindow();
      window->show();
      QVERIFY(QTest::qWaitForWindowActive(window.get()));
      OpenThroughTheDialog(*window, first);
      OpenThroughTheDialog(*window, second);
      // Enter and Space on the focused icon load one, as a double click does.
      window->Controls().imgIcon->setFocus();
      QTest::keyClick(window->Controls().imgIcon, Qt::Key_Return);
      QTest::keyClick(window->Controls().imgIcon, Qt::Key_Space);
      QCOMPARE(FDialogsAsked,
               (QStringList{"dlgOpen", "dlgOpen", "dlgOpenPicture", "dlgOpenPicture"}));
    }
    // The last books, newest first, in the next run too; choosing one opens it.
    const auto window = NewWindow();
    const QList<QAction*> recent = window->Controls().mnuOpenRecent->actions();
    QVERIFY(recent.size() >= 2);
    QVERIFY(recent[0]->text().endsWith(second));
    QVERIFY(recent[1]->text().endsWith(first));
    recent[1]->trigger();
    QCOMPARE(window->Controls().edtName->text(), first);
    QVERIFY(window->Controls().mnuOpenRecent->actions()[0]->text().endsWith(first));
    // A book that is gone leaves the list once the error box has said so.
    QVERIFY(QFile::remove(second));
    window->Controls().mnuOpenRecent->actions()[1]->trigger();
    QCOMPARE(FBoxes.size(), 1);
    for (QAction* item : window->Controls().mnuOpenRecent->actions())
      QVERIFY(!item->text().endsWith(second));
  }

  void LoadIconDialogIsTitledAndPreviewsATypedName() {
    const auto window = NewWindow();
    QCOMPARE(window->Controls().dlgOpenPicture->windowTitle(), QString("Load Icon"));
    auto* name = window->Controls().dlgOpenPicture->findChild<QLineEdit*>("fileNameEdit");
    auto* preview = window->Controls().dlgOpenPicture->findChild<QLabel*>("preview");
    QVERIFY(name && preview);
    name->setText(Icons + "/brand_1.ico");
    QVERIFY(!preview->pixmap().isNull());
    name->setText(Icons + "/corrupt_5_bytes.ico");
    QVERIFY(preview->pixmap().isNull());
  }

  void QuitDuringALongUpdateWaitsOrStops_data() {
    QTest::addColumn<bool>("byCancel"); // the progress box's Cancel, else a quit or close
    QTest::addColumn<int>("answer");    // to the question a quit or close asks
    QTest::addColumn<bool>("written");
    QTest::addColumn<bool>("closed");
    QTest::newRow("Ctrl+Q, Stop and Close") << false << int(QMessageBox::Discard) << false << true;
    QTest::newRow("close, Close When Written") << false << int(QMessageBox::Save) << true << true;
    QTest::newRow("Ctrl+Q, Keep Working") << false << int(QMessageBox::Cancel) << true << false;
    QTest::newRow("Cancel") << true << 0 << false << false;
  }

  void QuitDuringALongUpdateWaitsOrStops() {
    QFETCH(bool, byCancel);
    QFETCH(int, answer);
    QFETCH(bool, written);
    QFETCH(bool, closed);
    const QString book = CopyOfBigBook();
    const QByteArray before = FileBytes(book);
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    OpenThroughTheDialog(*window, book);
    window->Controls().vleVariables->item(RowOf(*window, "Author"), 1)->setText("Ann");
    FCanRun = false;
    // The Update waits for the book's lock, which the test holds until the user has acted.
    const int holder = ::open(QFile::encodeName(book).constData(), O_RDONLY | O_CLOEXEC);
    QCOMPARE(::flock(holder, LOCK_EX), 0);
    bool progressSeen = false;
    QTimer::singleShot(0, window.get(), [&] {
      const std::unique_ptr<void, std::function<void(void*)>> release(
          &progressSeen, [holder](void*) { ::close(holder); });
      QProgressDialog* progress = nullptr;
      QTRY_VERIFY((progress = window->findChild<QProgressDialog*>()) && progress->isVisible());
      // Nothing modal stands between the user and the window: its close reaches it.
      progressSeen = QApplication::activeModalWidget() == nullptr;
      FPressedButtons = {answer};
      if (byCancel) {
        // Clicked as the system sends a click: to the progress box's window first.
        const auto* cancel = progress->findChild<QPushButton*>();
        QTest::mouseClick(progress->windowHandle(), Qt::LeftButton, {},
                          cancel->mapTo(progress, cancel->rect().center()));
      } else if (answer == QMessageBox::Save)
        window->close();
      else
        QTest::keyClick(progress, Qt::Key_Q, Qt::ControlModifier);
    });
    window->Controls().mnuUpdate->trigger();
    QVERIFY(progressSeen);
    if (!byCancel) {
      QCOMPARE(FBoxes.size(), 1);
      QVERIFY2(FBoxes[0].Text.startsWith('"' + QFileInfo(book).fileName() +
                                         "\" is still being written."),
               qPrintable(FBoxes[0].Text));
      QCOMPARE(FBoxes[0].ButtonTexts.size(), 3);
      for (const char* choice : {"&Stop and Close", "Close When &Written", "&Keep Working"})
        QVERIFY2(FBoxes[0].ButtonTexts.contains(choice), qPrintable(choice));
    }
    if (closed)
      QTRY_VERIFY(!window->isVisible());
    else
      QVERIFY(window->isVisible());
    // Nothing else was asked: the close after a stop does not ask about the edits again.
    QCOMPARE(FBoxes.size(), byCancel ? 0 : 1);
    // The book is whole either way: the old one or the branded one.
    QCOMPARE(FileBytes(book) == before, !written);
    TEBookDocument reread(TCodePage(1252));
    reread.OpenEBook(QFile::encodeName(book).toStdString());
    QCOMPARE(reread.Rows().front(), (TVariableRow{"Author", written ? "Ann" : "A. Writer"}));
    if (!closed)
      QCOMPARE(window->isWindowModified(), !written);
  }

  void SecondOperationWhileBusyIsRefused() {
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    const QString book = CopyOfSample("typical.exe");
    OpenThroughTheDialog(*window, book);
    const QString caption = window->windowTitle();
    const int holder = ::open(QFile::encodeName(book).constData(), O_RDONLY | O_CLOEXEC);
    QCOMPARE(::flock(holder, LOCK_EX), 0);
    FCanRun = false;
    // An open that arrives while the update waits for the lock would read on a second worker.
    QTimer::singleShot(100, window.get(), [&] {
      window->OpenEBookFile(CopyOfSample("typical.exe"));
      ::close(holder);
    });
    window->Controls().mnuUpdate->trigger();
    QCOMPARE(FBoxes.size(), 1);
    QCOMPARE(FBoxes[0].Text,
             QStringLiteral("Folioset is still busy with the eBook; try again when it is done."));
    QCOMPARE(window->windowTitle(), caption);
    // Once the update has ended, the next operation runs.
    const QString other = CopyOfSample("typical.exe");
    window->OpenEBookFile(other);
    QCOMPARE(FBoxes.size(), 1);
    QVERIFY(window->windowTitle() != caption);
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

  void PlacementOffTheScreenComesBackReachable_data() {
    QTest::addColumn<QRect>("saved");
    QTest::newRow("caption above the screen") << QRect(100, -20, 500, 400);
    QTest::newRow("on a screen that is gone") << QRect(3000, 2000, 500, 400);
    QTest::newRow("saved at twice this scale") << QRect(0, 0, 1600, 1200);
  }

  void PlacementOffTheScreenComesBackReachable() {
    QFETCH(QRect, saved);
    {
      TWindowPlacement placement;
      placement.NormalPosition = saved;
      QSettings settings(FormStateFileName(SMainFormStateKey), QSettings::IniFormat);
      settings.setValue("SizeAndPos", placement.ToBytes());
    }
    const auto window = NewWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QRect available = window->screen()->availableGeometry();
    QTRY_VERIFY2(available.contains(window->frameGeometry()),
                 qPrintable(QStringLiteral("frame at %1,%2 %3x%4")
                                .arg(window->frameGeometry().x())
                                .arg(window->frameGeometry().y())
                                .arg(window->frameGeometry().width())
                                .arg(window->frameGeometry().height())));
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
    // The designed place, moved left as far as the frame needs to end on this small screen.
    const QRect available = window->screen()->availableGeometry();
    QTRY_VERIFY(available.contains(window->frameGeometry()));
    QCOMPARE(window->y(), 119);
    QVERIFY(window->x() == 283 || window->frameGeometry().right() == available.right());
  }
};

QTEST_MAIN(TestMainWindow)
#include "test_MainWindow.moc"
