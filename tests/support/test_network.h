#pragma once
// An in-process network of routers for tests and benchmarks.
//
// Each router is started by the router's own start-up code on its own loopback address
// (127.0.0.2, 127.0.0.3, ...; any free port; SAM on 127.0.0.1, any free port), and every
// router's NetDB holds the RouterInfos of all the others. The routers are stepped in turn
// on the calling thread until a condition holds or a time limit passes; each round reads the
// clocks once and passes that Now to every router, as the program's loop does.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cmd/router/startup.h"
#include "common/hash.h"
#include "encoding/error.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/random.h"
#include "router/id_counters.h"
#include "router/router.h"
#include "tunnel/hop_keys.h"

namespace test_support {

// Faults of a lossy network, applied to the Garlic messages that arrive at one router: of
// the messages counted from 1, every drop_every-th is lost, every duplicate_every-th
// arrives twice, and every hold_every-th is held back and arrives after the next one.
// 0 turns a fault off.
struct GarlicFaults {
  std::size_t drop_every = 0;
  std::size_t duplicate_every = 0;
  std::size_t hold_every = 0;
};

// What the faults did so far.
struct GarlicFaultCounts {
  std::size_t arrived = 0;
  std::size_t dropped = 0;
  std::size_t duplicated = 0;
  std::size_t held = 0;
};

struct TestNetworkOptions {
  std::size_t routers = 2;
  bool public_mode = false;
  bool debug = false;
  std::vector<std::size_t> floodfills = {};  // the routers started with --floodfill
};

class TestNetwork {
 public:
  // One pass of one router at the round's time. The default (an empty StepFn) is a round
  // of the routers' whole loop as separate processes run it: every router makes its pass,
  // and when none had anything to do they wait together in one poll over all their
  // sockets, until one is ready or the earliest timer of any falls due (here at most
  // kRoundWaitMs, so that run_until's limit holds).
  using StepFn = std::function<void(router::Router&, const ntcp2_net::Now&)>;
  static constexpr std::uint64_t kRoundWaitMs = 100;

  // The router's whole step, its own wait included: a router that has nothing to do waits
  // for its own sockets only (at most 10 ms here), while the others do not move. What
  // another router holds for it waits out that sleep, so a rate measured this way is not a
  // router's; a benchmark steps loop rounds instead (run_loop_until).
  static void full_step(router::Router& r, const ntcp2_net::Now& now) { r.step(now, now.mono_ms + 10); }
  static void peers_step(router::Router& r, const ntcp2_net::Now& now) { r.step_ntcp2_peers(now); }

  static Result<TestNetwork> create(const TestNetworkOptions& options) {
    TestNetwork net;
    for (std::size_t i = 0; i < options.routers; ++i) {
      router::StartOptions start;
      start.ntcp2_host = "127.0.0." + std::to_string(2 + i);
      start.ntcp2_port = 0;
      start.sam_host = "127.0.0.1";
      start.sam_port = 0;
      start.public_mode = options.public_mode;
      start.debug = options.debug;
      start.floodfill = std::find(options.floodfills.begin(), options.floodfills.end(), i) != options.floodfills.end();
      auto r = router::Router::start(start);
      if (!r) return std::unexpected(std::move(r.error()));
      if (auto added = cmd_router::add_loop_parts(*r); !added) return std::unexpected(std::move(added.error()));
      r->dial_reserved_addresses = true;  // the whole network is on 127.0.0.x
      net.routers_.push_back(std::make_unique<router::Router>(std::move(*r)));
    }
    for (auto& a : net.routers_) {
      for (auto& b : net.routers_) {
        if (a == b) continue;
        if (auto stored = a->netdb.store_router_info(b->router_info); !stored) {
          return std::unexpected(std::move(stored.error()));
        }
      }
    }
    return net;
  }

  TestNetwork() = default;
  TestNetwork(TestNetwork&&) = default;
  TestNetwork& operator=(TestNetwork&&) = default;
  ~TestNetwork() {
    for (auto& r : routers_) r->close();
  }

