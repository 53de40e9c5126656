#include "gui/frm_Main.h"

#include "common/u_AnsiText.h"
#include "common/u_Common.h"
#include "common/u_Files.h"
#include "gui/u_CodePageMenu.h"
#include "gui/u_DesktopRun.h"
#include "gui/u_FocusRing.h"
#include "gui/u_Forms.h"
#include "gui/u_GridHelpPanel.h"
#include "gui/u_LongOperation.h"
#include "gui/u_MessageText.h"
#include "gui/u_PasswordPrompt.h"
#include "gui/u_RecentBooks.h"
#include "gui/u_SigningChoice.h"
#include "gui/u_ValueGrid.h"
#include "gui/u_Version.h"
#include "signing/u_SigningError.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QCloseEvent>
#include <QCompleter>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableWidget>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <limits>

namespace {

// The designed window is 684 x 492 pixels outside; inside the classic frame (4 pixels a side)
// and caption (19 pixels) that leaves this client area for the panels, to which the menu bar
// and the status line are added.
constexpr int DesignedClientWidth = 676;
constexpr int DesignedClientHeight = 465;
constexpr QPoint DesignedPosition(283, 119);
constexpr int DesignedPanel1Height = 129;
constexpr int KeyColumnWidth = 150;
constexpr int GridRowHeight = 18;
constexpr QSize ButtonSize(90, 25);
constexpr int BoxHeight = 21;
constexpr QSize IconFrameSize(61, 61);
constexpr int GridMinimumHeight = 64;
// What the status line keeps of its width around a message and the code page: its margins,
// the gaps between its parts and the size grip.
constexpr int StatusLineMargins = 48;
// The system's standard icon size, the size shown of an icon with several images.
constexpr int StandardIconSize = 32;

const char* const SConfirmCaption = "Confirm";
const char* const SRunBranded = "eBook successfully branded. Would you like to run it?";
const char* const SUpdateEdits =
    "The changes to \"%1\" have not been written to it. Update it before closing it?";
const char* const SBrandedWrittenTo = "eBook successfully branded and written to \"";
const char* const SStillWorking =
    "\"%1\" is still being %2. Stop now and close, leaving the eBook as it was, or close once "
    "it has been %2?";
const char* const SNoProgramToRun =
    "No program of this desktop is set to run \"%s\"; Folioset only brands it. An eBook is a "
    "Windows program: to run it here, install Wine (the Debian package wine) and try again";
const char* const SNoFolderShown = "No program of this desktop shows the folder \"%s\"";
const char* const SNoIconToPaste = "The clipboard holds no icon: copy an .ico file first";
const char* const SSignatureRemoved =
    "The eBook was digitally signed; a changed eBook cannot keep its signature, so it was "
    "removed.";
const char* const SLoadIconHint = "Double click on the icon to load new one.";
const char* const SGridHint = "Select the variable and enter new value.";
const char* const SAboutText =
    "Folioset %1\n\nPuts your own name, links and icon into a compiled eBook.";

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

bool IsIconFileName(const QString& path) {
  return QFileInfo(path).suffix().compare("ico", Qt::CaseInsensitive) == 0;
}

// The formats an .ico file's bytes travel in.
const char* const IconMimeTypes[] = {"image/vnd.microsoft.icon", "image/x-icon"};

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

// Shows the icon of the file at path in preview, or nothing when it holds none.
void ShowIconPreview(QLabel* preview, const QString& path) {
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
}

QIcon Glyph(const QString& name, bool withDisabledState) {
  QIcon glyph(QStringLiteral(":/folioset/glyphs/%1.png").arg(name));
  if (withDisabledState)
    glyph.addFile(QStringLiteral(":/folioset/glyphs/%1-disabled.png").arg(name), QSize(),
                  QIcon::Disabled);
  return glyph;
}

QPushButton* CreateButton(QWidget* parent, const char* name, const char* caption,
                          const QString& glyph, bool withDisabledState) {
  auto* button = new QPushButton(QString::fromLatin1(caption), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setMinimumSize(ButtonSize);
  button->setIcon(Glyph(glyph, withDisabledState));
  button->setIconSize(QSize(16, 16));
  button->setAutoDefault(false);
  return button;
}

QLabel* CreateLabel(QWidget* parent, const char* name, const char* caption, QWidget* buddy) {
  auto* label = new QLabel(QString::fromLatin1(caption), parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setBuddy(buddy);
  return label;
}

QLineEdit* CreateReadOnlyBox(QWidget* parent, const char* name, const char* accessibleName) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setAccessibleName(QString::fromLatin1(accessibleName));
  box->setMinimumHeight(BoxHeight);
  box->setReadOnly(true);
  box->setAcceptDrops(false);
  // A title made of long values is not cut at the box's usual limit; ShowTitle cuts it.
  box->setMaxLength(std::numeric_limits<int>::max());
  QPalette palette = box->palette();
  palette.setColor(QPalette::Base, QApplication::palette().color(QPalette::Button));
  box->setPalette(palette);
  return box;
}

// The title box shows a title of up to this many characters whole. Laid out in a box, a
// title of ten million characters took four seconds and 400 MB; this many take a tenth of a
// second.
constexpr qsizetype TitleShownLength = 100000;

// Shows title in box: whole, or its start with a mark, and a tip saying how long it is.
void ShowTitle(QLineEdit* box, const QString& title) {
  if (title.size() <= TitleShownLength) {
    box->setText(title);
    box->setToolTip(QString());
  } else {
    const qsizetype cut =
        title[TitleShownLength - 1].isHighSurrogate() ? TitleShownLength - 1 : TitleShownLength;
    box->setText(title.left(cut) + QChar(0x2026));
    box->setToolTip(QStringLiteral("The title has %L1 characters; the box shows the first %L2.")
                        .arg(title.size())
                        .arg(cut));
  }
  box->setCursorPosition(0);
}

// A file name of the system for the screen.
QString FileNameText(const std::string& fileName) {
  return QFile::decodeName(QByteArray::fromStdString(fileName));
}

// The keys that quit: the platform's, and Ctrl+Q under every scheme (the Windows scheme has
// none of its own).
QList<QKeySequence> QuitKeys() {
  QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Quit);
  const QKeySequence ctrlQ(Qt::CTRL | Qt::Key_Q);
  if (!keys.contains(ctrlQ))
    keys << ctrlQ;
  return keys;
}

// The keys of Redo: the platform's, and the other desktops' too, so that Redo is
// Ctrl+Shift+Z and Ctrl+Y everywhere.
QList<QKeySequence> RedoKeys() {
  QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Redo);
  for (const QKeySequence& key :
       {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)})
    if (!keys.contains(key))
      keys << key;
  return keys;
}

