#include "common/u_SysUtils.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string result;
  if (length > 0) {
    result.resize(static_cast<size_t>(length));
    std::vsnprintf(result.data(), result.size() + 1, format, args);
  }
  va_end(args);
  return result;
}

// GNU strerror_r may return a static text instead of filling the buffer; the POSIX one (the
// browser's C library) fills it and returns 0.
[[maybe_unused]] static const char* StrErrorText(const char* result, const char*) {
  return result;
}
[[maybe_unused]] static const char* StrErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}

std::string SysErrorMessage(int errorCode) {
  char buffer[256];
  const char* text = StrErrorText(strerror_r(errorCode, buffer, sizeof buffer), buffer);
  return text ? std::string(text) : std::string();
}

static std::string OSErrorText(int errorCode, const std::string& systemText) {
  if (errorCode == 0)
    return "A call to an OS function failed";
  return Format("System Error.  Code: %d.\r\n%s", errorCode, systemText.c_str());
}

EOSError::EOSError(int errorCode) : EOSError(errorCode, SysErrorMessage(errorCode)) {}

EOSError::EOSError(int errorCode, const std::string& systemText)
    : Exception(OSErrorText(errorCode, systemText)), FErrorCode(errorCode) {}

void RaiseLastOSError() {
  RaiseLastOSError(errno);
}

void RaiseLastOSError(int errorCode) {
  throw EOSError(errorCode);
}
