#pragma once
// Which family of Windows the program runs on, which decides the resource writer, and the
// ANSI-to-UTF-16 conversion that feeds the own rewriter.

#include <string>
#include <string_view>

// Ordered: only the order matters to the rest of the system.
enum TWindowsKind {
  wkUnknown,
  wkWin32s,
  wkWin9x,
  wkWin95,
  wkWin98,
  wkWin98SE,
  wkWinME,
  wkWinNT,
  wkWin2000,
  wkWinXP,
  wkWinNT52,
};

// The running system's kind. There is no Windows version query here, so the kind cannot be
// told: wkUnknown, and every update takes the own rewriter.
TWindowsKind GetWindowsKind();

// True below wkWinNT: unknown, Win32s and every 9x kind.
bool IsNonNTWindows();

// The text converted from the system ANSI code page to UTF-16 (a std::u16string keeps its
// terminating zero after the last character).
std::u16string AnsiToWideText(std::string_view text);
