#include "common/u_Files.h"

#include "common/u_BigBuffer.h"
#include "common/u_Streams.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <istream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

std::string TempFolder() {
  const char* folder = std::getenv("TMPDIR");
  std::string result = folder && *folder ? folder : "/tmp";
  while (result.size() > 1 && result.back() == '/')
    result.pop_back();
  return result;
}

namespace {
// Pieces in which a file of unknown size is read.
constexpr size_t ReadChunkSize = 1 << 16;

// Opening a folder for reading succeeds; reading it then fails obscurely, so it is refused here
// by name.
void RefuseFolder(const TFileStream& stream) {
  struct stat info;
  if (::fstat(stream.Handle(), &info) == 0 && S_ISDIR(info.st_mode))
    throw EFOpenError(Format(SFOpenErrorEx, stream.FileName().c_str(), "It is a folder."));
}
} // namespace

std::string ReadHandleToEnd(int handle, const std::string& name, size_t limit) {
  std::string bytes;
  std::optional<TBigBufferRoom> room;
  struct stat info;
  if (::fstat(handle, &info) == 0 && S_ISREG(info.st_mode)) { // a hint only: the file may change
    bytes.reserve(std::min(size_t(info.st_size), limit));
    room.emplace(bytes.data(), bytes.capacity()); // gone before the bytes could move
  }
  char chunk[ReadChunkSize];
  for (;;) {
    const ssize_t n = ::read(handle, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      const std::string reason = SysErrorMessage(errno);
      throw EReadError(Format("Cannot read file \"%s\". %s", name.c_str(), reason.c_str()));
    }
    if (n == 0)
      return bytes;
    // Checked before the bytes are kept, so the string never grows past the limit.
    if (size_t(n) > limit - bytes.size())
      throw EReadError(
          Format("Cannot read file \"%s\". It holds more than %zu MB.", name.c_str(), limit >> 20));
    if (bytes.size() + size_t(n) > bytes.capacity())
      room.reset(); // the file grew: the bytes move
    bytes.append(chunk, size_t(n));
  }
}

std::string ReadStreamToEnd(std::istream& in, const std::string& name, size_t limit) {
  std::string bytes;
  char chunk[ReadChunkSize];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    if (size_t(in.gcount()) > limit - bytes.size())
      throw EReadError(
          Format("Cannot read file \"%s\". It holds more than %zu MB.", name.c_str(), limit >> 20));
    bytes.append(chunk, size_t(in.gcount()));
  }
  if (in.bad())
    throw EReadError(
        Format("Cannot read file \"%s\". %s", name.c_str(), SysErrorMessage(EIO).c_str()));
  return bytes;
}

std::string LoadFileToString(const std::string& path, size_t limit) {
  TFileStream stream(path, fmOpenRead);
  RefuseFolder(stream);
  return ReadHandleToEnd(stream.Handle(), path, limit);
}

void SaveStringToFile(const std::string& bytes, const std::string& path) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) {
    std::error_code ignored; // a folder that cannot be made shows up when the file is created
    std::filesystem::create_directories(folder, ignored);
  }
  TFileStream stream(path, fmCreate);
  stream.WriteString(bytes);
}
