#pragma once
// The texts of the cabinet library's error codes.

#include <cstdint>

// The text of a compressor (FCI) code; "FCI error" for a code without one.
const char* FCIErrorText(int32_t code);
// The text of a decompressor (FDI) code; "FDI error" for a code without one.
const char* FDIErrorText(int32_t code);

inline constexpr const char* SFCIError = "FCI error";
inline constexpr const char* SFDIError = "FDI error";
