#pragma once
// The one state record of the running router.
//
// Start-up builds exactly one Router; it lives until the process ends and is never copied.
// Every step of the main loop and every router operation of the client services and the
// BitTorrent client receives it and reads and writes its fields directly: there are no
// handles or events between the parts of the router, only this record and the lists it
// owns. The only callbacks are the loop parts (router/loop_parts.h): through them the
// packages built on the core add their timers and sockets to the loop's wait, which the core
// does not name. Keyed data is found by linear scan. A client session lives as long as the
// SAM connection that created it (the router's own sessions for good), so a session is
// found by id each time it is needed, never held across passes; a SAM client that hung up
// or was closed is forgotten, and pending lookups name SAM clients by a stable id.
//
// Time. The loop reads both clocks once per pass (ntcp2_net::read_now) and hands that one
// `const Now& now` down to every step and every operation that needs the time; nothing
// below reads a clock again, so a whole pass sees one instant and a test moves time by
// passing its own Now. Each function has one form, taking now; there are no variants that
// read the clock themselves.
//   - now.mono_ms (monotonic) measures every interval the router keeps: handshake limits,
//     idle closes, back-offs, queue ages, stall limits, lookup and build time-outs, the
//     maintenance and status periods. Records store such instants as `*_ms` fields on
//     the monotonic clock (started_ms, queued_ms, last_activity_ms, until_ms, ...).
//   - now.wall_ms / now.wall_s() (unix time) is used only where a time goes on the wire or
//     is compared with a peer's: NTCP2 timestamps and the clock-skew check, I2NP
//     expirations, DeliveryStatus timestamps, RouterInfo/LeaseSet2 published and expiry
//     checks, tunnel and lease end dates (`*_s` fields such as expiration_s, expires_s).
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bittorrent/krpc.h"
#include "common/hash.h"
#include "common/router_info.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "i2np/message.h"
#include "i2np/payload.h"
#include "netdb/netdb.h"
#include "noise/key_pair.h"
#include "tunnel/delivery.h"
#include "tunnel/reassembler.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/pending_accept.h"
#include "ntcp2_net/poll_set.h"
#include "ntcp2_net/replay_cache.h"
#include "ntcp2_net/tcp_listener.h"
#include "ntcp2_net/tcp_socket.h"
#include "router/bounded_lists.h"
#include "router/loop_parts.h"
#include "router/message_origin.h"
#include "router/own_router_info.h"
#include "router/peer_records.h"
#include "router/poll_set.h"
#include "router/random.h"
#include "router/session_records.h"
#include "router/torrent_records.h"
#include "router/transit_records.h"
#include "router/tunnel_records.h"
#include "services/service_records.h"

