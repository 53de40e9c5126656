#pragma once
// The rewriter's file work: scratch files created exclusively and readable by the user only,
// the new image's file, and whole-range writes and copies.

#include "common/u_FileHandle.h"
#include "resources/vexByteView.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

// Creates fileName exclusively (never through an existing file or link), read-write, readable
// by the user only; raises EVexError with the system's code when that fails.
int CreateExclusiveFile(const std::string& fileName);

// A scratch file: closed when the holder goes, and removed as well while it has its name.
class TScratchFile {
public:
  TScratchFile() = default;
  explicit TScratchFile(std::string fileName) { Create(std::move(fileName)); }
  ~TScratchFile() { Close(); }
  TScratchFile(const TScratchFile&) = delete;
  TScratchFile& operator=(const TScratchFile&) = delete;

  // Creates the file (the holder must hold none yet).
  void Create(std::string fileName) {
    FHandle = TFileHandle(CreateExclusiveFile(fileName));
    FFileName = std::move(fileName);
  }
  // Creates a file that never has a name in folder (O_TMPFILE); where the file system has no
  // such files, one created as fallbackName and unlinked at once. Nothing can leave it behind.
  void CreateNameless(const std::string& folder, const std::string& fallbackName);
  int Handle() const { return FHandle.Get(); }
  // The name is gone from the folder, the handle stays usable.
  void Unlink();
  // Closes the handle and removes the file if it still has its name.
  void Close();
  // Hands the name over: the file stays when the holder goes.
  void Keep() { FFileName.clear(); }

private:
  std::string FFileName;
  TFileHandle FHandle;
};

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
// (O_TMPFILE), so that a crash or kill leaves nothing behind; it gets a short name of its own
// (not derived from the target's, so a target name near the length limit works) only for the
// rename that puts it in place. Where the file system has no nameless files it is named from
// the start and removed on every failure.
class TReplacementFile {
public:
  explicit TReplacementFile(const std::string& target);
  TReplacementFile(const TReplacementFile&) = delete;
  TReplacementFile& operator=(const TReplacementFile&) = delete;

  int Handle() const { return FNameless.IsOpen() ? FNameless.Get() : FNamed.Handle(); }
  // Names the file and renames it over the target, then flushes the folder.
  void ReplaceTarget();

private:
  std::string FTarget;
  std::string FFolder;
  std::string FName;
  TFileHandle FNameless;
  TScratchFile FNamed;
};

// The file a path names, links resolved; and the folder part of a path.
std::string ResolvedPath(const std::string& fileName);
std::string FolderOf(const std::string& path);

// pwrite/pread of every byte; a failure raises EVexError with the system's code.
void WriteAllAt(int fd, const void* data, uint64_t count, uint64_t offset);
void ReadAllAt(int fd, void* data, uint64_t count, uint64_t offset);
// Starts writing a range of a file to disk and returns without waiting for it to finish.
void StartWriteback(int fd, uint64_t offset, uint64_t count);
// Lets go of the pages that hold a range of a shared file mapping: they stop counting in the
// process's resident memory, and the file's cache keeps their bytes for the next access.
void ReleaseMappedPages(const uint8_t* from, uint64_t count);
