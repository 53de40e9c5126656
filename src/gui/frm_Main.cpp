#include "gui/frm_Main.h"

#include "common/u_AnsiText.h"
#include "common/u_Common.h"
#include "common/u_Files.h"
#include "gui/u_DesktopRun.h"
#include "gui/u_Forms.h"
#include "gui/u_MessageText.h"
#include "gui/u_ValueGrid.h"
#include "gui/u_Version.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTableWidget>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <climits>
#include <thread>

namespace {
// The designed window is 684 x 492 pixels outside; inside the classic frame (4 pixels a side)
// and caption (19 pixels) that leaves this client area, to which the layout below is drawn.
constexpr int DesignedClientWidth = 676;
constexpr int DesignedClientHeight = 465;
constexpr QPoint DesignedPosition(283, 119);
constexpr int Panel1Height = 129;
constexpr int Panel2Border = 5;
constexpr int HelpHeight = 162;
constexpr int KeyColumnWidth = 150;
constexpr int GridRowHeight = 18;
// The smallest client area at which nothing overlaps or is cut off: the row of buttons with
// its margins across; the top panel, the grid's title row with two rows, and the help box
// down.
constexpr int MinimumClientWidth = 8 + 4 * 90 + 3 * 2 + 8;
constexpr int GridMinimumHeight = 64;
// The system's standard icon size, the size shown of an icon with several images.
constexpr int StandardIconSize = 32;
// A short operation finishes before its progress display would only flicker.
constexpr int ProgressDelayMs = 400;

const char* const SConfirmCaption = "Confirm";
const char* const SRunBranded = "eBook successfully branded. Would you like to run it?";
const char* const SDiscardEdits =
    "The changes to this eBook have not been written to it. Discard them?";
const char* const SNoProgramToRun =
    "No program of this desktop is set to run \"%s\"; Folioset only brands it";
const char* const SSignatureRemoved =
    "The eBook was digitally signed; a changed eBook cannot keep its signature, so it was "
    "removed.";
const char* const SLoadIconHint = "Double click on the icon to load new one.";
const char* const SGridHint = "Select the variable and enter new value.";

// A line ending in a blank breaks a sentence: on screen it runs on into the next line, and
// the box wraps the text at its own width.
const char* const HelpLines[] = {
    "Branding Your eBook",
    " ",
    "Your eBook may have portions of text that may be branded with your own information.",
    "To brand your ebook, please do the following:",
    " ",
    "Step 1: Click on the \"Open eBook\" button. (Please note, if the ebook is secured, you will "
    "be asked to enter a password or username ",
    "and password.)",
    "Step 2: If you would like to change the icon, double click on the icon to select your own.",
    "Step 3: If the ebook has text that may be branded, the brandable fields will be displayed "
    "in the \"Key\" section above, with the current text ",
    "listed in the \"Value\" section. Click on each value to edit the text.",
    "Step 4: Click on the \"Update\" button.",
    "Step 5: Click on the \"View eBook\" button to view your newly branded ebook.",
};

QString ProgressText(TEBookStep step) {
  switch (step) {
  case esRead:
    return QStringLiteral("Reading the eBook...");
  case esUnpack:
    return QStringLiteral("Unpacking its content...");
  case esParse:
    return QStringLiteral("Reading its variables...");
  case esPack:
    return QStringLiteral("Packing the new content...");
  case esRewrite:
    return QStringLiteral("Writing the eBook...");
  }
  return QString();
}

QString HelpText() {
  QString text, previous;
  for (const char* line : HelpLines) {
    const bool runsOn = previous.endsWith(' ') && !previous.trimmed().isEmpty();
    if (!text.isEmpty() && !runsOn)
      text += '\n';
    previous = QString::fromLatin1(line);
    text += previous;
  }
  return text;
}

// A drop takes a copy: the source keeps its file, whatever the user's keys proposed.
bool AcceptAsCopy(QDropEvent* event) {
  if (!(event->possibleActions() & Qt::CopyAction))
    return false;
  event->setDropAction(Qt::CopyAction);
  event->accept();
  return true;
}

bool IsBookDrop(const QMimeData* data) {
  const QList<QUrl> urls = data->urls();
  return urls.size() == 1 && urls.front().isLocalFile() &&
         QFileInfo(urls.front().toLocalFile()).suffix().compare("exe", Qt::CaseInsensitive) == 0;
}

// A panel whose anchored children follow its right edge: a control anchored left and right
// widens with it, one anchored right only moves with it.
class TAnchorPanel : public QWidget {
public:
  explicit TAnchorPanel(QWidget* parent, int designedWidth)
      : QWidget(parent), FDesignedWidth(designedWidth) {}

