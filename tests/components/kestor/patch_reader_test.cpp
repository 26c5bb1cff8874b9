#include "components/kestor/patch_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/components/kestor/kestor_test_support.h"

namespace kestor {
namespace {

using kestor_test::Bytes;
using kestor_test::EndsWith;
using kestor_test::ErrorMessages;
using kestor_test::LogLine;

ConstBufferView View(const Bytes& b) { return ConstBufferView(b.data(), b.size()); }

// Reads the patch and returns the ERROR messages; `ok` receives whether it read. Every line is
// checked to come from the reader's files.
std::vector<std::string> ReadErrors(const Bytes& patch, bool* ok, std::optional<Patch>* result = nullptr) {
  std::vector<LogLine> lines;
  std::optional<Patch> read;
  std::vector<std::string> messages = ErrorMessages([&] { read = ReadPatch(View(patch)); }, &lines);
  for (const LogLine& l : lines) {
    EXPECT_TRUE(EndsWith(l.file, "components/kestor/patch_reader.cpp") ||
                EndsWith(l.file, "components/kestor/patch_reader.h"))
        << l.file;
  }
  *ok = read.has_value();
  if (result != nullptr) *result = std::move(read);
  return messages;
}

// Python prelude of the tables: E builds an element, P the patch bytes, OK a valid element of
// an old image of 10 bytes and a new image of 8.
const char kPrelude[] =
    "E = kp.Element\n"
    "def P(els, old, new, **kw): return kp.encode_patch(els, old, new, **kw)[0]\n"
    "def OK(**kw):\n"
    "    a = dict(equivalences=[(0, 0, 5)], extra_data=b'abc')\n"
    "    a.update(kw)\n"
    "    return E(0, 10, 0, 8, **a)\n";

struct MalformedCase {
  const char* name;
  const char* python;  // the patch
  std::vector<std::string> messages;
  bool reads = false;
};

TEST(ReadPatch, MalformedPatchesFailWithTheirMessageInOrder) {
  const std::string kVarUInt = "Impossible to read VarUInt from source.";
  const std::string kVarInt = "Impossible to read VarInt from source.";
  const std::string kInvalid = "Invalid element encountered.";
  const std::string kOob = "Out of bounds equivalence detected.";
  const std::string kExtra = "Incorrect amount of extra_data.";
  const std::vector<MalformedCase> cases = {
      {"empty", "b''", {"Impossible to read header from source."}},
      {"23 bytes", "P([], 0, 0)[:23]", {"Impossible to read header from source."}},
      {"magic", "P([], 0, 0, magic=b'Kesu')", {"Patch contains invalid magic."}},
      {"major 3", "P([], 0, 0, major=3)", {"Patch major version doesn't match. Expected: 2, Actual: 3."}},
      {"major 0", "P([], 0, 0, major=0)", {"Patch major version doesn't match. Expected: 2, Actual: 0."}},
      {"any minor", "P([], 0, 0, minor=0xFFFF)", {}, true},
      {"header only", "P([], 0, 0)[:24]", {"Impossible to read element_count from source."}},
      {"no elements", "P([], 0, 0)", {}, true},
      {"no elements, new size 5", "P([], 0, 5)", {"Patch elements don't fully cover new image file."}},
      {"no elements, trailing", "P([], 0, 0, trailing=b'x')", {"Patch was not fully consumed."}},
      {"count without element", "P([], 10, 8, element_count=1)", {"Impossible to read ElementMatch from source."}},
      {"huge count", "P([OK()], 10, 8, element_count=0xFFFFFFFF)", {"Impossible to read ElementMatch from source."}},
      {"unknown type", "P([OK(exe_type='ABCD', version=1)], 10, 8)", {"Invalid ExecutableType found."}},
      {"lower-case type", "P([OK(exe_type='noop', version=1)], 10, 8)", {"Invalid ExecutableType found."}},
      {"NoOp version 2", "P([OK(version=2)], 10, 8)", {"Element version doesn't match. Expected: 1, Actual: 2."}},
      {"XTF version 1",
       "P([OK(exe_type='XTF ', version=1)], 10, 8)",
       {"Element version doesn't match. Expected: 65535, Actual: 1."}},
      {"XTF version 65535", "P([OK(exe_type='XTF ')], 10, 8)", {}, true},
      {"DEX version 65535", "P([OK(exe_type='DEX ')], 10, 8)", {}, true},
      {"Px64 version 1", "P([OK(exe_type='Px64')], 10, 8)", {}, true},
      {"old length 0", "P([E(0, 0, 0, 8, extra_data=b'x' * 8)], 10, 8)", {"Empty patch element found."}},
      {"new length 0", "P([E(0, 10, 0, 0)], 10, 0)", {"Empty patch element found."}},
      {"source at old end", "P([OK(equivalences=[(10, 0, 0)], extra_data=b'x' * 8)], 10, 8)", {kOob}},
      {"source range past old end", "P([OK(equivalences=[(6, 0, 5)])], 10, 8)", {kOob}},
      {"destination at new end", "P([OK(equivalences=[(0, 8, 0)], extra_data=b'x' * 8)], 10, 8)", {kOob}},
      {"destination range past new end", "P([OK(equivalences=[(0, 4, 5)])], 10, 8)", {kOob}},
      {"one extra byte too many", "P([OK(extra_data=b'abcd')], 10, 8)", {kExtra}},
      {"one extra byte too few", "P([OK(extra_data=b'ab')], 10, 8)", {kExtra}},
      {"no equivalences, all extra", "P([OK(equivalences=[], extra_data=b'x' * 8)], 10, 8)", {}, true},
      {"no equivalences, short extra", "P([OK(equivalences=[], extra_data=b'x' * 7)], 10, 8)", {kExtra}},
      {"copy count undecodable", "P([OK(raw={'copy_count': b'\\x80'})], 10, 8)", {kVarUInt, "", kExtra}},
      {"source skip undecodable",
       "P([OK(raw={'src_skip': b'\\xff\\xff\\xff\\xff\\xff'})], 10, 8)",
       {kVarInt, "", kExtra}},
      {"destination skip undecodable", "P([OK(raw={'dst_skip': b'\\xff'})], 10, 8)", {kVarUInt, "", kExtra}},
      // The list ends early but the extra data fits what was decoded: the read goes on.
      {"undecodable, extra fits",
       "P([OK(raw={'copy_count': b'\\x80'}, extra_data=b'x' * 8)], 10, 8)",
       {kVarUInt, ""},
       true},
      {"pool tag 255",
       "P([OK(pools=[(3, [1]), (255, [])])], 10, 8)",
       {"Invalid pool_tag encountered in ExtraTargetList."}},
      {"pool tag twice",
       "P([OK(pools=[(1, [1]), (2, []), (1, [])])], 10, 8)",
       {"Multiple ExtraTargetList found for the same pool_tag."}},
      {"pool count past pools",
       "P([OK(pools=[(1, [1])], pool_count=2)], 10, 8)",
       {"Impossible to read pool_tag from source."}},
      {"huge pool count", "P([OK(pool_count=0xFFFFFFFF)], 10, 8)", {"Impossible to read pool_tag from source."}},
      {"same tag in two elements",
       "P([E(0, 10, 0, 4, extra_data=b'x' * 4, pools=[(1, [2])]), "
       "E(0, 10, 4, 4, extra_data=b'y' * 4, pools=[(1, [3])])], 10, 8)",
       {},
       true},
      {"old offset past old size", "P([E(11, 1, 0, 8, extra_data=b'x' * 8)], 10, 8)", {kInvalid}},
      {"old range past old size", "P([E(5, 6, 0, 8, extra_data=b'x' * 8)], 10, 8)", {kInvalid}},
      {"new range past new size", "P([OK()], 10, 7)", {kInvalid}},
      {"gap between elements",
       "P([E(0, 10, 0, 4, extra_data=b'x' * 4), E(0, 10, 5, 3, extra_data=b'y' * 3)], 10, 8)",
       {kInvalid}},
      {"overlapping elements",
       "P([E(0, 10, 0, 4, extra_data=b'x' * 4), E(0, 10, 3, 5, extra_data=b'y' * 5)], 10, 8)",
       {kInvalid}},
      {"first element not at 0", "P([E(0, 10, 1, 7, extra_data=b'x' * 7)], 10, 8)", {kInvalid}},
      {"elements short of new size", "P([OK()], 10, 9)", {"Patch elements don't fully cover new image file."}},
      {"byte after last element", "P([OK()], 10, 8, trailing=b'\\0')", {"Patch was not fully consumed."}},
      {"old ranges overlap freely",
       "P([E(2, 8, 0, 4, equivalences=[(0, 0, 4)]), E(0, 10, 4, 4, equivalences=[(1, 0, 4)])], 10, 8)",
       {},
       true},
  };
  std::vector<std::string> expressions;
  for (const MalformedCase& c : cases) expressions.push_back(c.python);
  std::string body = kPrelude;
  for (std::size_t i = 0; i < expressions.size(); ++i) {
    body += "out(" + std::to_string(i) + ", " + expressions[i] + ")\n";
  }
  const std::vector<Bytes> patches = kestor_test::RunPython(body, cases.size());
  ASSERT_EQ(patches.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    bool ok = false;
    EXPECT_EQ(ReadErrors(patches[i], &ok), cases[i].messages) << cases[i].name;
    EXPECT_EQ(ok, cases[i].reads) << cases[i].name;
  }
}

TEST(ReadPatch, TruncationInsideEachFieldNamesThatField) {
  const std::string body = std::string(kPrelude) +
                           "els = [E(3, 7, 0, 6, equivalences=[(0, 0, 3), (4, 4, 1)], extra_data=b'zz',\n"
                           "         raw_delta=[(1, 5)], reference_deltas=[0, -3], pools=[(0, [1, 4]), (7, [])]),\n"
                           "       E(0, 10, 6, 2, exe_type='XTF ', extra_data=b'qq')]\n"
                           "data, layout = kp.encode_patch(els, 10, 8, minor=1)\n"
                           "out(0, data)\n"
                           "out(1, ''.join('%s %d %d\\n' % f for f in layout).encode())\n";
  const std::vector<Bytes> results = kestor_test::RunPython(body, 2);
  ASSERT_EQ(results.size(), 2u);
  const Bytes& patch = results[0];
  const std::map<std::string, std::string> messages = {
      {"header", "Impossible to read header from source."},
      {"element_count", "Impossible to read element_count from source."},
      {"element_match", "Impossible to read ElementMatch from source."},
      {"buffer_size", "Impossible to read buffer size from source."},
      {"buffer_content", "Impossible to read buffer content from source."},
      {"pool_count", "Impossible to read pool_count from source."},
      {"pool_tag", "Impossible to read pool_tag from source."},
  };
  std::istringstream layout(std::string(results[1].begin(), results[1].end()));
  std::string kind;
  std::size_t start = 0;
  std::size_t end = 0;
  std::size_t covered = 0;
  std::set<std::string> kinds;
  while (layout >> kind >> start >> end) {
    ASSERT_EQ(start, covered);
    ASSERT_TRUE(messages.count(kind)) << kind;
    kinds.insert(kind);
    for (std::size_t cut = start; cut < end; ++cut) {
      bool ok = true;
      const Bytes truncated(patch.begin(), patch.begin() + static_cast<std::ptrdiff_t>(cut));
      EXPECT_EQ(ReadErrors(truncated, &ok), std::vector<std::string>{messages.at(kind)}) << kind << " at " << cut;
      EXPECT_FALSE(ok);
    }
    covered = end;
  }
  EXPECT_EQ(covered, patch.size());
  EXPECT_EQ(kinds.size(), messages.size());
  bool ok = false;
  std::optional<Patch> read;
  EXPECT_EQ(ReadErrors(patch, &ok, &read), std::vector<std::string>{});
  ASSERT_TRUE(ok);
  EXPECT_EQ(read->header.minor_version, 1);
  EXPECT_EQ(read->header.old_size, 10u);
  EXPECT_EQ(read->header.new_size, 8u);
  ASSERT_EQ(read->elements.size(), 2u);
  const PatchElement& e = read->elements[0];
  EXPECT_EQ(e.match.old_offset, 3u);
  EXPECT_EQ(e.match.old_length, 7u);
  EXPECT_EQ(e.match.new_offset, 0u);
  EXPECT_EQ(e.match.new_length, 6u);
  EXPECT_EQ(e.match.exe_type, kExeTypeNoOp);
  EXPECT_EQ(read->elements[1].match.exe_type, kExeTypeZtf);
  EXPECT_EQ(read->elements[1].match.version, 0xFFFF);

  // Sources decode what the writer encoded, and copies start again from the start.
  EquivalenceSource eqs = e.equivalences;
  std::vector<Equivalence> decoded;
  while (auto eq = eqs.GetNext()) decoded.push_back(*eq);
  EXPECT_EQ(decoded, (std::vector<Equivalence>{{0, 0, 3}, {4, 4, 1}}));
  EXPECT_TRUE(eqs.Done());
  EquivalenceSource again = e.equivalences;
  EXPECT_EQ(again.GetNext(), (Equivalence{0, 0, 3}));
  EXPECT_EQ(Bytes(e.extra_data.begin(), e.extra_data.end()), (Bytes{'z', 'z'}));
  RawDeltaSource raw = e.raw_delta;
  EXPECT_EQ(raw.GetNext(), (RawDeltaUnit{1, 5}));
  EXPECT_EQ(raw.GetNext(), std::nullopt);
  ReferenceDeltaSource refs = e.reference_delta;
  EXPECT_EQ(refs.GetNext(), 0);
  EXPECT_EQ(refs.GetNext(), -3);
  EXPECT_EQ(refs.GetNext(), std::nullopt);
  ASSERT_EQ(e.extra_targets.size(), 2u);
  TargetSource targets = e.extra_targets.at(0);
  EXPECT_EQ(targets.GetNext(), 1u);
  EXPECT_EQ(targets.GetNext(), 4u);
  EXPECT_EQ(targets.GetNext(), std::nullopt);
  EXPECT_TRUE(e.extra_targets.at(7).Done());
}

TEST(BufferSource, VarUIntKeepsOnlyFourBitsOfTheFifthByte) {
  struct Case {
    Bytes bytes;
    std::optional<std::uint32_t> value;
    std::size_t left;
  };
  const Case cases[] = {
      {{0x00}, 0, 0},
      {{0x7F, 0x01}, 0x7F, 1},
      {{0x80, 0x01}, 0x80, 0},
      {{0xE5, 0x8E, 0x26}, 624485, 0},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 0xFFFFFFFF, 0},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x1F}, 0xFFFFFFFF, 0},
      {{0x80, 0x80, 0x80, 0x80, 0x1F}, 0xF0000000, 0},
      {{0x80, 0x80, 0x80, 0x80, 0x70, 0x05}, 0, 1},
      {{0x80, 0x80, 0x80, 0x80, 0x80}, std::nullopt, 5},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, std::nullopt, 6},
      {{0x80}, std::nullopt, 1},
      {{0xFF, 0xFF, 0xFF}, std::nullopt, 3},
      {{}, std::nullopt, 0},
  };
  for (const Case& c : cases) {
    BufferSource source(View(c.bytes));
    std::uint32_t value = 12345;
    const bool ok = source.GetVarUInt(&value);
    EXPECT_EQ(ok, c.value.has_value());
    if (c.value) {
      EXPECT_EQ(value, *c.value);
    }
    EXPECT_EQ(source.Remaining(), c.left);
  }
  const Bytes zigzag = {0x00, 0x01, 0x02, 0x03, 0x04, 0xFE, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
  BufferSource source(View(zigzag));
  std::vector<std::int32_t> values;
  std::int32_t v = 0;
  while (source.GetVarInt(&v)) values.push_back(v);
  EXPECT_EQ(values, (std::vector<std::int32_t>{0, -1, 1, -2, 2, 2147483647, -2147483647 - 1}));
}

