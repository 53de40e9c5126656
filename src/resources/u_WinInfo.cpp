#include "resources/u_WinInfo.h"

TWindowsKind GetWindowsKind() {
  return wkUnknown;
}

bool IsNonNTWindows() {
  return GetWindowsKind() < wkWinNT;
}

const TCodePage& ResourceNameCodePage() {
  static const TCodePage codePage(1252);
  return codePage;
}

std::u16string AnsiToWideText(std::string_view text) {
  return ResourceNameCodePage().AnsiToUtf16(text);
}
