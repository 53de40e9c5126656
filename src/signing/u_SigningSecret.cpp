#include "signing/u_SigningSecret.h"

#include "common/u_FileHandle.h"
#include "common/u_SysUtils.h"
#include "signing/u_SigningError.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

namespace {
const char* const TerminalPath = "/dev/tty";

} // namespace

TSecret::TSecret(TSecret&& other) noexcept : FBuffer(other.FBuffer), FLength(other.FLength) {
  other.FBuffer = nullptr;
  other.FLength = 0;
}

TSecret& TSecret::operator=(TSecret&& other) noexcept {
  if (this != &other) {
    Clear();
    FBuffer = other.FBuffer;
    FLength = other.FLength;
    other.FBuffer = nullptr;
    other.FLength = 0;
  }
  return *this;
}

char* TSecret::Buffer() {
  if (!FBuffer)
    FBuffer = static_cast<char*>(OPENSSL_secure_zalloc(MaxSecretLength + 1));
  if (!FBuffer)
    throw ESigningError("no memory for the password");
  return FBuffer;
}

void TSecret::Clear() {
  if (FBuffer) {
    OPENSSL_cleanse(FBuffer, MaxSecretLength + 1);
    OPENSSL_secure_free(FBuffer);
  }
  FBuffer = nullptr;
  FLength = 0;
}

void TSecret::ReadLine(int fd) {
  char* buffer = Buffer();
  FLength = 0;
  for (;;) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw ESigningError(Format("cannot read the password: %s", SysErrorMessage(errno).c_str()));
    if (n == 0 || c == '\n')
      break;
    if (FLength == MaxSecretLength) {
      Clear();
      throw ESigningError(Format("the password is longer than %zu bytes", MaxSecretLength));
    }
    buffer[FLength++] = c;
  }
  // A file written on Windows ends its line with CR LF.
  if (FLength > 0 && buffer[FLength - 1] == '\r')
    buffer[--FLength] = '\0';
  buffer[FLength] = '\0';
}

void TSecret::Assign(const char* text, size_t length) {
  if (length > MaxSecretLength)
    throw ESigningError(Format("the password is longer than %zu bytes", MaxSecretLength));
  std::memcpy(Buffer(), text, length);
  FLength = length;
  FBuffer[length] = '\0';
}

bool TSecret::TakeEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value)
    return false;
  Assign(value, std::strlen(value));
  return true;
}

TSecret ReadSecretFile(const std::string& fileName) {
  const TFileHandle file{::open(fileName.c_str(), O_RDONLY | O_CLOEXEC)};
  if (!file.IsOpen())
    throw ESigningError(Format("Cannot open file \"%s\". %s", fileName.c_str(),
                               SysErrorMessage(errno).c_str()),
                        fileName);
  TSecret secret;
  try {
    secret.ReadLine(file.Get());
  } catch (const ESigningError& e) {
    throw ESigningError(e.Message(), fileName);
  }
  return secret;
}

bool CanPromptSecret() {
  const TFileHandle terminal{::open(TerminalPath, O_RDWR | O_NOCTTY | O_CLOEXEC)};
  return terminal.IsOpen();
}

TSecret PromptSecret(const std::string& prompt) {
  const TFileHandle terminal{::open(TerminalPath, O_RDWR | O_NOCTTY | O_CLOEXEC)};
  if (!terminal.IsOpen())
    throw ESigningError("no terminal to ask for the password on; give --sign-password-file or "
                       "FOLIOSET_SIGN_PASSWORD");
  termios saved{};
  const bool echoOff = ::tcgetattr(terminal.Get(), &saved) == 0;
  if (echoOff) {
    termios quiet = saved;
    quiet.c_lflag &= tcflag_t(~ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(terminal.Get(), TCSAFLUSH, &quiet);
  }
  (void)!::write(terminal.Get(), prompt.data(), prompt.size());
  TSecret secret;
  try {
    secret.ReadLine(terminal.Get());
  } catch (...) {
    if (echoOff)
      ::tcsetattr(terminal.Get(), TCSAFLUSH, &saved);
    throw;
  }
  if (echoOff)
    ::tcsetattr(terminal.Get(), TCSAFLUSH, &saved);
  return secret;
}
