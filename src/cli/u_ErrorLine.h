#pragma once
// The lines folioset-cli writes to standard error: one line per error, naming the file it
// concerns, so that a log of a batch says which book failed and why.

#include "common/u_SysUtils.h"

#include <string>

inline constexpr const char* CliProgramName = "folioset-cli";

// The message on one line: the line breaks of a multi-line text (a system error's
// "System Error.  Code: 2.\r\n<cause>") become one blank.
std::string OneLine(const std::string& message);

// The message without the "System Error.  Code: N." a failed system call's message begins
// with: the number means nothing to a user, the text after it says what is wrong.
std::string WithoutErrorCode(const std::string& message);

// "FILE: message" on one line, or the message alone without a file.
std::string ErrorText(const std::string& file, const std::string& message);
// "folioset-cli: FILE: message\n", or "folioset-cli: message\n" without a file.
std::string ErrorLine(const std::string& file, const std::string& message);

// A usage mistake: "folioset-cli: message\nTry 'folioset-cli --help'.\n".
std::string UsageErrorLines(const std::string& message);

// A failure that concerns one file (a book, the icon, the values file).
class EFileError : public Exception {
public:
  EFileError(std::string file, const std::string& message)
      : Exception(message), FFile(std::move(file)) {}
  const std::string& File() const { return FFile; }

private:
  std::string FFile;
};
