#include "resources/vexRes.h"

#include "common/u_Files.h"
#include "resources/vexFiles.h"
#include "resources/vexLayout.h"
#include "resources/vexResTree.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <future>
#include <new>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <system_error>
#include <unistd.h>

namespace {

std::function<void(TCommitStep)> GCommitStepHook;

void Reached(TCommitStep step) {
  if (GCommitStepHook)
    GCommitStepHook(step);
}

// Records the failure being handled as the last error; call only inside a catch block.
void RecordFailure() {
  TVexFailure failure = CurrentVexFailure();
  SetVexLastError(failure.Code, std::move(failure.Cause));
}

// Keeps what the system lets this user keep: the owner and group where it may set them, else
// the group alone (a group the user belongs to), else neither; the mode always. Refusing the
// update over an owner or group the user cannot give away would help no one. A copy written
// elsewhere is this user's new file, as cp makes it: only the mode is taken over.
void KeepOwnerAndMode(int fd, const TFileIdentity& original, bool keepOwner) {
  if (keepOwner && (original.Owner != ::geteuid() || original.Group != ::getegid())) {
    const bool kept = ::fchown(fd, original.Owner, original.Group) == 0 ||
                      ::fchown(fd, uid_t(-1), original.Group) == 0;
    (void)kept; // what is not kept stays this user's, as for any new file
  }
  // After the owner: a change of owner clears the set-id bits the mode may hold.
  if (::fchmod(fd, original.Mode & 07777) != 0)
    throw EVexError(errno, {});
}

// Extended attributes name and value sizes: the system's own limits (XATTR_LIST_MAX,
// XATTR_SIZE_MAX), so a file cannot make the copy ask for more.
constexpr size_t MaxAttributeList = 64 << 10;
constexpr size_t MaxAttributeValue = 64 << 10;

// Gives the new file every extended attribute of the file it replaces, its ACL
// (system.posix_acl_access) among them, set after the mode so that the ACL's mask stays what
// it was rather than the group bits of the mode. One that cannot be kept fails the commit:
// the book keeps it, where the new file would lose it or widen who may use the book.
void KeepAttributes(int fd, const std::string& original) {
  std::string names(MaxAttributeList, '\0');
  const ssize_t listed = ::listxattr(original.c_str(), names.data(), names.size());
  if (listed < 0 && (errno == ENOTSUP || errno == ENOSYS))
    return; // the file system holds none
  if (listed < 0)
    throw EVexError(errno, Format("the extended attributes of \"%s\" cannot be read: %s",
                                  original.c_str(), SysErrorMessage(errno).c_str()));
  std::string value(MaxAttributeValue, '\0');
  for (size_t at = 0; at < size_t(listed);) {
    const std::string name = names.c_str() + at;
    at += name.size() + 1;
    const ssize_t size = ::getxattr(original.c_str(), name.c_str(), value.data(), value.size());
    if (size < 0 || ::fsetxattr(fd, name.c_str(), value.data(), size_t(size), 0) != 0)
      throw EVexError(errno, Format("the attribute %s of \"%s\" cannot be kept: %s", name.c_str(),
                                    original.c_str(), SysErrorMessage(errno).c_str()));
  }
}

// In place, the new file takes the mode, owner, group and attributes the book has now, not
// those it had when it was read: a chmod, chown or setfattr since then is kept, as any change
// of the book's contents is (that one refuses the update). Returns what was taken over.
TFileIdentity KeepWhatTheBookIs(int fd, const TResUpdateContext& context) {
  const TFileIdentity now = CurrentIdentity(context.FileName, context.Identity);
  KeepOwnerAndMode(fd, now, true);
  KeepAttributes(fd, context.TargetName);
  return now;
}

// A book whose status keeps changing while it is taken over is left to whoever changes it.
constexpr int MaxStatusRounds = 3;

// The head and tail are copied in pieces so that progress moves; in a big file each piece
// starts on its way to the disk while the next is copied, so that the flush at the end has
// little left to wait for.
constexpr uint64_t PieceSize = 8 << 20;

// Writes count bytes at offset of fd through write(done, n), one piece at a time.
template <class TWrite>
void WriteInPieces(int fd, uint64_t offset, uint64_t count, bool startWriteback,
                   TByteProgress& progress, TWrite write) {
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min(count - done, PieceSize);
    write(done, n);
    if (startWriteback)
      StartWriteback(fd, offset + done, n);
    progress.Advance(n);
    done += n;
  }
}

