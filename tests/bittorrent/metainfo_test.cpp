// .torrent files made by mktorrent and transmission-create over real files, read by us and by
// libtorrent's torrent_info: info hash, name, files, lengths, piece table and trackers agree.
// Hand-made info dictionaries cover every refusal.
#include "bittorrent/metainfo.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "bittorrent/bencode.h"
#include "encoding/text.h"
#include "tests/bittorrent/bt_test_support.h"

namespace bittorrent {
namespace {

using bt_test::B;

// The same line form the python side prints from libtorrent's view of a torrent.
std::string Describe(const TorrentMeta& m) {
  std::string out = "hash " + encoding::hex_encode(m.info_hash) + "\nname " + m.name + "\npiece_length " +
                    std::to_string(m.piece_length) + "\ntotal " + std::to_string(m.total_length) + "\n";
  for (const TorrentFile& f : m.files) {
    std::string path;
    for (const std::string& s : f.path) path += (path.empty() ? "" : "/") + s;
    out += "file " + std::to_string(f.length) + " " + path + "\n";
  }
  for (const PieceHash& p : m.pieces) out += "piece " + encoding::hex_encode(p) + "\n";
  for (const std::string& t : m.trackers) out += "tracker " + t + "\n";
  return out;
}

constexpr const char* kMakeTorrents = R"(
import subprocess
def data(path, n, seed):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    r = random.Random(seed)
    open(path, 'wb').write(bytes(r.randrange(256) for _ in range(n)))
data(DIR + '/in/single.bin', 100000, 1)
data(DIR + '/in/exact.bin', 3 * 32768, 2)
data(DIR + '/in/tree/a.txt', 3, 3)
data(DIR + '/in/tree/sub/deep/x.bin', 50000, 4)
data(DIR + '/in/tree/sub/empty', 0, 5)
data(DIR + '/in/tree/z.bin', 70000, 6)
def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
made = []
for name in ['single.bin', 'exact.bin', 'tree']:
    out = DIR + '/mk_' + name + '.torrent'
    run('mktorrent', '-l', '15', '-a', 'http://t1.i2p/a', '-a', 'http://t2.i2p/a,http://t3.i2p/a', '-o', out, DIR + '/in/' + name)
    made.append(out)
    out = DIR + '/tc_' + name + '.torrent'
    run('transmission-create', '-s', '16', '-t', 'http://t1.i2p/a', '-t', 'http://t2.i2p/b', '-o', out, DIR + '/in/' + name)
    made.append(out)
for f in made:
    ti = lt.torrent_info(f)
    fs = ti.files()
    print('torrent ' + os.path.basename(f))
    print('hash', ti.info_hashes().v1)
    print('name', ti.name())
    print('piece_length', ti.piece_length())
    print('total', ti.total_size())
    for i in range(fs.num_files()):
        print('file', fs.file_size(i), fs.file_path(i))
    for i in range(ti.num_pieces()):
        print('piece', ti.hash_for_piece(i).hex())
    # libtorrent shuffles each tier, so the file order comes from the raw dictionary.
    raw = lt.bdecode(open(f, 'rb').read())
    urls = [raw.get(b'announce', b'')] + [u for tier in raw.get(b'announce-list', []) for u in tier]
    seen = []
    for u in urls:
        u = u.decode().strip(' \t\r\n')
        if u and u not in seen:
            seen.append(u)
            print('tracker', u)
    assert sorted(seen) == sorted(t.url for t in ti.trackers())
    print('end')
)";

TEST(Metainfo, TorrentsOfMktorrentAndTransmissionReadLikeLibtorrent) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), kMakeTorrents);
  ASSERT_TRUE(out.has_value());
  std::map<std::string, std::string> expected;
  std::string current;
  for (const std::string& line : bt_test::Lines(*out)) {
    if (line.rfind("torrent ", 0) == 0) {
      current = line.substr(8);
    } else if (line != "end") {
      expected[current] += line + "\n";
    }
  }
  ASSERT_EQ(expected.size(), 6u);
  for (const auto& [file, description] : expected) {
    auto meta = parse_torrent_file(bt_test::ReadFile(dir.path() / file));
    ASSERT_TRUE(meta.has_value()) << file << ": " << to_string(meta.error());
    EXPECT_EQ(Describe(*meta), description) << file;
  }
}

