#pragma once
// Reads a cabinet from a stream: its tables at once, then the members a sink asks for, verifying
// every data block's checksum. Folders are stored or MSZIP; other compression types fail with
// crcCompressionType. Cabinet sets are not read: reaching a member continued from or in another
// cabinet fails with crcAborted ("Spanned cabinets are unsupported now").
// Members are offered in the order their data lies in the cabinet (by folder, then offset), not
// in the order of the file list, so each folder is decoded at most once; members whose data
// overlap fail with crcCorrupt.
// Budget: the file and folder tables cost a few bytes of memory per byte they take; decoding
// holds one block (32 KiB out, 38 KiB in) and passes each decoded byte on once. What it passes
// on is bounded only by the members' declared sizes: MSZIP expands at most 1032 times, so a
// cabinet of n bytes may yield about 1000 n bytes for members that declare them.
// Every failure is an EMFSCabSystemError; a damaged record's names the field it lacks, a failing
// stream's or sink's carries its words.

#include "cab/u_CabFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TStream;
class TCabinetInput;

// A member's CFFILE entry.
using TCabMember = CabFormat::TFileFields;

// Where a data block's encoded bytes lie, found without decoding them.
struct TCabBlockPlace {
  uint64_t dataOffset; // of its encoded bytes ("CK" and deflate data) in the cabinet
  uint16_t encodedSize;
  uint16_t outputSize;
};

// What becomes of the members a reader offers.
class TCabSink {
public:
  virtual ~TCabSink() = default;
  // Whether member is wanted; a wanted member's bytes follow through Write, then End.
  virtual bool Begin(const TCabMember& member) = 0;
  virtual void Write(const uint8_t* data, size_t size) = 0;
  virtual void End(const TCabMember& member) = 0;
};

class TCabReader {
public:
  // Reads the cabinet's tables from cabinet, which must outlive the reader: crcNotACabinet or
  // crcUnknownVersion when its fixed header is not a cabinet's, crcCorrupt when a table is
  // damaged. Seeks the stream only from its beginning.
  explicit TCabReader(TStream& cabinet);
  ~TCabReader();
  TCabReader(const TCabReader&) = delete;
  TCabReader& operator=(const TCabReader&) = delete;

  const CabFormat::THeaderFields& Header() const { return FHeader; }
  const std::vector<CabFormat::TFolderFields>& Folders() const { return FFolders; }
  const std::vector<TCabMember>& Members() const { return FMembers; }
  // The data blocks of the folder of that index, their records read and checked as extraction
  // reads them.
  std::vector<TCabBlockPlace> Blocks(size_t folder);
  // Offers each member to sink in the order its data lies, passing the bytes of those taken.
  void Extract(TCabSink& sink);

private:
  void ReadTables();

  std::unique_ptr<TCabinetInput> FInput;
  CabFormat::THeaderFields FHeader;
  CabFormat::TReserveSizes FReserve;
  std::vector<CabFormat::TFolderFields> FFolders;
  std::vector<TCabMember> FMembers;
};
