#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "router/router.h"
#include "tests/support/test_data.h"

namespace router {
namespace {

namespace fs = std::filesystem;

const fs::path kRouterInfoDir = fs::path(ONDREL_TESTDATA_DIR) / "routerinfo";

// A fresh folder under the test temporary directory.
fs::path fresh_folder(const std::string& name) {
  fs::path p = fs::path(testing::TempDir()) / name;
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}

TEST(LoadPeerFile, StoresARouterInfoFromAnotherImplementation) {
  Router r;
  auto ri = r.load_peer_file((kRouterInfoDir / "plain-127.0.0.3.dat").string());
  ASSERT_TRUE(ri) << to_string(ri.error());
  EXPECT_EQ(ri->identity.keys_and_cert.hash().to_b32_address(),
            "osr4r4kruk2ql7usn4f73tieoi47riyhdqsaya5wet5irgmhykvq.b32.i2p");
  ASSERT_EQ(r.netdb.router_infos().size(), 1u);
  // Loading it again succeeds although nothing new is stored.
  EXPECT_TRUE(r.load_peer_file((kRouterInfoDir / "plain-127.0.0.3.dat").string()));
  EXPECT_EQ(r.netdb.router_infos().size(), 1u);
}

TEST(LoadPeerFile, ErrorsNameTheFailingLayer) {
  const fs::path dir = fresh_folder("load_peer_file_errors");
  Router r;
  auto missing = r.load_peer_file((dir / "missing.dat").string());
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is(RouterError::Net));

  std::ofstream(dir / "short.dat", std::ios::binary) << "not a RouterInfo";
  auto garbage = r.load_peer_file((dir / "short.dat").string());
  ASSERT_FALSE(garbage);
  EXPECT_TRUE(garbage.error().is(RouterError::Common));

  // The real file with one byte of its signature changed.
  std::string bytes = test_support::read_text_file((kRouterInfoDir / "ff-127.0.0.2.dat").string());
  ASSERT_FALSE(bytes.empty());
  bytes.back() = static_cast<char>(bytes.back() ^ 1);
  std::ofstream(dir / "tampered.dat", std::ios::binary) << bytes;
  auto tampered = r.load_peer_file((dir / "tampered.dat").string());
  ASSERT_FALSE(tampered);
  EXPECT_TRUE(tampered.error().is(RouterError::NetDb));
  ASSERT_TRUE(tampered.error().inner());
  EXPECT_TRUE(tampered.error().inner()->is(NetDbError::BadSignature));
  EXPECT_TRUE(r.netdb.router_infos().empty());
}

TEST(LoadPeerDir, CountsOnlyTheRouterInfoFiles) {
  const fs::path dir = fresh_folder("load_peer_dir_mixed");
  fs::create_directories(dir / "subfolder");
  std::ofstream(dir / "notes.txt") << "text";
  fs::copy_file(kRouterInfoDir / "ff-127.0.0.2.dat", dir / "a.dat");
  fs::copy_file(kRouterInfoDir / "plain-127.0.0.3.dat", dir / "b");
  for (const std::string& folder : {dir.string(), dir.string() + "/"}) {
    Router r;
    auto n = r.load_peer_dir(folder);
    ASSERT_TRUE(n);
    EXPECT_EQ(*n, 2u) << folder;
    EXPECT_EQ(r.netdb.router_infos().size(), 2u);
    EXPECT_EQ(r.netdb.floodfill_count(), 1u);
  }
}

TEST(LoadPeerDir, MissingFolderFails) {
  Router r;
  const std::string folder = testing::TempDir() + "no-such-peer-folder";
  auto n = r.load_peer_dir(folder);
  ASSERT_FALSE(n);
  EXPECT_TRUE(n.error().is(RouterError::Net));
  ASSERT_TRUE(n.error().inner());
  EXPECT_TRUE(n.error().inner()->message().starts_with("opendir(" + folder + ") failed: "));
}

}  // namespace
}  // namespace router
