#include "signing/u_SigningSecret.h"

#include "common/u_FileHandle.h"
#include "common/u_SysUtils.h"
#include "signing/u_SigningError.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <openssl/crypto.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {
const char* const TerminalPath = "/dev/tty";
// Room for a few passwords and the private keys of a signing run, and the smallest piece.
constexpr size_t SecureHeapSize = 64 * 1024;
constexpr size_t SecureHeapPiece = 32;
} // namespace

void UseSecureHeap() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!CRYPTO_secure_malloc_initialized())
      CRYPTO_secure_malloc_init(SecureHeapSize, SecureHeapPiece);
  });
}

namespace {
// Whether the process is dumpable is the process's own setting: the holders count together.
std::mutex GUndumpableLock;
int GUndumpableCount = 0;
int GDumpableBefore = 1;
} // namespace

TUndumpable::TUndumpable() {
  const std::lock_guard<std::mutex> guard(GUndumpableLock);
  if (GUndumpableCount++ == 0) {
    GDumpableBefore = ::prctl(PR_GET_DUMPABLE);
    ::prctl(PR_SET_DUMPABLE, 0);
  }
}

TUndumpable::~TUndumpable() {
  const std::lock_guard<std::mutex> guard(GUndumpableLock);
  if (--GUndumpableCount == 0 && GDumpableBefore > 0)
    ::prctl(PR_SET_DUMPABLE, GDumpableBefore);
}

bool ReadableByOthers(const std::string& fileName) {
  struct stat info {};
  return ::stat(fileName.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

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
  UseSecureHeap();
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

void TSecret::ReadLine(int fd, const TWaitCheck& interrupted) {
  char* buffer = Buffer();
  FLength = 0;
  for (;;) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) {
      if (interrupted) {
        try {
          interrupted();
        } catch (...) {
          Clear();
          throw;
        }
      }
      continue;
    }
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
  char* value = std::getenv(name);
  if (!value)
    return false;
  const size_t length = std::strlen(value);
  Assign(value, std::min(length, MaxSecretLength));
  OPENSSL_cleanse(value, length);
  ::unsetenv(name);
  if (length > MaxSecretLength) {
    Clear();
    throw ESigningError(Format("the password is longer than %zu bytes", MaxSecretLength));
  }
  return true;
}

TSecret ReadSecretFile(const std::string& fileName) {
  const TFileHandle file{::open(fileName.c_str(), O_RDONLY | O_CLOEXEC)};
  if (!file.IsOpen())
    throw ESigningError(
        Format("Cannot open file \"%s\". %s", fileName.c_str(), SysErrorMessage(errno).c_str()),
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

TSecret PromptSecret(const std::string& prompt, const TWaitCheck& interrupted) {
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
    secret.ReadLine(terminal.Get(), interrupted);
  } catch (...) {
    if (echoOff)
      ::tcsetattr(terminal.Get(), TCSAFLUSH, &saved);
    throw;
  }
  if (echoOff)
    ::tcsetattr(terminal.Get(), TCSAFLUSH, &saved);
  return secret;
}