bool IsEnterKey(const QKeyEvent* key) {
  return key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
}

// text as a menu item's: a "&" of it is no mnemonic.
QString MenuText(QString text) {
  return text.replace('&', QStringLiteral("&&"));
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

TfrmMain::TfrmMain(TCodePage localeCodePage, QWidget* parent) : QMainWindow(parent) {
  InitResources();
  setObjectName(QStringLiteral("frmMain"));
  setWindowIcon(QIcon(QStringLiteral(":/folioset/folioset.png")));
  CreateControls(localeCodePage);
  FormCreate();
  // Sees the keys of every control (the icon's, a focused button's, a value editor's).
  qApp->installEventFilter(this);
}

TfrmMain::~TfrmMain() {
  qApp->removeEventFilter(this);
  // FormDestroy: the open e-book, if any, is closed before its objects go.
  FDocument->CloseEBook();
}

void TfrmMain::CreateControls(const TCodePage& localeCodePage) {
  // The window follows the system font: its controls grow with it from their designed sizes.
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  setAcceptDrops(true);
  move(DesignedPosition);

  // The panels sit in the window's central area, between the menu bar and the status line.
  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("Client"));
  setCentralWidget(central);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  CreatePanel1();
  CreatePanel2();
  CreateDialogsAndMenu();
  CreateMenuBar(localeCodePage);
  stbStatus = new QStatusBar(this);
  stbStatus->setObjectName(QStringLiteral("stbStatus"));
  setMenuBar(mnuMain);
  setStatusBar(stbStatus);
  layout->addWidget(Panel1);
  layout->addWidget(Panel2, 1);
  // The designed size, grown by the menu bar, the status line and what the system font adds
  // to the top panel, so that the grid and the help box keep their designed room.
  resize(DesignedClientWidth, DesignedClientHeight + mnuMain->sizeHint().height() +
                                  stbStatus->sizeHint().height() +
                                  std::max(0, Panel1->sizeHint().height() - DesignedPanel1Height));

  // Top to bottom, left to right.
  setTabOrder(btnOpen, btnCloseModule);
  setTabOrder(btnCloseModule, btnUpdate);
  setTabOrder(btnUpdate, btnViewEbook);
  setTabOrder(btnViewEbook, edtName);
  setTabOrder(edtName, edtTitle);
  setTabOrder(edtTitle, imgIcon);
  setTabOrder(imgIcon, vleVariables);
  setTabOrder(vleVariables, edtHelp);
}

