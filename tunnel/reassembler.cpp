#include "tunnel/reassembler.h"

#include <algorithm>

#include "tunnel/cell.h"

namespace tunnel {

namespace {

auto key_is(const CellSource& source, std::uint32_t msg_id) {
  return [&source, msg_id](const PendingReassembly& p) { return p.msg_id == msg_id && p.source == source; };
}

}  // namespace

bool PendingReassembly::has(int number) const {
  return std::ranges::any_of(fragments, [number](const auto& f) { return f.first == number; });
}

PendingReassembly& FragmentReassembler::find_or_insert(const CellSource& source, std::uint32_t msg_id) {
  const auto found = std::ranges::find_if(pending, key_is(source, msg_id));
  if (found != pending.end()) return *found;
  if (pending.size() >= kMaxPending) pending.erase(pending.begin());
  PendingReassembly fresh;
  fresh.source = source;
  fresh.msg_id = msg_id;
  return pending.emplace_back(std::move(fresh));
}

std::optional<ReassembledMessage> FragmentReassembler::try_finish(const CellSource& source, std::uint32_t msg_id) {
  const auto entry = std::ranges::find_if(pending, key_is(source, msg_id));
  if (entry == pending.end() || !entry->delivery || entry->last_number <= 0) return std::nullopt;
  const auto count = static_cast<std::size_t>(entry->last_number) + 1;
  if (entry->fragments.size() != count) return std::nullopt;
  // Numbers are unique, so count fragments within 0..last are exactly those numbers.
  std::vector<const Bytes*> ordered(count, nullptr);
  std::size_t total = 0;
  for (const auto& [number, data] : entry->fragments) {
    if (number < 0 || number > entry->last_number) return std::nullopt;
    ordered[static_cast<std::size_t>(number)] = &data;
    total += data.size();
  }
  ReassembledMessage out{*entry->delivery, {}};
  out.message.reserve(total);
  for (const Bytes* data : ordered) out.message.insert(out.message.end(), data->begin(), data->end());
  pending.erase(entry);
  return out;
}

std::optional<ReassembledMessage> FragmentReassembler::add(const CellSource& source, TunnelFragment fragment) {
  if (auto* first = std::get_if<TunnelFragment::First>(&fragment.value)) {
    if (!first->fragmented) return ReassembledMessage{std::move(first->delivery), std::move(first->data)};
    PendingReassembly& entry = find_or_insert(source, first->msg_id);
    entry.delivery = std::move(first->delivery);
    if (!entry.has(0)) entry.fragments.emplace_back(0, std::move(first->data));
    return try_finish(source, first->msg_id);
  }
  auto& follow = std::get<TunnelFragment::FollowOn>(fragment.value);
  // Numbers from a cell are six bits; anything else cannot belong to a message, and
  // refusing it keeps an entry at 64 fragments at most.
  if (follow.number < 0 || follow.number > kMaxFollowOnNumber) return std::nullopt;
  PendingReassembly& entry = find_or_insert(source, follow.msg_id);
  if (!entry.has(follow.number)) entry.fragments.emplace_back(follow.number, std::move(follow.data));
  if (follow.is_last) entry.last_number = follow.number;
  return try_finish(source, follow.msg_id);
}

}  // namespace tunnel
