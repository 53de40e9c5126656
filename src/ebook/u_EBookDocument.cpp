#include "ebook/u_EBookDocument.h"

#include "cab/u_CabPreviousFolder.h"
#include "cab/u_MFSCab.h"
#include "common/u_BytePipe.h"
#include "common/u_DiskSpace.h"
#include "common/u_FileIO.h"
#include "common/u_Files.h"
#include "containers/u_Dictionary.h"
#include "mfs/u_MFS.h"
#include "mfs/u_MFSSerialStream.h"
#include "resources/u_ModuleIcon.h"
#include "resources/u_PEModule.h"
#include "resources/u_Resources.h"
#include "resources/vexLayout.h"
#include "resources/vexTools.h"
#include "signing/u_ImageDigest.h"
#include "signing/u_SignEvent.h"
#include "variables/u_Variables.h"
#include "variables/u_VariablesBudget.h"
#include "xml/u_SpaceXMLParser.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {
const char* const ContentResourceName = "SYSTEM_MFS";
const char* const ContentResourceType = "RCDATA";
const char* const IconGroupName = "MAINICON";
const char* const CabinetPath = "\\info.cab";
const char* const SerializedMember = "info.mfs";
const char* const SerializedPath = "\\info.mfs";
const char* const DescriptionPath = "System.xml";
const char* const VariablesAttribute = "Variables";
const char* const TitleAttribute = "ApplicationTitle";
const char* const DefaultVariablesPath = "\\Variables.xml";
const int FirstIconId = 1;

// Writes a file of a book's content so that Undo can put back what was there: the file as it
// was, or no file and none of the folders the write made.
class TContentWrite {
public:
  TContentWrite(TMFSSession& session, const std::string& path, std::string content)
      : FSession(session), FPath(path) {
    if (TMFSFile* file = session.Exists(path) ? session.GetFile(path) : nullptr)
      FOld = TOld{file->Content(), file->DateTime(), file->Attributes()};
    const std::string folder = TMFS::ExtractPath(TMFS::FixSeparators(path));
    for (size_t end = folder.find('\\', 1); end != std::string::npos;
         end = folder.find('\\', end + 1))
      if (!session.Exists(folder.substr(0, end)))
        FMadeFolders.push_back(folder.substr(0, end));
    session.WriteFile(path, std::move(content));
  }

  void Undo() {
    if (FOld) {
      TMFSFile* file = FSession.GetFile(FPath);
      file->SetContent(std::move(FOld->Content));
      file->SetDateTime(FOld->DateTime);
      file->SetAttributes(FOld->Attributes);
      return;
    }
    FSession.DeleteItem(FPath);
    for (auto folder = FMadeFolders.rbegin(); folder != FMadeFolders.rend(); ++folder)
      FSession.DeleteItem(*folder);
  }

private:
  struct TOld {
    std::string Content;
    uint32_t DateTime;
    uint32_t Attributes;
  };
  TMFSSession& FSession;
  std::string FPath;
  std::optional<TOld> FOld;
  std::vector<std::string> FMadeFolders; // outermost first
};

// The book's bytes for its signature's digest: the snapshot's, and where the cabinet was left
// out of it, the cabinet's from the file.
TImageReader BookBytesReader(TByteView snapshot, int handle,
                             std::optional<TResourcePlace> setAside) {
  return [snapshot, handle, setAside](uint64_t offset, uint8_t* into, size_t count) {
    const uint64_t end = offset + count;
    const uint64_t asideFrom = setAside ? setAside->Offset : end;
    const uint64_t asideTo = setAside ? setAside->Offset + setAside->Size : end;
    for (uint64_t at = offset; at < end;) {
      const bool aside = at >= asideFrom && at < asideTo;
      const uint64_t partEnd = std::min(end, aside ? asideTo : at < asideFrom ? asideFrom : end);
      if (aside)
        ReadAllAt(handle, into + (at - offset), partEnd - at, at);
      else
        std::memcpy(into + (at - offset), snapshot.Bytes(at, partEnd - at, "signed image"),
                    partEnd - at);
      at = partEnd;
    }
  };
}

} // namespace