void TfrmMain::CreatePanel1() {
  Panel1 = new QWidget(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

  btnOpen = CreateButton(Panel1, "btnOpen", "&Open eBook", "open", true);
  btnCloseModule = CreateButton(Panel1, "btnCloseModule", "&Close eBook", "close", true);
  btnUpdate = CreateButton(Panel1, "btnUpdate", "&Update", "update", true);
  btnViewEbook = CreateButton(Panel1, "btnViewEbook", "View e&Book", "view", false);
  connect(btnOpen, &QPushButton::clicked, this, &TfrmMain::btnOpenClick);
  connect(btnCloseModule, &QPushButton::clicked, this, &TfrmMain::btnCloseModuleClick);
  connect(btnUpdate, &QPushButton::clicked, this, &TfrmMain::btnUpdateClick);
  connect(btnViewEbook, &QPushButton::clicked, this, &TfrmMain::btnViewEbookClick);

  edtName = CreateReadOnlyBox(Panel1, "edtName", "File Name");
  edtTitle = CreateReadOnlyBox(Panel1, "edtTitle", "Title");
  Panel3 = new QFrame(Panel1);
  Panel3->setObjectName(QStringLiteral("Panel3"));
  Panel3->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel3->setFixedSize(IconFrameSize);
  imgIcon = new QLabel(Panel3);
  imgIcon->setObjectName(QStringLiteral("imgIcon"));
  imgIcon->setAccessibleName(QStringLiteral("Icon"));
  imgIcon->setAccessibleDescription(QStringLiteral("The eBook's icon. Enter loads a new one."));
  imgIcon->setAlignment(Qt::AlignCenter);
  imgIcon->setToolTip(QString::fromLatin1(SLoadIconHint));
  imgIcon->setContextMenuPolicy(Qt::CustomContextMenu);
  // The icon's menu is reachable without a mouse: the icon takes focus and shows it so.
  imgIcon->setFocusPolicy(Qt::StrongFocus);
  auto* iconLayout = new QVBoxLayout(Panel3);
  iconLayout->setContentsMargins(0, 0, 0, 0);
  iconLayout->addWidget(imgIcon);
  Label1 = CreateLabel(Panel1, "Label1", "File Na&me", edtName);
  Label2 = CreateLabel(Panel1, "Label2", "&Title", edtTitle);
  Label3 = CreateLabel(Panel1, "Label3", "Ico&n", imgIcon);

  // The designed places at the designed font: buttons at the top, the boxes below them
  // widening with the window, the icon frame at the right edge.
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(2);
  buttons->setContentsMargins(0, 0, 0, 4);
  for (QPushButton* button : {btnOpen, btnCloseModule, btnUpdate, btnViewEbook})
    buttons->addWidget(button);
  lblSigning = new QLabel(Panel1);
  lblSigning->setObjectName(QStringLiteral("lblSigning"));
  // A long subject or URL is cut rather than widening the window.
  lblSigning->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  buttons->addSpacing(7);
  buttons->addWidget(lblSigning, 1);
  auto* layout = new QGridLayout(Panel1);
  layout->setContentsMargins(8, 8, 9, 12);
  layout->setHorizontalSpacing(7);
  layout->setVerticalSpacing(3);
  layout->addLayout(buttons, 0, 0, 1, 2);
  layout->addWidget(Label1, 1, 0);
  layout->addWidget(Label3, 1, 1);
  layout->addWidget(edtName, 2, 0);
  layout->addWidget(Panel3, 2, 1, 3, 1, Qt::AlignTop);
  layout->addWidget(Label2, 3, 0);
  layout->addWidget(edtTitle, 4, 0);
  layout->setColumnStretch(0, 1);
}

void TfrmMain::CreatePanel2() {
  vleVariables = new TValueGrid(nullptr);
  auto* help = new THelpBox;
  edtHelp = help;
  Panel2 = new TGridHelpPanel(this, vleVariables, help);
  Panel2->setObjectName(QStringLiteral("Panel2"));

  vleVariables->setObjectName(QStringLiteral("vleVariables"));
  vleVariables->setAccessibleName(QStringLiteral("Variables"));
  vleVariables->setToolTip(QString::fromLatin1(SGridHint));
  vleVariables->setHorizontalHeaderLabels({QStringLiteral("Key"), QStringLiteral("Value")});
  vleVariables->verticalHeader()->hide();
  vleVariables->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  vleVariables->verticalHeader()->setDefaultSectionSize(
      std::max(GridRowHeight, vleVariables->fontMetrics().height() + 4));
  QHeaderView* header = vleVariables->horizontalHeader();
  header->setSectionsClickable(false);
  header->setHighlightSections(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // The key column starts at its designed width; a long key can be read by widening it.
  header->setSectionResizeMode(0, QHeaderView::Interactive);
  header->resizeSection(0, KeyColumnWidth);
  header->setSectionResizeMode(1, QHeaderView::Stretch);
  vleVariables->setShowGrid(true);
  vleVariables->setSelectionMode(QAbstractItemView::SingleSelection);
  vleVariables->setEditTriggers(QAbstractItemView::AllEditTriggers);
  vleVariables->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  vleVariables->verticalScrollBar()->setTracking(true);
  vleVariables->setMinimumHeight(GridMinimumHeight);
  connect(vleVariables, &QTableWidget::itemChanged, this, &TfrmMain::ValueChanged);

  edtHelp->setObjectName(QStringLiteral("edtHelp"));
  edtHelp->setAccessibleName(QStringLiteral("Help"));
  edtHelp->setReadOnly(true);
  edtHelp->setAcceptDrops(false);
  edtHelp->setLineWrapMode(QTextEdit::WidgetWidth);
  edtHelp->setPlainText(HelpText());
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
  dlgOpenPicture->setWindowTitle(QStringLiteral("Load Icon"));
  connect(dlgOpenPicture, &QFileDialog::currentChanged, preview,
          [preview](const QString& path) { ShowIconPreview(preview, path); });
  // A name typed in full is previewed as a file picked in the list is.
  if (auto* name = dlgOpenPicture->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
    connect(name, &QLineEdit::textChanged, preview, [this, preview](const QString& typed) {
      if (!typed.isEmpty())
        ShowIconPreview(preview, dlgOpenPicture->directory().absoluteFilePath(typed));
    });

  popIcon = new QMenu(this);
  popIcon->setObjectName(QStringLiteral("popIcon"));
  mnuLoadIcon = popIcon->addAction(QStringLiteral("&Load Icon"));
  mnuLoadIcon->setObjectName(QStringLiteral("mnuLoadIcon"));
  QFont bold = mnuLoadIcon->font();
  bold.setBold(true);
  mnuLoadIcon->setFont(bold);
  popIcon->setDefaultAction(mnuLoadIcon);
  mnuResetIcon = popIcon->addAction(QStringLiteral("&Reset"));
  mnuResetIcon->setObjectName(QStringLiteral("mnuResetIcon"));
  connect(mnuLoadIcon, &QAction::triggered, this, &TfrmMain::mnuLoadIconClick);
  connect(mnuResetIcon, &QAction::triggered, this, &TfrmMain::mnuResetIconClick);
  popIcon->addSeparator();
  mnuSignWith = popIcon->addAction(QStringLiteral("Sign with\u2026"));
  mnuSignWith->setObjectName(QStringLiteral("mnuSignWith"));
  mnuDontSign = popIcon->addAction(QStringLiteral("&Don't Sign"));
  mnuDontSign->setObjectName(QStringLiteral("mnuDontSign"));
  mnuTimeStamp = popIcon->addAction(QStringLiteral("&Time Stamp\u2026"));
  mnuTimeStamp->setObjectName(QStringLiteral("mnuTimeStamp"));
  connect(mnuTimeStamp, &QAction::triggered, this, &TfrmMain::mnuTimeStampClick);
  connect(mnuSignWith, &QAction::triggered, this, &TfrmMain::mnuSignWithClick);
  connect(mnuDontSign, &QAction::triggered, this, &TfrmMain::mnuDontSignClick);
  connect(imgIcon, &QWidget::customContextMenuRequested, this, &TfrmMain::ShowIconMenu);
}

void TfrmMain::CreateMenuBar(const TCodePage& localeCodePage) {
  mnuMain = new QMenuBar(this);
  mnuMain->setObjectName(QStringLiteral("mnuMain"));
  const auto command = [this](QMenu* menu, const char* name, const char* text,
                              const QList<QKeySequence>& keys, auto handler) {
    QAction* action = menu->addAction(QString::fromUtf8(text));
    action->setObjectName(QString::fromLatin1(name));
    action->setShortcuts(keys);
    connect(action, &QAction::triggered, this, handler);
    // The window holds every command too, so that its keys work wherever the focus is.
    addAction(action);
    return action;
  };
  const auto keys = [](QKeySequence::StandardKey key) { return QKeySequence::keyBindings(key); };

  mnuFileMenu = mnuMain->addMenu(QStringLiteral("&File"));
  mnuOpen = command(mnuFileMenu, "mnuOpen", "&Open eBook…", keys(QKeySequence::Open),
                    &TfrmMain::btnOpenClick);
  mnuOpenRecent = mnuFileMenu->addMenu(QStringLiteral("Open &Recent"));
  mnuOpenRecent->setObjectName(QStringLiteral("mnuOpenRecent"));
  mnuUpdate = command(mnuFileMenu, "mnuUpdate", "&Update", keys(QKeySequence::Save),
                      &TfrmMain::btnUpdateClick);
  mnuUpdateCopy =
      command(mnuFileMenu, "mnuUpdateCopy", "Update a Cop&y…",
              {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)}, &TfrmMain::mnuUpdateCopyClick);
  mnuViewEbook = command(mnuFileMenu, "mnuViewEbook", "&View eBook",
                         {QKeySequence(Qt::CTRL | Qt::Key_R)}, &TfrmMain::btnViewEbookClick);
  mnuShowInFolder = command(mnuFileMenu, "mnuShowInFolder", "Show in &Folder", {},
                            &TfrmMain::mnuShowInFolderClick);
  mnuFileMenu->addSeparator();
  mnuClose = command(mnuFileMenu, "mnuClose", "&Close eBook", keys(QKeySequence::Close),
                     &TfrmMain::btnCloseModuleClick);
  mnuQuit = command(mnuFileMenu, "mnuQuit", "&Quit", QuitKeys(), &QWidget::close);

  mnuEditMenu = mnuMain->addMenu(QStringLiteral("&Edit"));
  mnuUndo =
      command(mnuEditMenu, "mnuUndo", "&Undo", keys(QKeySequence::Undo), &TfrmMain::mnuUndoClick);
  mnuRedo = command(mnuEditMenu, "mnuRedo", "Re&do", RedoKeys(), &TfrmMain::mnuRedoClick);
  mnuRevert = command(mnuEditMenu, "mnuRevert", "&Revert All Edits",
                      {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R)}, &TfrmMain::mnuRevertClick);

  // The home of the ways to show the book.
  mnuViewMenu = mnuMain->addMenu(QStringLiteral("&View"));
  mnuShowHelp = mnuViewMenu->addAction(QStringLiteral("&Help Box"));
  mnuShowHelp->setObjectName(QStringLiteral("mnuShowHelp"));
  mnuShowHelp->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
  mnuShowHelp->setCheckable(true);
  mnuShowHelp->setChecked(true);
  connect(mnuShowHelp, &QAction::toggled, this,
          [this](bool shown) { Panel2->SetHelpFolded(!shown); });
  addAction(mnuShowHelp);
  mnuCodePage = new TCodePageMenu(QString::fromLatin1(SMainFormStateKey), localeCodePage, this);
  mnuViewMenu->addMenu(mnuCodePage);
  connect(mnuCodePage, &TCodePageMenu::CodePageRequested, this, &TfrmMain::mnuCodePageRequested);

  mnuIconMenu = mnuMain->addMenu(QStringLiteral("&Icon"));
  mnuIconLoad = command(mnuIconMenu, "mnuIconLoad", "&Load Icon…",
                        {QKeySequence(Qt::CTRL | Qt::Key_I)}, &TfrmMain::mnuLoadIconClick);
  mnuIconReset =
      command(mnuIconMenu, "mnuIconReset", "&Reset",
              {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_I)}, &TfrmMain::mnuResetIconClick);
  mnuIconPaste =
      command(mnuIconMenu, "mnuIconPaste", "&Paste Icon", {}, &TfrmMain::mnuIconPasteClick);
  mnuIconMenu->addSeparator();
  mnuIconMenu->addAction(mnuSignWith);
  mnuIconMenu->addAction(mnuDontSign);
  mnuIconMenu->addAction(mnuTimeStamp);

  mnuHelpMenu = mnuMain->addMenu(QStringLiteral("&Help"));
  mnuHelp = command(mnuHelpMenu, "mnuHelp", "&Help", keys(QKeySequence::HelpContents),
                    &TfrmMain::mnuHelpClick);
  mnuAbout = command(mnuHelpMenu, "mnuAbout", "&About Folioset", {}, &TfrmMain::mnuAboutClick);
}

