#pragma once
// The main window: the open e-book's file name, title, icon and brandable variables, the
// buttons and the menu that open, close, update and run it, and a help text that gives way to
// the grid when room is short. The work itself is done
// by TEBookDocument; the window asks the user, shows progress, shows the result and shows
// errors in the application's error box.

#include "ebook/u_EBookDocument.h"
#include "gui/u_EditHistory.h"

#include <QMainWindow>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QMessageBox;
class QPushButton;
class TGridHelpPanel;
class TValueGrid;
class QTextEdit;
class TLongOperation;
class QMimeData;
enum class TCloseChoice;
class QStatusBar;
class QTableWidgetItem;

// Where the main window keeps its placement.
inline constexpr const char* SMainFormStateKey = "Software\\Norvane\\Leafpress\\Folioset";

// The error box text for an exception message: "." appended when the last character has a
// code above that of ".".
std::string ErrorBoxText(std::string message);

// The modal boxes, file dialogs and the shell go through these, so that tests can answer them;
// an empty member uses the real thing.
struct TModalHooks {
  // Runs a configured message box; returns the button pressed.
  std::function<int(QMessageBox& box)> ExecMessageBox;
  // Runs a configured file dialog; returns the chosen file, empty when cancelled.
  std::function<QString(QFileDialog& dialog)> ExecFileDialog;
  // Hands a file to the desktop to run; false when nothing started for it.
  std::function<bool(const QString& path)> ShellOpen;
  // Whether the desktop has a program that runs the file.
  std::function<bool(const QString& path)> CanRun;
  // Asks for the password of the certificate file; false when the user cancels.
  std::function<bool(const QString& file, QString& password)> AskPassword;
  // Asks for the time-stamp server's URL, given the current one; false when the user cancels.
  std::function<bool(QString& url)> AskTimeStampUrl;
  // Shows a folder in the desktop's file manager; false when nothing started for it.
  std::function<bool(const QString& folder)> ShowFolder;
};

class TCodePageMenu;

// The window's controls by their names: the form's own, created, laid out and changed by it
// alone.
struct TMainControls {
  QWidget* Panel1;
  QLineEdit* edtName;
  TGridHelpPanel* Panel2;
  TValueGrid* vleVariables;
  QLabel* Label1;
  QLabel* Label2;
  QLineEdit* edtTitle;
  QLabel* Label3;
  QFrame* Panel3;
  QLabel* imgIcon;
  QFileDialog* dlgOpen;
  QFileDialog* dlgOpenPicture;
  QMenu* popIcon;
  QAction* mnuLoadIcon;
  QAction* mnuResetIcon;
  QAction* mnuSignWith;
  QAction* mnuDontSign;
  QAction* mnuTimeStamp;
  QPushButton* btnOpen;
  QPushButton* btnUpdate;
  QPushButton* btnCloseModule;
  QTextEdit* edtHelp;
  QPushButton* btnViewEbook;
  // Beside Update: whether and as whom it signs.
  QLabel* lblSigning;

  // The menu bar: every command with its shortcut. The View menu is the home of settings of
  // how the book is shown.
  QMenuBar* mnuMain;
  QMenu* mnuFileMenu;
  QMenu* mnuEditMenu;
  QMenu* mnuViewMenu;
  QMenu* mnuIconMenu;
  QMenu* mnuHelpMenu;
  QAction* mnuOpen;
  QMenu* mnuOpenRecent;
  QAction* mnuUpdate;
  QAction* mnuUpdateCopy;
  QAction* mnuShowInFolder;
  QAction* mnuViewEbook;
  QAction* mnuClose;
  QAction* mnuQuit;
  QAction* mnuUndo;
  QAction* mnuRedo;
  QAction* mnuRevert;
  QAction* mnuShowHelp;
  TCodePageMenu* mnuCodePage;
  QAction* mnuIconLoad;
  QAction* mnuIconReset;
  QAction* mnuIconPaste;
  QAction* mnuHelp;
  QAction* mnuAbout;
  QStatusBar* stbStatus;
  // The code page the book's texts are read with, always in view.
  QLabel* lblCodePage;
  // The open book's signature, judged.
  QLabel* lblSignature;
};

// A main window, so that a screen reader announces it as the program's frame.
class TfrmMain : public QMainWindow, private TMainControls {
  Q_OBJECT

public:
  // Books open in the code page remembered from the View menu, else in localeCodePage.
  explicit TfrmMain(TCodePage localeCodePage, QWidget* parent = nullptr);
  ~TfrmMain() override;

  // Opens the e-book at path, as the open dialog does when the user confirms it.
  void OpenEBookFile(const QString& path);

  // The controls, for reading what the window shows.
  const TMainControls& Controls() const { return *this; }