TEBookProgressEvent StoppableProgress(TEBookProgressEvent onProgress,
                                      std::function<void()> stopIfAsked) {
  return [onProgress = std::move(onProgress), stopIfAsked = std::move(stopIfAsked),
          finished = false](TEBookStep step, int percent) mutable {
    if (onProgress)
      onProgress(step, percent);
    finished = finished || (step == esRewrite && percent == 100);
    if (!finished)
      stopIfAsked();
  };
}

TEBookDocument::TEBookDocument(TCodePage codePage)
    : FCodePage(codePage), FMFS(std::make_unique<TMFS>(codePage)),
      FXMLParser(std::make_unique<TXMLParser>(codePage)) {}

void TEBookDocument::SetCodePage(TCodePage codePage) {
  CloseEBook();
  FCodePage = codePage;
  FMFS = std::make_unique<TMFS>(codePage);
  FXMLParser = std::make_unique<TXMLParser>(codePage);
}

TEBookDocument::~TEBookDocument() = default;

void TEBookDocument::Progress(TEBookStep step, int percent) const {
  // A listener may draw on every report: each percent of a step is told once.
  if (!OnProgress || (step == FReportedStep && percent <= FReportedPercent))
    return;
  FReportedStep = step;
  FReportedPercent = percent;
  OnProgress(step, percent);
}

void TEBookDocument::OpenEBook(const std::string& path, bool forUpdate) {
  CloseEBook();
  try {
    FReportedPercent = -1; // a new operation: its steps start over
    Progress(esRead, 0);
    // The book is read only here, once, into memory: a private snapshot that a change to the
    // file meanwhile cannot tear, no temporary file to leave behind, and what an update
    // writes its new file from.
    TOpenedFile file =
        forUpdate ? TOpenedFile::Lock(path, WaitingEvent()) : TOpenedFile::Open(path);
    // The cabinet is the big part of the book, and the content unpacked from it is bigger.
    // Unless it is kept, it is not read here but from the file as it is unpacked; a file
    // changed meanwhile is refused as it is when it changes while it is read whole. An update
    // is given the book without it, so it is left out only when the update copies nothing
    // from its place.
    TSnapshotReader reader(file.Handle(), path, MaxImageFileSize);
    const std::optional<TFileRange> cabinet =
        KeepCabinet
            ? std::nullopt
            : FindStandAloneModuleResource(reader, path, ContentResourceType, ContentResourceName);
    FBook = reader.Finish(cabinet.value_or(TFileRange{}));
    FCabinetSetAside = cabinet.has_value();
    Progress(esRead, 100);
    ReadEBook(path, file.Handle());
    if (forUpdate || FCabinetSetAside)
      FBookFile = std::move(file);
  } catch (...) {
    CloseEBook();
    throw;
  }
}

std::function<void()> TEBookDocument::WaitingEvent() const {
  // While the book's lock is awaited: a listener may stop the wait by raising.
  return [this] {
    if (OnProgress)
      OnProgress(esRead, 0);
  };
}

TImageSignature TEBookDocument::JudgeSignature(TByteView image, const TImageReader& read) const {
  return ReadImageSignature(image, read, Trust.get());
}

