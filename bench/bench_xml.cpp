// The XML reader over a 50 MB document of many small elements, the tokenizer alone over the
// same bytes (with the number of allocations it makes per token), and a variables store of
// 100,000 entries of which every second one refers to others, and a 1 MB variables file whose
// one value is 250,000 references (resolving it once cost a move of the rest of the value per
// reference). Run one benchmark per process under /usr/bin/time -v for its peak memory.

#include "variables/u_Variables.h"
#include "xml/u_SpaceParser.h"
#include "xml/u_SpaceXMLParser.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

// Every allocation of the process is counted, so a run can tell what one token costs. GCC
// takes the free in the replaced delete for a mismatch with the replaced new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<uint64_t> AllocationCount{0};
}

void* operator new(size_t size) {
  AllocationCount.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size ? size : 1))
    return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, size_t) noexcept {
  std::free(block);
}

namespace {

constexpr size_t DocumentSize = 50u << 20;
constexpr int VariableCount = 100000;

// Small elements as an e-book's files carry them: a name, a number, a short text, sometimes an
// escaped byte, one per line below one root.
const std::string& Document() {
  static const std::string document = [] {
    std::string text = "<book title=\"Benchmark\" version=3>\r\n";
    char element[160];
    for (int i = 0; text.size() < DocumentSize; ++i) {
      const int length = std::snprintf(
          element, sizeof element,
          "  <item id=%d name=\"Item %d\" price=%d.5>Text of item %d \\< %d</item>\r\n", i, i,
          i % 1000, i, i * 7);
      text.append(element, size_t(length));
    }
    return text + "</book>\r\n";
  }();
  return document;
}

std::string VariableName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "Var%06d", i);
  return name;
}

const std::string& VariablesFile() {
  static const std::string file = [] {
    TVariableEntries entries;
    // Odd entries refer to a scattered plain one, every fourth also to the odd one before it
    // (a chain of two), and to a name that does not exist.
    for (int i = 0; i < VariableCount; ++i) {
      const std::string scattered = VariableName((i * 7919) % VariableCount & ~1);
      if (i % 4 == 3)
        entries.emplace_back(VariableName(i), "After %{" + VariableName(i - 2) + "} comes %{" +
                                                  scattered + "} and %{Unknown}");
      else if (i % 2 == 1)
        entries.emplace_back(VariableName(i), "See %{" + scattered + "} and %{Unknown}");
      else
        entries.emplace_back(VariableName(i), "Plain value number " + std::to_string(i));
    }
    return VariablesFileText(entries);
  }();
  return file;
}

// The same size in paragraphs without attributes: the reader's own pace, without the attribute
// dictionaries.
const std::string& ContentDocument() {
  static const std::string document = [] {
    std::string text = "<book>\r\n";
    char element[160];
    for (int i = 0; text.size() < DocumentSize; ++i) {
      const int length =
          std::snprintf(element, sizeof element,
                        "  <p>Paragraph %d of the book, 50 \\%% off \\< %d</p>\r\n", i, i * 7);
      text.append(element, size_t(length));
    }
    return text + "</book>\r\n";
  }();
  return document;
}

void ParseDocument(benchmark::State& state, const std::string& document) {
  for (auto _ : state) {
    TStringStream stream(document);
    TXMLParser parser(TCodePage(1252));
    parser.LoadFromStream(stream);
    benchmark::DoNotOptimize(parser.Root()->Nodes().Count());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(document.size()));
}

void BM_ParseXml50MB(benchmark::State& state) {
  ParseDocument(state, Document());
}
BENCHMARK(BM_ParseXml50MB)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ParseXml50MBContentOnly(benchmark::State& state) {
  ParseDocument(state, ContentDocument());
}
BENCHMARK(BM_ParseXml50MBContentOnly)->Unit(benchmark::kMillisecond)->Iterations(3);

// The tokens the XML reader would ask for: ordinary mode inside tags, characters between them.
void BM_Tokenize50MB(benchmark::State& state) {
  const std::string& document = Document();
  uint64_t tokens = 0;
  uint64_t allocations = 0;
  for (auto _ : state) {
    TStringStream stream(document);
    TSpaceParser parser(stream, false, TCodePage(1252));
    const uint64_t before = AllocationCount.load();
    while (parser.Token() != toEOF) {
      if (parser.Token() == '<')
        parser.SetCharMode(false);
      else if (parser.Token() == '>')
        parser.SetCharMode(true);
      parser.NextToken();
      ++tokens;
    }
    allocations += AllocationCount.load() - before;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(document.size()));
  state.counters["tokens"] = double(tokens) / double(state.iterations());
  state.counters["allocs_per_token"] = double(allocations) / double(tokens);
}
BENCHMARK(BM_Tokenize50MB)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LoadVariables100k(benchmark::State& state) {
  const std::string& file = VariablesFile();
  for (auto _ : state) {
    TVariables variables(file, false, TCodePage(1252));
    benchmark::DoNotOptimize(variables.Values(VariableName(1)));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
  state.SetItemsProcessed(int64_t(state.iterations()) * VariableCount);
}
BENCHMARK(BM_LoadVariables100k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LoadVariablesManyReferences(benchmark::State& state) {
  constexpr int references = 250'000;
  std::string file = "<vars><var name=\"A\">" + std::string(256, 'a') + "</var><var name=\"B\">";
  for (int i = 0; i < references; ++i)
    file += i % 1000 == 999 ? "%{A}\n" : "%{A}"; // the tokenizer's lines are bounded
  file += "</var></vars>";
  for (auto _ : state) {
    TVariables variables(file, false, TCodePage(1252));
    benchmark::DoNotOptimize(variables.Values("B").size());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
}
BENCHMARK(BM_LoadVariablesManyReferences)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_WriteVariables100k(benchmark::State& state) {
  const TVariables variables(VariablesFile(), false, TCodePage(1252));
  TVariableEntries entries;
  for (const std::string& name : variables.Names())
    entries.emplace_back(name, variables.Values(name));
  for (auto _ : state)
    benchmark::DoNotOptimize(VariablesFileText(entries).size());
  state.SetItemsProcessed(int64_t(state.iterations()) * VariableCount);
}
BENCHMARK(BM_WriteVariables100k)->Unit(benchmark::kMillisecond);

} // namespace