void TfrmMain::FormCreate() {
  FDocument = std::make_unique<TEBookDocument>(mnuCodePage->Restore());
  FLongOperation = std::make_unique<TLongOperation>(this, mnuQuit->shortcuts());
  FLongOperation->AskOnClose = [this](const QString& waitsFor) { return AskOnClose(waitsFor); };
  FSigningFile = RememberedSigningFile();
  FTimeStampUrl = RememberedTimeStampUrl();
  lblSignature = new QLabel(this);
  lblSignature->setObjectName(QStringLiteral("lblSignature"));
  stbStatus->addPermanentWidget(lblSignature);
  ShowSigningChoice();
  FDocument->OnShellOpen = [this](const std::string& path) { ShellOpen(path); };
  lblCodePage = new QLabel(this);
  lblCodePage->setObjectName(QStringLiteral("lblCodePage"));
  stbStatus->addPermanentWidget(lblCodePage);
  ShowCodePage();
  ShowEBook();
  ShowRecentBooks();
  ShowFocusRings();
}

void TfrmMain::ShowFocusRings() {
  const QPalette colours = palette();
  const auto ring = [&](const QList<QPalette::ColorRole>& beside) {
    return FocusRingColour(colours, beside).name();
  };
  // The icon's ring lies on the window's colour, the help box's between it and the text's
  // background; the help box keeps a frame as wide all the time, so that its text stays put.
  imgIcon->setStyleSheet(QStringLiteral("QLabel:focus { border: %1px solid %2; }")
                             .arg(FocusRingWidth)
                             .arg(ring({QPalette::Button})));
  edtHelp->setStyleSheet(
      QStringLiteral("QTextEdit { border: %1px solid %2; } QTextEdit:focus { border-color: %3; }")
          .arg(FocusRingWidth)
          .arg(colours.color(QPalette::Mid).name(), ring({QPalette::Button, QPalette::Base})));
}

void TfrmMain::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Once the controls are made (FormCreate makes the document last).
  if (event->type() == QEvent::PaletteChange && FDocument)
    ShowFocusRings();
}

void TfrmMain::ShowCodePage() {
  lblCodePage->setText(
      QStringLiteral("Code page %1").arg(TCodePageMenu::Caption(FDocument->CodePage().Number())));
  lblCodePage->setAccessibleName(lblCodePage->text());
}

void TfrmMain::mnuCodePageRequested(int codePage) {
  Guarded([&] {
    if (codePage == FDocument->CodePage().Number() || !MayDiscardEdits())
      return;
    mnuCodePage->Choose(TCodePage(codePage));
    const std::string book = FDocument->FileName();
    FDocument->SetCodePage(TCodePage(codePage));
    ShowCodePage();
    // The book's names and values are bytes: read them anew in the code page now chosen.
    if (!book.empty())
      OpenEBook(FileNameText(book));
  });
}

void TfrmMain::FormShow() {
  RestoreFormState(QString::fromLatin1(SMainFormStateKey), this);
  // The window system tells the frame once the window is up: the caption must be in reach.
  QTimer::singleShot(0, this, [this] { KeepFrameOnScreen(this); });
}

void TfrmMain::FormClose() {
  SaveFormState(QString::fromLatin1(SMainFormStateKey), this, fsSizeAndPos | fsSplitters);
}

void TfrmMain::showEvent(QShowEvent* event) {
  // A spontaneous show is the window coming back from the task bar, not the program's show.
  if (!event->spontaneous())
    FormShow();
  QMainWindow::showEvent(event);
}

void TfrmMain::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  FitStatus();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  // Stopped to close, the user has said what becomes of the edits.
  if (!FLongOperation->StoppedToClose() && !MayDiscardEdits()) {
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (IsBookDrop(event->mimeData()) || IsIconDrop(event->mimeData()))
    AcceptAsCopy(event);
}

void TfrmMain::dragMoveEvent(QDragMoveEvent* event) {
  if (IsBookDrop(event->mimeData()) || IsIconDrop(event->mimeData()))
    AcceptAsCopy(event);
}