  std::size_t size() const { return routers_.size(); }
  router::Router& operator[](std::size_t i) { return *routers_.at(i); }
  common::Hash hash(std::size_t i) const { return routers_.at(i)->router_hash(); }

  // Installs a tunnel by hand, as a finished build would leave it: the creator's own
  // tunnel::Tunnel and, on every hop, the matching tunnel::TransitHop. hops are router
  // indexes in travel order (inbound: hops[0] is the gateway; outbound: the last hop is
  // the endpoint). Hop keys come from tunnel::derive_hop_keys over random chaining keys
  // and hashes; the hops' receive ids and the tunnel id come from the creator's tunnel id
  // counter, as in a build. The tunnel lives 600 s from the wall clock's now. Returns the
  // creator's id of the tunnel.
  Result<std::uint32_t> install_tunnel(std::size_t creator, const std::vector<std::size_t>& hops, bool outbound) {
    router::Router& owner = *routers_.at(creator);
    tunnel::Tunnel own;
    own.outbound = outbound;
    own.tunnel_id = router::take_id(owner.next_tunnel_id);
    own.started_s = static_cast<std::uint32_t>(ntcp2_net::read_now().wall_s());
    own.expires_s = own.started_s + 600;
    for (std::size_t i = 0; i < hops.size(); ++i) {
      auto ck = ntcp2_net::random_bytes(32);
      auto h = ntcp2_net::random_bytes(32);
      if (!ck || !h) return std::unexpected(ck ? h.error() : ck.error());
      tunnel::Key32 ck32{}, h32{};
      std::copy(ck->begin(), ck->end(), ck32.begin());
      std::copy(h->begin(), h->end(), h32.begin());
      const bool endpoint = outbound && i + 1 == hops.size();
      auto keys = tunnel::derive_hop_keys(ck32, h32, endpoint);
      if (!keys) return std::unexpected(std::move(keys.error()));
      tunnel::TunnelHop hop;
      hop.router = hash(hops[i]);
      hop.receive_tunnel_id = router::take_id(owner.next_tunnel_id);
      hop.layer_key = keys->layer_key;
      hop.iv_key = keys->iv_key;
      own.hops.push_back(hop);
    }
    for (std::size_t i = 0; i < hops.size(); ++i) {
      const bool last = i + 1 == hops.size();
      tunnel::TransitHop transit;
      transit.receive_tunnel_id = own.hops[i].receive_tunnel_id;
      // Past the last hop: an outbound endpoint has no tunnel to send into; the last hop
      // of an inbound tunnel delivers to the creator under the tunnel id.
      transit.next_tunnel_id = last ? (outbound ? 0 : own.tunnel_id) : own.hops[i + 1].receive_tunnel_id;
      transit.next_router = last ? hash(creator) : own.hops[i + 1].router;
      transit.layer_key = own.hops[i].layer_key;
      transit.iv_key = own.hops[i].iv_key;
      transit.is_endpoint = outbound && last;
      transit.expires_s = own.expires_s;
      own.hops[i].next_tunnel_id = transit.next_tunnel_id;
      routers_.at(hops[i])->tunnels.transit.push_back(std::move(transit));
    }
    const std::uint32_t id = own.tunnel_id;
    (outbound ? owner.tunnels.outbound : owner.tunnels.inbound).push_back(std::move(own));
    return id;
  }

