// The torrent API driven by curl, as a user steers torrents: .torrent files made by mktorrent
// are added raw and as URL-safe unpadded Base64 in JSON, then paused, resumed and removed; a
// magnet is added; DHT bootstrap requests show the port rules. Each curl runs in a child
// process while the test steps the router until the child exits. The expected info hashes,
// names and piece counts come from libtorrent's python binding, the documents are read by
// python's json module.
#include <algorithm>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/torrent/api_test_support.h"

namespace router {
namespace {

using api_test::ApiRouter;
using api_test::ScratchDir;

struct CurlResult {
  int exit = -1;
  std::string code;  // the HTTP status curl saw
  std::string body;
};

// Runs curl with args against the router's API, stepping the router until curl exits
// (at most 30 s of wall time).
CurlResult run_curl(ApiRouter& api, const ScratchDir& dir, const std::string& args, const std::string& path) {
  const std::string out = (dir / "curl.out").string();
  const std::string code = (dir / "curl.code").string();
  std::filesystem::remove(out);
  std::filesystem::remove(code);
  // -q: no ~/.curlrc; --noproxy '': no proxy from the environment.
  const std::string cmd = "curl -q -s --max-time 20 --noproxy '' -o " + out + " -w '%{http_code}' " + args +
                          " http://127.0.0.1:" + std::to_string(api.port) + path + " > " + code;
  test_support::ChildProcess child([&](test_support::LineChannel&) {
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
  });
  CurlResult r;
  if (!child.started()) return r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    api.step();
    if (const auto exit = child.wait(0)) {
      r.exit = *exit;
      break;
    }
  }
  r.code = api_test::read_file(code);
  r.body = api_test::read_file(out);
  return r;
}

// Member lines of a document (api_json_dump.py) as path -> value.
std::map<std::string, std::string> members(const std::string& doc) {
  std::map<std::string, std::string> m;
  for (const auto& line : api_test::json_members(doc)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return m;
}

struct LtInfo {
  std::string hex, name;
  int pieces = 0;
  long total = 0;
};

// What libtorrent reads from a .torrent file.
LtInfo libtorrent_info(const std::filesystem::path& torrent) {
  const auto out = api_test::run_capture(api_test::python() +
                                         " -c 'import sys, libtorrent as lt; t = lt.torrent_info(sys.argv[1]); "
                                         "print(str(t.info_hash()), t.num_pieces(), t.total_size(), t.name())' " +
                                         torrent.string());
  LtInfo info;
  if (!out) return info;
  std::istringstream in(*out);
  in >> info.hex >> info.pieces >> info.total >> info.name;
  return info;
}

std::string js(const std::string& s) { return "\"" + s + "\""; }

class ApiCurl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(api.port, 0);
    // Two single-file torrents with 32 KiB pieces: one whose data is on disk, one without.
    std::filesystem::create_directories(dir / "seed");
    std::filesystem::create_directories(dir / "src");
    std::string data;
    for (int i = 0; i < 100'003; ++i) data += static_cast<char>((i * 7 + i / 256) & 0xff);
    api_test::write_file(dir / "seed" / "seeded.bin", data);
    api_test::write_file(dir / "src" / "fresh.bin", data.substr(0, 50'000) + "different");
    for (const std::string name : {"seeded", "fresh"}) {
      const auto folder = name == "seeded" ? dir / "seed" : dir / "src";
      ASSERT_TRUE(api_test::run_capture("mktorrent -l 15 -a http://tracker.i2p/announce -o " +
                                        (dir / (name + ".torrent")).string() + " " +
                                        (folder / (name + ".bin")).string() + " >/dev/null 2>&1")
                      .has_value());
    }
    seeded = libtorrent_info(dir / "seeded.torrent");
    fresh = libtorrent_info(dir / "fresh.torrent");
    ASSERT_EQ(seeded.hex.size(), 40u);
    ASSERT_EQ(fresh.hex.size(), 40u);
    ASSERT_TRUE(api.router.enable_torrent_engine((dir / "dl").string(), api.now).has_value());
  }

  CurlResult curl(const std::string& args, const std::string& path) { return run_curl(api, dir, args, path); }
  CurlResult post(const std::string& path, const std::string& json) {
    api_test::write_file(dir / "body.json", json);
    return curl(
        "-H 'X-Ondrel-I2P: 1' -H 'Content-Type: application/json' --data-binary @" + (dir / "body.json").string(),
        path);
  }
  std::map<std::string, std::string> torrents() {
    const CurlResult r = curl("", "/api/torrents");
    EXPECT_EQ(r.code, "200");
    return members(r.body);
  }

  ApiRouter api{true};
  ScratchDir dir{"curl"};
  LtInfo seeded, fresh;
};

TEST_F(ApiCurl, AddPauseResumeRemove) {
  // Raw .torrent bytes, as curl --data-binary sends them (form content type, body not JSON).
  CurlResult r = curl("-H 'X-Ondrel-I2P: 1' --data-binary @" + (dir / "fresh.torrent").string(), "/api/torrents/add");
  ASSERT_EQ(r.exit, 0);
  EXPECT_EQ(r.code, "200");
  EXPECT_EQ(r.body, R"({"ok":true,"info_hash":")" + fresh.hex + R"("})");

  // JSON with the file in URL-safe Base64 without padding (written by python), into the
  // folder that holds its data: verified on the add, so it seeds at once.
  const auto b64 = api_test::run_capture(api_test::python() +
                                         " -c 'import base64,sys; sys.stdout.write(base64.urlsafe_b64encode("
                                         "open(sys.argv[1],\"rb\").read()).decode().rstrip(\"=\"))' " +
                                         (dir / "seeded.torrent").string());
  ASSERT_TRUE(b64.has_value());
  ASSERT_TRUE(b64->find_first_of("-_") != std::string::npos || b64->size() % 4 != 0);
  r = post("/api/torrents/add",
           R"({"torrent_b64":")" + *b64 + R"(","download_dir":")" + (dir / "seed").string() + R"("})");
  EXPECT_EQ(r.code, "200");
  EXPECT_EQ(r.body, R"({"ok":true,"info_hash":")" + seeded.hex + R"("})");

  auto m = torrents();
  EXPECT_EQ(m[".torrents"], "[2]");
  EXPECT_EQ(m[".torrents[0].info_hash"], js(fresh.hex));
  EXPECT_EQ(m[".torrents[0].name"], js(fresh.name));
  EXPECT_EQ(m[".torrents[0].state"], js("downloading"));
  EXPECT_EQ(m[".torrents[0].num_pieces"], std::to_string(fresh.pieces));
  EXPECT_EQ(m[".torrents[0].have_pieces"], "0");
  EXPECT_EQ(m[".torrents[0].total_length"], std::to_string(fresh.total));
  EXPECT_EQ(m[".torrents[0].progress_pct"], "0");
  EXPECT_EQ(m[".torrents[0].trackers"], "1");
  EXPECT_EQ(m[".torrents[0].download_dir"], js((dir / "dl").string()));
  EXPECT_EQ(m[".torrents[1].info_hash"], js(seeded.hex));
  EXPECT_EQ(m[".torrents[1].state"], js("seeding"));
  EXPECT_EQ(m[".torrents[1].completed"], "true");
  EXPECT_EQ(m[".torrents[1].num_pieces"], std::to_string(seeded.pieces));
  EXPECT_EQ(m[".torrents[1].have_pieces"], std::to_string(seeded.pieces));
  EXPECT_EQ(m[".torrents[1].downloaded_bytes"], std::to_string(seeded.total));
  EXPECT_EQ(m[".torrents[1].progress_pct"], "100");
  EXPECT_EQ(m[".torrents[1].download_dir"], js((dir / "seed").string()));

  // Pause, then resume (hex in capitals with blanks is the same torrent).
  r = post("/api/torrents/pause", R"({"info_hash":")" + fresh.hex + R"("})");
  EXPECT_EQ(r.body, R"({"ok":true})");
  m = torrents();
  EXPECT_EQ(m[".torrents[0].state"], js("paused"));
  EXPECT_EQ(m[".torrents[0].paused"], "true");
  std::string upper = fresh.hex;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  r = post("/api/torrents/resume", R"({"info_hash":"  )" + upper + R"( "})");
  EXPECT_EQ(r.body, R"({"ok":true})");
  m = torrents();
  EXPECT_EQ(m[".torrents[0].state"], js("downloading"));
  EXPECT_EQ(m[".torrents[0].paused"], "false");
  // Resuming a torrent that is not paused answers ok and makes its tracker announce now.
  api.router.torrent_engine->torrents[0].trackers.at(0).next_announce_ms = 999'999;
  api.router.torrent_engine->torrents[0].last_get_peers_ms = 999'999;
  r = post("/api/torrents/resume", R"({"info_hash":")" + fresh.hex + R"("})");
  EXPECT_EQ(r.body, R"({"ok":true})");
  EXPECT_EQ(api.router.torrent_engine->torrents[0].trackers.at(0).next_announce_ms, 0u);
  EXPECT_EQ(api.router.torrent_engine->torrents[0].last_get_peers_ms, 0u);

  // Remove; the second time there is nothing to remove, pause or resume.
  r = post("/api/torrents/remove", R"({"info_hash":")" + fresh.hex + R"("})");
  EXPECT_EQ(r.body, R"({"ok":true})");
  for (const std::string path : {"/api/torrents/remove", "/api/torrents/pause", "/api/torrents/resume"}) {
    r = post(path, R"({"info_hash":")" + fresh.hex + R"("})");
    EXPECT_EQ(r.code, "404") << path;
    EXPECT_EQ(r.body, R"({"ok":false,"error":"torrent not found"})") << path;
  }
  m = torrents();
  EXPECT_EQ(m[".torrents"], "[1]");
  EXPECT_EQ(m[".torrents[0].info_hash"], js(seeded.hex));

  // The status document counts what is left.
  r = curl("", "/api/status");
  m = members(r.body);
  EXPECT_EQ(m[".ok"], "true");
  EXPECT_EQ(m[".torrent_count"], "1");
  EXPECT_EQ(m[".completed_torrents"], "1");
  EXPECT_EQ(m[".torrent_api_port"], std::to_string(api.port));
  EXPECT_EQ(m[".torrent_b32"], js(torrent_b32_address(api.router.sessions)));
  EXPECT_EQ(m[".download_dir"], js((dir / "seed").string()));  // an add with a folder sets the default
}

TEST_F(ApiCurl, AddErrors) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"download_dir":"/x"})", R"({"ok":false,"error":"missing torrent_b64"})"},
      {R"({"torrent_b64":"!!!!"})", R"({"ok":false,"error":"invalid torrent_b64"})"},
      {R"({"torrent_b64":"ZGU"})", ""},  // "de": an empty dictionary, no info
  };
  for (const auto& [body, want] : cases) {
    const CurlResult r = post("/api/torrents/add", body);
    EXPECT_EQ(r.code, "400") << body;
    if (!want.empty()) {
      EXPECT_EQ(r.body, want) << body;
    } else {
      EXPECT_TRUE(r.body.starts_with(R"({"ok":false,"error":"invalid .torrent metainfo: )")) << r.body;
    }
  }
  // Without the header curl's POST is refused, and nothing is added.
  const CurlResult r = curl("--data-binary @" + (dir / "fresh.torrent").string(), "/api/torrents/add");
  EXPECT_EQ(r.code, "403");
  EXPECT_EQ(r.body, R"({"ok":false,"error":"missing X-Ondrel-I2P: 1 header"})");
  EXPECT_TRUE(api.router.torrent_engine->torrents.empty());
}