void TEBookDocument::ReadEBook(const std::string& path, int handle) {
  std::string icon;
  std::string iconGroup;
  {
    const TPEModule module(path, FBook.Bytes);
    icon = LoadModuleIcon(module, IconGroupName);
    iconGroup = LoadModuleIconGroup(module, IconGroupName);
    FContentPlace = ModuleResourcePlace(module, ContentResourceType, ContentResourceName);
    FSignature = JudgeSignature(
        module.Image(),
        BookBytesReader(module.Image(), handle,
                        FCabinetSetAside ? std::optional(FContentPlace) : std::nullopt));
    const auto cabinet = FindModuleResource(module, ContentResourceType, ContentResourceName);
    // The cabinet's own messages name the scratch file it is read as, which means nothing to
    // the user: these two say it of the book.
    if (!cabinet)
      throw ENoEBookPages(Format(SNoEBookPages, path.c_str()));
    const bool keep = !FCabinetSetAside;
    TByteViewStream cabinetBytes(*cabinet);
    TFilePartStream cabinetFile(handle, module.OffsetOf(*cabinet), cabinet->size());
    // Content read from the file is the book's only while the file is the one read whole.
    const auto checkFileRead = [&] {
      if (!keep)
        CheckOpenFileUnchanged(handle, path, FBook.Identity);
    };
    try {
      UnpackContent(keep ? static_cast<TStream&>(cabinetBytes) : cabinetFile);
    } catch (const EMFSCabReaderError&) {
      checkFileRead();
      throw EDamagedEBookPages(Format(SDamagedEBookPages, path.c_str()));
    } catch (const EMFSCabSystemError& e) {
      checkFileRead();
      if (e.DamagedCabinet())
        throw EDamagedEBookPages(Format(SDamagedEBookPages, path.c_str()));
      throw;
    } catch (...) {
      checkFileRead();
      throw;
    }
    checkFileRead();
  }
  ShowEBook(path, std::move(icon), std::move(iconGroup));
}

void TEBookDocument::UnpackContent(TStream& cabinet) {
  if (KeepContent) {
    FMFS->SetContentWanted({});
    UnpackSystemMFS(*FMFS, cabinet, StepProgress(esUnpack));
    return;
  }
  // The variables file is named in System.xml, which may come after it: most books keep it
  // where it is looked for first, and the others are unpacked again for it.
  TMFSSession& session = FMFS->Session();
  auto wanted = std::make_shared<std::vector<std::string>>(std::vector<std::string>{
      session.ExpandPath(DescriptionPath), session.ExpandPath(DefaultVariablesPath)});
  FMFS->SetContentWanted([wanted, codePage = FCodePage](const std::string& path) {
    return std::any_of(wanted->begin(), wanted->end(), [&](const std::string& name) {
      return codePage.CompareText(name, path) == 0;
    });
  });
  UnpackSystemMFS(*FMFS, cabinet, StepProgress(esUnpack));
  const std::string variablesPath = ReadDescription();
  if (session.Exists(variablesPath) && session.GetFile(variablesPath)->ContentLeftOut()) {
    wanted->push_back(session.ExpandPath(variablesPath));
    cabinet.SetPosition(0);
    UnpackSystemMFS(*FMFS, cabinet, StepProgress(esUnpack));
  }
}

std::string TEBookDocument::ReadDescription() {
  TMFSFile* description = FMFS->Session().GetFile(DescriptionPath);
  TMFSFileStream stream(description);
  FXMLParser->LoadFromStream(stream);
  const std::string variablesPath = FXMLParser->Root()->Attributes().GetText(VariablesAttribute);
  // The book's runtime reads its values from \Variables.xml when the attribute names none, so
  // that file is the one shown and the one update writes.
  return variablesPath.empty() ? DefaultVariablesPath : variablesPath;
}

void TEBookDocument::ShowEBook(const std::string& path, std::string icon, std::string iconGroup) {
  Progress(esParse, 0);
  TMFSSession& session = FMFS->Session();
  FVariablesPath = ReadDescription();
  FFileName = path;
  const TXMLAttributes& attributes = FXMLParser->Root()->Attributes();
  if (session.Exists(FVariablesPath)) {
    const std::string& variables = session.GetFile(FVariablesPath)->Content();
    // Parsing is the description and the variables file: the first part is done.
    const uint64_t described = session.GetFile(DescriptionPath)->Content().size();
    Progress(esParse, int(described * 100 / std::max<uint64_t>(described + variables.size(), 1)));
    CheckVariablesCost(variables, FVariablesPath, FMFS->LoadBudgetLeft());
    FVariables = std::make_unique<TVariables>(variables, false, FCodePage);
  } else {
    FVariables = std::make_unique<TVariables>(std::string(), false, FCodePage);
  }

  FTitleTemplate = attributes.GetText(TitleAttribute);
  FTitle = ExpandTitle(*FVariables);

  FEBookIcon = std::move(icon);
  FEBookIconGroup = std::move(iconGroup);

  FRows.reset();
  FOpened = true;
  Progress(esParse, 100);
}

