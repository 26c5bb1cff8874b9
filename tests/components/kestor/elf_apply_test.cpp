// "Ex86" and "Ex64" elements end to end: patches written by the python writer from binutils'
// view of two ld-linked programs rebuild the new program byte for byte, and an identity patch
// of the router program gives it back.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "components/kestor/disassembler_elf.h"
#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"
#include "tests/components/kestor/elf_test_support.h"

namespace kestor {
namespace {

using kestor_test::ApplyPatch;
using kestor_test::Bytes;
namespace fs = std::filesystem;

ConstBufferView View(const Bytes& b) { return ConstBufferView(b.data(), b.size()); }

std::size_t CountDifferences(const Bytes& a, const Bytes& b) {
  std::size_t n = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) n += a[i] != b[i];
  return n;
}

// The new program has a function inserted in the middle of .text and bytes in the middle of
// .data, so every later section moves, and one call is aimed at the inserted function. The
// python writer sees only readelf, objdump and the file bytes; the engine must re-aim every
// relocation, absolute address and rel32 reference the way ld placed them.
TEST(ElfPatch, LdProgramsRebuiltByteForByte) {
  TempDir dir;
  for (int bits : {32, 64}) {
    SCOPED_TRACE(bits);
    const fs::path old_path = kestor_test::BuildLdProgram(dir.path(), bits, false);
    const fs::path new_path = kestor_test::BuildLdProgram(dir.path(), bits, true);
    ASSERT_FALSE(old_path.empty());
    ASSERT_FALSE(new_path.empty());
    const std::string type = bits == 32 ? "Ex86" : "Ex64";
    const std::vector<Bytes> r = kestor_test::RunPython(
        "out(0, kp.make_elf_patch(r'" + old_path.string() + "', r'" + new_path.string() + "', '" + type + "'))\n", 1);
    ASSERT_EQ(r.size(), 1u);
    const Bytes old_image = kestor_test::ReadFileBytes(old_path);
    const Bytes new_image = kestor_test::ReadFileBytes(new_path);
    std::optional<Patch> patch = ReadPatch(View(r[0]));
    ASSERT_TRUE(patch);
    ASSERT_EQ(patch->elements.size(), 1u);
    const PatchElement& element = patch->elements[0];
    EXPECT_EQ(element.match.exe_type, bits == 32 ? kExeTypeElfX86 : kExeTypeElfX64);

    // The inserted function is a target no old target moves to: an extra target of the rel32
    // pool.
    ASSERT_EQ(element.extra_targets.count(2), 1u);
    TargetSource extra = element.extra_targets.at(2);
    EXPECT_TRUE(extra.GetNext().has_value());
    // The copies alone leave the moved references pointing at the old places.
    {
      Bytes copies(new_image.size());
      const MutableBufferView view(copies.data(), copies.size());
      ASSERT_TRUE(ApplyEquivalenceAndExtraData(View(old_image), element, view));
      ASSERT_TRUE(ApplyRawDelta(element, view));
      EXPECT_GT(CountDifferences(copies, new_image), 50u);
    }

    const std::optional<Bytes> rebuilt = ApplyPatch(*patch, old_image);
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(CountDifferences(*rebuilt, new_image), 0u);
  }
}

std::size_t CountReferences(Disassembler& dis) {
  std::size_t n = 0;
  for (const ReferenceGroup& group : dis.MakeReferenceGroups()) {
    std::unique_ptr<ReferenceReader> reader = group.GetReader(0, dis.size(), dis);
    while (reader->GetNext()) ++n;
  }
  return n;
}

// One copy of the whole router program and a zero delta for every reference our readers yield:
// each reference is re-aimed at the target it had, so the program comes back unchanged. A
// delta of +1 on one rel32 reference changes exactly that reference's four bytes.
TEST(ElfPatch, IdentityPatchOfTheRouterProgramGivesItBack) {
  const Bytes router = kestor_test::ReadFileBytes(KESTOR_TEST_ROUTER_BINARY);
  DisassemblerElfX64 dis;
  ASSERT_TRUE(dis.Parse(View(router)));
  const std::size_t references = CountReferences(dis);
  const std::size_t rel32 = dis.rel32_locations().size();
  ASSERT_GT(rel32, 20000u);
  ASSERT_EQ(references, rel32 + 2 * dis.abs32_locations().size());  // one relocation per abs32 body
  // Deltas come pool by pool: relocations, abs32, then rel32 in location order.
  const std::size_t bumped = references - rel32 + rel32 / 2;
  const offset_t bumped_location = dis.rel32_locations()[rel32 / 2];
  TempDir dir;
  kestor_test::WriteFileBytes(dir.path() / "router", router);
  const std::string body =
      "old = open(r'" + (dir.path() / "router").string() +
      "', 'rb').read()\n"
      "def patch(deltas):\n"
      "    e = kp.Element(0, len(old), 0, len(old), 'Ex64', equivalences=[(0, 0, len(old))], reference_deltas=deltas)\n"
      "    return kp.encode_patch([e], len(old), len(old))[0]\n"
      "n = " +
      std::to_string(references) +
      "\n"
      "out(0, patch([0] * n))\n"
      "out(1, patch([0] * " +
      std::to_string(bumped) + " + [1] + [0] * (n - " + std::to_string(bumped) + " - 1)))\n";
  const std::vector<Bytes> r = kestor_test::RunPython(body, 2);
  ASSERT_EQ(r.size(), 2u);

  std::optional<Patch> identity = ReadPatch(View(r[0]));
  ASSERT_TRUE(identity);
  const std::optional<Bytes> same = ApplyPatch(*identity, router);
  ASSERT_TRUE(same);
  EXPECT_EQ(CountDifferences(*same, router), 0u);

  std::optional<Patch> bump = ReadPatch(View(r[1]));
  ASSERT_TRUE(bump);
  const std::optional<Bytes> changed = ApplyPatch(*bump, router);
  ASSERT_TRUE(changed);
  std::vector<offset_t> differing;
  for (offset_t i = 0; i < router.size(); ++i) {
    if ((*changed)[i] != router[i]) differing.push_back(i);
  }
  ASSERT_FALSE(differing.empty());
  EXPECT_GE(differing.front(), bumped_location);
  EXPECT_LT(differing.back(), bumped_location + 4);
}

}  // namespace
}  // namespace kestor