TEST_F(ApiCurl, MagnetWithoutMetadata) {
  CurlResult r = post("/api/torrents/magnet", R"({"uri":"magnet:?xt=urn:btih:)" + fresh.hex + R"(&dn=from%20magnet"})");
  EXPECT_EQ(r.code, "200");
  EXPECT_EQ(r.body, R"({"ok":true,"info_hash":")" + fresh.hex + R"("})");
  auto m = torrents();
  EXPECT_EQ(m[".torrents[0].name"], js("from magnet"));
  EXPECT_EQ(m[".torrents[0].state"], js("metadata"));
  EXPECT_EQ(m[".torrents[0].has_metadata"], "false");
  EXPECT_EQ(m[".torrents[0].total_length"], "0");
  EXPECT_EQ(m[".torrents[0].num_pieces"], "0");
  EXPECT_EQ(m[".torrents[0].progress_pct"], "0");

  r = post("/api/torrents/magnet", R"({"url":"magnet:?xt=urn:btih:)" + fresh.hex + R"("})");
  EXPECT_EQ(r.body, R"({"ok":false,"error":"missing magnet uri"})");
  r = post("/api/torrents/magnet", R"({"uri":"http://example.i2p/"})");
  EXPECT_EQ(r.code, "400");
  EXPECT_TRUE(r.body.starts_with(R"({"ok":false,"error":"invalid magnet URI: )")) << r.body;
}

TEST_F(ApiCurl, DhtBootstrapPorts) {
  common::Hash node;
  for (std::size_t i = 0; i < node.bytes.size(); ++i) node.bytes[i] = static_cast<std::uint8_t>(3 * i + 1);
  const std::string b32 = node.to_b32_address();
  struct Case {
    std::string port_member;
    std::string port;
  };
  const std::vector<Case> cases = {
      {R"(,"port":7000)", "7000"},
      {R"(,"port":"7000")", "6881"},
      {R"(,"port":0)", "6881"},
      {R"(,"port":65536)", "6881"},
      {"", "6881"},
      {R"(,"port": 65535)", "65535"},
  };
  for (const auto& c : cases) {
    const CurlResult r = post("/api/dht/bootstrap", R"({"b32":")" + b32 + "\"" + c.port_member + "}");
    EXPECT_EQ(r.code, "200") << c.port_member;
    auto m = members(r.body);
    EXPECT_EQ(m[".b32"], js(b32)) << r.body;
    EXPECT_EQ(m[".port"], c.port) << r.body;
    EXPECT_EQ(m[".ok"], "true") << r.body;
    // The node waits in the engine's bootstrap queue on the port the answer names.
    const auto& queue = api.router.torrent_engine->dht_bootstrap;
    EXPECT_TRUE(std::any_of(queue.begin(), queue.end(), [&](const DhtBootstrapEntry& e) {
      return e.dest == node && std::to_string(e.port) == c.port;
    })) << c.port_member;
  }
  const CurlResult bad = post("/api/dht/bootstrap", R"({"b32":"not-a-node","port":7000})");
  EXPECT_EQ(bad.code, "400");
  EXPECT_EQ(bad.body, R"({"ok":false,"error":"invalid bootstrap b32/hash"})");
}

}  // namespace
}  // namespace router