namespace router {

using ntcp2_net::Now;

// (host name, value) pairs of the address book.
using AliasTable = std::vector<std::pair<std::string, std::string>>;

// What router::Router::start needs from the command line.
struct StartOptions {
  std::string ntcp2_host = "127.0.0.1";
  std::uint16_t ntcp2_port = 0;
  std::string sam_host = "127.0.0.1";
  std::uint16_t sam_port = 7656;
  bool public_mode = false;
  bool floodfill = false;
  bool check_clock_skew = true;
  std::int32_t hops = 1;
  bool debug = false;
};

struct Router {
  std::array<std::uint8_t, 32> signing_key{};
  noise::KeyPair static_keypair;
  std::array<std::uint8_t, 16> ntcp2_iv{};
  common::RouterInfo router_info;
  netdb::NetDb netdb;
  tunnel::TunnelManager tunnels;
  ntcp2_net::TcpListener ntcp2_listener;
  ntcp2_net::TcpListener sam_listener;
  bool check_clock_skew = true;
  bool public_mode = false;
  std::int32_t tunnel_hops = 1;  // always within 1..4
  bool debug = false;
  std::uint32_t next_msg_id = 1;
  std::uint32_t next_tunnel_id = 10000;
  std::uint32_t next_stream_id_seed = 100;
  std::int32_t next_sam_client_id = 1;  // ids of SAM clients, never 0 or negative
  ntcp2_net::ReplayCache ntcp2_replay_cache;
  std::vector<ntcp2_net::PendingNtcp2Accept> pending_accepts;
  std::vector<PendingPeerDial> pending_dials;
  std::vector<PeerSession> peer_sessions;
  std::vector<PendingPeerSend> pending_sends;
  std::size_t pending_send_bytes = 0;  // the sum of pending_sends' bytes, at most 8 MiB
  std::vector<PendingNetDbLookup> pending_lookups;
  std::vector<PendingTunnelBuild> pending_builds;
  AcceptedBuildKeys accepted_build_keys;  // of requests to take part, for replays
  tunnel::FragmentReassembler reassembler;
  std::vector<SamSession> sessions;
  std::vector<SamClientConn> sam_clients;
  std::vector<StreamBridge> bridges;
  std::vector<RemoteStreamBridge> remote_bridges;
  AliasTable dest_aliases;
  AliasTable b32_aliases;
  std::vector<PeerBackoff> peer_backoff;     // at most 512
  std::vector<RatchetReset> ratchet_resets;  // at most 256
  std::optional<ntcp2_net::TcpListener> http_proxy_listener;
  std::vector<HttpProxyConn> http_proxy_conns;
  std::optional<std::string> http_proxy_session_id;
  std::optional<TorrentEngine> torrent_engine;
  std::optional<ntcp2_net::TcpListener> torrent_api_listener;
  std::vector<TorrentApiConn> torrent_api_conns;
  std::int32_t lease_rotation = 0;        // never above 0x3FFFFFFF
  std::int32_t outbound_rotation = 0;     // never above 0x3FFFFFFF
  std::uint64_t last_maintenance_ms = 0;  // monotonic; 0 before the first maintenance
  std::uint64_t last_exploration_ms = 0;  // monotonic; 0 before the first exploration
  // The process's descriptor limit and the descriptors open after start-up, read at start;
  // 0 when unknown. The last kDescriptorReserve descriptors are kept for dials, closes and
  // the console: an inbound connection that would take one of them makes room by closing
  // the oldest handshake, or is refused.
  std::int32_t descriptor_limit = 0;
  std::int32_t descriptors_at_start = 0;
  // Public mode never dials an address in a reserved range (private networks, loopback,
  // link-local, ...). Only tests whose public network runs on 127.0.0.x set this.
  bool dial_reserved_addresses = false;
  // Tests only: when set, every Garlic message that arrives is given to it first, and the
  // messages it returns are handled in its place (none: dropped, two: duplicated, one held
  // back and returned later: reordered), as a lossy network would deliver them.
  std::function<std::vector<Bytes>(ByteView garlic)> garlic_arrival_tap;
  // The loop's wait (router/poll_set.h): the descriptors that ended the last wait, and those
  // left out of the waits until a pass does work again.
  std::vector<int> last_wake_fds;
  std::vector<int> quiet_fds;
  // The parts of the packages built on the record whose timers and sockets the loop's wait
  // takes as well (router/loop_parts.h).
  LoopParts loop_parts;
  IdentityHashCache own_hash;  // of router_info's identity, for router_hash()
  FillerRandom filler_random;      // padding and other filler that needs no secrecy
  SystemRandomPool system_random;  // tunnel IVs: system bytes, read ahead
  // While set, messages sent on links wait in the links' queues and leave together at the
  // end of the pass, the stream step, the session pass or the tunnel send that set it, many
  // frames in one write (holding_link_sends).
  bool hold_link_sends = false;
  // While set (a session pass reading a link's frames), cells relayed for other routers'
  // tunnels wait here, in arrival order, and get their layers together; they go on before
  // any other message is handled, or when the pass ends (flush_transit_cells). At most
  // kQueuedTransitCells wait.
  struct QueuedTransitCell {
    std::uint32_t tunnel_id = 0;
    int carrier_depth = 0;
    tunnel::RelayedCell relayed;
  };
  static constexpr std::size_t kQueuedTransitCells = 16;
  bool batch_transit_cells = false;
  std::vector<QueuedTransitCell> queued_transit_cells;
  std::vector<QueuedTransitCell> flushing_transit_cells;

