// TDictionary as every caller creates it (case-insensitive, sorted) against std::map ordered by
// the same comparison, TCodePage::CompareText in windows-1252: 100,000 insertions, then 100,000
// lookups of the keys written in another case.

#include "common/u_AnsiText.h"
#include "containers/u_Dictionary.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int KeyCount = 100000;

const TCodePage& BenchCodePage() {
  static const TCodePage codePage(1252);
  return codePage;
}

struct TAnsiTextLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return BenchCodePage().CompareText(a, b) < 0;
  }
};
using TAnsiTextMap = std::map<std::string, intptr_t, TAnsiTextLess>;

// Distinct keys shaped like variable and file names, in random order.
const std::vector<std::string>& Keys() {
  static const std::vector<std::string> keys = [] {
    std::mt19937 random(42);
    std::vector<std::string> result;
    result.reserve(KeyCount);
    const char* stems[] = {"Variable", "Title", "README", "image", "Chapter", "index"};
    for (int i = 0; i < KeyCount; ++i) {
      std::string key = stems[random() % 6];
      key += '_' + std::to_string(i) + (i % 3 == 0 ? ".txt" : "");
      result.push_back(std::move(key));
    }
    std::shuffle(result.begin(), result.end(), random);
    return result;
  }();
  return keys;
}

const std::vector<std::string>& UpperCaseKeys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> result = Keys();
    for (std::string& key : result)
      std::transform(key.begin(), key.end(), key.begin(),
                     [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
  }();
  return keys;
}

void BM_DictionaryInsert(benchmark::State& state) {
  const auto& keys = Keys();
  for (auto _ : state) {
    TDictionary dictionary(BenchCodePage(), true);
    for (size_t i = 0; i < keys.size(); ++i)
      dictionary.Add(keys[i], static_cast<intptr_t>(i));
    benchmark::DoNotOptimize(dictionary.Count());
  }
  state.SetItemsProcessed(state.iterations() * KeyCount);
}
BENCHMARK(BM_DictionaryInsert)->Unit(benchmark::kMillisecond);

void BM_StdMapInsert(benchmark::State& state) {
  const auto& keys = Keys();
  for (auto _ : state) {
    TAnsiTextMap map;
    for (size_t i = 0; i < keys.size(); ++i)
      map.emplace(keys[i], static_cast<intptr_t>(i));
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * KeyCount);
}
BENCHMARK(BM_StdMapInsert)->Unit(benchmark::kMillisecond);

void BM_DictionaryLookup(benchmark::State& state) {
  const auto& keys = Keys();
  TDictionary dictionary(BenchCodePage(), true);
  for (size_t i = 0; i < keys.size(); ++i)
    dictionary.Add(keys[i], static_cast<intptr_t>(i));
  for (auto _ : state) {
    intptr_t sum = 0;
    for (const std::string& key : UpperCaseKeys())
      sum += dictionary.Get_Item(key);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * KeyCount);
}
BENCHMARK(BM_DictionaryLookup)->Unit(benchmark::kMillisecond);

void BM_StdMapLookup(benchmark::State& state) {
  const auto& keys = Keys();
  TAnsiTextMap map;
  for (size_t i = 0; i < keys.size(); ++i)
    map.emplace(keys[i], static_cast<intptr_t>(i));
  for (auto _ : state) {
    intptr_t sum = 0;
    for (const std::string& key : UpperCaseKeys())
      sum += map.at(key);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * KeyCount);
}
BENCHMARK(BM_StdMapLookup)->Unit(benchmark::kMillisecond);

} // namespace