void TEBookDocument::ReopenEBook(const std::string& path) {
  try {
    std::string icon;
    std::string iconGroup;
    {
      const TPEModule module(path, FBook.Bytes);
      icon = LoadModuleIcon(module, IconGroupName);
      iconGroup = LoadModuleIconGroup(module, IconGroupName);
      FContentPlace = ModuleResourcePlace(module, ContentResourceType, ContentResourceName);
      FSignature = JudgeSignature(module.Image());
    }
    ShowEBook(path, std::move(icon), std::move(iconGroup));
  } catch (...) {
    CloseEBook();
    throw;
  }
}

TPercentEvent TEBookDocument::StepProgress(TEBookStep step) const {
  if (!OnProgress)
    return {};
  return [this, step](int percent) { Progress(step, percent); };
}

namespace {
// Real books' content inflates 2 to 20 fold; a book is let unpack three times the most, and
// never less than the floor, as a small cabinet says little about the size of its pages.
// Nor beyond the machine's memory: no book could be opened there.
constexpr uint64_t RealBookExpansion = 64;
constexpr uint64_t MinUnpackBudget = uint64_t(64) << 20;
// Up to this size a cabinet is unpacked on one thread (the serialized form held whole, within
// the budget): a thread started per book cost a batch of small books more than it saved.
constexpr int64_t SmallCabinetSize = int64_t(256) << 10;

uint64_t UnpackBudget(size_t cabinetSize) {
  const uint64_t memory = uint64_t(::sysconf(_SC_PHYS_PAGES)) * uint64_t(::sysconf(_SC_PAGESIZE));
  return std::min(std::max(uint64_t(cabinetSize) * RealBookExpansion, MinUnpackBudget), memory);
}
} // namespace

void UnpackSystemMFS(TMFS& fs, std::string_view cabinetBytes, const TPercentEvent& onProgress) {
  TByteViewStream cabinet(cabinetBytes);
  UnpackSystemMFS(fs, cabinet, onProgress);
}

void UnpackSystemMFS(TMFS& fs, TStream& cabinet, const TPercentEvent& onProgress) {
  TCabMemberReader reader(cabinet, CabinetPath, fs.CodePage());
  reader.SetOnProgress(onProgress);
  // The serialized form and the tree made of it are held to one budget: what the cabinet
  // declares is refused before it is inflated, each item is charged as it is made.
  const uint64_t budget = UnpackBudget(size_t(std::max<int64_t>(cabinet.Size(), 0)));
  reader.SetExtractLimit(int64_t(budget));
  fs.SetLoadBudget(budget);
  // A small book is inflated whole and then read: a second thread would cost it more than it
  // saves (most books of a reseller's batch are such). So is any book where no thread can be
  // had (the browser's module has none).
  const auto unpackWhole = [&] {
    TStringStream serialized;
    if (!reader.ExtractTo(SerializedMember, serialized))
      throw EMFSError(Format(SFileNotFound, SerializedPath));
    serialized.SetPosition(0);
    fs.LoadInOrder(serialized);
  };
  if (cabinet.Size() <= SmallCabinetSize)
    return unpackWhole();
  // The cabinet is inflated on this thread while the tree is built on another, each on a core
  // of its own; the serialized form passes through a small pipe and is never held whole.
  TBytePipe serialized(reader.MaxExtractedSize());
  std::exception_ptr loadFailure;
  std::thread loader;
  try {
    loader = std::thread([&] {
      try {
        fs.LoadInOrder(serialized);
      } catch (...) {
        loadFailure = std::current_exception();
      }
      serialized.CloseReading();
    });
  } catch (const std::system_error&) {
    return unpackWhole();
  }
  bool found = false;
  try {
    found = reader.ExtractTo(SerializedMember, serialized);
  } catch (...) {
    // A damaged cabinet is the first thing to report: the loader saw only part of it. But a
    // loader that stopped first refused what it had read, and so stopped the inflating.
    const bool loaderStopped = serialized.ReadingClosed();
    serialized.CloseWriting();
    loader.join();
    if (loaderStopped && loadFailure)
      std::rethrow_exception(loadFailure);
    throw;
  }
  serialized.CloseWriting();
  loader.join();
  if (!found)
    throw EMFSError(Format(SFileNotFound, SerializedPath));
  if (loadFailure)
    std::rethrow_exception(loadFailure);
}

