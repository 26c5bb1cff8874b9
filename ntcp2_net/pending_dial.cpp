#include "ntcp2_net/pending_dial.h"

#include "encoding/text.h"
#include "ntcp2/data_session.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"
#include "ntcp2_net/random.h"

namespace ntcp2_net {

Result<PendingNtcp2Dial> PendingNtcp2Dial::start(const Ntcp2Peer& peer, const common::RouterInfo& dialled,
                                                 const noise::KeyPair& static_keys, const common::RouterInfo& own_info,
                                                 bool check_clock_skew, const Now& now) {
  const Bytes host = encoding::string_to_utf8_bytes(peer.host);
  const std::int32_t fd = ondrel_i2p_net_tcp_connect_nb(host.data(), static_cast<std::int32_t>(host.size()), peer.port);
  if (fd < 0) return fail(NetError::Io, msg("connect_nb(", peer.host, ":", peer.port, ") failed: ", last_os_error()));
  // From here on the socket closes itself when this function returns an error.
  TcpSocket socket(fd);
  prepare_ntcp2_socket(fd);

  auto handshake = ntcp2::Ntcp2Handshake::new_initiator(static_keys, peer.static_key, peer.router_hash, peer.iv);
  if (!handshake) return wrap(NetError::Protocol, std::move(handshake.error()));
  if (auto keyed = set_fresh_ephemeral(*handshake); !keyed) return std::unexpected(std::move(keyed.error()));

  auto own_bytes = own_info.to_bytes();
  if (!own_bytes) return wrap(NetError::Protocol, Error(Ntcp2Error::Common, std::move(own_bytes.error())));
  auto padding = random_bytes(kHandshakePaddingLen);
  if (!padding) return std::unexpected(std::move(padding.error()));
  std::vector<ntcp2::Ntcp2Block> blocks;
  blocks.emplace_back(ntcp2::Ntcp2Block::RouterInfo{0, std::move(*own_bytes)});
  blocks.emplace_back(ntcp2::Ntcp2Block::Padding{std::move(*padding)});
  auto encoded = ntcp2::encode_blocks(blocks);
  if (!encoded) return wrap(NetError::Protocol, std::move(encoded.error()));

  auto msg1_padding = random_bytes(kHandshakePaddingLen);
  if (!msg1_padding) return std::unexpected(std::move(msg1_padding.error()));
  auto msg1 = handshake->write_session_request(*msg1_padding, encoded->size(), now.wall_ms);
  if (!msg1) return wrap(NetError::Protocol, std::move(msg1.error()));

  return PendingNtcp2Dial{
      .socket = std::move(socket),
      .handshake = std::move(*handshake),
      .msg1 = std::move(*msg1),
      .msg3_blocks = std::move(blocks),
      .peer_info = dialled,
      .check_clock_skew = check_clock_skew,
      .max_skew_sec = kMaxClockSkewSec,
      .rx = {},
      .phase = DialPhase::Connecting,
      .want = 0,
      .started_ms = now.mono_ms,
  };
}

Result<std::optional<Ntcp2Conn>> PendingNtcp2Dial::step(const Now& now) {
  auto r = advance(now);
  if (!r) socket.close();
  return r;
}

Result<std::optional<Ntcp2Conn>> PendingNtcp2Dial::advance(const Now& now) {
  if (phase == DialPhase::Connecting) {
    const std::int32_t c = ondrel_i2p_net_tcp_check_connected(socket.fd);
    if (c == 0) return std::optional<Ntcp2Conn>{};
    if (c < 0) return fail(NetError::Io, msg("non-blocking connect failed: ", last_os_error()));
    if (auto w = socket.write_all(msg1, kHandshakeWriteMs); !w) return std::unexpected(std::move(w.error()));
    phase = DialPhase::CreatedHead;
    want = 64;
  }

  while (phase == DialPhase::CreatedHead || phase == DialPhase::CreatedPadding) {
    auto message = take_message(socket, rx, static_cast<std::size_t>(want));
    if (!message) return std::unexpected(std::move(message.error()));
    if (!*message) return std::optional<Ntcp2Conn>{};
    const Bytes& bytes = **message;

    if (phase == DialPhase::CreatedHead) {
      auto head = handshake.read_session_created_head(bytes);
      if (!head) return wrap(NetError::Protocol, std::move(head.error()));
      if (check_clock_skew && clock_skew_exceeds(head->timestamp, now.wall_s(), max_skew_sec)) {
        return wrap(NetError::Protocol, Error(Ntcp2Error::ClockSkew, head->timestamp, now.wall_s()));
      }
      phase = DialPhase::CreatedPadding;
      want = head->pad_len;
      continue;
    }

    if (auto f = handshake.finish_read_session_created(bytes); !f)
      return wrap(NetError::Protocol, std::move(f.error()));
    auto msg3 = handshake.write_session_confirmed(msg3_blocks);
    if (!msg3) return wrap(NetError::Protocol, std::move(msg3.error()));
    if (auto w = socket.write_all(*msg3, kHandshakeWriteMs); !w) return std::unexpected(std::move(w.error()));
    auto session = handshake.into_data_session();
    if (!session) return wrap(NetError::Protocol, std::move(session.error()));
    phase = DialPhase::Done;
    return std::optional<Ntcp2Conn>(make_ntcp2_conn(std::move(socket), std::move(*session), std::move(peer_info)));
  }
  return wrap(NetError::Protocol, Error(Ntcp2Error::HandshakeState, std::string("NTCP2 dial already finished")));
}

}  // namespace ntcp2_net
