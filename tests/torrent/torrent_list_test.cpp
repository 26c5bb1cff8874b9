// The torrent list as the API writes it in place: the word-at-a-time escaping against a
// byte-by-byte model of the rule, the short base32 names of peers against python's base64
// module, texts that grow most when escaped and counters of 20 digits read back by python,
// and the answer head put in front of the list in its room.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "encoding/text.h"
#include "tests/torrent/api_test_support.h"
#include "torrent/api_documents.h"
#include "torrent/api_json.h"
#include "torrent/api_request.h"

namespace router {
namespace {

using api_test::json_members;

// The rule for ASCII text, one byte at a time: quote and backslash get a backslash, LF, CR
// and TAB their letters, other controls a blank, everything else stays.
std::string model_escape_ascii(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
  }
  return out;
}

std::string escape_via_pointer(std::string_view text) {
  std::string out(3 * text.size() + 8, '\0');
  out.resize(static_cast<std::size_t>(api_json_escape_to(out.data(), text) - out.data()));
  return out;
}

TEST(TorrentList, EscapeOfRandomAsciiMatchesTheRule) {
  std::mt19937 rng(99);
  // Bytes that must stop the copying and their neighbours, which must not.
  const std::string near = std::string("\"\\\n\r\t\x01\x1f !#[]^`{|}~\x7f/aZ09", 23) + std::string(1, '\0');
  for (int round = 0; round < 5000; ++round) {
    const std::size_t n = rng() % 70;
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
      // Mostly plain letters, so that whole words without anything to escape occur.
      const auto r = rng() % 10;
      text += r < 6 ? static_cast<char>('a' + rng() % 26)
                    : (r < 9 ? near[rng() % near.size()] : static_cast<char>(rng() % 0x80));
    }
    const std::string want = model_escape_ascii(text);
    ASSERT_EQ(api_json_escape(text), want) << encoding::hex_encode(to_bytes(text));
    ASSERT_EQ(escape_via_pointer(text), want) << encoding::hex_encode(to_bytes(text));
  }
}

// Every byte sequence outside ASCII at every position of texts up to 3 words long: before,
// inside and across word bounds and in the last, partial word.
TEST(TorrentList, EscapeOfUtf8AtEveryPosition) {
  struct Special {
    std::string in;
    std::string out;
  };
  const std::string fffd = "\xef\xbf\xbd";
  const std::vector<Special> specials = {
      {"\xc3\xa9", "\xc3\xa9"},
      {"\xe2\x82\xac", "\xe2\x82\xac"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"\xff", fffd},
      {"\xed\xa0\x80", fffd + fffd + fffd},  // a surrogate
      {"\xe2\x82", fffd + fffd},             // cut, before ASCII or the end
      {"\"\"", "\\\"\\\""},
  };
  for (const Special& s : specials) {
    for (std::size_t n = 0; n <= 24; ++n) {
      for (std::size_t at = 0; at <= n; ++at) {
        std::string before, after;
        for (std::size_t i = 0; i < at; ++i) before += static_cast<char>('A' + i % 26);
        for (std::size_t i = at; i < n; ++i) after += static_cast<char>('a' + i % 26);
        const std::string text = before + s.in + after;
        const std::string want = before + s.out + after;
        ASSERT_EQ(api_json_escape(text), want) << encoding::hex_encode(to_bytes(text));
        ASSERT_EQ(escape_via_pointer(text), want) << encoding::hex_encode(to_bytes(text));
      }
    }
  }
}

TEST(TorrentList, ShortB32MatchesPython) {
  std::vector<common::Hash> hashes(5);
  for (std::size_t i = 0; i < 32; ++i) {
    hashes[1].bytes[i] = 0xff;
    hashes[2].bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
    hashes[3].bytes[i] = static_cast<std::uint8_t>(0x80 >> (i % 8));
    hashes[4].bytes[i] = static_cast<std::uint8_t>(255 - i);
  }
  std::string script = "import base64\n";
  std::string ours;
  for (const common::Hash& h : hashes) {
    script += "print(base64.b32encode(bytes.fromhex('" + encoding::hex_encode(h.bytes) + "')[:10]).decode().lower())\n";
    char buf[16];
    ours.append(buf, static_cast<std::size_t>(api_put_short_b32(buf, h) - buf));
    ours += '\n';
  }
  api_test::ScratchDir dir("b32");
  api_test::write_file(dir / "b32.py", script);
  const auto want = api_test::run_capture(api_test::python() + " " + (dir / "b32.py").string());
  ASSERT_TRUE(want.has_value());
  EXPECT_EQ(ours, *want);
}