  // Movable: no record it owns points into it (the replay cache is handed to each inbound
  // handshake step), so start-up may build it in place and return it.
  Router() = default;
  Router(const Router&) = delete;
  Router& operator=(const Router&) = delete;
  Router(Router&&) = default;
  Router& operator=(Router&&) = default;

  // --- Start-up and the loop ---------------------------------------------------------

  // Keys, transient identity, the NTCP2 and SAM listeners, the own signed RouterInfo in a
  // new NetDB, the id counters, and the record itself. Reads the clocks once, for the
  // RouterInfo's published time.
  static Result<Router> start(const StartOptions& options);

  // One pass of the main loop at now. Never fails. When the pass did nothing it waits, in
  // one poll over every socket the loop reads, until one is ready or the earliest timer of
  // the router (or wake_by_ms, monotonic) falls due: at most 1,000 ms.
  void step(const Now& now, std::uint64_t wake_by_ms = kNoWakeDeadline);
  // The pass of step without its wait; true when it did work.
  bool step_pass(const Now& now);
  // Adds every socket the loop will read now (tags: PollKind) and every link with bytes to
  // send, the sockets of the loop parts included (router/poll_set.cpp).
  void collect_poll_fds(ntcp2_net::PollSet& set) const;
  // The earliest monotonic instant at which a timer of the router or of one of its loop
  // parts falls due, at most 1,000 ms after now.
  std::uint64_t next_wake_ms(const Now& now) const;

  // Closes every socket the record holds; the lists stay in place.
  void close();

  // The public-mode maintenance, at most once every 1,500 ms.
  void step_public_bootstrap(const Now& now);

  // The router hash (identity hash of the own RouterInfo).
  common::Hash router_hash() const;

  // --- NTCP2 peers ---------------------------------------------------------------------
  // One non-waiting pass over accepts, handshakes, queued sends and sessions; true when it
  // did work.
  bool step_ntcp2_peers(const Now& now);
  bool has_connected_peer(const common::Hash& peer) const;
  void mark_peer_failed(const common::Hash& peer, std::uint64_t backoff_ms, const Now& now);
  // Removes every expired entry it passes.
  bool is_peer_backed_off(const common::Hash& peer, const Now& now);
  std::vector<common::Hash> pick_usable_peers(std::size_t count, const std::vector<common::Hash>& excluded,
                                              const Now& now);
  std::optional<common::Hash> pick_connected_hop(const std::vector<common::Hash>& excluded, const Now& now);
  void ensure_peer_dial(const common::Hash& peer, const Now& now);
  // The single exit of every I2NP message: sent on the newest link of the peer, or queued
  // (and a dial started) for up to 15,000 ms, within 256 KiB per peer and 8 MiB in all; a
  // message to the own hash is handled locally on the next pass. A message that needs a new
  // dial while 16 dials are in progress is dropped.
  void send_i2np_to_peer(const common::Hash& peer, i2np::I2npPayload payload, const Now& now,
                         std::optional<std::uint32_t> msg_id = std::nullopt);
  // Writes what every link holds (hold_link_sends); a link whose write fails is closed, and
  // its session ends at its next step.
  void flush_link_sends(const Now& now);
  // Runs step with link sends held and writes them after it, unless a caller further out
  // already holds them; returns what step returns.
  template <typename Step>
  auto holding_link_sends(const Now& now, Step&& step) {
    struct Release {
      Router& router;
      bool held;
      const Now& now;
      ~Release() {
        router.hold_link_sends = held;
        if (!held) router.flush_link_sends(now);
      }
    } release{*this, std::exchange(hold_link_sends, true), now};
    return step();
  }
  // Sends the peer's queued messages, in order, on a new session.
  void flush_pending_sends_for(const common::Hash& peer, PeerSession& session, const Now& now);
  // Queues one frame holding a single 4-byte Padding block on the session's link.
  Result<void> send_keepalive(PeerSession& session, const Now& now);

