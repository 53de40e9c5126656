#pragma once
// Which family of Windows the program runs on, which decides the resource writer, and the
// ANSI-to-UTF-16 conversion that feeds the own rewriter.

#include "common/u_AnsiText.h"

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

// The code page of resource types and names given as byte text: they are the program's own
// identifiers (MAINICON, SYSTEM_MFS), never a book's texts, so they do not follow the book's
// code page but that of a machine whose locale names none, windows-1252.
const TCodePage& ResourceNameCodePage();

// The text converted from ResourceNameCodePage to UTF-16 (a std::u16string keeps its
// terminating zero after the last character).
std::u16string AnsiToWideText(std::string_view text);
