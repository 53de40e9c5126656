#include "ebook/u_EBookDocument.h"

#include "cab/u_CabPreviousFolder.h"
#include "cab/u_MFSCab.h"
#include "common/u_BytePipe.h"
#include "common/u_Files.h"
#include "mfs/u_MFS.h"
#include "mfs/u_MFSSerialStream.h"
#include "resources/u_ModuleIcon.h"
#include "resources/u_PEModule.h"
#include "resources/u_Resources.h"
#include "resources/vexFiles.h"
#include "signing/u_CodeSigner.h"
#include "variables/u_Variables.h"
#include "xml/u_SpaceXMLParser.h"

#include <algorithm>
#include <exception>
#include <fcntl.h>
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
const char* const NewCabinetPath = "System.cab";
// Every file offset in a PE32 image is 32 bits wide, so no book's sections reach past 4 GiB;
// what a bigger source holds beyond them is no book we could rewrite.
constexpr size_t MaxBookSize = size_t(4) << 30;
const int FirstIconId = 1;

// Reads a book's file back at the place its content had. A file that cannot be read gives
// nothing: what is read is only offered to a pack, never trusted.
class TBookContentReader {
public:
  TBookContentReader(const std::string& path, TResourcePlace place)
      : FHandle(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), FPlace(place) {}
  ~TBookContentReader() {
    if (FHandle >= 0)
      ::close(FHandle);
  }
  TBookContentReader(const TBookContentReader&) = delete;
  TBookContentReader& operator=(const TBookContentReader&) = delete;

  bool Read(uint64_t offset, void* into, size_t count) const {
    if (FHandle < 0 || offset > FPlace.Size || count > FPlace.Size - offset)
      return false;
    try {
      ReadAllAt(FHandle, into, count, FPlace.Offset + offset);
      return true;
    } catch (const Exception&) {
      return false;
    }
  }

private:
  int FHandle;
  TResourcePlace FPlace;
};

// The rewriter's signing step for signer, or none.
TImageSignEvent SignEvent(const TCodeSigner* signer) {
  if (!signer)
    return {};
  return [signer](const TImageHeaders& headers, uint64_t length, const TImageReader& read) {
    return signer->CertificateTable(headers, length, read);
  };
}

} // namespace

TEBookDocument::TEBookDocument()
    : FMFS(std::make_unique<TMFS>()), FXMLParser(std::make_unique<TXMLParser>()) {}

TEBookDocument::~TEBookDocument() = default;

void TEBookDocument::Progress(TEBookStep step, int percent) const {
  // A listener may draw on every report: each percent of a step is told once.
  if (!OnProgress || (step == FReportedStep && percent <= FReportedPercent))
    return;
  FReportedStep = step;
  FReportedPercent = percent;
  OnProgress(step, percent);
}

void TEBookDocument::OpenEBook(const std::string& path) {
  CloseEBook();
  try {
    FReportedPercent = -1; // a new operation: its steps start over
    Progress(esRead, 0);
    // The book is read only here, once, into memory: a private snapshot that a change to the
    // file meanwhile cannot tear, and no temporary file to leave behind.
    std::string image = LoadFileToString(path, MaxBookSize);
    Progress(esRead, 100);
    ReadEBook(path, std::move(image));
  } catch (...) {
    CloseEBook();
    throw;
  }
}

void TEBookDocument::ReadEBook(const std::string& path, std::string image) {
  std::string icon;
  std::string iconGroup;
  {
    const TPEModule module(path, std::move(image));
    icon = LoadModuleIcon(module, IconGroupName);
    iconGroup = LoadModuleIconGroup(module, IconGroupName);
    FContentPlace = ModuleResourcePlace(module, ContentResourceType, ContentResourceName);
    FSignature = ReadImageSignature(module.Image());
    // The cabinet is read where it lies in the image: it is the big part of it.
    const auto cabinet = FindModuleResource(module, ContentResourceType, ContentResourceName);
    // The cabinet's own messages name the scratch file it is read as, which means nothing to
    // the user: these two say it of the book.
    if (!cabinet)
      throw EEBookError(Format(SNoEBookPages, path.c_str()));
    try {
      UnpackSystemMFS(*FMFS, *cabinet, StepProgress(esUnpack));
    } catch (const EMFSCabReaderError&) {
      throw EEBookError(Format(SDamagedEBookPages, path.c_str()));
    }
  }
  ShowEBook(path, std::move(icon), std::move(iconGroup));
}

