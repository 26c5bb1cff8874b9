// The ELF ARM disassemblers against the cross binutils: relocations, absolute addresses and
// every branch of linked AArch32 and AArch64 programs agree with readelf and objdump, type by
// type; the ARM/Thumb-2 choice and its log line; the ARM finders' scan rules on crafted code.
#include "components/kestor/disassembler_elf_arm.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "components/kestor/disassembler_factory.h"
#include "components/kestor/rel32_finder_arm.h"
#include "tests/components/kestor/pe_arm_test_support.h"

namespace kestor {
namespace {

using kestor_test::Bytes;
using kestor_test::View;
namespace fs = std::filesystem;

// Every group of the disassembler equals what binutils says, group by group: relocations,
// absolute addresses, then the branches of each address type with objdump's targets. The
// fixtures hold no data in code sections, so the scan finds exactly objdump's branches.
template <class Dis>
void ExpectAgreesWithBinutils(const fs::path& path, std::size_t types, std::size_t min_branches) {
  SCOPED_TRACE(path.string());
  const Bytes image = kestor_test::ReadFileBytes(path);
  Dis dis;
  ASSERT_TRUE(dis.Parse(View(image)));
  EXPECT_EQ(dis.size(), image.size());
  const std::vector<Bytes> r = kestor_test::RunPython(std::string(kestor_test::kPythonPack) +
                                                          "e = kp.ArmElfImage(r'" + path.string() +
                                                          "')\n"
                                                          "for i, g in enumerate(e.references()):\n"
                                                          "    out(i, pack(g))\n",
                                                      2 + types);
  ASSERT_EQ(r.size(), 2 + types);
  const std::vector<ReferenceGroup> groups = dis.MakeReferenceGroups();
  ASSERT_EQ(groups.size(), 2 + types);
  std::size_t branches = 0;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    SCOPED_TRACE(g);
    const std::vector<Reference> expected = kestor_test::UnpackReferences(r[g]);
    EXPECT_EQ(kestor_test::ReadAll(dis, g), expected);
    if (g < 2) {
      EXPECT_FALSE(expected.empty());
      continue;
    }
    // Every type occurs in the fixtures.
    EXPECT_FALSE(expected.empty());
    branches += expected.size();
    std::vector<offset_t> locations;
    for (const Reference& ref : expected) locations.push_back(ref.location);
    const auto& queue = dis.rel32_locations(static_cast<typename Dis::AddrType>(g - 2));
    EXPECT_EQ(std::vector<offset_t>(queue.begin(), queue.end()), locations);
  }
  EXPECT_GE(branches, min_branches);
}

TEST(ElfArmBinutils, AArch32Programs) {
  TempDir dir;
  for (bool is_new : {false, true}) {
    const fs::path program = kestor_test::BuildCrossProgram(dir.path(), "arm", is_new);
    ASSERT_FALSE(program.empty());
    ExpectAgreesWithBinutils<DisassemblerElfAArch32>(program, 5, 250);
  }
}

TEST(ElfArmBinutils, AArch64Programs) {
  TempDir dir;
  for (bool is_new : {false, true}) {
    const fs::path program = kestor_test::BuildCrossProgram(dir.path(), "aarch64", is_new);
    ASSERT_FALSE(program.empty());
    ExpectAgreesWithBinutils<DisassemblerElfAArch64>(program, 3, 200);
  }
}

}  // namespace
}  // namespace kestor
