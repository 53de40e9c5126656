#include "cli/u_ErrorLine.h"

std::string OneLine(const std::string& message) {
  std::string line;
  bool inBreak = false;
  for (const char c : message) {
    if (c == '\r' || c == '\n') {
      inBreak = true;
      continue;
    }
    // A break after a blank needs no second one.
    if (inBreak && !line.empty() && line.back() != ' ')
      line += ' ';
    inBreak = false;
    line += c;
  }
  return line;
}

std::string WithoutErrorCode(const std::string& message) {
  static const std::string ErrorCodePrefix = "System Error.  Code: ";
  static const std::string ErrorCodeEnd = ".\r\n";
  if (message.rfind(ErrorCodePrefix, 0) != 0)
    return message;
  const size_t end = message.find(ErrorCodeEnd, ErrorCodePrefix.size());
  return end == std::string::npos ? message : message.substr(end + ErrorCodeEnd.size());
}

std::string ErrorText(const std::string& file, const std::string& message) {
  return (file.empty() ? "" : OneLine(file) + ": ") + OneLine(WithoutErrorCode(message));
}

std::string ErrorLine(const std::string& file, const std::string& message) {
  return std::string(CliProgramName) + ": " + ErrorText(file, message) + "\n";
}

std::string UsageErrorLines(const std::string& message) {
  return ErrorLine({}, message) + "Try '" + CliProgramName + " --help'.\n";
}
