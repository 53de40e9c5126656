#include "cab/CabConsts.h"

#include <cstddef>

namespace {

constexpr const char* FCIErrorTexts[] = {
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

constexpr const char* FDIErrorTexts[] = {
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

} // namespace

const char* FCIErrorText(int32_t code) {
  return TextOf(FCIErrorTexts, code, SFCIError);
}

const char* FDIErrorText(int32_t code) {
  return TextOf(FDIErrorTexts, code, SFDIError);
}