void TEBookDocument::ShowEBook(const std::string& path, std::string icon, std::string iconGroup) {
  Progress(esParse, 0);
  TMFSSession& session = FMFS->Session();
  TMFSFile* description = session.GetFile(DescriptionPath);
  {
    TMFSFileStream stream(description);
    FXMLParser->LoadFromStream(stream);
  }
  FFileName = path;

  const TXMLAttributes& attributes = FXMLParser->Root()->Attributes();
  FVariablesPath = attributes.GetText(VariablesAttribute);
  // The book's runtime reads its values from \Variables.xml when the attribute names none, so
  // that file is the one shown and the one update writes.
  if (FVariablesPath.empty())
    FVariablesPath = DefaultVariablesPath;
  if (session.Exists(FVariablesPath)) {
    const std::string& variables = session.GetFile(FVariablesPath)->Content();
    // Parsing is the description and the variables file: the first part is done.
    const uint64_t described = description->Content().size();
    Progress(esParse, int(described * 100 / std::max<uint64_t>(described + variables.size(), 1)));
    FVariables = std::make_unique<TVariables>(variables, false);
  } else {
    FVariables = std::make_unique<TVariables>(std::string(), false);
  }

  FTitleTemplate = attributes.GetText(TitleAttribute);
  FTitle = ExpandTitle(*FVariables);

  FEBookIcon = std::move(icon);
  FEBookIconGroup = std::move(iconGroup);

  for (const std::string& name : FVariables->Names()) {
    const std::string& value = FVariables->Values(name);
    if (value.empty() || value[0] != '$')
      FRows.push_back({name, value});
  }
  FOpened = true;
  Progress(esParse, 100);
}