  void AnchorRight(QWidget* control, bool keepLeft) {
    FAnchors.push_back({control, FDesignedWidth - control->x() - control->width(), keepLeft});
  }

protected:
  void resizeEvent(QResizeEvent*) override {
    for (const TAnchor& anchor : FAnchors) {
      const int right = width() - anchor.RightMargin;
      if (anchor.KeepLeft)
        anchor.Control->resize(std::max(0, right - anchor.Control->x()), anchor.Control->height());
      else
        anchor.Control->move(right - anchor.Control->width(), anchor.Control->y());
    }
  }

private:
  struct TAnchor {
    QWidget* Control;
    int RightMargin;
    bool KeepLeft;
  };
  int FDesignedWidth;
  std::vector<TAnchor> FAnchors;
};

// Holds user input back from every window while a long operation runs, so that nothing can
// start a second one or close the window under it; painting goes on.
class TInputHold : public QObject {
public:
  TInputHold() {
    qApp->installEventFilter(this);
    QApplication::setOverrideCursor(Qt::WaitCursor);
  }
  ~TInputHold() override {
    QApplication::restoreOverrideCursor();
    qApp->removeEventFilter(this);
  }

protected:
  bool eventFilter(QObject*, QEvent* event) override {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::Drop:
    case QEvent::Close:
      event->ignore();
      return true;
    default:
      return false;
    }
  }
};

// The picture of .ico bytes at the standard icon size (the image closest to it); a null
// pixmap when there is none.
QPixmap IconPixmap(const std::string& icoBytes) {
  QByteArray bytes(icoBytes.data(), qsizetype(icoBytes.size()));
  QBuffer buffer(&bytes);
  QImageReader reader(&buffer, "ico");
  QImage best;
  const int count = std::max(1, reader.imageCount());
  for (int i = 0; i < count; ++i) {
    if (!reader.jumpToImage(i) && i > 0)
      break;
    const QImage image = reader.read();
    if (image.isNull())
      continue;
    const auto distance = [](const QImage& candidate) {
      return std::abs(candidate.width() - StandardIconSize) +
             std::abs(candidate.height() - StandardIconSize);
    };
    if (best.isNull() || distance(image) < distance(best))
      best = image;
  }
  return QPixmap::fromImage(best);
}

QIcon Glyph(const QString& name, bool withDisabledState) {
  QIcon glyph(QStringLiteral(":/folioset/glyphs/%1.png").arg(name));
  if (withDisabledState)
    glyph.addFile(QStringLiteral(":/folioset/glyphs/%1-disabled.png").arg(name), QSize(),
                  QIcon::Disabled);
  return glyph;
}

QPushButton* CreateButton(QWidget* parent, const char* name, const char* caption,
                          const QString& glyph, bool withDisabledState, int left) {
  auto* button = new QPushButton(QString::fromLatin1(caption), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(left, 8, 90, 25);
  button->setIcon(Glyph(glyph, withDisabledState));
  button->setIconSize(QSize(16, 16));
  button->setAutoDefault(false);
  return button;
}

QLabel* CreateLabel(QWidget* parent, const char* name, const char* caption, int left, int top) {
  auto* label = new QLabel(QString::fromLatin1(caption), parent);
  label->setObjectName(QString::fromLatin1(name));
  label->move(left, top);
  label->adjustSize();
  return label;
}

QLineEdit* CreateReadOnlyBox(QWidget* parent, const char* name, int top) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setGeometry(8, top, 591, 21);
  box->setReadOnly(true);
  box->setAcceptDrops(false);
  QPalette palette = box->palette();
  palette.setColor(QPalette::Base, QApplication::palette().color(QPalette::Button));
  box->setPalette(palette);
  return box;
}
} // namespace

