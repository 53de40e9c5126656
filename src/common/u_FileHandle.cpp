#include "common/u_FileHandle.h"

#include <unistd.h>

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    FFd = std::exchange(other.FFd, -1);
  }
  return *this;
}

void TFileHandle::Close() noexcept {
  if (FFd >= 0)
    ::close(FFd);
  FFd = -1;
}
