// The HTTP proxy's service loop: browser connections are accepted, their request heads read
// and parsed, address-helper links answered, the host resolved and, once the target's
// LeaseSet2 is known, the browser's socket handed to a remote bridge over a new stream of
// the proxy's own session (or, for a destination of this router, to a local bridge with a
// SAM client accepting on it). Nothing here waits on a socket: answers are queued on the
// connection and sent as the browser takes them.
#include <algorithm>
#include <string>
#include <utility>

#include "ntcp2_net/glue.h"
#include "router/destinations.h"
#include "router/peer_log.h"
#include "router/poll_set.h"
#include "router/router.h"
#include "services/address_book.h"
#include "services/address_helper_rules.h"
#include "services/client_sessions.h"
#include "services/http_proxy.h"
#include "services/http_proxy_pages.h"
#include "services/http_proxy_request.h"
#include "services/remote_bridge.h"
#include "services/streams.h"
#include "services/wake_deadlines.h"

namespace router {

namespace {

constexpr int kAcceptsPerPass = 8;
// Browser connections held before their hand-over; further ones wait in the listener's
// backlog, so that a local program cannot spend the router's descriptors.
constexpr std::size_t kMaxProxyConns = 256;
constexpr std::uint64_t kLeaseSetTimeoutPublicMs = 30000;
constexpr std::uint64_t kLeaseSetTimeoutLocalMs = 10000;
constexpr std::uint32_t kBootstrapRetryAfterS = 3;
// Streams to sites leave from port 0: the browser's own port means nothing to the site.
constexpr std::uint16_t kFromPort = 0;

// The first instant at which the LeaseSet2 limit of a connection has passed: its step acts
// from then on, and the loop's wait ends then (next_http_proxy_wake_ms).
std::uint64_t lease_set_due_ms(const Router& r, const HttpProxyConn& c) {
  return c.accepted_ms + (r.public_mode ? kLeaseSetTimeoutPublicMs : kLeaseSetTimeoutLocalMs) + 1;
}

enum class Outcome { Keep, Finish, HandOver };

// Queues the answer; it goes out in this pass and the following ones, and the connection
// ends once it is out and the browser has hung up (step_http_answer).
void answer(HttpProxyConn& c, std::string bytes, const Now& now) {
  c.state = HttpProxyConnState::Answering;
  queue_http_answer(c, std::move(bytes), 0, now.mono_ms);
}

void answer_page(HttpProxyConn& c, int status, std::string_view reason, std::string_view message, const Now& now,
                 std::uint32_t retry_after_s = 0) {
  HttpProxyErrorPage page = http_proxy_error_page(status, reason, message, retry_after_s);
  page.head += page.body;
  answer(c, std::move(page.head), now);
}

std::optional<std::string_view> alias_value(const AliasTable& table, std::string_view name) {
  for (const auto& [n, v] : table) {
    if (n == name) return std::string_view(v);
  }
  return std::nullopt;
}

class ProxyPass {
 public:
  ProxyPass(Router& r, const Now& now) : r_(r), now_(now) {}

  Outcome step(HttpProxyConn& c, bool& did_work) {
    Outcome outcome = Outcome::Keep;
    switch (c.state) {
      case HttpProxyConnState::ReadingHead: outcome = reading_head(c, did_work); break;
      case HttpProxyConnState::AwaitingLeaseSet: outcome = awaiting_lease_set(c, did_work); break;
      case HttpProxyConnState::Answering: break;
    }
    // An answer queued in this pass starts going out in this pass.
    if (outcome == Outcome::Keep && c.state == HttpProxyConnState::Answering) {
      did_work = step_http_answer(c, kHttpProxyConnLimits, now_.mono_ms) || did_work;
      if (c.closed) outcome = Outcome::Finish;
    }
    return outcome;
  }

