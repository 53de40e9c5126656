#pragma once
// The main window: the open e-book's file name, title, icon and brandable variables, the
// buttons that open, close, update and run it, and a fixed help text. The work itself is done
// by TEBookDocument; the window asks the user, shows progress, shows the result and shows
// errors in the application's error box.

#include "ebook/u_EBookDocument.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QAction;
class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPushButton;
class TValueGrid;
class QTextEdit;
class QProgressDialog;

// The application's title, the caption of the error box.
inline constexpr const char* SApplicationTitle = "Folioset";
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
  // Asks for the password of the certificate file; false when the user cancels.
  std::function<bool(const QString& file, QString& password)> AskPassword;
};

class TfrmMain : public QWidget {
  Q_OBJECT

public:
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  // Opens the e-book at path, as the open dialog does when the user confirms it.
  void OpenEBookFile(const QString& path);

  QWidget* Panel1;
  QLineEdit* edtName;
  QWidget* Panel2;
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
  QPushButton* btnOpen;
  QPushButton* btnUpdate;
  QPushButton* btnCloseModule;
  QTextEdit* edtHelp;
  QPushButton* btnViewEbook;

  TModalHooks ModalHooks;

public slots:
  void btnOpenClick();
  void btnCloseModuleClick();
  void btnUpdateClick();
  void btnViewEbookClick();
  void imgIconDblClick();
  void mnuLoadIconClick();
  void mnuResetIconClick();
  void mnuSignWithClick();
  void mnuDontSignClick();

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void CreateControls();
  void CreatePanel1();
  void CreatePanel2();
  void CreateDialogsAndMenu();
  void CreateShortcuts();
  void FormCreate();
  void FormShow();
  void FormClose();

  // Runs handler; an error that leaves it ends in the error box.
  void Guarded(const std::function<void()>& handler);
  void ShowErrorBox(const std::string& message);
  int ExecMessageBox(QMessageBox& box);
  QString ExecFileDialog(QFileDialog& dialog);
  void ShellOpen(const std::string& path);

  // The signer Update signs with, its password asked now; none when no certificate file is
  // chosen or the user cancels the question (cancelled then says so).
  std::unique_ptr<TCodeSigner> SignerForUpdate(bool& cancelled);
  void ShowSigningChoice();

  // Runs a long operation of the document on a worker thread while this thread keeps the
  // window painted, shows progress and holds user input back; its error passes on here.
  void RunWithProgress(const std::function<void()>& operation);
  void OpenEBook(const QString& path);
  // Shows the document as it is now: name, title, grid, icon and the enabled states.
  void ShowEBook();
  void ShowIcon();
  void ShowIconMenu(const QPoint& at);
  // Ends in-place editing of a value, keeping what was typed.
  void CommitEditor();
  // Whether the grid or the icon differ from the open book as stored.
  bool Edited();
  // Asks whether to drop the edits when there are any; true when there are none to lose or
  // the user lets them go.
  bool MayDiscardEdits();
  // The grid's rows as the user left them.
  TVariableRows GridRows();

  std::unique_ptr<TEBookDocument> FDocument;
  // The progress display of the operation running, if any.
  QProgressDialog* FProgress = nullptr;
  // The file the operation running was given: messages hold it as the system's bytes.
  std::string FFileNameInUse;
  // The certificate file Update signs with; empty for no signature.
  QString FSigningFile;
};