// Three sized buffers from hand-encoded bytes.
Bytes Sized(const std::vector<Bytes>& buffers) {
  Bytes out;
  for (const Bytes& b : buffers) {
    const std::uint32_t n = static_cast<std::uint32_t>(b.size());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

std::vector<Equivalence> Equivalences(const Bytes& src, const Bytes& dst, const Bytes& count) {
  const Bytes data = Sized({src, dst, count});
  BufferSource source(View(data));
  EquivalenceSource eqs;
  EXPECT_TRUE(eqs.Initialize(&source));
  std::vector<Equivalence> out;
  testing::internal::CaptureStderr();
  while (auto eq = eqs.GetNext()) out.push_back(*eq);
  // Calls after the end yield nothing either.
  EXPECT_EQ(eqs.GetNext(), std::nullopt);
  testing::internal::GetCapturedStderr();
  return out;
}

TEST(EquivalenceSource, SourcesMoveFromThePreviousEndExactly) {
  // (10, 0, 5), then back to (3, 5, 2): delta 3 - 15 = -12.
  EXPECT_EQ(Equivalences({0x14, 0x17}, {0x00, 0x00}, {0x05, 0x02}), (std::vector<Equivalence>{{10, 0, 5}, {3, 5, 2}}));
  // A source before 0 ends the list.
  EXPECT_EQ(Equivalences({0x02, 0x07}, {0x00, 0x00}, {0x02, 0x01}), (std::vector<Equivalence>{{1, 0, 2}}));
  // Source 0x7FFFFFFF of length 0x80000001 would end at 2^32: the list ends, and stays ended
  // although a valid equivalence follows.
  EXPECT_EQ(Equivalences({0xFE, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}, {0x00, 0x00}, {0x81, 0x80, 0x80, 0x80, 0x08, 0x01}),
            std::vector<Equivalence>{});
  // Sources past 2^31 are reached in steps, computed wider than 32 bits.
  EXPECT_EQ(Equivalences({0xFE, 0xFF, 0xFF, 0xFF, 0x0F, 0xFE, 0xFF, 0xFF, 0xFF, 0x0F}, {0x00, 0x00}, {0x01, 0x00}),
            (std::vector<Equivalence>{{0x7FFFFFFF, 0, 1}, {0xFFFFFFFF, 1, 0}}));
  // Destinations only move forwards; one past 2^32 ends the list.
  EXPECT_EQ(Equivalences({0x00, 0x00}, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01}, {0x00, 0x00}),
            (std::vector<Equivalence>{{0, 0xFFFFFFFF, 0}}));
  // One empty buffer: nothing.
  EXPECT_EQ(Equivalences({0x00}, {}, {0x01}), std::vector<Equivalence>{});
}

TEST(StreamSources, RawDeltasTargetsAndReferenceDeltasDecodeRelativeToTheirBase) {
  auto raw_units = [](const Bytes& skips, const Bytes& diffs) {
    const Bytes data = Sized({skips, diffs});
    BufferSource source(View(data));
    RawDeltaSource raw;
    EXPECT_TRUE(raw.Initialize(&source));
    std::vector<RawDeltaUnit> out;
    while (auto u = raw.GetNext()) out.push_back(*u);
    return std::make_pair(out, raw.Done());
  };
  EXPECT_EQ(raw_units({0x00, 0x02}, {0x10, 0x20}),
            std::make_pair(std::vector<RawDeltaUnit>{{0, 0x10}, {3, 0x20}}, true));
  // A zero diff ends the stream; bytes behind it remain unread.
  EXPECT_EQ(raw_units({0x00, 0x00, 0x00}, {0x10, 0x00, 0x01}),
            std::make_pair(std::vector<RawDeltaUnit>{{0, 0x10}}, false));
  // Copy offset 0xFFFFFFFF is the last one possible.
  EXPECT_EQ(raw_units({0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}, {0x01, 0x02}),
            std::make_pair(std::vector<RawDeltaUnit>{{0xFFFFFFFF, 1}}, false));
  // More skips than diffs.
  EXPECT_EQ(raw_units({0x00, 0x00}, {0x01}), std::make_pair(std::vector<RawDeltaUnit>{{0, 1}}, false));

  auto targets = [](const Bytes& bytes) {
    const Bytes data = Sized({bytes});
    BufferSource source(View(data));
    TargetSource t;
    EXPECT_TRUE(t.Initialize(&source));
    std::vector<offset_t> out;
    while (auto v = t.GetNext()) out.push_back(*v);
    return out;
  };
  EXPECT_EQ(targets({0x05, 0x00, 0x03}), (std::vector<offset_t>{5, 6, 10}));
  // 0xFFFFFFFF would leave no base for a next target: it is not yielded.
  EXPECT_EQ(targets({0xFE, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}), (std::vector<offset_t>{0xFFFFFFFE}));

  const Bytes data = Sized({{0x00, 0x01, 0x02, 0x03, 0x04, 0x80}});
  BufferSource source(View(data));
  ReferenceDeltaSource refs;
  ASSERT_TRUE(refs.Initialize(&source));
  std::vector<std::int32_t> deltas;
  std::vector<std::string> errors = ErrorMessages([&] {
    while (auto d = refs.GetNext()) deltas.push_back(*d);
  });
  EXPECT_EQ(deltas, (std::vector<std::int32_t>{0, -1, 1, -2, 2}));
  EXPECT_EQ(errors, (std::vector<std::string>{"Impossible to read VarInt from source.", ""}));
}

}  // namespace
}  // namespace kestor
