// Bootstrap from SU3 reseed bundles, local (--su3) and over HTTPS (--reseed), as the running
// program reports it. The bundles' ZIP archives are written by python3's zipfile module and
// hold RouterInfos of another implementation plus ones signed here.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/ed25519.h"
#include "crypto/x25519.h"
#include "loopback_ports.h"
#include "program_process.h"
#include "router/own_router_info.h"
#include "tests/support/https_server.h"
#include "tests/support/python_zip.h"
#include "tests/support/su3_fixture.h"
#include "tests/support/test_data.h"

namespace {

namespace fs = std::filesystem;
using program_test::RouterProcess;

const fs::path kRouterInfoDir = fs::path(ONDREL_TESTDATA_DIR) / "routerinfo";

Bytes read_file(const fs::path& path) { return test_support::read_file(path.string()); }

void write_file(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A RouterInfo signed with a key made from `fill`, publishing 127.0.0.<last_octet>.
Bytes signed_router_info(std::uint8_t fill, int last_octet) {
  const Bytes seed(32, fill);
  const Bytes x25519_private(32, static_cast<std::uint8_t>(fill + 1));
  const auto ed = crypto::ed25519_public_key(seed).value();
  const auto x = crypto::x25519_public_key(x25519_private).value();
  const Bytes filler(320, fill);
  const Bytes iv(16, fill);
  router::OwnIdentityKeys keys{x, ed, filler, iv};
  router::OwnAddress address{"127.0.0." + std::to_string(last_octet), 17000, false, false};
  auto info = router::build_own_router_info(keys, address, 1796906486000).value();
  EXPECT_TRUE(router::sign_router_info(info, seed).has_value());
  return info.to_bytes().value();
}

// The reseed archive: two RouterInfos of another implementation, two signed here, a
// RouterInfo whose signature no longer verifies, a text file and a folder.
Bytes reseed_bundle() {
  Bytes broken = signed_router_info(0x33, 12);
  broken[broken.size() - 1] ^= 0x01;
  const Bytes zip = test_support::python_zip(
      "z.write('a.dat', 'routerInfo-a.dat', compress_type=zipfile.ZIP_DEFLATED)\n"
      "z.write('b.dat', 'routerInfo-b.dat')\n"
      "z.write('c.dat', 'routerInfo-c.dat', compress_type=zipfile.ZIP_DEFLATED)\n"
      "z.write('d.dat', 'routerInfo-d.dat', compress_type=zipfile.ZIP_DEFLATED)\n"
      "z.write('e.dat', 'routerInfo-broken.dat', compress_type=zipfile.ZIP_DEFLATED)\n"
      "z.writestr('README.txt', b'reseed bundle')\n"
      "z.writestr('extra/', b'')\n",
      {{"a.dat", read_file(kRouterInfoDir / "ff-127.0.0.2.dat")},
       {"b.dat", read_file(kRouterInfoDir / "plain-127.0.0.3.dat")},
       {"c.dat", signed_router_info(0x11, 10)},
       {"d.dat", signed_router_info(0x22, 11)},
       {"e.dat", broken}});
  EXPECT_FALSE(zip.empty()) << "python3 could not write the archive";
  return test_support::make_su3(zip);
}

class TempFolder {
 public:
  TempFolder() {
    std::string tmpl = (fs::temp_directory_path() / "ondrel_reseed_XXXXXX").string();
    if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::vector<std::string> sam_only(std::vector<std::string> more) {
  std::vector<std::string> args{"--sam", "127.0.0.1:" + std::to_string(program_test::free_port())};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

}  // namespace

TEST(ReseedProgram, Su3FileImportsVerifiedRouterInfosOnce) {
  TempFolder dir;
  const std::string su3 = dir / "i2pseeds.su3";
  write_file(su3, reseed_bundle());
  RouterProcess p(sam_only({"--su3", su3, "--su3", su3}));
  ASSERT_TRUE(p.started());
  const auto& lines = p.read_until("  NetDB peers: ");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "  Imported 4 peer(s) from " + su3);
  EXPECT_EQ(lines[1], "  Imported 0 peer(s) from " + su3);
  // The own RouterInfo and the four imported ones.
  EXPECT_EQ(lines.back(), "  NetDB peers: 5 (floodfills=1)");
}

TEST(ReseedProgram, DamagedBundleImportsNothing) {
  TempFolder dir;
  Bytes bundle = reseed_bundle();
  // One byte of the stored entry changes, so its CRC-32 no longer matches.
  const Bytes b = read_file(kRouterInfoDir / "plain-127.0.0.3.dat");
  auto at = std::search(bundle.begin(), bundle.end(), b.begin(), b.end());
  ASSERT_NE(at, bundle.end());
  *(at + 100) ^= 0x40;
  const std::string su3 = dir / "damaged.su3";
  write_file(su3, bundle);
  RouterProcess p(sam_only({"--su3", su3}));
  ASSERT_TRUE(p.started());
  const auto& lines = p.read_until("  NetDB peers: ");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "warning: failed to load reseed .su3 from " + su3);
  EXPECT_EQ(lines.back(), "  NetDB peers: 1 (floodfills=0)");
}

TEST(ReseedProgram, ReseedOverHttpsFromALocalServer) {
  TempFolder www;
  write_file(www / "i2pseeds.su3", reseed_bundle());
  test_support::LocalHttpsServer server(www.path().string());
  ASSERT_TRUE(server.started()) << "local HTTPS server did not start";
  const std::string url = server.url("/i2pseeds.su3");
  const std::string missing = server.url("/missing.su3");
  const std::string closed = "https://127.0.0.1:" + std::to_string(program_test::free_port()) + "/i2pseeds.su3";
  RouterProcess p(sam_only({"--reseed", url, "--reseed", missing, "--reseed", closed}),
                  {"CURL_CA_BUNDLE=" + server.ca_file(), "https_proxy=", "HTTPS_PROXY=", "all_proxy=", "ALL_PROXY="});
  ASSERT_TRUE(p.started());
  const auto& lines = p.read_until("  NetDB peers: ", 60000);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "  Reseeded 4 peer(s) from " + url);
  EXPECT_EQ(lines[1], "warning: reseed fetch failed for " + missing);
  EXPECT_EQ(lines[2], "warning: reseed fetch failed for " + closed);
  EXPECT_EQ(lines.back(), "  NetDB peers: 5 (floodfills=1)");
}

// Public mode without a bootstrap source tries every built-in reseed server in order. The
// test puts a stand-in `curl` first in PATH that records its URL and fails, so nothing leaves
// this machine.
TEST(ReseedProgram, PublicModeTriesEachBuiltInServerInOrder) {
  TempFolder dir;
  const fs::path fake = dir / "curl";
  const fs::path log = dir / "urls";
  std::ofstream(fake) << "#!/bin/sh\nfor last; do :; done\necho \"$last\" >> '" << log.string() << "'\nexit 6\n";
  chmod(fake.c_str(), 0755);
  RouterProcess p(sam_only({"--public"}), {"PATH=" + dir.path().string() + ":/usr/bin:/bin"});
  ASSERT_TRUE(p.started());
  const auto& lines = p.read_until("  NetDB peers: ", 60000);
  std::vector<std::string> skipped;
  for (const auto& l : lines) {
    if (l.rfind("  Reseed skipped (", 0) == 0) skipped.push_back(l.substr(18, l.size() - 19));
  }
  ASSERT_EQ(skipped.size(), 4u);
  std::ifstream urls(log);
  std::vector<std::string> fetched;
  for (std::string u; std::getline(urls, u);) fetched.push_back(u);
  EXPECT_EQ(fetched, skipped);
  for (const auto& u : fetched) EXPECT_TRUE(u.starts_with("https://") && u.ends_with("/i2pseeds.su3")) << u;
}
