// "Px86", "Px64", "EA32" and "EA64" elements end to end: patches written by the python writer
// from the cross objdump's view of two linked programs rebuild the new program byte for byte,
// and an identity patch over each program gives it back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "components/kestor/disassembler_factory.h"
#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"
#include "tests/components/kestor/pe_arm_test_support.h"

namespace kestor {
namespace {

using kestor_test::Bytes;
using kestor_test::View;
namespace fs = std::filesystem;

struct Kind {
  const char* fixture;
  const char* type;
  ExecutableType exe_type;
  const char* maker;  // the python writer's function
};

const Kind kKinds[] = {
    {"pe32", "Px86", kExeTypeWin32X86, "make_pe_patch"},
    {"pe64", "Px64", kExeTypeWin32X64, "make_pe_patch"},
    {"arm", "EA32", kExeTypeElfAArch32, "make_arm_patch"},
    {"aarch64", "EA64", kExeTypeElfAArch64, "make_arm_patch"},
};

std::size_t CountDifferences(const Bytes& a, const Bytes& b) {
  std::size_t n = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) n += a[i] != b[i];
  return n;
}

// The new program has a function inserted in the middle of each code section and bytes in the
// middle of .data, so everything behind them moves, and one call is aimed at an inserted
// function. The python writer sees only the cross objdump, readelf and the file bytes; the
// engine must re-aim every relocation, absolute address and branch the way ld placed them.
TEST(PeArmPatch, LinkedProgramsRebuiltByteForByte) {
  TempDir dir;
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.type);
    const fs::path old_path = kestor_test::BuildCrossProgram(dir.path(), kind.fixture, false);
    const fs::path new_path = kestor_test::BuildCrossProgram(dir.path(), kind.fixture, true);
    ASSERT_FALSE(old_path.empty());
    ASSERT_FALSE(new_path.empty());
    const std::vector<Bytes> r =
        kestor_test::RunPython(std::string("out(0, kp.") + kind.maker + "(r'" + old_path.string() + "', r'" +
                                   new_path.string() + "', '" + kind.type + "'))\n",
                               1);
    ASSERT_EQ(r.size(), 1u);
    ASSERT_FALSE(r[0].empty());
    const Bytes old_image = kestor_test::ReadFileBytes(old_path);
    const Bytes new_image = kestor_test::ReadFileBytes(new_path);
    std::optional<Patch> patch = ReadPatch(View(r[0]));
    ASSERT_TRUE(patch);
    ASSERT_FALSE(patch->elements.empty());
    const PatchElement& element = patch->elements[0];
    EXPECT_EQ(element.match.exe_type, kind.exe_type);
    // The inserted function is a target no old target moves to: an extra target of the branch
    // pool.
    ASSERT_EQ(element.extra_targets.count(2), 1u);
    // The copies alone leave the moved references pointing at the old places.
    {
      Bytes copies(element.match.new_length);
      const MutableBufferView view(copies.data(), copies.size());
      const ConstBufferView old_view(old_image.data(), element.match.old_length);
      ASSERT_TRUE(ApplyEquivalenceAndExtraData(old_view, element, view));
      ASSERT_TRUE(ApplyRawDelta(element, view));
      EXPECT_GT(CountDifferences(copies, Bytes(new_image.begin(), new_image.begin() + copies.size())), 20u);
    }
    const std::optional<Bytes> rebuilt = kestor_test::ApplyPatch(*patch, old_image);
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(CountDifferences(*rebuilt, new_image), 0u);
  }
}

