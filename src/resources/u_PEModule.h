#pragma once
// An executable opened read-only and parsed with the rewriter's parser: what the e-book
// workflow loads as a module to read its resources. Nothing of it is run or relocated.

#include "common/u_ByteView.h"
#include "common/u_FileSnapshot.h"
#include "resources/vexResTree.h"
#include "resources/vexTypes.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TPEModule {
public:
  // Reads fileName into memory and parses it. A file that is no PE32 image, or whose
  // resource directory is damaged, raises EOSError whose text names the cause; one that cannot
  // be read raises the stream error that says why.
  explicit TPEModule(const std::string& fileName);
  // The same over an image already read into memory, which must stay as it is while the
  // module lives.
  TPEModule(const std::string& fileName, std::string_view image);
  ~TPEModule();
  TPEModule(const TPEModule&) = delete;
  TPEModule& operator=(const TPEModule&) = delete;

  const std::string& FileName() const { return FFileName; }
  // The whole image, valid while the module lives.
  TByteView Image() const;
  // The bytes of resource (type, name): the neutral language (0) when present, else the
  // first language listed; nothing when the module has no such resource. The bytes stay
  // valid while the module lives.
  std::optional<std::string_view> FindResource(const TResIdent& type, const TResIdent& name) const;
  // Whether an update replacing resource (type, name) may be given the image without its bytes
  // (say, zeros there): they are the neutral language's, which the update replaces, and no
  // other part of the resource tree (tables, names, data entries, other resources' data), all
  // of which it copies, shares a byte with them. Only a strange or hostile file fails this.
  bool ResourceStandsAlone(const TResIdent& type, const TResIdent& name) const;
  // Where part (bytes FindResource gave) lies in the file.
  uint64_t OffsetOf(std::string_view part) const;
  // The bytes the parse went by: the headers, and each part of the resource tree (tables,
  // names, data entries, and the room each leaf's data claims, whose bytes it did not read).
  std::vector<TFileRange> ParsedParts() const;

private:
  void Parse(TByteView image);

  std::string FFileName;
  std::string FBytes; // the image, when the module read it itself
  std::string_view FImage;
  uint64_t FHeadersEnd = 0;
  std::unique_ptr<TResItem> FRoot;    // null when the image has no resource section
  std::vector<TFileRange> FTreeParts; // where FRoot was read from
};

// The place in the file of resource (type, name) when it stands alone (see
// ResourceStandsAlone), told from the headers and the resource tree, which are all it reads
// through reader (in pieces of some KiB, a few rounds as the tree shows where its parts lie).
// Nothing when the resource does not stand alone, or when the parts read do not tell (only a
// strange or damaged file: reading it whole then gives the answer or the error).
std::optional<TFileRange> FindStandAloneResource(TSnapshotReader& reader,
                                                 const std::string& fileName, const TResIdent& type,
                                                 const TResIdent& name);
