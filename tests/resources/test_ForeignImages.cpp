#include "ResTestSupport.h"

#include "common/u_Files.h"
#include "resources/u_ModuleIcon.h"
#include "resources/u_Resources.h"

#include <cerrno>

// Real PE32 files that we did not write: Debian's NSIS stubs and plugins, and programs built
// here with the mingw-w64 toolchain. Each gets a large content resource and a new icon group,
// then pefile checks the result against the original.

namespace {

const char* NsisStubs = "/usr/share/nsis/Stubs";
const char* NsisPlugins = "/usr/share/nsis/Plugins/x86-ansi";

std::vector<std::string> Files(const std::string& folder, const std::string& contains) {
  std::vector<std::string> files;
  if (!fs::is_directory(folder))
    return files;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().filename().string().find(contains) != std::string::npos)
      files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

int ErrorCode(const std::function<void()>& action) {
  try {
    action();
  } catch (const EOSError& e) {
    return e.ErrorCode();
  }
  return 0;
}

} // namespace

class ForeignImageTest : public TResourceTest {
protected:
  // Content and icon group replaced on a copy of original; pefile checks the rest is intact.
  void UpdateAndVerify(const std::string& original, const std::string& overlay = {}) {
    SCOPED_TRACE(original);
    const std::string path = PathOf("image.exe");
    fs::copy_file(original, path, fs::copy_options::overwrite_existing);
    SaveStringToFile(LoadFileToString(path) + overlay, path);
    const std::string content = "MSCF" + std::string(70000, 'm');
    const std::string ico = LoadFileToString(SamplePath("samples/icons/brand_3.ico"));
    UpdateRCDataResource(path, "SYSTEM_MFS", content);
    UpdateIconGroupResource(path, "MAINICON", 1, ico);
    const TIconGroupData group = IconFileToGroup(ico, 1);
    std::vector<std::string> args = {"--keep",          original,     "--has",
                                     "RCDATA",          "SYSTEM_MFS", "0",
                                     DataFile(content), "--has",      "14",
                                     "MAINICON",        "0",          DataFile(group.GroupRecord)};
    for (size_t i = 0; i < group.Images.size(); ++i)
      args.insert(args.end(),
                  {"--has", "3", std::to_string(i + 1), "0", DataFile(group.Images[i])});
    if (!overlay.empty())
      args.insert(args.end(), {"--overlay", DataFile(overlay)});
    EXPECT_EQ(VerifyPE(path, args), "");
    const TPEModule module(path);
    EXPECT_EQ(ReadModuleResource(module, "RCDATA", "SYSTEM_MFS"), content);
    EXPECT_EQ(LoadModuleIcon(module, "MAINICON").size(), 22u + group.Images[1].size());
    EXPECT_TRUE(RewriterLeftovers().empty());
  }
};

TEST_F(ForeignImageTest, NsisStubsAndPluginsWithResources) {
  const auto stubs = Files(NsisStubs, "-x86-");
  const auto plugins = {std::string(NsisPlugins) + "/LangDLL.dll",
                        std::string(NsisPlugins) + "/nsDialogs.dll"};
  if (stubs.empty())
    GTEST_SKIP() << "nsis-common is not installed";
  for (const std::string& stub : stubs)
    UpdateAndVerify(stub, "installer data behind the stub");
  for (const std::string& plugin : plugins) // .rsrc followed by .reloc
    UpdateAndVerify(plugin);
}

TEST_F(ForeignImageTest, NsisFilesTheRewriterRefuses) {
  const auto amd64 = Files(NsisStubs, "-amd64-");
  if (amd64.empty())
    GTEST_SKIP() << "nsis-common is not installed";
  for (const std::string& stub : amd64) {
    const std::string path = PathOf("stub64.exe");
    fs::copy_file(stub, path, fs::copy_options::overwrite_existing);
    EXPECT_EQ(ErrorCode([&] { UpdateRCDataResource(path, "SYSTEM_MFS", "x"); }), ENOEXEC) << stub;
    EXPECT_EQ(LoadFileToString(path), LoadFileToString(stub));
  }
  const std::string plugin = PathOf("Banner.dll");
  fs::copy_file(std::string(NsisPlugins) + "/Banner.dll", plugin);
  EXPECT_EQ(ErrorCode([&] { UpdateRCDataResource(plugin, "SYSTEM_MFS", "x"); }), ENOENT)
      << "no resource section";
  const std::string uninst = PathOf("uninst");
  fs::copy_file(std::string(NsisStubs) + "/uninst", uninst);
  EXPECT_EQ(ErrorCode([&] { TPEModule module(uninst); }), ENOEXEC) << "no image at all";
}

#ifdef FOLIOSET_MINGW_IMAGES
TEST_F(ForeignImageTest, MingwProgramsInEveryLayout) {
  const std::string folder = FOLIOSET_MINGW_IMAGES;
  // Last section; followed by .reloc; debug directory, DWARF sections behind .rsrc and a COFF
  // symbol table whose string table names them; FileAlignment 0x1000.
  for (const char* name : {"rsrc_last", "rsrc_reloc", "debug_symbols", "file_align_1000"})
    UpdateAndVerify(folder + "/" + name + ".exe", name == std::string("rsrc_last") ? "tail" : "");
  const std::string bare = PathOf("no_rsrc.exe");
  fs::copy_file(folder + "/no_rsrc.exe", bare);
  EXPECT_EQ(ErrorCode([&] { UpdateRCDataResource(bare, "SYSTEM_MFS", "x"); }), ENOENT);
  EXPECT_EQ(ReadModuleResource(TPEModule(bare), "RCDATA", "SYSTEM_MFS"), "");
}

TEST_F(ForeignImageTest, LongSectionNamesSurviveTheSymbolTableMove) {
  const std::string path = PathOf("debug.exe");
  fs::copy_file(std::string(FOLIOSET_MINGW_IMAGES) + "/debug_symbols.exe", path);
  const std::string before = LoadFileToString(path);
  const uint32_t symbols = Get32(before, Get32(before, 0x3C) + 4 + 8);
  ASSERT_NE(symbols, 0u);
  UpdateRCDataResource(path, "SYSTEM_MFS", std::string(50000, 's'));
  const std::string after = LoadFileToString(path);
  const uint32_t moved = Get32(after, Get32(after, 0x3C) + 4 + 8);
  EXPECT_GT(moved, symbols);
  EXPECT_EQ(after.substr(moved), before.substr(symbols)) << "symbol and string tables moved whole";
}
#endif
