#pragma once
// The run-time base every unit stands on: the exception classes with their fixed texts,
// printf-style formatting, the root object class, and byte-string helpers.

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

// Root of the objects that owning containers hold and free.
class TObject {
public:
  virtual ~TObject() = default;
};

// An ordered list of byte strings; returned by value, so the caller owns it.
using TStringList = std::vector<std::string>;

// printf-style formatting into a std::string (%s takes const char*, %d an int).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The standard exception class: carries one message text.
class Exception : public std::exception {
public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string message) { FMessage = std::move(message); }
  const char* what() const noexcept override { return FMessage.c_str(); }

private:
  std::string FMessage;
};

// A failed call into the operating system: "System Error.  Code: %d.\r\n%s".
class EOSError : public Exception {
public:
  // Builds the message from the code and the system's text for it (errno on this platform).
  explicit EOSError(int errorCode);
  EOSError(int errorCode, const std::string& systemText);
  int ErrorCode() const noexcept { return FErrorCode; }

private:
  int FErrorCode;
};

// Raises EOSError for errno (or for the given code).
[[noreturn]] void RaiseLastOSError();
[[noreturn]] void RaiseLastOSError(int errorCode);
// The system's text for an error code.
std::string SysErrorMessage(int errorCode);

class EListError : public Exception {
  using Exception::Exception;
};
class EConvertError : public Exception {
  using Exception::Exception;
};
class EParserError : public Exception {
  using Exception::Exception;
};

// Stream failures.
class EStreamError : public Exception {
  using Exception::Exception;
};
class EFOpenError : public EStreamError {
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
  using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
  using EStreamError::EStreamError;
};

inline constexpr const char* SFOpenErrorEx = "Cannot open file \"%s\". %s";
inline constexpr const char* SFCreateErrorEx = "Cannot create file \"%s\". %s";
inline constexpr const char* SReadError = "Stream read error";
inline constexpr const char* SWriteError = "Stream write error";