void WriteU32At(int fd, uint64_t offset, uint32_t value) {
  uint8_t bytes[4];
  TByteWriter(bytes, sizeof bytes).U32(value);
  WriteAllAt(fd, bytes, 4, offset);
}

// Every offset in a PE32 file is 32 bits wide, the certificate table's too.
constexpr uint64_t MaxImageLength = 0xFFFFFFFF;
// The signed file is summed again in pieces of this size, read back from the new file.
constexpr size_t ChecksumReadPiece = 1 << 20;

// Signs the new file of length bytes, headers in place: pads it to the table's alignment,
// appends the certificate table onSign makes of it, points the certificate-table entry there,
// and returns the checksum of the whole file, which covers the signature.
uint32_t AppendSignature(const TImageSignEvent& onSign, const TImageHeaders& headers, int out,
                         uint64_t length) {
  if (headers.DirectoryCount <= ddSecurity)
    throw EVexError(ENOTSUP, "the image's headers have no certificate-table entry to sign it");
  const uint64_t padded = (length + CertificateTableAlignment - 1) / CertificateTableAlignment *
                          CertificateTableAlignment;
  if (::ftruncate(out, off_t(padded)) != 0)
    throw EVexError(errno, {});
  const std::string table =
      onSign(headers, padded, [out](uint64_t offset, uint8_t* into, size_t count) {
        ReadAllAt(out, into, count, offset);
      });
  const uint64_t signedLength = padded + table.size();
  if (signedLength > MaxImageLength)
    throw EVexError(EFBIG, "the signed file would be larger than 4 GiB");
  WriteAllAt(out, table.data(), table.size(), padded);
  WriteU32At(out, headers.DirectoryEntryOffset(ddSecurity), uint32_t(padded));
  WriteU32At(out, headers.DirectoryEntryOffset(ddSecurity) + 4, uint32_t(table.size()));
  WriteU32At(out, headers.CheckSumOffset(), 0);
  TImageChecksum checksum;
  std::vector<uint8_t> piece;
  for (uint64_t done = 0; done < signedLength;) {
    const size_t n = size_t(std::min<uint64_t>(signedLength - done, ChecksumReadPiece));
    piece.resize(n);
    ReadAllAt(out, piece.data(), n, done);
    checksum.Add(piece.data(), n);
    done += n;
  }
  return checksum.Finish(signedLength);
}

// What the new file is made of, where those bytes are before it is written: the corrected
// headers, the rest of the head and the tail in the old image, the section image, and the
// zeros that pad it.
std::vector<TFilePiece> NewFilePieces(TByteView old, const TResourceLayout& layout,
                                      const std::string& headers, const TMappedRange& section,
                                      uint64_t sectionSize) {
  const uint64_t headEnd = layout.SectionOffset, tailEnd = headEnd + layout.NewRawSize;
  const uint64_t tail = layout.TailEnd - layout.TailStart;
  return {
      {0, reinterpret_cast<const uint8_t*>(headers.data()), headers.size()},
      {headers.size(), old.Bytes(headers.size(), headEnd - headers.size(), "head"),
       headEnd - headers.size()},
      {headEnd, section.View(), sectionSize, section.MapsFile()},
      {headEnd + sectionSize, nullptr, layout.NewRawSize - sectionSize},
      {tailEnd, old.Bytes(layout.TailStart, tail, "tail"), tail},
  };
}

// Whether the file open as handle is still as identity describes it: written since, its
// modification or status change time would tell.
bool SourceUnchanged(int handle, const TFileIdentity& identity) {
  struct stat info {};
  return ::fstat(handle, &info) == 0 && TFileIdentity::Of(info).SameStatusAs(identity);
}

TByteView ImageOf(const TResUpdateContext& context) {
  return TByteView(reinterpret_cast<const uint8_t*>(context.Image.data()), context.Image.size());
}

