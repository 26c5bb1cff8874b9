// Reference correction with test-only disassemblers: fixed reference lists in two pools and a
// real abs32 group, so that every reference delta's meaning is pinned by hand-worked cases.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/strings.h"
#include "components/kestor/abs32_utils.h"
#include "components/kestor/disassembler.h"
#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"
#include "components/kestor/rva_offset_map.h"
#include "tests/components/kestor/kestor_test_support.h"

namespace kestor {
namespace {

using kestor_test::Bytes;
using kestor_test::ErrorMessages;

struct GroupSpec {
  bool abs32;  // else a fixed list of references
  offset_t width;
  std::uint8_t pool;
  std::vector<Reference> refs;  // fixed lists, sorted by location
};

struct Write {
  std::uint8_t type;
  Reference ref;
  bool operator==(const Write&) const = default;
};

void PrintTo(const Write& w, std::ostream* os) {
  *os << "{type " << int{w.type} << ": " << w.ref.location << " -> " << w.ref.target << "}";
}

class FixedReader : public ReferenceReader {
 public:
  FixedReader(const std::vector<Reference>& refs, offset_t lo, offset_t hi) : refs_(refs), lo_(lo), hi_(hi) {}
  std::optional<Reference> GetNext() override {
    while (pos_ < refs_.size()) {
      const Reference r = refs_[pos_++];
      if (r.location >= lo_ && r.location < hi_) return r;
    }
    return std::nullopt;
  }

 private:
  const std::vector<Reference>& refs_;
  offset_t lo_, hi_;
  std::size_t pos_ = 0;
};

// Writes the target into the body through the checked view, as the executable writers do,
// and records the call.
class RecordingWriter : public ReferenceWriter {
 public:
  RecordingWriter(std::uint8_t type, offset_t width, MutableBufferView image, std::unique_ptr<ReferenceWriter> inner,
                  std::vector<Write>* writes)
      : type_(type), width_(width), image_(image), inner_(std::move(inner)), writes_(writes) {}
  void PutNext(Reference ref) override {
    writes_->push_back({type_, ref});
    if (inner_) {
      inner_->PutNext(ref);
    } else if (width_ == 2) {
      image_.write<std::uint16_t>(ref.location, static_cast<std::uint16_t>(ref.target));
    } else {
      image_.write<std::uint32_t>(ref.location, ref.target);
    }
  }

 private:
  std::uint8_t type_;
  offset_t width_;
  MutableBufferView image_;
  std::unique_ptr<ReferenceWriter> inner_;
  std::vector<Write>* writes_;
};

class TestDisassembler : public Disassembler {
 public:
  TestDisassembler(std::vector<GroupSpec> groups, std::deque<offset_t> abs32_locations, std::vector<Write>* writes)
      : groups_(std::move(groups)), abs32_locations_(std::move(abs32_locations)), writes_(writes) {}

  ExecutableType GetExeType() const override { return kExeTypeNoOp; }
  std::string GetExeTypeString() const override { return "test"; }
  std::vector<ReferenceGroup> MakeReferenceGroups() const override {
    using D = TestDisassembler;
    static constexpr std::unique_ptr<ReferenceReader> (D::*kReaders[])(offset_t, offset_t) = {
        &D::MakeReader0, &D::MakeReader1, &D::MakeReader2};
    static constexpr std::unique_ptr<ReferenceWriter> (D::*kWriters[])(MutableBufferView) = {
        &D::MakeWriter0, &D::MakeWriter1, &D::MakeWriter2};
    std::vector<ReferenceGroup> out;
    for (std::size_t i = 0; i < groups_.size(); ++i) {
      out.emplace_back(ReferenceTypeTraits{groups_[i].width, static_cast<std::uint8_t>(i), groups_[i].pool},
                       kReaders[i], kWriters[i]);
    }
    return out;
  }
  bool Parse(ConstBufferView image) override {
    image_ = image;
    return map_.Initialize({{0, size(), 0, size()}}) == RvaOffsetMap::kSuccess;
  }

