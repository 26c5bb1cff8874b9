#pragma once
// The router's command line: the start-up settings, the option reader and the usage text.
//
// Reading the command line never fails and never prints by itself: it gives the settings,
// the console lines it produced (warnings, in the order the options came) and whether the
// usage text was asked for. The caller prints the lines.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoding/text.h"

namespace cmd_router {

struct Settings {
  std::string sam_host = "127.0.0.1";
  std::uint16_t sam_port = 7656;
  bool http_proxy_enabled = false;
  std::string http_proxy_host = "127.0.0.1";
  std::uint16_t http_proxy_port = 4444;
  bool torrent_api_enabled = false;
  std::string torrent_api_host = "127.0.0.1";
  std::uint16_t torrent_api_port = 4445;
  std::string download_dir;
  std::string ntcp2_host = "127.0.0.1";
  std::uint16_t ntcp2_port = 0;
  bool public_mode = false;
  std::int32_t hops = 1;
  bool floodfill = false;
  bool check_clock_skew = true;
  bool debug = false;
  std::vector<std::string> hosts_files;
  std::vector<std::string> peer_files;
  std::vector<std::string> peer_dirs;
  std::vector<std::string> su3_files;
  std::vector<std::string> reseed_urls;
};

struct CommandLine {
  Settings settings;
  // True when -h or --help was read: the caller prints the usage text and exits.
  bool show_help = false;
  // Console lines produced while reading (warnings), in order.
  std::vector<std::string> lines;
};

// One or more ASCII digits with a value of at most 65535 (leading zeros allowed).
using encoding::parse_port;

// "host:port" split at the last colon; the host must not be empty and is kept as written
// (a bracketed IPv6 host keeps its brackets).
std::optional<std::pair<std::string, std::uint16_t>> split_host_port(std::string_view text);

// Reads the arguments after the program path (already decoded to UTF-8 text).
CommandLine parse_command_line(const std::vector<std::string>& args);

// The usage text, one entry per line.
std::span<const std::string_view> usage_lines();

}  // namespace cmd_router
