#pragma once
// The cabinet engine's failures: their codes, the texts of the codes, and the exceptions that
// carry them with the words of their cause.

#include "common/u_Common.h"
#include "common/u_SysUtils.h"

#include <cstdint>
#include <new>
#include <string>

// Why writing a cabinet failed.
enum TCabWriteCode : int32_t {
  cwcOpenSource = 1,
  cwcReadSource = 2,
  cwcOutOfMemory = 3,
  cwcTempFile = 4,
  cwcCabinetFile = 6,
  cwcFormatLimit = 9, // beyond what the format can hold: a code without a text of its own
};

// Why reading a cabinet failed.
enum TCabReadCode : int32_t {
  crcNotACabinet = 2,
  crcUnknownVersion = 3,
  crcCorrupt = 4,
  crcOutOfMemory = 5,
  crcCompressionType = 6,
  crcDecompressing = 7,
  crcTargetFile = 8,
  crcAborted = 11,
};

// The text of a writer's code; "FCI error" for a code without one.
const char* CabWriteErrorText(int32_t code);
// The text of a reader's code; "FDI error" for a code without one.
const char* CabReadErrorText(int32_t code);

inline constexpr const char* SSpannedCabinetsUnsupported = "Spanned cabinets are unsupported now";

class EMFSCabError : public Exception {
  using Exception::Exception;
};
class EMFSCabWriterError : public EMFSCabError {
  using EMFSCabError::EMFSCabError;
};
class EMFSCabReaderError : public EMFSCabError {
  using EMFSCabError::EMFSCabError;
};

// A failed cabinet operation: the code's text and the code as "<text> [0x0004]", then ".\r\n"
// and the words of its cause when it has one (the failing stream's message, the field a
// damaged record lacks).
class EMFSCabSystemError : public EMFSCabError {
public:
  EMFSCabSystemError(bool compression, int32_t code, const std::string& cause = {});
  int32_t ErrorCode() const { return FErrorCode; }
  bool Compression() const { return FCompression; }
  // Whether reading failed on the cabinet's own bytes (a damaged or foreign cabinet), not on
  // memory, a target or a stop.
  bool DamagedCabinet() const;

private:
  int32_t FErrorCode;
  bool FCompression;
};

// Runs step, an access to a caller's stream or callback: its failure becomes the engine's of
// code with the failure's words as the cause. The engine's own failures and a lack of memory
// pass as they are.
template <typename Step> auto CabStep(bool compression, int32_t code, Step step) {
  try {
    return step();
  } catch (const EMFSCabSystemError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    throw EMFSCabSystemError(compression, code, GetExceptionMessage());
  }
}
