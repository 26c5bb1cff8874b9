#include "updater/crc32_bzip2.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qbdiff_tools.h"
#include "test_util.h"

using updater_test::TempDir;

namespace {

std::uint32_t crc_of(const std::string& s) {
  return crc32_bzip2(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

TEST(Crc32Bzip2, CheckValueAndEmpty) {
  EXPECT_EQ(crc_of("123456789"), 0xFC891918u);
  EXPECT_EQ(crc_of(""), 0u);
  EXPECT_EQ(crc32_bzip2(nullptr, 0), 0u);
}

// A bzip2 stream of one block carries the CRC-32/BZIP2 of the block's uncompressed bytes
// at bytes 10 to 13 (big-endian), after "BZh9" and the 6-byte block magic. Lengths around
// the 16-byte slices, and runs that bzip2 shortens before blocking.
TEST(Crc32Bzip2, EqualsPythonBz2BlockCrc) {
  std::vector<std::string> inputs;
  for (std::size_t n : {1, 2, 3, 15, 16, 17, 31, 32, 33, 63, 64, 65, 255, 4103, 100000, 600000}) {
    inputs.push_back(qbdiff_test::random_bytes(n, static_cast<std::uint32_t>(n)));
  }
  inputs.push_back(std::string(70000, '\0'));
  inputs.push_back(std::string(1000, 'a') + qbdiff_test::random_bytes(77, 5) + std::string(300, '\xff'));

  TempDir dir;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    ASSERT_TRUE(updater_test::write_file(dir / std::to_string(i), inputs[i]));
  }
  std::string cmd = qbdiff_test::python3();
  cmd +=
      " -c 'import bz2, sys\n"
      "for p in sys.argv[1:]:\n"
      "    z = bz2.compress(open(p, \"rb\").read(), 9)\n"
      "    assert z[4:10] == bytes.fromhex(\"314159265359\")\n"
      "    print(z[10:14].hex())'";
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    cmd += ' ';
    cmd += dir / std::to_string(i);
  }
  std::FILE* pipe = ::popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::uint32_t> expected;
  unsigned value = 0;
  while (std::fscanf(pipe, "%8x", &value) == 1) expected.push_back(value);
  ASSERT_EQ(::pclose(pipe), 0);
  ASSERT_EQ(expected.size(), inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE("input " + std::to_string(i) + " of " + std::to_string(inputs[i].size()) + " bytes");
    EXPECT_EQ(crc_of(inputs[i]), expected[i]);
  }
}

}  // namespace
