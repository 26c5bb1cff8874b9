// The PE disassemblers against the cross binutils: base relocations, absolute addresses, rel32
// branches and the section translation of linked PE32 and PE32+ programs agree with objdump -p,
// -h and -d; header edits are refused or accepted as the format's quirks say; crafted images
// give the relocation table's and the scan's edge cases.
#include "components/kestor/disassembler_win32.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "components/kestor/disassembler_factory.h"
#include "tests/components/kestor/pe_arm_test_support.h"

namespace kestor {
namespace {

using kestor_test::Bytes;
using kestor_test::View;
namespace fs = std::filesystem;

// What the cross objdump says about one PE image, through the python side.
struct Objdump {
  std::vector<Reference> relocations;
  std::vector<Reference> abs32;
  struct Insn {
    offset_t location, target;
    bool kept;  // a target the engine keeps: in its own section for branches, in any for RIP
  };
  std::vector<Insn> rel32;
  std::vector<offset_t> scan;  // the byte scan written from the format description
  struct Section {
    offset_t offset, size;
    rva_t rva;
    bool nobits;
  };
  std::vector<Section> sections;
  offset_t image_size = 0, fake_offset_begin = 0;
  std::uint64_t image_base = 0;
  rva_t reloc_rva = 0;
  std::uint32_t reloc_size = 0;
};

Objdump AskObjdump(const fs::path& path, const std::string& scan_abs32 = "None") {
  const std::string body =
      std::string(kestor_test::kPythonPack) + "e = kp.PeImage(r'" + path.string() +
      "')\n"
      "out(0, pack(e.relocation_refs()))\n"
      "out(1, pack(e.abs32_refs()))\n"
      "rows = []\n"
      "for i in e.objdump_rel32():\n"
      "    t, s = e.rva_to_offset(i['target_rva']), i['section']\n"
      "    keep = t is not None and (not i['branch'] or s.addr <= i['target_rva'] < s.addr + s.size)\n"
      "    rows.append((i['location'], kp.INVALID if t is None else t, int(keep)))\n"
      "out(2, pack(rows))\n"
      "out(3, pack(e.rel32_scan(" +
      scan_abs32 +
      ")))\n"
      "out(4, pack([(s.off, s.size, s.addr, int(s.kind == 'NOBITS')) for s in e.sections]))\n"
      "out(5, pack([(e.image_size(), e.fake_offset_begin, e.image_base & 0xFFFFFFFF, e.image_base >> 32,\n"
      "              e.reloc_directory[0], e.reloc_directory[1])]))\n";
  const std::vector<Bytes> r = kestor_test::RunPython(body, 6);
  Objdump o;
  if (r.size() != 6) return o;
  o.relocations = kestor_test::UnpackReferences(r[0]);
  o.abs32 = kestor_test::UnpackReferences(r[1]);
  const std::vector<std::uint32_t> insns = kestor_test::UnpackU32(r[2]);
  for (std::size_t i = 0; i + 2 < insns.size(); i += 3) o.rel32.push_back({insns[i], insns[i + 1], insns[i + 2] != 0});
  o.scan = kestor_test::UnpackU32(r[3]);
  const std::vector<std::uint32_t> s = kestor_test::UnpackU32(r[4]);
  for (std::size_t i = 0; i + 3 < s.size(); i += 4) o.sections.push_back({s[i], s[i + 1], s[i + 2], s[i + 3] != 0});
  const std::vector<std::uint32_t> h = kestor_test::UnpackU32(r[5]);
  if (h.size() == 6) {
    o.image_size = h[0];
    o.fake_offset_begin = h[1];
    o.image_base = h[2] | std::uint64_t{h[3]} << 32;
    o.reloc_rva = h[4];
    o.reloc_size = h[5];
  }
  return o;
}

template <class Dis>
void ExpectAgreesWithObjdump(const fs::path& path) {
  SCOPED_TRACE(path.string());
  const Bytes image = kestor_test::ReadFileBytes(path);
  Dis dis;
  ASSERT_TRUE(dis.Parse(View(image)));
  const Objdump o = AskObjdump(path);
  ASSERT_FALSE(o.sections.empty());
  // The symbol table behind the last section's raw data is not part of the image.
  EXPECT_EQ(dis.size(), o.image_size);
  EXPECT_LT(dis.size(), image.size());
  EXPECT_EQ(dis.image_base(), o.image_base);

  // The translation as objdump -h gives the sections; .bss has fake offsets behind them all.
  const RvaOffsetMap& map = dis.rva_offset_map();
  EXPECT_EQ(map.fake_offset_begin(), o.fake_offset_begin);
  for (const Objdump::Section& s : o.sections) {
    for (offset_t delta : {offset_t{0}, s.size / 2, s.size - 1}) {
      if (s.nobits) {
        EXPECT_EQ(map.RvaToOffset(s.rva + delta), o.fake_offset_begin + s.rva + delta);
      } else {
        EXPECT_EQ(map.RvaToOffset(s.rva + delta), s.offset + delta);
        EXPECT_EQ(map.OffsetToRva(s.offset + delta), s.rva + delta);
      }
    }
  }

  // Base relocations and absolute addresses as objdump -p lists them.
  EXPECT_EQ(kestor_test::ReadAll(dis, 0), o.relocations);
  EXPECT_EQ(kestor_test::ReadAll(dis, 1), o.abs32);
  EXPECT_GT(o.relocations.size(), 30u);
  EXPECT_EQ(dis.reloc_region(), (RelocRegion{map.RvaToOffset(o.reloc_rva), o.reloc_size}));
  ASSERT_FALSE(dis.reloc_block_offsets().empty());
  EXPECT_EQ(dis.reloc_block_offsets().front(), map.RvaToOffset(o.reloc_rva));

  // Every rel32 form objdump -d shows with a kept target is found with objdump's target, and
  // the locations are exactly the byte scan's.
  const std::vector<Reference> rel32 = kestor_test::ReadAll(dis, 2);
  std::map<offset_t, offset_t> found;
  for (const Reference& r : rel32) found[r.location] = r.target;
  std::size_t kept = 0;
  for (const Objdump::Insn& insn : o.rel32) {
    if (!insn.kept) continue;
    ++kept;
    auto it = found.find(insn.location);
    ASSERT_NE(it, found.end()) << "rel32 at " << insn.location;
    EXPECT_EQ(it->second, insn.target) << "rel32 at " << insn.location;
  }
  EXPECT_GT(kept, 80u);
  std::vector<offset_t> locations;
  for (const Reference& r : rel32) locations.push_back(r.location);
  EXPECT_EQ(locations, o.scan);
}

// The old and the new program of one fixture kind.
template <class Dis>
void ExpectProgramsAgreeWithObjdump(const char* kind) {
  TempDir dir;
  for (bool is_new : {false, true}) {
    const fs::path program = kestor_test::BuildCrossProgram(dir.path(), kind, is_new);
    ASSERT_FALSE(program.empty());
    ExpectAgreesWithObjdump<Dis>(program);
  }
}

TEST(PeObjdump, LinkedPe32Programs) { ExpectProgramsAgreeWithObjdump<DisassemblerWin32X86>("pe32"); }
TEST(PeObjdump, LinkedPe32PlusPrograms) { ExpectProgramsAgreeWithObjdump<DisassemblerWin32X64>("pe64"); }

TEST(PeDisassembler, NamesAndGroups) {
  DisassemblerWin32X86 x86;
  DisassemblerWin32X64 x64;
  EXPECT_EQ(x86.GetExeType(), kExeTypeWin32X86);
  EXPECT_EQ(x64.GetExeType(), kExeTypeWin32X64);
  EXPECT_EQ(x86.GetExeTypeString(), "Windows PE x86");
  EXPECT_EQ(x64.GetExeTypeString(), "Windows PE x64");
  for (Disassembler* dis : std::vector<Disassembler*>{&x86, &x64}) {
    const std::vector<ReferenceGroup> groups = dis->MakeReferenceGroups();
    ASSERT_EQ(groups.size(), 3u);
    const offset_t width = dis == &x86 ? 4 : 8;
    const std::vector<std::pair<offset_t, std::uint8_t>> want = {{2, 0}, {width, 1}, {4, 2}};
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(groups[i].width(), want[i].first);
      EXPECT_EQ(groups[i].type_tag(), i);
      EXPECT_EQ(groups[i].pool_tag(), want[i].second);
      EXPECT_EQ(groups[i].GetMixer({}, {}, *dis), nullptr);
    }
  }
}

// --- Edited programs ----------------------------------------------------------------------

// Fields of a PE image by their place.
class PeEditor {
 public:
  explicit PeEditor(Bytes* image, bool is64) : image_(image), is64_(is64) {}
  std::uint32_t e_lfanew() const { return Get32(0x3C); }
  std::size_t coff() const { return e_lfanew() + 4; }
  std::size_t optional() const { return coff() + 20; }
  std::size_t section_table() const { return optional() + (is64_ ? 240 : 224); }
  std::size_t section(std::size_t i) const { return section_table() + 40 * i; }
  std::size_t directory(std::size_t i) const { return optional() + (is64_ ? 112 : 96) + 8 * i; }
  std::size_t number_of_rva_and_sizes() const { return optional() + (is64_ ? 108 : 92); }
  std::size_t section_named(const char* name) const {
    for (std::size_t i = 0; i < Get16(coff() + 2); ++i) {
      if (std::strncmp(reinterpret_cast<const char*>(image_->data() + section(i)), name, 8) == 0) return i;
    }
    ADD_FAILURE() << name;
    return 0;
  }
  std::uint32_t Get32(std::size_t at) const {
    std::uint32_t v;
    std::memcpy(&v, image_->data() + at, 4);
    return v;
  }
  std::uint16_t Get16(std::size_t at) const {
    std::uint16_t v;
    std::memcpy(&v, image_->data() + at, 2);
    return v;
  }
  void Set32(std::size_t at, std::uint32_t v) { std::memcpy(image_->data() + at, &v, 4); }
  void Set16(std::size_t at, std::uint16_t v) { std::memcpy(image_->data() + at, &v, 2); }