  // --- Received I2NP messages --------------------------------------------------------------
  // The entry of every message that arrives as it is: over a link (from: the peer) or out
  // of the router's own send queue (from: the own hash). Nothing is reported back; a
  // message that cannot be used is dropped, with debug sometimes with one "[debug] " line.
  void handle_i2np_message(const std::optional<common::Hash>& from, const i2np::I2npShortHeader& header,
                           const i2np::I2npPayload& payload, const Now& now);
  // Routes one message by its type, once its way in and depth admit it (message_origin.h).
  // Cloves, tunnel messages and TunnelGateway contents come back here one level deeper.
  void dispatch_i2np_message(const Arrival& arrival, const i2np::I2npShortHeader& header,
                             const i2np::I2npPayload& payload, const Now& now);
  // Offers garlic to its openers in turn; the first that opens it owns it: the reply to an
  // own tunnel build, the answer to an own lookup, each client session (in public mode
  // only out of an own inbound tunnel), the router's own key.
  void handle_garlic(const Arrival& arrival, ByteView garlic, const Now& now);

  // --- Tunnel endpoints, relays and sending through own tunnels ----------------------------
  // A TunnelData message: the end of an own inbound tunnel, else a hop of another router's
  // tunnel, whose cell is sent on or, at its outbound endpoint, read here.
  void relay_tunnel_data(const Arrival& arrival, const i2np::I2npPayload::TunnelData& message, const Now& now);
  // Layers, then sends on (or reads, at an outbound endpoint) the queued transit cells, in
  // the order they came.
  void flush_transit_cells(const Now& now);
  // A TunnelGateway message: for a tunnel this router is the inbound gateway of, the
  // message is cut into cells and sent in; for any other id it is for this router.
  void relay_tunnel_gateway(const Arrival& arrival, const i2np::I2npPayload::TunnelGateway& message, const Now& now);
  // Reads one cleartext cell that came out of source and delivers each message it
  // completes (one level deeper than the TunnelData that carried it, carrier_depth). A
  // cell whose padding, checksum or any fragment is bad delivers nothing. checksum_checked:
  // tunnel::check_cell_checksums passed the cell already.
  void consume_cleartext_cell(const tunnel::CellSource& source, ByteView cell, int carrier_depth, const Now& now,
                              bool checksum_checked = false);
  // Decodes one message with the standard header and delivers it: Local here, under
  // arrival; Router and Tunnel onwards, except out of an own inbound tunnel, whose
  // gateway must not be able to make this router send where it says.
  void deliver_reassembled_payload(const Arrival& arrival, const tunnel::TunnelDelivery& delivery, ByteView message,
                                   const Now& now);
  // Sends payload through the own outbound tunnel with that id, for its endpoint to deliver
  // as delivery says. Fails with RouterError::Message (no such tunnel, no hops),
  // RouterError::I2np, RouterError::Net (random source) or RouterError::Tunnel; cells
  // already sent stay sent.
  Result<void> send_through_tunnel(std::uint32_t outbound_tunnel_id, const tunnel::TunnelDelivery& delivery,
                                   const i2np::I2npPayload& payload, std::optional<std::uint32_t> msg_id,
                                   const Now& now);
  // Sends payload to a router, or with a tunnel id into the tunnel whose gateway it is,
  // through an outbound tunnel chosen round-robin. Without one, or when that send fails,
  // it goes directly -- except in public mode, where a direct send would tell the
  // receiver which router speaks for the destination, and the message is dropped.
  void send_routed_i2np(const common::Hash& router_hash, std::optional<std::uint32_t> tunnel_id,
                        const i2np::I2npPayload& payload, const Now& now);