  // The router loses its hop of a tunnel, as a router that restarted would: whatever
  // reaches it for the receive id from now on is not passed on, it takes such a message for
  // itself. Returns the hop, for mend_tunnel_at; none when it has no hop receiving on the id.
  std::optional<tunnel::TransitHop> break_tunnel_at(std::size_t router, std::uint32_t receive_tunnel_id) {
    std::vector<tunnel::TransitHop>& transit = routers_.at(router)->tunnels.transit;
    const auto found = std::find_if(transit.begin(), transit.end(), [&](const tunnel::TransitHop& h) {
      return h.receive_tunnel_id == receive_tunnel_id;
    });
    if (found == transit.end()) return std::nullopt;
    tunnel::TransitHop hop = std::move(*found);
    transit.erase(found);
    return hop;
  }
  // Gives the router back a hop that break_tunnel_at took.
  void mend_tunnel_at(std::size_t router, tunnel::TransitHop hop) {
    routers_.at(router)->tunnels.transit.push_back(std::move(hop));
  }

  // Garlic arriving at the router passes through the faults from now on; the counts are
  // kept up to date while the network runs.
  std::shared_ptr<GarlicFaultCounts> set_garlic_faults(std::size_t router, GarlicFaults faults) {
    struct State {
      GarlicFaults faults;
      std::optional<Bytes> held;
      std::shared_ptr<GarlicFaultCounts> counts = std::make_shared<GarlicFaultCounts>();
    };
    auto state = std::make_shared<State>();
    state->faults = faults;
    routers_.at(router)->garlic_arrival_tap = [state](ByteView garlic) {
      GarlicFaultCounts& c = *state->counts;
      const std::size_t n = ++c.arrived;
      auto every = [n](std::size_t k) { return k != 0 && n % k == 0; };
      std::vector<Bytes> out;
      if (every(state->faults.drop_every)) {
        ++c.dropped;
      } else if (every(state->faults.hold_every) && !state->held) {
        ++c.held;
        state->held = Bytes(garlic.begin(), garlic.end());
        return out;
      } else {
        out.emplace_back(garlic.begin(), garlic.end());
        if (every(state->faults.duplicate_every)) {
          ++c.duplicated;
          out.emplace_back(garlic.begin(), garlic.end());
        }
      }
      if (state->held) {
        out.push_back(std::move(*state->held));
        state->held.reset();
      }
      return out;
    };
    return state->counts;
  }

  // Every router steps once, in order, at the given time.
  void step_all(const ntcp2_net::Now& now, const StepFn& step = {}) {
    if (!step) {
      loop_round(now);
      return;
    }
    for (auto& r : routers_) step(*r, now);
  }

  // Every router's pass, then, when none did work and neither did the caller (outside_work:
  // a client it pumps in the same thread moved bytes), their shared wait.
  void loop_round(const ntcp2_net::Now& now, bool outside_work = false) {
    bool worked = outside_work;
    for (auto& r : routers_) worked = r->step_pass(now) || worked;
    if (worked) return;
    std::vector<router::Router*> all;
    for (auto& r : routers_) all.push_back(r.get());
    router::wait_for_events(all, now, now.mono_ms + kRoundWaitMs);
  }

  // Steps every router in turn until the condition holds (checked before each round) or
  // limit_ms of wall time pass. True when the condition held.
  bool run_until(const std::function<bool()>& condition, int limit_ms, const StepFn& step = {}) {
    return repeat_until(condition, limit_ms, [&] { step_all(ntcp2_net::read_now(), step); });
  }

  // Rounds of the routers' loop with a client the caller pumps between them (pump: true when
  // it moved anything), until the condition holds or limit_ms pass. A router never waits on
  // its own while another has work: what one sends another reads in the same round, as
  // routers in separate processes run side by side. True when the condition held.
  bool run_loop_until(const std::function<bool()>& condition, int limit_ms, const std::function<bool()>& pump) {
    return repeat_until(condition, limit_ms, [&] {
      const bool pumped = pump();
      loop_round(ntcp2_net::read_now(), pumped);
    });
  }

 private:
  // Rounds until the condition holds (checked before each) or limit_ms of wall time pass.
  template <typename Round>
  static bool repeat_until(const std::function<bool()>& condition, int limit_ms, Round&& round) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      round();
    }
    return true;
  }

  std::vector<std::unique_ptr<router::Router>> routers_;
};

}  // namespace test_support