void TEBookDocument::CloseEBook() {
  ForgetEBook();
  FMFS->Clear();
  // Moved out, not assigned over: a string assigned an empty one keeps its memory.
  { const TFileSnapshot old = std::move(FBook); }
  FCabinetSetAside = false;
  FBookFile.Close();
}

void TEBookDocument::ForgetEBook() {
  FTitle.clear();
  FFileName.clear();
  FVariablesPath.clear();
  FTitleTemplate.clear();
  FVariables.reset();
  FNewIcon.clear();
  FRows.reset();
  FSignature = TImageSignature();
  FOpened = false;
}

bool HidesVariable(const std::string& value) {
  return !value.empty() && value[0] == '$';
}

const TVariableRows& TEBookDocument::Rows() const {
  if (!FRows)
    FRows = Variables(false, true);
  return *FRows;
}

TVariableRows TEBookDocument::Variables(bool hiddenToo, bool stored) const {
  TVariableRows rows;
  EachVariable(hiddenToo, stored, [&rows](const std::string& name, const std::string& value) {
    rows.push_back({name, value});
  });
  return rows;
}

void TEBookDocument::EachVariable(
    bool hiddenToo, bool stored,
    const std::function<void(const std::string& name, const std::string& value)>& visit) const {
  if (!FVariables)
    return;
  for (const std::string& name : FVariables->Names()) {
    const std::string& value = FVariables->Values(name);
    if (hiddenToo || !HidesVariable(value))
      visit(name, stored ? FVariables->StoredValue(name) : value);
  }
}

const std::string& TEBookDocument::ShownIcon() const {
  static const std::string none;
  if (!FOpened)
    return none;
  return FNewIcon.empty() ? FEBookIcon : FNewIcon;
}

const TShadowedEntries& TEBookDocument::Shadowed() const {
  static const TShadowedEntries none;
  return FVariables ? FVariables->Shadowed() : none;
}

std::string TEBookDocument::BuildVariablesText(const TVariableRows& rows) const {
  // Only what the user changed changes: every other value keeps its references, so that a
  // new Company still flows into the Copyright that names it.
  // Each name is written once: a second entry of a row's name would be read by nobody, and
  // being kept as every entry is, it would come back on every brand after.
  std::string text = SVariablesFileStart;
  TDictionary written(FCodePage, false);
  for (const TVariableRow& row : rows) {
    text += VariableEntry(row.Name, row.Value);
    written.AddIfAbsent(row.Name, 0);
  }
  if (FVariables) {
    for (const std::string& name : FVariables->Names())
      if (!written.Exists(name))
        text += VariableEntry(name, FVariables->StoredValue(name));
    // Read after the others they stay unread in this code page, and are read as before in
    // the one the book was made with.
    for (const TShadowedEntry& entry : FVariables->Shadowed())
      text += VariableEntry(entry.Name, entry.Value);
  }
  text += SVariablesFileEnd;
  return text;
}

