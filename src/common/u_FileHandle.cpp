#include "common/u_FileHandle.h"

#include <unistd.h>

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    FFd = std::exchange(other.FFd, -1);
  }
  return *this;
}

bool TFileHandle::CloseChecked() noexcept {
  const int fd = std::exchange(FFd, -1);
  return fd < 0 || ::close(fd) == 0;
}

void TFileHandle::Close() noexcept {
  if (FFd >= 0)
    ::close(FFd);
  FFd = -1;
}
