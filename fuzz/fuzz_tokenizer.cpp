// Cuts any bytes into tokens, switching modes as the XML reader does ("<" ends character mode,
// ">" starts it). Only EParserError may end a run, and conversions only with EConvertError.
// The first byte chooses the flags and may put the text behind a filler that ends just short of
// the read buffer, so refills and cut lines fall inside the fuzzed bytes.

#include "common/u_Streams.h"
#include "xml/u_SpaceParser.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const uint8_t flags = data[0];
  std::string text;
  if (flags & 4) {
    // A line feed, then blanks up to a few bytes before the buffer's end; ordinary mode skips
    // them quickly, and a ">" in the fuzzed bytes switches to character mode as usual.
    text = "\n" + std::string(TSpaceParser::BufferSize - 1 - (flags >> 3), ' ');
  }
  const bool charMode = (flags & 1) && !(flags & 4);
  text.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  TStringStream stream(text);
  try {
    TSpaceParser parser(stream, charMode,
                        flags & 2 ? std::nullopt : std::optional(TCodePage(1252)));
    // Every token consumes at least one byte, so the loop ends; the bound only guards that.
    for (size_t tokens = 0; parser.Token() != toEOF; ++tokens) {
      if (tokens > text.size() + 1)
        std::abort();
      // In character mode every token is its byte; only ordinary tokens are worth looking into.
      if (!parser.CharMode()) {
        const std::string tokenText = parser.TokenString();
        try {
          if (parser.Token() == toInteger)
            (void)parser.TokenInt();
          else if (parser.Token() == toFloat)
            (void)parser.TokenFloat();
        } catch (const EConvertError&) {
        }
        if (parser.Token() == toSymbol && !parser.TokenSymbolIs(tokenText))
          std::abort();
      }
      if (parser.Token() == '<')
        parser.SetCharMode(false);
      else if (parser.Token() == '>')
        parser.SetCharMode(true);
      parser.NextToken();
    }
  } catch (const EParserError&) {
  }
  if (stream.Position() < 0 || stream.Position() > int64_t(text.size()))
    std::abort();
  return 0;
}