void TEBookDocument::ReopenEBook(const std::string& path) {
  try {
    std::string icon;
    std::string iconGroup;
    {
      const TPEModule module(path);
      icon = LoadModuleIcon(module, IconGroupName);
      iconGroup = LoadModuleIconGroup(module, IconGroupName);
      FContentPlace = ModuleResourcePlace(module, ContentResourceType, ContentResourceName);
      FSignature = ReadImageSignature(module.Image());
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

void UnpackSystemMFS(TMFS& fs, std::string_view cabinetBytes, const TPercentEvent& onProgress) {
  TMFS scratch;
  TMFSCabReader reader(scratch.Session(), CabinetPath, cabinetBytes);
  reader.SetOnProgress(onProgress);
  // The cabinet is inflated on this thread while the tree is built on another, each on a core
  // of its own; the serialized form passes through a small pipe and is never held whole.
  TBytePipe serialized(reader.MaxExtractedSize());
  std::exception_ptr loadFailure;
  std::thread loader([&] {
    try {
      fs.LoadInOrder(serialized);
    } catch (...) {
      loadFailure = std::current_exception();
    }
    serialized.CloseReading();
  });
  bool found = false;
  try {
    found = reader.ExtractTo(SerializedMember, serialized);
  } catch (...) {
    // A damaged cabinet is the first thing to report: the loader saw only part of it.
    serialized.CloseWriting();
    loader.join();
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
}

void TEBookDocument::ForgetEBook() {
  FTitle.clear();
  FFileName.clear();
  FVariablesPath.clear();
  FTitleTemplate.clear();
  FVariables.reset();
  FNewIcon.clear();
  FRows.clear();
  FSignature = TImageSignature();
  FOpened = false;
}

const std::string& TEBookDocument::ShownIcon() const {
  static const std::string none;
  if (!FOpened)
    return none;
  return FNewIcon.empty() ? FEBookIcon : FNewIcon;
}

std::string TEBookDocument::BuildVariablesText(const TVariableRows& rows) const {
  std::string text = SVariablesFileStart;
  for (const TVariableRow& row : rows)
    text += VariableEntry(row.Name, row.Value);
  if (FVariables)
    for (const std::string& name : FVariables->Names())
      text += VariableEntry(name, FVariables->Values(name));
  text += SVariablesFileEnd;
  return text;
}

std::string PackSystemMFS(const TMFS& fs, const TCabPreviousFolder* previous,
                          const TPercentEvent& onProgress) {
  TMFS scratch;
  TMFSSession& session = scratch.Session();
  // The member is stamped as a new file is; its bytes go from the tree straight into the
  // compressor instead of being serialized into one string and copied into a file first.
  const TMFSFile* stamp = session.CreateFile(SerializedPath, 0, true);
  {
    TMFSCabWriter writer(session, "", NewCabinetPath);
    writer.SetOnProgress(onProgress);
    writer.UsePreviousFolder(previous);
    writer.AddStream(SerializedMember, std::make_unique<TMFSSerialStream>(*fs.Root()),
                     stamp->DateTime(), stamp->Attributes());
    writer.FlushCabinet();
  }
  return std::move(session.GetFile(std::string("\\") + NewCabinetPath)->Content());
}

std::string TEBookDocument::PackContent() const {
  // Where the content is unchanged, the blocks the book holds are taken over, not packed again.
  // A file changed since it was read costs only that saving: a block is taken only when it
  // decodes to exactly the new bytes.
  const TBookContentReader book(FFileName, FContentPlace);
  const TCabPreviousFolder previous(
      [&book](uint64_t offset, void* into, size_t count) { return book.Read(offset, into, count); },
      FContentPlace.Size);
  return PackSystemMFS(*FMFS, &previous, StepProgress(esPack));
}

std::string TEBookDocument::ExpandTitle(const TVariables& variables) const {
  return FTitleTemplate.empty() ? std::string() : variables.ExpandText(FTitleTemplate);
}

TEBookUpdateResult TEBookDocument::UpdateEBook(const TVariableRows& rows,
                                               const std::string& outputPath,
                                               const TCodeSigner* signer) {
  if (!FOpened)
    return {};
  const std::string variablesText = BuildVariablesText(rows);
  // The reopen reads this text back and expands the title with it: what would fail there
  // (a reference cycle, values past the size cap) fails here, while the book is untouched.
  ExpandTitle(TVariables(variablesText, false));
  const std::string path = FFileName;
  const std::string written = outputPath.empty() ? path : outputPath;
  CheckResourceUpdatePossible(path, outputPath);
  // The book's own variables file, wherever System.xml says it is (creating its folder), so
  // that the next open reads what was written.
  FMFS->Session().WriteFile(FVariablesPath, variablesText);
  TEBookUpdateResult result;
  FReportedPercent = -1; // a new operation: its steps start over
  {
    std::vector<TResourceChange> changes;
    changes.push_back({ContentResourceType, ContentResourceName, PackContent()});
    if (!FNewIcon.empty())
      for (TResourceChange& change : IconGroupChanges(IconGroupName, FirstIconId, FNewIcon))
        changes.push_back(std::move(change));

    // The content stays: it is exactly what the new cabinet holds, so the reopen neither
    // unpacks nor parses again what was just packed.
    ForgetEBook();
    try {
      // Content and icon go in one update: the book gets all of it or keeps what it had. The
      // rewrite's percent stops at 99 until that update is complete.
      result.SignatureRemoved =
          UpdateExeResources(path, std::move(changes), outputPath, [this](int percent) {
            Progress(esRewrite, std::min(percent, 99));
          }, SignEvent(signer)).SignatureRemoved;
      result.Signed = signer != nullptr;
      Progress(esRewrite, 100);
    } catch (...) {
      CloseEBook();
      throw;
    }
  } // the new resources are in the file now: let them go before the reopen
  ReopenEBook(written);
  return result;
}

void TEBookDocument::SaveContentToDisk(const std::string& folder, bool replaceFiles) const {
  if (FOpened)
    FMFS->Root()->SaveToDisk(folder, replaceFiles);
}

void TEBookDocument::ViewEBook() {
  if (FOpened && OnShellOpen)
    OnShellOpen(FFileName);
}

void TEBookDocument::LoadNewIcon(const std::string& icoBytes) {
  if (!FOpened)
    return;
  try {
    IconFileToGroup(icoBytes, FirstIconId);
  } catch (const EResourcesError&) {
    throw EInvalidGraphic("Icon image is not valid");
  }
  FNewIcon = icoBytes;
}

void TEBookDocument::ResetIcon() {
  if (FOpened)
    FNewIcon.clear();
}
