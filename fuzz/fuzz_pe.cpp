// Damaged executables through begin and the parser: the headers, the resource tree, the layout
// plan and the build of a new section in memory, then a real update on a scratch copy (begin,
// change, commit), which must either fail or leave an image the parser reads again and whose
// checksum is right.

#include "common/u_FileSnapshot.h"
#include "common/u_Files.h"
#include "resources/u_ModuleIcon.h"
#include "resources/u_PEModule.h"
#include "resources/vexLayout.h"
#include "resources/vexRes.h"
#include "resources/vexResTree.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static void BuildInMemory(const uint8_t* data, size_t size) {
  try {
    const TByteView bytes(data, size);
    const TImageHeaders headers = ReadImageHeaders(bytes);
    const int section = headers.ResourceSection();
    if (section < 0)
      return;
    CheckResourceSectionPlace(bytes, headers, section);
    const auto root = ResTreeParse(bytes, headers.Sections[size_t(section)]);
    const TResTreeSize measured = ResTreeMeasure(*root);
    PlanResourceLayout(bytes, headers, section, measured.Total());
    std::vector<uint8_t> image(measured.Total());
    ResTreeWrite(*root, measured, image.data(), headers.Sections[size_t(section)].VirtualAddress,
                 false);
  } catch (const EFileIOError&) { // EDamagedData, or EVexError for what the rewriter refuses
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Outlives the exit handler that removes it.
  static const std::string& folder = *[] {
    // A memory file system where there is one: commits flush the new file, which costs a disk
    // write elsewhere.
    const std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : TempFolder();
    auto* path = new std::string(base + "/fuzz_pe." + std::to_string(::getpid()));
    ::mkdir(path->c_str(), 0700);
    ::setenv("TMPDIR", path->c_str(), 1);
    std::atexit([] { std::filesystem::remove_all(folder); });
    return path;
  }();
  BuildInMemory(data, size);

  const std::string path = folder + "/image.exe";
  SaveStringToFile(std::string(reinterpret_cast<const char*>(data), size), path);
  // The probe that reads only the headers and the resource tree must tell what the parse of
  // the whole file tells: the same place, and only where it stands alone.
  const TResIdent type(u"RCDATA"), name(u"SYSTEM_MFS");
  std::optional<TFileRange> probed;
  try {
    const TOpenedFile file = TOpenedFile::Open(path);
    TSnapshotReader reader(file.Handle(), path, MaxImageFileSize);
    probed = FindStandAloneResource(reader, path, type, name);
  } catch (const Exception&) { // a file the reads refuse
  }
  try {
    const TPEModule module(path);
    LoadModuleIcon(module, "MAINICON");
    const auto data = module.FindResource(type, name);
    if (probed && (!data || !module.ResourceStandsAlone(type, name) ||
                   probed->Offset != module.OffsetOf(*data) || probed->Size != data->size()))
      std::abort();
  } catch (const EOSError&) {
    if (probed)
      std::abort();
  }
  TResUpdateContext* update = BeginResourceUpdate(path, false);
  if (!update)
    return 0;
  const std::string content(40000, 'x'); // large enough for a spool file
  UpdateResourceEntry(update, TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS"), 0, content.data(),
                      uint32_t(content.size()));
  UpdateResourceEntry(update, TResIdent(14), TResIdent(u"MAINICON"), 0, nullptr, 0);
  // One input in four commits, the others discard.
  if (size % 4 != 0) {
    EndResourceUpdate(update, true);
    return 0;
  }
  if (EndResourceUpdate(update, false)) {
    const TPEModule module(path); // what was written must load again
    if (!module.FindResource(TResIdent(u"RCDATA"), TResIdent(u"SYSTEM_MFS")))
      std::abort();
    // The checksum, summed from the pieces the file was made of, is the whole file's.
    std::string written = LoadFileToString(path);
    auto* bytes = reinterpret_cast<uint8_t*>(written.data());
    const uint32_t field = ReadImageHeaders(TByteView(bytes, written.size())).CheckSumOffset();
    uint32_t stored = 0;
    std::memcpy(&stored, bytes + field, 4);
    std::memset(bytes + field, 0, 4);
    TImageChecksum whole;
    whole.Add(bytes, written.size());
    if (whole.Finish(written.size()) != stored)
      std::abort();
  }
  return 0;
}
