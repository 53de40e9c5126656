#include "cab/CabConsts.h"

#include <cstddef>

namespace {

constexpr const char* WriteErrorTexts[] = {
    "No error",
    "Failure opening file to be stored in cabinet",
    "Failure reading file to be stored in cabinet",
    "Out of memory in FCI",
    "Could not create a temporary file",
    "Unknown compression type",
    "Could not create cabinet file",
    "Client requested abort",
    "Failure compressing data",
};

constexpr const char* ReadErrorTexts[] = {
    "No error",
    "Cabinet not found",
    "Cabinet file does not have the correct format",
    "Cabinet file has an unknown version number",
    "Cabinet file is corrupt",
    "Could not allocate enough memory",
    "Unknown compression type in a cabinet folder",
    "Failure decompressing data from a cabinet file",
    "Failure writing to target file",
    "Cabinets in a set do not have the same RESERVE sizes",
    "Cabinet returned on fdintNEXT_CABINET is incorrect",
    "FDI aborted",
};

template <size_t N>
const char* TextOf(const char* const (&texts)[N], int32_t code, const char* other) {
  return code >= 0 && size_t(code) < N ? texts[code] : other;
}

std::string SystemErrorMessage(bool compression, int32_t code, const std::string& cause) {
  const char* text = compression ? CabWriteErrorText(code) : CabReadErrorText(code);
  std::string message = Format("%s [0x%.4X]", text, uint32_t(code));
  if (!cause.empty())
    message += ".\r\n" + cause;
  return message;
}

} // namespace

const char* CabWriteErrorText(int32_t code) {
  return TextOf(WriteErrorTexts, code, "FCI error");
}

const char* CabReadErrorText(int32_t code) {
  return TextOf(ReadErrorTexts, code, "FDI error");
}

EMFSCabSystemError::EMFSCabSystemError(bool compression, int32_t code, const std::string& cause)
    : EMFSCabError(SystemErrorMessage(compression, code, cause)), FErrorCode(code),
      FCompression(compression) {}

bool EMFSCabSystemError::DamagedCabinet() const {
  if (FCompression)
    return false;
  switch (FErrorCode) {
  case crcNotACabinet:
  case crcUnknownVersion:
  case crcCorrupt:
  case crcCompressionType:
  case crcDecompressing:
    return true;
  default:
    return false;
  }
}