// The window's pictures live in the program; a static library needs them pulled in by name.
static void InitResources() {
  Q_INIT_RESOURCE(folioset);
}

std::string ErrorBoxText(std::string message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
    message += '.';
  return message;
}

TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent) {
  InitResources();
  setObjectName(QStringLiteral("frmMain"));
  setWindowIcon(QIcon(QStringLiteral(":/folioset/folioset.png")));
  setWindowTitle(QString::fromLatin1(SApplicationTitle));
  CreateControls();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  // FormDestroy: the open e-book, if any, is closed before its objects go.
  FDocument->CloseEBook();
}

void TfrmMain::CreateControls() {
  // The form keeps its designed pixel sizes: its font does not follow the system font size.
  QFont font = QApplication::font();
  font.setPixelSize(11);
  setFont(font);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  setAcceptDrops(true);
  move(DesignedPosition);
  resize(DesignedClientWidth, DesignedClientHeight);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  CreatePanel1();
  CreatePanel2();
  layout->addWidget(Panel1);
  layout->addWidget(Panel2, 1);
  CreateDialogsAndMenu();
  CreateShortcuts();

  setTabOrder(btnOpen, btnCloseModule);
  setTabOrder(btnCloseModule, btnUpdate);
  setTabOrder(btnUpdate, edtName);
  setTabOrder(edtName, edtTitle);
  setTabOrder(edtTitle, imgIcon);
  setTabOrder(imgIcon, btnViewEbook);
  setTabOrder(btnViewEbook, vleVariables);
  setTabOrder(vleVariables, edtHelp);
}

void TfrmMain::CreatePanel1() {
  auto* panel = new TAnchorPanel(this, DesignedClientWidth);
  Panel1 = panel;
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setFixedHeight(Panel1Height);
  Panel1->setMinimumWidth(MinimumClientWidth);

  btnOpen = CreateButton(Panel1, "btnOpen", "Open eBook", "open", true, 8);
  btnCloseModule = CreateButton(Panel1, "btnCloseModule", "Close eBook", "close", true, 100);
  btnUpdate = CreateButton(Panel1, "btnUpdate", "Update", "update", true, 192);
  btnViewEbook = CreateButton(Panel1, "btnViewEbook", "View eBook", "view", false, 284);
  connect(btnOpen, &QPushButton::clicked, this, &TfrmMain::btnOpenClick);
  connect(btnCloseModule, &QPushButton::clicked, this, &TfrmMain::btnCloseModuleClick);
  connect(btnUpdate, &QPushButton::clicked, this, &TfrmMain::btnUpdateClick);
  connect(btnViewEbook, &QPushButton::clicked, this, &TfrmMain::btnViewEbookClick);

  Label1 = CreateLabel(Panel1, "Label1", "File Name", 8, 40);
  edtName = CreateReadOnlyBox(Panel1, "edtName", 56);
  Label2 = CreateLabel(Panel1, "Label2", "Title", 8, 80);
  edtTitle = CreateReadOnlyBox(Panel1, "edtTitle", 96);
  Label3 = CreateLabel(Panel1, "Label3", "Icon", 606, 40);

  Panel3 = new QFrame(Panel1);
  Panel3->setObjectName(QStringLiteral("Panel3"));
  Panel3->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel3->setGeometry(606, 56, 61, 61);
  imgIcon = new QLabel(Panel3);
  imgIcon->setObjectName(QStringLiteral("imgIcon"));
  imgIcon->setAlignment(Qt::AlignCenter);
  imgIcon->setToolTip(QString::fromLatin1(SLoadIconHint));
  imgIcon->setContextMenuPolicy(Qt::CustomContextMenu);
  // The icon's menu is reachable without a mouse: the icon takes focus and shows it so.
  imgIcon->setFocusPolicy(Qt::StrongFocus);
  imgIcon->setStyleSheet(QStringLiteral("QLabel:focus { border: 1px dotted palette(highlight); }"));
  imgIcon->installEventFilter(this);
  auto* iconLayout = new QVBoxLayout(Panel3);
  iconLayout->setContentsMargins(0, 0, 0, 0);
  iconLayout->addWidget(imgIcon);

  panel->AnchorRight(edtName, true);
  panel->AnchorRight(edtTitle, true);
  panel->AnchorRight(Label3, false);
  panel->AnchorRight(Panel3, false);
}