TResolution TEBookDocument::ResolveWith(const TVariableRows& rows) const {
  // A row as the book has it is the store's own entry: only the others need go first, which
  // halves what is read when few changed (the window resolves after every edit).
  TVariableRows changed;
  const TVariableRows& own = Rows();
  for (size_t i = 0; i < rows.size(); ++i)
    if (i >= own.size() || !(own[i] == rows[i]))
      changed.push_back(rows[i]);
  const TVariables variables(BuildVariablesText(changed), false, FCodePage);
  TResolution resolution;
  resolution.Title = ExpandTitle(variables);
  for (size_t i = 0; i < rows.size(); ++i) {
    TResolvedRow& resolved = resolution.Rows.emplace_back();
    resolved.Value = variables.Values(rows[i].Name);
    const bool storedAsBefore = i < own.size() && own[i] == rows[i];
    if (!storedAsBefore || resolved.Value == FVariables->Values(rows[i].Name))
      continue;
    for (const std::string& name : ReferencedNames(rows[i].Value)) {
      const bool changed =
          variables.Exists(name) &&
          (!FVariables->Exists(name) || variables.Values(name) != FVariables->Values(name));
      if (changed &&
          std::find(resolved.From.begin(), resolved.From.end(), name) == resolved.From.end())
        resolved.From.push_back(name);
    }
  }
  return resolution;
}

namespace {
// Packs the serialized form of fs as the only member of a new cabinet, kept in a file in
// diskFolder when one is given.
TCabPacker& PackSerialized(TCabPacker& packer, const TMFS& fs, const TCabPreviousFolder* previous,
                           const TPercentEvent& onProgress) {
  // The member is stamped as a new file is; its bytes go from the tree straight into the
  // compressor instead of being serialized into one string and copied into a file first.
  packer.SetOnProgress(onProgress);
  packer.UsePreviousFolder(previous);
  packer.AddStream(SerializedMember, std::make_unique<TMFSSerialStream>(*fs.Root()),
                   NowAsDosDateTime(), faArchive);
  return packer;
}
} // namespace

std::string PackSystemMFS(const TMFS& fs, const TCabPreviousFolder* previous,
                          const TPercentEvent& onProgress) {
  TCabPacker packer;
  return PackSerialized(packer, fs, previous, onProgress).FlushToString();
}

TFileHandle PackSystemMFSToFile(const TMFS& fs, const std::string& diskFolder,
                                const TCabPreviousFolder* previous,
                                const TPercentEvent& onProgress) {
  TCabPacker packer;
  packer.KeepFilesIn(diskFolder);
  return PackSerialized(packer, fs, previous, onProgress).FlushToFile();
}

TCabPreviousFolder TEBookDocument::PreviousContent(const TOpenedFile& bookFile) const {
  // Where the content is unchanged, the blocks the book holds are taken over, not packed again;
  // a block is taken only when it decodes to exactly the new bytes.
  const uint64_t size = FContentPlace.Size;
  if (!FCabinetSetAside) {
    const std::string_view cabinet =
        std::string_view(FBook.Bytes).substr(FContentPlace.Offset, size);
    return TCabPreviousFolder(
        [cabinet](uint64_t offset, void* into, size_t count) {
          if (offset > cabinet.size() || count > cabinet.size() - offset)
            return false;
          std::memcpy(into, cabinet.data() + offset, count);
          return true;
        },
        size);
  }
  // Set aside, the blocks are read from the book's file, from the handle open since the open
  // or else from whatever the path names now. A file changed meanwhile is no harm, as only
  // blocks that decode to the new bytes are taken; one that cannot be read offers nothing.
  auto file = std::make_shared<TOpenedFile>();
  int handle = bookFile.IsOpen() ? bookFile.Handle() : -1;
  if (handle < 0) {
    try {
      *file = TOpenedFile::Open(FFileName);
      handle = file->Handle();
    } catch (const EFOpenError&) {
    }
  }
  return TCabPreviousFolder(
      [file, handle, at = FContentPlace.Offset, size](uint64_t offset, void* into, size_t count) {
        if (handle < 0 || offset > size || count > size - offset)
          return false;
        try {
          ReadAllAt(handle, into, count, at + offset);
          return true;
        } catch (const EFileIOError&) {
          return false;
        }
      },
      size);
}

