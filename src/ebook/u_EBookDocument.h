#pragma once
// The open e-book and the operations on it: open, close, update (brand), view, load and reset
// the icon. The window and folioset-cli drive it through the same operations; it holds no
// window state. Texts (titles, names, values, the content's file names) are byte strings in
// the book's code page; icons travel as complete .ico file images.

#include "common/u_AnsiText.h"
#include "common/u_FileSnapshot.h"
#include "common/u_Progress.h"
#include "common/u_SysUtils.h"
#include "resources/u_Resources.h"
#include "signing/u_ImageSignature.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TCabPreviousFolder;
class TCodeSigner;
class TMFS;
class TStream;
class TXMLParser;
class TVariables;
struct TShadowedEntry;
using TShadowedEntries = std::vector<TShadowedEntry>;

// One row of the key/value grid: a brandable variable and its value.
struct TVariableRow {
  std::string Name;
  std::string Value;
  bool operator==(const TVariableRow&) const = default;
};
using TVariableRows = std::vector<TVariableRow>;

// What a row of the grid shows: its value resolved, and for a row whose resolved value changes
// while its stored one stays, the names it refers to whose values change (it follows them).
struct TResolvedRow {
  std::string Value;
  std::vector<std::string> From;
  bool operator==(const TResolvedRow&) const = default;
};
// What the book shows once written with some rows: each row resolved, and the title.
struct TResolution {
  std::vector<TResolvedRow> Rows;
  std::string Title;
};

// Whether a value hides its variable from the grid: the book marks its hidden variables so.
bool HidesVariable(const std::string& value);

// The long steps, reported so that a window can show progress on a big book.
enum TEBookStep { esRead, esUnpack, esParse, esPack, esRewrite };
// step, and how far it is in that step from 0 to 100, measured in bytes done (unpack: bytes
// inflated, parse: description and variables read, pack: bytes compressed, rewrite: bytes of
// the new file written); each percent of a step comes at most once.
using TEBookProgressEvent = std::function<void(TEBookStep step, int percent)>;
// onProgress, and stopIfAsked after each report, which raises to stop: what the document is
// doing then fails whole, leaving the book as it was. A rewrite at 100% has put the new book in
// place: from there on the operation is finished and stopIfAsked is no longer called.
TEBookProgressEvent StoppableProgress(TEBookProgressEvent onProgress,
                                      std::function<void()> stopIfAsked);
// Hands a file to the desktop to run ("open").
using TShellOpenEvent = std::function<void(const std::string& path)>;

struct TEBookUpdateResult {
  // The executable was signed; no change leaves a signature valid, so it was removed.
  bool SignatureRemoved = false;
  // The new executable carries the signer's signature.
  bool Signed = false;
};

// An icon that cannot be read: "Icon image is not valid".
class EInvalidGraphic : public Exception {
  using Exception::Exception;
};

// A file that is no e-book, or one whose pages cannot be read; the message names the book.
class EEBookError : public Exception {
  using Exception::Exception;
};
// The file has no SYSTEM_MFS resource.
class ENoEBookPages : public EEBookError {
  using EEBookError::EEBookError;
};
// Its SYSTEM_MFS resource is no cabinet that can be unpacked.
class EDamagedEBookPages : public EEBookError {
  using EEBookError::EEBookError;
};

inline constexpr const char* SNoEBookPages = "File \"%s\" is not an eBook: it holds no eBook pages";
inline constexpr const char* SDamagedEBookPages =
    "File \"%s\" is a damaged eBook: its pages cannot be unpacked";

// What a document does once an update has written the new book.
enum class TAfterUpdate { ShowNewBook, Close };

class TEBookDocument {
public:
  // Books are read and written in codePage.
  explicit TEBookDocument(TCodePage codePage);
  ~TEBookDocument();
  TEBookDocument(const TEBookDocument&) = delete;
  TEBookDocument& operator=(const TEBookDocument&) = delete;

  // Closes whatever is open, then opens the e-book at path from a private copy in memory,
  // which is what an update writes its new file from. With forUpdate the book's lock is held
  // from the open to the update, so no other update comes between them (another one waits
  // for it). On failure the document ends closed and the error passes on.
  void OpenEBook(const std::string& path, bool forUpdate = false);
  void CloseEBook();
  // The code page of the book's texts. Choosing another closes the book: what was read in the
  // old one means something else in the new one, so the caller opens it again.
  const TCodePage& CodePage() const { return FCodePage; }
  void SetCodePage(TCodePage codePage);