void TfrmMain::CreatePanel2() {
  Panel2 = new QWidget(this);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  auto* layout = new QVBoxLayout(Panel2);
  layout->setContentsMargins(Panel2Border, Panel2Border, Panel2Border, Panel2Border);
  layout->setSpacing(0);

  vleVariables = new TValueGrid(Panel2);
  vleVariables->setObjectName(QStringLiteral("vleVariables"));
  vleVariables->setToolTip(QString::fromLatin1(SGridHint));
  vleVariables->setHorizontalHeaderLabels({QStringLiteral("Key"), QStringLiteral("Value")});
  vleVariables->verticalHeader()->hide();
  vleVariables->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  vleVariables->verticalHeader()->setDefaultSectionSize(GridRowHeight);
  QHeaderView* header = vleVariables->horizontalHeader();
  header->setSectionsClickable(false);
  header->setHighlightSections(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setSectionResizeMode(0, QHeaderView::Fixed);
  header->resizeSection(0, KeyColumnWidth);
  header->setSectionResizeMode(1, QHeaderView::Stretch);
  vleVariables->setShowGrid(true);
  vleVariables->setSelectionMode(QAbstractItemView::SingleSelection);
  vleVariables->setEditTriggers(QAbstractItemView::AllEditTriggers);
  vleVariables->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  vleVariables->verticalScrollBar()->setTracking(true);
  vleVariables->setMinimumHeight(GridMinimumHeight);
  layout->addWidget(vleVariables, 1);

  edtHelp = new QTextEdit(Panel2);
  edtHelp->setObjectName(QStringLiteral("edtHelp"));
  edtHelp->setReadOnly(true);
  edtHelp->setAcceptDrops(false);
  edtHelp->setFixedHeight(HelpHeight);
  edtHelp->setLineWrapMode(QTextEdit::WidgetWidth);
  edtHelp->setPlainText(HelpText());
  layout->addWidget(edtHelp);
}

void TfrmMain::CreateDialogsAndMenu() {
  dlgOpen = new QFileDialog(this);
  dlgOpen->setObjectName(QStringLiteral("dlgOpen"));
  dlgOpen->setAcceptMode(QFileDialog::AcceptOpen);
  dlgOpen->setFileMode(QFileDialog::ExistingFile);
  dlgOpen->setNameFilter(QStringLiteral("eBooks (*.exe)"));
  dlgOpen->setDefaultSuffix(QStringLiteral("exe"));
  // Books are looked for where the program was started, until the user goes elsewhere.
  dlgOpen->setDirectory(QDir::currentPath());

  // The picture dialog is Qt's own, so that it can show a preview of the chosen icon.
  dlgOpenPicture = new QFileDialog(this);
  dlgOpenPicture->setObjectName(QStringLiteral("dlgOpenPicture"));
  dlgOpenPicture->setOption(QFileDialog::DontUseNativeDialog);
  dlgOpenPicture->setAcceptMode(QFileDialog::AcceptOpen);
  dlgOpenPicture->setFileMode(QFileDialog::ExistingFile);
  dlgOpenPicture->setNameFilter(QStringLiteral("Icons (*.ico)"));
  dlgOpenPicture->setDefaultSuffix(QStringLiteral("ico"));
  auto* preview = new QLabel(dlgOpenPicture);
  preview->setObjectName(QStringLiteral("preview"));
  preview->setAlignment(Qt::AlignCenter);
  preview->setMinimumSize(140, 140);
  preview->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  if (auto* grid = qobject_cast<QGridLayout*>(dlgOpenPicture->layout()))
    grid->addWidget(preview, 0, grid->columnCount(), grid->rowCount(), 1);
  connect(dlgOpenPicture, &QFileDialog::currentChanged, preview, [preview](const QString& path) {
    QFile file(path);
    const QPixmap picture = QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly)
                                ? IconPixmap(file.readAll().toStdString())
                                : QPixmap();
    if (picture.isNull()) {
      preview->clear();
      preview->setToolTip(QString());
      return;
    }
    preview->setPixmap(picture);
    preview->setToolTip(QStringLiteral("%1 x %2").arg(picture.width()).arg(picture.height()));
  });

  popIcon = new QMenu(this);
  popIcon->setObjectName(QStringLiteral("popIcon"));
  mnuLoadIcon = popIcon->addAction(QStringLiteral("Load Icon"));
  mnuLoadIcon->setObjectName(QStringLiteral("mnuLoadIcon"));
  QFont bold = mnuLoadIcon->font();
  bold.setBold(true);
  mnuLoadIcon->setFont(bold);
  popIcon->setDefaultAction(mnuLoadIcon);
  mnuResetIcon = popIcon->addAction(QStringLiteral("Reset"));
  mnuResetIcon->setObjectName(QStringLiteral("mnuResetIcon"));
  connect(mnuLoadIcon, &QAction::triggered, this, &TfrmMain::mnuLoadIconClick);
  connect(mnuResetIcon, &QAction::triggered, this, &TfrmMain::mnuResetIconClick);
  connect(imgIcon, &QWidget::customContextMenuRequested, this, &TfrmMain::ShowIconMenu);
}

