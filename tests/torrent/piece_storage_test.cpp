// Piece storage against a temporary folder: torrents made by mktorrent and by libtorrent
// over real files, verified with OpenSSL's SHA-1; pieces in any order; spans across file
// edges; empty files; file naming; refused name collisions and links.
#include "torrent/piece_storage.h"

#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/base/temp_dir.h"
#include "tests/bittorrent/bt_test_support.h"

namespace router {
namespace {

namespace fs = std::filesystem;
using bittorrent::TorrentFile;
using bittorrent::TorrentMeta;

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

bittorrent::PieceHash openssl_sha1(ByteView data) {
  bittorrent::PieceHash h{};
  SHA1(data.data(), data.size(), h.data());
  return h;
}

ActiveTorrent torrent_at(std::string folder, const TorrentMeta& meta) {
  ActiveTorrent t;
  t.download_dir = std::move(folder);
  t.meta = meta;
  return t;
}

bool exists_no_follow(const fs::path& p) {
  struct stat st {};
  return lstat(p.c_str(), &st) == 0;
}

// A 3-file torrent "t" over real files in src/t, its metainfo made by mktorrent with
// 32 KiB pieces. The middle file is shorter than a piece, so a piece spans all three.
class MktorrentTorrent : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    src = tmp.path() / "src";
    fs::create_directories(src / "t" / "sub");
    sizes = {70'001, 5'000, 100'003};
    names = {"a.bin", "sub/b.bin", "sub/c.bin"};
    for (std::size_t i = 0; i < 3; ++i) {
      const Bytes data = random_bytes(sizes[i], static_cast<std::uint32_t>(i + 1));
      bt_test::WriteFile(src / "t" / names[i], data);
      whole.insert(whole.end(), data.begin(), data.end());
    }
    const fs::path torrent = tmp.path() / "t.torrent";
    ASSERT_TRUE(bt_test::Run("mktorrent -d -l 15 -a http://tracker.i2p/a -o " + torrent.string() + " " +
                             (src / "t").string() + " >/dev/null"));
    auto parsed = bittorrent::parse_torrent_file(bt_test::ReadFile(torrent));
    ASSERT_TRUE(parsed.has_value()) << to_string(parsed.error());
    meta = *parsed;
    ASSERT_EQ(meta.files.size(), 3u);
    ASSERT_EQ(meta.piece_length, 32768);
    ASSERT_EQ(meta.total_length, static_cast<std::int64_t>(whole.size()));
  }

  ByteView piece_bytes(std::size_t i) const {
    const std::size_t start = i * 32768;
    return ByteView(whole).subspan(start, std::min<std::size_t>(32768, whole.size() - start));
  }

  TempDir tmp;
  fs::path src;
  std::vector<std::size_t> sizes;
  std::vector<std::string> names;
  Bytes whole;  // the three files end to end
  TorrentMeta meta;
};

TEST_F(MktorrentTorrent, DataOnDiskVerifiesPieceByPiece) {
  // The same file list as mktorrent's, in its order.
  for (std::size_t i = 0; i < 3; ++i) {
    std::string joined = meta.files[i].path[0];
    for (std::size_t k = 1; k < meta.files[i].path.size(); ++k) joined += "/" + meta.files[i].path[k];
    EXPECT_EQ(joined, "t/" + names[i]);
  }
  ASSERT_EQ(meta.pieces.size(), (whole.size() + 32767) / 32768);
  for (std::size_t i = 0; i < meta.pieces.size(); ++i) {
    const std::int64_t size = bt_piece_size(meta, static_cast<std::int64_t>(i));
    auto got = bt_read_span_from_files(src.string(), meta, static_cast<std::int64_t>(i), 0, size);
    ASSERT_TRUE(got.has_value()) << "piece " << i;
    EXPECT_EQ(openssl_sha1(*got), meta.pieces[i]) << "piece " << i;
  }
  // The same through the torrent record; none while it has no metainfo.
  ActiveTorrent t = torrent_at(src.string() + "/", meta);
  EXPECT_TRUE(bt_read_span_from_files(t, 0, 0, 32768).has_value());
  t.meta.reset();
  EXPECT_FALSE(bt_read_span_from_files(t, 0, 0, 32768).has_value());
  EXPECT_EQ(bt_write_piece_to_files(t, 0, piece_bytes(0)).message, "missing metainfo");
}

TEST_F(MktorrentTorrent, PiecesInRandomOrderGiveTheFilesByteForByte) {
  const fs::path dl = tmp.path() / "dl";  // created by the first write
  std::vector<std::size_t> order(meta.pieces.size());
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(99));
  ActiveTorrent t = torrent_at(dl.string(), meta);
  for (std::size_t i : order) {
    const PieceWriteOutcome w = bt_write_piece_to_files(t, static_cast<std::int64_t>(i), piece_bytes(i));
    ASSERT_TRUE(w.ok) << w.message;
    EXPECT_EQ(w.message, "");
  }
  for (const std::string& name : names) {
    EXPECT_EQ(bt_test::ReadFile(dl / "t" / name), bt_test::ReadFile(src / "t" / name)) << name;
  }
  for (std::size_t i = 0; i < meta.pieces.size(); ++i) {
    auto got =
        bt_read_span_from_files(t, static_cast<std::int64_t>(i), 0, bt_piece_size(meta, static_cast<std::int64_t>(i)));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(openssl_sha1(*got), meta.pieces[i]);
  }
}

