#pragma once
// The one owner of a file descriptor: whatever holds a file open holds it through this, so the
// descriptor is closed exactly once, on every way out.

#include <utility>

class TFileHandle {
public:
  TFileHandle() = default;
  // Takes fd over; -1 holds none.
  explicit TFileHandle(int fd) noexcept : FFd(fd) {}
  ~TFileHandle() { Close(); }
  TFileHandle(TFileHandle&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
  TFileHandle& operator=(TFileHandle&& other) noexcept;
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;

  bool IsOpen() const { return FFd >= 0; }
  // The descriptor, -1 when none is held; it stays owned here.
  int Get() const { return FFd; }
  // Closes the descriptor now; nothing when none is held.
  void Close() noexcept;
  // The same giving close's verdict: false (errno set) when the system says what was written
  // did not all reach the file.
  bool CloseChecked() noexcept;

private:
  int FFd = -1;
};