 private:
  std::unique_ptr<ReferenceReader> MakeReader(std::size_t i, offset_t lo, offset_t hi) {
    if (groups_[i].abs32) return MakeAbs32ReaderWin32(image_, AbsoluteAddress(4, 0), abs32_locations_, lo, hi, map_);
    return std::make_unique<FixedReader>(groups_[i].refs, lo, hi);
  }
  std::unique_ptr<ReferenceWriter> MakeWriter(std::size_t i, MutableBufferView image) {
    std::unique_ptr<ReferenceWriter> inner;
    if (groups_[i].abs32) inner = std::make_unique<Abs32WriterWin32>(image, AbsoluteAddress(4, 0), map_);
    return std::make_unique<RecordingWriter>(static_cast<std::uint8_t>(i), groups_[i].width, image, std::move(inner),
                                             writes_);
  }
  std::unique_ptr<ReferenceReader> MakeReader0(offset_t lo, offset_t hi) { return MakeReader(0, lo, hi); }
  std::unique_ptr<ReferenceReader> MakeReader1(offset_t lo, offset_t hi) { return MakeReader(1, lo, hi); }
  std::unique_ptr<ReferenceReader> MakeReader2(offset_t lo, offset_t hi) { return MakeReader(2, lo, hi); }
  std::unique_ptr<ReferenceWriter> MakeWriter0(MutableBufferView image) { return MakeWriter(0, image); }
  std::unique_ptr<ReferenceWriter> MakeWriter1(MutableBufferView image) { return MakeWriter(1, image); }
  std::unique_ptr<ReferenceWriter> MakeWriter2(MutableBufferView image) { return MakeWriter(2, image); }