 private:
  Bytes* image_;
  bool is64_;
};

struct Edit {
  const char* name;
  std::function<void(Bytes&, PeEditor&)> apply;
};

template <class Dis>
void ExpectRefused(const Bytes& original, bool is64, const std::vector<Edit>& edits) {
  {
    Dis control;
    ASSERT_TRUE(control.Parse(View(original)));
  }
  for (const Edit& edit : edits) {
    Bytes image = original;
    PeEditor editor(&image, is64);
    edit.apply(image, editor);
    Dis dis;
    EXPECT_FALSE(dis.Parse(View(image))) << edit.name;
  }
}

// Each header rule broken once.
std::vector<Edit> HeaderEdits(std::size_t size) {
  using E = PeEditor;
  return {
      {"no MZ", [](Bytes& b, E&) { b[1] = 'Y'; }},
      {"one byte", [](Bytes& b, E&) { b.resize(1); }},
      {"DOS header cut short", [](Bytes& b, E&) { b.resize(63); }},
      {"e_lfanew 0x3C", [](Bytes&, E& e) { e.Set32(0x3C, 0x3C); }},
      {"e_lfanew 0x44",
       [](Bytes& b, E& e) {
         // The headers moved 4 bytes on, so only the alignment is wrong.
         b.insert(b.begin() + e.e_lfanew(), 4, 0);
         e.Set32(0x3C, e.e_lfanew() + 4);
       }},
      {"e_lfanew past the end", [size](Bytes&, E& e) { e.Set32(0x3C, static_cast<std::uint32_t>(size + 8) & ~7u); }},
      {"e_lfanew 2^32 - 8", [](Bytes&, E& e) { e.Set32(0x3C, 0xFFFFFFF8); }},
      {"no PE signature", [](Bytes& b, E& e) { b[e.e_lfanew() + 2] = 1; }},
      {"COFF header cut short", [](Bytes& b, E& e) { b.resize(e.coff() + 19); }},
      {"optional header cut short", [](Bytes& b, E& e) { b.resize(e.section_table() - 1); }},
      {"SizeOfOptionalHeader below the least", [](Bytes&, E& e) { e.Set16(e.coff() + 16, 88); }},
      {"SizeOfOptionalHeader not a multiple of 8",
       [](Bytes&, E& e) { e.Set16(e.coff() + 16, static_cast<std::uint16_t>(e.Get16(e.coff() + 16) + 4)); }},
      {"17 directories",
       [](Bytes&, E& e) {
         e.Set16(e.coff() + 16, static_cast<std::uint16_t>(e.Get16(e.coff() + 16) + 8));
         e.Set32(e.number_of_rva_and_sizes(), 17);
       }},
      {"directory count not the size's", [](Bytes&, E& e) { e.Set32(e.number_of_rva_and_sizes(), 15); }},
      {"5 directories",
       [](Bytes&, E& e) {
         e.Set16(e.coff() + 16, static_cast<std::uint16_t>(e.Get16(e.coff() + 16) - 88));
         e.Set32(e.number_of_rva_and_sizes(), 5);
       }},
      {"SizeOfImage 0x7FFFFFFF", [](Bytes&, E& e) { e.Set32(e.optional() + 56, 0x7FFFFFFF); }},
      {"no sections", [](Bytes&, E& e) { e.Set16(e.coff() + 2, 0); }},
      {"section table past the end", [](Bytes&, E& e) { e.Set16(e.coff() + 2, 0xFFFF); }},
      {"raw data past the end",
       [size](Bytes&, E& e) {
         e.Set32(e.section(0) + 16, static_cast<std::uint32_t>(size) - e.Get32(e.section(0) + 20) + 1);
       }},
      {"raw data wrapping", [](Bytes&, E& e) { e.Set32(e.section(0) + 16, 0xFFFFFF00); }},
      {"VirtualAddress at SizeOfImage", [](Bytes&, E& e) { e.Set32(e.section(1) + 12, e.Get32(e.optional() + 56)); }},
      {"virtual end past SizeOfImage",
       [](Bytes&, E& e) { e.Set32(e.section(1) + 8, e.Get32(e.optional() + 56) - e.Get32(e.section(1) + 12) + 1); }},
      {"two sections at one RVA", [](Bytes&, E& e) { e.Set32(e.section(1) + 12, e.Get32(e.section(0) + 12)); }},
      {"code only executable", [](Bytes&, E& e) { e.Set32(e.section(e.section_named(".text")) + 36, 0x20000020); }},
      {"code only readable", [](Bytes&, E& e) { e.Set32(e.section(e.section_named(".text")) + 36, 0x40000020); }},
  };
}

TEST(PeParse, EditedPe32ProgramsAreRefused) {
  TempDir dir;
  const fs::path program = kestor_test::BuildCrossProgram(dir.path(), "pe32", false);
  ASSERT_FALSE(program.empty());
  const Bytes original = kestor_test::ReadFileBytes(program);
  std::vector<Edit> edits = HeaderEdits(original.size());
  edits.push_back({"a PE32+ magic", [](Bytes&, PeEditor& e) { e.Set16(e.optional(), 0x20B); }});
  ExpectRefused<DisassemblerWin32X86>(original, false, edits);
  // The whole image is PE32, not PE32+.
  DisassemblerWin32X64 x64;
  EXPECT_FALSE(x64.Parse(View(original)));
}

TEST(PeParse, EditedPe32PlusProgramsAreRefused) {
  TempDir dir;
  const fs::path program = kestor_test::BuildCrossProgram(dir.path(), "pe64", false);
  ASSERT_FALSE(program.empty());
  const Bytes original = kestor_test::ReadFileBytes(program);
  std::vector<Edit> edits = HeaderEdits(original.size());
  edits.push_back({"a PE32 magic", [](Bytes&, PeEditor& e) { e.Set16(e.optional(), 0x10B); }});
  ExpectRefused<DisassemblerWin32X64>(original, true, edits);
  DisassemblerWin32X86 x86;
  EXPECT_FALSE(x86.Parse(View(original)));
  EXPECT_EQ(MakeDisassemblerForType(View(original), kExeTypeWin32X86), nullptr);
  EXPECT_NE(MakeDisassemblerForType(View(original), kExeTypeWin32X64), nullptr);
}

// The section table is read behind an optional header of full size, whatever
// SizeOfOptionalHeader says: six directories in a 144-byte header still parse the same.
TEST(PeParse, TheSectionTableFollowsAFullSizeOptionalHeader) {
  TempDir dir;
  const fs::path program = kestor_test::BuildCrossProgram(dir.path(), "pe32", false);
  Bytes image = kestor_test::ReadFileBytes(program);
  PeEditor editor(&image, false);
  editor.Set16(editor.coff() + 16, 96 + 6 * 8);
  editor.Set32(editor.number_of_rva_and_sizes(), 6);
  DisassemblerWin32X86 dis;
  ASSERT_TRUE(dis.Parse(View(image)));
  EXPECT_EQ(dis.sections().size(), editor.Get16(editor.coff() + 2));
  EXPECT_FALSE(kestor_test::ReadAll(dis, 0).empty());
}

// Sections out of RVA order log one line per drop and still parse.
TEST(PeParse, SectionsOutOfRvaOrderAreReported) {
  TempDir dir;
  const fs::path program = kestor_test::BuildCrossProgram(dir.path(), "pe64", false);
  Bytes image = kestor_test::ReadFileBytes(program);
  PeEditor editor(&image, true);
  // Swap the headers of sections 1 and 2, and of 3 and 4.
  for (std::size_t i : {1u, 3u}) {
    std::vector<std::uint8_t> first(image.begin() + static_cast<long>(editor.section(i)),
                                    image.begin() + static_cast<long>(editor.section(i) + 40));
    std::copy_n(image.begin() + static_cast<long>(editor.section(i + 1)), 40,
                image.begin() + static_cast<long>(editor.section(i)));
    std::copy(first.begin(), first.end(), image.begin() + static_cast<long>(editor.section(i + 1)));
  }
  testing::internal::CaptureStdout();
  DisassemblerWin32X64 dis;
  const bool parsed = dis.Parse(View(image));
  const std::string log = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(parsed);
  std::vector<std::string> messages;
  for (const kestor_test::LogLine& l : kestor_test::ParseLogLines(log)) {
    EXPECT_EQ(l.severity, "WARNING");
    EXPECT_TRUE(kestor_test::EndsWith(l.file, "components/kestor/disassembler_win32.cpp")) << l.file;
    messages.push_back(l.message);
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"RVA anomaly found for Section 2", "RVA anomaly found for Section 4"}));
  EXPECT_EQ(kestor_test::CountOf(log, "disassembler_win32.cpp:267] RVA anomaly"), 2u);
}

