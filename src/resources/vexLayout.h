#pragma once
// Where everything goes when the resource section is replaced by one of a new size: the file
// and address deltas, the corrected headers, the debug directory corrections, what happens to
// a signature, and the refusals where moving sections would certainly break the image.

#include "resources/vexTools.h"

#include <cstdint>
#include <vector>

struct TResourceLayout {
  TImageHeaders Headers;           // corrected for the new file
  uint32_t SectionOffset = 0;      // P: file position of the resource section (unchanged)
  uint32_t OldRawSize = 0;         // its SizeOfRawData before
  uint32_t NewRawSize = 0;         // AlignUp(Z, FileAlignment)
  int64_t FileDelta = 0;           // F
  int64_t VirtualDelta = 0;        // V
  uint64_t TailStart = 0;          // first byte behind the old section
  uint64_t TailEnd = 0;            // end of what is kept behind it (a removed signature is cut off)
  uint64_t NewLength = 0;          // length of the new file
  bool SignatureRemoved = false;   // the certificate table was dropped
  std::vector<TFilePatch> Patches; // debug directory entries, in the new file, in file order
};

// Plans the replacement of the resource section (section index of headers) of file by a
// section image of newSize bytes. Raises EVexError (EDamagedData where the image is damaged),
// changing nothing, where the result would be broken: sections behind that would move while
// code or data still point into them (base relocations, directories whose contents hold
// addresses, the entry point), directories inside the resource section, section orders that
// differ in file and memory, damaged relocations, or sizes beyond 32 bits. Budget: memory
// linear in the number of sections; time linear in the relocation table times the logarithm
// of the number of sections, and only when one moves.
TResourceLayout PlanResourceLayout(TByteView file, const TImageHeaders& headers, int section,
                                   uint64_t newSize);

// Checks that the section's raw data lies in the file and behind the headers.
void CheckResourceSectionPlace(TByteView file, const TImageHeaders& headers, int section);