// A torrent whose files are all empty: libtorrent refuses it, we take it as complete with no
// pieces. Its info hash is checked against python's SHA-1 of the info bytes.
TEST(Metainfo, EmptyTorrentHasNoPiecesToFetch) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), R"(
import subprocess
os.makedirs(DIR + '/in/tree/sub')
open(DIR + '/in/tree/a', 'wb').close()
open(DIR + '/in/tree/sub/b', 'wb').close()
subprocess.run(['mktorrent', '-o', DIR + '/empty.torrent', DIR + '/in/tree'], check=True, stdout=subprocess.DEVNULL)
info = lt.bdecode(open(DIR + '/empty.torrent', 'rb').read())[b'info']
print(hashlib.sha1(lt.bencode(info)).hexdigest(), len(info[b'pieces']))
for f in info[b'files']:
    print(f[b'length'], '/'.join(p.decode() for p in f[b'path']))
)");
  ASSERT_TRUE(out.has_value());
  auto lines = bt_test::Lines(*out);
  ASSERT_EQ(lines.size(), 3u);
  auto meta = parse_torrent_file(bt_test::ReadFile(dir.path() / "empty.torrent"));
  ASSERT_TRUE(meta.has_value()) << to_string(meta.error());
  EXPECT_EQ(encoding::hex_encode(meta->info_hash) + " 0", lines[0]);
  EXPECT_EQ(meta->total_length, 0);
  EXPECT_TRUE(meta->pieces.empty());
  ASSERT_EQ(meta->files.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    std::string path;
    for (std::size_t s = 1; s < meta->files[i].path.size(); ++s) path += (s > 1 ? "/" : "") + meta->files[i].path[s];
    EXPECT_EQ("0 " + path, lines[i + 1]);
  }
}

// Out-of-order top-level keys, an info dictionary with unsorted keys and a second "info"
// entry: the hash covers the first info value's own bytes, as libtorrent computes it too.
TEST(Metainfo, InfoHashIsOfTheExactBytes) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), R"(
info = b'd6:lengthi5e4:name1:x6:pieces20:' + b'p' * 20 + b'12:piece lengthi16384ee'
t = b'd8:announce12:http://x.i2p4:info' + info + b'4:infod4:name1:ye1:zi1ee'
open(DIR + '/odd.torrent', 'wb').write(t)
print(hashlib.sha1(info).hexdigest(), lt.torrent_info(t).info_hashes().v1, len(info))
)");
  ASSERT_TRUE(out.has_value());
  auto meta = parse_torrent_file(bt_test::ReadFile(dir.path() / "odd.torrent"));
  ASSERT_TRUE(meta.has_value()) << to_string(meta.error());
  const std::string hash = encoding::hex_encode(meta->info_hash);
  EXPECT_EQ(bt_test::Lines(*out).at(0), hash + " " + hash + " " + std::to_string(meta->info_bytes.size()));
  EXPECT_EQ(meta->name, "x");
  EXPECT_EQ(meta->trackers, std::vector<std::string>{"http://x.i2p"});
  EXPECT_EQ(meta->info_bytes.front(), 'd');
}

TEST(Metainfo, TrackersFromAnnounceAndTiersWithoutRepeats) {
  const std::string t =
      "d8:announce4:  \t\n13:announce-listll5:http:3:  ue6:ignorel3:  u1:\xFF"
      "3:  vei7ee"
      "4:infod6:lengthi0e4:name1:n12:piece lengthi1e6:pieces0:ee";
  auto meta = parse_torrent_file(B(t));
  ASSERT_TRUE(meta.has_value()) << to_string(meta.error());
  EXPECT_EQ(meta->trackers, (std::vector<std::string>{"http:", "u", "v"}));
  auto again = parse_info_dict(meta->info_bytes, {"a", "", "b", "a"});
  EXPECT_EQ(again->trackers, (std::vector<std::string>{"a", "b"}));
}