  // Writes rows (the grid, top to bottom, values as edited) and the new icon, if one was
  // chosen, into the open e-book's executable, then reopens it. Does nothing when closed.
  // The new file is made from the book as it was opened; in place it replaces the book only
  // while the path still names the file that was opened, unchanged (EFileChanged "The file
  // "%s" changed on disk since it was opened" otherwise). Every failure before the new file
  // is in place leaves the document open as it was, with the new icon chosen. With an
  // outputPath the branded book is written there (replacing what is there) and reopened from
  // there; the book itself is only read. With a signer the new book is signed as the last step
  // before it replaces anything.
  // With TAfterUpdate::Close the document closes once the new book is written, instead of
  // reading it: for a caller done with the book (a brand from the command line), which so never
  // holds the new book beside the content.
  TEBookUpdateResult UpdateEBook(const TVariableRows& rows, const std::string& outputPath = {},
                                 const TCodeSigner* signer = nullptr,
                                 TAfterUpdate after = TAfterUpdate::ShowNewBook);
  // The bytes of the branded book an update into a copy would write, written nowhere (a
  // nameless scratch file holds them meanwhile); the document ends closed, the book only read.
  std::string BrandedImage(const TVariableRows& rows, TEBookUpdateResult& result,
                           const TCodeSigner* signer = nullptr);
  // The variables file update writes: every row first, then every other variable as the book
  // stores it, then the entries the store does not read, as they are.
  std::string BuildVariablesText(const TVariableRows& rows) const;
  // rows (values as stored, in the order of Rows()) resolved as the book resolves them once
  // written with them, and its title then; what fails there fails here (a reference cycle).
  TResolution ResolveWith(const TVariableRows& rows) const;

  // Raises what signing the branded book would raise for its layout (ESigningError: sections
  // that leave gaps or overlap), as the new book will lay out its sections, so that a batch
  // refuses the book before anything is written. Does nothing when closed.
  void CheckSignable() const;

  // Runs the open e-book through OnShellOpen. Does nothing when closed.
  void ViewEBook();
  // Takes a new icon from the bytes of an .ico file ("Icon image is not valid" when they are
  // not one). Does nothing when closed.
  void LoadNewIcon(const std::string& icoBytes);
  // Raises EInvalidGraphic ("Icon image is not valid") unless the bytes are an .ico file that
  // LoadNewIcon takes: lets a batch refuse an icon once, before any book.
  static void CheckIcon(const std::string& icoBytes);
  // Back to the e-book's own icon. Does nothing when closed.
  void ResetIcon();

  // Writes every file of the open book's content below folder, names in UTF-8, never through
  // a link (names that could reach outside it are refused). Every name and place is checked
  // before anything is written: an existing folder is used as it is, an existing file fails
  // unless replaceFiles. Files stored read-only are written so, and with keepDates every file
  // and folder gets its stored date. Does nothing when closed.
  void SaveContentToDisk(const std::string& folder, bool replaceFiles, bool keepDates) const;

  bool Opened() const { return FOpened; }
  // The e-book's own path; empty when closed.
  const std::string& FileName() const { return FFileName; }
  // The expanded title; empty when closed or when the book has no title template.
  const std::string& Title() const { return FTitle; }
  // The open book's files; empty when closed.
  const TMFS& Content() const { return *FMFS; }
  // The brandable variables in the grid's order, values as the book stores them (references
  // not expanded): what the grid edits and an update writes back where nothing changed them.
  // Made when first asked for: a caller that only shows values has no copy of them made.
  const TVariableRows& Rows() const;
  // The variables in the same order, with hiddenToo the hidden ones too, and with stored the
  // values as the book's variables file holds them, references not expanded; empty when closed.
  TVariableRows Variables(bool hiddenToo, bool stored) const;
  // The same, each name and value handed to visit in turn, nothing copied.
  void EachVariable(
      bool hiddenToo, bool stored,
      const std::function<void(const std::string& name, const std::string& value)>& visit) const;
  // The entries of the book's variables file the store does not read; empty when closed.
  const TShadowedEntries& Shadowed() const;
  // The book's signature as read at the last open; unsigned when closed.
  const TImageSignature& Signature() const { return FSignature; }
  // The e-book's icon at the standard size as read at the last open (kept after close).
  const std::string& EBookIcon() const { return FEBookIcon; }
  // The e-book's whole icon group as read at the last open (kept after close).
  const std::string& EBookIconGroup() const { return FEBookIconGroup; }
  // The icon chosen since the open; empty when the book keeps its own.
  const std::string& NewIcon() const { return FNewIcon; }
  // What the icon image shows: the new icon when there is one, else the book's own; empty
  // when closed.
  const std::string& ShownIcon() const;

  TEBookProgressEvent OnProgress;
  TShellOpenEvent OnShellOpen;
  // Called by an update with the file the new book is about to replace (the book, or the copy
  // there), once the new book is complete and on the disk: what it raises fails the update.
  std::function<void(const std::string& replaced)> BeforeReplace;
  // Whether an open keeps the book's cabinet (its SYSTEM_MFS bytes, most of the book) in
  // memory. Without, the cabinet's memory goes and the content is unpacked from the file
  // (which must not change meanwhile: EFileChanged); an update writes the new cabinet from the
  // content and takes over the old blocks from the file where they still decode to the new
  // bytes. A book whose other parts share bytes with the cabinet keeps it all the same.
  bool KeepCabinet = true;
  // Whether an open keeps the content of every file of the book. Without, only System.xml and
  // the variables file are kept, and of the others their names, lengths and dates: what the
  // read-only commands show, in memory that stays the same whatever the book's size. The
  // document then neither updates the book nor saves its content (EMFSError).
  bool KeepContent = true;
  // The roots a book's signature is judged against; null: the system's, at the time of the open.
  std::shared_ptr<const TTrustStore> Trust;

private:
  // Judges the open book's signature; the image's big part read through read when given.
  TImageSignature JudgeSignature(TByteView image, const TImageReader& read = {}) const;