  // --- Tunnels, lookups, client destinations --------------------------------------------
  // Builds an own tunnel through hops (travel order, 1 to 8): the build message goes to
  // hops[0] directly or through send_via (an own outbound tunnel); an outbound build's
  // endpoint replies through reply_tunnel (an own inbound tunnel) when one is given. The
  // build waits in pending_builds for its reply; the result is the new tunnel's id.
  Result<std::uint32_t> build_tunnel(const std::vector<common::Hash>& hops, bool outbound,
                                     const std::optional<tunnel::Tunnel>& reply_tunnel,
                                     const std::optional<tunnel::Tunnel>& send_via, const Now& now);
  // Where build replies and requests arrive. The garlic reply of an outbound build is
  // recognised by its one-time tag (true: taken, whatever became of the build); the
  // records of a reply complete the pending build sent under msg_id (true when one was).
  bool try_handle_build_garlic_reply(ByteView garlic, const Now& now);
  bool try_complete_pending_tunnel_build(std::uint32_t msg_id, const std::vector<Bytes>& records, const Now& now);
  // A ShortTunnelBuild: the reply to an own inbound build, or a request to take part.
  void handle_short_tunnel_build(std::uint32_t msg_id, const std::vector<Bytes>& records, const Now& now);
  // Where lookups and their answers arrive: a DatabaseLookup to answer (sender: the
  // router it came from over a link, if any), a DatabaseSearchReply for a pending lookup,
  // and a LeaseSet2 just stored that pending lookups may wait for.
  void handle_database_lookup_msg(const std::optional<common::Hash>& sender,
                                  const i2np::I2npPayload::DatabaseLookup& lookup, const Now& now);
  void handle_database_search_reply_msg(const i2np::I2npPayload::DatabaseSearchReply& reply, const Now& now);
  void complete_lookups_for_hash(const common::Hash& key, const Now& now);
  void poll_tunnel_builds(const Now& now);
  // Starts at most one inbound and then one outbound build when tunnels are wanted.
  void run_build_policy(const Now& now);
  // The lookup pass: answers, re-queries and time-outs of the pending lookups.
  void step_pending_lookups(const Now& now);
  // True when a lookup of this key and type is pending, whatever its purpose.
  bool has_pending_lookup(const common::Hash& key, LookupKind lookup_type) const;
  // A RouterInfo (type 2) or exploratory (type 3) lookup of the router's own, asking
  // first_peer first when given. Nothing is started while 64 of them are pending.
  void start_background_lookup(const common::Hash& key, LookupKind lookup_type, const Now& now,
                               std::optional<common::Hash> first_peer = std::nullopt);
  // A LeaseSet lookup for a client (purpose 0 NAMING LOOKUP, 1 STREAM CONNECT, 3 polled).
  // False when no router can be asked, the random source fails or 256 client lookups are
  // pending; nothing is recorded then.
  bool start_netdb_lookup(const common::Hash& key, std::uint32_t purpose, std::int32_t client_index,
                          std::string_view name, std::string_view session_id, bool silent, std::uint32_t from_port,
                          std::uint32_t to_port, const Now& now);
  // The same for a lookup no client waits on (purpose 3): its answer is only stored, and
  // whoever needs the LeaseSet2 polls the NetDB for it.
  bool start_polled_lease_set_lookup(const common::Hash& key, const Now& now);
  // Up to n floodfills closest to the key on the day of now_s, or routers of any kind
  // when no floodfill is left; never the own router nor an excluded one.
  std::vector<common::Hash> select_lookup_peers(const common::Hash& key, const std::vector<common::Hash>& excluded,
                                                std::uint32_t now_s, std::size_t n) const;
  // Asks one router, under a seal of its own. Fails only when the random source does;
  // then nothing was sent.
  Result<void> send_lookup_query(PendingNetDbLookup& lookup, const common::Hash& peer, const Now& now);
  // Opens the stream of a SAM STREAM CONNECT whose peer's LeaseSet2 arrived.
  void finish_remote_stream_connect(const PendingNetDbLookup& lookup, const common::LeaseSet2& lease_set,
                                    const Now& now);
  // A new publication of every session (router/publication.h); the tunnel event of a new
  // inbound tunnel, and of the maintenance's removal of some.
  void republish_all_sessions(const Now& now);
  // The session's signed LeaseSet2, also offered to the NetDB; none when the session
  // cannot have one. Records it in the session as the last one built.
  std::optional<common::LeaseSet2> build_session_leaseset2(SamSession& session, const Now& now);
  // A new publication (router/publication.h): builds the session's LeaseSet2 and stores it
  // at the 3 floodfills closest to it, each store to be confirmed; in public mode without
  // an inbound and an outbound tunnel it waits for them.
  void publish_session_leaseset2(SamSession& session, const Now& now);
  // True when the hash is the destination of one of the local client sessions.
  bool is_local_destination(const common::Hash& hash) const;
  // A DatabaseStore from the network into the NetDB, as NetDb::handle_database_store,
  // except that a LeaseSet2 of a local destination is never taken (false): the router
  // builds those itself, and an older copy (a saved destination used before) must not
  // replace them.
  Result<bool> store_from_network(const i2np::I2npPayload::DatabaseStore& store, const Now& now);
  // The per-destination throttle of ratchet resets (monotonic milliseconds).
  bool try_acquire_ratchet_reset(const common::Hash& destination, std::uint64_t now_ms, std::uint64_t window_ms);