void TfrmMain::dropEvent(QDropEvent* event) {
  QString iconFile;
  std::string iconBytes;
  if (IsIconDrop(event->mimeData()) && AcceptAsCopy(event)) {
    IconData(event->mimeData(), iconFile, iconBytes);
    // Loaded once the drop has ended, as a book is.
    QTimer::singleShot(0, this, [this, iconFile, iconBytes] {
      Guarded([&] {
        if (!iconFile.isEmpty())
          FFileNameInUse = QFile::encodeName(iconFile).toStdString();
        LoadIcon(iconFile.isEmpty() ? iconBytes : LoadFileToString(FFileNameInUse));
      });
    });
    return;
  }
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
  if (event->type() == QEvent::ShortcutOverride) {
    // A value's editor would take Undo and Redo for its own text: the window's history takes
    // them wherever the focus is, closing the editor first.
    const auto* widget = qobject_cast<QWidget*>(watched);
    const auto* key = static_cast<QKeyEvent*>(event);
    const QKeySequence pressed(key->keyCombination());
    return widget && widget->window() == this &&
           (mnuUndo->shortcuts().contains(pressed) || mnuRedo->shortcuts().contains(pressed));
  }
  if (event->type() == QEvent::KeyPress && IsEnterKey(static_cast<QKeyEvent*>(event)) &&
      static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
    // Enter presses a focused button, as Space does.
    for (QPushButton* button : {btnOpen, btnCloseModule, btnUpdate, btnViewEbook})
      if (watched == button) {
        button->click();
        return true;
      }
  }
  if (watched != imgIcon)
    return QMainWindow::eventFilter(watched, event);
  switch (event->type()) {
  case QEvent::MouseButtonDblClick:
    imgIconDblClick();
    return true;
  case QEvent::KeyPress: {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() == Qt::NoModifier && (IsEnterKey(key) || key->key() == Qt::Key_Space)) {
      // The keyboard's double click: what a button does on Enter or Space.
      imgIconDblClick();
      return true;
    }
    if (key->matches(QKeySequence::Paste)) {
      mnuIconPasteClick();
      return true;
    }
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
  FBookInQuestion.clear();
  try {
    handler();
  } catch (const EOperationStopped& stopped) {
    // The user's own choice needs no error box.
    ShowStatus(QString::fromStdString(ErrorBoxText(stopped.Message())), {});
  } catch (const EOSError& error) {
    // The system's code means little to a user: the box says the cause, its details the code.
    const std::string& message = error.Message();
    const size_t causeAt = message.find("\r\n");
    if (causeAt == std::string::npos)
      ShowErrorBox(message);
    else
      ShowErrorBox(message.substr(causeAt + 2), QString::fromLatin1(message.substr(0, causeAt)));
  } catch (...) {
    ShowErrorBox(GetExceptionMessage());
  }
}

void TfrmMain::ShowErrorBox(const std::string& message, const QString& details) {
  // The files the failed operation was given, and the temporary copies it made, are the file
  // names a message can hold.
  const std::vector<std::string> fileNames = {FFileNameInUse, FDocument->FileName(), TempFolder()};
  QMessageBox box(QMessageBox::Critical, QString::fromLatin1(SApplicationTitle),
                  MessageText(FDocument->CodePage(), ErrorBoxText(message), fileNames),
                  QMessageBox::Ok, this);
  box.setInformativeText(std::exchange(FBookInQuestion, {}));
  box.setDetailedText(details);
  if (std::exchange(FOfferCopy, false)) {
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Save);
    box.button(QMessageBox::Save)->setText(QStringLiteral("Update a &Copy\u2026"));
  }
  if (ExecMessageBox(box) == QMessageBox::Save)
    QTimer::singleShot(0, this, &TfrmMain::mnuUpdateCopyClick);
}

bool TfrmMain::IconData(const QMimeData* data, QString& file, std::string& bytes) {
  const QList<QUrl> urls = data->urls();
  if (urls.size() == 1 && urls.front().isLocalFile() &&
      IsIconFileName(urls.front().toLocalFile())) {
    file = urls.front().toLocalFile();
    return true;
  }
  if (!urls.isEmpty())
    return false;
  for (const char* type : IconMimeTypes)
    if (data->hasFormat(QString::fromLatin1(type))) {
      bytes = data->data(QString::fromLatin1(type)).toStdString();
      return !bytes.empty();
    }
  return false;
}

bool TfrmMain::IsIconDrop(const QMimeData* data) const {
  QString file;
  std::string bytes;
  return FDocument->Opened() && IconData(data, file, bytes);
}

bool TfrmMain::Differs() const {
  return FDocument->Opened() && (!FDocument->NewIcon().empty() || FShownValues != FStoredValues);
}

bool TfrmMain::Edited() {
  CommitEditor();
  return Differs();
}