// An info dictionary in canonical key order from its parts.
std::string Info(const std::string& rest, const std::string& name = "4:name", const std::string& pl = "i16384e",
                 const std::string& pieces = "20:" + std::string(20, 'h')) {
  return "d" + rest + name + "12:piece length" + pl + "6:pieces" + pieces + "e";
}

TEST(Metainfo, EveryRefusalFromItsSmallestInput) {
  struct Case {
    std::string torrent;  // a whole .torrent, or an info dictionary when it starts with '!'
    std::string message;
  };
  const std::string h1 = "20:" + std::string(20, 'h');
  const std::string one = "6:lengthi1e";
  const Case cases[] = {
      {"le", "torrent root must be a Bencode dictionary"},
      {"i1e", "torrent root must be a Bencode dictionary"},
      {"de", "torrent dictionary missing 'info' key"},
      {"d4:infoi1ee", "info value must be a dictionary"},
      {"d4:infodeei1e", "trailing bytes after bencode root: 3"},
      {"!d6:lengthi1e12:piece lengthi1e6:pieces20:" + std::string(20, 'h') + "e",
       "info dictionary missing UTF-8 'name'"},
      {"!" + Info(one, "4:namei1e"), "info dictionary missing UTF-8 'name'"},
      {"!" + Info(one, "4:name1:\xFF"), "info dictionary missing UTF-8 'name'"},
      {"!" + Info(one, "4:name2:.."), "unsafe path segment '..'"},
      {"!" + Info(one, "4:name1:."), "unsafe path segment '.'"},
      {"!" + Info(one, "4:name0:"), "unsafe path segment ''"},
      {"!" + Info(one, "4:name3:a/b"), "illegal character in torrent path segment 'a/b'"},
      {"!" + Info(one, "4:name3:a\\b"), "illegal character in torrent path segment 'a\\b'"},
      {"!" + Info(one, "4:name3:a\nb"), "illegal character in torrent path segment 'a\nb'"},
      {"!" + Info(one,
                  "4:name3:a\x1f"
                  "b"),
       "illegal character in torrent path segment 'a\x1f"
       "b'"},
      {"!" + Info(one, "4:name1:n", "i0e"), "info dictionary missing valid 'piece length'"},
      {"!" + Info(one, "4:name1:n", "i-1e"), "info dictionary missing valid 'piece length'"},
      {"!" + Info(one, "4:name1:n", "1:x"), "info dictionary missing valid 'piece length'"},
      {"!" + Info(one, "4:name1:n", "i67108865e"), "info dictionary has invalid 'piece length'"},
      {"!" + Info(one, "4:name1:n", "i16384e", "19:" + std::string(19, 'h')),
       "info dictionary has invalid 'pieces' blob"},
      {"!" + Info(one, "4:name1:n", "i16384e", "0:"), "info dictionary has invalid 'pieces' blob"},
      {"!" + Info(one, "4:name1:n", "i16384e", "i1e"), "info dictionary has invalid 'pieces' blob"},
      {"!" + Info("5:filesi1e", "4:name1:n"), "'files' entry must be a list"},
      {"!" + Info("5:filesle", "4:name1:n"), "multi-file torrent has empty 'files' list"},
      {"!" + Info("5:filesld4:pathl1:aeee", "4:name1:n"), "file entry missing valid 'length'"},
      {"!" + Info("5:filesld6:lengthi-1e4:pathl1:aeee", "4:name1:n"), "file entry missing valid 'length'"},
      {"!" + Info("5:filesld6:lengthi1eee", "4:name1:n"), "file entry missing 'path' list"},
      {"!" + Info("5:filesld6:lengthi1e4:path1:aee", "4:name1:n"), "file entry missing 'path' list"},
      {"!" + Info("5:filesld6:lengthi1e4:pathleee", "4:name1:n"), "file entry has empty 'path'"},
      {"!" + Info("5:filesld6:lengthi1e4:pathli1eeee", "4:name1:n"), "non-string element in file 'path'"},
      {"!" + Info("5:filesld6:lengthi1e4:pathl0:eee", "4:name1:n"), "unsafe path segment ''"},
      {"!" + Info("5:filesld6:lengthi1e4:pathl3:a/beee", "4:name1:n"),
       "illegal character in torrent path segment 'a/b'"},
      {"!" + Info("5:filesld6:lengthi1e4:pathl1:a2:..eee", "4:name1:n"), "unsafe path segment '..'"},
      {"!" + Info("", "4:name1:n"), "single-file torrent missing valid 'length'"},
      {"!" + Info("6:lengthi-1e", "4:name1:n"), "single-file torrent missing valid 'length'"},
      {"!" + Info("6:lengthi16385e", "4:name1:n"),
       "piece hash count 1 does not match length 16385 / piece_length 16384"},
      {"!" + Info("5:filesld6:lengthi9223372036854775807e4:pathl1:aeed6:lengthi1e4:pathl1:beee", "4:name1:n"),
       "total length of files out of range"},
  };
  for (const Case& c : cases) {
    auto meta = c.torrent[0] == '!' ? parse_info_dict(B(c.torrent.substr(1)), {}) : parse_torrent_file(B(c.torrent));
    ASSERT_FALSE(meta.has_value()) << c.torrent;
    EXPECT_EQ(bt_test::Message(meta.error()), c.message) << c.torrent;
  }
  // A path element that is not UTF-8 is an encoding error.
  auto bad_utf8 = parse_info_dict(B(Info("5:filesld6:lengthi1e4:pathl1:\xFF"
                                         "eee",
                                         "4:name1:n")),
                                  {});
  ASSERT_FALSE(bad_utf8.has_value());
  EXPECT_TRUE(bad_utf8.error().is(BittorrentError::Encoding)) << to_string(bad_utf8.error());
}

