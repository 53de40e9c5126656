#pragma once
// Room on the disk for a file about to be written: refused with the cause and the sizes before
// any of it is written, rather than found by a write that fails half way.

#include "common/u_SysUtils.h"

#include <cstdint>
#include <string>

// Too little room: "No space left on device: the new book needs about %llu MB in "%s", where
// %llu MB are free".
class ENoSpace : public Exception {
  using Exception::Exception;
};

// The bytes an unprivileged user may still write in folder; UINT64_MAX when the system cannot
// tell (the write then finds out).
uint64_t FreeSpace(const std::string& folder);
// Raises ENoSpace when folder has less than needed bytes free.
void CheckFreeSpace(const std::string& folder, uint64_t needed);
// A write into folder that failed because the disk filled (the system's text for it ends its
// message) tells about how much it needed: ": the new book needs about %llu MB in "%s", where
// %llu MB are free" follows its message. Other failures are left as they are.
void TellRoomNeeded(Exception& failure, const std::string& folder, uint64_t needed);
