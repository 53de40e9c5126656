// Packing and unpacking a 100 MB member of mixed data (text, already-compressed bytes, zeros)
// through the session-file cabinet writer and reader, against gcab -c -z and cabextract on the
// same data in the same run. Counters: the cabinet sizes and MB/s of the member.

#include "cab/u_MFSCab.h"
#include "common/u_Files.h"
#include "mfs/u_MFS.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

constexpr size_t MemberSize = 100'000'000;
constexpr size_t PieceSize = 1'000'000;

// Text with the shape of a book's pages: words of a few thousand, the frequent ones far more
// frequent (Zipf), in paragraphs of markup.
std::string Text(size_t size, std::mt19937& random) {
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
std::string Compressed(size_t size, std::mt19937& random) {
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

const std::string& Member() {
  static const std::string member = [] {
    std::mt19937 random(2024);
    std::string data;
    data.reserve(MemberSize);
    for (size_t piece = 0; data.size() < MemberSize; ++piece) {
      const size_t size = std::min(PieceSize, MemberSize - data.size());
      switch (piece % 5) {
      case 0:
      case 1:
        data += Text(size, random);
        break;
      case 2:
      case 3:
        data += Compressed(size, random);
        break;
      default:
        data.append(size, '\0');
        break;
      }
    }
    return data;
  }();
  return member;
}

// The member and both tools' cabinets on disk, made once.
struct TDiskCopies {
  std::string folder;
  std::string member;
  std::string gcabCabinet;
  TDiskCopies() {
    folder = (std::filesystem::temp_directory_path() /
              ("folioset-bench-cab-" + std::to_string(::getpid())))
                 .string();
    std::filesystem::create_directories(folder);
    member = folder + "/member.bin";
    gcabCabinet = folder + "/gcab.cab";
    SaveStringToFile(Member(), member);
  }
  ~TDiskCopies() { std::filesystem::remove_all(folder); }
};

TDiskCopies& Disk() {
  static TDiskCopies disk;
  return disk;
}

bool HaveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string PackWithWriter(TMFS& fs) {
  {
    TMFSCabWriter writer(fs.Session(), "", "System.cab");
    writer.AddFile("\\info.mfs");
    writer.FlushCabinet();
  }
  return fs.Session().ReadFile("\\System.cab");
}

void SetThroughput(benchmark::State& state) {
  state.SetBytesProcessed(int64_t(state.iterations() * MemberSize));
}

void BM_PackWriter(benchmark::State& state) {
  size_t cabinetSize = 0;
  for (auto _ : state) {
    state.PauseTiming();
    TMFS fs;
    fs.Session().WriteFile("\\info.mfs", Member());
    state.ResumeTiming();
    cabinetSize = PackWithWriter(fs).size();
  }
  state.counters["cabinet_bytes"] = double(cabinetSize);
  SetThroughput(state);
}

void BM_UnpackReader(benchmark::State& state) {
  TMFS source;
  source.Session().WriteFile("\\info.mfs", Member());
  const std::string cabinet = PackWithWriter(source);
  for (auto _ : state) {
    state.PauseTiming();
    TMFS fs;
    fs.Session().WriteFile("\\info.cab", cabinet);
    state.ResumeTiming();
    TMFSCabReader reader(fs.Session(), "\\info.cab");
    reader.Extract("info.mfs", "\\info.mfs");
    benchmark::DoNotOptimize(fs.Session().GetFile("\\info.mfs")->Content().size());
  }
  SetThroughput(state);
}

void BM_UnpackReaderGcabCabinet(benchmark::State& state) {
  if (!HaveTool("gcab")) {
    state.SkipWithError("gcab is not installed");
    return;
  }
  TDiskCopies& disk = Disk();
  const std::string command = "cd '" + disk.folder + "' && gcab -c -z gcab.cab member.bin";
  if (std::system(command.c_str()) != 0) {
    state.SkipWithError("gcab failed");
    return;
  }
  const std::string cabinet = LoadFileToString(disk.gcabCabinet);
  for (auto _ : state) {
    state.PauseTiming();
    TMFS fs;
    fs.Session().WriteFile("\\info.cab", cabinet);
    state.ResumeTiming();
    TMFSCabReader reader(fs.Session(), "\\info.cab");
    reader.Extract("member.bin", "\\member.bin");
  }
  SetThroughput(state);
}

void BM_PackGcab(benchmark::State& state) {
  if (!HaveTool("gcab")) {
    state.SkipWithError("gcab is not installed");
    return;
  }
  TDiskCopies& disk = Disk();
  const std::string command = "cd '" + disk.folder + "' && gcab -c -z gcab.cab member.bin";
  for (auto _ : state)
    if (std::system(command.c_str()) != 0)
      state.SkipWithError("gcab failed");
  state.counters["cabinet_bytes"] = double(std::filesystem::file_size(disk.gcabCabinet));
  SetThroughput(state);
}

void BM_UnpackCabextract(benchmark::State& state) {
  if (!HaveTool("cabextract") || !HaveTool("gcab")) {
    state.SkipWithError("cabextract or gcab is not installed");
    return;
  }
  TDiskCopies& disk = Disk();
  const std::string pack = "cd '" + disk.folder + "' && gcab -c -z gcab.cab member.bin";
  const std::string unpack =
      "cabextract -q -d '" + disk.folder + "/out' '" + disk.gcabCabinet + "'";
  if (std::system(pack.c_str()) != 0) {
    state.SkipWithError("gcab failed");
    return;
  }
  for (auto _ : state)
    if (std::system(unpack.c_str()) != 0)
      state.SkipWithError("cabextract failed");
  SetThroughput(state);
}

} // namespace

BENCHMARK(BM_PackWriter)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_PackGcab)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_UnpackReader)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_UnpackCabextract)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_UnpackReaderGcabCabinet)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
