#include "ntcp2/data_session.h"

#include <algorithm>

#include "crypto/hmac.h"
#include "noise/hkdf2.h"
#include "ntcp2/concat.h"

namespace ntcp2 {
namespace {

Result<noise::SipHashLengthMask> make_mask(ByteView sipkeys) {
  auto mask = noise::SipHashLengthMask::create(sipkeys.subspan(0, 16), sipkeys.subspan(16, 8));
  if (!mask) return wrap(Ntcp2Error::Noise, std::move(mask.error()));
  return std::move(*mask);
}

}  // namespace

Result<Ntcp2DataSession> Ntcp2Handshake::into_data_session() const {
  if (step != HandshakeStep::ConfirmedDone) {
    return fail(Ntcp2Error::HandshakeState, msg("NTCP2 handshake not complete (step=", static_cast<int>(step), ")"));
  }
  if (!remote_static) return fail(Ntcp2Error::HandshakeState, "remote static key missing");

  const ByteView ck = state.ck;
  const ByteView h = state.h;
  const Bytes none;

  auto [k_ab, k_ba] = noise::noise_hkdf2(ck, none);

  const auto ask_temp = crypto::hmac_sha256(ck, none);
  const Bytes ask_label = {'a', 's', 'k', 0x01};
  const auto ask_master = crypto::hmac_sha256(ask_temp, ask_label);

  const auto sip_temp = crypto::hmac_sha256(ask_master, concat_b(h, as_bytes("siphash")));
  const Bytes one = {0x01};
  const auto sip_master = crypto::hmac_sha256(sip_temp, one);

  const auto keys_temp = crypto::hmac_sha256(sip_master, none);
  const auto sipkeys_ab = crypto::hmac_sha256(keys_temp, one);
  const Bytes two = {0x02};
  const auto sipkeys_ba = crypto::hmac_sha256(keys_temp, concat_b(sipkeys_ab, two));

  auto mask_ab = make_mask(sipkeys_ab);
  if (!mask_ab) return std::unexpected(mask_ab.error());
  auto mask_ba = make_mask(sipkeys_ba);
  if (!mask_ba) return std::unexpected(mask_ba.error());

  noise::CipherState c_ab{k_ab, 0};
  noise::CipherState c_ba{k_ba, 0};

  Ntcp2DataSession out{
      .send_cipher = is_initiator ? c_ab : c_ba,
      .recv_cipher = is_initiator ? c_ba : c_ab,
      .send_mask = is_initiator ? *mask_ab : *mask_ba,
      .recv_mask = is_initiator ? *mask_ba : *mask_ab,
      .handshake_hash = {},
      .remote_static = *remote_static,
  };
  std::copy_n(h.begin(), 32, out.handshake_hash.begin());
  return out;
}

}  // namespace ntcp2