  // --- Client services -------------------------------------------------------------------
  // Holds a new SAM client with a fresh id; at most 64 clients that have not sent a line
  // are held, the oldest of them is closed to make room.
  void push_sam_client(ntcp2_net::TcpSocket socket);
  // The SAM client with this id that is still held (open or not), or nullptr.
  SamClientConn* find_sam_client(std::int32_t id);
  // One non-waiting pass over the SAM clients: replies are sent as far as the sockets take
  // them, lines are read and answered; finished clients are removed and the sessions they
  // created end.
  bool step_sam_clients(const Now& now);
  bool step_http_proxy(const Now& now);
  // One non-waiting pass over the local bridges; finished bridges are removed.
  bool step_bridges(const Now& now);
  bool step_remote_bridges(const Now& now);
  // Sends every envelope waiting in the connection's outbox as one garlic message each to
  // the peer (its hash and 32-byte X25519 key), through a current lease of the peer's
  // LeaseSet2 chosen round-robin, else through the given gateway and tunnel id. The
  // session's LeaseSet2 goes along with the first when force is set or no ratchet session
  // with the peer can send. A peer key of another length leaves the outbox as it is;
  // failures drop the affected envelope (tracked packets come again with the resend).
  void flush_stream_outbound(SamSession& session, streaming::StreamConnection& connection,
                             const common::Hash& peer_hash, ByteView peer_key, const common::Hash& gateway,
                             std::uint32_t tunnel_id, bool force, const Now& now);
  // The session's own LeaseSet2 as a Local clove holding a DatabaseStore, to go along
  // with a message to a peer; none when it cannot be built or encoded, an error when the
  // clove cannot be made.
  Result<std::optional<ratchet::RatchetBlock>> own_leaseset_clove(SamSession& session, const Now& now);
  // The timed resend of every stream of every session, then the flush of each outbox
  // whose peer's LeaseSet2 is known. True when something was queued or sent.
  bool step_stream_connections(const Now& now);
  // Ends a client session: its open streams are reset (the peers learn at once that they
  // are gone), it leaves `sessions`, its LeaseSet2 leaves the NetDB (so it is neither
  // published nor answered again), and the bridges of its streams and the clients
  // accepting on it are closed. Nothing happens for an unknown id.
  void end_session(std::string_view id, const Now& now);
  // A STREAM CONNECT of the client to a destination of another router whose LeaseSet2 is
  // known.
  void initiate_remote_stream(std::int32_t client_id, const SamSession& session, const common::Destination& peer,
                              const common::LeaseSet2& lease_set, bool silent, std::uint32_t from_port,
                              std::uint32_t to_port, const Now& now);
  // True when a remote bridge that is established and not closing goes to the peer.
  bool has_active_bridge_to(const common::Hash& peer) const;
  // The HTTP proxy's own client session "__http_proxy__", made on first use (or taken over
  // when a SAM client made one of that name); none when no destination can be generated.
  SamSession* ensure_http_proxy_session(const Now& now);
  // Opens a stream from the proxy session to the target and moves the browser's socket to
  // a new remote bridge; false after an error page was queued on the connection.
  bool attach_http_proxy_remote_stream(HttpProxyConn& conn, SamSession& session, const common::Destination& target,
                                       const common::LeaseSet2& lease_set, const Now& now);