void TfrmMain::CreateShortcuts() {
  connect(new QShortcut(QKeySequence::Open, this), &QShortcut::activated, this,
          &TfrmMain::btnOpenClick);
  connect(new QShortcut(QKeySequence::Close, this), &QShortcut::activated, this,
          &TfrmMain::btnCloseModuleClick);
  connect(new QShortcut(QKeySequence::Quit, this), &QShortcut::activated, this, &QWidget::close);
}

void TfrmMain::FormCreate() {
  FDocument = std::make_unique<TEBookDocument>();
  FDocument->OnShellOpen = [this](const std::string& path) { ShellOpen(path); };
  // Called on the worker thread of a long operation: the display is updated on this one.
  FDocument->OnProgress = [this](TEBookStep step, int percent) {
    QMetaObject::invokeMethod(
        this,
        [this, step, percent] {
          if (!FProgress)
            return;
          FProgress->setLabelText(ProgressText(step));
          FProgress->setValue(percent);
        },
        Qt::QueuedConnection);
  };
  ShowEBook();
  setWindowTitle(QStringLiteral("%1 %2").arg(QString::fromLatin1(SApplicationTitle),
                                             QString::fromStdString(GetVersionText(0, 4))));
}

void TfrmMain::FormShow() {
  RestoreFormState(QString::fromLatin1(SMainFormStateKey), this);
}

void TfrmMain::FormClose() {
  SaveFormState(QString::fromLatin1(SMainFormStateKey), this, fsSizeAndPos | fsSplitters);
}

void TfrmMain::showEvent(QShowEvent* event) {
  // A spontaneous show is the window coming back from the task bar, not the program's show.
  if (!event->spontaneous())
    FormShow();
  QWidget::showEvent(event);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (!MayDiscardEdits()) {
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (IsBookDrop(event->mimeData()))
    AcceptAsCopy(event);
}

void TfrmMain::dragMoveEvent(QDragMoveEvent* event) {
  if (IsBookDrop(event->mimeData()))
    AcceptAsCopy(event);
}

void TfrmMain::dropEvent(QDropEvent* event) {
  if (!IsBookDrop(event->mimeData()) || !AcceptAsCopy(event))
    return;
  const QString path = event->mimeData()->urls().front().toLocalFile();
  // The drag source waits for the drop to end: ask and open once it has.
  QTimer::singleShot(0, this, [this, path] {
    if (MayDiscardEdits())
      OpenEBookFile(path);
  });
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched != imgIcon)
    return QWidget::eventFilter(watched, event);
  switch (event->type()) {
  case QEvent::MouseButtonDblClick:
    imgIconDblClick();
    return true;
  case QEvent::KeyPress: {
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool shiftF10 = key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier;
    if (key->key() != Qt::Key_Menu && !shiftF10)
      return false;
    ShowIconMenu(imgIcon->rect().center());
    return true;
  }
  case QEvent::ContextMenu:
    // The menu key already showed the menu above; some platforms send this as well.
    return static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard;
  default:
    return false;
  }
}

