// The torrent API's text functions: escaping checked by python's json module, the decimal and
// string-member readers and the flexible Base64 on tables of cases, Base64 against python's
// base64 module.
#include "torrent/api_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoding/text.h"
#include "tests/torrent/api_test_support.h"
#include "torrent/api_endpoints.h"

namespace router {
namespace {

TEST(ApiJson, EscapeTable) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"plain", "plain"},
      {"a\tb", "a\\tb"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {std::string("x\x01y", 3), "x y"},
      {"back\\slash", "back\\\\slash"},
      {"line\nfeed\r", "line\\nfeed\\r"},
      {std::string("\0\x1f", 2), "  "},
      {"slash/stays", "slash/stays"},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xf0\x9f\x98\x80"},  // UTF-8 copied unchanged
      {"\x7f", "\x7f"},
      // Bytes that are not well-formed UTF-8 become U+FFFD, one per byte.
      {std::string("a\xed\xa0\x80") + "b", std::string("a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd") + "b"},  // surrogate
      {"\xff", "\xef\xbf\xbd"},
      {"\xc0\x80", "\xef\xbf\xbd\xef\xbf\xbd"},                                  // overlong NUL
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // above U+10FFFF
      {"cut \xe2\x82", "cut \xef\xbf\xbd\xef\xbf\xbd"},
      {"\xed\x9f\xbf\xf4\x8f\xbf\xbf", "\xed\x9f\xbf\xf4\x8f\xbf\xbf"},  // U+D7FF, U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(api_json_escape(c.in), c.out) << c.in;
}

// Every escaped text is a valid JSON string that python reads back as the original, with
// control characters other than TAB, LF and CR turned into blanks.
TEST(ApiJson, EscapedTextsReadBackByPython) {
  std::string all;
  for (int c = 1; c < 0x80; ++c) all += static_cast<char>(c);
  all += "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  const std::string doc = ApiJsonWriter().begin_object().escaped("s", all + "\xed\xb0\x80\xfe").end_object().take();
  std::string expected = all + "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd";
  for (char& c : expected) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') c = ' ';
  }
  const auto lines = api_test::json_members(doc);
  ASSERT_EQ(lines.size(), 3u) << doc;
  EXPECT_EQ(lines[0], "compact");
  // python writes the expected string with its own escapes; compare through python too.
  api_test::ScratchDir dir("expect");
  api_test::write_file(dir / "e.txt", expected);
  const auto want = api_test::run_capture(api_test::python() +
                                          " -c 'import json,sys; print(json.dumps(open(sys.argv[1],"
                                          "encoding=\"utf-8\",newline=\"\").read()))' " +
                                          (dir / "e.txt").string());
  ASSERT_TRUE(want.has_value());
  EXPECT_EQ(lines[2], ".s=" + want->substr(0, want->size() - 1));
}

TEST(ApiJson, ErrorDocument) {
  EXPECT_EQ(api_json_err("torrent not found"), R"({"ok":false,"error":"torrent not found"})");
  EXPECT_EQ(api_json_err("a \"b\""), R"({"ok":false,"error":"a \"b\""})");
}

TEST(ApiJson, WriterNestsAndSeparates) {
  ApiJsonWriter w;
  w.begin_object().boolean("ok", true).number("n", 18446744073709551615ull).key("list").begin_array();
  w.begin_object().raw("h", "ab").end_object();
  w.begin_object().end_object();
  w.number(0).boolean(false);
  w.end_array().key("o").begin_object().key("e").begin_array().end_array().end_object().end_object();
  EXPECT_EQ(w.text(), R"({"ok":true,"n":18446744073709551615,"list":[{"h":"ab"},{},0,false],"o":{"e":[]}})");
  const auto lines = api_test::json_members(w.text());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "compact");
  EXPECT_EQ(lines[2], ".ok=true");
  EXPECT_EQ(lines[3], ".n=18446744073709551615");
}