void TEBookDocument::LineUpBehindVariables(TCabPreviousFolder& previous,
                                           const std::string& variablesText) {
  // Blocks shorter than the standard size in mid-folder would line them up as well, but other
  // readers (the book's own runtime among them) refuse or misread those; blanks between the
  // file's elements are read by every reader as nothing. The padding is counted from the text
  // without it, so brand after brand it never grows beyond a block.
  TMFSFile* file = FMFS->Session().GetFile(FVariablesPath);
  const TSerialPlace place = SerialPlace(*FMFS->Root(), *file);
  const uint64_t blanks = previous.LineUpEnds(uint64_t(place.Size), uint64_t(place.ContentEnd));
  if (blanks > 0)
    file->SetContent(WithBlanks(variablesText, size_t(blanks)));
}

std::string TEBookDocument::ExpandTitle(const TVariables& variables) const {
  return FTitleTemplate.empty() ? std::string() : variables.ExpandText(FTitleTemplate);
}

TEBookUpdateResult TEBookDocument::UpdateEBook(const TVariableRows& rows,
                                               const std::string& outputPath,
                                               const TCodeSigner* signer, TAfterUpdate after) {
  if (!FOpened)
    return {};
  TExeImageUpdate how;
  how.TargetName = outputPath;
  const bool showNewBook = after == TAfterUpdate::ShowNewBook;
  const TEBookUpdateResult result = WriteEBook(rows, std::move(how), signer, showNewBook);
  if (!showNewBook)
    return result;
  // The content stays: it is exactly what the new cabinet holds, so the reopen neither
  // unpacks nor parses again what was just packed.
  const std::string written = outputPath.empty() ? FFileName : outputPath;
  ForgetEBook();
  ReopenEBook(written);
  return result;
}

std::string TEBookDocument::BrandedImage(const TVariableRows& rows, TEBookUpdateResult& result,
                                         const TCodeSigner* signer) {
  if (!FOpened)
    return {};
  TExeImageUpdate how;
  how.Nameless = true;
  result = WriteEBook(rows, std::move(how), signer);
  std::string image = std::move(FBook.Bytes);
  CloseEBook();
  return image;
}

