#pragma once
// Data with the shape of a big book's content, shared by the benchmarks and the book maker:
// text, already-compressed bytes (images, archives) and zeros (padding), in pieces of 1 MB.

#include <algorithm>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

namespace BenchData {

inline constexpr size_t PieceSize = 1'000'000;

// Text with the shape of a book's pages: words of a few thousand, the frequent ones far more
// frequent (Zipf), in paragraphs of markup.
inline std::string Text(size_t size, std::mt19937& random) {
  static const std::vector<std::string> words = [] {
    std::mt19937 letters(7);
    std::vector<std::string> list;
    for (int i = 0; i < 5000; ++i) {
      std::string word(2 + letters() % 4 + (i > 100 ? letters() % 6 : 0), ' ');
      for (auto& c : word)
        c = char('a' + letters() % 26);
      list.push_back(word);
    }
    return list;
  }();
  std::string text;
  text.reserve(size + 64);
  while (text.size() < size) {
    text += "<p class=\"body\">";
    for (int n = 20 + int(random() % 80); n > 0; --n) {
      // 1/u spreads the choice over the vocabulary as natural language does.
      const double u = double(random() % 100000 + 1) / 100000.0;
      text += words[size_t(std::min<double>(words.size() - 1, 1.0 / u - 1.0))];
      text += n % 13 == 0 ? ". " : " ";
    }
    text += "</p>\r\n";
  }
  text.resize(size);
  return text;
}

// Deflated text: high-entropy bytes like the images and archives books carry.
inline std::string Compressed(size_t size, std::mt19937& random) {
  std::string out;
  while (out.size() < size) {
    const std::string text = Text(3 * PieceSize, random);
    uLongf length = compressBound(uLong(text.size()));
    std::string packed(length, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
              reinterpret_cast<const Bytef*>(text.data()), uLong(text.size()), 6);
    out.append(packed.data(), length);
  }
  out.resize(size);
  return out;
}

// size bytes of mixed data: two pieces of text, two of compressed bytes, one of zeros, in turn.
inline std::string MixedData(size_t size) {
  std::mt19937 random(2024);
  std::string data;
  data.reserve(size);
  for (size_t piece = 0; data.size() < size; ++piece) {
    const size_t part = std::min(PieceSize, size - data.size());
    switch (piece % 5) {
    case 0:
    case 1:
      data += Text(part, random);
      break;
    case 2:
    case 3:
      data += Compressed(part, random);
      break;
    default:
      data.append(part, '\0');
      break;
    }
  }
  return data;
}

} // namespace BenchData
