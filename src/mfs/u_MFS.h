#pragma once
// The in-memory file system: a tree of folders and files held in memory, addressed by
// backslash paths through sessions, read and written through file streams, and saved to and
// loaded from one byte string (the "MFS" format).

#include "common/u_AnsiText.h"
#include "common/u_Streams.h"
#include "common/u_SysUtils.h"
#include "containers/u_ObjectDictionary.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TMFS;
class TMFSFolder;
class TMFSFileStream;
class TMFSSession;

class EMFSError : public Exception {
  using Exception::Exception;
};
// A load refused by its budget: the items or memory the content asks for are more than it
// may have.
class EMFSLimitError : public EMFSError {
  using EMFSError::EMFSError;
};

inline constexpr const char* SPathNotFound = "Path \"%s\" not found";
inline constexpr const char* SFileNotFound = "File \"%s\" not found";
inline constexpr const char* SIncorrectFileName = "File name \"%s\" is incorrect";
inline constexpr const char* SFileAlreadyExists = "File \"%s\" already exists";
inline constexpr const char* SFolderAlreadyExists = "Folder \"%s\" already exists";
inline constexpr const char* SIncorrectSerializedFormat = "Incorrect serialized format";
inline constexpr const char* SIncorrectParameters = "Incorrect parameters in method \"%s\"";
inline constexpr const char* SFolderNotEmpty = "Folder \"%s\" is not empty";
inline constexpr const char* SCannotDeleteRoot = "Cannot delete root folder";
inline constexpr const char* SStreamFileFreed = "File \"%s\" of this stream no longer exists";
inline constexpr const char* SSessionFSFreed = "The file system of this session no longer exists";
inline constexpr const char* SContentNotRead = "The content of file \"%s\" was not read";
inline constexpr const char* SEqualNames =
    "The folder \"%s\" holds both \"%s\" and \"%s\", which are one name in code page %d: %s";

// Attribute bits of an item (stored, serialized and handed to the cabinet library).
inline constexpr uint32_t faReadOnly = 0x01;
inline constexpr uint32_t faHidden = 0x02;
inline constexpr uint32_t faSystem = 0x04;
inline constexpr uint32_t faDirectory = 0x10;
inline constexpr uint32_t faArchive = 0x20;

// Dispositions and flags of TMFSSession::CreateFileStream: the values of the Windows
// file-creation dispositions and of its delete-on-close flag.
inline constexpr uint32_t CREATE_NEW = 1;
inline constexpr uint32_t CREATE_ALWAYS = 2;
inline constexpr uint32_t OPEN_EXISTING = 3;
inline constexpr uint32_t OPEN_ALWAYS = 4;
inline constexpr uint32_t TRUNCATE_EXISTING = 5;
inline constexpr uint32_t FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
// Flag bits that are attributes of a newly created file.
inline constexpr uint32_t CreateAttributeMask = 0x3F;

// The serialized format counts every length in a signed 32-bit field.
inline constexpr int64_t MaxMFSLength = INT32_MAX;
// Its header: "MFS", then the body's checksum as 8 upper-case hexadecimal digits.
inline constexpr size_t SerializedHeaderSize = 11;
std::string SerializedHeader(uint32_t bodyChecksum);

// An entry of the tree. Freeing an item removes it from its parent's children.
class TMFSItem : public TObject {
public:
  ~TMFSItem() override;
  TMFSItem(const TMFSItem&) = delete;
  TMFSItem& operator=(const TMFSItem&) = delete;

  const std::string& Name() const { return FName; }
  // Low 16 bits DOS time, high 16 bits DOS date.
  uint32_t DateTime() const { return FDateTime; }
  void SetDateTime(uint32_t dateTime) { FDateTime = dateTime; }
  uint32_t Attributes() const { return FAttributes; }
  void SetAttributes(uint32_t attributes) { FAttributes = attributes; }
  TMFSFolder* Parent() const { return FParent; }
  TMFS* FS() const { return FFS; }

