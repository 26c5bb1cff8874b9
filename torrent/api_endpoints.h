#pragma once
// The torrent API's endpoints: what each POST reads from its body and does to the engine,
// and the answer it gives. The GET documents are members of the router record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "encoding/bytes.h"
#include "router/router.h"

namespace router {

// Status, reason phrase and JSON document of one answer.
struct ApiAnswer {
  int status = 200;
  std::string_view reason = "OK";
  std::string body;
  // Leading bytes of body that are not part of the document but room for the head.
  std::size_t body_at = 0;
};

ApiAnswer api_answer_error(int status, std::string_view text);

// A POST request as the endpoints see it: the lower-cased Content-Type, the body bytes and
// their UTF-8 text (empty when the bytes are not UTF-8).
struct ApiPost {
  std::string_view content_type;
  ByteView body;
  std::string_view text;
};

ApiAnswer api_post_add(Router& router, const ApiPost& post, const Now& now);
ApiAnswer api_post_magnet(Router& router, const ApiPost& post, const Now& now);
ApiAnswer api_post_remove(Router& router, const ApiPost& post, const Now& now);
ApiAnswer api_post_pause(Router& router, const ApiPost& post, const Now& now);
ApiAnswer api_post_resume(Router& router, const ApiPost& post, const Now& now);
ApiAnswer api_post_dht_bootstrap(Router& router, const ApiPost& post, const Now& now);

// The port member of a bootstrap body: the digits after the first "port" key that has a
// colon and at least one digit; 1..65535 is taken, anything else (and no such member) is
// 6881.
std::uint32_t api_bootstrap_port(std::string_view text);

}  // namespace router
