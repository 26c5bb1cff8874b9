#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <vector>

#include "components/kestor/abs32_utils.h"
#include "components/kestor/buffer_view.h"
#include "components/kestor/rva_offset_map.h"

namespace kestor {
namespace {

using Unit = RvaOffsetMap::Unit;
using Bytes = std::vector<std::uint8_t>;

class BufferViewDeath : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST(BufferView, ReadsAndWritesLittleEndianInsideItsBounds) {
  Bytes data(16, 0);
  MutableBufferView view(data.data(), data.size());
  view.write<std::uint32_t>(12, 0x11223344);
  view.write<std::uint16_t>(0, 0xA1B2);
  view.write<std::uint64_t>(2, 0x0102030405060708ULL);
  EXPECT_EQ(data[12], 0x44);
  EXPECT_EQ(data[15], 0x11);
  EXPECT_EQ(data[0], 0xB2);
  EXPECT_EQ(data[2], 0x08);
  ConstBufferView ro = view;
  EXPECT_EQ(ro.read<std::uint32_t>(12), 0x11223344u);
  EXPECT_EQ(ro.read<std::uint64_t>(2), 0x0102030405060708ULL);
  EXPECT_EQ(ro[15], 0x11);
  EXPECT_TRUE(ro.can_access<std::uint32_t>(12));
  EXPECT_FALSE(ro.can_access<std::uint32_t>(13));
  EXPECT_FALSE(ro.can_access<std::uint64_t>(0xFFFFFFFFFFFFFFFFull));
  EXPECT_TRUE(ro.covers(16, 0));
  EXPECT_FALSE(ro.covers(17, 0));
  EXPECT_FALSE(ro.covers(8, 9));
}

TEST_F(BufferViewDeath, AccessOutsideTheViewStopsAtTheCheck) {
  Bytes data(6, 0);
  MutableBufferView view(data.data(), data.size());
  ConstBufferView small(data.data(), 2);
  EXPECT_DEATH(view.read<std::uint32_t>(3),
               "\\[kestor:FATAL:components/kestor/buffer_view.h:[0-9]+\\] Check failed: pos <= size\\(\\) - "
               "sizeof\\(U\\) \\(3 vs\\. 2\\)\n");
  EXPECT_DEATH(view.write<std::uint16_t>(5, 1),
               "\\[kestor:FATAL:components/kestor/buffer_view.h:[0-9]+\\] Check failed: pos <= size\\(\\) - "
               "sizeof\\(U\\) \\(5 vs\\. 4\\)\n");
  EXPECT_DEATH(small.read<std::uint32_t>(0), "Check failed: sizeof\\(U\\) <= size\\(\\) \\(4 vs\\. 2\\)\n");
  EXPECT_DEATH(view[6], "Check failed: pos < size\\(\\) \\(6 vs\\. 6\\)\n");
}

TEST(RvaOffsetMap, MergesUnitsOfOneShiftAndRejectsTheOthers) {
  struct Case {
    std::vector<Unit> units;
    int status;
    std::vector<Unit> merged;
  };
  const std::vector<Case> cases = {
      {{{0, 0x100, 0x1000, 0x100}, {0x80, 0x100, 0x1080, 0x100}}, 0, {{0, 0x180, 0x1000, 0x180}}},
      {{{0, 0x100, 0x1000, 0x200}, {0x100, 0x100, 0x1100, 0x100}}, 3, {}},
      {{{0, 0x100, 0x1000, 0x100}, {0x200, 0x100, 0x1000, 0x100}}, 2, {}},
      // Touching units with different shifts stay apart.
      {{{0, 0x100, 0x1000, 0x100}, {0x400, 0x100, 0x1100, 0x100}},
       0,
       {{0, 0x100, 0x1000, 0x100}, {0x400, 0x100, 0x1100, 0x100}}},
      // Offset ranges that overlap with distant RVAs.
      {{{0, 0x100, 0x1000, 0x100}, {0x80, 0x100, 0x5000, 0x100}}, 2, {}},
      // Exact duplicates and units without RVA size drop out; offset size is clipped to RVA size.
      {{{0, 0x100, 0x1000, 0x100}, {0, 0x100, 0x1000, 0x100}, {0x300, 0x10, 0x9000, 0}, {0x200, 0x80, 0x3000, 0x40}},
       0,
       {{0, 0x100, 0x1000, 0x100}, {0x200, 0x40, 0x3000, 0x40}}},
      // A .bss-like unit (no file bytes) at the offset where another unit's bytes start.
      {{{0x100, 0, 0x8000, 0x300}, {0x100, 0x80, 0x2000, 0x80}},
       0,
       {{0x100, 0, 0x8000, 0x300}, {0x100, 0x80, 0x2000, 0x80}}},
      {{{0x7FFFFFFF, 0, 0, 1}}, 1, {}},
      {{{0, 0x10, 0x7FFFFFF0, 0x10}}, 1, {}},
      {{{0x10, 0x7FFFFFF0, 0, 0x7FFFFFF0}}, 1, {}},
      {{{0, 0x40000000, 0, 0x40000000}, {0x40000000, 0x3FFFFFFF, 0x40000000, 0x3FFFFFFF}}, 4, {}},
      {{{0, 0x100, 0x7FFFFE00, 0x100}}, 4, {}},
      {{}, 0, {}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    RvaOffsetMap map;
    EXPECT_EQ(map.Initialize(cases[i].units), cases[i].status) << i;
    if (cases[i].status == 0) {
      EXPECT_EQ(map.units_sorted_by_offset(), cases[i].merged) << i;
    }
  }
}

TEST(RvaOffsetMap, FileLessTailsTranslateToFakeOffsets) {
  RvaOffsetMap map;
  // .text [0x400, 0x500) at 0x1000; .data with 0x80 file bytes and a 0x180-byte tail.
  ASSERT_EQ(map.Initialize({{0x400, 0x100, 0x1000, 0x100}, {0x600, 0x80, 0x2000, 0x200}}), 0);
  const offset_t fake = map.fake_offset_begin();
  EXPECT_EQ(fake, 0x680u);
  EXPECT_EQ(map.RvaToOffset(0x1010), 0x410u);
  EXPECT_EQ(map.RvaToOffset(0x2050), 0x650u);
  EXPECT_EQ(map.RvaToOffset(0x2100), fake + 0x2100);
  EXPECT_EQ(map.OffsetToRva(fake + 0x2100), 0x2100u);
  // An RVA with file bytes never comes back from a fake offset.
  EXPECT_EQ(map.OffsetToRva(fake + 0x2050), kInvalidRva);
  EXPECT_EQ(map.OffsetToRva(fake + 0x1010), kInvalidRva);
  EXPECT_EQ(map.RvaToOffset(0x2200), kInvalidOffset);
  EXPECT_EQ(map.RvaToOffset(0x0FFF), kInvalidOffset);
  EXPECT_EQ(map.OffsetToRva(0x3FF), kInvalidRva);
  EXPECT_EQ(map.OffsetToRva(0x500), kInvalidRva);
  EXPECT_EQ(map.OffsetToRva(0x4FF), 0x10FFu);
}

// Random layouts checked against a byte-by-byte model of the units as given.
TEST(RvaOffsetMap, AgreesWithAByteModelOnRandomLayouts) {
  std::mt19937 gen(26);
  auto rng = [&gen] { return static_cast<std::uint32_t>(gen()); };
  for (int round = 0; round < 300; ++round) {
    std::vector<Unit> units;
    offset_t offset = rng() % 64;
    rva_t rva = rng() % 256;
    const int count = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < count; ++i) {
      const offset_t file = rng() % 4 == 0 ? 0 : rng() % 80;
      const offset_t tail = rng() % 3 == 0 ? rng() % 60 : 0;
      const Unit u{offset, file, rva, file + tail};
      units.push_back(u);
      if (rng() % 4 == 0) units.push_back(u);  // duplicate
      if (rng() % 4 == 0 && file > 2 && tail == 0) {
        // A piece of u with the same shift: merges into u.
        const offset_t a = rng() % (file / 2);
        units.push_back({offset + a, file - a, rva + a, file - a});
      }
      offset += file + rng() % 40;
      rva += file + tail + rng() % 3 * 16;
    }
    std::shuffle(units.begin(), units.end(), gen);
    RvaOffsetMap map;
    ASSERT_EQ(map.Initialize(units), 0) << round;

    std::map<offset_t, rva_t> offset_to_rva;
    std::map<rva_t, offset_t> rva_file;
    std::map<rva_t, bool> rva_in_unit;
    offset_t fake = 0;
    for (const Unit& u : units) {
      if (u.rva_size == 0) continue;  // no place in memory: dropped
      fake = std::max(fake, u.offset_begin + u.offset_size);
      for (offset_t k = 0; k < u.rva_size; ++k) {
        if (k < u.offset_size) {
          offset_to_rva[u.offset_begin + k] = u.rva_begin + k;
          rva_file[u.rva_begin + k] = u.offset_begin + k;
        }
        rva_in_unit[u.rva_begin + k] = true;
      }
    }
    ASSERT_EQ(map.fake_offset_begin(), fake);
    for (rva_t r = 0; r < rva + 64; ++r) {
      offset_t expected = kInvalidOffset;
      if (rva_file.count(r)) {
        expected = rva_file[r];
      } else if (rva_in_unit.count(r)) {
        expected = fake + r;
      }
      ASSERT_EQ(map.RvaToOffset(r), expected) << round << " rva " << r;
      const rva_t back = map.OffsetToRva(fake + r);
      ASSERT_EQ(back, rva_in_unit.count(r) && !rva_file.count(r) ? r : kInvalidRva) << round << " fake " << r;
    }
    for (offset_t o = 0; o < fake; ++o) {
      ASSERT_EQ(map.OffsetToRva(o), offset_to_rva.count(o) ? offset_to_rva[o] : kInvalidRva) << round << " " << o;
    }
  }
}

struct Abs32Image {
  Bytes bytes;
  RvaOffsetMap map;
  Abs32Image(std::size_t size, std::vector<Unit> units) : bytes(size, 0) {
    EXPECT_EQ(map.Initialize(std::move(units)), 0);
  }
  void Put32(offset_t at, std::uint32_t v) { MutableBufferView(bytes.data(), bytes.size()).write(at, v); }
  ConstBufferView view() const { return ConstBufferView(bytes.data(), bytes.size()); }
  MutableBufferView mut() { return MutableBufferView(bytes.data(), bytes.size()); }
};

std::vector<Reference> ReadAll(ReferenceReader& reader) {
  std::vector<Reference> refs;
  while (auto r = reader.GetNext()) refs.push_back(*r);
  return refs;
}

TEST(Abs32, ReadsAddressesAboveTheImageBaseAsTargets) {
  // Image base 0x400000, one unit over the whole file plus a tail of 0x100 bytes.
  Abs32Image image(0x40, {{0, 0x40, 0, 0x140}});
  const std::uint32_t base = 0x400000;
  image.Put32(0x00, base);               // RVA 0
  image.Put32(0x04, base - 1);           // below the base: skipped
  image.Put32(0x08, base + 0x7FFFFFFF);  // too far above: skipped
  image.Put32(0x0C, base + 0x30);        // offset 0x30
  image.Put32(0x10, base + 0x100);       // in the tail: fake offset 0x40 + 0x100
  image.Put32(0x14, base + 0x500);       // no unit: skipped
  const std::deque<offset_t> locations = {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x3E};
  const AbsoluteAddress addr(4, base);
  Abs32ReaderWin32 reader(Abs32RvaExtractorWin32(image.view(), addr, locations, 0, 0x42), image.map);
  EXPECT_EQ(ReadAll(reader), (std::vector<Reference>{{0x00, 0x00}, {0x0C, 0x30}, {0x10, 0x140}}));

  Abs32ReaderWin32 part(Abs32RvaExtractorWin32(image.view(), addr, locations, 0x04, 0x10), image.map);
  EXPECT_EQ(ReadAll(part), (std::vector<Reference>{{0x0C, 0x30}}));

  // The body two bytes before the end is no reference and is dropped with the others.
  std::deque<offset_t> cleaned = locations;
  EXPECT_EQ(RemoveUntranslatableAbs32(image.view(), addr, image.map, &cleaned), 4u);
  EXPECT_EQ(cleaned, (std::deque<offset_t>{0x00, 0x0C, 0x10}));
}

TEST(Abs32, WritersSkipWhatTheyCannotEncodeOrPlace) {
  Abs32Image image(0x40, {{0, 0x40, 0, 0x140}});
  Abs32WriterWin32 writer(image.mut(), AbsoluteAddress(4, 0x1000), image.map);
  writer.PutNext({0x04, 0x30});
  writer.PutNext({0x08, 0x140});  // fake offset: its RVA is written
  writer.PutNext({0x0C, 0x41});   // offset with no RVA
  writer.PutNext({0x3E, 0x10});   // body past the end
  writer.PutNext({0x40, 0x10});
  EXPECT_EQ(ConstBufferView(image.view()).read<std::uint32_t>(0x04), 0x1030u);
  EXPECT_EQ(ConstBufferView(image.view()).read<std::uint32_t>(0x08), 0x1100u);
  EXPECT_EQ(ConstBufferView(image.view()).read<std::uint32_t>(0x0C), 0u);
  EXPECT_EQ(image.bytes[0x3E], 0);
  EXPECT_EQ(image.bytes[0x3F], 0);

  // An address that does not fit 32 bits leaves the bytes unchanged.
  image.Put32(0x20, 0xABCDEF01);
  Abs32WriterWin32 high(image.mut(), AbsoluteAddress(4, 0xFFFFFF00), image.map);
  high.PutNext({0x20, 0x170});  // RVA 0x130: 0xFFFFFF00 + 0x130 needs 33 bits
  EXPECT_EQ(ConstBufferView(image.view()).read<std::uint32_t>(0x20), 0xABCDEF01u);
  // With eight bytes the same address fits.
  Abs32WriterWin32 wide(image.mut(), AbsoluteAddress(8, 0xFFFFFF00), image.map);
  wide.PutNext({0x20, 0x170});
  EXPECT_EQ(ConstBufferView(image.view()).read<std::uint64_t>(0x20), 0x100000030ull);

  AbsoluteAddress a64(8, 0xFFFFFFFFFFFFFF00ull);
  EXPECT_TRUE(a64.FromRva(0xFF));
  EXPECT_FALSE(a64.FromRva(0x100));
  EXPECT_FALSE(a64.FromRva(0x7FFFFFFF));
}

TEST(Abs32, OverlappingBodiesKeepTheFirst) {
  struct Case {
    std::uint32_t width;
    std::deque<offset_t> in;
    std::deque<offset_t> out;
  };
  const Case cases[] = {
      {4, {0x10, 0x12, 0x14, 0x18}, {0x10, 0x14, 0x18}},
      {4, {0x10, 0x11, 0x12, 0x13, 0x14}, {0x10, 0x14}},
      {8, {0, 4, 8, 16, 20}, {0, 8, 16}},
      {4, {7}, {7}},
      {4, {}, {}},
  };
  for (const Case& c : cases) {
    std::deque<offset_t> list = c.in;
    EXPECT_EQ(RemoveOverlappingAbs32Locations(c.width, &list), c.in.size() - c.out.size());
    EXPECT_EQ(list, c.out);
  }
}

TEST_F(BufferViewDeath, Abs32BoundsInsideABodyAreCaughtBeforeTheExtractorsCheck) {
  Abs32Image image(0x40, {{0, 0x40, 0, 0x40}});
  const std::deque<offset_t> locations = {0x10, 0x20};
  const AbsoluteAddress addr(4, 0);
  for (offset_t bound : {0x11u, 0x12u, 0x13u, 0x21u, 0x23u}) {
    EXPECT_TRUE(Abs32BoundSplitsLocation(locations, 4, bound)) << bound;
    EXPECT_EQ(MakeAbs32ReaderWin32(image.view(), addr, locations, bound, 0x40, image.map), nullptr);
    EXPECT_EQ(MakeAbs32ReaderWin32(image.view(), addr, locations, 0, bound, image.map), nullptr);
  }
  for (offset_t bound : {0x0u, 0x10u, 0x14u, 0x20u, 0x24u, 0x40u}) {
    EXPECT_FALSE(Abs32BoundSplitsLocation(locations, 4, bound)) << bound;
    EXPECT_NE(MakeAbs32ReaderWin32(image.view(), addr, locations, bound, 0x40, image.map), nullptr);
  }
  EXPECT_EQ(MakeAbs32ReaderWin32(image.view(), addr, locations, 0x14, 0x10, image.map), nullptr);
  // The extractor itself stops on them.
  EXPECT_DEATH(Abs32RvaExtractorWin32(image.view(), addr, locations, 0x12, 0x40),
               "\\[kestor:FATAL:components/kestor/abs32_utils.cpp:[0-9]+\\] Check failed: it == locations.begin\\(\\) "
               "\\|\\| offset - \\*\\(it - 1\\) >= addr_.width\\(\\)\\. \n");
  EXPECT_DEATH(Abs32RvaExtractorWin32(image.view(), addr, locations, 0x14, 0x10),
               "Check failed: lo <= hi \\(20 vs\\. 16\\)\n");
}

}  // namespace
}  // namespace kestor
