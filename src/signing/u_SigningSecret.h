#pragma once
// A password held in memory only as long as it is needed: cleared when it goes, never copied,
// and read from a file, the environment or the terminal without passing through the command
// line or any growing buffer that would leave copies behind.

#include <cstddef>
#include <string>

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
  // MaxSecretLength.
  void ReadLine(int fd);
  // Takes a copy of text (a password typed into a window); raises ESigningError past
  // MaxSecretLength.
  void Assign(const char* text, size_t length);
  // Takes the value of an environment variable; false when it is not set.
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

// The password from a file (its first line).
TSecret ReadSecretFile(const std::string& fileName);
// Asks on the controlling terminal with echo off; raises ESigningError when there is none.
TSecret PromptSecret(const std::string& prompt);
// Whether the process has a terminal to ask on.
bool CanPromptSecret();
