// Tracker replies built by an independent python model: bodies encoded by libtorrent,
// gzip by python's gzip module, destinations and their SHA-256 hashes by hashlib, b32
// addresses by python's Base32. Each case states the expected result in one line.
#include "bittorrent/tracker_reply.h"

#include <gtest/gtest.h>

#include <string>

#include "encoding/text.h"
#include "tests/bittorrent/bt_test_support.h"

namespace bittorrent {
namespace {

std::string Render(const Result<TrackerResponse>& r) {
  if (!r) return "err;" + bt_test::Message(r.error());
  std::string peers;
  for (const common::Hash& h : r->peers) {
    if (!peers.empty()) peers += ',';
    peers += encoding::hex_encode(h.bytes);
  }
  return "ok;" + std::to_string(r->interval) + ";" + std::to_string(r->complete) + ";" + std::to_string(r->incomplete) +
         ";" + peers + ";" + r->failure_reason.value_or("-");
}

constexpr const char* kReplies = R"(
random.seed(5)
def rnd(n): return bytes(random.randrange(256) for _ in range(n))
def b32(h): return base64.b32encode(h).decode().rstrip('=').lower()
def i2p64(b): return base64.b64encode(b, altchars=b'-~').decode()
# A destination: 384 key bytes and a null certificate; its hash is SHA-256 of all 387 bytes.
dest = rnd(384) + b'\x00\x00\x00'
dest_hash = hashlib.sha256(dest).digest()
p1, p2 = rnd(32), rnd(32)
H = lambda *hs: ','.join(h.hex() for h in hs)
ok200 = b'HTTP/1.1 200 OK\n\n'
crlf = b'HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n'
def case(reply, expected): print(reply.hex() + '|' + expected)
body = lt.bencode({b'interval': 1800, b'peers': p1 + p2})
case(ok200 + body, 'ok;1800;0;0;%s;-' % H(p1, p2))
case(crlf + body, 'ok;1800;0;0;%s;-' % H(p1, p2))
case(ok200 + lt.bencode({b'peers': p1}), 'ok;300;0;0;%s;-' % H(p1))
case(ok200 + lt.bencode({b'interval': 0}), 'ok;300;0;0;;-')
case(ok200 + lt.bencode({b'interval': -5, b'complete': -3, b'incomplete': 7}), 'ok;300;0;7;;-')
case(ok200 + lt.bencode({b'interval': 2**32 + 5, b'complete': 2**40}), 'ok;2147483647;2147483647;0;;-')
case(ok200 + lt.bencode({b'failure reason': b'go away'}), 'ok;300;0;0;;go away')
case(ok200 + lt.bencode({b'failure reason': b'\xff'}), 'ok;300;0;0;;-')
case(ok200 + lt.bencode({b'peers': p1 + rnd(8)}), 'ok;300;0;0;%s;-' % H(p1))
case(ok200 + lt.bencode({b'peers': bytes(32) + p2}), 'ok;300;0;0;%s;-' % H(p2))
case(ok200 + lt.bencode({b'peers': 5}), 'ok;300;0;0;;-')
peers = [{b'ip': (b32(p1) + '.b32.i2p').encode()}, {b'ip': (b32(p2).upper() + '.B32').encode()},
         {b'ip': (i2p64(dest) + '.i2p').encode()}, {b'ip': b'127.0.0.1'}, {b'ip': b'\xff'}, {b'port': 1},
         {b'ip': (b32(p1)[:50] + '.b32.i2p').encode()}, {b'ip': ('  ' + i2p64(dest) + '\t').encode()}]
case(ok200 + lt.bencode({b'peers': peers}), 'ok;300;0;0;%s;-' % H(p1, p2, dest_hash, dest_hash))
case(b'HTTP/1.1 200 OK\nContent-Encoding: gzip\n\n' + gzip.compress(body), 'ok;1800;0;0;%s;-' % H(p1, p2))
case(b'HTTP/1.1 200 OK\nContent-Encoding: gzip\n\n' + body, 'err;invalid gzip magic/method header')
chunked = b'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n'
case(chunked + b'%x\r\n' % 10 + body[:10] + b'\r\n' + b'%X;name=x\r\n' % (len(body) - 10) + body[10:] + b'\r\n0\r\n\r\n',
     'ok;1800;0;0;%s;-' % H(p1, p2))
case(chunked + b'%x\n' % len(body) + body + b'\n', 'ok;1800;0;0;%s;-' % H(p1, p2))
case(chunked + b'%x\r\n' % len(body) + body, 'ok;1800;0;0;%s;-' % H(p1, p2))
case(b'HTTP/1.1 200 OK\nTransfer-Encoding: chunked\nContent-Encoding: gzip\n\n' +
     (lambda z: b'%x\r\n' % len(z) + z + b'\r\n0\r\n\r\n')(gzip.compress(body)), 'ok;1800;0;0;%s;-' % H(p1, p2))
case(chunked + b'zz\r\n', 'err;invalid hex chunk size: zz')
case(chunked + b'5', 'err;malformed chunked tracker response')
case(chunked + b'%x\r\n' % (len(body) + 1) + body, 'err;truncated chunked tracker body')
case(chunked + b'80000000\r\n' + body, 'err;truncated chunked tracker body')
case(chunked + b'ffffffffffffffffffffffff\r\n' + body, 'err;truncated chunked tracker body')
case(chunked + b'\xff\r\n', 'err;non-UTF8 chunk size')
case(b'HTTP/1.1 404 Not Found\r\n\r\n', 'err;tracker HTTP status error: http/1.1 404 not found')
case(b'HTTP/1.1 204 No Content\r\n\r\n', 'err;unexpected EOF')
case(b'HTTP/1.1 200 OK\r\nX: y\r\n', 'err;HTTP tracker response missing header terminator')
case(b'\n\n' + body, 'err;empty HTTP tracker status line')
case(b'HTTP/1.1 200 OK\n\n' + body + b'x', 'err;trailing bytes after bencode root: 1')
)";

TEST(TrackerReply, RepliesOfThePythonModel) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), kReplies);
  ASSERT_TRUE(out.has_value());
  auto lines = bt_test::Lines(*out);
  ASSERT_EQ(lines.size(), 29u);
  for (const std::string& line : lines) {
    const std::size_t bar = line.find('|');
    const Bytes reply = bt_test::Unhex(line.substr(0, bar));
    EXPECT_EQ(Render(parse_http_tracker_response(reply)), line.substr(bar + 1))
        << std::string(reply.begin(), reply.end());
  }
}

