// PE base relocations on hand-made tables: the block walk and its refusals, the entry walk over
// [lo, hi), the reader's choice of entries and the writer, including what it refuses.
#include "components/kestor/reloc_win32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "components/kestor/rva_offset_map.h"
#include "tests/components/kestor/pe_arm_test_support.h"

namespace kestor {
namespace {

using kestor_test::Bytes;

// An image of `size` bytes mapped whole at RVA 0x1000, with blocks {page RVA, entries} written
// from `at` on; an odd entry count gets no padding, so SizeOfBlock may be 2 mod 4 (the tests
// that want a valid table use even counts).
struct Image {
  Bytes bytes;
  RvaOffsetMap map;
  offset_t end = 0;  // behind the last block written

  Image(std::size_t size, offset_t at, const std::vector<std::pair<std::uint32_t, std::vector<std::uint16_t>>>& blocks)
      : bytes(size, 0xCC) {
    EXPECT_EQ(map.Initialize({{0, static_cast<offset_t>(size), 0x1000, static_cast<rva_t>(size)}}),
              RvaOffsetMap::kSuccess);
    for (const auto& [page, entries] : blocks) {
      Put32(at, page);
      Put32(at + 4, static_cast<std::uint32_t>(8 + 2 * entries.size()));
      for (std::size_t i = 0; i < entries.size(); ++i) Put16(at + 8 + static_cast<offset_t>(2 * i), entries[i]);
      at += static_cast<offset_t>(8 + 2 * entries.size());
    }
    end = at;
  }
  Image(const Image& that) : bytes(that.bytes), end(that.end) {
    EXPECT_EQ(map.Initialize(that.map.units_sorted_by_offset()), RvaOffsetMap::kSuccess);
  }
  void Put32(offset_t at, std::uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); }
  void Put16(offset_t at, std::uint16_t v) { std::memcpy(bytes.data() + at, &v, 2); }
  std::uint16_t Get16(offset_t at) const {
    std::uint16_t v;
    std::memcpy(&v, bytes.data() + at, 2);
    return v;
  }
  ConstBufferView view() const { return ConstBufferView(bytes.data(), bytes.size()); }
  MutableBufferView mutable_view() { return MutableBufferView(bytes.data(), bytes.size()); }
};

TEST(FindRelocBlocks, WalksBlocksAndRefusesBrokenTables) {
  // Blocks of 4, 0 and 2 entries at 0x40: sizes 16, 8, 12.
  Image image(0x200, 0x40, {{0x1000, {0x3000, 0x3004, 0x3008, 0}}, {0x2000, {}}, {0x1000, {0x3010, 0}}});
  std::vector<offset_t> blocks;
  ASSERT_TRUE(FindRelocBlocks(image.view(), {0x40, 36}, &blocks));
  EXPECT_EQ(blocks, (std::vector<offset_t>{0x40, 0x50, 0x58}));
  ASSERT_TRUE(FindRelocBlocks(image.view(), {0x40, 0}, &blocks));
  EXPECT_TRUE(blocks.empty());

  struct Case {
    const char* name;
    RelocRegion region;
    std::function<void(Image&)> edit;
  };
  const std::vector<Case> refused = {
      {"4 trailing bytes", {0x40, 40}, [](Image&) {}},
      {"7 trailing bytes", {0x40, 43}, [](Image&) {}},
      {"a tail of one byte", {0x40, 37}, [](Image&) {}},
      {"SizeOfBlock 10", {0x40, 36}, [](Image& i) { i.Put32(0x44, 10); }},
      {"SizeOfBlock 4", {0x40, 36}, [](Image& i) { i.Put32(0x54, 4); }},
      {"SizeOfBlock 0", {0x40, 36}, [](Image& i) { i.Put32(0x44, 0); }},
      {"a block running past the region", {0x40, 36}, [](Image& i) { i.Put32(0x5C, 16); }},
      {"a region of 0x7FFFFFFF bytes", {0x40, 0x7FFFFFFF}, [](Image&) {}},
      {"a region of 4 GiB", {0x40, std::uint64_t{1} << 32}, [](Image&) {}},
  };
  for (const Case& c : refused) {
    Image edited = image;
    c.edit(edited);
    EXPECT_FALSE(FindRelocBlocks(edited.view(), c.region, &blocks)) << c.name;
  }
}

std::vector<RelocEntry> ReadEntries(const Image& image, RelocRegion region, offset_t lo, offset_t hi) {
  std::vector<offset_t> blocks;
  EXPECT_TRUE(FindRelocBlocks(image.view(), region, &blocks));
  RelocRvaReaderWin32 reader(image.view(), region, blocks, lo, hi);
  std::vector<RelocEntry> entries;
  while (std::optional<RelocEntry> e = reader.GetNext()) entries.push_back(*e);
  EXPECT_FALSE(reader.GetNext().has_value());
  return entries;
}

// A reversed range is a caller's fault: the process stops at the line logs know it by.
TEST(RelocRvaReaderWin32, AReversedRangeStopsAtTheCheck) {
  Image image(0x100, 0x40, {{0x1000, {0x3000, 0x3000}}});
  std::vector<offset_t> blocks;
  ASSERT_TRUE(FindRelocBlocks(image.view(), {0x40, 12}, &blocks));
  EXPECT_DEATH(RelocRvaReaderWin32(image.view(), {0x40, 12}, blocks, 0x4A, 0x48),
               "\\[kestor:FATAL:components/kestor/reloc_win32.cpp:61\\] Check failed: lo <= hi\\. \n");
}

std::vector<offset_t> Locations(const std::vector<RelocEntry>& entries) {
  std::vector<offset_t> out;
  for (const RelocEntry& e : entries) out.push_back(e.location);
  return out;
}

TEST(RelocRvaReaderWin32, YieldsTheEntriesInsideTheRange) {
  // Entries at 0x48..0x4E (block 0x40), none (block 0x50), 0x60..0x62 (block 0x58).
  Image image(0x200, 0x40, {{0x1000, {0x3000, 0xA004, 0x3FFF, 0}}, {0x2000, {}}, {0x7000, {0x3010, 0x0}}});
  const RelocRegion region{0x40, 36};
  const std::vector<RelocEntry> all = ReadEntries(image, region, 0, 0x200);
  ASSERT_EQ(all.size(), 6u);
  EXPECT_EQ(all[0], (RelocEntry{3, 0x48, 0x1000}));
  EXPECT_EQ(all[1], (RelocEntry{10, 0x4A, 0x1004}));
  EXPECT_EQ(all[2], (RelocEntry{3, 0x4C, 0x1FFF}));
  EXPECT_EQ(all[3], (RelocEntry{0, 0x4E, 0x1000}));
  EXPECT_EQ(all[4], (RelocEntry{3, 0x60, 0x7010}));
  EXPECT_EQ(all[5], (RelocEntry{0, 0x62, 0x7000}));

  struct Case {
    offset_t lo, hi;
    std::vector<offset_t> locations;
  };
  const std::vector<Case> cases = {
      {0x4A, 0x4E, {0x4A, 0x4C}},
      {0x49, 0x4F, {0x4A, 0x4C}},  // an entry that starts before lo, or straddles hi, is not read
      {0x4C, 0x50, {0x4C, 0x4E}},  // the entry at hi - 2 is read
      {0x4C, 0x4F, {0x4C}},        // the one at hi - 1 is not
      {0x44, 0x4A, {0x48}},        // lo inside a block header
      {0x4E, 0x64, {0x4E, 0x60, 0x62}},
      {0x52, 0x62, {0x60}},        // lo in the header of an empty block
      {0x5A, 0x64, {0x60, 0x62}},  // lo in the header of the last block
      {0x64, 0x200, {}},
      {0, 0x40, {}},
      {0x48, 0x48, {}},
      {0x50, 0x58, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Locations(ReadEntries(image, region, c.lo, c.hi)), c.locations) << c.lo << ".." << c.hi;
  }
}

TEST(RelocReaderWin32, KeepsEntriesOfItsTypeWithRoomForTheAddress) {
  // Image RVAs 0x1000..0x1100. HIGHLOW entries aimed at the last 4, 3 and 1 bytes, a DIR64
  // entry, padding, and one aimed outside the image's RVAs.
  Image image(0x100, 0x40, {{0x1000, {0x30FC, 0x30FD, 0x30FF, 0xA010, 0x0000, 0x3020}}, {0x5000, {0x3000, 0}}});
  const RelocRegion region{0x40, 32};
  std::vector<offset_t> blocks;
  ASSERT_TRUE(FindRelocBlocks(image.view(), region, &blocks));
  const auto read = [&](std::uint16_t type, offset_t width) {
    RelocReaderWin32 reader(RelocRvaReaderWin32(image.view(), region, blocks, 0, 0x100), type,
                            static_cast<offset_t>(image.bytes.size()) - width + 1, image.map);
    std::vector<Reference> refs;
    while (std::optional<Reference> r = reader.GetNext()) refs.push_back(*r);
    return refs;
  };
  EXPECT_EQ(read(3, 4), (std::vector<Reference>{{0x48, 0xFC}, {0x52, 0x20}}));
  EXPECT_EQ(read(10, 8), (std::vector<Reference>{{0x4E, 0x10}}));
}

TEST(RelocWriterWin32, WritesPageOffsetsAndRefusesWhatDoesNotFit) {
  Image image(0x100, 0x40, {{0x1000, {0x3000, 0x3000}}, {0x1080, {0x3000, 0x3000}}});
  std::vector<offset_t> blocks;
  ASSERT_TRUE(FindRelocBlocks(image.view(), {0x40, 24}, &blocks));
  RelocWriterWin32 writer(3, image.mutable_view(), blocks, image.map);
  std::vector<std::string> errors = kestor_test::ErrorMessages([&] {
    writer.PutNext({0x48, 0x10});  // page 0x1000: offset 0x10
    writer.PutNext({0x4A, 0xFF});  // 0xFF
    writer.PutNext({0x54, 0x80});  // page 0x1080: 0
    writer.PutNext({0x56, 0xF0});  // 0x70
  });
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(image.Get16(0x48), 0x3010);
  EXPECT_EQ(image.Get16(0x4A), 0x30FF);
  EXPECT_EQ(image.Get16(0x54), 0x3000);
  EXPECT_EQ(image.Get16(0x56), 0x3070);

  const Image written = image;
  testing::internal::CaptureStderr();
  writer.PutNext({0x54, 0x70});    // below the block's page
  writer.PutNext({0x48, 0x1000});  // 0x1000 beyond it: outside the image's RVAs too
  writer.PutNext({0x3E, 0x10});    // before the first block
  writer.PutNext({0xFF, 0x10});    // the entry would pass the image's end
  writer.PutNext({0x100, 0x10});   // beyond it
  writer.PutNext({0xFFFFFFFE, 0x10});
  const std::string log = testing::internal::GetCapturedStderr();
  std::vector<std::string> messages;
  for (const kestor_test::LogLine& l : kestor_test::ParseLogLines(log)) {
    EXPECT_EQ(l.severity, "ERROR");
    EXPECT_TRUE(kestor_test::EndsWith(l.file, "components/kestor/reloc_win32.cpp")) << l.file;
    messages.push_back(l.message);
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"Invalid RVA at 00000054.", "Invalid RVA at 00000048.",
                                                "Invalid RVA at 0000003E.", "Invalid RVA at 000000FF.",
                                                "Invalid RVA at 00000100.", "Invalid RVA at FFFFFFFE."}));
  // The line is the one update logs know the message by.
  EXPECT_EQ(kestor_test::CountOf(log, "reloc_win32.cpp:193] Invalid RVA at "), 6u);
  EXPECT_EQ(image.bytes, written.bytes);
}

// A writer for an image whose relocation region holds no block refuses every entry.
TEST(RelocWriterWin32, WithoutBlocksEveryEntryIsRefused) {
  Image image(0x40, 0, {});
  const std::vector<offset_t> blocks;
  RelocWriterWin32 writer(10, image.mutable_view(), blocks, image.map);
  const Bytes before = image.bytes;
  EXPECT_EQ(kestor_test::ErrorMessages([&] {
              writer.PutNext({0x10, 0x20});
            }),
            std::vector<std::string>{"Invalid RVA at 00000010."});
  EXPECT_EQ(image.bytes, before);
}

}  // namespace
}  // namespace kestor