// The overlay behind the last section's raw data is cut off, so an element over the whole
// file no longer matches its disassembler.
TEST(PeParse, BytesBehindTheRawDataAreNotPartOfTheImage) {
  TempDir dir;
  const fs::path program = kestor_test::BuildCrossProgram(dir.path(), "pe32", false);
  const Bytes image = kestor_test::ReadFileBytes(program);
  DisassemblerWin32X86 dis;
  ASSERT_TRUE(dis.Parse(View(image)));
  ASSERT_LT(dis.size(), image.size());
  kestor_test::ExpectWholeFileElementRefused(program, "Px86", kExeTypeWin32X86);
}

// A broken relocation table fails nothing: the relocation and abs32 kinds are empty, and the
// rel32 scan, with nothing to skip, still finds the branches.
TEST(PeRelocations, ABrokenTableLeavesRelocationsAndAbs32Empty) {
  TempDir dir;
  const fs::path program = kestor_test::BuildCrossProgram(dir.path(), "pe64", false);
  const Bytes original = kestor_test::ReadFileBytes(program);
  const Objdump o = AskObjdump(program, "abs32_locations=[]");
  ASSERT_FALSE(o.scan.empty());
  using E = PeEditor;
  const std::vector<Edit> edits = {
      {"directory outside every section", [](Bytes&, E& e) { e.Set32(e.directory(5), 0x100000); }},
      {"directory in .bss",
       [](Bytes&, E& e) { e.Set32(e.directory(5), e.Get32(e.section(e.section_named(".bss")) + 12)); }},
      {"4 trailing bytes", [](Bytes&, E& e) { e.Set32(e.directory(5) + 4, e.Get32(e.directory(5) + 4) + 4); }},
      {"SizeOfBlock 10",
       [](Bytes& b, E& e) {
         const std::uint32_t at = e.Get32(e.section(e.section_named(".reloc")) + 20);
         std::memcpy(b.data() + at + 4, "\x0a\0\0\0", 4);
       }},
      {"a block running past the region",
       [](Bytes&, E& e) { e.Set32(e.directory(5) + 4, e.Get32(e.directory(5) + 4) - 4); }},
      {"a region past the image", [](Bytes&, E& e) { e.Set32(e.directory(5) + 4, 0x10000000); }},
  };
  for (const Edit& edit : edits) {
    Bytes image = original;
    PeEditor editor(&image, true);
    edit.apply(image, editor);
    DisassemblerWin32X64 dis;
    ASSERT_TRUE(dis.Parse(View(image))) << edit.name;
    EXPECT_TRUE(kestor_test::ReadAll(dis, 0).empty()) << edit.name;
    EXPECT_TRUE(kestor_test::ReadAll(dis, 1).empty()) << edit.name;
    EXPECT_EQ(dis.reloc_region().offset, kInvalidOffset) << edit.name;
    std::vector<offset_t> locations;
    for (const Reference& r : kestor_test::ReadAll(dis, 2)) locations.push_back(r.location);
    EXPECT_EQ(locations, o.scan) << edit.name;
  }
  // A directory of size 0 that translates: a region without blocks.
  Bytes image = original;
  PeEditor editor(&image, true);
  editor.Set32(editor.directory(5) + 4, 0);
  DisassemblerWin32X64 dis;
  ASSERT_TRUE(dis.Parse(View(image)));
  EXPECT_TRUE(kestor_test::ReadAll(dis, 0).empty());
  EXPECT_NE(dis.reloc_region().offset, kInvalidOffset);
  EXPECT_EQ(dis.reloc_region().size, 0u);
  EXPECT_TRUE(dis.reloc_block_offsets().empty());
}

