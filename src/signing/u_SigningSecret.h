#pragma once
// A password held in memory only as long as it is needed: cleared when it goes, never copied,
// and read from a file, the environment or the terminal without passing through the command
// line or any growing buffer that would leave copies behind.

#include <cstddef>
#include <functional>
#include <string>

// Called while the program waits on someone else (a person typing, a server answering): at
// least every tenth of a second, and at once when a signal interrupts the wait. It raises to
// stop the wait.
using TWaitCheck = std::function<void()>;

// Longer than any password a person types or a key store takes; a longer "password" is a
// wrong file given by mistake, and the bound keeps the buffer from ever growing (a growing
// buffer leaves the old copy uncleared).
inline constexpr size_t MaxSecretLength = 1024;

class TSecret {
public:
  TSecret() = default;
  ~TSecret() { Clear(); }
  TSecret(const TSecret&) = delete;
  TSecret& operator=(const TSecret&) = delete;
  TSecret(TSecret&& other) noexcept;
  TSecret& operator=(TSecret&& other) noexcept;

  // Reads one line (without its end) from a descriptor; raises ESigningError past
  // MaxSecretLength. A signal interrupting the read calls interrupted, which may raise.
  void ReadLine(int fd, const TWaitCheck& interrupted = {});
  // Takes a copy of text (a password typed into a window); raises ESigningError past
  // MaxSecretLength.
  void Assign(const char* text, size_t length);
  // Takes the value of an environment variable, then overwrites its bytes where they are and
  // removes it, so that the process's environment (/proc/PID/environ, a core dump) no longer
  // holds it; false when it is not set.
  bool TakeEnvironment(const char* name);
  const char* Text() const { return FBuffer; }
  size_t Length() const { return FLength; }
  bool Empty() const { return FLength == 0; }
  void Clear();

private:
  char* Buffer();
  char* FBuffer = nullptr; // MaxSecretLength + 1 bytes, held only while there is a secret
  size_t FLength = 0;
};

// Gives the password when a file or token turns out to be protected by one; asked at most once.
using TPasswordSource = std::function<TSecret()>;

// The password from a file (its first line).
TSecret ReadSecretFile(const std::string& fileName);
// Asks on the controlling terminal with echo off; raises ESigningError when there is none.
// A signal stops the question at once through interrupted, the terminal's echo restored.
TSecret PromptSecret(const std::string& prompt, const TWaitCheck& interrupted = {});
// Whether the process has a terminal to ask on.
bool CanPromptSecret();

// Keeps secrets off the ordinary heap: OpenSSL's secure heap (locked, guarded pages) is set
// up once, before the first password or key is read. Where the system refuses the locked
// memory the ordinary heap serves, as before.
void UseSecureHeap();

// Whether a key or password file can be read by users other than its owner, which ssh refuses
// for a key; false when it cannot be looked at (opening it says why).
bool ReadableByOthers(const std::string& fileName);

// While one lives the process is not dumpable: no core dump, and no other process of the user
// may read its memory. Held while a private key is in memory.
class TUndumpable {
public:
  TUndumpable();
  ~TUndumpable();
  TUndumpable(const TUndumpable&) = delete;
  TUndumpable& operator=(const TUndumpable&) = delete;
};