void Commit(TResUpdateContext& context, TResUpdateOutcome* outcome) {
  const TByteView old = ImageOf(context);
  const TSectionHeader& section = context.Headers.Sections[size_t(context.Section)];
  const TResTreeSize size = ResTreeMeasure(*context.Root);
  const TResourceLayout layout =
      PlanResourceLayout(old, context.Headers, context.Section, size.Total());

  const bool large = layout.NewLength >= LargeImageSize;
  TByteProgress progress(context.OnProgress);
  progress.Start(layout.NewLength);
  TReplacementFile next(context.TargetName);
  const int out = next.Handle();
  Reached(csNewFileCreated);
  // The section image, sized by the measure with the zeros that pad it to the file alignment,
  // is built where it belongs in a big new file; a small one is built in memory and written
  // once, which costs less than reserving its blocks and mapping them.
  const TMappedRange image(out, layout.SectionOffset, layout.NewRawSize, large);
  ResTreeWrite(*context.Root, size, image.View(), section.VirtualAddress, image.MapsFile());
  image.Store();
  if (large)
    StartWriteback(out, layout.SectionOffset, layout.NewRawSize);
  progress.Advance(layout.NewRawSize);
  Reached(csSectionWritten);

  // The head is copied unchanged, so its headers are corrected from the old file's.
  const uint64_t headersEnd = layout.Headers.HeadersEnd();
  std::string headers(reinterpret_cast<const char*>(old.Bytes(0, headersEnd, "headers")),
                      headersEnd);
  StoreImageHeaders(layout.Headers, reinterpret_cast<uint8_t*>(headers.data()), headers.size());
  // Summed from where the bytes already are, in a big file on a second thread while this one
  // writes them. A signed file is summed once its signature is in place.
  std::future<uint32_t> checksum;
  const auto sumLater = [&](std::launch how) {
    return std::async(how, ImageChecksumOfPieces,
                      NewFilePieces(old, layout, headers, image, size.Total()),
                      std::cref(layout.Patches), layout.NewLength, layout.Headers.CheckSumOffset());
  };
  if (!context.OnSign) {
    try {
      checksum = sumLater(large ? std::launch::async : std::launch::deferred);
    } catch (const std::system_error&) { // no thread to be had: summed when it is asked for
      checksum = sumLater(std::launch::deferred);
    }
  }

  // Copied in the kernel from the file read, where it can, as long as that file is still what
  // was read; otherwise, and once it changed, from the image in memory: the same bytes.
  bool inKernel = context.Source >= 0;
  const auto copy = [&](uint64_t from, uint64_t to, uint64_t count) {
    WriteInPieces(out, to, count, large, progress, [&](uint64_t done, uint64_t n) {
      inKernel = inKernel && CopyRangeInKernel(context.Source, from + done, out, to + done, n);
      if (!inKernel)
        WriteAllAt(out, old.Bytes(from + done, n, "image"), n, to + done);
    });
  };
  const auto copyHeadAndTail = [&] {
    copy(0, 0, layout.SectionOffset);
    Reached(csHeadCopied);
    copy(layout.TailStart, uint64_t(layout.SectionOffset) + layout.NewRawSize,
         layout.TailEnd - layout.TailStart);
  };
  copyHeadAndTail();
  if (inKernel && !SourceUnchanged(context.Source, context.Identity)) {
    inKernel = false;
    copyHeadAndTail();
  }
  if (::ftruncate(out, off_t(layout.NewLength)) != 0)
    throw EVexError(errno, {});
  Reached(csTailCopied);

  WriteAllAt(out, headers.data(), headers.size(), 0);
  for (const TFilePatch& patch : layout.Patches)
    WriteU32At(out, patch.Offset, patch.Value);
  Reached(csHeadersCorrected);
  WriteU32At(out, layout.Headers.CheckSumOffset(),
             context.OnSign ? AppendSignature(context.OnSign, layout.Headers, out, layout.NewLength)
                            : checksum.get());
  Reached(csChecksumWritten);
  TFileIdentity kept = context.Identity;
  if (context.InPlace)
    kept = KeepWhatTheBookIs(out, context);
  else
    KeepOwnerAndMode(out, context.Identity, false);
  if (::fsync(out) != 0)
    throw EVexError(errno, {});
  Reached(csNewFileSynced);
  if (context.ReadBack && outcome) {
    // Read by the caller once it has let go of the old image, so that the two are never both
    // in memory; its identity now, while the file has no name yet, tells it any later change.
    struct stat info {};
    outcome->Written.Handle = TFileHandle(::dup(out));
    if (!outcome->Written.Handle.IsOpen() || ::fstat(out, &info) != 0)
      throw EVexError(errno, {});
    outcome->Written.Identity = TFileIdentity::Of(info);
  }
  if (!context.Nameless) {
    next.Name();
    Reached(csNewFileNamed);
  }
  // Under the file's lock no other update comes between this check and the rename; another
  // program that put a file there or changed this one has its change kept: a new status is
  // taken over again (the flush gave it time), new contents refuse the update.
  for (int round = 1;
       context.InPlace && !CurrentIdentity(context.FileName, context.Identity).SameStatusAs(kept);
       ++round) {
    if (round == MaxStatusRounds)
      RaiseFileChanged(context.FileName);
    kept = KeepWhatTheBookIs(out, context);
  }
  if (!context.Nameless && context.BeforeReplace)
    context.BeforeReplace(context.TargetName);
  if (!context.Nameless)
    next.ReplaceTarget();
  progress.Finish();
  if (outcome)
    outcome->SignatureRemoved = layout.SignatureRemoved;
}

} // namespace