// --- Crafted images -----------------------------------------------------------------------

Bytes TinyPe(const std::string& args) {
  const std::vector<Bytes> r =
      kestor_test::RunPython(kestor_test::ImportPeArmFixtures() + "out(0, pf.tiny_pe(" + args + "))\n", 1);
  return r.size() == 1 ? r[0] : Bytes{};
}

// Image base 0, so a stored address is its RVA. .data (RVA 0x20000, 0x200 bytes, the last
// section) holds the relocation table at 0x100 and addresses at 0x10 and 0x12 (overlapping
// bodies, both into .far) and zeros elsewhere. The entries: HIGHLOW at 0x10, 0x12, 0x20 and at
// 0x1FC, 0x1FD, 0x1FF (the last 4, 3 and 1 bytes), DIR64 at 0x30, padding.
TEST(PeCrafted, EntryTypesAndRoomForTheAddress) {
  const Bytes image = TinyPe(
      "32, image_base=0, reloc_directory=(0x20100, 24), sections=["
      "('.text', 0x1000, b'\\xc3', 1, pf.CODE),"
      "('.far', 0x10000, bytes(0x2000), 0x2000, pf.DATA),"
      "('.data', 0x20000, (bytes(0x10) + b'\\0\\x10\\x01\\0\\x01\\0' + bytes(0xEA) +"
      "  pf.reloc_blocks([(0x20000, [(3, 0x10), (3, 0x12), (3, 0x20), (3, 0x1FC), (3, 0x1FD), (3, 0x1FF),"
      "                              (10, 0x30), (0, 0)])])).ljust(0x200, b'\\0'), 0x200, pf.DATA)]");
  ASSERT_FALSE(image.empty());
  DisassemblerWin32X86 dis;
  ASSERT_TRUE(dis.Parse(View(image)));
  const offset_t data = dis.sections()[2].pointer_to_raw_data;
  ASSERT_EQ(dis.size(), data + 0x200);
  const offset_t entries = data + 0x108;
  EXPECT_EQ(kestor_test::ReadAll(dis, 0), (std::vector<Reference>{{entries, data + 0x10},
                                                                  {entries + 2, data + 0x12},
                                                                  {entries + 4, data + 0x20},
                                                                  {entries + 6, data + 0x1FC}}));
  // Abs32: 0x20 and 0x1FC hold 0, no RVA of any section; 0x12 overlaps 0x10.
  testing::internal::CaptureStdout();
  const std::vector<Reference> abs32 = kestor_test::ReadAll(dis, 1);
  kestor_test::ReadAll(dis, 1);
  kestor_test::ReadAll(dis, 2);
  const std::string log = testing::internal::GetCapturedStdout();
  const offset_t far = dis.sections()[1].pointer_to_raw_data;
  EXPECT_EQ(abs32, (std::vector<Reference>{{data + 0x10, far + 0x1000}}));
  std::vector<std::string> messages;
  for (const kestor_test::LogLine& l : kestor_test::ParseLogLines(log)) messages.push_back(l.message);
  // The collection runs once, however many readers are made.
  EXPECT_EQ(messages, (std::vector<std::string>{"Removed 2 untranslatable abs32 references.",
                                                "Removed 1 abs32 references with overlapping bodies."}));
  EXPECT_EQ(kestor_test::CountOf(log, "disassembler_win32.cpp:343] Removed 2 untranslatable"), 1u);
  EXPECT_EQ(kestor_test::CountOf(log, "disassembler_win32.cpp:349] Removed 1 abs32"), 1u);
}