  // Address book: a b32 value goes to b32_aliases, anything else to dest_aliases.
  void register_alias(std::string_view name, std::string_view value);
  // The number of aliases registered from a hosts file.
  Result<std::size_t> load_hosts_file(std::string_view path);
  // The first session with exactly this id, or nullptr.
  static SamSession* find_session_by_id(std::vector<SamSession>& list, std::string_view id);
  static const SamSession* find_session_by_id(const std::vector<SamSession>& list, std::string_view id);
  // The first session whose public Base64 Destination is exactly this text, or nullptr.
  SamSession* find_session_by_pub(std::string_view public_b64);
  // The hash of the name's b32 alias (the name in any case), or none.
  std::optional<common::Hash> resolve_b32_alias(std::string_view name) const;
  // A Base64 Destination for the name from the address book, the local sessions and the
  // NetDB, or none; "ME" is the Destination of the session with session_id.
  std::optional<std::string> resolve_name_local(std::string_view name, std::optional<std::string_view> session_id,
                                                const Now& now) const;
  // The destination hash a host text names (a b32 address, 52 Base32 letters, 64 hex
  // digits, an alias or a locally resolvable name), or none.
  std::optional<common::Hash> resolve_i2p_host_hash(std::string_view text, const Now& now) const;
  // True when a LeaseSet lookup for the hash is under way (started now or before); its
  // starter polls the NetDB for the answer.
  bool start_proxy_netdb_lookup(const common::Hash& hash, const Now& now);

  // --- BitTorrent client -----------------------------------------------------------------
  // Creates the engine and its session "__torrent__" once; every call creates the folder
  // (trimmed; empty: the default) and a non-empty one becomes the engine's default.
  Result<void> enable_torrent_engine(std::string_view download_dir, const Now& now);
  // One non-waiting pass of the engine; true when it did work.
  bool step_torrent_engine(const Now& now);
  bool step_torrent_api(const Now& now);
  // The registry (torrent/engine.h has the lookups). Adds return the info hash hex.
  Result<std::string> add_torrent_bytes(ByteView torrent_file, std::string_view download_dir, const Now& now);
  Result<std::string> add_torrent_magnet(std::string_view uri, std::string_view download_dir, const Now& now);
  bool pause_torrent(std::string_view info_hash_hex, const Now& now);
  bool remove_torrent(std::string_view info_hash_hex, const Now& now);
  // Peer connections of the engine's session (torrent/peer_steps.cpp, piece_exchange.cpp).
  void bt_mark_peer_ratchet_stale(TorrentEngine& engine, SamSession& session, const TorrentPeerConn& conn,
                                  const RatchetMarking& marking, std::string_view reason, const Now& now);
  bool bt_flush_peer_send_buf(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                              TorrentPeerConn& conn, const Now& now);
  bool bt_send_peer_wire(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                         TorrentPeerConn& conn, ByteView encoded, const Now& now);
  void bt_send_post_handshake(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                              ActiveTorrent& torrent, TorrentPeerConn& conn, const Now& now);
  void bt_process_peer_messages(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                                ActiveTorrent& torrent, TorrentPeerConn& conn, const Now& now);
  void bt_schedule_piece_requests(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                                  ActiveTorrent& torrent, TorrentPeerConn& conn, const Now& now);
  void bt_handle_ext_message(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                             ActiveTorrent& torrent, TorrentPeerConn& conn, std::uint8_t id, ByteView payload,
                             const Now& now);

