// Short tunnel build records on arbitrary input. The input's first 154 bytes are sealed as
// a request cleartext to a fixed hop key, so the hop's field reader sees any bytes behind a
// valid MAC: no crash, fields that read encode again within the record, and a request the
// hop opened gives a reply its creator reads as accepted. The rest of the input is read as
// a reply to a fixed build, which must never crash and never pass with a changed record.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/x25519.h"
#include "fuzz/support/check.h"
#include "noise/key_pair.h"
#include "noise/symmetric_state.h"
#include "tunnel/build_record.h"

namespace {

using fuzz_support::check;

std::array<std::uint8_t, 32> filled(std::uint8_t seed) {
  std::array<std::uint8_t, 32> b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(seed + 29 * i);
  return b;
}

const noise::KeyPair kHop = noise::KeyPair::from_private(filled(1)).value();
const noise::KeyPair kEphemeral = noise::KeyPair::from_private(filled(2)).value();

// A request record holding exactly this cleartext, as a creator would seal it.
Bytes seal(ByteView cleartext) {
  noise::SymmetricState s = noise::SymmetricState::initialize(as_bytes(tunnel::kBuildNoiseProtocol));
  s.mix_hash({});
  s.mix_hash(kHop.public_key);
  s.mix_hash(kEphemeral.public_key);
  s.mix_key(crypto::x25519(kEphemeral.private_key, kHop.public_key).value());
  Bytes record(tunnel::kBuildRecordHashPrefix, 0x11);
  record.insert(record.end(), kEphemeral.public_key.begin(), kEphemeral.public_key.end());
  const Bytes sealed = s.encrypt_and_hash(cleartext).value();
  record.insert(record.end(), sealed.begin(), sealed.end());
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  Bytes cleartext(tunnel::kBuildRequestCleartextSize, 0);
  std::copy_n(input.begin(), std::min(size, cleartext.size()), cleartext.begin());

  auto decoded = tunnel::ShortBuildRequestRecord::decode(cleartext);
  auto opened = tunnel::open_short_build_request(kHop, seal(cleartext));
  check(decoded.has_value() == opened.has_value());
  if (opened) {
    check(opened->request == *decoded);
    auto fields = decoded->encode();
    check(fields && fields->size() <= tunnel::kBuildRequestCleartextSize);
    std::vector<Bytes> records(4, Bytes(tunnel::kBuildRecordSize, 0x77));
    check(tunnel::write_short_build_reply(records, 1, opened->keys, {}, 0).has_value());
    const tunnel::SlotKeys keys{{1, opened->keys}};
    auto codes = tunnel::open_short_build_replies(records, keys);
    check(codes && codes->size() == 1 && (*codes)[0] == 0);
    records[1][size % tunnel::kBuildRecordSize] ^= 0x01;
    check(!tunnel::open_short_build_replies(records, keys));
  }

  // The rest as the reply records (at most 8) of a fixed two-hop build.
  if (size > cleartext.size()) {
    static const tunnel::HopKeys kKeys = tunnel::derive_hop_keys(filled(3), filled(4), false).value();
    std::vector<Bytes> replies;
    for (std::size_t at = cleartext.size(); at < size && replies.size() < 8; at += tunnel::kBuildRecordSize) {
      replies.emplace_back(data + at, data + std::min(size, at + tunnel::kBuildRecordSize));
    }
    (void)tunnel::open_short_build_replies(replies, {{0, kKeys}, {replies.size() % 3, kKeys}});
  }
  return 0;
}