// A branch to another code section is no rel32 reference; a RIP-relative operand may point
// into any section.
TEST(PeCrafted, OnlyRipRelativeOperandsMayLeaveTheirSection) {
  // .text at 0x1000: call +0 (to 0x1005, kept), call into .text2, lea into .text2, jne into .text.
  const std::string sections =
      "sections=[('.text', 0x1000, b'\\xe8\\0\\0\\0\\0' + b'\\xe8\\xf6\\x0f\\0\\0' + b'\\x48\\x8d\\x05\\xef\\x0f\\0\\0'"
      " + b'\\x0f\\x85\\xe9\\xff\\xff\\xff\\xc3', 24, pf.CODE),"
      " ('.text2', 0x2000, b'\\xc3', 1, pf.CODE)]";
  for (int bits : {32, 64}) {
    SCOPED_TRACE(bits);
    const Bytes image = TinyPe(std::to_string(bits) + ", " + sections);
    ASSERT_FALSE(image.empty());
    std::unique_ptr<Disassembler> dis =
        MakeDisassemblerForType(View(image), bits == 32 ? kExeTypeWin32X86 : kExeTypeWin32X64);
    ASSERT_NE(dis, nullptr);
    std::vector<offset_t> locations;
    for (const Reference& r : kestor_test::ReadAll(*dis, 2)) locations.push_back(r.location - 0x400);
    if (bits == 32) {
      EXPECT_EQ(locations, (std::vector<offset_t>{1, 19}));
    } else {
      EXPECT_EQ(locations, (std::vector<offset_t>{1, 13, 19}));
    }
  }
}