  std::vector<GroupSpec> groups_;
  std::deque<offset_t> abs32_locations_;
  RvaOffsetMap map_;
  std::vector<Write>* writes_;
};

// One element of an old image of 100 bytes: two copies, old[0,40) -> new[0,40) and
// old[60,100) -> new[50,90), extra data around them. Pool 0 holds group 0 (width 4) and
// group 2 (width 2); pool 1 is a real abs32 group with addresses at 12 (-> 88) and 70 (-> 5).
const std::vector<GroupSpec> kThreeGroups = {
    {false, 4, 0, {{4, 20}, {8, 50}, {20, 130}, {64, 70}}},
    {true, 4, 1, {}},
    {false, 2, 0, {{30, 45}}},
};

struct Stage4Case {
  const char* name;
  std::vector<GroupSpec> groups;
  std::uint32_t new_size;
  const char* element;  // python Element arguments after the sizes
  std::vector<std::string> messages;
  std::vector<Write> writes;
};

Bytes OldImage() {
  Bytes old(100);
  for (std::size_t i = 0; i < old.size(); ++i) old[i] = static_cast<std::uint8_t>(0xA0 + i);
  MutableBufferView(old.data(), old.size()).write<std::uint32_t>(12, 88);
  MutableBufferView(old.data(), old.size()).write<std::uint32_t>(70, 5);
  return old;
}

// Copies and extra data, then reference correction with test-only disassemblers of `groups`
// (abs32 locations 12 and 70 in the old image). The old disassembler must never write.
struct Stage4Result {
  bool ok = false;
  std::vector<std::string> messages;
  std::vector<kestor_test::LogLine> lines;
  std::vector<Write> writes;
  Bytes image;
};

Stage4Result RunStage4(const std::vector<GroupSpec>& groups, const Bytes& patch_bytes, const Bytes& old) {
  Stage4Result r;
  std::optional<Patch> patch = ReadPatch(ConstBufferView(patch_bytes.data(), patch_bytes.size()));
  EXPECT_TRUE(patch);
  if (!patch) return r;
  const PatchElement& e = patch->elements[0];
  r.image.assign(e.match.new_length, 0);
  MutableBufferView new_view(r.image.data(), r.image.size());
  EXPECT_TRUE(ApplyEquivalenceAndExtraData(ConstBufferView(old.data(), old.size()), e, new_view));
  std::vector<Write> old_writes;
  TestDisassembler old_disasm(groups, {12, 70}, &old_writes);
  TestDisassembler new_disasm(groups, {}, &r.writes);
  EXPECT_TRUE(old_disasm.Parse(ConstBufferView(old.data(), old.size())));
  EXPECT_TRUE(new_disasm.Parse(new_view));
  r.messages = ErrorMessages([&] { r.ok = ApplyReferencesCorrection(e, old_disasm, new_disasm, new_view); }, &r.lines);
  EXPECT_TRUE(old_writes.empty());
  return r;
}

TEST(ReferenceCorrection, DeltasFollowPoolGroupEquivalenceAndReaderOrder) {
  const char* kCopies = "equivalences=[(0, 0, 40), (60, 50, 40)], extra_data=b'x' * 20";
  const std::string kVarUInt = "Impossible to read VarUInt from source.";
  const std::string kVarInt = "Impossible to read VarInt from source.";
  const std::vector<Write> kAll = {{0, {4, 20}},  {0, {8, 60}},  {0, {20, 130}}, {0, {54, 20}},
                                   {2, {30, 45}}, {1, {12, 78}}, {1, {60, 5}}};
  auto prefix = [&](std::size_t n) { return std::vector<Write>(kAll.begin(), kAll.begin() + static_cast<long>(n)); };
  std::vector<Stage4Case> cases = {
      // 4 -> 20 exactly; 8 -> 50 lies halfway in the gap between the copies and moves with the
      // following one to 40, nearest 45, +1 = 60; 20 -> 130 lies 30 past the old end and stays
      // 30 past the new end; 64 -> 70 moves to 60, -3 = 20. Pool 1: 88 -> 78, 5 -> 5.
      {"all",
       kThreeGroups,
       100,
       "equivalences=[(0, 0, 40), (60, 50, 40)], extra_data=b'x' * 20, reference_deltas=[0, 1, 0, -3, 0, 0, 0],"
       " pools=[(0, [30, 45, 130])]",
       {},
       kAll},
      {"index -1",
       kThreeGroups,
       100,
       "reference_deltas=[0, 1, 0, -4], pools=[(0, [30, 45, 130])]",
       {"Invalid reference_delta"},
       prefix(3)},
      {"index past the list",
       kThreeGroups,
       100,
       "reference_deltas=[0, 3], pools=[(0, [30, 45, 130])]",
       {"Invalid reference_delta"},
       prefix(1)},
      {"deltas run out",
       kThreeGroups,
       100,
       "reference_deltas=[0, 1, 0, -3, 0, 0], pools=[(0, [30, 45, 130])]",
       {"Error reading reference_delta"},
       prefix(6)},
      {"undecodable delta",
       kThreeGroups,
       100,
       "raw={'reference_delta': b'\\x00\\x80'}, pools=[(0, [30, 45, 130])]",
       {kVarInt, "", "Error reading reference_delta"},
       prefix(1)},
      {"a delta too many",
       kThreeGroups,
       100,
       "reference_deltas=[0, 1, 0, -3, 0, 0, 0, 0], pools=[(0, [30, 45, 130])]",
       {"Found trailing ref_delta_source"},
       kAll},
      {"undecodable extra targets",
       kThreeGroups,
       100,
       "reference_deltas=[0], pools=[(0, b'\\x1e\\x80')]",
       {kVarUInt, "", "Found trailing extra_targets"},
       {}},
      // Without extra targets the list of pool 0 is {20, 60}: 40 lies halfway and picks 20, 130
      // maps to 60, and 45 to 60.
      {"no extra targets",
       kThreeGroups,
       100,
       "reference_deltas=[0, 0, 0, -1, 0, 0, 0]",
       {},
       {{0, {4, 20}}, {0, {8, 20}}, {0, {20, 60}}, {0, {54, 20}}, {2, {30, 60}}, {1, {12, 78}}, {1, {60, 5}}}},
      // Copies old[60,100) -> new[0,40), old[0,40) -> new[40,80), old[30,50) -> new[80,100).
      // The third overlaps the second and is shorter: pruned to (40 -> 90, 10). Pruned list
      // (0,40,40), (40,90,10), (60,0,40); old targets {20, 50, 70, 130} -> {60, 10}: 50 lies at
      // the end of (40,90,10), outside it. Deltas follow the patch order:
      //   (60,0,40): loc 64 (t 70) -> 4, p 10 -> 10
      //   (0,40,40): loc 4 (t 20) -> 44, p 60 -> 60; loc 8 (t 50) -> 48, p 90 + 10 clamped to
      //              99 -> 60; loc 20 (t 130) -> 60, p 130 -> 60
      //   (30,80,20): no location in [30, 50)
      {"patch order",
       {kThreeGroups[0]},
       100,
       "equivalences=[(60, 0, 40), (0, 40, 40), (30, 80, 20)], reference_deltas=[0, 0, 0, 0]",
       {},
       {{0, {4, 10}}, {0, {44, 60}}, {0, {48, 60}}, {0, {60, 60}}}},
  };

  std::string body = "E = kp.Element\n";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::string args = cases[i].element;
    if (args.find("equivalences") == std::string::npos) args = std::string(kCopies) + ", " + args;
    body += "e = E(0, 100, 0, " + std::to_string(cases[i].new_size) + ", " + args + ")\n";
    body += "out(" + std::to_string(i) + ", kp.encode_patch([e], 100, e.new_length)[0])\n";
  }
  const std::vector<Bytes> patches = kestor_test::RunPython(body, cases.size());
  ASSERT_EQ(patches.size(), cases.size());
  const Bytes old = OldImage();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Stage4Case& c = cases[i];
    const Stage4Result r = RunStage4(c.groups, patches[i], old);
    EXPECT_EQ(r.messages, c.messages) << c.name;
    EXPECT_EQ(r.ok, c.messages.empty()) << c.name;
    EXPECT_EQ(r.writes, c.writes) << c.name;
    // Every write reached the new image through its writer.
    const ConstBufferView v(r.image.data(), r.image.size());
    for (const Write& w : r.writes) {
      EXPECT_EQ(w.ref.target, c.groups[w.type].width == 2 ? v.read<std::uint16_t>(w.ref.location)
                                                          : v.read<std::uint32_t>(w.ref.location))
          << c.name;
    }
  }
}