  // Update's writing, as how says, signed with signer when there is one: FBook is the new file
  // after it, or without readNewBook the document is closed. A failure leaves the document as
  // it was.
  TEBookUpdateResult WriteEBook(const TVariableRows& rows, TExeImageUpdate how,
                                const TCodeSigner* signer, bool readNewBook = true);
  // Open's steps after the read into FBook from the file open as handle: content, then what
  // ShowEBook does.
  void ReadEBook(const std::string& path, int handle);
  // Unpacks the content from cabinet into FMFS, or, without KeepContent, the files the
  // description names.
  void UnpackContent(TStream& cabinet);
  // Reads System.xml into FXMLParser: the variables file it names ("\Variables.xml" when it
  // names none).
  std::string ReadDescription();
  // Over the content in FMFS: description, variables, title, the icon given, and rows.
  void ShowEBook(const std::string& path, std::string icon, std::string iconGroup);
  // The open after update: the content in FMFS is what the book now holds, FBook the new
  // file; only the icon is read again. On failure the document ends closed.
  void ReopenEBook(const std::string& path);
  // Closes all but the content.
  void ForgetEBook();
  void Progress(TEBookStep step, int percent) const;
  // What runs while the book's lock is awaited: OnProgress, which may stop the wait.
  std::function<void()> WaitingEvent() const;
  // OnProgress for one step, or nothing when nobody listens.
  TPercentEvent StepProgress(TEBookStep step) const;
  // The book's SYSTEM_MFS as opened, whose blocks a pack takes over where they hold its bytes;
  // bookFile is the book's file when it is open.
  TCabPreviousFolder PreviousContent(const TOpenedFile& bookFile) const;
  // A value of another length moves everything behind the variables file. With variablesText
  // written there, pads it with blanks so that what follows moves by whole blocks and previous
  // finds its blocks at their new place; the padding stays under a block, whatever the book
  // held before.
  void LineUpBehindVariables(TCabPreviousFolder& previous, const std::string& variablesText);
  // The title template expanded with variables; empty when the book has no template.
  std::string ExpandTitle(const TVariables& variables) const;

  bool FOpened = false;
  TCodePage FCodePage;
  // The book's file as it was opened or last written: its bytes and identity.
  TFileSnapshot FBook;
  // Whether its SYSTEM_MFS bytes were let go after the unpack (not kept): zeros in FBook
  // meanwhile, which the update never reads; it reads the old blocks from the file.
  bool FCabinetSetAside = false;
  // The book's file from the open to the update: locked when opened for update, and open
  // while its cabinet is set aside, whose old blocks an update reads from it.
  TOpenedFile FBookFile;
  std::unique_ptr<TMFS> FMFS;
  std::unique_ptr<TXMLParser> FXMLParser;
  std::unique_ptr<TVariables> FVariables;
  std::string FNewIcon;
  std::string FEBookIcon;
  std::string FEBookIconGroup;
  std::string FFileName;
  // Where the book's SYSTEM_MFS bytes lie in FBook.
  TResourcePlace FContentPlace;
  // What System.xml's Variables attribute names ("\Variables.xml" when it names none); update
  // writes the new variables file there.
  std::string FVariablesPath;
  std::string FTitleTemplate;
  std::string FTitle;
  // Rows(), once asked for.
  mutable std::optional<TVariableRows> FRows;
  TImageSignature FSignature;
  mutable TEBookStep FReportedStep = esRead;
  mutable int FReportedPercent = -1;
};

// Restores a file system from the bytes of an e-book's SYSTEM_MFS resource, read from cabinet
// (from its start; its size is the cabinet's).
void UnpackSystemMFS(TMFS& fs, TStream& cabinet, const TPercentEvent& onProgress = {});
// The same from the bytes in memory.
void UnpackSystemMFS(TMFS& fs, std::string_view cabinetBytes, const TPercentEvent& onProgress = {});
// The bytes of a new SYSTEM_MFS resource: the serialized file system packed into a cabinet.
// Blocks of previous (the resource the book holds) that decode to exactly the new bytes at
// their place are taken over instead of deflated again.
std::string PackSystemMFS(const TMFS& fs, const TCabPreviousFolder* previous = nullptr,
                          const TPercentEvent& onProgress = {});
// The same into a file without a name in diskFolder: neither the resource nor the packing's
// temporary files are ever in memory beside the content.
TFileHandle PackSystemMFSToFile(const TMFS& fs, const std::string& diskFolder,
                                const TCabPreviousFolder* previous = nullptr,
                                const TPercentEvent& onProgress = {});