  // Trackers and the DHT of the engine's session (torrent/tracker_steps.cpp,
  // torrent/dht_steps.cpp, services/torrent_egress.cpp).
  // One I2CP envelope (ports and protocol already set) to the destination in one garlic
  // message, with the session's LeaseSet2 ahead of it when attach_leaseset is set. True
  // when the message went to the tunnels.
  bool send_torrent_i2cp(SamSession& session, const common::Hash& dest, ByteView payload, bool attach_leaseset,
                         const Now& now);
  bool step_trackers(TorrentEngine& engine, SamSession& session, streaming::StreamManager& streams, const Now& now);
  bool send_dht_query(TorrentEngine& engine, SamSession& session, const common::Hash& dest, std::uint32_t port,
                      const bittorrent::KrpcQuery& query, const Now& now,
                      const std::optional<Bytes>& info_hash = std::nullopt);
  void send_dht_reply(TorrentEngine& engine, SamSession& session, const common::Hash& dest, std::uint32_t reply_port,
                      ByteView tid, ByteView nodes, const std::vector<Bytes>& values, const std::optional<Bytes>& token,
                      const Now& now);
  bool poll_dht_datagrams(TorrentEngine& engine, SamSession& session, streaming::StreamManager& streams,
                          const Now& now);
  bool step_dht(TorrentEngine& engine, SamSession& session, const Now& now);
  bool enqueue_dht_bootstrap(TorrentEngine& engine, const common::Hash& dest, std::uint32_t port, const Now& now);

  // --- Bootstrap from RouterInfo files ---------------------------------------------------
  Result<common::RouterInfo> load_peer_file(std::string_view path);
  Result<std::size_t> load_peer_dir(std::string_view folder);
  // The number of RouterInfos of an SU3 reseed bundle newly stored or replaced.
  Result<std::size_t> load_reseed_su3_bytes(ByteView su3);
  Result<std::size_t> reseed_from_url(std::string_view url);

  // --- Torrent API (torrent/api_*.cpp) -----------------------------------------------------
  // Checks and routes one complete request and queues its answer on the connection.
  void dispatch_torrent_api_request(TorrentApiConn& conn, const Now& now);
  // The GET documents: compact JSON, members in a fixed order.
  std::string build_api_status_json() const;
  std::string build_api_torrents_json(const std::optional<TorrentEngine>& engine) const;
  std::string build_api_dht_nodes_json() const;

 private:
  // The phases of step_ntcp2_peers, in order; each reports whether it did work.
  bool accept_ntcp2_connections(const Now& now);
  bool step_pending_accepts(const Now& now);
  bool step_pending_dials(const Now& now);
  bool deliver_queued_sends(const Now& now);
  bool step_peer_sessions(const Now& now);
  // One session's flush, reads and idle check; false when the session has ended (its
  // socket closed, its penalty applied).
  bool step_peer_session(std::size_t index, const Now& now, bool& did_work);
  // Appends a session in place of an older one of the peer in the same direction, and sends
  // what waited for its peer; dialled (outbound) prints the debug line of a finished dial.
  void add_peer_session(const common::Hash& peer, ntcp2_net::Ntcp2Conn conn, const Now& now, bool dialled);
  // Queues a message until its peer's link stands, within 256 KiB per peer and 8 MiB in
  // all; false (with a debug line) when it does not fit and is dropped.
  bool queue_for_peer(const common::Hash& peer, std::uint32_t id, std::uint32_t expiration, i2np::I2npPayload payload,
                      const Now& now);
};

// The b32 address of the client session "__torrent__", or "" when there is none.
std::string torrent_b32_address(const std::vector<SamSession>& sessions);

// Queues one SAM reply line and its line feed on the client and sends what the socket takes
// now; the rest goes out in later passes. Never waits. A client whose queue would pass
// 256 KiB is closed instead; a failed send is ignored (the next read notices a client that
// went away).
void send_sam_line(SamClientConn& client, std::string_view line);

// Closes a SAM client: what its socket takes of its queued replies now is sent, then the
// socket is closed and the client marked closed. It is removed in the next SAM pass.
void close_sam_client(SamClientConn& client);

}  // namespace router