TEST_F(MktorrentTorrent, SpanTable) {
  const std::string dir = src.string();
  const auto count = static_cast<std::int64_t>(meta.pieces.size());  // 6 pieces, the last 11,004 bytes
  const std::int64_t last_size = meta.total_length - (count - 1) * 32768;
  struct Case {
    const char* name;
    std::int64_t index, begin, length;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"inside the first file", 0, 100, 16384, true},
      {"across a.bin into sub/b.bin", 2, 4000, 2000, true},  // a.bin ends at 70,001 = 2*32768 + 4,465
      {"across all three files", 2, 4000, 16384, true},      // b.bin is 70,001..75,001
      {"the whole last piece", count - 1, 0, last_size, true},
      {"up to the piece end", 1, 32768 - 16384, 16384, true},
      {"one byte past the piece end", 1, 32768 - 16383, 16384, false},
      {"one byte past the last piece", count - 1, 0, last_size + 1, false},
      {"length 0", 0, 0, 0, false},
      {"negative length", 0, 0, -1, false},
      {"negative begin", 0, -1, 10, false},
      {"begin past the piece", 0, 40000, 1, false},
      {"index = piece count", count, 0, 1, false},
      {"negative index", -1, 0, 1, false},
  };
  for (const Case& c : cases) {
    auto got = bt_read_span_from_files(dir, meta, c.index, c.begin, c.length);
    ASSERT_EQ(got.has_value(), c.ok) << c.name;
    if (!c.ok) continue;
    const auto at = static_cast<std::size_t>(c.index * 32768 + c.begin);
    EXPECT_EQ(*got, Bytes(whole.begin() + static_cast<std::ptrdiff_t>(at),
                          whole.begin() + static_cast<std::ptrdiff_t>(at + static_cast<std::size_t>(c.length))))
        << c.name;
  }
  // A short file spoils every span that needs its missing tail, and only those.
  fs::resize_file(src / "t" / "sub/b.bin", 4000);
  EXPECT_FALSE(bt_read_span_from_files(dir, meta, 2, 4000, 16384).has_value());
  EXPECT_TRUE(bt_read_span_from_files(dir, meta, 2, 4000, 2000).has_value());
  // A missing file gives none.
  fs::remove(src / "t" / "sub/c.bin");
  EXPECT_FALSE(bt_read_span_from_files(dir, meta, count - 1, 0, 10).has_value());
}

