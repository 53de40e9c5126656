#pragma once
// Declarations shared by the resource rewriter's units: the resource tree node, resource
// identifiers, the rewriter's error class and its last-error record.

#include "common/u_FileHandle.h"
#include "common/u_FileIO.h"
#include "common/u_SysUtils.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Changed data given by address up to this many bytes is copied into memory; larger data goes to
// a spool file at once. Data handed over stays in memory whatever its size.
inline constexpr uint32_t MaxInMemoryResourceData = 32768;

// Where a leaf's bytes are: unchanged leaves point into the mapped file, changed leaves hold
// their data in memory or in a spool file.
enum TResDataSource { rdMapped, rdMemory, rdSpool };

// One directory or leaf of the resource tree.
struct TResItem {
  TResItem();
  ~TResItem();
  TResItem(const TResItem&) = delete;
  TResItem& operator=(const TResItem&) = delete;

  int32_t Id = 0;
  std::u16string Name; // empty for numeric entries
  bool IsDirectory = false;
  std::vector<std::unique_ptr<TResItem>> Children; // named first, then numeric

  // Directory reading.
  uint32_t Characteristics = 0;
  uint32_t TimeStamp = 0;
  uint16_t MajorVersion = 0;
  uint16_t MinorVersion = 0;
  uint32_t NamedCount = 0;
  uint32_t IdCount = 0;

  // Leaf reading.
  TResDataSource Source = rdMapped;
  const uint8_t* MappedData = nullptr;
  std::string Data;
  TFileHandle SpoolFile;
  uint32_t Size = 0;
  uint32_t CodePage = 0;
  uint32_t Reserved = 0;
};

// A resource type or name: a 16-bit integer or a UTF-16 text.
struct TResIdent {
  TResIdent(uint16_t id) : Id(id) {}
  TResIdent(std::u16string name) : Name(std::move(name)) {}
  bool IsName() const { return !Name.empty(); }

  uint16_t Id = 0;
  std::u16string Name;
};

// A failure inside the rewriter: an errno-style code and the cause in words, as the file work
// it does reports its own.
class EVexError : public EFileIOError {
public:
  using EFileIOError::EFileIOError;
};

// The rewriter reports failure the way system services do: a false or empty result and a
// last-error record, here a code with the cause in words (empty when the system's text fits).
void SetVexLastError(int code, std::string cause = {});
int VexLastErrorCode();
const std::string& VexLastErrorCause();

// The failure being handled, as the rewriter reports it; call only inside a catch block.
struct TVexFailure {
  int Code;
  std::string Cause;
};
TVexFailure CurrentVexFailure();

// Raises EOSError for a code and cause (the system's text for the code when cause is empty),
// or for the failure being handled (only inside a catch block).
[[noreturn]] void RaiseVexError(int code, const std::string& cause);
[[noreturn]] void RaiseVexFailure();
