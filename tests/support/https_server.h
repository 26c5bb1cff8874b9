#pragma once
// A local HTTPS server for tests: python3's http.server behind ssl, with a fresh self-signed
// certificate for 127.0.0.1 made by the openssl command. Clients trust it through
// CURL_CA_BUNDLE=ca_file(). Only 127.0.0.1 is ever bound.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace test_support {

// Serves the folder given as its first argument; prints its port.
inline constexpr char kStaticHttpsServer[] = R"(import http.server, os, ssl, sys
root, cert, key = sys.argv[1:4]
os.chdir(root)

class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
server.socket = ctx.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
)";

class LocalHttpsServer {
 public:
  // `script` is a python3 program called with the folder to serve, the certificate and the
  // key; it prints the port(s) it listens on, separated by spaces, on its first line.
  explicit LocalHttpsServer(const std::string& root, const std::string& script = kStaticHttpsServer) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ondrel_https_XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) return;
    dir_ = tmpl;
    const std::string cert = dir_ + "/cert.pem";
    const std::string key = dir_ + "/key.pem";
    const std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        key + "' -out '" + cert + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return;
    const std::string server = dir_ + "/server.py";
    std::ofstream(server) << script;

    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      int devnull = open("/dev/null", O_WRONLY);
      if (devnull >= 0) dup2(devnull, STDERR_FILENO);  // clients hanging up are expected
      close(out[0]);
      close(out[1]);
      // Debian's interpreter directly when present: wrappers found first in PATH can take
      // seconds to start.
      const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
      execlp(python, "python3", server.c_str(), root.c_str(), cert.c_str(), key.c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    FILE* from_server = fdopen(out[0], "r");
    if (from_server == nullptr) return;
    char line[128] = {};
    if (std::fgets(line, sizeof line, from_server) != nullptr) {
      std::istringstream in(line);
      for (int port; in >> port;) ports_.push_back(port);
    }
    std::fclose(from_server);
  }

  ~LocalHttpsServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  LocalHttpsServer(const LocalHttpsServer&) = delete;
  LocalHttpsServer& operator=(const LocalHttpsServer&) = delete;

  bool started() const { return !ports_.empty() && ports_[0] > 0; }
  int port(std::size_t i = 0) const { return i < ports_.size() ? ports_[i] : 0; }
  std::string ca_file() const { return dir_ + "/cert.pem"; }
  std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port()) + path; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  std::vector<int> ports_;
};

}  // namespace test_support
