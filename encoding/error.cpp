#include "encoding/error.h"

#include <span>

namespace {

using Names = std::span<const std::string_view>;

constexpr std::string_view kCrypto[] = {"AuthFailed", "InvalidLength", "InvalidNonce", "InvalidKey"};
constexpr std::string_view kEncoding[] = {"LimitExceeded", "BadLength", "InvalidData", "Truncated"};
constexpr std::string_view kCommon[] = {"Unsupported", "Invalid", "Crypto", "Encoding"};
constexpr std::string_view kI2np[] = {"Invalid", "ChecksumMismatch", "Common", "Encoding"};
constexpr std::string_view kNoise[] = {"NonceExhausted", "InvalidSipHashParams", "Crypto"};
constexpr std::string_view kNtcp2[] = {"Replay",
                                       "ClockSkew",
                                       "NetworkIdMismatch",
                                       "Malformed",
                                       "UnsupportedVersion",
                                       "HandshakeState",
                                       "I2np",
                                       "Common",
                                       "Encoding",
                                       "Noise",
                                       "Crypto"};
constexpr std::string_view kNet[] = {"Peer", "Noise", "Common", "Protocol", "Closed", "Timeout", "Io"};
constexpr std::string_view kNetDb[] = {"Invalid", "BadSignature", "Common"};
constexpr std::string_view kRatchet[] = {
    "DecryptFailed", "ElligatorSamplingFailed", "Malformed", "I2np", "Common", "Encoding", "Noise", "Crypto"};
constexpr std::string_view kTunnel[] = {"NotForUs", "Invalid",  "InvalidLength", "Noise",
                                        "Common",   "Encoding", "Crypto"};
constexpr std::string_view kRouter[] = {"Message", "Tunnel", "I2np", "NetDb", "Noise", "Common", "Crypto", "Net"};
constexpr std::string_view kBittorrent[] = {"Common", "Encoding", "Krpc", "Wire", "Magnet", "Metainfo", "Bencode"};
constexpr std::string_view kStreaming[] = {"Protocol", "InvalidSignature", "InvalidLength", "InvalidFormat",
                                           "Crypto",   "Common",           "Encoding"};
constexpr std::string_view kSam[] = {"Parse"};

struct FamilyNames {
  std::string_view family;
  Names variants;
};

FamilyNames names_of(ErrorFamily family) {
  switch (family) {
    case ErrorFamily::Crypto: return {"CryptoError", kCrypto};
    case ErrorFamily::Encoding: return {"EncodingError", kEncoding};
    case ErrorFamily::Common: return {"CommonError", kCommon};
    case ErrorFamily::I2np: return {"I2npError", kI2np};
    case ErrorFamily::Noise: return {"NoiseError", kNoise};
    case ErrorFamily::Ntcp2: return {"Ntcp2Error", kNtcp2};
    case ErrorFamily::Net: return {"NetError", kNet};
    case ErrorFamily::NetDb: return {"NetDbError", kNetDb};
    case ErrorFamily::Ratchet: return {"RatchetError", kRatchet};
    case ErrorFamily::Tunnel: return {"TunnelError", kTunnel};
    case ErrorFamily::Router: return {"RouterError", kRouter};
    case ErrorFamily::Sam: return {"SamError", kSam};
    case ErrorFamily::Streaming: return {"StreamingError", kStreaming};
    case ErrorFamily::Bittorrent: return {"BittorrentError", kBittorrent};
  }
  return {"Error", {}};
}

void append_variant(std::string& out, const Error& e) {
  const FamilyNames names = names_of(e.family());
  out.append(names.family);
  if (e.code() < names.variants.size()) {
    out.append("::");
    out.append(names.variants[e.code()]);
  } else {
    out.push_back('#');
    out.append(std::to_string(e.code()));
  }
}

}  // namespace

std::string to_string(const Error& error) {
  std::string out;
  const Error* e = &error;
  append_variant(out, *e);
  while (const Error* inner = e->inner()) {
    out.append(" > ");
    append_variant(out, *inner);
    e = inner;
  }
  if (e->has_message()) {
    out.append(": ");
    out.append(e->message());
  } else if (e->number_count() > 0) {
    out.push_back('(');
    out.append(std::to_string(*e->number(0)));
    if (e->number_count() > 1) {
      out.append(", ");
      out.append(std::to_string(*e->number(1)));
    }
    out.push_back(')');
  }
  return out;
}
