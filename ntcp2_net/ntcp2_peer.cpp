#include "ntcp2_net/ntcp2_peer.h"

#include <arpa/inet.h>

#include <algorithm>
#include <optional>

#include "encoding/text.h"

namespace ntcp2_net {
namespace {

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> decode_key(std::string_view text) {
  auto bytes = encoding::base64_decode(text);
  if (!bytes || bytes->size() != N) return std::nullopt;
  std::array<std::uint8_t, N> out{};
  std::copy_n(bytes->begin(), N, out.begin());
  return out;
}

std::optional<Ntcp2Peer> try_address(const common::RouterAddress& address, bool ipv4_pass) {
  if (address.transport_style != "NTCP2") return std::nullopt;
  auto s = address.options.get("s");
  auto i = address.options.get("i");
  auto port_text = address.options.get("port");
  auto host = address.options.get("host");
  if (!s || !i || !port_text || !host) return std::nullopt;
  if (ipv4_pass && host->find(':') != std::string::npos) return std::nullopt;
  auto port = encoding::parse_port(*port_text);
  if (!port || *port == 0) return std::nullopt;
  auto key = decode_key<32>(*s);
  if (!key) return std::nullopt;
  auto iv = decode_key<16>(*i);
  if (!iv) return std::nullopt;
  if (!is_numeric_host(*host)) return std::nullopt;
  Ntcp2Peer peer;
  peer.static_key = *key;
  peer.iv = *iv;
  peer.host = *host;
  peer.port = *port;
  return peer;
}

}  // namespace

bool is_numeric_host(std::string_view host) {
  // inet_pton only parses text; it neither resolves nor touches the network.
  if (host.empty() || host.size() > 63) return false;
  char buf[64] = {};
  std::copy(host.begin(), host.end(), buf);
  unsigned char addr[16];
  return inet_pton(AF_INET, buf, addr) == 1 || inet_pton(AF_INET6, buf, addr) == 1;
}

Result<Ntcp2Peer> extract_ntcp2_peer(const common::RouterInfo& info) {
  for (bool ipv4_pass : {true, false}) {
    for (const common::RouterAddress& address : info.addresses) {
      auto peer = try_address(address, ipv4_pass);
      if (!peer) continue;
      const common::Hash hash = info.identity.keys_and_cert.hash();
      std::copy_n(hash.bytes.begin(), 32, peer->router_hash.begin());
      return std::move(*peer);
    }
  }
  return fail(NetError::Peer, "no reachable NTCP2 address with s/i/port found in RouterInfo");
}

}  // namespace ntcp2_net
