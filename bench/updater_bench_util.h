#pragma once
// What the updater benchmarks share: shell commands, python3, the repository's folder,
// and text that compresses about as well as program files do.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace updater_bench {

// The repository's root folder.
inline std::filesystem::path source_dir() { return std::filesystem::path(__FILE__).parent_path().parent_path(); }

// Runs the parts joined as one shell command (joined by appending: g++ 12 at -O3 misreads
// some chains of string +).
template <typename... Parts>
bool run(const Parts&... parts) {
  std::string cmd;
  ((cmd += parts), ...);
  return std::system(cmd.c_str()) == 0;
}

// Debian's python3, which has 'cryptography' for the archive writer.
inline std::string python() { return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

// Lines of words from a 5,000-word vocabulary, drawn from one seeded generator.
class WordText {
 public:
  explicit WordText(std::uint64_t seed) : rng_(seed) {
    for (int i = 0; i < 5000; ++i) {
      std::string w;
      for (std::size_t n = 2 + rng_() % 9; n > 0; --n) w.push_back(static_cast<char>('a' + rng_() % 26));
      vocabulary_.push_back(w);
    }
  }

  // The next `size` bytes of text.
  std::string next(std::size_t size) {
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
      text += vocabulary_[rng_() % vocabulary_.size()];
      text.push_back(text.size() % 80 < 70 ? ' ' : '\n');
    }
    text.resize(size);
    return text;
  }

 private:
  std::mt19937_64 rng_;
  std::vector<std::string> vocabulary_;
};

}  // namespace updater_bench
