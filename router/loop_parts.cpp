#include "router/loop_parts.h"

#include <algorithm>

#include "router/router.h"

namespace router {

Result<void> add_loop_part(Router& r, const LoopPart& part) {
  LoopParts& table = r.loop_parts;
  const std::span<const LoopPart> added = table.added();
  if (std::find(added.begin(), added.end(), part) != added.end()) return {};
  if (table.count == table.parts.size()) {
    return fail(RouterError::Message, msg("no room for another loop part: ", kMaxLoopParts, " held"));
  }
  table.parts[table.count++] = part;
  return {};
}

}  // namespace router
