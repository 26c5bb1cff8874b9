#include "updater/qbdiff.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "qbdiff_tools.h"
#include "test_util.h"
#include "updater/crc32_bzip2.h"

using qbdiff_test::HandPatch;
using qbdiff_test::Triple;
using updater_test::TempDir;

namespace {

// A stream holding `bytes`, at its start.
std::FILE* stream_of(const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return nullptr;
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

std::string contents(std::FILE* f) {
  std::fflush(f);
  std::string out;
  char chunk[65536];
  for (off_t at = 0;;) {
    ssize_t got = ::pread(::fileno(f), chunk, sizeof chunk, at);
    if (got <= 0) break;
    out.append(chunk, static_cast<std::size_t>(got));
    at += got;
  }
  return out;
}

struct Outcome {
  UpdaterError header = -100;
  UpdaterError apply = -100;  // not run when the header failed
  std::string out;
};

Outcome run_patch(const std::string& patch, const std::string& source) {
  Outcome r;
  std::FILE* in = stream_of(patch);
  std::FILE* out = std::tmpfile();
  if (in == nullptr || out == nullptr) return r;
  QbdiffPatcher patcher;
  r.header = patcher.ReadHeader(in);
  if (r.header == OK) {
    r.apply = patcher.Apply(reinterpret_cast<const std::uint8_t*>(source.data()), source.size(), out);
    if (r.apply == OK) r.apply = patcher.Close();
  }
  r.out = contents(out);
  std::fclose(in);
  std::fclose(out);
  return r;
}

std::string edit(std::string s, std::size_t at, const std::string& with) { return s.replace(at, with.size(), with); }

// Change sets made by bsdiff, transcoded by the python script: our output must equal the
// new file and what bspatch makes of the same change set.
TEST(QbdiffApply, MatchesBspatchOnBsdiffPatches) {
  ASSERT_TRUE(qbdiff_test::have_bsdiff()) << "bsdiff/bspatch missing: run scripts/deps.sh";
  const std::string base = qbdiff_test::random_bytes(300000, 1);
  const std::string extra = qbdiff_test::random_bytes(5000, 2);
  struct Case {
    const char* name;
    std::string old_data;
    std::string new_data;
  };
  std::vector<Case> cases = {
      {"bytes changed", base, edit(edit(base, 100, "changed"), 250000, std::string(64, 'z'))},
      {"block inserted", base, base.substr(0, 70000) + extra + base.substr(70000)},
      {"block deleted", base, base.substr(0, 10000) + base.substr(40000)},
      {"blocks moved", base, base.substr(200000) + base.substr(0, 200000)},
      {"appended", base, base + extra},
      {"truncated", base, base.substr(0, 123457)},
      {"identical", base, base},
      {"unrelated", base.substr(0, 4000), extra},
      {"one byte", "a", "b"},
      {"text grows", "hello, world\n", "hello, brave new world\n"},
  };
  for (const char* a : {"/usr/bin/ls", "/usr/bin/dir", "/usr/bin/vdir"}) {
    for (const char* b : {"/usr/bin/ls", "/usr/bin/dir", "/usr/bin/vdir"}) {
      if (std::string(a) >= b) continue;
      auto old_data = updater_test::read_file(a), new_data = updater_test::read_file(b);
      if (old_data && new_data) cases.push_back({a, *old_data, *new_data});
    }
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto patches = qbdiff_test::make_patches(c.old_data, c.new_data);
    ASSERT_TRUE(patches.has_value());
    auto theirs = qbdiff_test::bspatch(c.old_data, patches->bsdiff);
    ASSERT_TRUE(theirs.has_value());
    ASSERT_EQ(*theirs, c.new_data);

    std::FILE* in = stream_of(patches->qbdiff);
    ASSERT_NE(in, nullptr);
    QbdiffPatcher patcher;
    ASSERT_EQ(patcher.ReadHeader(in), OK);
    EXPECT_EQ(patcher.SourceSize(), c.old_data.size());
    EXPECT_EQ(patcher.DestSize(), c.new_data.size());
    std::uint32_t crc = 0;
    ASSERT_EQ(patcher.ComputeCrc(reinterpret_cast<const std::uint8_t*>(c.old_data.data()), c.old_data.size(), &crc),
              OK);
    EXPECT_EQ(crc, patcher.SourceCrc());
    std::fclose(in);

    Outcome r = run_patch(patches->qbdiff, c.old_data);
    ASSERT_EQ(r.apply, OK);
    EXPECT_TRUE(r.out == *theirs) << "output of " << r.out.size() << " bytes differs";
  }
}

TEST(QbdiffHeader, Refusals) {
  HandPatch good;
  good.source_length = 4;
  good.dest_length = 4;
  good.triples = {{4, 0, 0}};
  good.diff = std::string(4, '\0');
  struct Case {
    const char* name;
    std::string bytes;
    UpdaterError expected;
  };
  auto with = [&](auto change) {
    HandPatch p = good;
    change(p);
    return p.bytes();
  };
  const Case cases[] = {
      {"valid", good.bytes(), OK},
      {"header only", HandPatch{}.bytes(), OK},
      {"31 bytes", HandPatch{}.bytes().substr(0, 31), READ_ERROR},
      {"magic", with([](HandPatch& p) { p.magic = "QBDIFF11"; }), CORRUPT_PATCH_ERROR},
      {"one byte extra", with([](HandPatch& p) { p.file_tail = "x"; }), CORRUPT_PATCH_ERROR},
      {"one byte short", good.bytes().substr(0, good.bytes().size() - 1), CORRUPT_PATCH_ERROR},
      {"control past the file", with([](HandPatch& p) { p.control_field = 100; }), CORRUPT_PATCH_ERROR},
      {"control wraps", with([](HandPatch& p) { p.control_field = 0xFFFFFFFFu; }), CORRUPT_PATCH_ERROR},
      {"diff wraps", with([](HandPatch& p) { p.diff_field = 0xFFFFFFF8u; }), CORRUPT_PATCH_ERROR},
      {"extra wraps", with([](HandPatch& p) { p.extra_field = 0xFFFFFFFFu; }), CORRUPT_PATCH_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::FILE* f = stream_of(c.bytes);
    ASSERT_NE(f, nullptr);
    QbdiffHeader header{};
    EXPECT_EQ(read_qbdiff_header(f, &header), c.expected);
    std::fclose(f);
  }
}

// The file size is taken whole: a sparse file of 2^31 bytes is refused, one byte less is
// a size the format allows.
TEST(QbdiffHeader, FileSizeLimit) {
  TempDir dir;
  for (std::int64_t size : {(std::int64_t{1} << 31) - 1, std::int64_t{1} << 31, (std::int64_t{1} << 32) + 40}) {
    SCOPED_TRACE(size);
    HandPatch p;
    p.extra_field = static_cast<std::uint32_t>(size - 32);
    const std::string path = dir / "sparse";
    ASSERT_TRUE(updater_test::write_file(path, p.bytes()));
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    QbdiffHeader header{};
    EXPECT_EQ(read_qbdiff_header(f, &header), size < (std::int64_t{1} << 31) ? OK : CORRUPT_PATCH_ERROR);
    std::fclose(f);
  }
}

TEST(QbdiffApply, BoundsAndResults) {
  const std::string source = "0123456789";
  struct Case {
    const char* name;
    std::uint32_t dest_length;
    std::vector<Triple> triples;
    std::string diff;
    std::string extra;
    UpdaterError expected;
    std::string out;  // the whole output file afterwards
    std::string control_tail = {};
  };
  const std::string zeros(16, '\0');
  const Case cases[] = {
      {"add, copy, seek", 8, {{4, 2, 2}, {2, 0, 0}}, zeros.substr(0, 6), "ab", OK, "0123ab67"},
      {"diff added modulo 256", 3, {{3, 0, 0}}, "\x01\xff\xd0", "", OK, std::string("1\x30\x02", 3)},
      {"seek to the end", 6, {{4, 0, 6}, {0, 2, 0}}, zeros.substr(0, 4), "xy", OK, "0123xy"},
      {"seek back to the start", 4, {{2, 0, -2}, {2, 0, 0}}, zeros.substr(0, 4), "", OK, "0101"},
      {"add up to the end", 10, {{10, 0, 0}}, zeros.substr(0, 10), "", OK, source},
      {"leftover diff and extra ignored", 1, {{1, 0, 0}}, zeros, "unused", OK, "0"},
      {"empty control, empty file", 0, {}, "", "", OK, ""},
      {"seek one past the end", 4, {{4, 0, 7}}, zeros.substr(0, 4), "", CORRUPT_PATCH_ERROR, ""},
      {"seek before the start", 4, {{2, 0, -3}}, zeros.substr(0, 2), "", CORRUPT_PATCH_ERROR, ""},
      {"seek of -2^31", 4, {{2, 0, INT32_MIN}}, zeros.substr(0, 2), "", CORRUPT_PATCH_ERROR, ""},
      {"add past the source", 11, {{11, 0, 0}}, std::string(11, '\0'), "", CORRUPT_PATCH_ERROR, ""},
      {"add past the source after a seek", 9, {{0, 0, 5}, {6, 0, 0}}, zeros, "", CORRUPT_PATCH_ERROR, ""},
      {"add past the diff", 4, {{4, 0, 0}}, zeros.substr(0, 3), "", CORRUPT_PATCH_ERROR, ""},
      {"add of 2^32-1", 4, {{0xFFFFFFFFu, 0, 0}}, zeros, "", CORRUPT_PATCH_ERROR, ""},
      {"copy past the extra", 3, {{0, 3, 0}}, "", "ab", CORRUPT_PATCH_ERROR, ""},
      {"copy of 2^32-1", 3, {{0, 0xFFFFFFFFu, 0}}, "", "ab", CORRUPT_PATCH_ERROR, ""},
      // Output past the destination length is refused before the triple writes anything.
      {"output past the destination", 5, {{4, 2, 0}}, zeros.substr(0, 4), "ab", CORRUPT_PATCH_ERROR, ""},
      {"second triple past the destination",
       5,
       {{4, 0, 0}, {0, 2, 0}},
       zeros.substr(0, 4),
       "ab",
       CORRUPT_PATCH_ERROR,
       "0123"},
      {"output short of the destination", 7, {{4, 2, 0}}, zeros.substr(0, 4), "ab", CORRUPT_PATCH_ERROR, "0123ab"},
      {"empty control, non-empty destination", 3, {}, "", "", CORRUPT_PATCH_ERROR, ""},
      {"control not whole triples", 4, {{4, 0, 0}}, zeros.substr(0, 4), "", CORRUPT_PATCH_ERROR, "", "\x01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandPatch p;
    p.source_length = static_cast<std::uint32_t>(source.size());
    p.dest_length = c.dest_length;
    p.triples = c.triples;
    p.control_tail = c.control_tail;
    p.diff = c.diff;
    p.extra = c.extra;
    Outcome r = run_patch(p.bytes(), source);
    ASSERT_EQ(r.header, OK);
    EXPECT_EQ(r.apply, c.expected);
    EXPECT_EQ(r.out, c.out);
  }
}

// A short write of the output (here a full device, unbuffered) is a write error.
TEST(QbdiffApply, ShortWriteIsPatchWriteError) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IONBF, 0);
  const std::string source = qbdiff_test::random_bytes(1000, 3);
  for (Triple t : {Triple{1000, 0, 0}, Triple{0, 1000, 0}}) {
    SCOPED_TRACE(t.add);
    HandPatch p;
    p.source_length = 1000;
    p.dest_length = 1000;
    p.triples = {t};
    p.diff = std::string(t.add, '\0');
    p.extra = std::string(t.copy, 'e');
    std::FILE* in = stream_of(p.bytes());
    ASSERT_NE(in, nullptr);
    QbdiffPatcher patcher;
    ASSERT_EQ(patcher.ReadHeader(in), OK);
    EXPECT_EQ(patcher.Apply(reinterpret_cast<const std::uint8_t*>(source.data()), source.size(), full),
              PATCH_WRITE_ERROR);
    std::fclose(in);
  }
  std::fclose(full);
}

// Apply reads the blocks again after the header even when someone moved the stream.
TEST(QbdiffApply, BlocksReadFromAfterTheHeader) {
  HandPatch p;
  p.source_length = 3;
  p.dest_length = 5;
  p.triples = {{3, 2, 0}};
  p.diff = std::string("\x01\x01\x01", 3);
  p.extra = "!?";
  std::FILE* in = stream_of(p.bytes());
  std::FILE* out = std::tmpfile();
  ASSERT_NE(in, nullptr);
  ASSERT_NE(out, nullptr);
  QbdiffPatcher patcher;
  ASSERT_EQ(patcher.ReadHeader(in), OK);
  std::rewind(in);
  ASSERT_EQ(patcher.Apply(reinterpret_cast<const std::uint8_t*>("abc"), 3, out), OK);
  EXPECT_EQ(contents(out), "bcd!?");
  std::fclose(in);
  std::fclose(out);
}

}  // namespace
