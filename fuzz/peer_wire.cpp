// Peer wire decoding of an arbitrary receive buffer: no crash; frames come out at most 64
// per call and in order whether decoded one by one or in batches, each re-encodes to the
// bytes it was cut from (unknown ids aside), and i2p_pex lists stay within their cap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <variant>

#include "bittorrent/peer_wire.h"
#include "fuzz/support/check.h"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  (void)bittorrent::decode_handshake(in);
  if (auto pex = bittorrent::decode_i2p_pex(in)) {
    check(pex->size() <= bittorrent::max_pex_peers);
    auto back = bittorrent::decode_i2p_pex(bittorrent::encode_i2p_pex(*pex));
    check(back.has_value() && *back == *pex);
  }

  Bytes one(in.begin(), in.end());
  Bytes batch(in.begin(), in.end());
  std::vector<Bytes> singles;
  for (;;) {
    const std::size_t before = one.size();
    auto m = bittorrent::decode_peer_frame(one);
    if (!m || !m->has_value()) break;
    check(one.size() < before);
    singles.push_back(bittorrent::encode_peer_message(**m));
  }
  std::vector<Bytes> batched;
  for (;;) {
    auto got = bittorrent::decode_peer_frames(batch);
    check(got.messages.size() <= bittorrent::max_frames_per_call);
    for (const auto& m : got.messages) batched.push_back(bittorrent::encode_peer_message(m));
    if (got.error || got.messages.size() < bittorrent::max_frames_per_call) break;
  }
  check(singles == batched);
  return 0;
}