  // The item's record of the serialized format (a folder's includes its whole subtree).
  virtual void SaveToStream(TStream& stream) const;
  virtual void LoadFromStream(TStream& stream);
  // Exports the item to the disk path; names that would leave the target folder are refused.
  virtual void SaveToDisk(const std::string& diskPath) const = 0;

protected:
  // Stamps the item with the current local time; the derived constructor links it into parent.
  TMFSItem(const std::string& name, TMFS* fs, uint32_t attributes);
  // Puts the item into parent's children, freeing a child held under an equal name.
  void LinkTo(TMFSFolder* parent);

private:
  friend class TMFSFolder;
  std::string FName;
  uint32_t FDateTime;
  uint32_t FAttributes;
  TMFSFolder* FParent = nullptr;
  TMFS* FFS;
};

class TMFSFile : public TMFSItem {
public:
  // parent may be nullptr: the file is then owned by the caller until linked.
  TMFSFile(const std::string& name, TMFS* fs, TMFSFolder* parent);
  // Open streams are detached first; they fail from then on.
  ~TMFSFile() override;

  const std::vector<TMFSFileStream*>& Streams() const { return FStreams; }
  const std::string& Content() const { return FContent; }
  std::string& Content() { return FContent; }
  void SetContent(std::string content) {
    FContent = std::move(content);
    FLeftOutSize.reset();
  }
  // The content's length, also where a load left the content out.
  uint64_t Size() const { return FLeftOutSize.value_or(FContent.size()); }
  // A load that did not want the content kept its length alone: the file can be listed but
  // neither saved nor written to disk (that fails rather than write it empty).
  bool ContentLeftOut() const { return FLeftOutSize.has_value(); }
  // Fails on a file whose content a load left out ("The content of file "%s" was not read").
  void CheckContentHeld() const;
  bool DeleteOnClose() const { return FDeleteOnClose; }
  void SetDeleteOnClose(bool value) { FDeleteOnClose = value; }

  void SaveToStream(TStream& stream) const override;
  void LoadFromStream(TStream& stream) override;
  void SaveToDisk(const std::string& diskPath) const override;

private:
  friend class TMFSFileStream;
  friend class TMFSFolder;

  std::vector<TMFSFileStream*> FStreams;
  std::string FContent;
  std::optional<uint64_t> FLeftOutSize;
  bool FDeleteOnClose = false;
};

class TMFSFolder : public TMFSItem {
public:
  // parent may be nullptr: the folder is then owned by the caller (or is a root).
  TMFSFolder(const std::string& name, TMFS* fs, TMFSFolder* parent);
  // Frees the whole subtree without recursion, however deep it is.
  ~TMFSFolder() override;

  // Name to item, case-insensitive in the file system's code page, sorted, owning.
  TObjectDictionary& Children() { return FChildren; }
  const TObjectDictionary& Children() const { return FChildren; }
  // "." is this folder, ".." its parent (nullptr at the root), otherwise the child or nullptr.
  TMFSItem* FindChild(const std::string& name);

  // Both walk the subtree with an explicit stack, so nesting depth costs heap, not stack.
  // Loading refuses a folder holding two items whose names compare equal (SEqualNames): one of
  // them could not be kept.
  void SaveToStream(TStream& stream) const override;
  void LoadFromStream(TStream& stream) override;
  // Exports the subtree below the disk folder diskPath (created when missing), names in
  // UTF-8. Each file and folder is created relative to its parent, never through a link, so
  // nothing lands outside diskPath. An existing name fails naming it, unless replaceFiles:
  // then an existing file or link is replaced (a link itself, never what it points to) and an
  // existing folder is written into. A file stored read-only has no write permission; with
  // keepDates each file and folder gets its stored date. The one-argument form replaces.
  void SaveToDisk(const std::string& diskPath) const override;
  void SaveToDisk(const std::string& diskPath, bool replaceFiles, bool keepDates = true) const;

private:
  friend class TMFSItem;
  // Links an unlinked child in under its name, freeing an earlier child of an equal name.
  // When this raises, the child stays unlinked and with its owner.
  void Link(TMFSItem* child);
  // Takes child out of the children without freeing it.
  void Unlink(TMFSItem* child);
  // Unlinks every child, frees the files and hands the folders, still whole, to folders.
  void DetachChildren(std::vector<TMFSFolder*>& folders);
  void FreeChildren();
  void SaveOwnFields(TStream& stream) const;
  int32_t LoadOwnFields(TStream& stream);

  TObjectDictionary FChildren;
};