  TModalHooks ModalHooks;

public slots:
  void btnOpenClick();
  void btnCloseModuleClick();
  void btnUpdateClick();
  void mnuUpdateCopyClick();
  void mnuShowInFolderClick();
  void btnViewEbookClick();
  void imgIconDblClick();
  void mnuLoadIconClick();
  void mnuResetIconClick();
  void mnuIconPasteClick();
  void mnuUndoClick();
  void mnuRedoClick();
  void mnuRevertClick();
  void mnuHelpClick();
  void mnuAboutClick();
  // Reads the open book again in codePage, once its edits may go.
  void mnuCodePageRequested(int codePage);
  void mnuSignWithClick();
  void mnuDontSignClick();
  void mnuTimeStampClick();

protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void CreateControls(const TCodePage& localeCodePage);
  void CreatePanel1();
  void CreatePanel2();
  void CreateDialogsAndMenu();
  void CreateMenuBar(const TCodePage& localeCodePage);
  void FormCreate();
  void FormShow();
  void FormClose();

  // Runs handler; an error that leaves it ends in the error box.
  void Guarded(const std::function<void()>& handler);
  void ShowErrorBox(const std::string& message, const QString& details = QString());
  int ExecMessageBox(QMessageBox& box);
  QString ExecFileDialog(QFileDialog& dialog);
  void ShellOpen(const std::string& path);
  bool CanRun(const QString& path);

  // The signer Update signs with, its password asked now; none when no certificate file is
  // chosen or the user cancels the question (cancelled then says so).
  std::unique_ptr<TCodeSigner> SignerForUpdate(bool& cancelled);
  void ShowSigningChoice();

  void OpenEBook(const QString& path);
  // Runs operation on book as the window's long operation, which the user may stop until the
  // new book is in place.
  void RunLongOperation(const std::function<void()>& operation, const QString& book,
                        TEBookStep firstStep, const QString& waitsFor);
  TCloseChoice AskOnClose(const QString& waitsFor);
  // Writes the edits into the book, or with a copy into that file, which is then the book
  // shown; asks to run it afterwards when askToRun and something can. False when it failed
  // (the error box has said why) or was stopped.
  bool UpdateEBook(bool askToRun, const QString& copy = QString());
  // Takes icoBytes as the new icon, an edit that can be taken back.
  void LoadIcon(const std::string& icoBytes);
  // The .ico file a drop or the clipboard carries: its name, or else its bytes; none empty.
  static bool IconData(const QMimeData* data, QString& file, std::string& bytes);
  bool IsIconDrop(const QMimeData* data) const;
  // Shows a result in the status line, the file name between its two parts shortened in the
  // middle as far as it takes to show the rest whole beside the code page.
  void ShowStatus(const QString& before, const QString& fileName = {}, const QString& after = {});
  void FitStatus();
  // Gives the focus rings their colour from the palette now in use.
  void ShowFocusRings();
  // Shows the document as it is now: name, title, grid, icon and the enabled states.
  void ShowEBook();
  void ShowIcon();
  void ShowIconMenu(const QPoint& at);
  void ShowRecentBooks();
  void ShowCodePage();
  // The caption: the book's name with a mark while it has edits, then the program's.
  void ShowCaption();
  // Undo, Redo, Revert, Reset and the caption after an edit or its undoing.
  void ShowEditState();
  // Undo, or Redo with redo.
  void TakeBack(bool redo);
  void ValueChanged(QTableWidgetItem* item);
  // Takes the icon chosen before back as the shown one.
  void RestoreIcon(const std::string& icon);
  // Ends in-place editing of a value, keeping what was typed.
  void CommitEditor();
  // Whether the grid or the icon differ from the open book as stored; Edited first ends
  // in-place editing.
  bool Edited();
  bool Differs() const;
  // Asks whether to update the book, drop the edits or stay when there are any; true when
  // there are none left to lose.
  bool MayDiscardEdits();
  // The grid's rows as the user left them.
  TVariableRows GridRows();

  std::unique_ptr<TEBookDocument> FDocument;
  // Reading and writing the book, one at a time, with input held back meanwhile.
  std::unique_ptr<TLongOperation> FLongOperation;
  // The file the operation running was given: messages hold it as the system's bytes.
  std::string FFileNameInUse;
  // The name of the book the long operation running reads or writes, for its questions.
  QString FBookInUse;
  // The error box's word on the book the failed operation concerns (empty for none).
  QString FBookInQuestion;
  TEditHistory FHistory;
  // The grid's values as last seen, to know what an edit replaced, and as the book holds them.
  QStringList FShownValues;
  QStringList FStoredValues;
  // Off while the window itself fills or restores the grid.
  bool FRecordEdits = false;
  // The certificate file Update signs with; empty for no signature.
  QString FSigningFile;
  // The time-stamp server Update asks; empty for none.
  QString FTimeStampUrl;
  // The error box of a failed Update offers to brand a copy: the book cannot be written.
  bool FOfferCopy = false;
  // The result the status line shows, in the three parts ShowStatus was given.
  QStringList FStatus;
};