TEST_F(MktorrentTorrent, APieceAcrossFilesLandsAtTheRightOffsets) {
  const fs::path dl = tmp.path() / "dl";
  // Piece 2 covers a.bin from 65,536, all of sub/b.bin and sub/c.bin from 0.
  ASSERT_TRUE(bt_write_piece_to_files(dl.string(), meta, 2, piece_bytes(2)).ok);
  const Bytes a = bt_test::ReadFile(dl / "t/a.bin");
  ASSERT_EQ(a.size(), 70'001u);  // never preallocated: holes before the written part
  EXPECT_TRUE(std::all_of(a.begin(), a.begin() + 65'536, [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(a.begin() + 65'536, a.end(), whole.begin() + 65'536));
  EXPECT_EQ(bt_test::ReadFile(dl / "t/sub/b.bin"), bt_test::ReadFile(src / "t/sub/b.bin"));
  const Bytes c = bt_test::ReadFile(dl / "t/sub/c.bin");
  ASSERT_EQ(c.size(), 3 * 32768u - 75'001u);
  EXPECT_TRUE(std::equal(c.begin(), c.end(), whole.begin() + 75'001));
  // Writing never truncates: a later, earlier piece keeps what is there.
  ASSERT_TRUE(bt_write_piece_to_files(dl.string(), meta, 0, piece_bytes(0)).ok);
  EXPECT_EQ(bt_test::ReadFile(dl / "t/a.bin").size(), 70'001u);
  // The last, shorter piece writes exactly its bytes; a longer buffer is a short write.
  const auto last = static_cast<std::int64_t>(meta.pieces.size() - 1);
  ASSERT_TRUE(bt_write_piece_to_files(dl.string(), meta, last, piece_bytes(static_cast<std::size_t>(last))).ok);
  EXPECT_EQ(fs::file_size(dl / "t/sub/c.bin"), 100'003u);
  Bytes longer(piece_bytes(static_cast<std::size_t>(last)).begin(), piece_bytes(static_cast<std::size_t>(last)).end());
  const std::size_t fits = longer.size();
  longer.resize(32768);
  const PieceWriteOutcome w = bt_write_piece_to_files(dl.string(), meta, last, longer);
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.message, "short piece write (" + std::to_string(fits) + "/32768B)");
  EXPECT_EQ(fs::file_size(dl / "t/sub/c.bin"), 100'003u);
  EXPECT_EQ(bt_write_piece_to_files(dl.string(), meta, last + 1, piece_bytes(0)).message, "piece index out of range");
  EXPECT_EQ(bt_write_piece_to_files(dl.string(), meta, -1, piece_bytes(0)).message, "piece index out of range");
}

// libtorrent's own torrent over real files, one of them empty: its piece table verifies on
// the source, and pieces written last to first rebuild every file, the empty one included.
TEST(PieceStorage, LibtorrentTorrentWithAnEmptyFileRoundTrips) {
  TempDir tmp;
  const fs::path src = tmp.path() / "src";
  fs::create_directories(src / "lt" / "d");
  const Bytes a = random_bytes(50'000, 11), b = random_bytes(20'000, 12);
  bt_test::WriteFile(src / "lt/a.bin", a);
  bt_test::WriteFile(src / "lt/d/empty", Bytes{});
  bt_test::WriteFile(src / "lt/z.bin", b);
  auto out = bt_test::RunPython(tmp.path(), R"(
fs = lt.file_storage()
lt.add_files(fs, os.path.join(DIR, 'src', 'lt'))
ct = lt.create_torrent(fs, 16384, flags=lt.create_torrent.v1_only)
lt.set_piece_hashes(ct, os.path.join(DIR, 'src'))
open(os.path.join(DIR, 'lt.torrent'), 'wb').write(lt.bencode(ct.generate()))
print(fs.num_files())
)");
  ASSERT_TRUE(out.has_value());
  auto meta = bittorrent::parse_torrent_file(bt_test::ReadFile(tmp.path() / "lt.torrent"));
  ASSERT_TRUE(meta.has_value()) << to_string(meta.error());
  ASSERT_EQ(meta->files.size(), 3u);
  ASSERT_TRUE(bt_check_file_paths(meta->files).has_value());
  Bytes whole;
  for (std::size_t i = 0; i < meta->pieces.size(); ++i) {
    auto got = bt_read_span_from_files(src.string(), *meta, static_cast<std::int64_t>(i), 0,
                                       bt_piece_size(*meta, static_cast<std::int64_t>(i)));
    ASSERT_TRUE(got.has_value()) << i;
    EXPECT_EQ(openssl_sha1(*got), meta->pieces[i]) << i;
    whole.insert(whole.end(), got->begin(), got->end());
  }
  const fs::path dl = tmp.path() / "dl";
  for (std::size_t i = meta->pieces.size(); i-- > 0;) {
    const std::size_t at = i * 16384;
    const ByteView piece = ByteView(whole).subspan(at, std::min<std::size_t>(16384, whole.size() - at));
    const PieceWriteOutcome w = bt_write_piece_to_files(dl.string(), *meta, static_cast<std::int64_t>(i), piece);
    ASSERT_TRUE(w.ok) << w.message;
  }
  EXPECT_EQ(bt_test::ReadFile(dl / "lt/a.bin"), a);
  EXPECT_EQ(bt_test::ReadFile(dl / "lt/z.bin"), b);
  EXPECT_TRUE(fs::is_regular_file(dl / "lt/d/empty"));
  EXPECT_EQ(fs::file_size(dl / "lt/d/empty"), 0u);
}

TorrentMeta layout(std::int64_t piece_length, const std::vector<TorrentFile>& files) {
  TorrentMeta m;
  m.name = files.front().path.front();
  m.piece_length = piece_length;
  for (const TorrentFile& f : files) m.total_length += f.length;
  m.files = files;
  m.pieces.resize(static_cast<std::size_t>((m.total_length + piece_length - 1) / piece_length));
  return m;
}

TEST(PieceStorage, FileNamesFromTheFolderAndSanitisedSegments) {
  TempDir tmp;
  const std::string d = tmp.path().string() + "/";
  const TorrentMeta single = layout(4, {{{"a"}, 6}});
  ASSERT_TRUE(bt_write_piece_to_files(d, single, 1, bt_test::B("ef")).ok);
  EXPECT_EQ(bt_test::ReadFile(tmp.path() / "a"), Bytes({0, 0, 0, 0, 'e', 'f'}));
  const TorrentMeta multi = layout(4, {{{"t", "x", "y.bin"}, 3}, {{"t", "what?", "name. "}, 3}});
  ASSERT_TRUE(bt_write_piece_to_files(d, multi, 0, bt_test::B("abcd")).ok);
  ASSERT_TRUE(bt_write_piece_to_files(d, multi, 1, bt_test::B("ef")).ok);
  EXPECT_EQ(bt_test::ReadFile(tmp.path() / "t/x/y.bin"), bt_test::B("abc"));
  EXPECT_EQ(bt_test::ReadFile(tmp.path() / "t/what_/name"), bt_test::B("def"));
  EXPECT_EQ(bt_join_rel_path(d, multi.files[1].path), tmp.path().string() + "/t/what_/name");
}

TEST(PieceStorage, EmptyFilesAreCreatedAndNeverRead) {
  TempDir tmp;
  const std::string d = tmp.path().string();
  // Pieces of 4: e0 at 0, e1 strictly inside piece 0, e2 on the edge of pieces 0 and 1,
  // e3 at the very end.
  const TorrentMeta m = layout(4, {{{"t", "e0"}, 0},
                                   {{"t", "f1"}, 2},
                                   {{"t", "e1"}, 0},
                                   {{"t", "f2"}, 2},
                                   {{"t", "e2"}, 0},
                                   {{"t", "f3"}, 3},
                                   {{"t", "e3"}, 0}});
  ASSERT_EQ(m.pieces.size(), 2u);
  ASSERT_TRUE(bt_write_piece_to_files(d, m, 0, bt_test::B("abcd")).ok);
  for (const char* name : {"e0", "e1", "e2"}) {
    ASSERT_TRUE(fs::is_regular_file(tmp.path() / "t" / name)) << name;
    EXPECT_EQ(fs::file_size(tmp.path() / "t" / name), 0u) << name;
  }
  EXPECT_FALSE(exists_no_follow(tmp.path() / "t/e3"));
  ASSERT_TRUE(bt_write_piece_to_files(d, m, 1, bt_test::B("efg")).ok);
  EXPECT_TRUE(fs::is_regular_file(tmp.path() / "t/e3"));
  EXPECT_EQ(bt_test::ReadFile(tmp.path() / "t/f3"), bt_test::B("efg"));
  // Reading never needs them.
  for (const char* name : {"e0", "e1", "e2", "e3"}) fs::remove(tmp.path() / "t" / name);
  EXPECT_EQ(bt_read_span_from_files(d, m, 0, 0, 4), bt_test::B("abcd"));
  EXPECT_EQ(bt_read_span_from_files(d, m, 1, 0, 3), bt_test::B("efg"));
}

TEST(PieceStorage, FailuresNameTheFolderOrFile) {
  TempDir tmp;
  const std::string d = tmp.path().string();
  const TorrentMeta m = layout(4, {{{"t", "x", "f"}, 2}, {{"t", "g"}, 2}});
  // A file where a folder must be.
  fs::create_directories(tmp.path() / "t");
  bt_test::WriteFile(tmp.path() / "t/x", bt_test::B("in the way"));
  PieceWriteOutcome w = bt_write_piece_to_files(d, m, 0, bt_test::B("abcd"));
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.message, "mkdir_p(" + d + "/t/x): mkdir_p(" + d + "/t/x) failed: " + std::strerror(ENOTDIR));
  // A folder where a file must be; the bytes before it stay written.
  fs::remove(tmp.path() / "t/x");
  fs::create_directories(tmp.path() / "t/g");
  w = bt_write_piece_to_files(d, m, 0, bt_test::B("abcd"));
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.message,
            "write_file_at(" + d + "/t/g @ 0): write_file_at(" + d + "/t/g) failed: " + std::strerror(EISDIR));
  EXPECT_EQ(bt_test::ReadFile(tmp.path() / "t/x/f"), bt_test::B("ab"));
}

TEST(PieceStorage, LinksInsideTheTreeAreNeverFollowed) {
  TempDir tmp, outside;
  bt_test::WriteFile(outside.path() / "victim", bt_test::B("precious"));
  const fs::path real = tmp.path() / "real";
  fs::create_directories(real / "t");
  // The download folder itself is a link: allowed.
  fs::create_directory_symlink(real, tmp.path() / "dl");
  const std::string d = (tmp.path() / "dl").string();
  const TorrentMeta m = layout(4, {{{"t", "sub", "f"}, 4}, {{"t", "g"}, 8}});
  // A folder link and a file link planted inside the torrent's tree.
  fs::create_directory_symlink(outside.path(), real / "t/sub");
  fs::create_symlink(outside.path() / "victim", real / "t/g");
  PieceWriteOutcome w = bt_write_piece_to_files(d, m, 0, bt_test::B("evil"));
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.message, "mkdir_p(" + d + "/t/sub): mkdir_p(" + d + "/t/sub) failed: symbolic link refused");
  w = bt_write_piece_to_files(d, m, 1, bt_test::B("EVIL"));
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.message, "write_file_at(" + d + "/t/g @ 0): write_file_at(" + d + "/t/g) failed: symbolic link refused");
  // Re-verification cannot read outside either.
  EXPECT_FALSE(bt_read_span_from_files(d, m, 1, 0, 4).has_value());
  EXPECT_EQ(bt_test::ReadFile(outside.path() / "victim"), bt_test::B("precious"));
  EXPECT_FALSE(exists_no_follow(outside.path() / "f"));
  // With the links gone, the same writes land inside the folder the link names.
  fs::remove(real / "t/sub");
  fs::remove(real / "t/g");
  ASSERT_TRUE(bt_write_piece_to_files(d, m, 0, bt_test::B("good")).ok);
  EXPECT_EQ(bt_test::ReadFile(real / "t/sub/f"), bt_test::B("good"));
}

TEST(PieceStorage, SanitiserTable) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a:b", "a_b"},
      {"what?", "what_"},
      {"name. ", "name"},
      {"...", "_"},
      {"", "_"},
      {" . .", "_"},
      {"a\"b*c:d<e>f?g|h", "a_b_c_d_e_f_g_h"},
      {"file.tar.gz", "file.tar.gz"},
      {" lead", " lead"},
      {".hidden", ".hidden"},
      {"a. . ", "a"},
      {"\xC3\xBC:\xE2\x82\xAC.", "\xC3\xBC_\xE2\x82\xAC"},  // non-ASCII stays
      {"back\x7F", "back\x7F"},
      {"semi;colon,comma", "semi;colon,comma"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(bt_sanitize_fs_segment(in), want) << in;
}

TEST(PieceStorage, FolderAndJoinTable) {
  const std::vector<std::pair<std::string, std::string>> dirs = {
      {"/", "/"}, {"dl/", "dl"}, {"dl//", "dl/"}, {"dl", "dl"}, {"", ""}, {"/d/", "/d"}, {"a/b/", "a/b"},
  };
  for (const auto& [in, want] : dirs) EXPECT_EQ(bt_normalize_dir(in), want) << in;
  EXPECT_EQ(bt_join_rel_path("/d/", {"a"}), "/d/a");
  EXPECT_EQ(bt_join_rel_path("/d", {"t", "x", "y.bin"}), "/d/t/x/y.bin");
  EXPECT_EQ(bt_join_rel_path("/", {"t", "a:b", "..."}), "//t/a_b/_");
  EXPECT_EQ(bt_join_rel_path("dl", {}), "dl");
}

TEST(PieceStorage, NetErrorTextTable) {
  const std::vector<std::pair<Error, std::string>> cases = {
      {Error(NetError::Peer, std::string("peer said no")), "peer said no"},
      {Error(NetError::Io, std::string("disk full")), "disk full"},
      {Error(NetError::Common), "common error"},
      {Error(NetError::Protocol), "protocol error"},
      {Error(NetError::Closed), "closed"},
      {Error(NetError::Timeout), "timeout"},
      {Error(NetError::Noise), "noise error"},
  };
  for (const auto& [e, want] : cases) EXPECT_EQ(bt_net_err_msg(e), want);
}

TEST(PieceStorage, CollisionTable) {
  struct Case {
    const char* name;
    std::vector<TorrentFile> files;
    std::string error;  // "" when accepted
  };
  const std::vector<Case> cases = {
      {"distinct", {{{"t", "a"}, 1}, {{"t", "b"}, 1}, {{"t", "d", "a"}, 1}}, ""},
      {"case differs", {{{"t", "A"}, 1}, {{"t", "a"}, 1}}, ""},
      {"single file", {{{"t"}, 5}}, ""},
      {"equal once sanitised",
       {{{"t", "x"}, 1}, {{"t", "a:b"}, 1}, {{"t", "a?b"}, 1}},
       "conflicting file paths in torrent: \"t/a:b\" and \"t/a?b\" are both written as \"t/a_b\""},
      {"equal as given",
       {{{"t", "d", "f"}, 0}, {{"t", "d", "f"}, 0}},
       "conflicting file paths in torrent: \"t/d/f\" and \"t/d/f\" are both written as \"t/d/f\""},
      {"trailing dot",
       {{{"t", "name."}, 1}, {{"t", "name"}, 1}},
       "conflicting file paths in torrent: \"t/name.\" and \"t/name\" are both written as \"t/name\""},
      {"file is a folder of another",
       {{{"t", "x"}, 1}, {{"t", "x", "y"}, 1}},
       "conflicting file paths in torrent: \"t/x\" is a file, but \"t/x/y\" needs it as a folder"},
      {"folder first, deeper",
       {{{"t", "x", "y", "z"}, 1}, {{"t", "x. "}, 1}},
       "conflicting file paths in torrent: \"t/x. \" is a file, but \"t/x/y/z\" needs it as a folder"},
  };
  for (const Case& c : cases) {
    auto r = bt_check_file_paths(c.files);
    EXPECT_EQ(r.has_value() ? std::string() : bt_test::Message(r.error()), c.error) << c.name;
    if (!r) {
      EXPECT_TRUE(r.error().is(RouterError::Message)) << c.name;
    }
  }
}

// A torrent with colliding names, written by libtorrent (the file system could not hold
// such files, so mktorrent cannot make one), is refused with both names.
TEST(PieceStorage, CollidingTorrentFromLibtorrentIsRefused) {
  TempDir tmp;
  const auto torrent = bt_test::CollidingTorrent(tmp.path());
  ASSERT_TRUE(torrent.has_value());
  auto meta = bittorrent::parse_torrent_file(*torrent);
  ASSERT_TRUE(meta.has_value()) << to_string(meta.error());
  auto checked = bt_check_file_paths(meta->files);
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(bt_test::Message(checked.error()),
            "conflicting file paths in torrent: \"t/a:b\" and \"t/a|b\" are both written as \"t/a_b\"");
}

}  // namespace
}  // namespace router