// Calls visit(item, depth) for every item below top, depth first, children in Children order,
// a folder before its children; depth 0 for top's own children. Uses a heap stack, so a
// hostile depth cannot overflow the call stack.
template <typename Visit> void WalkSubtree(const TMFSFolder& top, Visit&& visit) {
  struct Level {
    std::vector<TObject*> children;
    size_t next;
  };
  std::vector<Level> levels;
  levels.push_back({top.Children().GetObjects(), 0});
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.children.size()) {
      levels.pop_back();
      continue;
    }
    const auto* item = static_cast<const TMFSItem*>(level.children[level.next++]);
    visit(*item, levels.size() - 1);
    if (const auto* folder = dynamic_cast<const TMFSFolder*>(item))
      levels.push_back({folder->Children().GetObjects(), 0});
  }
}

// "2025-06-01 14:30:00" for a DOS date and time (date << 16 | time), as items are stamped.
std::string DosDateTimeText(uint32_t dateTime);
// The moment a DOS date and time names in local time, as items are stamped; none for fields
// out of their ranges (a month 0, an hour 24).
std::optional<std::time_t> DosDateTimeToTime(uint32_t dateTime);
// The DOS date and time a new item is stamped with (the stamp clock's local time).
uint32_t NowAsDosDateTime();

// One file system. Path helpers are class-level and keep no state.
class TMFS : public TObject {
public:
  // Names are texts in codePage: it decides which names are one name, and their order.
  explicit TMFS(TCodePage codePage);
  // Frees the default session, then the tree; sessions the caller still holds are detached.
  ~TMFS() override;
  TMFS(const TMFS&) = delete;
  TMFS& operator=(const TMFS&) = delete;

  TMFSFolder* Root() const { return FRoot.get(); }
  const TCodePage& CodePage() const { return FCodePage; }
  // The default session on Root, created on first use and owned here.
  TMFSSession& Session();
  // A new session on folder (Root when nullptr), owned by the caller.
  std::unique_ptr<TMFSSession> CreateSession(TMFSFolder* folder = nullptr);
  // Frees the default session and the tree, leaving an empty root.
  void Clear();

  // "MFS", the body checksum as 8 upper-case hexadecimal digits, then the root's record.
  std::string SaveToString() const;
  // Replaces the tree by the one in data; a bad header fails before the tree is touched.
  // Sessions on a folder of the replaced tree move to the new root. Budget: a claimed length
  // is checked against the bytes left before anything is allocated, so memory stays near 8
  // bytes per byte of data (one item per 17-byte record); time grows as n log n in the items.
  void LoadFromString(std::string_view data);
  // The same from the read position of data on, read once in order as the tree is built, so
  // that the serialized form is never held whole: data may be a pipe another thread fills.
  // Past a good magic, everything to data's end is read and summed; the tree is replaced only
  // when the header holds, and a wrong checksum is reported before a broken record. A load
  // refused by its budget (EMFSLimitError) stops at once: the rest unread, the tree as it was.
  void LoadInOrder(TStream& data);
  // What a load may take at most, in bytes: each item it makes costs ItemLoadCost and each
  // file its content's length. Past it the load fails ("The file system takes more than %llu
  // MB of memory"). A folder's items are charged as its record gives their count, before any
  // of them is made. Unbounded unless set.
  void SetLoadBudget(uint64_t bytes) { FLoadBudget = bytes; }
  // Which files a load keeps the content of, by their path from the root ("\\System.xml" as
  // stored); the others keep their length alone, their bytes summed as they pass and let go,
  // so that a tree read for its names and a few files takes the same memory whatever the
  // size of the rest. Every file's when unset.
  using TContentWanted = std::function<bool(const std::string& path)>;
  void SetContentWanted(TContentWanted wanted) { FContentWanted = std::move(wanted); }
  // What is left of that budget after the last load: what else is made of the content, such
  // as the variables read from one of its files, is charged against it.
  uint64_t LoadBudgetLeft() const { return FLoadBudget - std::min(FLoadCharged, FLoadBudget); }
  // The memory an item of the tree costs beyond its content: its object, name and entry in its
  // folder's dictionary; 4 million empty files were measured at 1.2 GB.
  static constexpr uint64_t ItemLoadCost = 320;
  // The most items a load makes, whatever its budget ("The file system holds more than %llu
  // files and folders"): the biggest real books hold tens of thousands, and this many take
  // 80 MB and about a second to make, which a budget scaled to a well-packed cabinet of empty
  // files would let grow to gigabytes and minutes (4 million in a 10 MB cabinet).
  static constexpr uint64_t MaxLoadItems = 250'000;

