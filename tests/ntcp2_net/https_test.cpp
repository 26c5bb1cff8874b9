#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/https.h"
#include "ntcp2_net/tcp_listener.h"
#include "test_util.h"
#include "tests/support/https_server.h"

using ntcp2_net_test::glue_error;
using ntcp2_net_test::len32;
using ntcp2_net_test::read_text_file;
using ntcp2_net_test::TempDir;
using ntcp2_net_test::u8;
using ntcp2_net_test::write_text_file;

namespace {

constexpr std::int32_t kReseedBuffer = 2097152;

// Sets an environment variable for the lifetime of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

std::int32_t fetch(const std::string& url, Bytes& buf) {
  return ondrel_i2p_net_fetch_https(u8(url), len32(url), buf.data(), static_cast<std::int32_t>(buf.size()));
}

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < s.size()) {
    std::size_t end = s.find('\n', start);
    if (end == std::string::npos) end = s.size();
    out.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// ---- a fake curl first in PATH --------------------------------------------------------

constexpr char kFakeCurl[] = R"(#!/bin/sh
for a in "$@"; do printf '%s\n' "$a"; done > "$ONDREL_FAKE_CURL_DIR/args"
for f in /proc/$$/fd/*; do readlink "$f"; done > "$ONDREL_FAKE_CURL_DIR/fds"
readlink /proc/$$/fd/2 > "$ONDREL_FAKE_CURL_DIR/stderr"
printf '%s' "$ONDREL_FAKE_CURL_BODY"
case "$ONDREL_FAKE_CURL_MODE" in
  exit22) exit 22 ;;
  exit127) exit 127 ;;
  signal) kill -KILL $$ ;;
esac
exit 0
)";

class FakeCurl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    const std::string script = dir_ / "curl";
    write_text_file(script, kFakeCurl);
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    std::string path = dir_.path();
    if (const char* old = std::getenv("PATH")) path += std::string(":") + old;
    path_ = std::make_unique<ScopedEnv>("PATH", path.c_str());
    dir_env_ = std::make_unique<ScopedEnv>("ONDREL_FAKE_CURL_DIR", dir_.path().c_str());
    body_ = std::make_unique<ScopedEnv>("ONDREL_FAKE_CURL_BODY", "body-bytes");
  }
  void TearDown() override {
    mode_.reset();
    body_.reset();
    dir_env_.reset();
    path_.reset();
  }
  void set_mode(const char* mode) {
    mode_.reset();  // restore first, so the new value is not undone
    mode_ = std::make_unique<ScopedEnv>("ONDREL_FAKE_CURL_MODE", mode);
  }
  std::string args_file() const { return dir_ / "args"; }

  TempDir dir_;
  std::unique_ptr<ScopedEnv> path_, dir_env_, body_, mode_;
};

TEST_F(FakeCurl, RunsCurlWithTheExactArgumentVector) {
  const std::string url = "https://reseed.example.net:8443/i2pseeds.su3?x=%20&y=\xc3\xa9";
  Bytes buf(kReseedBuffer);
  ASSERT_EQ(fetch(url, buf), 10) << glue_error();
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 10), "body-bytes");
  EXPECT_EQ(lines_of(read_text_file(args_file())),
            (std::vector<std::string>{"-fsSL", "-A", "Wget/1.11.4", "--max-time", "25", "--max-filesize", "2097152",
                                      "--proto", "=https", "--proto-redir", "=https", url}));
  EXPECT_EQ(read_text_file(dir_ / "stderr"), "/dev/null\n");
}

TEST_F(FakeCurl, CurlInheritsNoSocketOrListener) {
  auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  ASSERT_TRUE(listener.has_value());
  const std::string host = "127.0.0.1";
  int conn = ondrel_i2p_net_tcp_connect(u8(host), len32(host), listener->port);
  ASSERT_GE(conn, 0);
  auto accepted = listener->accept(1000);
  ASSERT_TRUE(accepted.has_value() && accepted->has_value());

  Bytes buf(64);
  ASSERT_EQ(fetch("https://example.net/x", buf), 10);
  std::string fds = read_text_file(dir_ / "fds");
  EXPECT_NE(fds, "");
  EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
  ondrel_i2p_net_tcp_close(conn);
}

TEST_F(FakeCurl, OnlyExitStatusZeroSucceeds) {
  for (const char* mode : {"exit22", "exit127", "signal"}) {
    set_mode(mode);
    Bytes buf(64);
    EXPECT_EQ(fetch("https://example.net/x", buf), -1) << mode;
    EXPECT_EQ(glue_error(), "curl HTTPS fetch failed") << mode;
    EXPECT_TRUE(exists(args_file())) << mode;  // curl did run
  }
}

TEST_F(FakeCurl, MissingCurlFails) {
  TempDir empty;
  ScopedEnv only_empty("PATH", empty.path().c_str());
  Bytes buf(64);
  EXPECT_EQ(fetch("https://example.net/x", buf), -1);
  EXPECT_EQ(glue_error(), "curl HTTPS fetch failed");
}

TEST_F(FakeCurl, BodyLargerThanTheBufferIsRefused) {
  Bytes exact(10);
  EXPECT_EQ(fetch("https://example.net/x", exact), 10);
  Bytes small(9);
  EXPECT_EQ(fetch("https://example.net/x", small), -1);
  EXPECT_EQ(glue_error(), "curl HTTPS fetch failed");
}

TEST_F(FakeCurl, InvalidUrlsNeverStartCurl) {
  struct Case {
    std::string url;
    std::int32_t capacity;
    const char* error;
  };
  const char* invalid = "invalid https url";
  const char* scheme = "reseed URL must start with https://";
  const char* control = "reseed URL contains control or whitespace character";
  std::string longest = "https://example.net/" + std::string(1003, 'a');  // 1,023 bytes
  const std::vector<Case> cases = {
      {"https://", 64, invalid},     // 8 bytes
      {longest + "a", 64, invalid},  // 1,024 bytes
      {"https://example.net/", 0, invalid},
      {"https://example.net/", -1, invalid},
      {"http://example.net/seed", 64, scheme},
      {"HTTPS://example.net/seed", 64, scheme},
      {"ftp://example.net/seed", 64, scheme},
      {"https://example.net/a b", 64, control},
      {"https://example.net/a\tb", 64, control},
      {"https://example.net/a\nb", 64, control},
      {"https://example.net/a\rb", 64, control},
      {std::string("https://example.net/a\0b", 23), 64, control},
      {"https://example.net/a\x7f"
       "b",
       64, control},
      {"https://example.net/a\x1f", 64, control},
  };
  for (const Case& c : cases) {
    std::remove(args_file().c_str());
    Bytes buf(64);
    EXPECT_EQ(ondrel_i2p_net_fetch_https(u8(c.url), len32(c.url), buf.data(), c.capacity), -1) << c.url;
    EXPECT_EQ(glue_error(), c.error) << c.url;
    EXPECT_FALSE(exists(args_file())) << c.url;
  }
  // The longest URL, and bytes of 0x80 and above, are fine.
  for (const std::string& url : {longest, std::string("https://example.net/\xc3\xa9\xff")}) {
    std::remove(args_file().c_str());
    Bytes buf(64);
    EXPECT_EQ(fetch(url, buf), 10) << url;
    auto args = lines_of(read_text_file(args_file()));
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(args.back(), url);
  }
}

// ---- the real curl against a local HTTPS server -----------------------------------

constexpr char kServer[] = R"(import http.server, os, ssl, sys, threading
root, cert, key = sys.argv[1:4]
os.chdir(root)
ports = {}

class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def redirect(self, url):
        self.send_response(302)
        self.send_header("Location", url)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_GET(self):
        if self.path == "/to-http":
            return self.redirect("http://127.0.0.1:%d/small.bin" % ports["plain"])
        if self.path == "/to-https":
            return self.redirect("https://127.0.0.1:%d/small.bin" % ports["secure"])
        if self.path == "/stream-over":
            # No Content-Length: the size is only known at the end.
            with open("over.bin", "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
            self.close_connection = True
            return
        return super().do_GET()

plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
secure = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
secure.socket = ctx.wrap_socket(secure.socket, server_side=True)
ports["plain"] = plain.server_address[1]
ports["secure"] = secure.server_address[1]
threading.Thread(target=plain.serve_forever, daemon=True).start()
print(ports["secure"], ports["plain"], flush=True)
secure.serve_forever()
)";

class RealCurl : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const std::string files = *dir_ / "www";
    mkdir(files.c_str(), 0755);
    small_ = ntcp2_net_test::pattern_bytes(3000, 7);
    exact_ = ntcp2_net_test::pattern_bytes(kReseedBuffer, 8);
    Bytes over = ntcp2_net_test::pattern_bytes(kReseedBuffer + 1, 9);
    write_text_file(files + "/small.bin", std::string(small_.begin(), small_.end()));
    write_text_file(files + "/exact.bin", std::string(exact_.begin(), exact_.end()));
    write_text_file(files + "/over.bin", std::string(over.begin(), over.end()));
    server_ = new test_support::LocalHttpsServer(files, kServer);
    secure_port_ = server_->port(0);
    plain_port_ = server_->port(1);
  }

  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override {
    ASSERT_GT(secure_port_, 0) << "local HTTPS server did not start";
    ca_ = std::make_unique<ScopedEnv>("CURL_CA_BUNDLE", server_->ca_file().c_str());
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy", "ALL_PROXY"}) {
      proxies_.push_back(std::make_unique<ScopedEnv>(name, nullptr));
    }
  }

  static std::string url(const std::string& path) { return "https://127.0.0.1:" + std::to_string(secure_port_) + path; }

  static inline TempDir* dir_ = nullptr;
  static inline test_support::LocalHttpsServer* server_ = nullptr;
  static inline int secure_port_ = 0;
  static inline int plain_port_ = 0;
  static inline Bytes small_;
  static inline Bytes exact_;
  std::unique_ptr<ScopedEnv> ca_;
  std::vector<std::unique_ptr<ScopedEnv>> proxies_;
};

TEST_F(RealCurl, OkAnswerGivesTheBody) {
  Bytes buf(kReseedBuffer);
  std::int32_t n = fetch(url("/small.bin"), buf);
  ASSERT_EQ(n, 3000) << glue_error();
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + n), small_);
}

TEST_F(RealCurl, NotFoundFails) {
  Bytes buf(kReseedBuffer);
  EXPECT_EQ(fetch(url("/missing.su3"), buf), -1);
  EXPECT_EQ(glue_error(), "curl HTTPS fetch failed");
}

TEST_F(RealCurl, ExactlyTheLimitSucceeds) {
  Bytes buf(kReseedBuffer);
  std::int32_t n = fetch(url("/exact.bin"), buf);
  ASSERT_EQ(n, kReseedBuffer) << glue_error();
  EXPECT_EQ(buf, exact_);
}

TEST_F(RealCurl, OverTheLimitFails) {
  for (const char* path : {"/over.bin", "/stream-over"}) {
    Bytes buf(kReseedBuffer);
    EXPECT_EQ(fetch(url(path), buf), -1) << path;
    EXPECT_EQ(glue_error(), "curl HTTPS fetch failed") << path;
  }
}

TEST_F(RealCurl, SmallerBufferThanBodyFails) {
  Bytes buf(2999);
  EXPECT_EQ(fetch(url("/small.bin"), buf), -1);
  EXPECT_EQ(glue_error(), "curl HTTPS fetch failed");
}

TEST_F(RealCurl, RedirectsStayOnHttps) {
  Bytes buf(kReseedBuffer);
  EXPECT_EQ(fetch(url("/to-https"), buf), 3000) << glue_error();
  EXPECT_EQ(fetch(url("/to-http"), buf), -1);
  EXPECT_EQ(glue_error(), "curl HTTPS fetch failed");
  // The plain server itself answers; only the downgrade is refused.
  const std::string plain = "http://127.0.0.1:" + std::to_string(plain_port_) + "/small.bin";
  std::string cmd = "curl -fsS -o /dev/null '" + plain + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}

TEST_F(RealCurl, PackageFetchGivesTheBodyOrAnErrorNamingTheUrl) {
  auto body = ntcp2_net::fetch_https(url("/small.bin"), kReseedBuffer);
  ASSERT_TRUE(body) << to_string(body.error());
  EXPECT_EQ(*body, small_);
  auto cut = ntcp2_net::fetch_https(url("/small.bin"), 2999);
  ASSERT_FALSE(cut);
  EXPECT_TRUE(cut.error().is(NetError::Io));
  EXPECT_EQ(cut.error().message(), "https fetch(" + url("/small.bin") + ") failed: curl HTTPS fetch failed");
  auto plain = ntcp2_net::fetch_https("http://127.0.0.1/x.su3", kReseedBuffer);
  ASSERT_FALSE(plain);
  EXPECT_EQ(plain.error().message(), "https fetch(http://127.0.0.1/x.su3) failed: reseed URL must start with https://");
}

TEST_F(RealCurl, UntrustedCertificateFails) {
  ScopedEnv no_ca("CURL_CA_BUNDLE", "/nonexistent-ca-bundle.pem");
  Bytes buf(kReseedBuffer);
  EXPECT_EQ(fetch(url("/small.bin"), buf), -1);
}

}  // namespace
