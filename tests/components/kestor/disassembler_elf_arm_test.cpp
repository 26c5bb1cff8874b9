// The ELF ARM disassemblers against the cross binutils: relocations, absolute addresses and
// every branch of linked AArch32 and AArch64 programs agree with readelf and objdump, type by
// type; the ARM/Thumb-2 choice and its log line; the ARM finders' scan rules on crafted code.
#include "components/kestor/disassembler_elf_arm.h"

#include <gtest/gtest.h>

#include <algorithm>
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
  const std::vector<Bytes> r =
      kestor_test::RunPython(std::string(kestor_test::kPythonPack) + "e = kp.ArmElfImage(r'" + path.string() +
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

// The old and the new program of one fixture kind.
template <class Dis>
void ExpectProgramsAgreeWithBinutils(const char* kind, std::size_t types, std::size_t min_branches) {
  TempDir dir;
  for (bool is_new : {false, true}) {
    const fs::path program = kestor_test::BuildCrossProgram(dir.path(), kind, is_new);
    ASSERT_FALSE(program.empty());
    ExpectAgreesWithBinutils<Dis>(program, types, min_branches);
  }
}

TEST(ElfArmBinutils, AArch32Programs) { ExpectProgramsAgreeWithBinutils<DisassemblerElfAArch32>("arm", 5, 250); }
TEST(ElfArmBinutils, AArch64Programs) { ExpectProgramsAgreeWithBinutils<DisassemblerElfAArch64>("aarch64", 3, 200); }

TEST(ElfArmDisassembler, NamesAndGroups) {
  DisassemblerElfAArch32 a32;
  DisassemblerElfAArch64 a64;
  EXPECT_EQ(a32.GetExeType(), kExeTypeElfAArch32);
  EXPECT_EQ(a64.GetExeType(), kExeTypeElfAArch64);
  EXPECT_EQ(a32.GetExeTypeString(), "ELF ARM");
  EXPECT_EQ(a64.GetExeTypeString(), "ELF ARM64");
  const auto expect_groups = [](Disassembler& dis, const std::vector<offset_t>& widths) {
    const std::vector<ReferenceGroup> groups = dis.MakeReferenceGroups();
    ASSERT_EQ(groups.size(), widths.size());
    for (std::size_t i = 0; i < widths.size(); ++i) {
      EXPECT_EQ(groups[i].width(), widths[i]);
      EXPECT_EQ(groups[i].type_tag(), i);
      EXPECT_EQ(groups[i].pool_tag(), std::min<std::size_t>(i, 2));
      // Branch groups have mixers; relocations and absolute addresses have none.
      EXPECT_EQ(groups[i].GetMixer({}, {}, dis) != nullptr, i >= 2) << i;
    }
  };
  expect_groups(a32, {4, 4, 4, 2, 2, 4, 4});
  expect_groups(a64, {8, 8, 4, 4, 4});
}

// Builds an AArch32 program from assembly source (a python expression); empty on failure.
fs::path BuildArm(const fs::path& dir, const std::string& name, const std::string& source_expression,
                  const std::string& link_args = "()") {
  std::string body = kestor_test::ImportPeArmFixtures();
  body += "p = pf.build('arm', r'";
  body += (dir / name).string();
  body += "', source=";
  body += source_expression;
  body += ", link_args=";
  body += link_args;
  body += ")\nout(0, p.encode())\n";
  const std::vector<Bytes> r = kestor_test::RunPython(body, 1);
  return r.size() == 1 && !r[0].empty() ? fs::path(std::string(r[0].begin(), r[0].end())) : fs::path();
}

// A section of 400 words is ARM when 160 of them carry the condition AL (160 is not below
// 40% of 400) and Thumb-2 with 159; the share is logged with two decimals.
TEST(ElfArmDisassembler, ArmOrThumb2ByTheShareOfWordsWithConditionAl) {
  TempDir dir;
  for (int arm_like : {160, 159}) {
    SCOPED_TRACE(arm_like);
    const fs::path program =
        BuildArm(dir.path(), "scan" + std::to_string(arm_like), "pf.scan_program(" + std::to_string(arm_like) + ")");
    ASSERT_FALSE(program.empty());
    const Bytes image = kestor_test::ReadFileBytes(program);
    testing::internal::CaptureStdout();
    DisassemblerElfAArch32 dis;
    const bool parsed = dis.Parse(View(image));
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(parsed);
    std::vector<std::string> messages;
    for (const kestor_test::LogLine& l : kestor_test::ParseLogLines(log)) {
      EXPECT_EQ(l.severity, "INFO");
      EXPECT_TRUE(kestor_test::EndsWith(l.file, "components/kestor/disassembler_elf.cpp")) << l.file;
      messages.push_back(l.message);
    }
    // .scan, then .target (one BX LR).
    EXPECT_EQ(messages, (std::vector<std::string>{
                            arm_like == 160 ? "Section scan: 160 / 400 => 40.00%" : "Section scan: 159 / 400 => 39.75%",
                            "Section scan: 1 / 1 => 100.00%"}));
    EXPECT_EQ(kestor_test::CountOf(log, "disassembler_elf.cpp:715] Section scan: "), 2u);
    // The BL that starts .scan is an A24 branch only when the section is scanned as ARM.
    const offset_t scan = static_cast<offset_t>(dis.exec_sections()[0].sh_offset);
    const auto& a24 = dis.rel32_locations(AArch32Rel32Translator::ADDR_A24);
    EXPECT_EQ(std::count(a24.begin(), a24.end(), scan), arm_like == 160 ? 1 : 0);
  }
}

// Branches count when their target lies in any executable section, never in data nor in a
// section below the first executable one; a section at 2 mod 4 is Thumb-2 code without a
// "Section scan: " line.
TEST(ElfArmDisassembler, TargetsInExecutableSectionsOnly) {
  TempDir dir;
  const std::string source =
      "'.syntax unified\\n"
      ".section .arm_a,\"ax\",%progbits\\n.arm\\n.p2align 2\\n.globl _start\\n_start:\\n"
      "  bl other\\n  bl datum\\n  bl _start\\n  bl low\\n  bx lr\\n"
      ".section .arm_b,\"ax\",%progbits\\n.arm\\n.p2align 2\\nother:\\n  bx lr\\n"
      ".section .odd,\"ax\",%progbits\\n.thumb\\n.p2align 1\\n.thumb_func\\nodd_fn:\\n"
      "  bl odd_fn2\\n  blx other\\n.thumb_func\\nodd_fn2:\\n  bx lr\\n  nop\\n"
      ".section .low,\"a\",%progbits\\n.p2align 2\\nlow:\\n  .long 0\\n"
      ".data\\n.p2align 2\\ndatum:\\n  .long 0\\n'";
  const fs::path program = BuildArm(dir.path(), "targets", source,
                                    "('--section-start=.low=0x1000', '--section-start=.arm_a=0x8000', "
                                    "'--section-start=.arm_b=0x8100', '--section-start=.odd=0x10002')");
  ASSERT_FALSE(program.empty());
  const Bytes image = kestor_test::ReadFileBytes(program);
  testing::internal::CaptureStdout();
  DisassemblerElfAArch32 dis;
  const bool parsed = dis.Parse(View(image));
  const std::string log = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(parsed);
  ASSERT_EQ(dis.exec_sections().size(), 3u);
  const offset_t arm_a = static_cast<offset_t>(dis.exec_sections()[0].sh_offset);
  const offset_t odd = static_cast<offset_t>(dis.exec_sections()[2].sh_offset);
  EXPECT_EQ(dis.exec_sections()[2].sh_addr % 4, 2u);
  // .low translates, and lies below the first executable section.
  EXPECT_LT(dis.rva_offset_map().RvaToOffset(0x1000), arm_a);
  const auto& a24 = dis.rel32_locations(AArch32Rel32Translator::ADDR_A24);
  EXPECT_EQ(std::vector<offset_t>(a24.begin(), a24.end()), (std::vector<offset_t>{arm_a, arm_a + 8}));
  const auto& t24 = dis.rel32_locations(AArch32Rel32Translator::ADDR_T24);
  EXPECT_EQ(std::vector<offset_t>(t24.begin(), t24.end()), (std::vector<offset_t>{odd, odd + 4}));
  // Lines for .arm_a and .arm_b only.
  EXPECT_EQ(kestor_test::CountOf(log, "Section scan: "), 2u);
}

// --- The finders on crafted code ----------------------------------------------------------

struct Code {
  Bytes bytes;
  RvaOffsetMap map;
  // The bytes mapped whole at `rva`.
  Code(Bytes b, rva_t rva) : bytes(std::move(b)) {
    EXPECT_EQ(map.Initialize({{0, static_cast<offset_t>(bytes.size()), rva, static_cast<rva_t>(bytes.size())}}),
              RvaOffsetMap::kSuccess);
  }
  ConstBufferView view() const { return View(bytes); }
};

Bytes Halfwords(const std::vector<std::uint16_t>& h) {
  Bytes b;
  for (std::uint16_t v : h) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  return b;
}

Bytes Words(const std::vector<std::uint32_t>& w) {
  Bytes b;
  for (std::uint32_t v : w) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  return b;
}

template <class Finder>
std::vector<typename Finder::Result> FindAll(Finder& finder, OffsetRange region) {
  std::vector<typename Finder::Result> out;
  finder.SetRegion(region);
  while (finder.FindNext()) out.push_back(finder.GetRel32());
  EXPECT_EQ(finder.GetRel32(), Finder::kNoResult);
  return out;
}

TEST(Rel32FinderAArch32, Thumb2Rules) {
  using T = AArch32Rel32Translator;
  using R = Rel32FinderAArch32::Result;
  // 0: DE00 (T8, condition 1110), 2: DF00 (SVC), 4: E800 D001 (a 32-bit instruction whose second
  // half would be a T8), 8: E7FE (T11), 10: F000 F800 (BL), 14: F000 F800 (BL).
  const Code code(Halfwords({0xDE00, 0xDF00, 0xE800, 0xD001, 0xE7FE, 0xF000, 0xF800, 0xF000, 0xF800}), 0x1000);
  Rel32FinderAArch32 finder(code.view(), code.map, true);
  EXPECT_TRUE(finder.is_thumb2());
  EXPECT_EQ(FindAll(finder, {0, 16}),
            (std::vector<R>{{0, 0x1004, T::ADDR_T8}, {8, 0x1008, T::ADDR_T11}, {10, 0x100E, T::ADDR_T24}}));
  // Started at the second half, the scan sees the T8 there; an odd start is moved to even.
  EXPECT_EQ(FindAll(finder, {5, 8}), (std::vector<R>{{6, 0x100C, T::ADDR_T8}}));
  // The last BL whole; cut by the region's end it is not read.
  EXPECT_EQ(FindAll(finder, {14, 18}), (std::vector<R>{{14, 0x1012, T::ADDR_T24}}));
  EXPECT_TRUE(FindAll(finder, {14, 17}).empty());
  EXPECT_TRUE(FindAll(finder, {17, 18}).empty());
  // At odd RVAs nothing is a candidate.
  const Code shifted(code.bytes, 0x1001);
  Rel32FinderAArch32 odd(shifted.view(), shifted.map, true);
  EXPECT_TRUE(FindAll(odd, {0, 18}).empty());
}

TEST(Rel32FinderAArch32, ArmRules) {
  using T = AArch32Rel32Translator;
  using R = Rel32FinderAArch32::Result;
  // 0: BL +0, 4: MOV, 8: BLX with H (2 bytes beyond the word), 12: BNE back to 0.
  const Code code(Words({0xEB000000, 0xE1A00000, 0xFB000000, 0x1AFFFFFB}), 0x2000);
  Rel32FinderAArch32 finder(code.view(), code.map, false);
  EXPECT_FALSE(finder.is_thumb2());
  EXPECT_EQ(FindAll(finder, {0, 16}),
            (std::vector<R>{{0, 0x2008, T::ADDR_A24}, {8, 0x2012, T::ADDR_A24}, {12, 0x2000, T::ADDR_A24}}));
  // The start moves to the next word; a word cut by the end is not read.
  EXPECT_EQ(FindAll(finder, {1, 15}), (std::vector<R>{{8, 0x2012, T::ADDR_A24}}));
  // Words at RVAs 2 mod 4 are no candidates.
  const Code shifted(code.bytes, 0x2002);
  Rel32FinderAArch32 odd(shifted.view(), shifted.map, false);
  EXPECT_TRUE(FindAll(odd, {0, 16}).empty());
}

TEST(Rel32FinderAArch64, Rules) {
  using T = AArch64Rel32Translator;
  using R = Rel32FinderAArch64::Result;
  // TBZ +8, B.NE with bit 4 set (not B.cond), B.EQ -4, CBZ w (32-bit) +4, CBNZ x +0, BL -20,
  // ADD.
  const Code code(Words({0x36000043, 0x54000031, 0x54FFFFE0, 0x34000020, 0xB5000001, 0x97FFFFFB, 0x91000400}), 0x4000);
  Rel32FinderAArch64 finder(code.view(), code.map);
  EXPECT_EQ(FindAll(finder, {0, 28}), (std::vector<R>{{0, 0x4008, T::ADDR_IMMD14},
                                                      {8, 0x4004, T::ADDR_IMMD19},
                                                      {12, 0x4010, T::ADDR_IMMD19},
                                                      {16, 0x4010, T::ADDR_IMMD19},
                                                      {20, 0x4000, T::ADDR_IMMD26}}));
  EXPECT_TRUE(FindAll(finder, {21, 27}).empty());
}

}  // namespace
}  // namespace kestor