  static std::string FixSeparators(const std::string& path);
  static std::string ExcludeTrailingDelimiter(const std::string& path);
  static std::string IncludeTrailingDelimiter(const std::string& path);
  static std::string ExtractPath(const std::string& path);
  static std::string ExtractName(const std::string& path);
  // Resolves "." and ".." in an absolute path; ".." above the root raises
  // "File name "%s" is incorrect".
  static std::string CanonicalPath(const std::string& path);

private:
  friend class TMFSSession;
  friend class TMFSFolder;
  void ReplaceRoot();
  void InstallRoot(std::unique_ptr<TMFSFolder> root);
  // A bad magic or checksum: "Incorrect serialized format".
  static void CheckHeader(std::string_view header, uint32_t bodyChecksum);
  void FolderFreed(TMFSFolder* folder);
  // Counts bytes of the running load against its budget.
  void ChargeLoad(uint64_t bytes);
  // Counts a folder's items, as its record gives their count, against MaxLoadItems and the
  // budget.
  void ChargeItems(uint64_t count);

  TCodePage FCodePage; // before FRoot, which takes it
  uint64_t FLoadBudget = UINT64_MAX;
  uint64_t FLoadCharged = 0;
  uint64_t FLoadItems = 0;
  TContentWanted FContentWanted;
  std::unique_ptr<TMFSFolder> FRoot;
  std::unique_ptr<TMFSSession> FSession;
  std::vector<TMFSSession*> FSessions; // every live session, for re-rooting
};

// A working view of one file system with a current folder for relative paths. A session whose
// current folder is freed moves to that folder's parent when the parent stays, otherwise to the
// root of the file system.
class TMFSSession : public TObject {
public:
  ~TMFSSession() override;
  TMFSSession(const TMFSSession&) = delete;
  TMFSSession& operator=(const TMFSSession&) = delete;

  TMFSFolder* Folder() const;
  TMFS* FS() const;

  TMFSItem* GetItem(const std::string& path) const;
  TMFSFile* GetFile(const std::string& path) const;
  TMFSFile* CreateFile(const std::string& path, uint32_t attributes, bool openIfExists);
  TMFSFolder* ForceFolders(const std::string& path);
  // disposition: CREATE_NEW ... TRUNCATE_EXISTING; flags: attribute bits 0x3F of a new file
  // and FILE_FLAG_DELETE_ON_CLOSE.
  std::unique_ptr<TMFSFileStream> CreateFileStream(const std::string& path, uint32_t disposition,
                                                   uint32_t flags);
  void DeleteItem(const std::string& path);
  std::string ExpandPath(const std::string& path) const;
  std::string UniqueFileName(const std::string& folder, const std::string& prefix,
                             uint32_t number) const;
  bool Exists(const std::string& path) const;

  // Whole-file conveniences: the content of the file path names (GetFile), and a file given
  // content (CreateFile opening an existing one, after creating missing folders).
  std::string ReadFile(const std::string& path) const;
  TMFSFile* WriteFile(const std::string& path, std::string content);

private:
  friend class TMFS;
  TMFSSession(TMFS* fs, TMFSFolder* folder);
  // The folder that path's folder part names, and the name after it.
  TMFSFolder* FolderOf(const std::string& convertedPath, std::string& name) const;

  TMFS* FFS;
  TMFSFolder* FFolder; // nullptr: the root of FFS
};

// A stream over a file's content. Seeking from the end counts back: Seek(n, soEnd) goes to
// length - n. The stream does not keep its file alive; once the file is freed every operation
// fails with EMFSError.
class TMFSFileStream : public TStream {
public:
  explicit TMFSFileStream(TMFSFile* file);
  // With the file's DeleteOnClose set, the last stream closed frees the file.
  ~TMFSFileStream() override;
  TMFSFileStream(const TMFSFileStream&) = delete;
  TMFSFileStream& operator=(const TMFSFileStream&) = delete;

  TMFSFile* File() const { return FFile; }

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  int64_t Size() override;

private:
  friend class TMFSFile;
  std::string& FileContent();
  void Detach();

  TMFSFile* FFile;
  std::string FFileName; // for the message once the file is gone
  int64_t FPosition = 0;
};
