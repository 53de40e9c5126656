#pragma once
// Work on open files and the paths that name them, for every writer: scratch files created
// exclusively and readable by the user only, whole-range reads and writes at an offset, and
// the folder and real name of a path.

#include "common/u_FileHandle.h"
#include "common/u_SysUtils.h"

#include <cstdint>
#include <string>
#include <utility>

// Bytes of a file: Size bytes from Offset.
struct TFileRange {
  uint64_t Offset = 0;
  uint64_t Size = 0;
};

// A file operation that failed: the system's errno-style code, and the cause in words (empty
// when the system's text for the code says it all).
class EFileIOError : public Exception {
public:
  EFileIOError(int code, std::string cause) : Exception(std::move(cause)), FCode(code) {}
  int Code() const noexcept { return FCode; }

private:
  int FCode;
};

// Creates fileName exclusively (never through an existing file or link), read-write, readable
// by the user only; raises EFileIOError with the system's code when that fails.
int CreateExclusiveFile(const std::string& fileName);

// Scratch files are named "<folder>/$vex$<kind>$<process id, 8 hex digits>$<serial>$", the
// serial counting every scratch file of the process: no two books, threads or processes ask
// for one name. While a scratch file has its name, the process that made it holds a lock on it
// (an open-file-description lock, which no other process can take while it lives and which
// goes with the process); one that nobody holds was left by a killed process, and the next
// scratch file named in that folder removes it.

// Removes the scratch files of folder that no live process holds. What cannot be opened or
// removed (another user's, say) stays.
void RemoveAbandonedScratchFiles(const std::string& folder);

// A scratch file: closed when the holder goes, and removed as well while it has its name.
class TScratchFile {
public:
  TScratchFile() = default;
  ~TScratchFile() { Close(); }
  TScratchFile(const TScratchFile&) = delete;
  TScratchFile& operator=(const TScratchFile&) = delete;

  // Creates a named scratch file of kind in folder (the holder must hold none yet).
  void Create(const std::string& folder, const char* kind);
  // Creates a file that never has a name (O_TMPFILE); where the file system has no such files,
  // a named one unlinked at once. Nothing can leave it behind.
  void CreateNameless(const std::string& folder, const char* kind);
  // Creates a file without a name where the file system allows, else a named one; Name() gives
  // it its name when it is needed, so that only a kill from then on can leave it behind.
  void CreateUnnamed(const std::string& folder, const char* kind);
  // Links a file made by CreateUnnamed under a scratch name (nothing when it has one).
  void Name();
  // Renames the named file over target: from then on it is that file, no scratch file.
  void RenameOver(const std::string& target);
  int Handle() const { return FHandle.Get(); }
  const std::string& FileName() const { return FFileName; }
  // The name is gone from the folder, the handle stays usable.
  void Unlink();
  // Closes the handle and removes the file if it still has its name.
  void Close();

private:
  std::string FFolder;
  const char* FKind = "";
  std::string FFileName;
  TFileHandle FHandle;
};

// The file a path names, links resolved; and the folder part of a path.
std::string ResolvedPath(const std::string& fileName);
std::string FolderOf(const std::string& path);

// pwrite/pread of every byte; a failure raises EFileIOError with the system's code.
void WriteAllAt(int fd, const void* data, uint64_t count, uint64_t offset);
void ReadAllAt(int fd, void* data, uint64_t count, uint64_t offset);
// Copies count bytes at from of source to to of target inside the kernel, never through this
// process's memory (on a file system that shares blocks, without copying them at all). False
// where the two files' file systems cannot, or source holds fewer bytes there: the target's
// range is then undefined, and the caller writes it itself. Other failures raise EFileIOError.
bool CopyRangeInKernel(int source, uint64_t from, int target, uint64_t to, uint64_t count);
// Starts writing a range of a file to disk and returns without waiting for it to finish.
void StartWriteback(int fd, uint64_t offset, uint64_t count);
// Lets go of the pages that hold a range of a shared file mapping: they stop counting in the
// process's resident memory, and the file's cache keeps their bytes for the next access.
void ReleaseMappedPages(const uint8_t* from, uint64_t count);
