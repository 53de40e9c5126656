#include "cli/u_WholeLineBuffer.h"

#include <cerrno>
#include <string_view>
#include <unistd.h>

namespace {
// A line longer than a pipe takes in one write (4096 bytes) cannot reach it whole anyway: one
// past this size goes out as it comes, so that a big line is never held in memory.
constexpr size_t LongLine = size_t(1) << 20;
} // namespace

TWholeLineBuffer::~TWholeLineBuffer() {
  sync();
}

bool TWholeLineBuffer::WriteAll(const char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(FHandle, bytes, count);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    bytes += written;
    count -= size_t(written);
  }
  return true;
}

std::streamsize TWholeLineBuffer::xsputn(const char* text, std::streamsize count) {
  const std::string_view added(text, size_t(count));
  const size_t lastBreak = added.rfind('\n');
  if (lastBreak == std::string_view::npos) {
    if (FPending.size() + added.size() <= LongLine) {
      FPending.append(added);
      return count;
    }
    const bool written =
        WriteAll(FPending.data(), FPending.size()) && WriteAll(added.data(), added.size());
    FPending.clear();
    return written ? count : 0;
  }
  const std::string_view ended = added.substr(0, lastBreak + 1);
  bool written;
  if (FPending.empty()) {
    // Straight from the caller's text: a branded book on standard output is not copied.
    written = WriteAll(ended.data(), ended.size());
  } else {
    FPending.append(ended);
    written = WriteAll(FPending.data(), FPending.size());
    FPending.clear();
  }
  FPending.append(added.substr(lastBreak + 1));
  return written ? count : 0;
}

TWholeLineBuffer::int_type TWholeLineBuffer::overflow(int_type character) {
  if (traits_type::eq_int_type(character, traits_type::eof()))
    return traits_type::not_eof(character);
  const char c = traits_type::to_char_type(character);
  return xsputn(&c, 1) == 1 ? character : traits_type::eof();
}

int TWholeLineBuffer::sync() {
  const bool written = WriteAll(FPending.data(), FPending.size());
  FPending.clear();
  return written ? 0 : -1;
}
