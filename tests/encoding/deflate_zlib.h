#pragma once
// zlib as the independent reference for the DEFLATE and gzip tests, and the test inputs.
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "encoding/bytes.h"

namespace deflate_test {

// Raw DEFLATE (no zlib or gzip wrapper) from zlib at a level and strategy.
inline Bytes zlib_deflate_raw(ByteView in, int level, int strategy = Z_DEFAULT_STRATEGY) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) return {};
  Bytes out(deflateBound(&s, in.size()) + 16);
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&s, Z_FINISH);
  out.resize(rc == Z_STREAM_END ? s.total_out : 0);
  deflateEnd(&s);
  return out;
}

struct ZlibInflated {
  Bytes data;
  std::size_t consumed;  // input bytes zlib used up to the end of the stream
};

// Inflates with zlib: window_bits -15 for raw DEFLATE, 31 for one gzip member. Nothing
// when zlib reports an error, a stream without end, or more output than max_out.
inline std::optional<ZlibInflated> zlib_inflate(ByteView in, int window_bits = -15,
                                                std::size_t max_out = std::size_t{64} << 20) {
  z_stream s{};
  if (inflateInit2(&s, window_bits) != Z_OK) return std::nullopt;
  Bytes out(std::min<std::size_t>(std::max<std::size_t>(in.size() * 4, 1024), max_out));
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  for (;;) {
    if (s.total_out == out.size()) {
      if (out.size() >= max_out) break;
      out.resize(std::min(out.size() * 2, max_out));
    }
    s.next_out = out.data() + s.total_out;
    s.avail_out = static_cast<uInt>(out.size() - s.total_out);
    rc = inflate(&s, Z_NO_FLUSH);
    if (rc != Z_OK) break;
  }
  std::optional<ZlibInflated> result;
  if (rc == Z_STREAM_END) {
    out.resize(s.total_out);
    result = ZlibInflated{std::move(out), s.total_in};
  }
  inflateEnd(&s);
  return result;
}

inline std::uint32_t zlib_crc32(ByteView in) {
  return static_cast<std::uint32_t>(::crc32(0, in.data(), static_cast<uInt>(in.size())));
}

inline Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

// English-like text: words from a small vocabulary, punctuation and line breaks, so
// that it compresses the way prose and markup do.
inline Bytes text_bytes(std::size_t n, std::uint32_t seed) {
  static constexpr std::string_view words[] = {
      "the",     "router", "tunnel", "message", "of",      "and",       "peer",  "a",
      "to",      "in",     "is",     "network", "data",    "garlic",    "lease", "set",
      "with",    "for",    "that",   "build",   "inbound", "outbound",  "hop",   "key",
      "session", "stream", "packet", "reply",   "lookup",  "floodfill", "<p>",   "</p>"};
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(n + 16);
  while (s.size() < n) {
    s += words[rng() % std::size(words)];
    unsigned r = rng() % 16;
    s += r == 0 ? ".\n" : r == 1 ? ", " : " ";
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

// HTML of the kind a site inside the network serves: markup repeated around changing words.
inline Bytes html_bytes(std::size_t n, std::uint32_t seed) {
  const Bytes words = text_bytes(n, seed);
  std::string s = "<!DOCTYPE html>\n<html><head><title>forum</title></head><body>\n";
  for (std::size_t at = 0; s.size() < n; at += 40) {
    s += "<div class=\"post\"><a href=\"/thread/";
    s += std::to_string(at);
    s += "\">";
    s.append(reinterpret_cast<const char*>(words.data()) + at % (n - 40), 40);
    s += "</a></div>\n";
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

}  // namespace deflate_test