// The two ways a damaged patch could reach a stopping check: a reader range that cuts an abs32
// body, and a re-aimed body that passes the new element's end. Both fail the element instead.
TEST(ReferenceCorrection, DamagedRangesFailTheElementInsteadOfStopping) {
  const std::vector<GroupSpec> abs32_only = {{true, 4, 0, {}}};
  const std::vector<GroupSpec> fixed_at_end = {{false, 4, 0, {{96, 10}}}};
  struct Case {
    const char* name;
    std::vector<GroupSpec> groups;
    std::uint32_t new_size;
    const char* element;
    std::vector<std::string> messages;
  };
  const std::vector<Case> cases = {
      {"copy ends inside an abs32 body",
       abs32_only,
       100,
       "equivalences=[(0, 0, 14), (14, 14, 86)], reference_deltas=[0, 0]",
       {"Equivalence boundary inside an abs32 reference"}},
      {"copy starts inside an abs32 body",
       abs32_only,
       100,
       "equivalences=[(0, 0, 12), (13, 12, 50)], extra_data=b'y' * 38, reference_deltas=[0, 0]",
       {"Equivalence boundary inside an abs32 reference"}},
      {"copy starts inside the second body",
       abs32_only,
       100,
       "equivalences=[(0, 0, 16), (72, 16, 20)], extra_data=b'y' * 64, reference_deltas=[0, 0]",
       {"Equivalence boundary inside an abs32 reference"}},
      {"copy around a whole body",
       abs32_only,
       100,
       "equivalences=[(12, 0, 4), (70, 4, 4)], extra_data=b'y' * 92, reference_deltas=[0, 0], pools=[(0, [7, 50])]",
       {}},
      {"body moved past the new end",
       fixed_at_end,
       98,
       "equivalences=[(0, 0, 98)], reference_deltas=[0]",
       {"Reference location out of bounds: 00000060"}},
      {"body moved to the very end", fixed_at_end, 100, "equivalences=[(0, 0, 100)], reference_deltas=[0]", {}},
      {"body moved forward past the new end",
       fixed_at_end,
       99,
       "equivalences=[(94, 95, 4)], extra_data=b'y' * 95, reference_deltas=[0], pools=[(0, [3])]",
       {"Reference location out of bounds: 00000061"}},
  };
  std::string body = "E = kp.Element\n";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    body += "e = E(0, 100, 0, " + std::to_string(cases[i].new_size) + ", " + cases[i].element + ")\n";
    body += "out(" + std::to_string(i) + ", kp.encode_patch([e], 100, e.new_length)[0])\n";
  }
  const std::vector<Bytes> patches = kestor_test::RunPython(body, cases.size());
  ASSERT_EQ(patches.size(), cases.size());
  const Bytes old = OldImage();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Stage4Result r = RunStage4(c.groups, patches[i], old);
    EXPECT_EQ(r.messages, c.messages) << c.name;
    EXPECT_EQ(r.ok, c.messages.empty()) << c.name;
    for (const auto& l : r.lines) EXPECT_TRUE(kestor_test::EndsWith(l.file, "components/kestor/kestor_apply.cpp"));
  }
}