TEST(Metainfo, PieceCountsAndLimits) {
  const std::string h = std::string(20, 'h');
  // Total 1 needs one hash, 16385 two, and the largest piece length is accepted.
  EXPECT_TRUE(parse_info_dict(B(Info("6:lengthi1e", "4:name1:n")), {}).has_value());
  EXPECT_TRUE(parse_info_dict(B(Info("6:lengthi16385e", "4:name1:n", "i16384e", "40:" + h + h)), {}).has_value());
  auto big = parse_info_dict(B(Info("6:lengthi67108864e", "4:name1:n", "i67108864e")), {});
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ(big->piece_length, 67108864);
  // "files" decides over a top-level "length".
  auto multi = parse_info_dict(B(Info("5:filesld6:lengthi3e4:pathl1:a1:beed6:lengthi0e4:pathl1:ceee6:lengthi99e",
                                      "4:name1:n", "i2e", "40:" + h + h)),
                               {});
  ASSERT_TRUE(multi.has_value()) << to_string(multi.error());
  EXPECT_EQ(multi->total_length, 3);
  ASSERT_EQ(multi->files.size(), 2u);
  EXPECT_EQ(multi->files[0].path, (std::vector<std::string>{"n", "a", "b"}));
  EXPECT_EQ(multi->files[1], (TorrentFile{{"n", "c"}, 0}));
  // A zero-length torrent with a piece table fetches nothing.
  auto empty = parse_info_dict(B(Info("6:lengthi0e", "4:name1:n")), {});
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->pieces.empty());
  EXPECT_EQ(empty->files, (std::vector<TorrentFile>{{{"n"}, 0}}));
}

TEST(Metainfo, SafePathSegments) {
  for (const char* ok : {"a", "a b", "...", "a:b", "\x7f", "\xC3\xA9t\xC3\xA9", "-", ".hidden"}) {
    EXPECT_EQ(check_safe_path_segment(ok).value_or("refused"), ok);
  }
  for (std::string bad : {std::string(""), std::string("."), std::string(".."), std::string("a/b"), std::string("/"),
                          std::string("a\\b"), std::string("\t"), std::string(1, '\0'), std::string("a\rb")}) {
    EXPECT_FALSE(check_safe_path_segment(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace bittorrent
