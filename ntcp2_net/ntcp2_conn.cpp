#include "ntcp2_net/ntcp2_conn.h"

#include <array>

#include "i2np/message.h"
#include "ntcp2/frame.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"

namespace ntcp2_net {
Ntcp2Conn make_ntcp2_conn(TcpSocket socket, ntcp2::Ntcp2DataSession session, common::RouterInfo peer_info) {
  return Ntcp2Conn{
      .socket = std::move(socket),
      .session = std::move(session),
      .peer_info = std::move(peer_info),
      .rx = {},
      .rx_frame_len = -1,
      .tx_queue = {},
      .tx_offset = 0,
      .tx_queued = 0,
      .tx_open = {},
      .tx_spare = {},
      .stall_since_ms = 0,
      .rx_started_ms = 0,
  };
}

Result<void> Ntcp2Conn::seal_open_frame() {
  if (tx_open.empty()) return {};
  const std::size_t gathered = tx_open.size();
  if (auto sealed = ntcp2::seal_frame_in_place(session, tx_open); !sealed) {
    return wrap(NetError::Protocol, std::move(sealed.error()));
  }
  tx_queued += static_cast<std::int32_t>(tx_open.size() - gathered + ntcp2::kFrameLengthLen);
  tx_queue.push_back(std::move(tx_open));
  tx_open.clear();
  return {};
}

void Ntcp2Conn::drop_sent_frame() {
  if (tx_spare.size() < kSpareFrames && tx_queue.front().capacity() <= kSpareFrameCapacity) {
    tx_spare.push_back(std::move(tx_queue.front()));
    tx_spare.back().clear();
  }
  tx_queue.pop_front();
}

Result<void> Ntcp2Conn::hold_i2np_nb(std::uint32_t message_id, std::uint32_t expiration,
                                     const i2np::I2npPayload& payload) {
  constexpr std::size_t kSharedFramePayload = 16384;
  if (tx_queued > kMaxQueuedBytes) return fail(NetError::Io, "NTCP2 outbound send queue full");
  // The block is written where the frame is gathered. A message whose size is known not to
  // fit beside what is gathered starts a new frame; one that turns out not to fit (its
  // size was a guess) moves to the new frame.
  constexpr std::size_t kBlockHead = 3 + i2np::I2npShortHeader::kSize;
  if (!tx_open.empty() &&
      tx_open.size() - ntcp2::kFrameLengthLen + kBlockHead + payload.body_size_hint() > kSharedFramePayload) {
    if (auto sealed = seal_open_frame(); !sealed) return sealed;
  }
  const bool fresh = tx_open.empty();
  if (fresh) {
    if (!tx_spare.empty()) {
      tx_open = std::move(tx_spare.back());
      tx_spare.pop_back();
    }
    tx_open.resize(ntcp2::kFrameLengthLen);
  }
  const std::size_t at = tx_open.size();
  if (auto appended = ntcp2::append_i2np_block(tx_open, message_id, expiration, payload); !appended) {
    if (fresh) tx_open.clear();
    return wrap(NetError::Protocol, std::move(appended.error()));
  }
  const std::size_t block = tx_open.size() - at;
  if (block > ntcp2::kMaxFramePayload) {
    tx_open.resize(at);
    if (fresh) tx_open.clear();
    return wrap(NetError::Protocol, Error(Ntcp2Error::Malformed,
                                          msg("NTCP2 data frame exceeds 65535 bytes: ", block + ntcp2::kFrameTagLen)));
  }
  if (!fresh && tx_open.size() - ntcp2::kFrameLengthLen > kSharedFramePayload) {
    Bytes next;
    if (!tx_spare.empty()) {
      next = std::move(tx_spare.back());
      tx_spare.pop_back();
    }
    next.resize(ntcp2::kFrameLengthLen);
    next.insert(next.end(), tx_open.begin() + static_cast<std::ptrdiff_t>(at), tx_open.end());
    tx_open.resize(at);
    if (auto sealed = seal_open_frame(); !sealed) return sealed;
    tx_open = std::move(next);
  }
  tx_queued += static_cast<std::int32_t>(block);
  if (socket.fd < 0) return fail(NetError::Closed);
  return {};
}

Result<void> Ntcp2Conn::queue_blocks_nb(const std::vector<ntcp2::Ntcp2Block>& blocks) {
  if (tx_queued > kMaxQueuedBytes) return fail(NetError::Io, "NTCP2 outbound send queue full");
  // Frames leave in the order their blocks came: what was gathered goes first.
  if (auto sealed = seal_open_frame(); !sealed) return sealed;
  auto payload = ntcp2::encode_blocks(blocks);
  if (!payload) return wrap(NetError::Protocol, std::move(payload.error()));
  // The frame's size is checked before its nonce is spent (seal_frame), so an oversized
  // send fails alone and the link keeps working.
  auto frame = ntcp2::seal_frame(session, *payload);
  if (!frame) return wrap(NetError::Protocol, std::move(frame.error()));
  tx_queued += static_cast<std::int32_t>(frame->size());
  tx_queue.push_back(std::move(*frame));
  if (socket.fd < 0) return fail(NetError::Closed);
  return {};
}

Result<void> Ntcp2Conn::send_blocks_nb(const std::vector<ntcp2::Ntcp2Block>& blocks, const Now& now) {
  if (auto queued = queue_blocks_nb(blocks); !queued) return queued;
  auto flushed = flush_nonblocking(now);
  if (!flushed) return std::unexpected(std::move(flushed.error()));
  return {};
}

Result<void> Ntcp2Conn::queue_i2np_nb(std::uint32_t message_id, std::uint32_t expiration,
                                      const i2np::I2npPayload& payload) {
  auto message = i2np::encode_short_message(message_id, expiration, payload);
  if (!message) return wrap(NetError::Protocol, Error(Ntcp2Error::I2np, std::move(message.error())));
  std::vector<ntcp2::Ntcp2Block> blocks;
  blocks.emplace_back(ntcp2::Ntcp2Block::I2np{std::move(*message)});
  return queue_blocks_nb(blocks);
}

Result<void> Ntcp2Conn::send_i2np_nb(std::uint32_t message_id, std::uint32_t expiration,
                                     const i2np::I2npPayload& payload, const Now& now) {
  if (auto queued = queue_i2np_nb(message_id, expiration, payload); !queued) return queued;
  auto flushed = flush_nonblocking(now);
  if (!flushed) return std::unexpected(std::move(flushed.error()));
  return {};
}

Result<bool> Ntcp2Conn::flush_nonblocking(const Now& now) {
  if (auto sealed = seal_open_frame(); !sealed) return std::unexpected(std::move(sealed.error()));
  if (tx_queue.empty()) {
    tx_offset = 0;
    tx_queued = 0;
    stall_since_ms = 0;
    return false;
  }
  if (socket.fd < 0) return fail(NetError::Closed);

  // Queued frames leave together: one write for up to 64 of them.
  constexpr std::size_t kFramesPerWrite = 64;
  bool progress = false;
  while (!tx_queue.empty()) {
    if (tx_offset >= static_cast<std::int32_t>(tx_queue.front().size())) {
      drop_sent_frame();
      tx_offset = 0;
      continue;
    }
    std::array<const std::uint8_t*, kFramesPerWrite> parts{};
    std::array<std::int32_t, kFramesPerWrite> lengths{};
    std::int32_t count = 0;
    std::int64_t offered = 0;
    for (const Bytes& frame : tx_queue) {
      if (static_cast<std::size_t>(count) == kFramesPerWrite) break;
      const std::int32_t skip = count == 0 ? tx_offset : 0;
      const std::int32_t len = static_cast<std::int32_t>(frame.size()) - skip;
      parts[static_cast<std::size_t>(count)] = frame.data() + skip;
      lengths[static_cast<std::size_t>(count)] = len;
      offered += len;
      ++count;
    }
    const std::int32_t n = ondrel_i2p_net_tcp_sendv(socket.fd, parts.data(), lengths.data(), count);
    if (n == -2) break;
    if (n < 0) return fail(NetError::Io, msg("non-blocking send failed: ", last_os_error()));
    if (n == 0) return fail(NetError::Closed);
    tx_queued -= n;
    progress = true;
    // Drop the frames sent whole; the offset is how much of the new head left.
    std::int64_t sent = n;
    while (sent > 0 && !tx_queue.empty()) {
      const std::int64_t rest = static_cast<std::int64_t>(tx_queue.front().size()) - tx_offset;
      if (sent < rest) {
        tx_offset += static_cast<std::int32_t>(sent);
        break;
      }
      sent -= rest;
      drop_sent_frame();
      tx_offset = 0;
    }
    if (n < offered) break;  // the socket took what it could
  }

  if (tx_queue.empty()) {
    stall_since_ms = 0;
    return progress;
  }
  if (progress) {
    stall_since_ms = now.mono_ms;
    return true;
  }
  if (stall_since_ms == 0) {
    stall_since_ms = now.mono_ms;
    return false;
  }
  if (stall_since_ms + kSendStallMs < now.mono_ms) return fail(NetError::Timeout);
  return false;
}

Result<std::optional<std::vector<ntcp2::Ntcp2Block>>> Ntcp2Conn::recv_blocks_nb(const Now& now) {
  using Blocks = std::vector<ntcp2::Ntcp2Block>;
  // No whole frame yet: a started one has kFrameStallMs from its first byte to complete.
  auto incomplete = [&]() -> Result<std::optional<Blocks>> {
    if (rx.empty() && rx_frame_len == -1) return std::optional<Blocks>{};
    if (rx_started_ms == 0) {
      rx_started_ms = now.mono_ms;
    } else if (rx_started_ms + kFrameStallMs < now.mono_ms) {
      return fail(NetError::Timeout,
                  msg("NTCP2 frame incomplete ", now.mono_ms - rx_started_ms, " ms after its first byte"));
    }
    return std::optional<Blocks>{};
  };
  if (rx_frame_len == -1) {
    const std::int64_t need = 2 - static_cast<std::int64_t>(rx.size());
    if (need > 0) {
      if (socket.fd < 0) return fail(NetError::Closed);
      auto got = socket.pump_nonblocking(rx, need);
      if (!got) return std::unexpected(std::move(got.error()));
    }
    if (rx.size() < 2) return incomplete();
    const std::array<std::uint8_t, 2> field{rx[0], rx[1]};
    const std::size_t field_size = rx.size();
    rx.clear();
    if (field_size != 2)
      return wrap(NetError::Protocol, Error(Ntcp2Error::Malformed, "NTCP2 frame length prefix must be 2 bytes"));
    auto len = ntcp2::open_frame_length(session, static_cast<std::uint16_t>(field[0] << 8 | field[1]));
    if (!len) return wrap(NetError::Protocol, std::move(len.error()));
    if (*len < ntcp2::kFrameTagLen) return fail(NetError::Io, msg("NTCP2 frame shorter than 16-byte MAC: ", *len));
    rx_frame_len = *len;
    rx.reserve(static_cast<std::size_t>(rx_frame_len));
  }

  const std::int64_t need = rx_frame_len - static_cast<std::int64_t>(rx.size());
  if (need > 0) {
    if (socket.fd < 0) return fail(NetError::Closed);
    auto got = socket.pump_nonblocking(rx, need);
    if (!got) return std::unexpected(std::move(got.error()));
  }
  if (rx.size() < static_cast<std::size_t>(rx_frame_len)) return incomplete();

  // The frame is opened where it was read; rx keeps its buffer for the next one.
  rx_frame_len = -1;
  rx_started_ms = 0;
  auto plaintext = ntcp2::open_frame_in_place(session, rx);
  if (!plaintext) {
    rx.clear();
    return wrap(NetError::Protocol, std::move(plaintext.error()));
  }
  auto blocks = ntcp2::decode_blocks(*plaintext);
  rx.clear();
  if (!blocks) return wrap(NetError::Protocol, std::move(blocks.error()));
  return std::optional<Blocks>(std::move(*blocks));
}

}  // namespace ntcp2_net
