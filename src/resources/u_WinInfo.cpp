#include "resources/u_WinInfo.h"

#include "common/u_AnsiText.h"

TWindowsKind GetWindowsKind() {
  return wkUnknown;
}

bool IsNonNTWindows() {
  return GetWindowsKind() < wkWinNT;
}

std::u16string AnsiToWideText(std::string_view text) {
  return AnsiToUtf16(text);
}
