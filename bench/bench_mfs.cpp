// Saving and loading a big book's file system (about 200 MB in a few thousand files of mixed
// sizes), file streams in the cabinet engine's chunk size, and a plain memory copy of the same
// bytes as the yardstick. Run one benchmark per process under /usr/bin/time -v for its peak.

#include "common/u_Common.h"
#include "mfs/u_MFS.h"

#include <benchmark/benchmark.h>
#include <cstring>

namespace {

constexpr int FileCount = 3000;
constexpr size_t StreamChunk = 32768; // what the cabinet engine asks for at a time

// Sizes: mostly pages and images of a few KB to a few hundred KB, a few media files of MBs.
size_t FileSize(int index) {
  const uint32_t mix = uint32_t(index) * 2654435761u;
  if (index % 100 == 0)
    return (4u << 20) + (mix & 0xFFFFF); // 30 files of 4-5 MB
  if (index % 10 == 0)
    return (96u << 10) + (mix & 0x1FFFF); // 270 files of 96-224 KB
  return 1024 + (mix & 0x7FFF);           // 2700 files of 1-33 KB
}

void FillTree(TMFS& fs) {
  TMFSSession& s = fs.Session();
  for (int i = 0; i < FileCount; ++i) {
    std::string content(FileSize(i), '\0');
    for (size_t j = 0; j < content.size(); j += 64)
      content[j] = char(i + j);
    s.WriteFile(Format("\\book\\part%02d\\chapter%03d\\file%05d.bin", i % 7, i % 50, i),
                std::move(content));
  }
}

std::string SavedBook() {
  TMFS fs(TCodePage(1252));
  FillTree(fs);
  return fs.SaveToString();
}

void BM_MemoryCopy(benchmark::State& state) {
  const std::string data = SavedBook();
  for (auto _ : state) {
    std::string copy(data);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_MemoryCopy)->Unit(benchmark::kMillisecond);

void BM_SaveToString(benchmark::State& state) {
  TMFS fs(TCodePage(1252));
  FillTree(fs);
  size_t size = 0;
  for (auto _ : state) {
    std::string saved = fs.SaveToString();
    size = saved.size();
    benchmark::DoNotOptimize(saved.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_SaveToString)->Unit(benchmark::kMillisecond);

void BM_LoadFromString(benchmark::State& state) {
  const std::string data = SavedBook(); // the tree it came from is gone: the peak is the load's
  for (auto _ : state) {
    TMFS fs(TCodePage(1252));
    fs.LoadFromString(data);
    benchmark::DoNotOptimize(fs.Root());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_LoadFromString)->Unit(benchmark::kMillisecond);

void BM_BodyChecksum(benchmark::State& state) {
  const std::string data = SavedBook();
  for (auto _ : state)
    benchmark::DoNotOptimize(TextChecksum(std::string_view(data).substr(11)));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size() - 11));
}
BENCHMARK(BM_BodyChecksum)->Unit(benchmark::kMillisecond);

// The serialized book written into one session file and read back in cabinet-sized chunks.
void BM_FileStreamChunks(benchmark::State& state) {
  const std::string data = SavedBook();
  std::string buffer(StreamChunk, '\0');
  for (auto _ : state) {
    TMFS fs(TCodePage(1252));
    auto stream = fs.Session().CreateFileStream("\\info.mfs", CREATE_NEW, 0);
    for (size_t offset = 0; offset < data.size(); offset += StreamChunk)
      stream->WriteBuffer(data.data() + offset,
                          int64_t(std::min(StreamChunk, data.size() - offset)));
    stream->Seek(0, soBeginning);
    while (stream->Read(buffer.data(), int64_t(buffer.size())) > 0)
      benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()) * 2);
}
BENCHMARK(BM_FileStreamChunks)->Unit(benchmark::kMillisecond);

} // namespace
