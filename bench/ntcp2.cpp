// NTCP2 data phase and handshake throughput, beside the raw ChaCha20-Poly1305 of our own
// primitive in the same run, so the cost of framing (length mask, block headers, queue,
// socket) shows as the gap between the two.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>

#include <unistd.h>

#include "common/certificate.h"
#include "common/router_info.h"
#include "crypto/chacha20_poly1305.h"
#include "crypto/ed25519.h"
#include "encoding/text.h"
#include "ntcp2/block.h"
#include "ntcp2/data_session.h"
#include "ntcp2/frame.h"
#include "ntcp2/handshake.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/ntcp2_conn.h"
#include "ntcp2_net/pending_accept.h"
#include "ntcp2_net/pending_dial.h"
#include "ntcp2_net/tcp_listener.h"
#include "ntcp2_net/random.h"

namespace {

using ntcp2::Ntcp2Block;

noise::KeyPair key_pair() { return *noise::KeyPair::from_private(*ntcp2_net::random_bytes(32)); }

struct Sides {
  ntcp2::Ntcp2Handshake a, b;
};

// One complete handshake over byte strings, keys fixed beforehand.
bool run_handshake(Sides& s, const std::vector<Ntcp2Block>& blocks, std::size_t blocks_len) {
  auto msg1 = s.a.write_session_request({}, blocks_len, 1000);
  if (!msg1) return false;
  auto req = s.b.read_session_request_head(ByteView(*msg1).first(64));
  if (!req) return false;
  s.b.m3p2_len = req->m3p2_len;
  if (!s.b.finish_read_session_request(ByteView(*msg1).subspan(64))) return false;
  auto msg2 = s.b.write_session_created({}, 1000);
  if (!msg2 || !s.a.read_session_created_head(ByteView(*msg2).first(64))) return false;
  if (!s.a.finish_read_session_created({})) return false;
  auto msg3 = s.a.write_session_confirmed(blocks);
  if (!msg3 || !s.b.read_session_confirmed(*msg3)) return false;
  return s.a.into_data_session() && s.b.into_data_session();
}

void BM_Handshake(benchmark::State& state) {
  const noise::KeyPair is = key_pair(), rs = key_pair(), ie = key_pair(), re = key_pair();
  const Bytes hash = *ntcp2_net::random_bytes(32), iv = *ntcp2_net::random_bytes(16);
  const std::vector<Ntcp2Block> blocks = {Ntcp2Block::RouterInfo{0, Bytes(500, 1)}, Ntcp2Block::Padding{Bytes(16)}};
  const std::size_t len = ntcp2::encode_blocks(blocks)->size();
  for (auto _ : state) {
    Sides s{*ntcp2::Ntcp2Handshake::new_initiator(is, rs.public_key, hash, iv),
            *ntcp2::Ntcp2Handshake::new_responder(rs, hash, iv)};
    s.a.local_ephemeral = ie;
    s.b.local_ephemeral = re;
    if (!run_handshake(s, blocks, len)) state.SkipWithError("handshake failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Handshake)->Unit(benchmark::kMicrosecond);

// The baseline: what a frame costs in cryptography alone, sealed on one side and opened
// on the other.
void BM_RawAead(benchmark::State& state) {
  const Bytes key(32, 7), nonce(12, 0), data(static_cast<std::size_t>(state.range(0)), 1);
  for (auto _ : state) {
    auto ct = crypto::aead_chacha20_poly1305_encrypt(key, nonce, {}, data);
    auto pt = crypto::aead_chacha20_poly1305_decrypt(key, nonce, {}, *ct);
    benchmark::DoNotOptimize(pt);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawAead)->Arg(1024)->Arg(16384);

std::pair<ntcp2::Ntcp2DataSession, ntcp2::Ntcp2DataSession> sessions() {
  const noise::KeyPair rs = key_pair();
  const Bytes hash = *ntcp2_net::random_bytes(32), iv = *ntcp2_net::random_bytes(16);
  Sides s{*ntcp2::Ntcp2Handshake::new_initiator(key_pair(), rs.public_key, hash, iv),
          *ntcp2::Ntcp2Handshake::new_responder(rs, hash, iv)};
  s.a.local_ephemeral = key_pair();
  s.b.local_ephemeral = key_pair();
  run_handshake(s, {}, 0);
  return {*s.a.into_data_session(), *s.b.into_data_session()};
}

// Frame codec alone: seal on one side, open on the other, no socket.
void BM_FrameCodec(benchmark::State& state) {
  auto [a, b] = sessions();
  const std::size_t payload = static_cast<std::size_t>(state.range(0));
  const std::vector<Ntcp2Block> blocks = {Ntcp2Block::I2np{Bytes(payload - 3, 1)}};
  for (auto _ : state) {
    auto wire = ntcp2::encode_blocks(blocks);
    auto frame = ntcp2::seal_frame(a, *wire);
    auto len = ntcp2::open_frame_length(b, static_cast<std::uint16_t>((*frame)[0] << 8 | (*frame)[1]));
    auto pt = ntcp2::open_frame(b, ByteView(*frame).subspan(2, *len));
    auto back = ntcp2::decode_blocks(*pt);
    benchmark::DoNotOptimize(back);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameCodec)->Arg(1024)->Arg(16384);

// Whole links over a socketpair: send_blocks_nb on one end, recv_blocks_nb on the other.
void BM_LinkOverSocketpair(benchmark::State& state) {
  auto [sa, sb] = sessions();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  ondrel_i2p_net_tcp_set_nonblocking(fds[0], 1);
  ondrel_i2p_net_tcp_set_nonblocking(fds[1], 1);
  ntcp2_net::Ntcp2Conn a =
      ntcp2_net::make_ntcp2_conn(ntcp2_net::TcpSocket(fds[0]), std::move(sa), common::RouterInfo{});
  ntcp2_net::Ntcp2Conn b =
      ntcp2_net::make_ntcp2_conn(ntcp2_net::TcpSocket(fds[1]), std::move(sb), common::RouterInfo{});
  const std::size_t payload = static_cast<std::size_t>(state.range(0));
  const std::vector<Ntcp2Block> blocks = {Ntcp2Block::I2np{Bytes(payload - 3, 1)}};
  for (auto _ : state) {
    if (!a.send_blocks_nb(blocks, ntcp2_net::read_now())) {
      state.SkipWithError("send failed");
      break;
    }
    for (;;) {
      auto r = b.recv_blocks_nb(ntcp2_net::read_now());
      if (!r) {
        state.SkipWithError("recv failed");
        return;
      }
      if (*r) break;
      (void)a.flush_nonblocking(ntcp2_net::read_now());
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LinkOverSocketpair)->Arg(1024)->Arg(16384);

// A router identity with a signed RouterInfo naming one NTCP2 address on 127.0.0.1.
struct BenchRouter {
  noise::KeyPair keys = key_pair();
  Bytes iv = *ntcp2_net::random_bytes(16);
  common::RouterInfo info;

  explicit BenchRouter(int port) {
    const Bytes seed = *ntcp2_net::random_bytes(32);
    common::KeysAndCert& kac = info.identity.keys_and_cert;
    std::copy(keys.public_key.begin(), keys.public_key.end(), kac.keys.begin());
    const auto ed = *crypto::ed25519_public_key(seed);
    std::copy(ed.begin(), ed.end(), kac.keys.end() - 32);
    kac.certificate = common::Certificate(
        common::Certificate::Value(common::KeyCertificate::create(common::CryptoPublicKeyType::X25519)));
    common::RouterAddress a;
    a.transport_style = "NTCP2";
    a.options = common::Mapping::from_entries({{"host", "127.0.0.1"},
                                               {"i", encoding::base64_encode(iv)},
                                               {"port", std::to_string(port)},
                                               {"s", encoding::base64_encode(keys.public_key)}});
    info.addresses = {a};
    const auto sig = *crypto::ed25519_sign(seed, *info.unsigned_bytes());
    info.signature.assign(sig.begin(), sig.end());
  }
};

// Complete handshakes over loopback TCP: connect, SessionRequest, SessionCreated,
// SessionConfirmed with a signed RouterInfo checked by the responder.
void BM_HandshakeOverLoopback(benchmark::State& state) {
  auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  if (!listener) {
    state.SkipWithError("listen failed");
    return;
  }
  const BenchRouter responder(listener->port), initiator(1);
  const common::Hash hash = responder.info.identity.keys_and_cert.hash();
  const ntcp2_net::Ntcp2Peer peer = *ntcp2_net::extract_ntcp2_peer(responder.info);
  ntcp2_net::ReplayCache cache;
  for (auto _ : state) {
    auto dial = ntcp2_net::PendingNtcp2Dial::start(peer, responder.info, initiator.keys, initiator.info, true,
                                                   ntcp2_net::read_now());
    if (!dial) {
      state.SkipWithError("dial failed");
      return;
    }
    std::optional<ntcp2_net::PendingNtcp2Accept> accept;
    bool out = false, in = false;
    while (!out || !in) {
      if (!accept) {
        auto s = listener->accept(0);
        if (s && *s)
          accept.emplace(*ntcp2_net::PendingNtcp2Accept::start(std::move(**s), responder.keys, hash.view(),
                                                               responder.iv, true, ntcp2_net::read_now()));
      }
      if (!out) {
        auto r = dial->step(ntcp2_net::read_now());
        if (!r) {
          state.SkipWithError("dial step failed");
          return;
        }
        out = r->has_value();
      }
      if (accept && !in) {
        auto r = accept->step(cache, ntcp2_net::read_now());
        if (!r) {
          state.SkipWithError("accept step failed");
          return;
        }
        in = r->has_value();
      }
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandshakeOverLoopback)->Unit(benchmark::kMicrosecond);

}  // namespace