void TfrmMain::ShowIconMenu(const QPoint& at) {
  if (FDocument->Opened())
    popIcon->popup(imgIcon->mapToGlobal(at));
}

void TfrmMain::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    ShowErrorBox(GetExceptionMessage());
  }
}

void TfrmMain::ShowErrorBox(const std::string& message) {
  // The files the failed operation was given, and the temporary copies it made, are the file
  // names a message can hold.
  const std::vector<std::string> fileNames = {FFileNameInUse, FDocument->FileName(), TempFolder()};
  QMessageBox box(QMessageBox::Critical, QString::fromLatin1(SApplicationTitle),
                  MessageText(ErrorBoxText(message), fileNames), QMessageBox::Ok, this);
  ExecMessageBox(box);
}

bool TfrmMain::Edited() {
  if (!FDocument->Opened())
    return false;
  if (!FDocument->NewIcon().empty())
    return true;
  CommitEditor();
  const TVariableRows& rows = FDocument->Rows();
  if (int(rows.size()) != vleVariables->rowCount())
    return true;
  for (int row = 0; row < vleVariables->rowCount(); ++row)
    if (vleVariables->Value(row).toStdU16String() != AnsiToUtf16(rows[size_t(row)].Value))
      return true;
  return false;
}

bool TfrmMain::MayDiscardEdits() {
  if (!Edited())
    return true;
  QMessageBox box(QMessageBox::Warning, QString::fromLatin1(SApplicationTitle),
                  QString::fromLatin1(SDiscardEdits), QMessageBox::Discard | QMessageBox::Cancel,
                  this);
  box.setDefaultButton(QMessageBox::Cancel);
  return ExecMessageBox(box) == QMessageBox::Discard;
}

int TfrmMain::ExecMessageBox(QMessageBox& box) {
  return ModalHooks.ExecMessageBox ? ModalHooks.ExecMessageBox(box) : box.exec();
}

QString TfrmMain::ExecFileDialog(QFileDialog& dialog) {
  if (ModalHooks.ExecFileDialog)
    return ModalHooks.ExecFileDialog(dialog);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
    return QString();
  return dialog.selectedFiles().front();
}

void TfrmMain::ShellOpen(const std::string& path) {
  const QString file = QFile::decodeName(QByteArray::fromStdString(path));
  const bool started = ModalHooks.ShellOpen ? ModalHooks.ShellOpen(file) : RunOnDesktop(file);
  if (!started)
    throw Exception(Format(SNoProgramToRun, path.c_str()));
}