  Outcome reading_head(HttpProxyConn& c, bool& did_work) {
    const HttpHeadRead read = read_http_head(c, kHttpProxyConnLimits, now_.mono_ms);
    switch (read.status) {
      case HttpHeadStatus::TimedOut:
        answer_page(c, 408, "Request Timeout", "Timed out waiting for complete HTTP request headers.", now_);
        return Outcome::Keep;
      case HttpHeadStatus::TooLarge:
        answer_page(c, 431, "Request Header Fields Too Large", "HTTP request headers exceed the 64 KiB proxy limit.",
                    now_);
        return Outcome::Keep;
      case HttpHeadStatus::Gone: return Outcome::Finish;
      case HttpHeadStatus::Waiting:
        if (read.input.got > 0) did_work = true;
        return Outcome::Keep;
      case HttpHeadStatus::Complete: break;
    }
    did_work = true;
    const auto body_at = static_cast<std::ptrdiff_t>(read.end.head_length + read.end.separator_length);
    const Bytes head(c.inbuf.begin(), c.inbuf.begin() + static_cast<std::ptrdiff_t>(read.end.head_length));
    const Bytes body(c.inbuf.begin() + body_at, c.inbuf.end());
    c.inbuf.clear();
    auto parsed = parse_http_proxy_request(head);
    if (!parsed) {
      answer_page(c, parsed.error().status, parsed.error().reason, parsed.error().message, now_);
      return Outcome::Keep;
    }
    if (parsed->address_helper && parsed->location) return address_helper(c, *parsed);
    return request(c, *parsed, body);
  }

  Outcome awaiting_lease_set(HttpProxyConn& c, bool& did_work) {
    if (!c.lookup_hash) return Outcome::Finish;
    if (const netdb::LeaseSet2Ptr ls = r_.netdb.get_lease_set2(*c.lookup_hash, now_.wall_s())) {
      did_work = true;
      SamSession* session = r_.ensure_http_proxy_session(now_);
      if (session == nullptr) {
        answer_page(c, 500, "Internal Server Error", "Failed to initialize HTTP proxy SAM session.", now_);
        return Outcome::Keep;
      }
      return attach(c, *session, ls->destination, *ls);
    }
    if (now_.mono_ms >= lease_set_due_ms(r_, c) || !r_.has_pending_lookup(*c.lookup_hash, LookupKind::LeaseSet)) {
      did_work = true;
      answer_page(
          c, 504, "Gateway Timeout",
          "Could not resolve LeaseSet2 for " + c.host + " (" + c.lookup_hash->to_b32_address() + ") in I2P NetDB.",
          now_);
    }
    return Outcome::Keep;
  }

 private:
  // A link that names the host's destination: the address book learns a name it does not
  // hold yet, and the browser goes on to the address without the helper.
  Outcome address_helper(HttpProxyConn& c, const HttpProxyRequest& req) {
    std::optional<std::string_view> known = alias_value(r_.dest_aliases, req.host);
    if (!known) known = alias_value(r_.b32_aliases, req.host);
    auto decision = decide_address_helper(req.host, *req.address_helper, known);
    if (!decision) {
      answer_page(c, decision.error().status, decision.error().reason, decision.error().message, now_);
      return Outcome::Keep;
    }
    if (*decision == AddressHelperAction::Save) r_.register_alias(req.host, *req.address_helper);
    answer(c, address_helper_redirect(*req.location), now_);
    return Outcome::Keep;
  }

  Outcome request(HttpProxyConn& c, const HttpProxyRequest& req, const Bytes& body) {
    if (r_.public_mode && (r_.tunnels.inbound.empty() || r_.tunnels.outbound.empty())) {
      answer_page(c, 503, "Service Unavailable",
                  "I2P router is still bootstrapping tunnels (inbound=" + std::to_string(r_.tunnels.inbound.size()) +
                      ", outbound=" + std::to_string(r_.tunnels.outbound.size()) +
                      ", peers=" + std::to_string(r_.peer_sessions.size()) + "). Retrying automatically...",
                  now_, kBootstrapRetryAfterS);
      return Outcome::Keep;
    }
    SamSession* session = r_.ensure_http_proxy_session(now_);
    if (session == nullptr) {
      answer_page(c, 500, "Internal Server Error", "Failed to initialize HTTP proxy SAM session.", now_);
      return Outcome::Keep;
    }
    c.request.assign(req.head.begin(), req.head.end());
    c.request.insert(c.request.end(), body.begin(), body.end());
    c.host = req.host;
    c.port = req.port;
    if (r_.debug) {
      print_debug_line(r_.debug, "[debug] http-proxy req: " + req.method + " http://" + c.host + ":" +
                                     std::to_string(c.port) + req.path);
    }

    return route(c, *session);
  }