bool TfrmMain::MayDiscardEdits() {
  if (!Edited())
    return true;
  const QString book = QFileInfo(FileNameText(FDocument->FileName())).fileName();
  QMessageBox box(QMessageBox::Warning, QString::fromLatin1(SApplicationTitle),
                  QString::fromLatin1(SUpdateEdits).arg(book),
                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
  box.button(QMessageBox::Save)->setText(QStringLiteral("&Update"));
  box.button(QMessageBox::Discard)->setText(QStringLiteral("Close &without Updating"));
  box.button(QMessageBox::Cancel)->setText(QStringLiteral("&Cancel"));
  box.setDefaultButton(QMessageBox::Save);
  box.setEscapeButton(QMessageBox::Cancel);
  switch (ExecMessageBox(box)) {
  case QMessageBox::Save:
    return UpdateEBook(false);
  case QMessageBox::Discard:
    return true;
  default:
    return false;
  }
}

int TfrmMain::ExecMessageBox(QMessageBox& box) {
  return ModalHooks.ExecMessageBox ? ModalHooks.ExecMessageBox(box) : box.exec();
}

QString TfrmMain::ExecFileDialog(QFileDialog& dialog) {
  // Each run starts clean, in the folder last used: no name is left from the run before.
  dialog.selectFile(QString());
  if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
    name->clear();
  QString chosen;
  if (ModalHooks.ExecFileDialog)
    chosen = ModalHooks.ExecFileDialog(dialog);
  else if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    chosen = dialog.selectedFiles().front();
  // The name box's list of completions is a window of its own: left open, it would stay over
  // the main window and take its keys.
  for (QCompleter* completer : dialog.findChildren<QCompleter*>())
    completer->popup()->hide();
  if (!chosen.isEmpty())
    dialog.setDirectory(QFileInfo(chosen).absolutePath());
  return chosen;
}

void TfrmMain::ShellOpen(const std::string& path) {
  const QString file = FileNameText(path);
  const bool started = ModalHooks.ShellOpen ? ModalHooks.ShellOpen(file) : RunOnDesktop(file);
  if (!started)
    throw Exception(Format(SNoProgramToRun, path.c_str()));
}

bool TfrmMain::CanRun(const QString& path) {
  return ModalHooks.CanRun ? ModalHooks.CanRun(path) : CanRunOnDesktop(path);
}

void TfrmMain::OpenEBookFile(const QString& path) {
  Guarded([&] { OpenEBook(path); });
}

void TfrmMain::OpenEBook(const QString& path) {
  // File names are the system's own bytes, not code page texts.
  const std::string fileName = QFile::encodeName(path).toStdString();
  FFileNameInUse = fileName;
  FBookInQuestion = BookInQuestion(path);
  ShowStatus({});
  try {
    RunLongOperation([&] { FDocument->OpenEBook(fileName); }, path, esRead, QStringLiteral("read"));
  } catch (...) {
    ShowEBook();
    throw;
  }
  ShowEBook();
  // Entries this code page reads as one name with another stay unread until the book is
  // opened with its own.
  if (const QString shadowed = ShadowedEntriesText(FDocument->Shadowed(), FDocument->CodePage());
      !shadowed.isEmpty())
    stbStatus->showMessage(shadowed);
  dlgOpen->setDirectory(QFileInfo(path).absolutePath());
  AddRecentBook(path);
  ShowRecentBooks();
}

void TfrmMain::RunLongOperation(const std::function<void()>& operation, const QString& book,
                                TEBookStep firstStep, const QString& waitsFor) {
  FBookInUse = QFileInfo(book).fileName();
  // Called on the worker thread: the display is updated on this one.
  const auto showProgress = [this](TEBookStep step, int percent) {
    QMetaObject::invokeMethod(
        this, [this, step, percent] { FLongOperation->ShowProgress(ProgressText(step), percent); },
        Qt::QueuedConnection);
  };
  FDocument->OnProgress =
      StoppableProgress(showProgress, [this] { FLongOperation->StopIfAsked(); });
  try {
    FLongOperation->Run(operation, ProgressText(firstStep), waitsFor);
  } catch (...) {
    // A stop inside a step ends it in that step's own failure: the stop is what happened.
    if (FLongOperation->StopAsked())
      throw EOperationStopped();
    throw;
  }
}

TCloseChoice TfrmMain::AskOnClose(const QString& waitsFor) {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(SApplicationTitle),
                  QString::fromLatin1(SStillWorking).arg(FBookInUse, waitsFor),
                  QMessageBox::Discard | QMessageBox::Save | QMessageBox::Cancel, this);
  box.button(QMessageBox::Discard)->setText(QStringLiteral("&Stop and Close"));
  box.button(QMessageBox::Save)
      ->setText(QStringLiteral("Close When &%1").arg(waitsFor.left(1).toUpper() + waitsFor.mid(1)));
  box.button(QMessageBox::Cancel)->setText(QStringLiteral("&Keep Working"));
  box.setDefaultButton(QMessageBox::Cancel);
  box.setEscapeButton(QMessageBox::Cancel);
  switch (ExecMessageBox(box)) {
  case QMessageBox::Discard:
    return TCloseChoice::StopAndClose;
  case QMessageBox::Save:
    return TCloseChoice::CloseWhenDone;
  default:
    return TCloseChoice::KeepWorking;
  }
}

bool TfrmMain::UpdateEBook(bool askToRun, const QString& copy) {
  bool updated = false;
  Guarded([&] {
    if (!FDocument->Opened())
      return;
    FFileNameInUse = FDocument->FileName();
    FBookInQuestion = BookInQuestion(FileNameText(FFileNameInUse), copy);
    const TVariableRows rows = GridRows();
    bool cancelled = false;
    const std::unique_ptr<TCodeSigner> signer = SignerForUpdate(cancelled);
    if (cancelled)
      return;
    const std::string target = QFile::encodeName(copy).toStdString();
    if (!copy.isEmpty())
      FFileNameInUse = target;
    TEBookUpdateResult result;
    try {
      RunLongOperation([&] { result = FDocument->UpdateEBook(rows, target, signer.get()); },
                       FileNameText(FDocument->FileName()), esPack, QStringLiteral("written"));
    } catch (...) {
      // Until the new file is in place the book stays open with the user's edits in the grid;
      // only a failure to show the written book leaves it closed.
      if (!FDocument->Opened())
        ShowEBook();
      // A book that cannot be written in place can still be branded into a copy.
      const QFileInfo book(FileNameText(FDocument->FileName()));
      FOfferCopy = FDocument->Opened() && copy.isEmpty() &&
                   (!book.isWritable() || !QFileInfo(book.absolutePath()).isWritable());
      throw;
    }
    ShowEBook();
    updated = true;
    const QString book = FileNameText(FDocument->FileName());
    QString written = QStringLiteral("\".");
    if (result.Signed)
      written += ' ' + SignatureStatusText(FDocument->Signature());
    else if (result.SignatureRemoved)
      written += ' ' + QString::fromLatin1(SSignatureRemoved);
    ShowStatus(QString::fromLatin1(SBrandedWrittenTo), book, written);
    // Asked only when the answer can be kept: something on this desktop runs the book.
    if (!askToRun || !CanRun(book))
      return;
    QMessageBox confirm(QMessageBox::Question, QString::fromLatin1(SConfirmCaption),
                        QString::fromLatin1(SRunBranded), QMessageBox::Ok | QMessageBox::Cancel,
                        this);
    if (result.Signed)
      confirm.setInformativeText(SignatureStatusText(FDocument->Signature()));
    else if (result.SignatureRemoved)
      confirm.setInformativeText(QString::fromLatin1(SSignatureRemoved));
    if (ExecMessageBox(confirm) == QMessageBox::Ok)
      FDocument->ViewEBook();
  });
  return updated;
}

