#include "common/u_FailureCause.h"

#include "common/u_SysUtils.h"

#include <cerrno>

namespace {
bool Refused(int code) {
  return code == EACCES || code == EPERM;
}
} // namespace

std::string FolderRefusalText(int code, const std::string& folder, TWriteTarget target) {
  const char* const name = folder.c_str();
  if (target == TWriteTarget::Copy && (Refused(code) || code == EROFS))
    return Format("The folder \"%s\" cannot be written: %s", name, SysErrorMessage(code).c_str());
  if (code == EROFS)
    return Format("The folder \"%s\" is on a read-only file system: the book cannot be replaced "
                  "there",
                  name);
  if (Refused(code))
    return Format("The folder \"%s\" must be writable: the book is replaced by a new file "
                  "written there",
                  name);
  return Format("The folder \"%s\" cannot be used: %s", name, SysErrorMessage(code).c_str());
}

std::string BookRefusalText(int code) {
  if (code == EROFS)
    return "The book is on a read-only file system: it cannot be replaced there";
  if (Refused(code))
    return "The book is read-only: " + SysErrorMessage(code);
  return SysErrorMessage(code);
}

bool CopyWouldDo(int code) {
  return Refused(code) || code == EROFS;
}
