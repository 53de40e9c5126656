#pragma once
// What the fuzzers of the command line's readers check of every text they give out.

#include <QString>

#include <string>

// Whether text is valid UTF-8 that decodes and encodes back to itself: no character replaced.
inline bool IsFaithfulUtf8(const std::string& text) {
  const QString decoded = QString::fromUtf8(text.data(), qsizetype(text.size()));
  return decoded.isValidUtf16() && decoded.toStdString() == text;
}
