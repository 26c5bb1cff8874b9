#pragma once
// ELF fixtures of the kestor tests, built at test time in the test's own folder: small
// programs assembled and linked by `as` and `ld` from tests/components/kestor/elf_fixture.py,
// and a C program built by gcc (32-bit with -m32). What binutils says about them is read by
// the python side of tests/support/kestor_patch.py.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "components/kestor/image_utils.h"
#include "tests/components/kestor/kestor_test_support.h"

namespace kestor_test {

inline bool RunCommand(const std::string& command) { return std::system(command.c_str()) == 0; }

// Python statements that import the fixture generator as `fx` (after kestor_patch as `kp`).
inline std::string ImportFixtures() {
  return "sys.path.insert(0, '" ONDREL_SOURCE_DIR "/tests/components/kestor')\nimport elf_fixture as fx\n";
}

// The old or new fixture program of `bits` (32 or 64), linked as a PIE by ld; empty on failure.
inline std::filesystem::path BuildLdProgram(const std::filesystem::path& dir, int bits, bool is_new) {
  const std::filesystem::path folder = dir / ((is_new ? "new" : "old") + std::to_string(bits));
  std::filesystem::create_directories(folder);
  const std::string source = (folder / "prog.s").string();
  const std::string object = (folder / "prog.o").string();
  const std::string program = (folder / "prog").string();
  const std::string make_source = Python() + " " ONDREL_SOURCE_DIR "/tests/components/kestor/elf_fixture.py " +
                                  std::to_string(bits) + (is_new ? " new" : " old") + " > " + source;
  const std::string assemble = std::string("as ") + (bits == 32 ? "--32" : "--64") +
                               (is_new ? " --defsym NEW=1 " : " ") + source + " -o " + object;
  // The absolute addresses in code make ld warn about text relocations; they are wanted.
  const std::string link = std::string("ld ") + (bits == 32 ? "-m elf_i386 " : "") +
                           "-pie --no-dynamic-linker -z noseparate-code -o " + program + " " + object + " 2>/dev/null";
  if (!RunCommand(make_source) || !RunCommand(assemble) || !RunCommand(link)) return {};
  return program;
}

// The generated C program built by gcc as a PIE, 32-bit with m32; empty on failure.
inline std::filesystem::path BuildGccProgram(const std::filesystem::path& dir, bool m32) {
  const std::string source = (dir / "prog.c").string();
  const std::string program = (dir / (m32 ? "prog32" : "prog64")).string();
  if (!RunCommand(Python() + " " ONDREL_SOURCE_DIR "/tests/components/kestor/elf_fixture.py c > " + source)) return {};
  if (!RunCommand(std::string("gcc ") + (m32 ? "-m32 " : "") + "-O2 -fPIE -pie -o " + program + " " + source)) {
    return {};
  }
  return program;
}

// Little-endian u32 values, as python's struct.pack('<...I') writes them.
inline std::vector<std::uint32_t> UnpackU32(const Bytes& bytes) {
  std::vector<std::uint32_t> values(bytes.size() / 4);
  std::memcpy(values.data(), bytes.data(), values.size() * 4);
  return values;
}

inline std::vector<kestor::Reference> UnpackReferences(const Bytes& bytes) {
  const std::vector<std::uint32_t> v = UnpackU32(bytes);
  std::vector<kestor::Reference> refs;
  for (std::size_t i = 0; i + 1 < v.size(); i += 2) refs.push_back({v[i], v[i + 1]});
  return refs;
}

// Python: `pack(list of tuples of ints)` gives the u32 values in order.
inline const char* kPythonPack =
    "def pack(rows):\n"
    "    flat = [x for row in rows for x in (row if isinstance(row, tuple) else (row,))]\n"
    "    return struct.pack('<%dI' % len(flat), *flat)\n";

// An element of type `type_name` over the whole file at `path`, whose disassembler covers fewer
// bytes than the file holds: applying it fails with the size mismatch line.
inline void ExpectWholeFileElementRefused(const std::filesystem::path& path, const std::string& type_name,
                                          kestor::ExecutableType type) {
  const Bytes image = ReadFileBytes(path);
  const std::vector<Bytes> patch =
      RunPython("old = open(r'" + path.string() +
                    "', 'rb').read()\n"
                    "out(0, kp.patch_for(old, old, [kp.Element(0, len(old), 0, len(old), '" +
                    type_name + "', equivalences=[(0, 0, len(old))])]))\n",
                1);
  ASSERT_EQ(patch.size(), 1u);
  std::optional<kestor::Patch> read = kestor::ReadPatch(kestor::ConstBufferView(patch[0].data(), patch[0].size()));
  ASSERT_TRUE(read);
  Bytes out(image.size());
  const auto messages = ErrorMessages([&] {
    EXPECT_FALSE(kestor::ApplyElement(type, kestor::ConstBufferView(image.data(), image.size()), read->elements[0],
                                      kestor::MutableBufferView(out.data(), out.size())));
  });
  EXPECT_EQ(messages, std::vector<std::string>{"Disassembler and element size mismatch"});
}

}  // namespace kestor_test