void TfrmMain::ShowEBook() {
  const bool opened = FDocument->Opened();
  edtName->setText(FileNameText(FDocument->FileName()));
  edtName->setToolTip(opened ? SignatureStatusText(FDocument->Signature()) : QString());
  lblSignature->setText(opened ? SignatureStateText(FDocument->Signature()) : QString());
  lblSignature->setToolTip(edtName->toolTip());
  edtName->setCursorPosition(0);
  const TCodePage& codePage = FDocument->CodePage();
  ShowTitle(edtTitle, QString::fromStdU16String(codePage.AnsiToUtf16(FDocument->Title())));

  FRecordEdits = false;
  vleVariables->setRowCount(0);
  FStoredValues.clear();
  const TVariableRows shown = FDocument->Variables(false, false);
  for (size_t i = 0; i < shown.size(); ++i) {
    FStoredValues << QString::fromStdU16String(codePage.AnsiToUtf16(FDocument->Rows()[i].Value));
    vleVariables->AddRow(QString::fromStdU16String(codePage.AnsiToUtf16(shown[i].Name)),
                         FStoredValues.back(),
                         QString::fromStdU16String(codePage.AnsiToUtf16(shown[i].Value)));
  }
  FShownValues = FStoredValues;
  FHistory.Clear();
  FRecordEdits = true;
  vleVariables->setEnabled(opened);
  QPalette palette = vleVariables->palette();
  palette.setColor(QPalette::Base,
                   QApplication::palette().color(opened ? QPalette::Base : QPalette::Button));
  vleVariables->setPalette(palette);

  Panel2->Place();

  ShowIcon();
  imgIcon->setEnabled(opened);
  for (QWidget* control : std::initializer_list<QWidget*>{btnCloseModule, btnUpdate, btnViewEbook})
    control->setEnabled(opened);
  for (QAction* command : {mnuUpdate, mnuUpdateCopy, mnuShowInFolder, mnuViewEbook, mnuClose,
                           mnuIconLoad, mnuIconPaste})
    command->setEnabled(opened);
  ShowEditState();
}

void TfrmMain::ShowCaption() {
  const QString program = QStringLiteral("%1 %2").arg(QString::fromLatin1(SApplicationTitle),
                                                      QString::fromStdString(GetVersionText(0, 4)));
  setWindowModified(Differs());
  if (!FDocument->Opened()) {
    setWindowTitle(program);
    return;
  }
  const QString book = QFileInfo(FileNameText(FDocument->FileName())).fileName();
  setWindowTitle(QStringLiteral("%1[*] \u2014 %2").arg(book, program));
}

void TfrmMain::ShowEditState() {
  // What the status line said of the last Update no longer describes what is shown.
  ShowStatus({});
  // What the values resolve to, and the title, as the Update will write them.
  if (FDocument->Opened())
    ShowTitle(edtTitle, vleVariables->ShowResolution(*FDocument));
  mnuUndo->setEnabled(FHistory.CanUndo());
  mnuRedo->setEnabled(FHistory.CanRedo());
  mnuRevert->setEnabled(Differs());
  const bool resettable = !FDocument->NewIcon().empty();
  mnuIconReset->setEnabled(resettable);
  mnuResetIcon->setEnabled(resettable);
  ShowCaption();
}

void TfrmMain::ShowStatus(const QString& before, const QString& fileName, const QString& after) {
  FStatus = {before, fileName, after};
  FitStatus();
}

void TfrmMain::FitStatus() {
  const QString whole = FStatus.join(QString());
  stbStatus->setToolTip(whole);
  if (whole.isEmpty()) {
    stbStatus->clearMessage();
    return;
  }
  // A window not shown has no width yet to fit.
  if (!stbStatus->isVisible()) {
    stbStatus->showMessage(whole);
    return;
  }
  const QFontMetrics metrics = stbStatus->fontMetrics();
  const int room = stbStatus->width() - lblCodePage->sizeHint().width() - StatusLineMargins;
  const int rest = metrics.horizontalAdvance(FStatus[0] + FStatus[2]);
  stbStatus->showMessage(FStatus[0] +
                         metrics.elidedText(FStatus[1], Qt::ElideMiddle, std::max(0, room - rest)) +
                         FStatus[2]);
}

void TfrmMain::ShowRecentBooks() {
  mnuOpenRecent->clear();
  const QStringList books = RecentBooks();
  for (qsizetype i = 0; i < books.size(); ++i) {
    const QString book = books[i];
    QAction* item =
        mnuOpenRecent->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(MenuText(book)));
    connect(item, &QAction::triggered, this, [this, book] {
      if (!MayDiscardEdits())
        return;
      // A book that is gone leaves the list once the error box has said so.
      const bool gone = !QFileInfo::exists(book);
      OpenEBookFile(book);
      if (gone) {
        ForgetRecentBook(book);
        ShowRecentBooks();
      }
    });
  }
  mnuOpenRecent->setEnabled(!books.isEmpty());
}

