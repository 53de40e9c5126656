#include "common/u_DiskSpace.h"

#include <cerrno>
#include <sys/statvfs.h>

uint64_t FreeSpace(const std::string& folder) {
  struct statvfs info {};
  if (::statvfs(folder.c_str(), &info) != 0)
    return UINT64_MAX;
  return uint64_t(info.f_bavail) * uint64_t(info.f_frsize);
}

void CheckFreeSpace(const std::string& folder, uint64_t needed) {
  const uint64_t free = FreeSpace(folder);
  if (free >= needed)
    return;
  // Rounded up: "needs about 0 MB" would read as no need at all.
  const auto megabytes = [](uint64_t bytes) {
    return static_cast<unsigned long long>((bytes + (1 << 20) - 1) >> 20);
  };
  throw ENoSpace(Format("%s: the new book needs about %llu MB in \"%s\", where %llu MB are free",
                        SysErrorMessage(ENOSPC).c_str(), megabytes(needed), folder.c_str(),
                        static_cast<unsigned long long>(free >> 20)));
}
