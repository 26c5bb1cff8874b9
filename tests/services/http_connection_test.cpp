// The HTTP connection machine shared by the HTTP proxy and the torrent API: its table of
// limits with the proxy's limits and with small ones of its own, and what a closed
// connection asks for.
#include <gtest/gtest.h>

#include "services/http_proxy.h"
#include "tests/services/http_connection_cases.h"

namespace router::http_connection_test {
namespace {

TEST(HttpConnection, LimitsTableWithTheProxysLimits) { run_connection_table(kHttpProxyConnLimits); }

TEST(HttpConnection, LimitsTableWithSmallLimits) {
  run_connection_table(HttpConnLimits{.read_per_pass = 100,
                                      .max_head_bytes = 300,
                                      .head_timeout_ms = 50,
                                      .answer_timeout_ms = 7,
                                      .drain_timeout_ms = 3});
}

TEST(HttpConnection, AClosedConnectionAsksForNothing) {
  HttpConnection c;
  c.closed = true;
  for (const HttpConnPhase phase : {HttpConnPhase::Reading, HttpConnPhase::Writing, HttpConnPhase::Draining}) {
    c.phase = phase;
    EXPECT_FALSE(http_conn_wants(c, true).read);
    EXPECT_FALSE(http_conn_wants(c, true).write);
  }
  EXPECT_FALSE(step_http_answer(c, kHttpProxyConnLimits, 0));
}

}  // namespace
}  // namespace router::http_connection_test
