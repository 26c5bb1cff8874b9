#pragma once
// Helpers shared by the NTCP2 link and handshake tests.
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <string>

#include "common/certificate.h"
#include "common/router_info.h"
#include "crypto/ed25519.h"
#include "encoding/bytes.h"
#include "encoding/text.h"
#include "noise/key_pair.h"
#include "ntcp2/block.h"
#include "ntcp2/data_session.h"
#include "ntcp2/handshake.h"
#include "ntcp2_net/random.h"

namespace ntcp2_test {

inline noise::KeyPair random_key_pair() { return *noise::KeyPair::from_private(*ntcp2_net::random_bytes(32)); }

// The two data sessions of one handshake run over byte strings: first the initiator's.
inline std::pair<ntcp2::Ntcp2DataSession, ntcp2::Ntcp2DataSession> session_pair() {
  const noise::KeyPair is = random_key_pair(), rs = random_key_pair();
  const Bytes hash = *ntcp2_net::random_bytes(32), iv = *ntcp2_net::random_bytes(16);
  auto a = *ntcp2::Ntcp2Handshake::new_initiator(is, rs.public_key, hash, iv);
  auto b = *ntcp2::Ntcp2Handshake::new_responder(rs, hash, iv);
  a.local_ephemeral = random_key_pair();
  b.local_ephemeral = random_key_pair();
  const std::vector<ntcp2::Ntcp2Block> blocks = {ntcp2::Ntcp2Block::Padding{{1, 2, 3}}};
  const Bytes msg1 = *a.write_session_request({}, ntcp2::encode_blocks(blocks)->size(), 1000);
  b.m3p2_len = b.read_session_request_head(ByteView(msg1).first(64))->m3p2_len;
  (void)b.finish_read_session_request({});
  const Bytes msg2 = *b.write_session_created({}, 1000);
  (void)a.read_session_created_head(ByteView(msg2).first(64));
  (void)a.finish_read_session_created({});
  const Bytes msg3 = *a.write_session_confirmed(blocks);
  (void)b.read_session_confirmed(msg3);
  return {*a.into_data_session(), *b.into_data_session()};
}

// A connected pair of stream sockets (descriptors), or -1s.
inline std::pair<int, int> stream_pair() {
  int fds[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {-1, -1};
  return {fds[0], fds[1]};
}

// Waits up to timeout_ms for fd to become readable.
inline bool wait_readable(int fd, int timeout_ms = 2000) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// A router of the tests: static X25519 keys, an Ed25519 identity and a signed RouterInfo
// with one NTCP2 address on 127.0.0.1.
struct TestRouter {
  noise::KeyPair static_keys;
  Bytes ed_seed;
  Bytes iv;
  common::RouterInfo info;
  common::Hash hash;

  // Signs the RouterInfo again after a field was changed.
  void sign() {
    auto sig = crypto::ed25519_sign(ed_seed, *info.unsigned_bytes());
    info.signature.assign(sig->begin(), sig->end());
  }
};

inline common::RouterAddress ntcp2_address(const std::string& host, int port, ByteView s, ByteView iv) {
  common::RouterAddress a;
  a.cost = 10;
  a.transport_style = "NTCP2";
  a.options = common::Mapping::from_entries({{"host", host},
                                             {"i", encoding::base64_encode(iv)},
                                             {"port", std::to_string(port)},
                                             {"s", encoding::base64_encode(s)},
                                             {"v", "2"}});
  return a;
}

inline TestRouter make_router(int port) {
  TestRouter r{random_key_pair(), *ntcp2_net::random_bytes(32), *ntcp2_net::random_bytes(16), {}, {}};
  common::KeysAndCert kac;
  const Bytes filler = *ntcp2_net::random_bytes(384);
  std::copy(filler.begin(), filler.end(), kac.keys.begin());
  std::copy(r.static_keys.public_key.begin(), r.static_keys.public_key.end(), kac.keys.begin());
  const auto ed_public = *crypto::ed25519_public_key(r.ed_seed);
  std::copy(ed_public.begin(), ed_public.end(), kac.keys.end() - 32);
  kac.certificate = common::Certificate(
      common::Certificate::Value(common::KeyCertificate::create(common::CryptoPublicKeyType::X25519)));
  r.info.identity.keys_and_cert = kac;
  r.info.published = 1700000000000ull;
  r.info.addresses = {ntcp2_address("127.0.0.1", port, r.static_keys.public_key, r.iv)};
  r.info.options = common::Mapping::from_entries({{"caps", "L"}, {"netId", "2"}});
  r.sign();
  r.hash = kac.hash();
  return r;
}

}  // namespace ntcp2_test
