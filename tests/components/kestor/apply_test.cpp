#include "components/kestor/kestor_apply.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "components/kestor/patch_reader.h"
#include "tests/components/kestor/kestor_test_support.h"

namespace kestor {
namespace {

using kestor_test::ApplyPatch;
using kestor_test::Bytes;
using kestor_test::ErrorMessages;

ConstBufferView View(const Bytes& b) { return ConstBufferView(b.data(), b.size()); }

std::uint32_t Crc32(const Bytes& b) {
  return static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
}

// Python edits the router program with a random script of changes, inserts, deletes and moves,
// computes the new image from the script, and writes the patch from the same script. Our
// application must give python's image byte for byte.
TEST(ApplyElement, NoOpElementsRebuildAnEditedRouterProgramLikePython) {
  const Bytes old = kestor_test::ReadFileBytes(KESTOR_TEST_ROUTER_BINARY);
  ASSERT_GT(old.size(), 100000u);
  kestor_test::TempDir dir;
  kestor_test::WriteFileBytes(dir.path() / "old", old);
  const std::string body = "old = open(r'" + (dir.path() / "old").string() +
                           "', 'rb').read()\n"
                           "for i, seed in enumerate([11, 12, 13]):\n"
                           "    new, patch = kp.make_edit_patch(old, seed, edits=60, element_count=6)\n"
                           "    out(2 * i, new)\n"
                           "    out(2 * i + 1, patch)\n";
  const std::vector<Bytes> results = kestor_test::RunPython(body, 6);
  ASSERT_EQ(results.size(), 6u);
  std::size_t with_raw_delta = 0;
  std::size_t with_extra = 0;
  std::size_t with_backward_source = 0;
  std::size_t overlapping_old = 0;
  for (int i = 0; i < 3; ++i) {
    const Bytes& expected = results[2 * i];
    const Bytes& patch_bytes = results[2 * i + 1];
    std::optional<Patch> patch = ReadPatch(View(patch_bytes));
    ASSERT_TRUE(patch) << i;
    EXPECT_EQ(patch->header.old_size, old.size());
    EXPECT_EQ(patch->header.old_crc, Crc32(old));
    EXPECT_EQ(patch->header.new_size, expected.size());
    EXPECT_GE(patch->elements.size(), 2u);
    for (std::size_t k = 0; k < patch->elements.size(); ++k) {
      const PatchElement& e = patch->elements[k];
      RawDeltaSource raw = e.raw_delta;
      with_raw_delta += raw.GetNext().has_value();
      with_extra += !e.extra_data.empty();
      EquivalenceSource eqs = e.equivalences;
      offset_t last_end = 0;
      while (auto eq = eqs.GetNext()) {
        with_backward_source += eq->source < last_end;
        last_end = eq->source + eq->length;
      }
      for (std::size_t j = 0; j < k; ++j) {
        const ElementMatch& a = patch->elements[j].match;
        overlapping_old +=
            a.old_offset < e.match.old_offset + e.match.old_length && e.match.old_offset < a.old_offset + a.old_length;
      }
    }
    std::optional<Bytes> result = ApplyPatch(*patch, old);
    ASSERT_TRUE(result) << i;
    EXPECT_TRUE(*result == expected) << "seed " << i;
    EXPECT_EQ(Crc32(*result), patch->header.new_crc);
    // The elements are unchanged by applying them: a second run gives the same image.
    std::optional<Bytes> again = ApplyPatch(*patch, old);
    ASSERT_TRUE(again);
    EXPECT_TRUE(*again == expected);
  }
  // The scripts exercised what they are meant to.
  EXPECT_GT(with_raw_delta, 0u);
  EXPECT_GT(with_extra, 0u);
  EXPECT_GT(with_backward_source, 0u);
  EXPECT_GT(overlapping_old, 0u);
}

struct ApplyCase {
  const char* name;
  const char* element;  // python Element for an old image OLD of 40 bytes
  std::vector<std::string> messages;
  const char* expected_new = nullptr;  // python bytes, when the element writes
};

const char kApplyPrelude[] =
    "E = kp.Element\n"
    "OLD = bytes(range(0xE0, 0x100)) + bytes(range(8))\n";

TEST(ApplyElement, StagesFailWithTheirMessagesAndKeepWhatTheyWrote) {
  const std::string kVarUInt = "Impossible to read VarUInt from source.";
  const std::vector<ApplyCase> cases = {
      {"copies, extra and raw delta",
       "E(0, 40, 0, 12, equivalences=[(30, 2, 4), (0, 7, 3)], extra_data=b'ab' + b'X' + b'qq',"
       " raw_delta=[(0, 1), (2, 0x80), (6, 0x10)])",
       {},
       "b'ab' + bytes([0xFF, 0xFF, 0x00 + 0x80, 0x01]) + b'X' + bytes([0xE0, 0xE1, 0xE2 + 0x10]) + b'qq'"},
      {"a diff on 0xFF wraps to 0x00", "E(31, 1, 0, 1, equivalences=[(0, 0, 1)], raw_delta=[(0, 1)])", {}, "b'\\x00'"},
      {"raw delta at the end of the copies",
       "E(0, 40, 0, 5, equivalences=[(0, 0, 2), (9, 2, 3)], raw_delta=[(5, 1)])",
       {"Error reading equivalences"}},
      {"raw delta without equivalences",
       "E(0, 40, 0, 2, extra_data=b'xy', raw_delta=[(0, 1)])",
       {"Error reading equivalences"}},
      {"raw delta skips without diffs",
       "E(0, 40, 0, 2, extra_data=b'xy', raw={'raw_delta_skip': b'\\x00'})",
       {"Found trailing raw_delta"}},
      {"zero diff with bytes behind it",
       "E(0, 40, 0, 3, equivalences=[(0, 0, 3)], raw={'raw_delta_skip': b'\\x00\\x00\\x00',"
       " 'raw_delta_diff': b'\\x01\\x00\\x01'})",
       {"Found trailing raw_delta"}},
      {"equivalence list cut short",
       "E(0, 40, 0, 4, equivalences=[(0, 0, 2)], extra_data=b'wxyz', raw={'copy_count': b'\\x80'})",
       {kVarUInt, "", "Found trailing equivalence and extra_data"}},
      {"XTF writes its bytes, then has no disassembler",
       "E(0, 40, 0, 4, 'XTF ', equivalences=[(1, 1, 2)], extra_data=b'AB', raw_delta=[(1, 2)])",
       {"Failed to create Disassembler"},
       "b'A' + bytes([0xE1, 0xE2 + 2]) + b'B'"},
      {"DEX", "E(0, 40, 0, 1, 'DEX ', extra_data=b'A')", {"Failed to create Disassembler"}, "b'A'"},
      {"reference delta in a NoOp element",
       "E(0, 40, 0, 1, extra_data=b'A', reference_deltas=[0])",
       {"Found trailing ref_delta_source"}},
      {"extra targets of a NoOp element are not read",
       "E(0, 40, 0, 1, extra_data=b'A', pools=[(0, b'\\x80')])",
       {},
       "b'A'"},
  };
  std::string body = kApplyPrelude;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    body += "e = " + std::string(cases[i].element) + "\n";
    body += "out(" + std::to_string(2 * i) + ", kp.encode_patch([e], len(OLD), e.new_length)[0])\n";
    body += "out(" + std::to_string(2 * i + 1) + ", " +
            (cases[i].expected_new != nullptr ? cases[i].expected_new : "b''") + ")\n";
  }
  body += "out(" + std::to_string(2 * cases.size()) + ", OLD)\n";
  const std::vector<Bytes> results = kestor_test::RunPython(body, 2 * cases.size() + 1);
  ASSERT_EQ(results.size(), 2 * cases.size() + 1);
  const Bytes& old = results.back();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    testing::internal::CaptureStderr();
    std::optional<Patch> patch = ReadPatch(View(results[2 * i]));
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(patch) << cases[i].name;
    const PatchElement& e = patch->elements[0];
    Bytes result(e.match.new_length, 0xCC);
    bool ok = false;
    std::vector<kestor_test::LogLine> lines;
    EXPECT_EQ(ErrorMessages(
                  [&] {
                    ok = ApplyElement(e.match.exe_type,
                                      ConstBufferView(old.data() + e.match.old_offset, e.match.old_length), e,
                                      MutableBufferView(result.data(), result.size()));
                  },
                  &lines),
              cases[i].messages)
        << cases[i].name;
    EXPECT_EQ(ok, cases[i].messages.empty()) << cases[i].name;
    for (const auto& l : lines) {
      if (l.message.rfind("Impossible", 0) == 0 || l.message.empty()) continue;
      EXPECT_TRUE(kestor_test::EndsWith(l.file, "components/kestor/kestor_apply.cpp")) << l.file;
    }
    if (cases[i].expected_new != nullptr) {
      EXPECT_EQ(result, results[2 * i + 1]) << cases[i].name;
    }
  }
}

TEST(ApplyElement, ShortExtraDataFailsTheGapOrTheTail) {
  const std::vector<Bytes> results = kestor_test::RunPython(
      "E = kp.Element\n"
      "out(0, kp.encode_patch([E(0, 8, 0, 6, equivalences=[(0, 2, 2)], extra_data=b'abcd')], 8, 6)[0])\n",
      1);
  ASSERT_EQ(results.size(), 1u);
  std::optional<Patch> patch = ReadPatch(View(results[0]));
  ASSERT_TRUE(patch);
  const Bytes old = {1, 2, 3, 4, 5, 6, 7, 8};
  // The reader makes the extra data fit; a shorter view shows what the stage does when the
  // gaps ask for more than there is.
  for (std::size_t len : {1u, 3u}) {
    PatchElement e = patch->elements[0];
    e.extra_data = ConstBufferView(e.extra_data.begin(), len);
    Bytes result(6, 0);
    EXPECT_EQ(ErrorMessages([&] {
                EXPECT_FALSE(ApplyEquivalenceAndExtraData(View(old), e, MutableBufferView(result.data(), 6)));
              }),
              std::vector<std::string>{"Error reading extra_data"})
        << len;
  }
}

}  // namespace
}  // namespace kestor
