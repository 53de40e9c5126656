// Opening and branding a generated book of about 100 MB of content, with the peak resident
// memory of each operation (the kernel's high-water mark, reset before it). Argument 1 listens
// to the progress reports, 0 does not: the two should not differ measurably. And the window's
// work after an edit on a book of many variables.
#include "BenchBook.h"
#include "common/u_Files.h"
#include "ebook/u_EBookDocument.h"
#include "mfs/u_MFS.h"
#include "resources/u_Resources.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr size_t FileCount = 400;
constexpr size_t FileSize = 256 * 1024; // 400 files of 256 KiB: 100 MiB of content
constexpr double MiB = 1024.0 * 1024.0;

// Text, incompressible bytes and zeros in turn, as a book of pages, pictures and padding.
std::string MakeFileContent(size_t index, std::mt19937& random) {
  std::string bytes(FileSize, '\0');
  switch (index % 3) {
  case 0: {
    static const std::string line = "<p>The garden in spring: tulips, peonies and roses.</p>\r\n";
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = line[(i + index) % line.size()];
    break;
  }
  case 1:
    for (char& byte : bytes)
      byte = static_cast<char>(random());
    break;
  default:
    break;
  }
  return bytes;
}

class TBenchBook {
public:
  TBenchBook() {
    FFolder = fs::temp_directory_path() / "folioset-bench-ebook";
    fs::remove_all(FFolder);
    fs::create_directories(FFolder);
    TMFS content(TCodePage(1252));
    TMFSSession& session = BenchBook::DescribeBook(content);
    std::mt19937 random(42);
    for (size_t i = 0; i < FileCount; ++i)
      session.CreateFile("\\pages\\page" + std::to_string(i) + ".dat", 0, false)
          ->SetContent(MakeFileContent(i, random));
    FPath = (FFolder / "big.exe").string();
    fs::copy_file(std::string(FOLIOSET_SAMPLES) + "/typical.exe", FPath);
    fs::permissions(FPath, fs::perms::owner_write, fs::perm_options::add);
    UpdateRCDataResource(FPath, "SYSTEM_MFS", PackSystemMFS(content));
  }
  ~TBenchBook() { fs::remove_all(FFolder); }
  const std::string& Path() const { return FPath; }

private:
  fs::path FFolder;
  std::string FPath;
};

const TBenchBook& Book() {
  static const TBenchBook book;
  return book;
}

void ResetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

double PeakMemoryMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0)
      return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

void ReportPeak(benchmark::State& state, double peak) {
  state.counters["peak_MiB"] = peak;
  state.counters["peak_per_content"] = peak / (FileCount * FileSize / MiB);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FileCount * FileSize));
}

// Counts the reports when the benchmark's argument asks for a listener.
void ListenToProgress(benchmark::State& state, TEBookDocument& document, int64_t& reports) {
  if (state.range(0))
    document.OnProgress = [&reports](TEBookStep, int) { ++reports; };
}

void BM_OpenBook(benchmark::State& state) {
  const std::string& path = Book().Path();
  double peak = 0;
  int64_t reports = 0;
  for (auto _ : state) {
    TEBookDocument document(TCodePage(1252));
    ListenToProgress(state, document, reports);
    ResetPeakMemory();
    document.OpenEBook(path);
    peak = std::max(peak, PeakMemoryMiB());
    benchmark::DoNotOptimize(document.Rows());
  }
  ReportPeak(state, peak);
  state.counters["progress_reports"] = double(reports) / double(state.iterations());
}

void BM_BrandBook(benchmark::State& state) {
  const std::string& path = Book().Path();
  TEBookDocument document(TCodePage(1252));
  int64_t reports = 0;
  document.OpenEBook(path);
  ListenToProgress(state, document, reports);
  double peak = 0;
  int edition = 0;
  for (auto _ : state) {
    ResetPeakMemory();
    TVariableRows rows = document.Rows();
    rows.front().Value = "Edition " + std::to_string(++edition);
    document.UpdateEBook(rows);
    peak = std::max(peak, PeakMemoryMiB());
  }
  ReportPeak(state, peak);
  state.counters["progress_reports"] = double(reports) / double(state.iterations());
}

// What the window computes after each edit: every value resolved from the rows as they stand,
// on a book of state.range(0) variables, a tenth of them naming the one edited.
void BM_ResolveEdit(benchmark::State& state) {
  const fs::path folder = fs::temp_directory_path() / "folioset-bench-resolve";
  fs::create_directories(folder);
  const std::string path = (folder / "variables.exe").string();
  std::string variables = "<vars><var name=\"Company\">Quill Press</var>";
  for (int64_t i = 0; i < state.range(0); ++i)
    variables += "<var name=\"Line" + std::to_string(i) + "\">" +
                 (i % 10 == 0 ? "(c) %{Company}, line " : "Plain line ") + std::to_string(i) +
                 "</var>\r\n";
  TMFS content(TCodePage(1252));
  BenchBook::DescribeBook(content).GetFile("\\Variables.xml")->SetContent(variables + "</vars>");
  fs::copy_file(std::string(FOLIOSET_SAMPLES) + "/typical.exe", path,
                fs::copy_options::overwrite_existing);
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
  UpdateRCDataResource(path, "SYSTEM_MFS", PackSystemMFS(content));
  TEBookDocument document(TCodePage(1252));
  document.OpenEBook(path);
  TVariableRows rows = document.Rows();
  int edition = 0;
  for (auto _ : state) {
    rows.front().Value = "Company " + std::to_string(++edition);
    benchmark::DoNotOptimize(document.ResolveWith(rows));
  }
  fs::remove_all(folder);
}

} // namespace

BENCHMARK(BM_ResolveEdit)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenBook)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BrandBook)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
