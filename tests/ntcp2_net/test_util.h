#pragma once
// Helpers shared by the platform-layer tests.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "encoding/bytes.h"
#include "ntcp2_net/glue.h"
#include "tests/support/test_data.h"

namespace ntcp2_net_test {

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ondrel_net_XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    if (made != nullptr) path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

inline const std::uint8_t* u8(std::string_view s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }
inline std::int32_t len32(std::string_view s) { return static_cast<std::int32_t>(s.size()); }

// The glue's last-error text, read directly.
inline std::string glue_error() {
  std::string text(static_cast<std::size_t>(ondrel_i2p_net_last_error_len()), '\0');
  ondrel_i2p_net_last_error_copy(reinterpret_cast<std::uint8_t*>(text.data()), static_cast<std::int32_t>(text.size()));
  return text;
}

inline void write_text_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

using test_support::read_text_file;

inline Bytes pattern_bytes(std::size_t n, std::uint32_t seed = 1) {
  Bytes out(n);
  std::uint32_t x = seed;
  for (auto& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

}  // namespace ntcp2_net_test
