#pragma once
// The PE resource rewriter: begin an update on an executable, change any number of resources,
// end it with commit or discard. TResourceUpdate owns an update and raises its failures; the
// calls below it report them as a false or empty result with the rewriter's last-error record
// set (vexTypes), as the system's resource services do.
//
// Commit never changes the executable in place: the new image is written to a new file beside
// it, flushed, given the old file's owner and permissions and renamed over it, so a failure or
// a crash at any point leaves either the old file or the complete new one. The new image is
// made from the executable's bytes as they were read at the begin, held in memory: a file
// changed or cut short meanwhile can neither mix into it nor fault a mapping of it.

#include "common/u_FileSnapshot.h"
#include "common/u_Progress.h"
#include "resources/vexTools.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Signs a new image as the last step of its commit: given its headers as written (no
// certificate table), its length (a multiple of 8) and a reader of it, gives the certificate
// table to append. What it raises fails the commit, which leaves the target as it was.
using TImageSignEvent = std::function<std::string(const TImageHeaders& headers, uint64_t length,
                                                  const TImageReader& read)>;

// One update from begin to end.
struct TResUpdateContext {
  TResUpdateContext();
  ~TResUpdateContext();
  std::string FileName;   // as given: the system's bytes
  std::string TargetName; // what commit replaces: the file itself, links resolved, or the copy
  bool InPlace = true;    // commit replaces the file itself
  TOpenedFile Lock;       // the file's lock, when the update took it itself
  std::string ReadImage;  // the image, when the update read it itself
  std::string_view Image; // the image the new file is made from
  TFileIdentity Identity; // of the file when its image was read
  // The file the image was read from, open, or -1: commit copies the image's unchanged head
  // and tail from it in the kernel while it is still as Identity describes it.
  int Source = -1;
  // Commit hands the new file, open, with its identity, over in the outcome.
  bool ReadBack = false;
  // Commit never names the new file (nor replaces TargetName, which gives only its folder):
  // what it hands over is all there is of it.
  bool Nameless = false;
  TImageHeaders Headers;
  int Section = -1; // index of the resource section
  std::unique_ptr<TResItem> Root;
  TPercentEvent OnProgress; // percent of the new file the commit has written
  TImageSignEvent OnSign;   // signs the new image last, when set
  // Called with TargetName once the new file is complete and on the disk, just before it
  // replaces TargetName; what it raises fails the update, nothing replaced.
  std::function<void(const std::string&)> BeforeReplace;
};

struct TResUpdateOutcome {
  bool SignatureRemoved = false; // the image was signed; the now invalid signature is gone
  TWrittenFile Written;          // the new file, when the context asked to read it back
};

// One update as its owner: failures are raised (EVexError, std::bad_alloc), and an update
// destroyed before its commit is discarded, leaving the file as it was.
class TResourceUpdate {
public:
  // As BeginResourceUpdateInto (in place when targetName is empty) and BeginImageResourceUpdate.
  static TResourceUpdate Begin(const std::string& fileName, const std::string& targetName,
                               bool removeExisting);
  static TResourceUpdate BeginImage(const std::string& fileName, std::string_view image,
                                    const TFileIdentity& identity, const std::string& targetName);
  TResourceUpdate(TResourceUpdate&&) noexcept;
  ~TResourceUpdate();

  // Its settings, before the commit.
  TResUpdateContext& Context();
  // As UpdateResourceEntry taking data over; a failure leaves the tree as it was.
  void Change(const TResIdent& type, const TResIdent& name, uint16_t language, std::string&& data);
  // The same with the data in an open file, all of it, taken over.
  void Change(const TResIdent& type, const TResIdent& name, uint16_t language, TFileHandle file);
  // Writes every change; the update ends either way.
  TResUpdateOutcome Commit();
  // Hands the context over, as the calls below take it.
  TResUpdateContext* Release();

private:
  explicit TResourceUpdate(std::unique_ptr<TResUpdateContext> context);
  std::unique_ptr<TResUpdateContext> FContext;
};

// Takes the executable's lock (TOpenedFile::Lock), reads it and parses its resources (or starts
// from an empty tree with removeExisting). None when the file cannot be opened or written, is
// no PE32 image, is damaged, or has no resource section (code ENOENT). File names are the
// system's bytes, as given.
TResUpdateContext* BeginResourceUpdate(const std::string& fileName, bool removeExisting);
// The same, but commit writes the changed image to targetName (replacing whatever is there)
// and leaves fileName as it was; fileName is only read.
TResUpdateContext* BeginResourceUpdateInto(const std::string& fileName,
                                           const std::string& targetName, bool removeExisting);
// The same over an image the caller read from fileName when it had identity; image must stay as
// it is until the update ends. In place the caller holds the file's lock throughout, and
// commit replaces the file only while fileName still names it unchanged (EFileChanged's text
// otherwise, and nothing written).
TResUpdateContext* BeginImageResourceUpdate(const std::string& fileName, std::string_view image,
                                            const TFileIdentity& identity,
                                            const std::string& targetName);

// With data, replaces or adds the entry (type, name, language); with data null, removes
// entries by the rules of the change table (an emptied name or type goes too). False only on
// a failure, which leaves the tree as it was.
bool UpdateResourceEntry(TResUpdateContext* context, const TResIdent& type, const TResIdent& name,
                         uint16_t language, const void* data, uint32_t size);
// The same taking data over: it stays in memory whatever its size, as the caller keeps no copy
// that a spool file would have to stand in for.
bool UpdateResourceEntry(TResUpdateContext* context, const TResIdent& type, const TResIdent& name,
                         uint16_t language, std::string&& data);

// Ends the update: discard leaves the file as it was, commit writes every change. Either way
// the context is destroyed.
bool EndResourceUpdate(TResUpdateContext* context, bool discard,
                       TResUpdateOutcome* outcome = nullptr);

// From this size of the new file on, commit builds the section image in place in the new file,
// sums the checksum on a second thread while it writes the file, and starts the writeback of
// each piece at once. A smaller file is written and flushed in a moment: there these cost more
// than they save, and the image is built in memory.
inline constexpr uint64_t LargeImageSize = 16 << 20;

// The steps of a commit, for tests that fail it at each one.
enum TCommitStep {
  csNewFileCreated,
  csSectionWritten,
  csHeadCopied,
  csTailCopied,
  csHeadersCorrected,
  csChecksumWritten,
  csNewFileSynced,
  csNewFileNamed, // beside the target, not yet renamed over it
};
// Called as each step completes; an exception it raises fails the commit there.
void SetCommitStepHook(std::function<void(TCommitStep)> hook);
