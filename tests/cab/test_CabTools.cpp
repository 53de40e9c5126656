// Interoperability with cabinet tools we did not write: gcab makes cabinets our reader must
// read byte-exactly, cabextract and gcab must list and extract the cabinets we write.

#include "CabTestSupport.h"

#include "common/u_Files.h"

#include <gtest/gtest.h>

namespace {

#define REQUIRE_TOOL(name)                                                                         \
  if (!HaveTool(name))                                                                             \
  GTEST_SKIP() << name << " is not installed (scripts/setup installs it)"

std::vector<TMember> InteropMembers() {
  return {
      {"text.txt", TextData(3'000'000, 21)},
      {"mixed.bin", MixedData(5'000'000, 22)},
      {"zeros.bin", std::string(1'000'000, '\0')},
      {"empty.dat", ""},
      {"exact.bin", RandomData(32768, 23)},
      {"Info.MFS", TextData(5000, 24), {0x5A21, 0x6000, 0x21}},
  };
}

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

} // namespace

TEST(CabTools, GcabCabinetsAreReadByteExactly) {
  REQUIRE_TOOL("gcab");
  const auto members = InteropMembers();
  TTempFolder folder;
  std::string names;
  for (const auto& member : members) {
    SaveStringToFile(member.content, folder / member.name);
    names += " " + Quoted(member.name);
  }
  for (const char* options : {"-c -z", "-c"}) {
    SCOPED_TRACE(options);
    ASSERT_EQ(
        RunCommand("cd " + Quoted(folder.Path()) + " && gcab " + options + " made.cab" + names), 0);
    const auto files = Unpack(LoadFileToString(folder / "made.cab"));
    ASSERT_EQ(files.size(), members.size());
    for (const auto& member : members)
      EXPECT_TRUE(files.at(member.name).content == member.content) << member.name;
  }
}

TEST(CabTools, CabextractListsTestsAndExtractsOurCabinets) {
  REQUIRE_TOOL("cabextract");
  const auto members = InteropMembers();
  TTempFolder folder;
  SaveStringToFile(Pack(members), folder / "ours.cab");
  std::string listing;
  ASSERT_EQ(RunCommand("cabextract -l " + Quoted(folder / "ours.cab") + " 2>&1", &listing), 0)
      << listing;
  for (const auto& member : members)
    EXPECT_NE(listing.find(member.name), std::string::npos) << member.name;
  EXPECT_NE(listing.find("01.01.2025 12:00:00"), std::string::npos) << listing;
  std::string test;
  EXPECT_EQ(RunCommand("cabextract -t " + Quoted(folder / "ours.cab") + " 2>&1", &test), 0) << test;
  ASSERT_EQ(
      RunCommand("cabextract -q -d " + Quoted(folder / "out") + " " + Quoted(folder / "ours.cab")),
      0);
  for (const auto& member : members)
    EXPECT_TRUE(LoadFileToString(folder / ("out/" + member.name)) == member.content) << member.name;
}

TEST(CabTools, GcabListsAndExtractsOurCabinets) {
  REQUIRE_TOOL("gcab");
  const auto members = InteropMembers();
  TTempFolder folder;
  SaveStringToFile(Pack(members), folder / "ours.cab");
  std::string listing;
  ASSERT_EQ(RunCommand("gcab -l " + Quoted(folder / "ours.cab") + " 2>&1", &listing), 0) << listing;
  for (const auto& member : members)
    EXPECT_NE(listing.find(member.name), std::string::npos) << member.name;
  ASSERT_EQ(RunCommand("mkdir " + Quoted(folder / "out") + " && gcab -x -C " +
                       Quoted(folder / "out") + " " + Quoted(folder / "ours.cab")),
            0);
  for (const auto& member : members)
    EXPECT_TRUE(LoadFileToString(folder / ("out/" + member.name)) == member.content) << member.name;
}
