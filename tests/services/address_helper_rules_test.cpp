// What an address-helper link may do to the address book. The b32 addresses the conflict
// page names are computed by python (I2P Base64, SHA-256, Base32) from the Destinations.
#include "services/address_helper_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "router/destinations.h"
#include "router/router.h"
#include "tests/services/proxy_test_support.h"

namespace router {
namespace {

using proxy_test::read_file;
using proxy_test::ScratchDir;
using proxy_test::write_file;

// b32 addresses of I2P Base64 Destinations, by python.
std::vector<std::string> python_b32(const std::vector<std::string>& destinations) {
  const ScratchDir dir("b32");
  std::string in;
  for (const auto& d : destinations) in += d + "\n";
  write_file(dir / "in.txt", in);
  write_file(dir / "b32.py",
             "import sys, base64, hashlib\n"
             "out = open(sys.argv[2], 'w')\n"
             "for line in open(sys.argv[1]):\n"
             "    raw = base64.b64decode(line.strip(), altchars=b'-~', validate=True)\n"
             "    h = hashlib.sha256(raw).digest()\n"
             "    out.write(base64.b32encode(h).decode().rstrip('=').lower() + '.b32.i2p\\n')\n");
  std::vector<std::string> out;
  if (!proxy_test::run_python((dir / "b32.py").string(),
                              (dir / "in.txt").string() + " " + (dir / "out.txt").string())) {
    return out;
  }
  std::istringstream lines(read_file(dir / "out.txt"));
  for (std::string line; std::getline(lines, line);) out.push_back(line);
  return out;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

HttpProxyError conflict(const std::string& host, const std::string& helper_b32, const std::string& known) {
  return {409, "Conflict",
          "The address helper for " + host + " points to " + helper_b32 + ", but the address book already maps " +
              host + " to " + known + ". The address book was not changed."};
}

class AddressHelperRules : public testing::Test {
 protected:
  void SetUp() override {
    auto a = generate_transient_destination();
    auto b = generate_transient_destination();
    ASSERT_TRUE(a && b);
    dest_a = a->public_b64;
    dest_b = b->public_b64;
    const auto b32 = python_b32({dest_a, dest_b});
    ASSERT_EQ(b32.size(), 2u);
    b32_a = b32[0];
    b32_b = b32[1];
  }
  std::string dest_a, dest_b, b32_a, b32_b;
};

TEST_F(AddressHelperRules, Table) {
  using Expected = std::expected<AddressHelperAction, HttpProxyError>;
  const HttpProxyError bad_helper{400, "Bad Request", "Invalid Base64 I2P Destination in i2paddresshelper parameter."};
  struct Case {
    std::string name;
    std::string host;
    std::string helper;
    std::optional<std::string> known;
    Expected expected;
  };
  const std::vector<Case> cases = {
      {"unknown name is saved", "new.i2p", dest_a, std::nullopt, AddressHelperAction::Save},
      {"known with the same Destination", "site.i2p", dest_a, dest_a, AddressHelperAction::Redirect},
      {"known as the same b32", "site.i2p", dest_a, b32_a, AddressHelperAction::Redirect},
      {"known as the same b32 in capitals", "site.i2p", dest_a, upper(b32_a), AddressHelperAction::Redirect},
      {"known with another Destination", "site.i2p", dest_a, dest_b,
       std::unexpected(conflict("site.i2p", b32_a, b32_b))},
      {"known as another b32", "site.i2p", dest_b, b32_a, std::unexpected(conflict("site.i2p", b32_b, b32_a))},
      {"known as text that names no destination", "site.i2p", dest_a, std::string("broken-entry"),
       std::unexpected(conflict("site.i2p", b32_a, "broken-entry"))},
      {"a b32 host agrees with its own destination", b32_a, dest_a, std::nullopt, AddressHelperAction::Redirect},
      {"a b32 host cannot be re-pointed", b32_a, dest_b, std::nullopt, std::unexpected(conflict(b32_a, b32_b, b32_a))},
      {"helper that is no Base64", "new.i2p", "not base64!", std::nullopt, std::unexpected(bad_helper)},
      {"helper that is too short a Destination", "new.i2p", dest_a.substr(0, 40), std::nullopt,
       std::unexpected(bad_helper)},
      {"a bad helper is refused before the book is consulted", "site.i2p", "%%%", dest_b, std::unexpected(bad_helper)},
  };
  for (const auto& c : cases) {
    const auto known = c.known ? std::optional<std::string_view>(*c.known) : std::nullopt;
    EXPECT_EQ(decide_address_helper(c.host, c.helper, known), c.expected) << c.name;
  }
}

// The service loop's use: the entry the book holds for the host decides, and only a Save
// registers. A contradicting helper leaves the known name as it was.
TEST_F(AddressHelperRules, KnownNameLeftUnchanged) {
  Router r;
  r.register_alias("site.i2p", dest_b);
  r.register_alias("tracker.i2p", b32_b);
  const AliasTable dest_before = r.dest_aliases;
  const AliasTable b32_before = r.b32_aliases;
  auto entry = [&](std::string_view host) -> std::optional<std::string_view> {
    for (const AliasTable* t : {&r.dest_aliases, &r.b32_aliases}) {
      auto it = std::find_if(t->begin(), t->end(), [&](const auto& e) { return e.first == host; });
      if (it != t->end()) return it->second;
    }
    return std::nullopt;
  };
  for (const std::string host : {"site.i2p", "tracker.i2p"}) {
    const auto d = decide_address_helper(host, dest_a, entry(host));
    ASSERT_FALSE(d.has_value()) << host;
    EXPECT_EQ(d.error().status, 409);
    EXPECT_NE(d.error().message.find(b32_a), std::string::npos) << d.error().message;
    EXPECT_NE(d.error().message.find(b32_b), std::string::npos) << d.error().message;
  }
  EXPECT_EQ(r.dest_aliases, dest_before);
  EXPECT_EQ(r.b32_aliases, b32_before);

  const auto fresh = decide_address_helper("fresh.i2p", dest_a, entry("fresh.i2p"));
  ASSERT_EQ(fresh, AddressHelperAction::Save);
  r.register_alias("fresh.i2p", dest_a);
  EXPECT_EQ(entry("fresh.i2p"), std::optional<std::string_view>(dest_a));
  EXPECT_EQ(decide_address_helper("fresh.i2p", dest_a, entry("fresh.i2p")), AddressHelperAction::Redirect);
}

}  // namespace
}  // namespace router
