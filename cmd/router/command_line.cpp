#include "cmd/router/command_line.h"

namespace cmd_router {

std::optional<std::pair<std::string, std::uint16_t>> split_host_port(std::string_view text) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  auto port = parse_port(text.substr(colon + 1));
  if (!port) return std::nullopt;
  return std::make_pair(std::string(text.substr(0, colon)), *port);
}

namespace {

// Applies an endpoint value of --http-proxy or --torrent-api: a host:port sets both, a bare
// port sets the port. Returns false when the value is neither.
bool apply_endpoint(std::string_view value, std::string& host, std::uint16_t& port) {
  if (auto hp = split_host_port(value)) {
    host = hp->first;
    port = hp->second;
    return true;
  }
  if (auto p = parse_port(value)) {
    port = *p;
    return true;
  }
  return false;
}

constexpr std::string_view kHttpProxyInline = "--http-proxy=";

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args) {
  CommandLine out;
  Settings& s = out.settings;
  const std::size_t n = args.size();

  for (std::size_t i = 0; i < n; ++i) {
    const std::string& arg = args[i];
    const bool has_next = i + 1 < n;

    if (arg == "-h" || arg == "--help") {
      out.show_help = true;
      return out;
    }
    if (arg == "--sam") {
      if (!has_next) continue;
      const std::string& value = args[++i];
      if (auto hp = split_host_port(value)) {
        s.sam_host = hp->first;
        s.sam_port = hp->second;
      } else {
        out.lines.push_back("warning: ignoring invalid --sam " + value);
      }
    } else if (arg == "--http-proxy" || arg == "--proxy") {
      s.http_proxy_enabled = true;
      if (has_next && !args[i + 1].starts_with("-") &&
          apply_endpoint(args[i + 1], s.http_proxy_host, s.http_proxy_port)) {
        ++i;
      }
    } else if (arg.starts_with(kHttpProxyInline)) {
      s.http_proxy_enabled = true;
      std::string_view value = std::string_view(arg).substr(kHttpProxyInline.size());
      if (!apply_endpoint(value, s.http_proxy_host, s.http_proxy_port)) {
        out.lines.push_back("warning: ignoring invalid --http-proxy " + std::string(value));
      }
    } else if (arg == "--torrent-api") {
      s.torrent_api_enabled = true;
      if (has_next && !args[i + 1].starts_with("-") &&
          apply_endpoint(args[i + 1], s.torrent_api_host, s.torrent_api_port)) {
        ++i;
      }
    } else if (arg == "--download-dir") {
      if (has_next) s.download_dir = args[++i];
    } else if (arg == "--ntcp2-host") {
      if (has_next) s.ntcp2_host = args[++i];
    } else if (arg == "--ntcp2-port") {
      if (!has_next) continue;
      if (auto p = parse_port(args[++i])) {
        s.ntcp2_port = *p;
      } else {
        out.lines.push_back("warning: ignoring invalid --ntcp2-port");
      }
    } else if (arg == "--public") {
      s.public_mode = true;
    } else if (arg == "--hops") {
      if (!has_next) continue;
      const std::string& value = args[++i];
      auto h = parse_port(value);
      if (h && *h >= 1 && *h <= 4) {
        s.hops = *h;
      } else {
        out.lines.push_back("warning: ignoring invalid --hops " + value);
      }
    } else if (arg == "--hosts") {
      if (has_next) s.hosts_files.push_back(args[++i]);
    } else if (arg == "--peer") {
      if (has_next) s.peer_files.push_back(args[++i]);
    } else if (arg == "--peer-dir") {
      if (has_next) s.peer_dirs.push_back(args[++i]);
    } else if (arg == "--su3") {
      if (has_next) s.su3_files.push_back(args[++i]);
    } else if (arg == "--reseed") {
      if (has_next) s.reseed_urls.push_back(args[++i]);
    } else if (arg == "--floodfill") {
      s.floodfill = true;
    } else if (arg == "--no-clock-skew") {
      s.check_clock_skew = false;
    } else if (arg == "--debug") {
      s.debug = true;
    }
    // Anything else is ignored without a message.
  }
  return out;
}

namespace {

constexpr std::string_view kUsage[] = {
    "ondrel-i2p native router daemon",
    "",
    "Usage:",
    "  router.exe [options]",
    "",
    "Options:",
    "  --sam <host:port>          SAMv3 TCP listen address (default: 127.0.0.1:7656)",
    "  --http-proxy [host:port]   Enable HTTP-over-I2P proxy (default when omitted: 127.0.0.1:4444)",
    "  --proxy [host:port]        Alias for --http-proxy",
    "  --torrent-api [host:port]  Enable BitTorrent + I2P DHT HTTP API (default: 127.0.0.1:4445)",
    "  --download-dir <dir>       Download folder for I2P torrents (default: ~/Downloads/ondrel-i2p)",
    "  --ntcp2-host <ip>          NTCP2 advertise/bind IP (default: 127.0.0.1)",
    "  --ntcp2-port <port>        NTCP2 TCP listen port (default: 0 = ephemeral)",
    "  --public                   Join live public I2P network (auto-reseed + tunnels + NetDB)",
    "  --hops <1..4>              Inbound/Outbound tunnel hop count (default: 1)",
    "  --hosts <hosts.txt>        Load hostname=dest_or_b32 aliases into addressbook",
    "  --peer <ri.dat>            Load a RouterInfo file into NetDB",
    "  --peer-dir <dir>           Load RouterInfo files from directory into NetDB",
    "  --su3 <i2pseeds.su3>       Import peers from local .su3 reseed file",
    "  --reseed <https://...>     Import peers from an HTTPS .su3 reseed URL",
    "  --floodfill                Advertise LRf floodfill capabilities",
    "  --no-clock-skew            Disable NTCP2 clock skew check",
    "  --debug                    Enable verbose router debug logs",
    "  -h, --help                 Show this help message",
};

}  // namespace

std::span<const std::string_view> usage_lines() { return kUsage; }

}  // namespace cmd_router
