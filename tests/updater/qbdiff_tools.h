#pragma once
// QBDIFF10 patches from tools independent of our code: Debian's `bsdiff` makes a BSDIFF40
// patch, and bsdiff_to_qbdiff.py (python3 with its bz2 module) transcodes it. `bspatch`
// applies the BSDIFF40 patch for comparison. Also a hand builder for malformed patches.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace qbdiff_test {

inline std::string python3() {
  // Debian's python3 starts much faster than a pyenv shim found first in PATH.
  return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

inline bool have_bsdiff() { return std::system("command -v bsdiff >/dev/null && command -v bspatch >/dev/null") == 0; }

inline std::string transcoder() { return std::string(ONDREL_SOURCE_DIR) + "/tests/updater/bsdiff_to_qbdiff.py"; }

struct Patches {
  std::string bsdiff;  // BSDIFF40, as bsdiff wrote it
  std::string qbdiff;  // the same change set as QBDIFF10
};

// Both patches turning `old_data` into `new_data`; nothing when a tool failed. bsdiff
// cannot take an empty old file.
inline std::optional<Patches> make_patches(const std::string& old_data, const std::string& new_data) {
  updater_test::TempDir dir;
  if (!updater_test::write_file(dir / "old", old_data) || !updater_test::write_file(dir / "new", new_data)) {
    return std::nullopt;
  }
  const std::string cmd = "bsdiff " + (dir / "old") + " " + (dir / "new") + " " + (dir / "p.bsdiff") + " && " +
                          python3() + " " + transcoder() + " " + (dir / "old") + " " + (dir / "p.bsdiff") + " " +
                          (dir / "p.qbdiff");
  if (std::system(cmd.c_str()) != 0) return std::nullopt;
  auto bs = updater_test::read_file(dir / "p.bsdiff");
  auto qb = updater_test::read_file(dir / "p.qbdiff");
  if (!bs || !qb) return std::nullopt;
  return Patches{*bs, *qb};
}

// What `bspatch` makes of `old_data` with a BSDIFF40 patch.
inline std::optional<std::string> bspatch(const std::string& old_data, const std::string& bsdiff_patch) {
  updater_test::TempDir dir;
  if (!updater_test::write_file(dir / "old", old_data) || !updater_test::write_file(dir / "p", bsdiff_patch)) {
    return std::nullopt;
  }
  const std::string cmd = "bspatch " + (dir / "old") + " " + (dir / "new") + " " + (dir / "p");
  if (std::system(cmd.c_str()) != 0) return std::nullopt;
  return updater_test::read_file(dir / "new");
}

inline std::string random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

inline void put_be32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

struct Triple {
  std::uint32_t add;
  std::uint32_t copy;
  std::int32_t seek;
};

// A QBDIFF10 file written field by field; the header's block lengths are those of the
// blocks given unless overridden.
struct HandPatch {
  std::string magic = "QBDIFF10";
  std::uint32_t source_length = 0;
  std::uint32_t source_crc = 0;
  std::uint32_t dest_length = 0;
  std::vector<Triple> triples;
  std::string control_tail;  // bytes appended to the control block (to break whole triples)
  std::string diff;
  std::string extra;
  std::string file_tail;  // bytes after the extra block that the header does not count
  // Header fields written in place of the blocks' true lengths.
  std::optional<std::uint32_t> control_field, diff_field, extra_field;

  std::string bytes() const {
    std::string control;
    for (const Triple& t : triples) {
      put_be32(control, t.add);
      put_be32(control, t.copy);
      put_be32(control, static_cast<std::uint32_t>(t.seek));
    }
    control += control_tail;
    std::string out = magic;
    put_be32(out, source_length);
    put_be32(out, source_crc);
    put_be32(out, dest_length);
    put_be32(out, control_field.value_or(static_cast<std::uint32_t>(control.size())));
    put_be32(out, diff_field.value_or(static_cast<std::uint32_t>(diff.size())));
    put_be32(out, extra_field.value_or(static_cast<std::uint32_t>(extra.size())));
    return out + control + diff + extra + file_tail;
  }
};

}  // namespace qbdiff_test