  // The host named by the address book: a destination of this router, or one whose
  // LeaseSet2 is at hand or must be looked up. Otherwise a .b32.i2p name (or its alias).
  Outcome route(HttpProxyConn& c, SamSession& session) {
    if (const std::optional<std::string> b64 = r_.resolve_name_local(c.host, std::nullopt, now_)) {
      if (SamSession* local = r_.find_session_by_pub(*b64)) return local_destination(c, session, *local);
      auto dest = common::Destination::from_base64(*b64);
      if (!dest) {
        answer_page(c, 502, "Bad Gateway", "Resolved destination for " + c.host + " is invalid.", now_);
        return Outcome::Keep;
      }
      const common::Hash hash = dest->keys_and_cert.hash();
      if (const netdb::LeaseSet2Ptr ls = r_.netdb.get_lease_set2(hash, now_.wall_s())) {
        return attach(c, session, *dest, *ls);
      }
      return await_lease_set(c, hash);
    }
    std::optional<common::Hash> hash = parse_b32_hash(c.host);
    if (!hash) hash = r_.resolve_b32_alias(c.host);
    if (!hash) {
      answer_page(c, 502, "Bad Gateway",
                  "Unknown .i2p host '" + c.host +
                      "'. Use its .b32.i2p address, add it via --hosts <file>, or visit an ?i2paddresshelper= "
                      "jump URL.",
                  now_);
      return Outcome::Keep;
    }
    if (const netdb::LeaseSet2Ptr ls = r_.netdb.get_lease_set2(*hash, now_.wall_s())) {
      return attach(c, session, ls->destination, *ls);
    }
    return await_lease_set(c, *hash);
  }

  // Requests for the same destination share one lookup.
  Outcome await_lease_set(HttpProxyConn& c, const common::Hash& hash) {
    c.lookup_hash = hash;
    c.state = HttpProxyConnState::AwaitingLeaseSet;
    if (!r_.start_proxy_netdb_lookup(hash, now_)) {
      answer_page(c, 502, "Bad Gateway", "No NetDB floodfill peers available to look up " + c.host + ".", now_);
    }
    return Outcome::Keep;
  }

  // A destination of this router: the browser is joined to a SAM client accepting on it.
  Outcome local_destination(HttpProxyConn& c, const SamSession& proxy, const SamSession& local) {
    const auto acceptor = std::find_if(r_.sam_clients.begin(), r_.sam_clients.end(), [&](const SamClientConn& s) {
      return !s.closed && s.state == SamClientState::Accepting && s.accept_id == local.id;
    });
    if (acceptor == r_.sam_clients.end()) {
      answer_page(c, 502, "Bad Gateway", "Local destination " + c.host + " is not currently accepting streams.", now_);
      return Outcome::Keep;
    }
    StreamBridge bridge;
    // Replies the acceptor has not read yet go first, then (unless silent) the connecting
    // destination on its own line, then the request.
    bridge.to_b = std::move(acceptor->out);
    if (!acceptor->silent) {
      const std::string line = proxy.public_b64 + "\n";
      bridge.to_b.append(as_bytes(line));
    }
    bridge.to_b.append(c.request);
    bridge.to_a.append(acceptor->inbuf);
    bridge.socket_a = std::move(c.socket);
    bridge.socket_b = std::move(acceptor->socket);
    bridge.session_a = proxy.id;
    bridge.session_b = local.id;
    bridge.owned_sessions = std::move(acceptor->created_sessions);
    acceptor->created_sessions.clear();
    acceptor->inbuf.clear();
    acceptor->out.clear();
    acceptor->state = SamClientState::Bridged;
    r_.bridges.push_back(std::move(bridge));
    return Outcome::HandOver;
  }

  Outcome attach(HttpProxyConn& c, SamSession& session, const common::Destination& target,
                 const common::LeaseSet2& ls) {
    return r_.attach_http_proxy_remote_stream(c, session, target, ls, now_) ? Outcome::HandOver : Outcome::Keep;
  }

