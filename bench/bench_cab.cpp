// Packing and unpacking a 100 MB member of mixed data (text, already-compressed bytes, zeros)
// through the session-file cabinet writer and reader, against gcab -c -z and cabextract on the
// same data in the same run. Counters: the cabinet sizes and MB/s of the member.

#include "BenchData.h"
#include "cab/u_MFSCab.h"
#include "common/u_Files.h"
#include "mfs/u_MFS.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

constexpr size_t MemberSize = 100'000'000;

const std::string& Member() {
  static const std::string member = BenchData::MixedData(MemberSize);
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
    TMFS fs(TCodePage(1252));
    fs.Session().WriteFile("\\info.mfs", Member());
    state.ResumeTiming();
    cabinetSize = PackWithWriter(fs).size();
  }
  state.counters["cabinet_bytes"] = double(cabinetSize);
  SetThroughput(state);
}

void BM_UnpackReader(benchmark::State& state) {
  TMFS source(TCodePage(1252));
  source.Session().WriteFile("\\info.mfs", Member());
  const std::string cabinet = PackWithWriter(source);
  for (auto _ : state) {
    state.PauseTiming();
    TMFS fs(TCodePage(1252));
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
    TMFS fs(TCodePage(1252));
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