// Texts that grow three-fold, many peers, and every counter at its largest: the list is
// written into room reserved up front, and python reads back every value.
TEST(TorrentList, LargestTextsAndCounters) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::optional<TorrentEngine> engine(std::in_place);
  ActiveTorrent t;
  t.info_hash_hex = std::string(40, 'e');
  t.name = std::string(300, '\xff');
  t.tracker_status = std::string(301, '"');
  t.download_dir = std::string(302, '\x01');
  t.error = "\xed\xa0\x80";
  t.downloaded = kMax;
  t.uploaded = kMax;
  for (int i = 0; i < 40; ++i) {
    TorrentPeerConn p;
    p.peer.bytes.fill(static_cast<std::uint8_t>(i));
    p.state = std::numeric_limits<std::int32_t>::max();
    p.peer_choking = i % 2 == 0;
    p.blocks_recv = kMax;
    p.client = std::string(static_cast<std::size_t>(i), '\xfe');
    t.peers.push_back(std::move(p));
  }
  engine->torrents.push_back(t);
  ActiveTorrent plain;
  plain.info_hash_hex = std::string(40, '0');
  plain.name = "x";
  engine->torrents.push_back(plain);

  const std::string doc = api_torrents_document(engine, 0);
  const auto lines = json_members(doc);
  ASSERT_FALSE(lines.empty()) << doc.substr(0, 200);
  EXPECT_EQ(lines[0], "compact");
  auto repeat = [](std::string_view s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
  };
  auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  EXPECT_TRUE(has(".torrents=[2]"));
  EXPECT_TRUE(has(".torrents[0].name=\"" + repeat("\\ufffd", 300) + "\""));
  EXPECT_TRUE(has(".torrents[0].last_tracker_status=\"" + repeat("\\\"", 301) + "\""));
  EXPECT_TRUE(has(".torrents[0].download_dir=\"" + std::string(302, ' ') + "\""));
  EXPECT_TRUE(has(".torrents[0].error=\"" + repeat("\\ufffd", 3) + "\""));
  EXPECT_TRUE(has(".torrents[0].downloaded_bytes=18446744073709551615"));
  EXPECT_TRUE(has(".torrents[0].uploaded_bytes=18446744073709551615"));
  EXPECT_TRUE(has(".torrents[0].peers=[40]"));
  for (int i = 0; i < 40; ++i) {
    const std::string p = ".torrents[0].peers[" + std::to_string(i) + "]";
    common::Hash h;
    h.bytes.fill(static_cast<std::uint8_t>(i));
    EXPECT_TRUE(has(p + ".b32=\"" + h.to_b32_address().substr(0, 16) + "\"")) << p;
    EXPECT_TRUE(has(p + ".state=2147483647")) << p;
    EXPECT_TRUE(has(p + ".choking=" + (i % 2 == 0 ? "true" : "false"))) << p;
    EXPECT_TRUE(has(p + ".blocks_recv=18446744073709551615")) << p;
    EXPECT_TRUE(has(p + ".client=\"" + repeat("\\ufffd", static_cast<std::size_t>(i)) + "\"")) << p;
  }
  EXPECT_TRUE(has(".torrents[1].name=\"x\""));

  // Written after room for the head: the same document behind blanks.
  const std::string roomy = api_torrents_document(engine, kApiHeadRoom);
  EXPECT_EQ(roomy.substr(0, kApiHeadRoom), std::string(kApiHeadRoom, ' '));
  EXPECT_EQ(roomy.substr(kApiHeadRoom), doc);
  // Without an engine, an empty list.
  EXPECT_EQ(api_torrents_document(std::nullopt, 3), "   {\"ok\":true,\"torrents\":[]}");
}

// The head goes into the room in front of the document when it fits, and in front of it
// otherwise: the bytes to send are the same.
TEST(TorrentList, AnswerHeadInItsRoom) {
  const std::string doc = R"({"ok":true,"torrents":[]})";
  struct Case {
    std::size_t room;
    std::string origin;
  };
  const std::vector<Case> cases = {
      {0, ""},
      {10, ""},
      {512, ""},
      {512, "http://localhost:8080"},
      {130, "http://localhost:8080"},
      {512, "http://evil.example"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.room) + " " + c.origin);
    TorrentApiConn conn;
    conn.origin = c.origin;
    api_send_response(conn, 200, "OK", std::string(c.room, ' ') + doc, 5, c.room);
    EXPECT_EQ(conn.answer.substr(conn.answer_sent), api_response_text(200, "OK", doc, c.origin));
    EXPECT_EQ(conn.phase, ApiConnPhase::Writing);
    EXPECT_EQ(conn.answered_ms, 5u);
  }
  // A head exactly as long as the room leaves nothing in front of it.
  const std::string head = api_response_text(200, "OK", doc, "");
  const std::size_t head_size = head.size() - doc.size();
  TorrentApiConn conn;
  api_send_response(conn, 200, "OK", std::string(head_size, ' ') + doc, 5, head_size);
  EXPECT_EQ(conn.answer_sent, 0u);
  EXPECT_EQ(conn.answer, head);
}

}  // namespace
}  // namespace router
