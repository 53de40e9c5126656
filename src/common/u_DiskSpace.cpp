#include "common/u_DiskSpace.h"

#include <cerrno>
#include <sys/statvfs.h>

uint64_t FreeSpace(const std::string& folder) {
  struct statvfs info {};
  if (::statvfs(folder.c_str(), &info) != 0)
    return UINT64_MAX;
  return uint64_t(info.f_bavail) * uint64_t(info.f_frsize);
}

namespace {
std::string RoomNeededText(const std::string& folder, uint64_t needed, uint64_t free) {
  // Rounded up: "needs about 0 MB" would read as no need at all.
  const auto megabytes = [](uint64_t bytes) {
    return static_cast<unsigned long long>((bytes + (1 << 20) - 1) >> 20);
  };
  return Format(": the new book needs about %llu MB in \"%s\", where %llu MB are free",
                megabytes(needed), folder.c_str(), static_cast<unsigned long long>(free >> 20));
}
} // namespace

void CheckFreeSpace(const std::string& folder, uint64_t needed) {
  const uint64_t free = FreeSpace(folder);
  if (free < needed)
    throw ENoSpace(SysErrorMessage(ENOSPC) + RoomNeededText(folder, needed, free));
}

void TellRoomNeeded(Exception& failure, const std::string& folder, uint64_t needed) {
  const std::string cause = SysErrorMessage(ENOSPC);
  const std::string& message = failure.Message();
  const bool full = message.size() >= cause.size() &&
                    message.compare(message.size() - cause.size(), cause.size(), cause) == 0;
  if (full && !dynamic_cast<const ENoSpace*>(&failure))
    failure.SetMessage(message + RoomNeededText(folder, needed, FreeSpace(folder)));
}
