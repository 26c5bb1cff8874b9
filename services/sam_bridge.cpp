// The SAM v3 bridge: control connections, their commands and replies. Nothing here waits:
// replies go through each client's bounded queue, and a client is read at most 4,096
// bytes a pass.
#include "services/sam_bridge.h"

#include <algorithm>

#include "common/destination.h"
#include "encoding/reader.h"
#include "encoding/text.h"
#include "router/destinations.h"
#include "router/id_counters.h"
#include "router/router.h"
#include "router/session_records.h"
#include "sam/base64_value.h"
#include "sam/message.h"
#include "sam/version.h"
#include "services/address_book.h"
#include "services/client_sessions.h"

namespace router {

namespace {

// Clients that have not sent a line yet; beyond this the oldest is closed. A process out
// of descriptors must not be kept there by clients that never speak.
constexpr std::size_t kMaxSilentSamClients = 64;
constexpr std::int64_t kSamReadPerPass = 4096;
// Client sessions in all: each is a destination with keys and a published LeaseSet2.
constexpr std::size_t kMaxClientSessions = 256;
// Bytes of the client's private key that follow its Destination: X25519 key, Ed25519 seed.
constexpr std::size_t kPrivateKeyBytes = 64;

bool silent_client(const SamClientConn& c) { return !c.closed && c.state == SamClientState::Command && !c.spoke; }

bool is_true(std::optional<std::string_view> value) { return value && encoding::ascii_lower(*value) == "true"; }

void queue_text(SamClientConn& client, std::string_view text) {
  if (client.closed) return;
  if (client.out.size() + text.size() > kLocalQueueCapacity) {
    client.out.clear();  // it has not read its replies for this long: nothing more goes to it
    close_sam_client(client);
    return;
  }
  client.out.append(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  (void)send_queued(client.socket, client.out);
}

// The bridge's handling of one command line of client `index`.
class Commands {
 public:
  Commands(Router& r, std::size_t index, const Now& now) : r_(r), index_(index), now_(now) {}

  void handle(std::string_view line) {
    auto parsed = sam::SamMessage::parse(line);
    // A connection that does not open with HELLO VERSION is not a SAM client: a web page
    // can make a browser POST text to this port, and a cross-protocol request needs no
    // answer to do harm, so nothing it sends is carried out or answered.
    if (!client().greeted && !(parsed && is_hello(*parsed))) {
      close_sam_client(client());
      return;
    }
    if (!parsed) {
      reply("HELLO REPLY RESULT=I2P_ERROR MESSAGE=parse_error");
      return;
    }
    const sam::SamMessage& m = *parsed;
    const std::string_view sub = m.subcommand ? std::string_view(*m.subcommand) : std::string_view();
    const bool has_sub = m.subcommand.has_value();
    if (is_hello(m)) {
      hello(m);
    } else if (m.command == "DEST" && has_sub && sub == "GENERATE") {
      dest_generate();
    } else if (m.command == "NAMING" && has_sub && sub == "LOOKUP") {
      naming_lookup(m);
    } else if (m.command == "SESSION" && has_sub && sub == "CREATE") {
      session_create(m);
    } else if (m.command == "STREAM" && has_sub && sub == "ACCEPT") {
      stream_accept(m);
    } else if (m.command == "STREAM" && has_sub && sub == "CONNECT") {
      stream_connect(m);
    } else if (m.command == "PING") {
      queue_text(client(), sam::SamMessage{"PONG", m.subcommand, m.pairs}.to_line());
    } else {
      reply("HELLO REPLY RESULT=I2P_ERROR MESSAGE=unsupported_command");
    }
  }

 private:
  SamClientConn& client() { return r_.sam_clients[index_]; }
  void reply(std::string_view line) { send_sam_line(client(), line); }

  static bool is_hello(const sam::SamMessage& m) { return m.command == "HELLO" && m.subcommand == "VERSION"; }

  // Without a version both sides speak there is nothing more to say.
  void hello(const sam::SamMessage& m) {
    const std::optional<std::string_view> version = sam::negotiate_version(m.get("MIN"), m.get("MAX"));
    if (!version) {
      reply("HELLO REPLY RESULT=NOVERSION");
      close_sam_client(client());
      return;
    }
    client().greeted = true;
    reply("HELLO REPLY RESULT=OK VERSION=" + std::string(*version));
  }

  void dest_generate() {
    auto t = generate_transient_destination();
    if (!t) {
      reply("DEST REPLY RESULT=I2P_ERROR");
      return;
    }
    reply("DEST REPLY PUB=" + t->public_b64 + " PRIV=" + t->private_b64);
  }

  void naming_lookup(const sam::SamMessage& m) {
    const auto name = m.get("NAME");
    if (!name) {
      reply("NAMING REPLY RESULT=INVALID_KEY NAME=");
      return;
    }
    const std::string prefix = "NAMING REPLY RESULT=";
    NameAnswer found = resolve(*name);
    if (!found.base64) {
      if (auto destination = common::Destination::from_base64(sam::with_base64_padding(*name))) {
        found.base64 = destination->to_base64();  // a Destination names itself
      }
    }
    if (found.base64) {
      reply(prefix + "OK NAME=" + std::string(*name) + " VALUE=" + *found.base64);
      return;
    }
    if (found.hash && r_.start_netdb_lookup(*found.hash, kLookupForNaming, client().id, *name,
                                            client().session_id.value_or(""), false, 0, 0, now_)) {
      return;  // answered when the LeaseSet2 arrives or the lookup times out
    }
    reply(prefix + "KEY_NOT_FOUND NAME=" + std::string(*name));
  }

  // What a name stands for: a Base64 Destination known here (the address book, this
  // router's sessions, the NetDB), or else the hash of a b32 address or b32 alias whose
  // LeaseSet2 is to be looked up. "ME" is the last session this connection created.
  struct NameAnswer {
    std::optional<std::string> base64;
    std::optional<common::Hash> hash;
  };
  NameAnswer resolve(std::string_view name) {
    const std::optional<std::string>& own = client().session_id;
    const std::optional<std::string_view> session =
        own ? std::optional<std::string_view>(*own) : std::optional<std::string_view>();
    if (auto value = r_.resolve_name_local(name, session, now_)) return {std::move(*value), std::nullopt};
    std::optional<common::Hash> hash = parse_b32_hash(name);
    if (!hash) hash = r_.resolve_b32_alias(name);
    return {std::nullopt, hash};
  }

  void session_create(const sam::SamMessage& m) {
    const auto id = m.get("ID");
    if (!id) {
      reply("SESSION STATUS RESULT=I2P_ERROR MESSAGE=missing_id");
      return;
    }
    // Only stream sessions are carried; a datagram or raw session told OK would silently
    // carry nothing.
    if (const auto style = m.get("STYLE"); style && *style != "STREAM") {
      reply("SESSION STATUS RESULT=I2P_ERROR MESSAGE=unsupported_style");
      return;
    }
    // The services' own ids are taken whether or not the service runs yet: a client holding
    // one would receive the service's traffic.
    if (is_service_session_id(*id) || Router::find_session_by_id(r_.sessions, *id) != nullptr) {
      reply("SESSION STATUS RESULT=DUPLICATED_ID");
      return;
    }
    if (r_.sessions.size() >= kMaxClientSessions) {
      reply("SESSION STATUS RESULT=I2P_ERROR");
      return;
    }
    const auto destination = m.get("DESTINATION");
    std::optional<SamSession> made;
    std::string value;
    if (!destination || *destination == "TRANSIENT") {
      auto t = generate_transient_destination();
      if (!t) {
        reply("SESSION STATUS RESULT=I2P_ERROR");
        return;
      }
      made = build_client_session(r_, *id, *t);
      value = t->private_b64;
    } else {
      made = session_from_private(*id, sam::with_base64_padding(*destination));
      if (!made) {
        reply("SESSION STATUS RESULT=INVALID_KEY");
        return;
      }
      value = std::string(*destination);
    }
    r_.sessions.push_back(std::move(*made));
    r_.publish_session_leaseset2(r_.sessions.back(), now_);
    client().session_id = std::string(*id);
    client().created_sessions.emplace_back(*id);
    reply("SESSION STATUS RESULT=OK DESTINATION=" + value);
  }

  // A session from a Destination in I2P Base64 followed by its private key bytes; none
  // when the text, the Destination or the key does not decode.
  std::optional<SamSession> session_from_private(std::string_view id, std::string_view text) {
    auto bytes = encoding::base64_decode(text);
    if (!bytes) return std::nullopt;
    encoding::Reader reader(*bytes);
    auto destination = common::Destination::decode(reader);
    if (!destination) return std::nullopt;
    const ByteView rest = ByteView(*bytes).subspan(bytes->size() - reader.remaining());
    std::optional<ClientSessionKeys> keys;
    if (rest.size() >= kPrivateKeyBytes) {
      auto pair = noise::KeyPair::from_private(rest.first(32));
      if (!pair) return std::nullopt;
      keys = ClientSessionKeys{*pair, {}};
      std::copy_n(rest.begin() + 32, 32, keys->signing_seed.begin());
    }
    return build_client_session(r_, id, *destination, destination->to_base64(), keys);
  }

  void stream_accept(const sam::SamMessage& m) {
    const auto id = m.get("ID");
    if (!id || Router::find_session_by_id(r_.sessions, *id) == nullptr) {
      reply("STREAM STATUS RESULT=INVALID_ID");
      return;
    }
    SamClientConn& c = client();
    c.state = SamClientState::Accepting;
    c.accept_id = std::string(*id);
    c.silent = is_true(m.get("SILENT"));
    if (!c.silent) reply("STREAM STATUS RESULT=OK");
  }

  // Where a STREAM CONNECT goes and how.
  struct ConnectWish {
    const SamSession& from;
    bool silent = false;
    std::uint32_t from_port = 0;
    std::uint32_t to_port = 0;
  };

  void stream_connect(const sam::SamMessage& m) {
    const auto id = m.get("ID");
    const SamSession* session = id ? Router::find_session_by_id(r_.sessions, *id) : nullptr;
    if (session == nullptr) {
      reply("STREAM STATUS RESULT=INVALID_ID");
      return;
    }
    const auto destination = m.get("DESTINATION");
    if (!destination) {
      reply("STREAM STATUS RESULT=INVALID_KEY");
      return;
    }
    const ConnectWish wish{*session, is_true(m.get("SILENT")), parse_sam_port(m.get("FROM_PORT")),
                           parse_sam_port(m.get("TO_PORT"))};

    const std::string padded = sam::with_base64_padding(*destination);
    if (const SamSession* local = r_.find_session_by_pub(padded)) {
      connect_local(wish.from, *local, wish.silent);
      return;
    }
    if (auto peer = common::Destination::from_base64(padded)) {
      connect_to(wish, peer->keys_and_cert.hash());
      return;
    }
    // A host name or a b32 address, as libraries pass them: resolved as NAMING LOOKUP
    // resolves it, through a lookup when only the hash is known.
    const NameAnswer found = resolve(*destination);
    if (found.base64) {
      if (auto peer = common::Destination::from_base64(*found.base64)) {
        connect_to(wish, peer->keys_and_cert.hash());
      } else {
        fail_connect(wish.silent, "STREAM STATUS RESULT=CANT_REACH_PEER");  // the address book holds no Destination
      }
      return;
    }
    if (found.hash) {
      connect_to(wish, *found.hash);
      return;
    }
    fail_connect(wish.silent, names_a_host(*destination) ? "STREAM STATUS RESULT=CANT_REACH_PEER"
                                                         : "STREAM STATUS RESULT=INVALID_KEY");
  }

  // A host name this router might have resolved: an .i2p name that is not a broken b32
  // address. Anything else that is not a Destination is a malformed value.
  static bool names_a_host(std::string_view value) {
    const std::string lower = encoding::ascii_lower(value);
    return lower.ends_with(".i2p") && !lower.ends_with(".b32.i2p");
  }

  // The destination with this hash: one of this router's sessions through a local bridge,
  // else a remote stream once its LeaseSet2 is known, looked up when it is not. During a
  // lookup the client stays in state Command; the answer finds it by its id.
  void connect_to(const ConnectWish& wish, const common::Hash& hash) {
    const auto same =
        std::find_if(r_.sessions.begin(), r_.sessions.end(), [&](const SamSession& s) { return s.dest_hash == hash; });
    if (same != r_.sessions.end()) {
      connect_local(wish.from, *same, wish.silent);
      return;
    }
    if (const netdb::LeaseSet2Ptr ls = r_.netdb.get_lease_set2(hash, now_.wall_s())) {
      r_.initiate_remote_stream(client().id, wish.from, ls->destination, *ls, wish.silent, wish.from_port, wish.to_port,
                                now_);
      return;
    }
    if (!r_.start_netdb_lookup(hash, kLookupForStreamConnect, client().id, "", wish.from.id, wish.silent,
                               wish.from_port, wish.to_port, now_)) {
      fail_connect(wish.silent, "STREAM STATUS RESULT=CANT_REACH_PEER");
    }
  }

  void fail_connect(bool silent, std::string_view line) {
    if (!silent) reply(line);
    close_sam_client(client());
  }

  // Joins the connecting client to the first client accepting on the target session.
  void connect_local(const SamSession& from, const SamSession& to, bool silent) {
    std::size_t acceptor = r_.sam_clients.size();
    for (std::size_t i = 0; i < r_.sam_clients.size(); ++i) {
      const SamClientConn& c = r_.sam_clients[i];
      if (i != index_ && !c.closed && c.state == SamClientState::Accepting && c.accept_id == to.id) {
        acceptor = i;
        break;
      }
    }
    if (acceptor == r_.sam_clients.size()) {
      fail_connect(silent, "STREAM STATUS RESULT=CANT_REACH_PEER");
      return;
    }
    if (!silent) reply("STREAM STATUS RESULT=OK");
    SamClientConn& a = client();
    SamClientConn& b = r_.sam_clients[acceptor];

    StreamBridge bridge;
    // What each client has not been sent yet goes first, then what it was sent from the
    // other side; bytes a client wrote behind its command line go to the other side first.
    bridge.to_a = std::move(a.out);
    bridge.to_a.append(b.inbuf);
    bridge.to_b = std::move(b.out);
    if (!b.silent) {
      const std::string line = from.public_b64 + "\n";
      bridge.to_b.append(ByteView(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    }
    bridge.to_b.append(a.inbuf);
    bridge.socket_a = std::move(a.socket);
    bridge.socket_b = std::move(b.socket);
    bridge.session_a = from.id;
    bridge.session_b = to.id;
    for (SamClientConn* c : {&a, &b}) {
      for (std::string& s : c->created_sessions) bridge.owned_sessions.push_back(std::move(s));
      c->created_sessions.clear();
      c->inbuf.clear();
      c->out.clear();
      c->state = SamClientState::Bridged;
    }
    r_.bridges.push_back(std::move(bridge));
  }

  Router& r_;
  std::size_t index_;
  const Now& now_;
};

// Reads and answers one client in state Command; true when it did work.
bool step_command_client(Router& r, std::size_t index, const Now& now) {
  SamClientConn& c = r.sam_clients[index];
  if (c.socket.fd < 0) {
    close_sam_client(c);
    return true;
  }
  auto got = c.socket.pump_nonblocking(c.inbuf, kSamReadPerPass);
  if (!got) {
    close_sam_client(c);
    return true;
  }
  bool did_work = *got > 0;
  Commands commands(r, index, now);
  // Every complete line is answered in this pass, in order, until a command takes the
  // client out of state Command; what follows stays in the buffer.
  while (!r.sam_clients[index].closed && r.sam_clients[index].state == SamClientState::Command) {
    SamClientConn& client = r.sam_clients[index];
    const auto lf = std::find(client.inbuf.begin(), client.inbuf.end(), std::uint8_t{'\n'});
    if (lf == client.inbuf.end()) break;
    if (static_cast<std::size_t>(lf - client.inbuf.begin()) > kMaxSamLine) {
      close_sam_client(client);
      return true;
    }
    std::optional<std::string> line = pop_line_from_buf(client.inbuf);
    client.spoke = true;
    did_work = true;
    if (line->empty()) continue;
    commands.handle(*line);
  }
  SamClientConn& after = r.sam_clients[index];
  if (!after.closed && after.state == SamClientState::Command && after.inbuf.size() > kMaxSamLine) {
    close_sam_client(after);  // a line that never ends
    return true;
  }
  return did_work;
}

// Removes closed and bridged clients; the sessions a closed client created end, which may
// close clients accepting on them, who are removed in turn. True when one was removed.
bool reap_sam_clients(Router& r, const Now& now) {
  bool removed = false;
  for (;;) {
    std::vector<std::string> ending;
    const std::size_t before = r.sam_clients.size();
    std::erase_if(r.sam_clients, [&](SamClientConn& c) {
      if (!c.closed && c.state != SamClientState::Bridged) return false;
      for (std::string& s : c.created_sessions) ending.push_back(std::move(s));
      return true;
    });
    if (r.sam_clients.size() == before) return removed;
    removed = true;
    for (const std::string& id : ending) r.end_session(id, now);
  }
}

}  // namespace

std::optional<std::string> pop_line_from_buf(Bytes& buf) {
  const auto lf = std::find(buf.begin(), buf.end(), std::uint8_t{'\n'});
  if (lf == buf.end()) return std::nullopt;
  auto end = lf;
  if (end != buf.begin() && *(end - 1) == '\r') --end;
  auto text = encoding::utf8_bytes_to_string(ByteView(buf.data(), static_cast<std::size_t>(end - buf.begin())));
  buf.erase(buf.begin(), lf + 1);
  return text ? std::move(*text) : std::string();
}

bool is_service_session_id(std::string_view id) { return id == kHttpProxySessionId || id == kTorrentSessionId; }

std::uint32_t parse_sam_port(std::optional<std::string_view> text) {
  if (!text || text->empty()) return 0;
  std::uint32_t value = 0;
  for (char c : *text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value >= 65536) return 0;
  }
  return value;
}

void send_sam_line(SamClientConn& client, std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  queue_text(client, text);
}

void close_sam_client(SamClientConn& client) {
  if (!client.out.empty()) (void)send_queued(client.socket, client.out);
  client.out.clear();
  client.socket.close();
  client.closed = true;
}

void Router::push_sam_client(ntcp2_net::TcpSocket socket) {
  if (static_cast<std::size_t>(std::count_if(sam_clients.begin(), sam_clients.end(), silent_client)) >=
      kMaxSilentSamClients) {
    close_sam_client(*std::find_if(sam_clients.begin(), sam_clients.end(), silent_client));
  }
  SamClientConn client;
  client.socket = std::move(socket);
  client.id = next_sam_client_id;
  next_sam_client_id = next_sam_client_id == INT32_MAX ? 1 : next_sam_client_id + 1;
  sam_clients.push_back(std::move(client));
  // Clients that leave nothing behind go now; the others, whose sessions end with them,
  // in the next SAM pass.
  std::erase_if(sam_clients, [](const SamClientConn& c) {
    return (c.closed || c.state == SamClientState::Bridged) && c.created_sessions.empty();
  });
}

SamClientConn* Router::find_sam_client(std::int32_t id) {
  if (id <= 0) return nullptr;
  for (SamClientConn& c : sam_clients) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

bool Router::step_sam_clients(const Now& now) {
  bool did_work = false;
  for (std::size_t i = 0; i < sam_clients.size(); ++i) {
    SamClientConn& c = sam_clients[i];
    if (c.closed) continue;
    if (!c.out.empty()) {
      auto sent = send_queued(c.socket, c.out);
      if (sent && *sent > 0) did_work = true;
    }
    if (c.state != SamClientState::Command) continue;
    if (step_command_client(*this, i, now)) did_work = true;
  }
  if (reap_sam_clients(*this, now)) did_work = true;
  return did_work;
}

}  // namespace router
