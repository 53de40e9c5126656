#include "cli/u_ProgressLine.h"

#include "common/u_SysUtils.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sys/ioctl.h>
#include <vector>

namespace {

// Back to the start of the line and erase it (ECMA-48 "erase in line").
const char* const ClearLine = "\r\033[K";
const char* const Ellipsis = "\xE2\x80\xA6"; // U+2026, one column
// The last column is left free: some terminals wrap as soon as it is written.
constexpr int UnusedColumns = 1;
// The longest step and percent a line ends with, ": rewrite 100%", kept free for every step, so
// that the path is cut the same way through a book's steps.
constexpr int StepColumns = 14;

// The text's characters as [start, end) byte ranges with their columns.
struct TCharacter {
  size_t Start;
  size_t End;
  int Columns;
};

std::vector<TCharacter> CharactersOf(const std::string& text) {
  std::vector<TCharacter> characters;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = int32_t(text.size());
  for (int32_t at = 0; at < length;) {
    const int32_t start = at;
    UChar32 c;
    U8_NEXT(bytes, at, length, c);
    int columns = 1;
    if (c >= 0) {
      const int width = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
      const int8_t category = u_charType(c);
      if (width == U_EA_WIDE || width == U_EA_FULLWIDTH)
        columns = 2;
      else if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK)
        columns = 0;
    }
    characters.push_back({size_t(start), size_t(at), columns});
  }
  return characters;
}

} // namespace

int TerminalColumns(int handle) {
  struct winsize size;
  if (::ioctl(handle, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const long value = std::strtol(columns, &end, 10);
    // A terminal wider than this is none that exists; the value is taken for a mistake.
    constexpr long MostColumns = 10000;
    if (end != columns && *end == '\0' && value > 0 && value <= MostColumns)
      return int(value);
  }
  return DefaultTerminalColumns;
}

bool TerminalIsDumb() {
  const char* term = std::getenv("TERM");
  return term && std::strcmp(term, "dumb") == 0;
}

int TextColumns(const std::string& text) {
  int columns = 0;
  for (const TCharacter& character : CharactersOf(text))
    columns += character.Columns;
  return columns;
}

std::string ShortenedInMiddle(const std::string& text, int columns) {
  if (TextColumns(text) <= columns)
    return text;
  if (columns < 1)
    return {};
  const std::vector<TCharacter> characters = CharactersOf(text);
  // The start gets the odd column: a path's end (the book's name) and start read alike.
  int tailColumns = (columns - 1) / 2;
  int headColumns = columns - 1 - tailColumns;
  size_t headEnd = 0;
  for (size_t i = 0; i < characters.size() && characters[i].Columns <= headColumns; ++i) {
    headColumns -= characters[i].Columns;
    headEnd = characters[i].End;
  }
  size_t tailStart = text.size();
  for (size_t i = characters.size(); i > 0 && characters[i - 1].Columns <= tailColumns; --i) {
    tailColumns -= characters[i - 1].Columns;
    tailStart = characters[i - 1].Start;
  }
  return text.substr(0, headEnd) + Ellipsis + text.substr(tailStart);
}

const char* StepName(TEBookStep step) {
  switch (step) {
  case esRead:
    return "read";
  case esUnpack:
    return "unpack";
  case esParse:
    return "parse";
  case esPack:
    return "pack";
  case esRewrite:
    return "rewrite";
  }
  return "";
}

void TProgressLine::SetBook(const std::string& book, int number, int count, uint64_t doneBytes,
                            uint64_t totalBytes) {
  FCounter = count > 1 ? "[" + std::to_string(number) + "/" + std::to_string(count) +
                             (totalBytes > 0 ? Format(", %.1f of %.1f MB", double(doneBytes) / 1e6,
                                                      double(totalBytes) / 1e6)
                                             : "") +
                             "] "
                       : "";
  const int room = FColumns - UnusedColumns - TextColumns(FCounter) - StepColumns;
  FBook = ShortenedInMiddle(book, std::max(room, 1));
}

void TProgressLine::Show(TEBookStep step, int percent) {
  if (!FEnabled)
    return;
  // The document reports each percent once, so every report is a change worth drawing. On a
  // terminal narrower than the counter and the step, the whole line is shortened.
  const std::string line = ShortenedInMiddle(FCounter + FBook + ": " + StepName(step) + ' ' +
                                                 std::to_string(percent) + '%',
                                             FColumns - UnusedColumns);
  const int columns = TextColumns(line);
  if (FDumb)
    FErr << '\r' << line << std::string(size_t(std::max(FDrawnColumns - columns, 0)), ' ');
  else
    FErr << ClearLine << line;
  FErr << std::flush;
  FDrawnColumns = std::max(FDumb ? FDrawnColumns : 0, columns);
}

void TProgressLine::Clear() {
  if (FDrawnColumns == 0)
    return;
  if (FDumb)
    FErr << '\r' << std::string(size_t(FDrawnColumns), ' ') << '\r';
  else
    FErr << ClearLine;
  FErr << std::flush;
  FDrawnColumns = 0;
}

TEBookProgressEvent TProgressLine::Event() {
  if (!FEnabled)
    return {};
  return [this](TEBookStep step, int percent) { Show(step, percent); };
}
