#pragma once
// Standard output and standard error as whole lines: each line, or all the lines of one
// insertion (a JSON document), reaches the file in one write, so that processes writing to
// one pipe or file at once (xargs -P) never mix their output inside a line.

#include <streambuf>
#include <string>

class TWholeLineBuffer : public std::streambuf {
public:
  explicit TWholeLineBuffer(int handle) : FHandle(handle) {}
  ~TWholeLineBuffer() override;
  TWholeLineBuffer(const TWholeLineBuffer&) = delete;
  TWholeLineBuffer& operator=(const TWholeLineBuffer&) = delete;

protected:
  // Takes the text; writes what it completes up to its last line break at once, and a line
  // beyond a megabyte as it comes.
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int_type overflow(int_type character) override;
  // A flush writes the rest too (a progress line has no line break).
  int sync() override;

private:
  bool WriteAll(const char* bytes, size_t count);

  int FHandle;
  std::string FPending; // the start of a line not yet ended
};
