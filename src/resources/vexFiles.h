#pragma once
// The rewriter's file work: the view the new resource section is built in, and the new
// image's file.

#include "common/u_FileIO.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

// A writable view of size bytes at offset of a file, zero-filled. With mapFile it maps the file,
// whose blocks are reserved first (the range reads as zeros where the file did not reach, and
// writing it cannot run out of room); otherwise, and where the file system maps no file for
// writing, it is memory that Store() writes to the file.
class TMappedRange {
public:
  TMappedRange(int fd, uint64_t offset, uint64_t size, bool mapFile);
  ~TMappedRange();
  TMappedRange(const TMappedRange&) = delete;
  TMappedRange& operator=(const TMappedRange&) = delete;
  uint8_t* View() const { return FMapping + FLead; }
  // The view maps the file (its pages may be let go; what was written is in the file).
  bool MapsFile() const { return !FInMemory; }
  // Puts what was written into the view in the file.
  void Store() const;

private:
  int FHandle;
  uint64_t FOffset, FSize;
  uint8_t* FMapping = nullptr; // from the page that holds offset
  uint64_t FLead = 0;          // offset's place in that page
  bool FInMemory;
};

// The new image, created beside the file it replaces. It has no name while it is written
// (O_TMPFILE), so that a crash or kill leaves nothing behind; it gets a scratch name of its own
// (not derived from the target's, so a target name near the length limit works) only for the
// rename that puts it in place. Where the file system has no nameless files it is named from
// the start and removed on every failure; what a kill leaves goes with the next one made in
// that folder.
class TReplacementFile {
public:
  explicit TReplacementFile(const std::string& target);
  TReplacementFile(const TReplacementFile&) = delete;
  TReplacementFile& operator=(const TReplacementFile&) = delete;

  int Handle() const { return FFile.Handle(); }
  // Gives the file its name beside the target, ready for the rename.
  void Name();
  // Renames it over the target, then flushes the folder.
  void ReplaceTarget();

private:
  std::string FTarget;
  std::string FFolder;
  TScratchFile FFile;
};
