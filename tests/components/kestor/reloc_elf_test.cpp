// ELF relocation references on hand-made images: which entries are read for a range, which of
// them yield references, and how re-aimed ones are written.
#include "components/kestor/reloc_elf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/components/kestor/kestor_test_support.h"

namespace kestor {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes* b, std::size_t at, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) (*b)[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// An image whose offset o is RVA 0x1000 + o.
struct Image {
  explicit Image(std::size_t size) : data(size, 0) {}
  void Map() {
    ASSERT_EQ(map.Initialize({{0, static_cast<offset_t>(data.size()), 0x1000, static_cast<rva_t>(data.size())}}),
              RvaOffsetMap::kSuccess);
  }
  ConstBufferView view() const { return ConstBufferView(data.data(), data.size()); }
  Bytes data;
  RvaOffsetMap map;
};

std::vector<Reference> ReadAll(const Image& image, std::uint32_t width,
                               const std::vector<SectionDimensionsElf>& sections, offset_t lo, offset_t hi) {
  RelocReaderElf reader(image.view(), width, sections, 8, lo, hi, image.map);
  std::vector<Reference> refs;
  while (std::optional<Reference> ref = reader.GetNext()) refs.push_back(*ref);
  EXPECT_FALSE(reader.GetNext());
  return refs;
}

// 32-bit REL entries {r_offset, r_info} at 0x10: relative, jump slot, relative with a symbol
// index, outside every unit, into the last three bytes, and into the last four.
class Reloc32 : public testing::Test {
 protected:
  void SetUp() override {
    const std::uint32_t entries[][2] = {{0x1040, 0x08}, {0x1044, 0x07},         {0x1048, 0x1208},
                                        {0x5000, 0x08}, {0x1000 + 0x60 - 3, 8}, {0x1000 + 0x60 - 4, 8}};
    for (std::size_t i = 0; i < 6; ++i) {
      Put(&image_.data, 0x10 + 8 * i, entries[i][0], 4);
      Put(&image_.data, 0x14 + 8 * i, entries[i][1], 4);
    }
    image_.Map();
  }
  Image image_{0x60};
  const std::vector<SectionDimensionsElf> sections_ = {{0x10, 0x30, 8}};
};

TEST_F(Reloc32, RangesAreWidenedToWholeEntriesOfTheSection) {
  const Reference e0{0x10, 0x40}, e2{0x20, 0x48}, e5{0x38, 0x5C};
  struct Case {
    offset_t lo, hi;
    std::vector<Reference> refs;
  } cases[] = {
      {0, 0x60, {e0, e2, e5}}, {0x10, 0x40, {e0, e2, e5}},
      {0x11, 0x60, {e2, e5}},                        // lo inside e0: the next entry
      {0x18, 0x60, {e2, e5}},  {0, 0x21, {e0, e2}},  // hi inside e2: to its end
      {0, 0x20, {e0}},         {0, 0x10, {}},
      {0x38, 0x39, {e5}},      {0x40, 0x60, {}},  // past the section
      {0x21, 0x21, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadAll(image_, 4, sections_, c.lo, c.hi), c.refs) << c.lo << ".." << c.hi;
}

TEST_F(Reloc32, WriterPutsTheTargetRvaIntoROffsetOnly) {
  RelocWriterElf writer(MutableBufferView(image_.data.data(), image_.data.size()), 4, image_.map);
  Bytes expected = image_.data;
  writer.PutNext({0x10, 0x44});
  Put(&expected, 0x10, 0x1044, 4);
  writer.PutNext({0x18, 0x00});
  Put(&expected, 0x18, 0x1000, 4);
  EXPECT_EQ(image_.data, expected);
  // An entry whose r_offset would pass the image's end is skipped, not a stop.
  for (offset_t location : {0x5Du, 0x5Fu, 0x60u, 0xFFFFFFF0u}) writer.PutNext({location, 0x44});
  EXPECT_EQ(image_.data, expected);
}

// 64-bit RELA entries {r_offset, r_info, addend}: the type is the low half of r_info, and an
// r_offset of 2^32 or more is skipped with a warning instead of being cut to 32 bits.
TEST(Reloc64, TypesAreTheLowHalfOfRInfoAndWideROffsetsAreSkipped) {
  Image image(0xA0);
  const std::uint64_t entries[][2] = {{0x1040, 8},
                                      {(std::uint64_t{1} << 32) + 0x1040, 8},
                                      {0x1048, (std::uint64_t{5} << 32) | 8},
                                      {0x1050, (std::uint64_t{8} << 32) | 7},
                                      {0x1000 + 0xA0 - 7, 8},
                                      {0x1000 + 0xA0 - 8, 8}};
  for (std::size_t i = 0; i < 6; ++i) {
    Put(&image.data, 0x00 + 24 * i, entries[i][0], 8);  // ends at 0x90
    Put(&image.data, 0x08 + 24 * i, entries[i][1], 8);
  }
  image.Map();
  testing::internal::CaptureStdout();
  const std::vector<Reference> refs = ReadAll(image, 8, {{0, 0x90, 24}}, 0, 0xA0);
  const auto lines = kestor_test::ParseLogLines(testing::internal::GetCapturedStdout());
  EXPECT_EQ(refs, (std::vector<Reference>{{0x00, 0x40}, {0x30, 0x48}, {0x78, 0x98}}));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, "WARNING");
  EXPECT_EQ(lines[0].message, "Warning: Skipping r_offset whose value exceeds 32-bits.");

  RelocWriterElf writer(MutableBufferView(image.data.data(), image.data.size()), 8, image.map);
  Put(&image.data, 0x18, 0xAAAAAAAAAAAAAAAAull, 8);
  writer.PutNext({0x18, 0x44});
  EXPECT_EQ(image.view().read<std::uint64_t>(0x18), 0x1044u);  // zero-extended
  EXPECT_EQ(image.view().read<std::uint64_t>(0x20), 8u);       // r_info untouched
  writer.PutNext({0x99, 0x44});                                // fewer than 8 bytes left: skipped
  EXPECT_EQ(image.data[0x99], 0);
}

// Two sections, the second of 2.5 entries ending the image. The reader moves from one section
// to the next and never reads the half entry, whose r_info would lie past the image's end,
// however hi is chosen. (Under AddressSanitizer the image is a buffer of exactly its size.)
TEST(RelocRagged, ASectionThatEndsTheImageIsNeverReadPastIt) {
  Image image(0x54);
  const std::vector<SectionDimensionsElf> sections = {{0x10, 0x18, 8}, {0x40, 0x14, 8}};
  const offset_t at[] = {0x10, 0x18, 0x20, 0x40, 0x48};
  for (std::size_t i = 0; i < 5; ++i) {
    Put(&image.data, at[i], 0x1000 + 4 * i, 4);
    Put(&image.data, at[i] + 4, 8, 4);
  }
  Put(&image.data, 0x50, 0x1030, 4);  // half an entry: its r_info would be at 0x54
  image.Map();
  const std::vector<Reference> all = {{0x10, 0}, {0x18, 4}, {0x20, 8}, {0x40, 12}, {0x48, 16}};
  for (offset_t hi : {0x49u, 0x50u, 0x51u, 0x52u, 0x53u, 0x54u}) {
    EXPECT_EQ(ReadAll(image, 4, sections, 0, hi), all) << hi;
    EXPECT_EQ(ReadAll(image, 4, sections, 0x41, hi), (std::vector<Reference>{all[4]})) << hi;
  }
  EXPECT_EQ(ReadAll(image, 4, sections, 0x50, 0x54), std::vector<Reference>{});
  EXPECT_EQ(ReadAll(image, 4, sections, 0x21, 0x54), (std::vector<Reference>{all[3], all[4]}));
}

// Inside the image, a section that is not a whole number of entries keeps its last entry,
// which runs into the bytes after the section.
TEST(RelocRagged, ALastPartialEntryInsideTheImageIsRead) {
  Image image(0x40);
  Put(&image.data, 0x10, 0x1030, 4);
  Put(&image.data, 0x14, 8, 4);
  Put(&image.data, 0x18, 0x1034, 4);
  Put(&image.data, 0x1C, 8, 4);  // the first four bytes after the section
  image.Map();
  EXPECT_EQ(ReadAll(image, 4, {{0x10, 0xC, 8}}, 0, 0x40), (std::vector<Reference>{{0x10, 0x30}, {0x18, 0x34}}));
}

}  // namespace
}  // namespace kestor
