#include "ntcp2_net/pending_accept.h"

#include "crypto/ct_eq.h"
#include "encoding/reader.h"
#include "encoding/text.h"
#include "ntcp2/data_session.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/random.h"

namespace ntcp2_net {
namespace {

std::unexpected<Error> key_mismatch() { return fail(NetError::Peer, "incoming RouterInfo static key mismatch"); }

}  // namespace

Result<common::RouterInfo> check_peer_router_info(const std::vector<ntcp2::Ntcp2Block>& blocks,
                                                  ByteView proven_static) {
  // Without a RouterInfo vouching for the proven key anyone could claim any router's
  // hash; so one must come, and first.
  if (blocks.empty() || !blocks.front().is<ntcp2::Ntcp2Block::RouterInfo>()) return key_mismatch();

  std::optional<common::RouterInfo> last;
  for (const ntcp2::Ntcp2Block& block : blocks) {
    const auto* ri_block = block.get_if<ntcp2::Ntcp2Block::RouterInfo>();
    if (!ri_block) continue;
    encoding::Reader reader(ri_block->data);
    auto info = common::RouterInfo::decode(reader);
    if (!info) return wrap(NetError::Common, std::move(info.error()));
    if (!info->verify_signature()) return fail(NetError::Peer, "incoming RouterInfo failed Ed25519 verification");
    bool matched = false;
    for (const common::RouterAddress& address : info->addresses) {
      if (address.transport_style != "NTCP2") continue;
      auto s = address.options.get("s");
      if (!s) continue;
      auto key = encoding::base64_decode(*s);
      if (!key || key->size() != 32) continue;
      if (!crypto::ct_eq(*key, proven_static)) return key_mismatch();
      matched = true;
    }
    if (!matched) return key_mismatch();
    last = std::move(*info);
  }
  return std::move(*last);
}

Result<PendingNtcp2Accept> PendingNtcp2Accept::start(TcpSocket socket, const noise::KeyPair& static_keys,
                                                     ByteView router_hash, ByteView published_iv, bool check_clock_skew,
                                                     const Now& now) {
  // The socket closes itself if this returns an error.
  auto handshake = ntcp2::Ntcp2Handshake::new_responder(static_keys, router_hash, published_iv);
  if (!handshake) return wrap(NetError::Protocol, std::move(handshake.error()));
  if (auto keyed = set_fresh_ephemeral(*handshake); !keyed) return std::unexpected(std::move(keyed.error()));

  (void)ondrel_i2p_net_tcp_set_nonblocking(socket.fd, 1);
  prepare_ntcp2_socket(socket.fd);

  return PendingNtcp2Accept{
      .socket = std::move(socket),
      .handshake = std::move(*handshake),
      .check_clock_skew = check_clock_skew,
      .max_skew_sec = kMaxClockSkewSec,
      .network_id = ntcp2::kNetworkId,
      .rx = {},
      .phase = AcceptPhase::RequestHead,
      .want = 64,
      .started_ms = now.mono_ms,
  };
}

Result<std::optional<Ntcp2Conn>> PendingNtcp2Accept::step(ReplayCache& replay_cache, const Now& now) {
  auto r = advance(replay_cache, now);
  if (!r) socket.close();
  return r;
}

Result<void> PendingNtcp2Accept::check_request(const ntcp2::SessionRequestOptions& options, ReplayCache& replay_cache,
                                               const Now& now) {
  if (options.network_id != network_id)
    return wrap(NetError::Protocol,
                Error(Ntcp2Error::NetworkIdMismatch, static_cast<std::uint32_t>(options.network_id)));
  if (options.version != ntcp2::kVersion)
    return wrap(NetError::Protocol,
                Error(Ntcp2Error::UnsupportedVersion, msg("unsupported NTCP2 version: ", options.version)));
  if (check_clock_skew && clock_skew_exceeds(options.timestamp, now.wall_s(), max_skew_sec))
    return wrap(NetError::Protocol, Error(Ntcp2Error::ClockSkew, options.timestamp, now.wall_s()));
  // The replay window is an interval of this router's own time, so it runs on the
  // monotonic clock.
  const auto mono_s = static_cast<std::uint32_t>(now.mono_ms / 1000);
  if (handshake.remote_ephemeral && replay_cache.seen_or_record(*handshake.remote_ephemeral, mono_s))
    return wrap(NetError::Protocol, Error(Ntcp2Error::Replay));
  return {};
}

Result<Ntcp2Conn> PendingNtcp2Accept::finish(ByteView msg3) {
  auto payload = handshake.read_session_confirmed(msg3);
  if (!payload) return wrap(NetError::Protocol, std::move(payload.error()));
  auto blocks = ntcp2::decode_blocks(*payload);
  if (!blocks) return wrap(NetError::Protocol, std::move(blocks.error()));
  auto session = handshake.into_data_session();
  if (!session) return wrap(NetError::Protocol, std::move(session.error()));
  auto info = check_peer_router_info(*blocks, session->remote_static);
  if (!info) return std::unexpected(std::move(info.error()));
  return make_ntcp2_conn(std::move(socket), std::move(*session), std::move(*info));
}

Result<std::optional<Ntcp2Conn>> PendingNtcp2Accept::advance(ReplayCache& replay_cache, const Now& now) {
  while (phase != AcceptPhase::Done) {
    auto message = take_message(socket, rx, static_cast<std::size_t>(want));
    if (!message) return std::unexpected(std::move(message.error()));
    if (!*message) return std::optional<Ntcp2Conn>{};
    const Bytes& bytes = **message;

    if (phase == AcceptPhase::RequestHead) {
      auto options = handshake.read_session_request_head(bytes);
      if (!options) return wrap(NetError::Protocol, std::move(options.error()));
      if (auto c = check_request(*options, replay_cache, now); !c) return std::unexpected(std::move(c.error()));
      phase = AcceptPhase::RequestPadding;
      want = options->pad_len;
      continue;
    }

    if (phase == AcceptPhase::RequestPadding) {
      if (auto f = handshake.finish_read_session_request(bytes); !f)
        return wrap(NetError::Protocol, std::move(f.error()));
      auto padding = random_bytes(kHandshakePaddingLen);
      if (!padding) return std::unexpected(std::move(padding.error()));
      auto msg2 = handshake.write_session_created(*padding, now.wall_ms);
      if (!msg2) return wrap(NetError::Protocol, std::move(msg2.error()));
      if (auto w = socket.write_all(*msg2, kHandshakeWriteMs); !w) return std::unexpected(std::move(w.error()));
      phase = AcceptPhase::Confirmed;
      want = handshake.m3p2_len + 48;
      continue;
    }

    auto conn = finish(bytes);
    if (!conn) return std::unexpected(std::move(conn.error()));
    phase = AcceptPhase::Done;
    return std::optional<Ntcp2Conn>(std::move(*conn));
  }
  return wrap(NetError::Protocol, Error(Ntcp2Error::HandshakeState, std::string("NTCP2 accept already finished")));
}

}  // namespace ntcp2_net