TResUpdateContext::TResUpdateContext() = default;
TResUpdateContext::~TResUpdateContext() = default;

void SetCommitStepHook(std::function<void(TCommitStep)> hook) {
  GCommitStepHook = std::move(hook);
}

namespace {
// Parses the resources of the image the context holds.
void ParseImage(TResUpdateContext& context, bool removeExisting) {
  const TByteView bytes = ImageOf(context);
  context.Headers = ReadImageHeaders(bytes);
  context.Section = context.Headers.ResourceSection();
  if (context.Section < 0)
    throw EVexError(ENOENT, "the image has no resource section");
  const TSectionHeader& section = context.Headers.Sections[size_t(context.Section)];
  CheckResourceSectionPlace(bytes, context.Headers, context.Section);
  context.Root = removeExisting ? NewResDirectory() : ResTreeParse(bytes, section);
}

// A change: setData fills the leaf, or there is none and the entry is removed. A failure
// leaves the tree as it was.
void ChangeEntry(TResUpdateContext& context, const TResIdent& type, const TResIdent& name,
                 uint16_t language, const std::function<void(TResItem&)>& setData) {
  TResItem& root = *context.Root;
  TResItem* t = FindResDirectory(root, type);
  TResItem* n = t ? FindResDirectory(*t, name) : nullptr;
  TResItem* l = n ? FindResLeaf(*n, language) : nullptr;
  if (!setData) {
    if (l) {
      RemoveResChild(*n, l);
      if (n->Children.empty())
        RemoveResChild(*t, n);
    } else if (n && language == 0) {
      RemoveResChild(*t, n);
    } else if (t && !n && language == 0 && !name.IsName() && name.Id == 0) {
      RemoveResChild(root, t);
      return;
    } else {
      return; // nothing to remove
    }
    if (t->Children.empty())
      RemoveResChild(root, t);
    return;
  }
  // Levels added here are taken out again when setting the data fails.
  TResItem* addedType = nullptr;
  TResItem* addedName = nullptr;
  TResItem* addedLeaf = nullptr;
  try {
    if (!t)
      t = addedType = AddResDirectory(root, type);
    if (!n)
      n = addedName = AddResDirectory(*t, name);
    if (!l)
      l = addedLeaf = AddResLeaf(*n, language);
    setData(*l);
  } catch (...) {
    if (addedLeaf)
      RemoveResChild(*n, addedLeaf);
    if (addedName)
      RemoveResChild(*t, addedName);
    if (addedType)
      RemoveResChild(root, addedType);
    throw;
  }
}

std::function<void(TResItem&)> CopiedData(uint16_t language, const void* data, uint32_t size) {
  if (!data)
    return {};
  return [=](TResItem& leaf) { SetResLeafData(leaf, language, data, size); };
}

std::function<void(TResItem&)> MovedData(uint16_t language, std::string& data) {
  return [&data, language](TResItem& leaf) { SetResLeafData(leaf, language, std::move(data)); };
}

} // namespace

TResourceUpdate::TResourceUpdate(std::unique_ptr<TResUpdateContext> context)
    : FContext(std::move(context)) {}

TResourceUpdate::TResourceUpdate(TResourceUpdate&&) noexcept = default;
TResourceUpdate::~TResourceUpdate() = default;

TResourceUpdate TResourceUpdate::Begin(const std::string& fileName, const std::string& targetName,
                                       bool removeExisting) {
  auto context = std::make_unique<TResUpdateContext>();
  context->FileName = fileName;
  context->InPlace = targetName.empty();
  const std::string& name = context->FileName;
  // The system's code for a file that is missing, or that the user may not change in place.
  if (::faccessat(AT_FDCWD, name.c_str(), context->InPlace ? R_OK | W_OK : R_OK, AT_EACCESS) != 0)
    throw EVexError(errno, {});
  context->Lock = context->InPlace ? TOpenedFile::Lock(name, {}) : TOpenedFile::Open(name);
  TFileSnapshot read = ReadFileSnapshot(context->Lock.Handle(), name, MaxImageFileSize);
  context->ReadImage = std::move(read.Bytes);
  context->Image = context->ReadImage;
  context->Source = context->Lock.Handle();
  context->Identity = read.Identity;
  context->TargetName = context->InPlace ? ResolvedPath(name) : targetName;
  ParseImage(*context, removeExisting);
  return TResourceUpdate(std::move(context));
}

