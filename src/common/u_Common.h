#pragma once
// Exception message text, the text checksum and token cutting.

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

// The message of an exception object: its text for the standard exception classes, otherwise
// the run-time's description of a foreign exception object.
std::string ExceptionMessageText(std::exception_ptr error);

// ExceptionMessageText of the exception being handled; call only inside a catch block.
std::string GetExceptionMessage();

// Sum of the little-endian 32-bit words of bytes (padded with blanks to a multiple of four),
// rotated left by one bit after each addition; 0 for the empty string.
uint32_t TextChecksum(std::string_view bytes);

// TextChecksum of bytes that come in pieces: the same value as of the pieces joined.
class TTextChecksum {
public:
  void Add(std::string_view bytes);
  uint32_t Value() const;

private:
  uint32_t FSum = 0;
  uint32_t FPending = 0; // bytes of an unfinished word, low byte first
  int FPendingCount = 0;
};

// Cuts the text before the first delimiter off text (with that delimiter) and returns it;
// without a delimiter the whole text is the token and text becomes empty.
std::string FetchToken(std::string& text, std::string_view delimiters);