// One copy of the whole image and a zero delta for every reference our readers yield: every
// reference is re-aimed at the target it had, so the program comes back unchanged. A delta of
// +1 on the last reference changes only that reference's bytes.
TEST(PeArmPatch, IdentityPatchesGiveTheProgramsBack) {
  TempDir dir;
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.type);
    const fs::path path = kestor_test::BuildCrossProgram(dir.path(), kind.fixture, false);
    ASSERT_FALSE(path.empty());
    const Bytes program = kestor_test::ReadFileBytes(path);
    std::unique_ptr<Disassembler> dis = MakeDisassemblerForType(View(program), kind.exe_type);
    ASSERT_NE(dis, nullptr);
    std::size_t references = 0;
    Reference last{};
    offset_t last_width = 0;
    // Deltas come pool by pool, group by group within a pool.
    std::vector<ReferenceGroup> groups = dis->MakeReferenceGroups();
    std::stable_sort(groups.begin(), groups.end(),
                     [](const ReferenceGroup& a, const ReferenceGroup& b) { return a.pool_tag() < b.pool_tag(); });
    // Targets behind the image (in memory without file bytes) are projected by no copy: the
    // patch names them as extra targets of their pools.
    std::map<int, std::set<offset_t>> beyond;
    for (const ReferenceGroup& group : groups) {
      std::unique_ptr<ReferenceReader> reader = group.GetReader(0, dis->size(), *dis);
      ASSERT_NE(reader, nullptr);
      while (std::optional<Reference> ref = reader->GetNext()) {
        ++references;
        last = *ref;
        last_width = group.width();
        if (ref->target >= dis->size()) beyond[group.pool_tag()].insert(ref->target);
      }
    }
    std::string pools = "[";
    for (const auto& [tag, targets] : beyond) {
      pools += "(";
      pools += std::to_string(tag);
      pools += ", [";
      for (offset_t t : targets) {
        pools += std::to_string(t);
        pools += ", ";
      }
      pools += "]), ";
    }
    pools += "]";
    ASSERT_GT(references, 100u);
    std::string body = "old = open(r'";
    body += path.string();
    body += "', 'rb').read()\nsize = ";
    body += std::to_string(dis->size());
    body += "\nn = ";
    body += std::to_string(references);
    body += "\npools = ";
    body += pools;
    body += "\nexe_type = '";
    body += kind.type;
    body +=
        "'\n"
        "def patch(deltas):\n"
        "    e = [kp.Element(0, size, 0, size, exe_type, equivalences=[(0, 0, size)], reference_deltas=deltas,\n"
        "                    pools=pools)]\n"
        "    if size < len(old):\n"
        "        e.append(kp.Element(0, len(old), size, len(old) - size, equivalences=[(size, 0, len(old) - size)]))\n"
        "    return kp.encode_patch(e, len(old), len(old))[0]\n"
        "out(0, patch([0] * n))\n"
        "out(1, patch([0] * (n - 1) + [1]))\n"
        "out(2, patch([0] * (n - 1) + [-1]))\n";
    const std::vector<Bytes> r = kestor_test::RunPython(body, 3);
    ASSERT_EQ(r.size(), 3u);
    std::optional<Patch> identity = ReadPatch(View(r[0]));
    ASSERT_TRUE(identity);
    const std::optional<Bytes> same = kestor_test::ApplyPatch(*identity, program);
    ASSERT_TRUE(same);
    EXPECT_EQ(CountDifferences(*same, program), 0u);

    // The last reference's target may end its pool's list (or start it): one of the two
    // neighbours exists.
    std::optional<Bytes> changed;
    for (int i : {1, 2}) {
      std::optional<Patch> bump = ReadPatch(View(r[i]));
      ASSERT_TRUE(bump);
      if (!changed) changed = kestor_test::ApplyPatch(*bump, program);
    }
    ASSERT_TRUE(changed);
    std::vector<offset_t> differing;
    for (offset_t i = 0; i < program.size(); ++i) {
      if ((*changed)[i] != program[i]) differing.push_back(i);
    }
    ASSERT_FALSE(differing.empty());
    EXPECT_GE(differing.front(), last.location);
    EXPECT_LT(differing.back(), last.location + last_width);
  }
}

}  // namespace
}  // namespace kestor
