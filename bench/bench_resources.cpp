// Replacing a 50 MB SYSTEM_MFS in a 300 MB executable whose resource section is followed by
// other sections and an overlay, against a plain copy of the same file (both flushed to disk).
// The content alternates between two sizes so that every replacement moves the tail.
// Peak memory: run under /usr/bin/time -v with --benchmark_filter=Replace.

#include "common/u_Files.h"
#include "resources/u_Resources.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr size_t ContentSize = 50u << 20;
constexpr uint64_t FileSize = 300ull << 20;
constexpr size_t SizeStep = 100u << 10; // the second content size: one whole tail move

std::string Content() {
  std::string content(ContentSize + SizeStep, '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = char((i * 2654435761u) >> 13);
  content.resize(ContentSize);
  return content;
}

// The 300 MB book: the sample whose .rsrc is followed by .reloc and .tail, with the content
// resource and an overlay that brings it to FileSize.
const std::string& Book() {
  static const std::string path = [] {
    const std::string book = TempFolder() + "/folioset-bench-book.exe";
    const auto sample = std::filesystem::path(FOLIOSET_SAMPLES) / "rsrc_not_last.exe";
    std::filesystem::copy_file(sample, book, std::filesystem::copy_options::overwrite_existing);
    UpdateRCDataResource(book, "SYSTEM_MFS", Content());
    const int fd = ::open(book.c_str(), O_WRONLY | O_APPEND);
    const std::string piece(1 << 20, 'o');
    for (uint64_t size = std::filesystem::file_size(book); size < FileSize; size += piece.size())
      if (::write(fd, piece.data(), piece.size()) != ssize_t(piece.size()))
        std::abort();
    ::close(fd);
    return book;
  }();
  return path;
}

void BM_ReplaceSystemMFS(benchmark::State& state) {
  const std::string& book = Book();
  std::string content = Content();
  bool larger = false;
  for (auto _ : state) {
    larger = !larger;
    content.resize(larger ? ContentSize + SizeStep : ContentSize); // within the capacity
    UpdateRCDataResource(book, "SYSTEM_MFS", content);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(std::filesystem::file_size(book)));
}
BENCHMARK(BM_ReplaceSystemMFS)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(6)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_PlainCopy(benchmark::State& state) {
  const std::string& book = Book();
  const std::string copy = book + ".copy";
  for (auto _ : state) {
    std::filesystem::copy_file(book, copy, std::filesystem::copy_options::overwrite_existing);
    const int fd = ::open(copy.c_str(), O_RDWR);
    ::fsync(fd);
    ::close(fd);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(std::filesystem::file_size(book)));
  std::filesystem::remove(copy);
}
BENCHMARK(BM_PlainCopy)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(6)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

} // namespace
