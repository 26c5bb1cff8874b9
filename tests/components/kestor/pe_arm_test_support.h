#pragma once
// PE and ARM fixtures of the kestor tests, built at test time in the test's own folder by the
// cross binutils through tests/components/kestor/pe_arm_fixture.py; what the cross objdump
// says about them is read by tests/support/kestor_patch.py.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/components/kestor/elf_test_support.h"

namespace kestor_test {

// Python statements that import the PE and ARM fixture generator as `pf`.
inline std::string ImportPeArmFixtures() {
  return "sys.path.insert(0, '" ONDREL_SOURCE_DIR "/tests/components/kestor')\nimport pe_arm_fixture as pf\n";
}

// The program of `kind` ("pe32", "pe64", "arm", "aarch64"), old or new, built in its own folder
// under dir; empty on failure.
inline std::filesystem::path BuildCrossProgram(const std::filesystem::path& dir, const std::string& kind, bool is_new) {
  const std::filesystem::path folder = dir / (kind + (is_new ? "_new" : "_old"));
  const std::string command = Python() + " " ONDREL_SOURCE_DIR "/tests/components/kestor/pe_arm_fixture.py " + kind +
                              " " + folder.string() + (is_new ? " new" : "") + " > /dev/null";
  if (!RunCommand(command)) return {};
  return folder / (kind.rfind("pe", 0) == 0 ? "prog.exe" : "prog");
}

inline kestor::ConstBufferView View(const Bytes& b) { return kestor::ConstBufferView(b.data(), b.size()); }

// All references of one group of a disassembler over its whole image.
template <class Dis>
std::vector<kestor::Reference> ReadAll(Dis& dis, std::size_t group) {
  const std::vector<kestor::ReferenceGroup> groups = dis.MakeReferenceGroups();
  std::unique_ptr<kestor::ReferenceReader> reader = groups.at(group).GetReader(0, dis.size(), dis);
  std::vector<kestor::Reference> refs;
  if (reader == nullptr) return refs;
  while (std::optional<kestor::Reference> ref = reader->GetNext()) refs.push_back(*ref);
  return refs;
}

// How often `needle` occurs in `text`.
inline std::size_t CountOf(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace kestor_test
