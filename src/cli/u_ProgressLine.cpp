#include "cli/u_ProgressLine.h"

#include "common/u_SysUtils.h"

#include <ostream>

namespace {
// Back to the start of the line and erase it (ECMA-48 "erase in line").
const char* const ClearLine = "\r\033[K";
} // namespace

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
  FPrefix = count > 1 ? "[" + std::to_string(number) + "/" + std::to_string(count) +
                            (totalBytes > 0 ? Format(", %.1f of %.1f MB", double(doneBytes) / 1e6,
                                                     double(totalBytes) / 1e6)
                                            : "") +
                            "] "
                      : "";
  FPrefix += book + ": ";
}

void TProgressLine::Show(TEBookStep step, int percent) {
  if (!FEnabled)
    return;
  // The document reports each percent once, so every report is a change worth drawing.
  FErr << ClearLine << FPrefix << StepName(step) << ' ' << percent << '%' << std::flush;
  FDrawn = true;
}

void TProgressLine::Clear() {
  if (!FDrawn)
    return;
  FErr << ClearLine << std::flush;
  FDrawn = false;
}

TEBookProgressEvent TProgressLine::Event() {
  if (!FEnabled)
    return {};
  return [this](TEBookStep step, int percent) { Show(step, percent); };
}