TResourceUpdate TResourceUpdate::BeginImage(const std::string& fileName, std::string_view image,
                                            const TFileIdentity& identity,
                                            const std::string& targetName) {
  auto context = std::make_unique<TResUpdateContext>();
  context->FileName = fileName;
  context->InPlace = targetName.empty();
  context->Image = image;
  context->Identity = identity;
  context->TargetName = context->InPlace ? ResolvedPath(fileName) : targetName;
  ParseImage(*context, false);
  return TResourceUpdate(std::move(context));
}

void TResourceUpdate::Change(const TResIdent& type, const TResIdent& name, uint16_t language,
                             std::string&& data) {
  ChangeEntry(Context(), type, name, language, MovedData(language, data));
}

void TResourceUpdate::Change(const TResIdent& type, const TResIdent& name, uint16_t language,
                             TFileHandle file) {
  ChangeEntry(Context(), type, name, language, [&file, language](TResItem& leaf) {
    SetResLeafData(leaf, language, std::move(file));
  });
}

TResUpdateOutcome TResourceUpdate::Commit() {
  // Ended either way: the tree, the image and the file's lock go before the caller goes on.
  const std::unique_ptr<TResUpdateContext> context = std::move(FContext);
  if (!context)
    throw EVexError(EBADF, "no update in progress");
  TResUpdateOutcome outcome;
  ::Commit(*context, &outcome);
  return outcome;
}

TResUpdateContext& TResourceUpdate::Context() {
  if (!FContext)
    throw EVexError(EBADF, "no update in progress");
  return *FContext;
}

TResUpdateContext* TResourceUpdate::Release() {
  return FContext.release();
}

TResUpdateContext* BeginResourceUpdate(const std::string& fileName, bool removeExisting) {
  return BeginResourceUpdateInto(fileName, {}, removeExisting);
}

TResUpdateContext* BeginResourceUpdateInto(const std::string& fileName,
                                           const std::string& targetName, bool removeExisting) {
  try {
    return TResourceUpdate::Begin(fileName, targetName, removeExisting).Release();
  } catch (...) {
    RecordFailure();
    return nullptr;
  }
}

TResUpdateContext* BeginImageResourceUpdate(const std::string& fileName, std::string_view image,
                                            const TFileIdentity& identity,
                                            const std::string& targetName) {
  try {
    return TResourceUpdate::BeginImage(fileName, image, identity, targetName).Release();
  } catch (...) {
    RecordFailure();
    return nullptr;
  }
}

namespace {
bool ChangedOrRecorded(TResUpdateContext* context, const TResIdent& type, const TResIdent& name,
                       uint16_t language, const std::function<void(TResItem&)>& setData) {
  if (!context) {
    SetVexLastError(EBADF, "no update in progress");
    return false;
  }
  try {
    ChangeEntry(*context, type, name, language, setData);
    return true;
  } catch (...) {
    RecordFailure();
    return false;
  }
}
} // namespace

bool UpdateResourceEntry(TResUpdateContext* context, const TResIdent& type, const TResIdent& name,
                         uint16_t language, const void* data, uint32_t size) {
  return ChangedOrRecorded(context, type, name, language, CopiedData(language, data, size));
}

bool UpdateResourceEntry(TResUpdateContext* context, const TResIdent& type, const TResIdent& name,
                         uint16_t language, std::string&& data) {
  return ChangedOrRecorded(context, type, name, language, MovedData(language, data));
}

bool EndResourceUpdate(TResUpdateContext* context, bool discard, TResUpdateOutcome* outcome) {
  if (!context) {
    SetVexLastError(EBADF, "no update in progress");
    return false;
  }
  // Destroying the context releases the tree, the image and the file's lock.
  const std::unique_ptr<TResUpdateContext> owned(context);
  if (discard)
    return true;
  try {
    Commit(*owned, outcome);
    return true;
  } catch (...) {
    RecordFailure();
    return false;
  }
}