  Router& r_;
  const Now& now_;
};

}  // namespace

SamSession* Router::ensure_http_proxy_session(const Now& now) {
  if (http_proxy_session_id) {
    if (SamSession* s = find_session_by_id(sessions, *http_proxy_session_id)) return s;
  }
  if (SamSession* s = find_session_by_id(sessions, kHttpProxySessionId)) {
    http_proxy_session_id = std::string(kHttpProxySessionId);
    return s;
  }
  auto t = generate_transient_destination();
  if (!t) return nullptr;
  sessions.push_back(build_client_session(*this, kHttpProxySessionId, *t));
  publish_session_leaseset2(sessions.back(), now);
  http_proxy_session_id = std::string(kHttpProxySessionId);
  return &sessions.back();
}

bool Router::attach_http_proxy_remote_stream(HttpProxyConn& c, SamSession& session, const common::Destination& target,
                                             const common::LeaseSet2& ls, const Now& now) {
  if (!session.streams) {
    answer_page(c, 500, "Internal Server Error", "HTTP proxy I2P session lacks a stream manager.", now);
    return false;
  }
  const std::optional<std::array<std::uint8_t, 32>> key = extract_x25519_key(ls);
  if (!key) {
    answer_page(c, 502, "Bad Gateway", "Target LeaseSet2 for " + c.host + " has no usable X25519 encryption key.", now);
    return false;
  }
  if (ls.leases.empty()) {
    answer_page(c, 502, "Bad Gateway", "Target LeaseSet2 for " + c.host + " contains zero active inbound leases.", now);
    return false;
  }
  const common::Hash target_hash = target.keys_and_cert.hash();
  const std::uint16_t to_port = c.port == 80 ? 0 : c.port;
  auto opened = session.streams->connect(target_hash, now.mono_ms, kFromPort, to_port);
  if (!opened) {
    answer_page(c, 502, "Bad Gateway", "Failed to initiate I2P Streaming handshake to " + c.host + ".", now);
    return false;
  }
  const streaming::ConnectionPtr connection = *opened;
  if (debug) {
    print_debug_line(debug, "[debug] http-proxy -> " + c.host + " (" + target_hash.to_b32_address() +
                                ") port=" + std::to_string(to_port));
  }
  const common::Lease2& first = ls.leases.front();
  RemoteStreamBridge b = connecting_remote_bridge(std::move(c.socket), {.session_id = session.id,
                                                                        .peer_hash = target_hash,
                                                                        .peer_x25519 = *key,
                                                                        .lease = first,
                                                                        .stream_id = connection->local_stream_id,
                                                                        .now_ms = now.mono_ms,
                                                                        .silent = true});
  b.pending_out.append(c.request);
  b.is_http = true;
  b.host = c.host;
  remote_bridges.push_back(std::move(b));
  flush_stream_outbound(session, *connection, target_hash, *key, first.gateway, first.tunnel_id, true, now);
  return true;
}

// The head limit, the LeaseSet2 limit and the answer's linger of every connection; a
// connection whose LeaseSet2 came, or whose lookup ended without it, is due at once (a
// lookup's end is no work of the pass that ends it).
std::uint64_t next_http_proxy_wake_ms(const Router& r, const Now& now) {
  if (!r.http_proxy_listener) return kNoWakeDeadline;
  std::uint64_t wake = kNoWakeDeadline;
  const auto due = [&](std::uint64_t at) { wake = std::min(wake, std::max(at, now.mono_ms)); };
  for (const HttpProxyConn& c : r.http_proxy_conns) {
    if (c.closed) continue;
    if (c.state != HttpProxyConnState::AwaitingLeaseSet) {
      due(http_conn_due_ms(c, kHttpProxyConnLimits));
    } else if (!c.lookup_hash || r.netdb.get_lease_set2(*c.lookup_hash, now.wall_s()) ||
               !r.has_pending_lookup(*c.lookup_hash, LookupKind::LeaseSet)) {
      due(now.mono_ms);
    } else {
      due(lease_set_due_ms(r, c));
    }
  }
  return wake;
}

bool Router::step_http_proxy(const Now& now) {
  if (!http_proxy_listener) return false;
  bool did_work = false;
  for (int i = 0; i < kAcceptsPerPass && http_proxy_conns.size() < kMaxProxyConns; ++i) {
    auto accepted = http_proxy_listener->accept(0);
    if (!accepted || !*accepted) break;
    HttpProxyConn c;
    c.socket = std::move(**accepted);
    c.accepted_ms = now.mono_ms;
    http_proxy_conns.push_back(std::move(c));
    did_work = true;
  }
  ProxyPass pass(*this, now);
  for (std::size_t i = 0; i < http_proxy_conns.size();) {
    HttpProxyConn& c = http_proxy_conns[i];
    const Outcome outcome = c.closed ? Outcome::Finish : pass.step(c, did_work);
    if (outcome == Outcome::Keep) {
      ++i;
      continue;
    }
    // pass may have appended to other lists, never to this one: c is still valid here.
    HttpProxyConn& done = http_proxy_conns[i];
    if (outcome == Outcome::Finish) done.socket.close();
    done.closed = true;
    http_proxy_conns.erase(http_proxy_conns.begin() + static_cast<std::ptrdiff_t>(i));
    did_work = true;
  }
  return did_work;
}

}  // namespace router