void TfrmMain::ValueChanged(QTableWidgetItem* item) {
  if (!FRecordEdits || item->column() != TValueGrid::ValueColumn)
    return;
  const int row = item->row();
  const QString value = vleVariables->Value(row);
  if (row >= FShownValues.size() || value == FShownValues[row])
    return;
  FHistory.Record({row, FShownValues[row], {}, FHistory.NewGroup()});
  FShownValues[row] = value;
  ShowEditState();
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

void TfrmMain::RestoreIcon(const std::string& icon) {
  if (icon.empty())
    FDocument->ResetIcon();
  else
    FDocument->LoadNewIcon(icon);
  ShowIcon();
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
  return vleVariables->Rows(FDocument->Rows(), FDocument->CodePage());
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
  UpdateEBook(true);
}

void TfrmMain::btnViewEbookClick() {
  Guarded([&] {
    FFileNameInUse = FDocument->FileName();
    FBookInQuestion = BookInQuestion(FileNameText(FFileNameInUse));
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
    LoadIcon(LoadFileToString(FFileNameInUse));
  });
}

void TfrmMain::LoadIcon(const std::string& icoBytes) {
  const std::string before = FDocument->NewIcon();
  FDocument->LoadNewIcon(icoBytes);
  FHistory.Record({-1, {}, before, FHistory.NewGroup()});
  ShowIcon();
  ShowEditState();
}

void TfrmMain::mnuSignWithClick() {
  Guarded([&] {
    QFileDialog dialog(this, QStringLiteral("Sign with"));
    dialog.setObjectName(QStringLiteral("dlgOpenCertificate"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("Code-signing certificates (*.p12 *.pfx *.pem)"),
                           QStringLiteral("All files (*)")});
    const QString path = ExecFileDialog(dialog);
    if (path.isEmpty())
      return;
    FSigningFile = path;
    RememberSigningFile(path);
    ShowSigningChoice();
  });
}

void TfrmMain::mnuDontSignClick() {
  FSigningFile.clear();
  RememberSigningFile({});
  ShowSigningChoice();
}

void TfrmMain::ShowSigningChoice() {
  mnuSignWith->setText(FSigningFile.isEmpty()
                           ? QStringLiteral("&Sign with\u2026")
                           : QStringLiteral("&Sign with %1\u2026")
                                 .arg(MenuText(QFileInfo(FSigningFile).fileName())));
  mnuDontSign->setEnabled(!FSigningFile.isEmpty());
  lblSigning->setText(SigningPlanText(FSigningFile, RememberedSigningSubject(), FTimeStampUrl));
}

void TfrmMain::mnuTimeStampClick() {
  Guarded([&] {
    QString url = FTimeStampUrl;
    const bool given = ModalHooks.AskTimeStampUrl ? ModalHooks.AskTimeStampUrl(url) : [&] {
      bool ok = false;
      url = QInputDialog::getText(this, QString::fromLatin1(SApplicationTitle),
                                  QStringLiteral("Time-stamp server (http:// or https://; "
                                                 "empty for none):"),
                                  QLineEdit::Normal, url, &ok);
      return ok;
    }();
    if (!given)
      return;
    RememberTimeStampUrl(url.trimmed());
    FTimeStampUrl = url.trimmed();
    ShowSigningChoice();
  });
}

std::unique_ptr<TCodeSigner> TfrmMain::SignerForUpdate(bool& cancelled) {
  if (FSigningFile.isEmpty())
    return nullptr;
  bool refused = false;
  const auto password = [&] {
    std::optional<TSecret> given =
        AskCertificatePassword(this, FSigningFile, ModalHooks.AskPassword);
    refused = !given;
    return given ? std::move(*given) : TSecret();
  };
  FFileNameInUse = QFile::encodeName(FSigningFile).toStdString();
  try {
    auto signer =
        std::make_unique<TCodeSigner>(SigningOptionsFor(FSigningFile, FTimeStampUrl), password);
    RememberSigningSubject(QString::fromStdString(signer->Subject()));
    ShowSigningChoice();
    return signer;
  } catch (const ESigningError& e) {
    // Without its password the file cannot be read: the user's Cancel, not a failure.
    cancelled = refused;
    if (refused)
      return nullptr;
    throw Exception(Format("%s: %s", FFileNameInUse.c_str(), e.Message().c_str()));
  }
}

void TfrmMain::mnuResetIconClick() {
  Guarded([&] {
    if (FDocument->NewIcon().empty())
      return;
    FHistory.Record({-1, {}, FDocument->NewIcon(), FHistory.NewGroup()});
    FDocument->ResetIcon();
    ShowIcon();
    ShowEditState();
  });
}

void TfrmMain::mnuIconPasteClick() {
  Guarded([&] {
    if (!FDocument->Opened())
      return;
    QString file;
    std::string bytes;
    if (!IconData(QGuiApplication::clipboard()->mimeData(), file, bytes))
      throw Exception(SNoIconToPaste);
    if (!file.isEmpty()) {
      FFileNameInUse = QFile::encodeName(file).toStdString();
      bytes = LoadFileToString(FFileNameInUse);
    }
    LoadIcon(bytes);
  });
}

void TfrmMain::mnuUpdateCopyClick() {
  Guarded([&] {
    if (!FDocument->Opened())
      return;
    const QFileInfo book(FileNameText(FDocument->FileName()));
    QFileDialog dialog(this, QStringLiteral("Update a Copy"));
    dialog.setObjectName(QStringLiteral("dlgUpdateCopy"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QStringLiteral("eBooks (*.exe)"));
    dialog.setDefaultSuffix(QStringLiteral("exe"));
    dialog.setDirectory(book.absolutePath());
    const QString copy = ExecFileDialog(dialog);
    if (copy.isEmpty())
      return;
    // The book itself chosen as its copy is an Update.
    if (QFileInfo(copy) == book)
      UpdateEBook(true);
    else if (UpdateEBook(true, copy)) {
      AddRecentBook(copy);
      ShowRecentBooks();
    }
  });
}

void TfrmMain::mnuShowInFolderClick() {
  Guarded([&] {
    if (!FDocument->Opened())
      return;
    const QString folder = QFileInfo(FileNameText(FDocument->FileName())).absolutePath();
    const bool shown = ModalHooks.ShowFolder
                           ? ModalHooks.ShowFolder(folder)
                           : QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    if (!shown)
      throw Exception(Format(SNoFolderShown, QFile::encodeName(folder).constData()));
  });
}

void TfrmMain::mnuUndoClick() {
  Guarded([&] {
    CommitEditor();
    TakeBack(false);
  });
}

void TfrmMain::mnuRedoClick() {
  Guarded([&] {
    CommitEditor();
    TakeBack(true);
  });
}

void TfrmMain::TakeBack(bool redo) {
  if (!(redo ? FHistory.CanRedo() : FHistory.CanUndo()))
    return;
  const auto restore = [this](const TEditHistory::TStep& step) -> TEditHistory::TStep {
    if (step.Row < 0) {
      TEditHistory::TStep back{-1, {}, FDocument->NewIcon(), step.Group};
      RestoreIcon(step.Icon);
      return back;
    }
    TEditHistory::TStep back{step.Row, FShownValues[step.Row], {}, step.Group};
    vleVariables->SetValue(step.Row, step.Value);
    FShownValues[step.Row] = step.Value;
    return back;
  };
  FRecordEdits = false;
  if (redo)
    FHistory.Redo(restore);
  else
    FHistory.Undo(restore);
  FRecordEdits = true;
  ShowEditState();
}

void TfrmMain::mnuRevertClick() {
  Guarded([&] {
    CommitEditor();
    // One step of its own, so that Undo takes the whole revert back.
    const unsigned group = FHistory.NewGroup();
    FRecordEdits = false;
    for (int row = 0; row < int(FShownValues.size()); ++row) {
      if (FShownValues[row] == FStoredValues[row])
        continue;
      FHistory.Record({row, FShownValues[row], {}, group});
      vleVariables->SetValue(row, FStoredValues[row]);
      FShownValues[row] = FStoredValues[row];
    }
    if (!FDocument->NewIcon().empty()) {
      FHistory.Record({-1, {}, FDocument->NewIcon(), group});
      RestoreIcon({});
    }
    FRecordEdits = true;
    ShowEditState();
  });
}

void TfrmMain::mnuHelpClick() {
  mnuShowHelp->setChecked(true);
  if (edtHelp->isVisible()) {
    edtHelp->setFocus(Qt::ShortcutFocusReason);
    return;
  }
  // The window is too low to show the help box: the text comes in a box of its own.
  QMessageBox box(QMessageBox::Information, QString::fromLatin1(SApplicationTitle), HelpText(),
                  QMessageBox::Ok, this);
  ExecMessageBox(box);
}

void TfrmMain::mnuAboutClick() {
  QMessageBox box(QMessageBox::Information, QStringLiteral("About Folioset"),
                  QString::fromLatin1(SAboutText).arg(QString::fromStdString(GetVersionText(0, 4))),
                  QMessageBox::Ok, this);
  box.setIconPixmap(windowIcon().pixmap(64));
  ExecMessageBox(box);
}
