// The header-line grammar shared by the HTTP proxy and the torrent API: a table of lines,
// and the well-formed ones read the same by python's http.client.
#include "services/http_header.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "encoding/text.h"
#include "tests/services/proxy_test_support.h"

namespace router {
namespace {

struct LineCase {
  std::string line;
  std::optional<HttpHeaderField> field;
};

TEST(HttpHeaderLine, Table) {
  const std::vector<LineCase> cases = {
      {"Host: a.i2p", HttpHeaderField{"Host", "a.i2p"}},
      {"Host:a.i2p:8080", HttpHeaderField{"Host", "a.i2p:8080"}},  // the first ":" splits
      {"\tHost \t: \t v a l \t\r", HttpHeaderField{"Host", "v a l"}},
      {"X-Empty:", HttpHeaderField{"X-Empty", ""}},
      {"X-Empty:  \t", HttpHeaderField{"X-Empty", ""}},
      {"a b: c", HttpHeaderField{"a b", "c"}},
      {"nocolon", std::nullopt},
      {"", std::nullopt},
      {": value", std::nullopt},
      {" \t: value", std::nullopt},  // a name of blanks only
      {":", std::nullopt},
  };
  for (const LineCase& c : cases) EXPECT_EQ(parse_http_header_line(c.line), c.field) << c.line;
}

// Lines a client library writes, read by python's http.client: the same name, and the same
// value once trailing blanks are left out.
TEST(HttpHeaderLine, WellFormedLinesAgreeWithPythonHttpClient) {
  const std::vector<std::string> lines = {
      "Host: a.i2p",
      "A:b",
      "A:\t b \t",
      "X-Empty:",
      "X-Colons: a:b:c",
      "Cookie: a=b; c=d",
      "Name:  spaced  value  inside",
      "ACCEPT: */*",
      "User-Agent: caf\xC3\xA9",
      "Referer: http://a.i2p/x?y=1#z",
  };
  const proxy_test::ScratchDir dir("header_lines");
  std::string args;
  for (const std::string& line : lines) {
    args += ' ';
    args += encoding::hex_encode(as_bytes(line));
  }
  ASSERT_TRUE(proxy_test::run_python(ONDREL_SOURCE_DIR "/tests/services/http_header_model.py",
                                     args + " > " + (dir / "fields.txt").string()));
  std::istringstream in(proxy_test::read_file(dir / "fields.txt"));
  for (const std::string& line : lines) {
    std::string name_hex, value_hex;
    ASSERT_TRUE(in >> name_hex >> value_hex) << line;
    ASSERT_TRUE(name_hex.starts_with('v') && value_hex.starts_with('v')) << line << " " << name_hex;
    const auto field = parse_http_header_line(line);
    ASSERT_TRUE(field.has_value()) << line;
    EXPECT_EQ(encoding::hex_encode(as_bytes(field->name)), name_hex.substr(1)) << line;
    EXPECT_EQ(encoding::hex_encode(as_bytes(field->value)), value_hex.substr(1)) << line;
  }
}

}  // namespace
}  // namespace router