// A base-relocation directory of 0x7FFFFFFF bytes fits only an image of 2 GiB - 1: it is
// treated as a missing table instead of stopping the process.
TEST(PeCrafted, ATwoGigabyteDirectoryIsAMissingTable) {
  // .text holds the headers' first 0x200 bytes; .tail (no RVA range) takes the raw data to
  // 0x7FFFFFFF bytes. The directory names .text's RVA with 0x7FFFFFFF bytes.
  const Bytes head = TinyPe(
      "32, reloc_directory=(0x1000, 0x7FFFFFFF), sections=[('.text', 0x1000, b'\\xc3', 0x200, pf.CODE),"
      "('.tail', 0x1800, b'', 0, pf.DATA)]");
  ASSERT_FALSE(head.empty());
  constexpr std::size_t kSize = 0x7FFFFFFF;
  void* map = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (map == MAP_FAILED) GTEST_SKIP() << "no 2 GiB of address space";
  auto* bytes = static_cast<std::uint8_t*>(map);
  std::memcpy(bytes, head.data(), head.size());
  Bytes headers(bytes, bytes + 0x400);
  PeEditor editor(&headers, false);
  // .text's raw data are the image's first 0x200 bytes; .tail's run from 0x200 to the end.
  editor.Set32(editor.section(0) + 16, 0x200);
  editor.Set32(editor.section(0) + 20, 0);
  editor.Set32(editor.section(1) + 16, static_cast<std::uint32_t>(kSize - 0x200));
  editor.Set32(editor.section(1) + 20, 0x200);
  std::memcpy(bytes, headers.data(), headers.size());
  DisassemblerWin32X86 dis;
  ASSERT_TRUE(dis.Parse(ConstBufferView(bytes, kSize)));
  EXPECT_EQ(dis.size(), kSize);
  EXPECT_TRUE(kestor_test::ReadAll(dis, 0).empty());
  EXPECT_TRUE(kestor_test::ReadAll(dis, 1).empty());
  EXPECT_EQ(dis.reloc_region().offset, kInvalidOffset);
  ::munmap(map, kSize);
}

}  // namespace
}  // namespace kestor