TEST(TrackerReply, ErrorVariants) {
  auto head = parse_http_tracker_response(bt_test::B("HTTP/1.1 200 \xFF\n\nde"));
  ASSERT_FALSE(head.has_value());
  EXPECT_TRUE(head.error().is(BittorrentError::Encoding));
  auto status = parse_http_tracker_response(bt_test::B("HTTP/1.1 500 Oops\n\nde"));
  ASSERT_FALSE(status.has_value());
  EXPECT_TRUE(status.error().is(BittorrentError::Wire));
  auto body = parse_http_tracker_response(bt_test::B("HTTP/1.1 200 OK\n\nx"));
  ASSERT_FALSE(body.has_value());
  EXPECT_TRUE(body.error().is(BittorrentError::Bencode));
}

TEST(TrackerReply, PeerTexts) {
  EXPECT_EQ(decode_tracker_peer_str(""), std::nullopt);
  EXPECT_EQ(decode_tracker_peer_str("127.0.0.1"), std::nullopt);
  EXPECT_EQ(decode_tracker_peer_str(".b32.i2p"), std::nullopt);
  // 52 characters that are not Base32 give none rather than falling through.
  EXPECT_EQ(decode_tracker_peer_str(std::string(52, '1') + ".b32.i2p"), std::nullopt);
  common::Hash h;
  for (std::size_t i = 0; i < 32; ++i) h.bytes[i] = static_cast<std::uint8_t>(i * 7);
  EXPECT_EQ(decode_tracker_peer_str(h.to_b32_address()), h);
}

}  // namespace
}  // namespace bittorrent