TEST(ReferenceCorrection, PruningKeepsTheLongerCopyOfEachSourceByte) {
  struct Case {
    std::vector<Equivalence> in;
    std::vector<Equivalence> out;
  };
  const std::vector<Case> cases = {
      {{{10, 0, 5}, {10, 20, 8}}, {{10, 20, 8}}},
      {{{10, 30, 5}, {10, 20, 5}}, {{10, 20, 5}}},
      {{{0, 0, 10}, {5, 100, 20}}, {{0, 0, 5}, {5, 100, 20}}},
      {{{0, 0, 10}, {8, 50, 5}}, {{0, 0, 10}, {10, 52, 3}}},
      {{{5, 0, 0}, {5, 1, 3}}, {{5, 1, 3}}},
      {{{0, 0, 10}, {2, 20, 3}, {4, 30, 12}}, {{0, 0, 4}, {4, 30, 12}}},
      {{{40, 0, 2}, {0, 2, 3}, {20, 5, 4}}, {{0, 2, 3}, {20, 5, 4}, {40, 0, 2}}},
  };
  std::string body;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::string eqs;
    for (const Equivalence& e : cases[i].in) {
      eqs += base::FormatString("(%u, %u, %u), ", e.source, e.destination, e.length);
    }
    body += "eqs = sorted([" + eqs + "], key=lambda e: e[1])\n";
    body += "e = kp.Element(0, 100, 0, 200, equivalences=eqs, extra_data=b'z' * (200 - sum(l for _, _, l in eqs)))\n";
    body += "out(" + std::to_string(i) + ", kp.encode_patch([e], 100, 200)[0])\n";
  }
  const std::vector<Bytes> patches = kestor_test::RunPython(body, cases.size());
  ASSERT_EQ(patches.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::optional<Patch> patch = ReadPatch(ConstBufferView(patches[i].data(), patches[i].size()));
    ASSERT_TRUE(patch) << i;
    const std::deque<Equivalence> pruned = MakePrunedEquivalences(patch->elements[0].equivalences);
    EXPECT_EQ(std::vector<Equivalence>(pruned.begin(), pruned.end()), cases[i].out) << i;
  }
}