// Far more than any reserve: the buffer grows as it must and every member arrives.
TEST(ApiJson, WriterGrowsPastItsReserve) {
  ApiJsonWriter w;
  w.reserve(8);
  w.begin_object().key("list").begin_array();
  for (std::uint64_t i = 0; i < 20'000; ++i) {
    w.begin_object().number("i", i).escaped("s", "x\"y").raw("h", "ab").boolean("b", i % 2 == 0).end_object();
  }
  w.end_array().end_object();
  const auto lines = api_test::json_members(w.text());
  ASSERT_EQ(lines.size(), 3u + 20'000u * 5u);
  EXPECT_EQ(lines[0], "compact");
  EXPECT_EQ(lines[2], ".list=[20000]");
  EXPECT_EQ(lines[lines.size() - 4], ".list[19999].i=19999");
  EXPECT_EQ(lines[lines.size() - 3], ".list[19999].s=\"x\\\"y\"");
  EXPECT_EQ(lines.back(), ".list[19999].b=false");
}

TEST(ApiJson, DecimalTable) {
  struct Case {
    std::string in;
    std::int64_t out;
  };
  const std::vector<Case> cases = {
      {"", 0},
      {"0", 0},
      {"42", 42},
      {"  42\t\r\n", 42},
      {"-1", 0},
      {"+5", 0},
      {"12abc", 0},
      {"4194305", 4194305},
      {"123456789012", 12345678},  // reading stops once the value passes 10,000,000
      {"12345678abc", 12345678},   // whatever follows
      {"10000000", 10000000},
      {"100000009", 100000009},
      {"999999999999999999999999", 99999999},
      {"1 2", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(api_parse_decimal(c.in), c.out) << c.in;
}

TEST(ApiJson, StringMemberTable) {
  struct Case {
    std::string json;
    std::string key;
    std::optional<std::string> out;
  };
  const std::vector<Case> cases = {
      {R"({"uri":"magnet:?x"})", "uri", "magnet:?x"},
      {R"({ "uri" :	"a" })", "uri", "a"},
      {"{\"uri\"\r\n:\n\"a\"}", "uri", "a"},
      {R"({"name":"say \"hi\""})", "name", "say \"hi\""},
      {R"({"p":"a\/b\\c\nd\re\tf\x"})", "p", "a/b\\c\nd\re\tfx"},
      {R"({"u":"\u0041"})", "u", "A"},
      {R"({"port":5,"inner":{"port":"7"}})", "port", "7"},  // the first string value wins
      {R"({"a":1})", "b", std::nullopt},
      {R"({"a":1})", "a", std::nullopt},
      {R"({"a":"open)", "a", std::nullopt},
      {R"({"a":"x\)", "a", std::nullopt},
      {R"({"a":"open, "a":"closed"})", "a", "open, "},  // a value ends at the next bare quote
      {R"({"x":"has \"a\": inside","a":"v"})", "a", "v"},
      {R"({"x":"\"a\":\"inside\""})", "a", std::nullopt},  // escaped quotes are not the key's
      {R"({"a":{"a":"deep"}})", "a", "deep"},
      {R"("a")", "a", std::nullopt},
      {R"({"a":"")", "a", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(api_json_get_string(c.json, c.key), c.out) << c.json;
}

