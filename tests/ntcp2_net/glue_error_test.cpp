#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/glue_detail.h"
#include "ntcp2_net/os_error.h"
#include "test_util.h"

using ntcp2_net::last_os_error;
using ntcp2_net::glue_detail::set_errno_error;
using ntcp2_net::glue_detail::set_error;
using ntcp2_net_test::glue_error;

TEST(LastError, FailureLeavesSystemText) {
  const std::string missing = "/nonexistent-ondrel-dir/x";
  ASSERT_EQ(ondrel_i2p_net_file_size(ntcp2_net_test::u8(missing), ntcp2_net_test::len32(missing)), -1);
  EXPECT_EQ(glue_error(), std::strerror(ENOENT));
  EXPECT_EQ(last_os_error(), std::strerror(ENOENT));
}

TEST(LastError, SuccessLeavesTextUnchanged) {
  set_error("earlier failure");
  EXPECT_GT(ondrel_i2p_net_unix_time_ms(), 0u);
  std::uint8_t b[4];
  EXPECT_EQ(ondrel_i2p_net_random_bytes(b, 4), 4);
  EXPECT_EQ(glue_error(), "earlier failure");
}

TEST(LastError, CopyHonoursCapacity) {
  set_error("abcdef");
  EXPECT_EQ(ondrel_i2p_net_last_error_len(), 6);
  std::uint8_t buf[8];
  std::memset(buf, '#', sizeof(buf));
  EXPECT_EQ(ondrel_i2p_net_last_error_copy(buf, 3), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "abc#");  // no NUL written
  EXPECT_EQ(ondrel_i2p_net_last_error_copy(buf, 8), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "abcdef");
  std::memset(buf, '#', sizeof(buf));
  EXPECT_EQ(ondrel_i2p_net_last_error_copy(buf, 0), 0);
  EXPECT_EQ(ondrel_i2p_net_last_error_copy(buf, -5), 0);
  EXPECT_EQ(buf[0], '#');
}

TEST(LastError, LongTextIsCutTo255Bytes) {
  std::string long_text(300, 'x');
  long_text[254] = 'y';
  set_error(long_text.c_str());
  EXPECT_EQ(ondrel_i2p_net_last_error_len(), 255);
  std::string got = glue_error();
  EXPECT_EQ(got.size(), 255u);
  EXPECT_EQ(got.back(), 'y');
}

TEST(LastError, EmptyAndUndecodableTexts) {
  set_error("");
  EXPECT_EQ(last_os_error(), "unknown OS error");
  set_error(nullptr);
  EXPECT_EQ(last_os_error(), "unknown OS error");
  set_error("bad \xff\xfe bytes");
  EXPECT_EQ(last_os_error(), "OS error");
  set_error("caf\xc3\xa9");
  EXPECT_EQ(last_os_error(), "caf\xc3\xa9");
  set_errno_error(EACCES);
  EXPECT_EQ(last_os_error(), std::strerror(EACCES));
}
