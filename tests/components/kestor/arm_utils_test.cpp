// The eight ARM address types: reads and writes against the bytes the cross assembler and
// linker give for branches at chosen addresses and distances, the refusals of each type, the
// mixers against the kept-bits formula, and the reader, writer and mixer over images.
#include "components/kestor/arm_utils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "components/kestor/rva_offset_map.h"
#include "tests/components/kestor/pe_arm_test_support.h"

namespace kestor {
namespace {

using A32 = AArch32Rel32Translator;
using A64 = AArch64Rel32Translator;
using kestor_test::Bytes;

// The functions of one address type, with 16-bit codes widened to 32 bits.
struct TypeOps {
  const char* name;
  int number;
  offset_t code_size;
  std::uint32_t (*fetch)(const Bytes&);
  Bytes (*store)(std::uint32_t);
  bool (*decode)(std::uint32_t, arm_disp_t*);
  bool (*encode)(arm_disp_t, std::uint32_t*);
  bool (*read)(rva_t, std::uint32_t, rva_t*);
  bool (*write)(rva_t, rva_t, std::uint32_t*);
};

template <class T>
TypeOps Ops(const char* name) {
  using Code = typename T::code_t;
  TypeOps ops;
  ops.name = name;
  ops.number = T::addr_type;
  ops.code_size = sizeof(Code);
  ops.fetch = [](const Bytes& b) -> std::uint32_t { return T::Fetch(ConstBufferView(b.data(), b.size()), 0); };
  ops.store = [](std::uint32_t code) {
    Bytes b(sizeof(Code));
    T::Store(MutableBufferView(b.data(), b.size()), 0, static_cast<Code>(code));
    return b;
  };
  ops.decode = [](std::uint32_t code, arm_disp_t* disp) { return T::Decode(static_cast<Code>(code), disp); };
  ops.encode = [](arm_disp_t disp, std::uint32_t* code) {
    Code c = static_cast<Code>(*code);
    const bool ok = T::Encode(disp, &c);
    *code = c;
    return ok;
  };
  ops.read = [](rva_t r, std::uint32_t code, rva_t* t) { return T::Read(r, static_cast<Code>(code), t); };
  ops.write = [](rva_t r, rva_t t, std::uint32_t* code) {
    Code c = static_cast<Code>(*code);
    const bool ok = T::Write(r, t, &c);
    *code = c;
    return ok;
  };
  return ops;
}

const TypeOps& OpsByName(const std::string& name) {
  static const std::vector<TypeOps> all = {
      Ops<A32::AddrTraits_A24>("A24"),       Ops<A32::AddrTraits_T8>("T8"),
      Ops<A32::AddrTraits_T11>("T11"),       Ops<A32::AddrTraits_T20>("T20"),
      Ops<A32::AddrTraits_T24>("T24"),       Ops<A64::AddrTraits_Immd14>("Immd14"),
      Ops<A64::AddrTraits_Immd19>("Immd19"), Ops<A64::AddrTraits_Immd26>("Immd26"),
  };
  for (const TypeOps& ops : all) {
    if (name == ops.name) return ops;
  }
  ADD_FAILURE() << name;
  return all[0];
}

// --- Against the assembler ----------------------------------------------------------------

struct Encoding {
  std::string type;
  rva_t r, t1, t2;
  Bytes code1, code2;
};

// Branches of every kind placed by a linker script, each linked twice: aimed at t1 and at t2.
std::vector<Encoding> AssemblerEncodings(const std::string& arch, const std::filesystem::path& dir) {
  const std::string body = kestor_test::ImportPeArmFixtures() + "rows = pf.branch_encodings('" + arch + "', r'" +
                           dir.string() +
                           "', per_kind=24)\n"
                           "out(0, '\\n'.join('%s %d %d %d %s %s' % (t, r, t1, t2, b1.hex(), b2.hex())\n"
                           "                  for t, k, r, t1, b1, t2, b2 in rows).encode())\n";
  const std::vector<Bytes> r = kestor_test::RunPython(body, 1);
  std::vector<Encoding> out;
  if (r.size() != 1) return out;
  std::istringstream in(std::string(r[0].begin(), r[0].end()));
  std::string type, hex1, hex2;
  std::uint64_t rr, t1, t2;
  const auto unhex = [](const std::string& h) {
    Bytes b;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
      b.push_back(static_cast<std::uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    return b;
  };
  while (in >> type >> rr >> t1 >> t2 >> hex1 >> hex2) {
    out.push_back(
        {type, static_cast<rva_t>(rr), static_cast<rva_t>(t1), static_cast<rva_t>(t2), unhex(hex1), unhex(hex2)});
  }
  return out;
}

void ExpectMatchesAssembler(const std::string& arch, std::size_t types) {
  TempDir dir;
  const std::vector<Encoding> encodings = AssemblerEncodings(arch, dir.path());
  ASSERT_GE(encodings.size(), 24 * types);
  std::map<std::string, int> per_type;
  for (const Encoding& e : encodings) {
    SCOPED_TRACE(e.type + " at " + std::to_string(e.r) + " to " + std::to_string(e.t1) + " / " + std::to_string(e.t2));
    const TypeOps& ops = OpsByName(e.type);
    ASSERT_EQ(e.code1.size(), ops.code_size);
    ++per_type[e.type];
    const std::uint32_t code1 = ops.fetch(e.code1);
    const std::uint32_t code2 = ops.fetch(e.code2);
    rva_t target;
    ASSERT_TRUE(ops.read(e.r, code1, &target));
    EXPECT_EQ(target, e.t1);
    ASSERT_TRUE(ops.read(e.r, code2, &target));
    EXPECT_EQ(target, e.t2);
    std::uint32_t code = code1;
    ASSERT_TRUE(ops.write(e.r, e.t2, &code));
    EXPECT_EQ(ops.store(code), e.code2);
    code = code2;
    ASSERT_TRUE(ops.write(e.r, e.t1, &code));
    EXPECT_EQ(ops.store(code), e.code1);
    // The displacement of one moved into the other by decode and encode.
    arm_disp_t disp;
    ASSERT_TRUE(ops.decode(code2, &disp));
    code = code1;
    ASSERT_TRUE(ops.encode(disp, &code));
    EXPECT_EQ(ops.store(code), e.code2);
  }
  EXPECT_EQ(per_type.size(), types);
}

TEST(ArmAddressTypes, AArch32AgreesWithTheAssembler) { ExpectMatchesAssembler("arm", 5); }
TEST(ArmAddressTypes, AArch64AgreesWithTheAssembler) { ExpectMatchesAssembler("aarch64", 3); }

// --- Hand-made cases ----------------------------------------------------------------------

struct WriteCase {
  const char* type;
  std::uint32_t code;  // a code of the type, its displacement field zero
  rva_t r, t;
  std::optional<std::uint32_t> written;  // none: the write is refused
};

TEST(ArmAddressTypes, WritesAndRefusals) {
  const std::vector<WriteCase> cases = {
      // A BL at 0x1000 aimed at 0x2000: imm24 0x3FE; 2 bytes further only a BLX can go.
      {"A24", 0xEB000000, 0x1000, 0x2000, 0xEB0003FE},
      {"A24", 0xEB000000, 0x1000, 0x2002, std::nullopt},
      {"A24", 0xFA000000, 0x1000, 0x2002, 0xFB0003FE},
      {"A24", 0xFA000000, 0x1000, 0x2001, std::nullopt},
      {"A24", 0x0A000000, 0x1000, 0x1008 + (1u << 25) - 4, 0x0A7FFFFF},
      {"A24", 0x0A000000, 0x1000, 0x1008 + (1u << 25), std::nullopt},
      {"A24", 0xEA000000, 0x4000000, 0x4000008 - (1u << 25), 0xEA800000},
      {"A24", 0xEA000000, 0x4000000, 0x4000008 - (1u << 25) - 4, std::nullopt},
      {"A24", 0xEB000000, 0x1002, 0x2000, std::nullopt},  // misaligned instruction
      {"A24", 0xE1A00000, 0x1000, 0x2000, std::nullopt},  // not a branch
      // T8 at 0x100: 0x104 gives imm8 0; 256 further is out of range.
      {"T8", 0xD000, 0x100, 0x104, 0xD000},
      {"T8", 0xD100, 0x100, 0x104 + 254, 0xD17F},
      {"T8", 0xD000, 0x100, 0x104 + 256, std::nullopt},
      {"T8", 0xD000, 0x200, 0x204 - 256, 0xD080},
      {"T8", 0xD000, 0x200, 0x204 - 258, std::nullopt},
      {"T8", 0xD000, 0x101, 0x104, std::nullopt},
      {"T8", 0xD000, 0x100, 0x105, std::nullopt},
      {"T8", 0xDF00, 0x100, 0x104, std::nullopt},  // SVC
      {"T11", 0xE000, 0x1000, 0x1004 + 2046, 0xE3FF},
      {"T11", 0xE000, 0x1000, 0x1004 + 2048, std::nullopt},
      {"T11", 0xE000, 0x1000, 0x1004 - 2048, 0xE400},
      // T20: S, J2, J1, imm6, imm11 from displacement bits 20, 19, 18, 17..12 and 11..1.
      {"T20", 0xF0008000, 0x10000, 0x10004 + 0x2, 0xF0008001},
      {"T20", 0xF0008000, 0x10000, 0x10004 + 0x1000, 0xF0018000},
      {"T20", 0xF0008000, 0x10000, 0x10004 + 0x40000, 0xF000A000},
      {"T20", 0xF0008000, 0x10000, 0x10004 + 0x80000, 0xF0008800},
      {"T20", 0xF0008000, 0x200000, 0x200004 - 0x100000, 0xF4008000},
      {"T20", 0xF0008000, 0x200000, 0x200004 + 0x100000, std::nullopt},
      {"T20", 0xF3C08000, 0x10000, 0x10006, std::nullopt},  // condition 1111
      // T24: a BLX at 2 mod 4 counts from r + 4 rounded down to 4.
      {"T24", 0xF000C000, 0x102, 0x200, 0xF000E87E},
      {"T24", 0xF000C000, 0x102, 0x202, std::nullopt},
      {"T24", 0xF000C001, 0x102, 0x200, std::nullopt},  // BLX with bit 0 set
      {"T24", 0xF000F800, 0x100, 0x104 + 0xFFFFFE, 0xF3FFD7FF},
      {"T24", 0xF000F800, 0x100, 0x104 + 0x1000000, std::nullopt},
      {"T24", 0xF0009000, 0x1000000, 0x1000004 - 0x1000000, 0xF4009000},
      {"Immd14", 0x36000000, 0x1000, 0x1000 + 0x7FFC, 0x3603FFE0},
      {"Immd14", 0x36000000, 0x1000, 0x1000 + 0x8000, std::nullopt},
      {"Immd14", 0x36000000, 0x1000, 0x1002, std::nullopt},
      {"Immd19", 0x54000001, 0x1000, 0x1004, 0x54000021},
      {"Immd19", 0x54000011, 0x1000, 0x1004, std::nullopt},  // bit 4 set: not B.cond
      {"Immd19", 0xB4000000, 0x1000, 0x1008, 0xB4000040},    // CBZ, 64-bit
      {"Immd19", 0x34000000, 0x1000, 0x1008, 0x34000040},    // CBZ, 32-bit
      {"Immd19", 0x35000000, 0x100000, 0x100000 - 0x100000, 0x35800000},
      {"Immd19", 0x35000000, 0x100000, 0x100000 + 0x100000, std::nullopt},
      {"Immd26", 0x14000000, 0x8000000, 0, 0x16000000},
      {"Immd26", 0x94000000, 0x1000, 0x1000 + 0x7FFFFFC, 0x95FFFFFF},
      {"Immd26", 0x94000000, 0x1000, 0x1000 + 0x8000000, std::nullopt},
      {"Immd26", 0x94000000, 0x1004, 0x1006, std::nullopt},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + std::to_string(c.r) + " -> " + std::to_string(c.t));
    const TypeOps& ops = OpsByName(c.type);
    std::uint32_t code = c.code;
    const bool ok = ops.write(c.r, c.t, &code);
    ASSERT_EQ(ok, c.written.has_value());
    if (!ok) continue;
    EXPECT_EQ(code, *c.written);
    rva_t target;
    ASSERT_TRUE(ops.read(c.r, code, &target));
    EXPECT_EQ(target, c.t);
  }
}

TEST(ArmAddressTypes, WhatIsOfEachType) {
  struct Case {
    const char* type;
    std::uint32_t code;
    bool of_type;
  };
  const std::vector<Case> cases = {
      {"A24", 0xEA000000, true},     {"A24", 0x0B000000, true},     {"A24", 0xFB000000, true},
      {"A24", 0xE8000000, false},    {"T8", 0xDE00, true},          {"T8", 0xDF00, false},
      {"T8", 0xC000, false},         {"T11", 0xE7FF, true},         {"T11", 0xE800, false},
      {"T20", 0xF3808000, true},     {"T20", 0xF3C08000, false},    {"T20", 0xF0009000, false},
      {"T24", 0xF0009000, true},     {"T24", 0xF000D000, true},     {"T24", 0xF000C000, true},
      {"T24", 0xF000C001, false},    {"T24", 0xF0008000, false},    {"Immd14", 0xB7000000, true},
      {"Immd14", 0x37800000, true},  {"Immd14", 0x38000000, false}, {"Immd19", 0x5400000F, true},
      {"Immd19", 0x54000010, false}, {"Immd19", 0xB5000000, true},  {"Immd19", 0x35000000, true},
      {"Immd26", 0x97FFFFFF, true},  {"Immd26", 0x18000000, false},
  };
  for (const Case& c : cases) {
    arm_disp_t disp;
    rva_t target;
    EXPECT_EQ(OpsByName(c.type).decode(c.code, &disp), c.of_type) << c.type << " " << std::hex << c.code;
    EXPECT_EQ(OpsByName(c.type).read(0x1000, c.code, &target), c.of_type) << c.type << " " << std::hex << c.code;
  }
  // An ARM BLX with H set aims 2 bytes beyond the word-aligned target; reads need aligned RVAs.
  rva_t target;
  ASSERT_TRUE(A32::ReadA24(0x1000, 0xFB000000, &target));
  EXPECT_EQ(target, 0x100Au);
  EXPECT_FALSE(A32::ReadA24(0x1002, 0xFB000000, &target));
  EXPECT_FALSE(A32::ReadT8(0x1001, 0xD000, &target));
  EXPECT_FALSE(A64::ReadImmd26(0x1002, 0x14000000, &target));
  // A Thumb-2 32-bit code is stored high halfword first.
  Bytes b(4);
  A32::StoreThumb2Code32(MutableBufferView(b.data(), 4), 0, 0xF000F800);
  EXPECT_EQ(b, (Bytes{0x00, 0xF0, 0x00, 0xF8}));
  EXPECT_EQ(A32::FetchThumb2Code32(ConstBufferView(b.data(), 4), 0), 0xF000F800u);
}

// --- Mixers -------------------------------------------------------------------------------

// A random code of the type.
std::uint32_t RandomCode(const std::string& type, std::mt19937& rng) {
  const std::uint32_t w = static_cast<std::uint32_t>(rng());
  if (type == "A24") return (w & ~0x0E000000u) | 0x0A000000;
  if (type == "T8") return 0xD000 | (w % 15) << 8 | (w >> 8 & 0xFF);
  if (type == "T11") return 0xE000 | (w & 0x7FF);
  if (type == "T20") return (w & ~0xFBC0D000u & 0xFFFFFFFF) | 0xF0008000 | ((w >> 28) % 15) << 22;
  if (type == "T24") {
    if (w & 1) return (w & ~0xF8009000u) | 0xF0009000;
    return (w & ~0xF800D001u) | 0xF000C000;
  }
  if (type == "Immd14") return (w & ~0x7E000000u) | 0x36000000;
  if (type == "Immd19") return (w & 1) ? (w & ~0xFF000010u) | 0x54000000 : (w & ~0x7E000000u) | 0x34000000;
  return (w & ~0x7C000000u) | 0x14000000;
}

// A24 keeps bits 31..25, and bit 24 too except in a BLX, where it is displacement bit 1.
const std::map<std::string, std::uint32_t> kKeptBits = {
    {"A24", 0xFE000000}, {"T8", 0xDF00},         {"T11", 0xF800},        {"T20", 0xF3C08000},
    {"T24", 0xF800D000}, {"Immd14", 0xB7F8001F}, {"Immd19", 0xF500001F}, {"Immd26", 0x94000000},
};

bool IsA32Blx(std::uint32_t code) { return code >> 28 == 0xF; }

// Whether an old code's displacement fits a new code of the same type.
bool Mixable(const std::string& type, std::uint32_t old_code, std::uint32_t new_code) {
  if (type == "A24") return IsA32Blx(new_code) || !IsA32Blx(old_code) || (old_code & 0x01000000) == 0;
  if (type == "T24") return (new_code & 0xD000) != 0xC000 || (old_code & 1) == 0;
  return true;
}

// (new AND kept) OR (old AND NOT kept); an A24 BLX takes bit 24 from an old BLX, else 0.
std::uint32_t MixFormula(const std::string& type, std::uint32_t old_code, std::uint32_t new_code) {
  std::uint32_t kept = kKeptBits.at(type);
  if (type == "A24" && !IsA32Blx(new_code)) kept |= 0x01000000;
  std::uint32_t mixed = (new_code & kept) | (old_code & ~kept);
  if (type == "A24" && IsA32Blx(new_code) && !IsA32Blx(old_code)) mixed &= ~0x01000000u;
  return mixed & (OpsByName(type).code_size == 2 ? 0xFFFF : 0xFFFFFFFF);
}

template <class T>
std::unique_ptr<ReferenceMixer> MakeMixer(ConstBufferView old_image, ConstBufferView new_image) {
  return std::make_unique<Rel32MixerArm<T>>(old_image, new_image);
}

using MixerFactory = std::unique_ptr<ReferenceMixer> (*)(ConstBufferView, ConstBufferView);
const std::vector<std::pair<const char*, MixerFactory>> kMixers = {
    {"A24", MakeMixer<A32::AddrTraits_A24>},       {"T8", MakeMixer<A32::AddrTraits_T8>},
    {"T11", MakeMixer<A32::AddrTraits_T11>},       {"T20", MakeMixer<A32::AddrTraits_T20>},
    {"T24", MakeMixer<A32::AddrTraits_T24>},       {"Immd14", MakeMixer<A64::AddrTraits_Immd14>},
    {"Immd19", MakeMixer<A64::AddrTraits_Immd19>}, {"Immd26", MakeMixer<A64::AddrTraits_Immd26>},
};

// Mixes random pairs placed at offsets 4 (old) and 8 (new) of two images; `mixable` chooses
// which pairs are used. Returns the number of pairs checked.
std::size_t MixRandomPairs(bool mixable, std::size_t per_type, const std::function<void(const char*, bool)>& check) {
  std::mt19937 rng(29);
  std::size_t checked = 0;
  for (const auto& [type, factory] : kMixers) {
    const TypeOps& ops = OpsByName(type);
    for (std::size_t found = 0, tries = 0; found < per_type && tries < 100000; ++tries) {
      const std::uint32_t old_code = RandomCode(type, rng);
      const std::uint32_t new_code = RandomCode(type, rng);
      if (Mixable(type, old_code, new_code) != mixable) continue;
      ++found;
      Bytes old_image(16, 0xAA), new_image(16, 0x55);
      const Bytes old_bytes = ops.store(old_code), new_bytes = ops.store(new_code);
      std::copy(old_bytes.begin(), old_bytes.end(), old_image.begin() + 4);
      std::copy(new_bytes.begin(), new_bytes.end(), new_image.begin() + 8);
      std::unique_ptr<ReferenceMixer> mixer = factory(ConstBufferView(old_image.data(), old_image.size()),
                                                      ConstBufferView(new_image.data(), new_image.size()));
      const ConstBufferView out = mixer->Mix(4, 8);
      const Bytes mixed(out.begin(), out.end());
      const Bytes want = ops.store(mixable ? MixFormula(type, old_code, new_code) : new_code);
      const bool ok = mixed == want;
      check(type, ok);
      ++checked;
    }
  }
  return checked;
}

TEST(ArmMixers, MixAgreesWithTheKeptBitsFormula) {
  const std::size_t checked = MixRandomPairs(true, 2000, [](const char* type, bool ok) { EXPECT_TRUE(ok) << type; });
  EXPECT_EQ(checked, 8 * 2000u);
}

// Failed mixes give the new code unchanged and spend the process-wide warning budget, so they
// run in a child process: ten warnings, one suppression line, then silence.
TEST(ArmMixers, FailedMixesKeepTheNewCodeAndWarnTenTimes) {
  EXPECT_EXIT(
      {
        testing::internal::CaptureStdout();
        bool all_ok = true;
        const std::size_t checked = MixRandomPairs(false, 50, [&](const char* type, bool ok) {
          all_ok = all_ok && ok && (std::string(type) == "A24" || std::string(type) == "T24");
        });
        // A location whose code unit does not fit gives an empty view.
        Bytes image(6, 0);
        Rel32MixerArm<A32::AddrTraits_A24> mixer(ConstBufferView(image.data(), 6), ConstBufferView(image.data(), 6));
        all_ok = all_ok && mixer.Mix(0, 4).empty();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::vector<kestor_test::LogLine> lines = kestor_test::ParseLogLines(out);
        all_ok =
            all_ok && checked == 100 && lines.size() == 11 && lines[10].message == "(Additional output suppressed)";
        for (std::size_t i = 0; i < 10 && i < lines.size(); ++i) {
          all_ok = all_ok && lines[i].severity == "WARNING" &&
                   (lines[i].message == "Reference byte mix failed with type = 0." ||
                    lines[i].message == "Reference byte mix failed with type = 4.");
        }
        std::_Exit(all_ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// --- Reader and writer over an image ------------------------------------------------------

struct ArmImage {
  Bytes bytes = Bytes(0x40, 0);
  RvaOffsetMap map;
  ArmImage() { EXPECT_EQ(map.Initialize({{0, 0x40, 0x1000, 0x80}}), RvaOffsetMap::kSuccess); }
  void Put(offset_t at, const Bytes& b) { std::copy(b.begin(), b.end(), bytes.begin() + at); }
  ConstBufferView view() const { return ConstBufferView(bytes.data(), bytes.size()); }
  MutableBufferView mutable_view() { return MutableBufferView(bytes.data(), bytes.size()); }
};

TEST(Rel32ReaderArm, YieldsTheTypesBranchesInsideTheRange) {
  ArmImage image;
  const TypeOps& t24 = OpsByName("T24");
  std::uint32_t code = 0xF000F800;  // BL
  ASSERT_TRUE(t24.write(0x1004, 0x1020, &code));
  image.Put(0x04, t24.store(code));
  image.Put(0x0A, t24.store(code));  // the same bits 6 bytes on: aimed 6 bytes further
  code = 0xF000F800;
  ASSERT_TRUE(t24.write(0x1010, 0x1060, &code));  // into the file-less tail: a fake offset
  image.Put(0x10, t24.store(code));
  image.Put(0x18, {0x00, 0xBF, 0x00, 0xBF});  // no longer a branch: skipped
  code = 0xF000F800;
  ASSERT_TRUE(t24.write(0x101C, 0x2000, &code));  // outside every unit: skipped
  image.Put(0x1C, t24.store(code));
  const std::deque<offset_t> locations = {0x04, 0x0A, 0x10, 0x18, 0x1C};
  struct Case {
    offset_t lo, hi;
    std::vector<Reference> refs;
  };
  const offset_t fake = image.map.fake_offset_begin() + 0x1060;
  const std::vector<Case> cases = {
      {0, 0x40, {{0x04, 0x20}, {0x0A, 0x26}, {0x10, fake}}},
      {0x05, 0x10, {{0x0A, 0x26}}},
      {0x0B, 0x10, {}},
      {0x11, 0x40, {}},
      {0, 0x04, {}},
  };
  for (const Case& c : cases) {
    Rel32ReaderArm<A32::AddrTraits_T24> reader(image.view(), image.map, locations, c.lo, c.hi);
    std::vector<Reference> refs;
    while (std::optional<Reference> ref = reader.GetNext()) refs.push_back(*ref);
    EXPECT_EQ(refs, c.refs) << c.lo << ".." << c.hi;
    EXPECT_FALSE(reader.GetNext().has_value());
  }
}

TEST(Rel32WriterArm, RewritesBranchesAndRefusesWhatCannotBeWritten) {
  ArmImage image;
  image.Put(0x00, {0x00, 0x00, 0x00, 0xEB});  // BL at RVA 0x1000
  image.Put(0x08, {0x00, 0xD0});              // BEQ.N at RVA 0x1008
  image.Put(0x3C, {0x00, 0xF0, 0x00, 0xF8});  // BL (Thumb-2) at RVA 0x103C, ending the image
  Rel32WriterArm<A32::AddrTraits_A24> a24(image.mutable_view(), image.map);
  Rel32WriterArm<A32::AddrTraits_T8> t8(image.mutable_view(), image.map);
  Rel32WriterArm<A32::AddrTraits_T24> t24(image.mutable_view(), image.map);
  a24.PutNext({0x00, 0x20});
  t8.PutNext({0x08, 0x0C});
  t24.PutNext({0x3C, 0x00});
  EXPECT_EQ(image.bytes[0], 0x06);  // (0x1020 - 0x1008) / 4
  EXPECT_EQ(image.bytes[8], 0x00);
  EXPECT_EQ(image.bytes[0x3C] | image.bytes[0x3D] << 8, 0xF7FF);  // 0x1000 - 0x1040 = -0x40
  EXPECT_EQ(image.bytes[0x3E] | image.bytes[0x3F] << 8, 0xFFE0);

  const Bytes written = image.bytes;
  testing::internal::CaptureStderr();
  a24.PutNext({0x00, 0x22});        // not a multiple of 4
  t8.PutNext({0x08, 0x31});         // an odd target
  a24.PutNext({0x00, 0x200});       // no RVA for the target
  a24.PutNext({0x3E, 0x20});        // the word passes the image's end
  t8.PutNext({0x40, 0x20});         // starts at the end
  t24.PutNext({0xFFFFFFFE, 0x20});  // far beyond it
  const std::string log = testing::internal::GetCapturedStderr();
  std::vector<std::string> messages;
  for (const kestor_test::LogLine& l : kestor_test::ParseLogLines(log)) {
    EXPECT_EQ(l.severity, "ERROR");
    EXPECT_TRUE(kestor_test::EndsWith(l.file, "components/kestor/rel32_utils.h")) << l.file;
    messages.push_back(l.message);
  }
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "Write error: 00000000: EB000006 <= 00001022.",
                          "Write error: 00000008: 0000D000 <= 00001031.",
                          "Write error: 00000000: EB000006 <= FFFFFFFE.",
                          "Write error: 0000003E: 00000000 <= 00001020.",
                          "Write error: 00000040: 00000000 <= 00001020.",
                          "Write error: FFFFFFFE: 00000000 <= 00001020.",
                      }));
  EXPECT_EQ(kestor_test::CountOf(log, "rel32_utils.h:141] Write error: "), 6u);
  EXPECT_EQ(image.bytes, written);
}

}  // namespace
}  // namespace kestor
