#pragma once
// The one failure of signing: a text that names no secret, and the file it concerns (the
// certificate, key or password file), empty when it concerns none.

#include "common/u_SysUtils.h"

#include <string>

class ESigningError : public Exception {
public:
  explicit ESigningError(const std::string& message, std::string file = {})
      : Exception(message), FFile(std::move(file)) {}
  const std::string& File() const { return FFile; }

private:
  std::string FFile;
};