TEBookUpdateResult TEBookDocument::WriteEBook(const TVariableRows& rows, TExeImageUpdate how,
                                              const TCodeSigner* signer, bool readNewBook) {
  const std::string variablesText = BuildVariablesText(rows);
  // The reopen reads this text back and expands the title with it: what would fail there
  // (a reference cycle, values past the size cap) fails here, while the book is untouched.
  ExpandTitle(TVariables(variablesText, false, FCodePage));
  const std::string path = FFileName;
  const bool inPlace = how.TargetName.empty() && !how.Nameless;
  // In place the book's lock is held until the new file is renamed into place: since the open
  // for update, or from here; either way it goes at the end of the update.
  TOpenedFile lock = std::move(FBookFile);
  if (inPlace && !lock.Locked())
    lock = TOpenedFile::Lock(path, WaitingEvent());
  // The new file is made from the book as it was opened: another file put at the path, or the
  // book changed meanwhile, is not written over with it.
  if (inPlace)
    CheckFileUnchanged(path, FBook.Identity);
  if (!how.Nameless)
    CheckResourceUpdatePossible(path, how.TargetName);
  // The book's own variables file, wherever System.xml says it is (creating its folder), so
  // that the next open reads what was written.
  TContentWrite variables(FMFS->Session(), FVariablesPath, variablesText);
  TEBookUpdateResult result;
  TWrittenFile newFile;
  FReportedPercent = -1; // a new operation: its steps start over
  // The new resource waits on disk: beside the content and the book, a second copy of the
  // cabinet in memory was the biggest part of an update's peak. It waits where the new book
  // is written, which must take a file anyway.
  const std::string scratchFolder =
      how.Nameless ? TempFolder() : FolderOf(how.TargetName.empty() ? path : how.TargetName);
  // The new cabinet waits there while the new book is written beside it.
  const uint64_t roomNeeded = FContentPlace.Size + FBook.Identity.Size;
  try {
    std::vector<TResourceChange> changes;
    TCabPreviousFolder previous = PreviousContent(lock);
    LineUpBehindVariables(previous, variablesText);
    CheckFreeSpace(scratchFolder, roomNeeded);
    changes.push_back({ContentResourceType,
                       ContentResourceName,
                       {},
                       PackSystemMFSToFile(*FMFS, scratchFolder, &previous, StepProgress(esPack))});
    if (!FNewIcon.empty())
      for (TResourceChange& change : IconGroupChanges(IconGroupName, FirstIconId, FNewIcon))
        changes.push_back(std::move(change));
    // Content and icon go in one update: the book gets all of it or keeps what it had. The
    // rewrite's percent stops at 99 until that update is complete.
    how.OnProgress = [this](int percent) { Progress(esRewrite, std::min(percent, 99)); };
    how.Written = readNewBook ? &newFile : nullptr;
    how.OnSign = ImageSignEvent(signer);
    how.BeforeReplace = BeforeReplace;
    result.SignatureRemoved =
        UpdateExeImageResources(path,
                                {FBook.Bytes, FBook.Identity, lock.IsOpen() ? lock.Handle() : -1},
                                std::move(changes), how)
            .SignatureRemoved;
    result.Signed = signer != nullptr;
  } catch (...) {
    // Nothing was written: the document stays open as it was, edits and new icon with it.
    try {
      variables.Undo();
    } catch (...) {
      CloseEBook(); // the content could not be put back: it is no longer the book's
    }
    try {
      throw;
    } catch (Exception& failure) {
      // The disk filled after the room was checked (something else wrote there meanwhile).
      TellRoomNeeded(failure, scratchFolder, roomNeeded);
      throw;
    }
  }
  Progress(esRewrite, 100);
  // The old image goes before the new one is read: the two are never both in memory. (Moved
  // out, not assigned over: a string assigned an empty one keeps its memory.)
  { const TFileSnapshot old = std::move(FBook); }
  FCabinetSetAside = false;
  if (!readNewBook) {
    CloseEBook();
    return result;
  }
  try {
    FBook =
        ReadWrittenFile(newFile, how.TargetName.empty() ? path : how.TargetName, MaxImageFileSize);
  } catch (...) {
    CloseEBook(); // the book is written, but what it now holds cannot be shown
    throw;
  }
  return result;
}

void TEBookDocument::CheckSignable() const {
  if (!FOpened)
    return;
  // The new book keeps every section but the resources where it is, and the resources at
  // their place whatever their new size: the layout planned at the old size has the new one's
  // gaps. The signature removed, the image ends where the layout says, padded for the table.
  const TByteView image = ByteViewOf(FBook.Bytes);
  const TImageHeaders headers = ReadImageHeaders(image);
  const int section = headers.ResourceSection();
  if (section < 0)
    return; // the update itself refuses it
  const TResourceLayout layout =
      PlanResourceLayout(image, headers, section, headers.Sections[size_t(section)].SizeOfRawData);
  const uint64_t length = (layout.NewLength + CertificateTableAlignment - 1) /
                          CertificateTableAlignment * CertificateTableAlignment;
  CheckImageSignable(layout.Headers, length);
}

void TEBookDocument::SaveContentToDisk(const std::string& folder, bool replaceFiles,
                                       bool keepDates) const {
  if (FOpened)
    FMFS->Root()->SaveToDisk(folder, replaceFiles, keepDates);
}

void TEBookDocument::ViewEBook() {
  if (FOpened && OnShellOpen)
    OnShellOpen(FFileName);
}

void TEBookDocument::CheckIcon(const std::string& icoBytes) {
  try {
    IconFileToGroup(icoBytes, FirstIconId);
  } catch (const EResourcesError&) {
    throw EInvalidGraphic("Icon image is not valid");
  }
}

void TEBookDocument::LoadNewIcon(const std::string& icoBytes) {
  if (!FOpened)
    return;
  CheckIcon(icoBytes);
  FNewIcon = icoBytes;
}

void TEBookDocument::ResetIcon() {
  if (FOpened)
    FNewIcon.clear();
}