TEST(ReferenceCorrection, ExtendedProjectionAndNearestIndexTies) {
  const std::deque<Equivalence> pruned = {{10, 100, 10}, {30, 200, 10}};
  struct Case {
    offset_t target;
    offset_t projected;
  };
  const Case cases[] = {
      {0, 90},   {15, 105}, {20, 110}, {24, 114}, {25, 195},  // 25 is halfway: the following copy
      {26, 196}, {45, 215}, {50, 300}, {60, 310}, {0xFFFFFFF0, 0x7FFFFFFE},
  };
  for (const Case& c : cases) EXPECT_EQ(ExtendedProjection(pruned, c.target, 50, 300), c.projected) << c.target;
  // Clamped into the new element.
  const std::deque<Equivalence> one = {{10, 0, 10}};
  EXPECT_EQ(ExtendedProjection(one, 0, 50, 20), 0u);
  EXPECT_EQ(ExtendedProjection(one, 45, 50, 20), 19u);
  // Past the old end the distance is added without a 32-bit wrap.
  EXPECT_EQ(ExtendedProjection(one, 0x80000010u, 10, 0x7FFFFF00u), 0x7FFFFFFEu);
  EXPECT_EQ(ExtendedProjection(one, 0x10, 10, 0x7FFFFF00u), 0x7FFFFF06u);

  const std::deque<offset_t> targets = {10, 20, 40};
  const std::pair<offset_t, std::size_t> nearest[] = {{0, 0},  {10, 0}, {14, 0}, {15, 0}, {16, 1},
                                                      {30, 1}, {31, 2}, {40, 2}, {100, 2}};
  for (const auto& [p, index] : nearest) EXPECT_EQ(NearestTargetIndex(targets, p), index) << p;
  EXPECT_EQ(NearestTargetIndex({}, 5), 0u);
}

// Random elements from a python model of reference correction that acts as the patch writer:
// it picks the new target of every reference and writes the deltas; the writes must match.
TEST(ReferenceCorrection, RandomElementsMatchThePythonModel) {
  constexpr int kCases = 60;
  std::string body = "sys.path.insert(0, '" ONDREL_SOURCE_DIR
                     "/tests/components/kestor')\n"
                     "import stage4_model\n";
  body += "for i in range(" + std::to_string(kCases) +
          "):\n"
          "    patch, text = stage4_model.case(2600 + i)\n"
          "    out(2 * i, patch)\n"
          "    out(2 * i + 1, text)\n";
  const std::vector<Bytes> results = kestor_test::RunPython(body, 2 * kCases);
  ASSERT_EQ(results.size(), 2u * kCases);
  std::size_t total_writes = 0;
  for (int i = 0; i < kCases; ++i) {
    std::istringstream text(std::string(results[2 * i + 1].begin(), results[2 * i + 1].end()));
    std::vector<GroupSpec> groups = {{false, 4, 0, {}}, {false, 2, 1, {}}, {false, 4, 0, {}}};
    std::vector<Write> expected;
    std::uint32_t old_size = 0;
    std::uint32_t new_size = 0;
    std::string kind;
    while (text >> kind) {
      if (kind == "sizes") {
        text >> old_size >> new_size;
        continue;
      }
      unsigned type = 0;
      offset_t location = 0;
      offset_t target = 0;
      text >> type >> location >> target;
      if (kind == "ref") {
        groups[type].refs.push_back({location, target});
      } else {
        expected.push_back({static_cast<std::uint8_t>(type), {location, target}});
      }
    }
    const Stage4Result r = RunStage4(groups, results[2 * i], Bytes(old_size, 0x11));
    EXPECT_EQ(r.image.size(), new_size);
    EXPECT_EQ(r.messages, std::vector<std::string>{}) << i;
    EXPECT_TRUE(r.ok) << i;
    EXPECT_EQ(r.writes, expected) << i;
    total_writes += r.writes.size();
  }
  // Enough references went through to mean something.
  EXPECT_GT(total_writes, 500u);
}

}  // namespace
}  // namespace kestor
