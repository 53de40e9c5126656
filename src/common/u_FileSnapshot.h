#pragma once
// A file read whole into memory, with what identifies the file it was read from, and the
// exclusive lock that keeps updates of one file in turn. An update writes its new file from
// the bytes that were read, never from the path again, and replaces the file only when the
// path still names the file that was read: another file put there meanwhile, or the same file
// changed, would otherwise be mixed with what was read or lost.

#include "common/u_FileHandle.h"
#include "common/u_FileIO.h"
#include "common/u_SysUtils.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// "The file "%s" changed on disk since it was opened".
class EFileChanged : public Exception {
  using Exception::Exception;
};

// Which file a path named and how it was then; the mode, owner and group are what a file
// that replaces it takes over, and the status change time tells when they (or the extended
// attributes, ACL among them) last changed.
struct TFileIdentity {
  dev_t Device = 0;
  ino_t Inode = 0;
  uint64_t Size = 0;
  timespec Modified{};
  mode_t Mode = 0;
  uid_t Owner = 0;
  gid_t Group = 0;
  timespec StatusChanged{};

  static TFileIdentity Of(const struct stat& info);
  // The same file (device and inode) with the same size and modification time.
  bool SameAs(const TFileIdentity& other) const;
  // The same, and nothing of its status changed either.
  bool SameStatusAs(const TFileIdentity& other) const;
};

// What path names now, raising EFileChanged unless it is the file identity describes with the
// same contents (its mode, owner and attributes may have changed).
TFileIdentity CurrentIdentity(const std::string& path, const TFileIdentity& identity);
[[noreturn]] void RaiseFileChanged(const std::string& path);

// Raises EFileChanged unless path names the file identity describes, unchanged.
void CheckFileUnchanged(const std::string& path, const TFileIdentity& identity);

// The same for the file open as handle, whatever its path names now.
void CheckOpenFileUnchanged(int handle, const std::string& path, const TFileIdentity& identity);

// A regular file open for reading, and with Lock its exclusive lock (flock). Every update of a
// book holds that lock from before it reads the book to after it has renamed the new one into
// place, so a second update waits and then reads the new book instead of writing over it.
class TOpenedFile {
public:
  TOpenedFile() = default;
  // Opens the file path names; what is no regular file is refused before anything reads or
  // waits on it ("Cannot open file "%s". It is not a regular file.").
  static TOpenedFile Open(const std::string& path);
  // The same holding the lock, waiting while another holds it; when path names another file
  // once the lock is had (the holder renamed its new file there), that file is taken instead.
  // With whileWaiting the wait looks in on it every moment (and whenever a signal interrupts
  // it), and whileWaiting may raise to give up.
  static TOpenedFile Lock(const std::string& path, const std::function<void()>& whileWaiting);
  ~TOpenedFile() { Close(); }
  TOpenedFile(TOpenedFile&& other) noexcept;
  TOpenedFile& operator=(TOpenedFile&& other) noexcept;
  TOpenedFile(const TOpenedFile&) = delete;
  TOpenedFile& operator=(const TOpenedFile&) = delete;

  bool IsOpen() const { return FHandle.IsOpen(); }
  bool Locked() const { return FLocked; }
  int Handle() const { return FHandle.Get(); }
  // Closes the file, letting go of its lock.
  void Close();

private:
  explicit TOpenedFile(int handle) : FHandle(handle) {}
  TFileHandle FHandle;
  bool FLocked = false;
};

// A regular file's bytes and the identity it had while they were read.
struct TFileSnapshot {
  std::string Bytes;
  TFileIdentity Identity;
};

// Reads the file open as handle whole from its start, at most limit bytes ("Cannot read file
// "%s". ..." beyond). A file that changed while it was read raises EFileChanged: its bytes
// could be a mix.
TFileSnapshot ReadFileSnapshot(int handle, const std::string& path, size_t limit);

// A snapshot read in steps, for a caller that learns from some parts of the file which part it
// will not need: that part is left as zeros, never read and given no memory. A big book's
// cabinet, read from the file while it is unpacked, so costs no copy.
class TSnapshotReader {
public:
  // The file open as handle, at most limit bytes ("Cannot read file "%s". ..." beyond).
  TSnapshotReader(int handle, const std::string& path, size_t limit);
  // The whole file's room: the parts read so far, zeros elsewhere.
  std::string_view Bytes() const { return FBytes; }
  // Whether every byte of range (clipped to the file) has been read.
  bool HasRead(const TFileRange& range) const;
  // Reads what range (clipped to the file) holds that was not read yet.
  void Read(const TFileRange& range);
  // Reads every part not read yet except skip, then raises EFileChanged if the file changed
  // since it was first looked at: the bytes could be a mix.
  TFileSnapshot Finish(const TFileRange& skip = {});

private:
  // Reads [from, to), all of it not read yet.
  void ReadGap(uint64_t from, uint64_t to);

  int FHandle;
  std::string FPath;
  TFileIdentity FIdentity;
  std::string FBytes;
  std::vector<TFileRange> FRead; // sorted by offset, apart from each other
};

// A file just written, still open, and the identity it had once complete: read later, when
// the memory its writer worked with is free again.
struct TWrittenFile {
  TFileHandle Handle;
  TFileIdentity Identity;
};
// ReadFileSnapshot of the written file, raising EFileChanged unless it is still as it was
// once complete.
TFileSnapshot ReadWrittenFile(const TWrittenFile& file, const std::string& path, size_t limit);