// \u escapes become UTF-8; one that is not four hex digits, or a surrogate that is not a
// high one followed by an escaped low one, makes the member unusable, and no later member
// of the name takes its place.
TEST(ApiJson, UnicodeEscapeTable) {
  struct Case {
    std::string json;
    std::optional<std::string> out;
  };
  const std::vector<Case> cases = {
      {R"({"a":"caf\u00e9"})", "caf\xC3\xA9"},
      {R"({"a":"\u00E9\u00e9"})", "\xC3\xA9\xC3\xA9"},  // either case of hex digit
      {R"({"a":"\u0000"})", std::string(1, '\0')},
      {R"({"a":"\u007f\u0080\u07ff\u0800\uffff"})", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {R"({"a":"\ud83d\ude00"})", "\xF0\x9F\x98\x80"},
      {R"({"a":"\uD800\uDC00\uDBFF\uDFFF"})", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {R"({"a":"x\u002F\/"})", "x//"},
      {R"({"a":"\u0022\u005c"})", "\"\\"},  // an escaped quote does not end the value
      {R"({"a":"\ud800"})", std::nullopt},  // lone high surrogate
      {R"({"a":"\ud800x"})", std::nullopt},
      {R"({"a":"\ud800\u0041"})", std::nullopt},  // high followed by no low surrogate
      {R"({"a":"\ud800\ud800"})", std::nullopt},
      {R"({"a":"\udc00"})", std::nullopt},        // lone low surrogate
      {R"({"a":"\ude00\ud83d"})", std::nullopt},  // a pair the wrong way round
      {R"({"a":"\u00e"})", std::nullopt},         // three digits
      {R"({"a":"\u00g9"})", std::nullopt},
      {R"({"a":"\u+0e9"})", std::nullopt},
      {R"({"a":"\u-0e9"})", std::nullopt},
      {R"({"a":"\u 0e9"})", std::nullopt},
      {R"({"a":"\u)", std::nullopt},
      {R"({"a":"\ud83d\ude0"})", std::nullopt},
      {R"({"a":"\ud800","b":{"a":"later"}})", std::nullopt},  // no later member instead
      {R"({"a":1,"b":{"a":"\u00e9"}})", "\xC3\xA9"},          // the first string value still wins
  };
  for (const auto& c : cases) EXPECT_EQ(api_json_get_string(c.json, "a"), c.out) << c.json;
}

// Bodies as client libraries write them: python's json.dumps with ASCII escapes on and off,
// and with "/" escaped; the member read is the value python wrote.
TEST(ApiJson, StringMembersOfPythonWrittenBodies) {
  const auto out =
      api_test::run_capture(api_test::python() + " " ONDREL_SOURCE_DIR "/tests/torrent/api_json_strings.py");
  ASSERT_TRUE(out.has_value());
  std::istringstream in(*out);
  int rows = 0;
  for (std::string value_hex, body_hex; in >> value_hex >> body_hex; ++rows) {
    ASSERT_TRUE(value_hex.starts_with('v')) << value_hex;
    const auto body = encoding::hex_decode(body_hex);
    ASSERT_TRUE(body.has_value()) << body_hex;
    const std::string text(body->begin(), body->end());
    const auto got = api_json_get_string(text, "download_dir");
    ASSERT_TRUE(got.has_value()) << text;
    EXPECT_EQ(encoding::hex_encode(encoding::string_to_utf8_bytes(*got)), value_hex.substr(1)) << text;
    EXPECT_EQ(api_json_get_string(text, "uri"), "x") << text;
  }
  EXPECT_EQ(rows, 52);
}

TEST(ApiJson, FlexibleBase64Table) {
  struct Case {
    std::string in;
    std::optional<std::string> out;  // none: an error
  };
  const std::vector<Case> cases = {
      {"QQ", "A"},
      {"QQ=", "A"},
      {"QQ==", "A"},
      {"QUI", "AB"},
      {"QUI=", "AB"},
      {"QUJD", "ABC"},
      {"Q U\tJ\nD\r", "ABC"},
      {"-_8", "\xfb\xff"},  // URL-safe
      {"+/8", "\xfb\xff"},  // standard
      {"-~8", "\xfb\xff"},  // I2P
      {"", ""},
      {"Q", std::nullopt},
      {"Q!==", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto got = api_decode_base64_flexible(c.in);
    if (!c.out) {
      EXPECT_FALSE(got.has_value()) << c.in;
      continue;
    }
    ASSERT_TRUE(got.has_value()) << c.in;
    EXPECT_EQ(std::string(got->begin(), got->end()), *c.out) << c.in;
  }
}

// Random bytes written by python's base64 module in its standard and URL-safe forms, with
// and without padding, decode to the same bytes.
TEST(ApiJson, FlexibleBase64MatchesPython) {
  const auto out = api_test::run_capture(
      api_test::python() +
      " -c 'import base64,os\n"
      "for n in range(1, 40):\n"
      "    b = bytes((i * 37 + n * 11) % 256 for i in range(n))\n"
      "    print(b.hex(), base64.b64encode(b).decode(), base64.urlsafe_b64encode(b).decode().rstrip(\"=\"))'");
  ASSERT_TRUE(out.has_value());
  std::istringstream in(*out);
  int rows = 0;
  for (std::string hex, std64, url; in >> hex >> std64 >> url; ++rows) {
    for (const std::string& text : {std64, url}) {
      const auto got = api_decode_base64_flexible(text);
      ASSERT_TRUE(got.has_value()) << text;
      EXPECT_EQ(encoding::hex_encode(*got), hex) << text;
    }
  }
  EXPECT_EQ(rows, 39);
}

TEST(ApiJson, RouterErrorTexts) {
  struct Case {
    Error error;
    std::string text;
  };
  const std::vector<Case> cases = {
      {Error(RouterError::Message, "torrent engine unavailable"), "torrent engine unavailable"},
      {Error(RouterError::Tunnel), "tunnel error"},
      {Error(RouterError::I2np), "I2NP message error"},
      {Error(RouterError::NetDb), "NetDB error"},
      {Error(RouterError::Noise), "noise handshake error"},
      {Error(RouterError::Common), "I2P structure error"},
      {Error(RouterError::Crypto), "cryptography error"},
      {Error(RouterError::Net, Error(NetError::Io, "mkdir failed")), "network/disk I/O error"},
  };
  for (const auto& c : cases) EXPECT_EQ(api_router_err_msg(c.error), c.text);
}

TEST(ApiJson, BootstrapPortTable) {
  struct Case {
    std::string body;
    std::uint32_t port;
  };
  const std::vector<Case> cases = {
      {R"({"b32":"x","port":1234})", 1234},
      {R"({"port" :	 7})", 7},
      {R"({"port":"1234"})", 6881},  // a string is no number
      {R"({"port":0})", 6881},
      {R"({"port":65535})", 65535},
      {R"({"port":65536})", 6881},
      {R"({"port":99999999999})", 6881},
      {R"({"b32":"x"})", 6881},
      {R"({"port":-5,"x":{"port":42}})", 42},  // no digits after the first: passed over
      {R"({"port"
:5})",
       6881},  // only blanks and tabs may come before the colon
      {"", 6881},
  };
  for (const auto& c : cases) EXPECT_EQ(api_bootstrap_port(c.body), c.port) << c.body;
}

}  // namespace
}  // namespace router
