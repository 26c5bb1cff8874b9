#include "cmd/router/startup.h"

#include "cmd/router/console_text.h"
#include "common/hash.h"
#include "encoding/text.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/files.h"
#include "ntcp2_net/glue.h"
#include "router/defaults.h"
#include "services/loop_parts.h"
#include "torrent/loop_parts.h"

namespace cmd_router {

namespace {

constexpr std::uint64_t kStatusIntervalMs = 5000;
constexpr std::size_t kDefaultReseedTarget = 20;

std::string endpoint(std::string_view host, int port) { return std::string(host) + ":" + std::to_string(port); }

router::StartOptions start_options(const Settings& s) {
  router::StartOptions o;
  o.ntcp2_host = s.ntcp2_host;
  o.ntcp2_port = s.ntcp2_port;
  o.sam_host = s.sam_host;
  o.sam_port = s.sam_port;
  o.public_mode = s.public_mode;
  o.floodfill = s.floodfill;
  o.check_clock_skew = s.check_clock_skew;
  o.hops = s.hops;
  o.debug = s.debug;
  return o;
}

void import_bootstrap_sources(router::Router& r, const Settings& s) {
  for (const std::string& path : s.peer_files) {
    if (!r.load_peer_file(path)) print_line("warning: failed to load peer RouterInfo from " + path);
  }
  for (const std::string& folder : s.peer_dirs) {
    if (auto n = r.load_peer_dir(folder)) {
      print_line("  Loaded " + std::to_string(*n) + " peer(s) from " + folder);
    } else {
      print_line("warning: failed to load peer dir " + folder);
    }
  }
  for (const std::string& path : s.su3_files) {
    auto bytes = ntcp2_net::read_file_bytes(path);
    auto n = bytes ? r.load_reseed_su3_bytes(*bytes) : Result<std::size_t>(std::unexpected(bytes.error()));
    if (n) {
      print_line("  Imported " + std::to_string(*n) + " peer(s) from " + path);
    } else {
      print_line("warning: failed to load reseed .su3 from " + path);
    }
  }
  for (const std::string& url : s.reseed_urls) {
    if (auto n = r.reseed_from_url(url)) {
      print_line("  Reseeded " + std::to_string(*n) + " peer(s) from " + url);
    } else {
      print_line("warning: reseed fetch failed for " + url);
    }
  }
  const bool any_source =
      !s.reseed_urls.empty() || !s.su3_files.empty() || !s.peer_files.empty() || !s.peer_dirs.empty();
  if (s.public_mode && !any_source) {
    print_line("Reseeding from public I2P network...");
    std::size_t total = 0;
    for (std::string_view url : router::default_reseed_urls) {
      if (auto n = r.reseed_from_url(url)) {
        print_line("  Reseeded " + std::to_string(*n) + " peer(s) from " + std::string(url));
        total += *n;
        if (total >= kDefaultReseedTarget) break;
      } else {
        print_line("  Reseed skipped (" + std::string(url) + ")");
      }
    }
  }
}

}  // namespace

void init_constants() {
  // The constant tables of this program (the default aliases and reseed servers, the AES
  // tables, the Elligator2 exponent) are compile-time constants; nothing is left to fill at
  // run time.
}

Result<void> add_loop_parts(router::Router& r) {
  if (auto added = router::add_services_loop_parts(r); !added) return added;
  return router::add_torrent_loop_parts(r);
}

std::optional<router::Router> start_router(const Settings& s) {
  auto started = router::Router::start(start_options(s));
  if (!started || !add_loop_parts(*started)) {
    if (started) started->close();
    print_line("error: failed to start ondrel-i2p router");
    return std::nullopt;
  }
  router::Router r = std::move(*started);

  if (s.public_mode) {
    for (const auto& [name, address] : router::default_public_b32_aliases) r.register_alias(name, address);
  }

  if (s.http_proxy_enabled) {
    auto listener = ntcp2_net::TcpListener::bind(s.http_proxy_host, s.http_proxy_port);
    if (!listener) {
      r.close();
      print_line("error: failed to bind HTTP proxy on " + endpoint(s.http_proxy_host, s.http_proxy_port));
      return std::nullopt;
    }
    r.http_proxy_listener = std::move(*listener);
  }

  if (s.torrent_api_enabled) {
    bool ok = r.enable_torrent_engine(s.download_dir, ntcp2_net::read_now()).has_value();
    if (ok && !r.torrent_api_listener) {
      auto listener = ntcp2_net::TcpListener::bind(s.torrent_api_host, s.torrent_api_port);
      if (listener) {
        r.torrent_api_listener = std::move(*listener);
      } else {
        ok = false;
      }
    }
    if (!ok) {
      r.close();
      print_line("error: failed to bind Torrent API on " + endpoint(s.torrent_api_host, s.torrent_api_port));
      return std::nullopt;
    }
  }

  import_bootstrap_sources(r, s);

  for (const std::string& path : s.hosts_files) {
    if (auto n = r.load_hosts_file(path)) {
      print_line("  Loaded " + std::to_string(*n) + " host alias(es) from " + path);
    } else {
      print_line("warning: failed to load hosts file " + path);
    }
  }

  for (const std::string& line : banner_lines(r, s)) print_line(line);
  ondrel_i2p_net_flush_stdout();
  return r;
}

std::vector<std::string> banner_lines(const router::Router& r, const Settings& s) {
  const common::Hash hash = r.router_hash();
  std::vector<std::string> lines;
  lines.push_back("ondrel-i2p router started (transient identity)");
  lines.push_back("  Router Hash: " + encoding::base64_encode(hash.view()));
  lines.push_back("  Router B32:  " + hash.to_b32_address());
  lines.push_back("  NTCP2:       " + endpoint(s.ntcp2_host, r.ntcp2_listener.port) +
                  " (public=" + (r.public_mode ? "true" : "false") + ", hops=" + std::to_string(r.tunnel_hops) + ")");
  lines.push_back("  SAMv3:       " + endpoint(s.sam_host, r.sam_listener.port));
  if (r.http_proxy_listener) {
    lines.push_back("  HTTP Proxy:  " + endpoint(s.http_proxy_host, r.http_proxy_listener->port));
  }
  if (r.torrent_api_listener) {
    lines.push_back("  Torrent API: " + endpoint(s.torrent_api_host, r.torrent_api_listener->port) +
                    " (b32=" + router::torrent_b32_address(r.sessions) + ")");
  }
  lines.push_back("  NetDB peers: " + std::to_string(r.netdb.router_infos().size()) +
                  " (floodfills=" + std::to_string(r.netdb.floodfill_count()) + ")");
  return lines;
}

std::string status_line(const router::Router& r) {
  return "[public] peers=" + std::to_string(r.peer_sessions.size()) +
         " dials=" + std::to_string(r.pending_dials.size()) +
         " netdb=" + std::to_string(r.netdb.router_infos().size()) +
         "(ff=" + std::to_string(r.netdb.floodfill_count()) + ",ls=" + std::to_string(r.netdb.lease_sets().size()) +
         ") tunnels=in:" + std::to_string(r.tunnels.inbound.size()) +
         "/out:" + std::to_string(r.tunnels.outbound.size()) + " builds=" + std::to_string(r.pending_builds.size());
}

int run(int argc, char** argv) {
  init_constants();
  const CommandLine cl = parse_command_line(decode_arguments(argc, argv));
  for (const std::string& line : cl.lines) print_line(line);
  if (cl.show_help) {
    for (std::string_view line : usage_lines()) print_line(line);
    ondrel_i2p_net_flush_stdout();
    return 0;
  }

  std::optional<router::Router> started = start_router(cl.settings);
  if (!started) {
    // The error line is printed; the status tells scripts and service managers too.
    ondrel_i2p_net_flush_stdout();
    return 1;
  }
  router::Router& r = *started;

  // The clocks are read once per pass; the status period runs on the monotonic clock.
  std::uint64_t last_status_ms = ntcp2_net::read_now().mono_ms;
  for (;;) {
    const ntcp2_net::Now now = ntcp2_net::read_now();
    // An idle pass waits for the router's sockets and timers, and for the status line's.
    r.step(now, r.public_mode ? last_status_ms + kStatusIntervalMs : router::kNoWakeDeadline);
    if (r.public_mode && now.mono_ms >= last_status_ms + kStatusIntervalMs) {
      print_line(status_line(r));
      ondrel_i2p_net_flush_stdout();
      last_status_ms = now.mono_ms;
    }
  }
}

}  // namespace cmd_router