void TfrmMain::RunWithProgress(const std::function<void()>& operation) {
  QProgressDialog progress(this);
  progress.setWindowTitle(QString::fromLatin1(SApplicationTitle));
  progress.setCancelButton(nullptr);
  progress.setRange(0, 100);
  // Each step runs from 0 to 100 on its own: the display stays up between them.
  progress.setAutoReset(false);
  progress.setAutoClose(false);
  progress.setMinimumDuration(INT_MAX);
  progress.setWindowModality(Qt::WindowModal);
  FProgress = &progress;
  TInputHold inputHold;
  QTimer::singleShot(ProgressDelayMs, &progress, &QWidget::show);

  QEventLoop loop;
  std::exception_ptr error;
  std::thread worker([&] {
    try {
      operation();
    } catch (...) {
      error = std::current_exception();
    }
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  FProgress = nullptr;
  if (error)
    std::rethrow_exception(error);
}

void TfrmMain::OpenEBookFile(const QString& path) {
  Guarded([&] { OpenEBook(path); });
}

void TfrmMain::OpenEBook(const QString& path) {
  // File names are the system's own bytes, not code page texts.
  const std::string fileName = QFile::encodeName(path).toStdString();
  FFileNameInUse = fileName;
  try {
    RunWithProgress([&] { FDocument->OpenEBook(fileName); });
  } catch (...) {
    ShowEBook();
    throw;
  }
  ShowEBook();
}

void TfrmMain::ShowEBook() {
  const bool opened = FDocument->Opened();
  edtName->setText(QFile::decodeName(QByteArray::fromStdString(FDocument->FileName())));
  edtTitle->setText(QString::fromStdU16String(AnsiToUtf16(FDocument->Title())));
  edtName->setCursorPosition(0);
  edtTitle->setCursorPosition(0);

  vleVariables->setRowCount(0);
  for (const TVariableRow& row : FDocument->Rows())
    vleVariables->AddRow(QString::fromStdU16String(AnsiToUtf16(row.Name)),
                         QString::fromStdU16String(AnsiToUtf16(row.Value)));
  vleVariables->setEnabled(opened);
  QPalette palette = vleVariables->palette();
  palette.setColor(QPalette::Base,
                   QApplication::palette().color(opened ? QPalette::Base : QPalette::Button));
  vleVariables->setPalette(palette);

  ShowIcon();
  imgIcon->setEnabled(opened);
  btnCloseModule->setEnabled(opened);
  btnUpdate->setEnabled(opened);
  btnViewEbook->setEnabled(opened);
}

void TfrmMain::ShowIcon() {
  QPixmap picture = IconPixmap(FDocument->ShownIcon());
  const QSize room = Panel3->contentsRect().size();
  if (!picture.isNull() && (picture.width() > room.width() || picture.height() > room.height()))
    picture = picture.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  if (picture.isNull())
    imgIcon->clear();
  else
    imgIcon->setPixmap(picture);
}

void TfrmMain::CommitEditor() {
  // A value still in its editor counts as entered: leaving the cell commits it.
  if (const QModelIndex current = vleVariables->currentIndex(); current.isValid()) {
    vleVariables->setCurrentIndex(QModelIndex());
    vleVariables->setCurrentIndex(current);
  }
}

TVariableRows TfrmMain::GridRows() {
  CommitEditor();
  TVariableRows rows;
  for (int row = 0; row < vleVariables->rowCount(); ++row)
    rows.push_back({Utf16ToAnsi(vleVariables->Key(row).toStdU16String()),
                    Utf16ToAnsi(vleVariables->Value(row).toStdU16String())});
  return rows;
}

void TfrmMain::btnOpenClick() {
  Guarded([&] {
    if (!MayDiscardEdits())
      return;
    const QString path = ExecFileDialog(*dlgOpen);
    if (!path.isEmpty())
      OpenEBook(path);
  });
}

void TfrmMain::btnCloseModuleClick() {
  if (!MayDiscardEdits())
    return;
  FDocument->CloseEBook();
  ShowEBook();
}

void TfrmMain::btnUpdateClick() {
  Guarded([&] {
    if (!FDocument->Opened())
      return;
    FFileNameInUse = FDocument->FileName();
    const TVariableRows rows = GridRows();
    TEBookUpdateResult result;
    try {
      RunWithProgress([&] { result = FDocument->UpdateEBook(rows); });
    } catch (...) {
      // Until the new file is in place the book stays open with the user's edits in the grid;
      // only a failure to show the written book leaves it closed.
      if (!FDocument->Opened())
        ShowEBook();
      throw;
    }
    ShowEBook();
    QMessageBox confirm(QMessageBox::Question, QString::fromLatin1(SConfirmCaption),
                        QString::fromLatin1(SRunBranded), QMessageBox::Ok | QMessageBox::Cancel,
                        this);
    if (result.SignatureRemoved)
      confirm.setInformativeText(QString::fromLatin1(SSignatureRemoved));
    if (ExecMessageBox(confirm) == QMessageBox::Ok)
      FDocument->ViewEBook();
  });
}

void TfrmMain::btnViewEbookClick() {
  Guarded([&] {
    FFileNameInUse = FDocument->FileName();
    FDocument->ViewEBook();
  });
}

void TfrmMain::imgIconDblClick() {
  mnuLoadIconClick();
}

void TfrmMain::mnuLoadIconClick() {
  Guarded([&] {
    if (!FDocument->Opened())
      return;
    const QString path = ExecFileDialog(*dlgOpenPicture);
    if (path.isEmpty())
      return;
    FFileNameInUse = QFile::encodeName(path).toStdString();
    FDocument->LoadNewIcon(LoadFileToString(FFileNameInUse));
    ShowIcon();
  });
}

void TfrmMain::mnuResetIconClick() {
  Guarded([&] {
    FDocument->ResetIcon();
    ShowIcon();
  });
}
