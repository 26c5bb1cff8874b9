// Bencode decoding against libtorrent's bdecode in the same run, on the same bytes.
//
// Inputs: a 4 MiB .torrent (20,000 files in 200 folders and the piece table of a 38 GiB
// torrent in 256 KiB pieces) and 10,000 KRPC messages of the DHT's usual mix (pings,
// find_node and get_peers queries, responses with eight 54-byte nodes or with peers and a
// token, announces). Ours builds a tree with every byte string copied out (a quick
// structural pass first counts every container's entries, so each list and dictionary is
// allocated once at its final size) and frees it each run; libtorrent builds a flat token
// index over the input and reuses its node, its best case.
#include <benchmark/benchmark.h>

#include <libtorrent/bdecode.hpp>
#include <libtorrent/error_code.hpp>
#include <random>
#include <string>
#include <vector>

#include "bittorrent/bencode.h"
#include "bittorrent/krpc.h"

namespace {

using bittorrent::BDictEntry;
using bittorrent::BVal;

BDictEntry entry(std::string_view key, BVal value) { return BDictEntry{std::string(key), std::move(value)}; }

Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

const Bytes& big_torrent() {
  static const Bytes torrent = [] {
    std::mt19937_64 rng(1);
    BVal::List files;
    std::int64_t total = 0;
    for (int i = 0; i < 20'000; ++i) {
      const std::int64_t length = static_cast<std::int64_t>(rng() % 4'000'000);
      total += length;
      BVal::Dict file;
      file.push_back(entry("length", BVal::integer(length)));
      file.push_back(entry("path", BVal::list({BVal::string("folder-" + std::to_string(i % 200)),
                                               BVal::string("file-" + std::to_string(i) + ".dat")})));
      files.push_back(BVal::dict(std::move(file)));
    }
    const std::int64_t piece = 256 * 1024;
    const std::size_t pieces = static_cast<std::size_t>((total + piece - 1) / piece);
    BVal::Dict info;
    info.push_back(entry("files", BVal::list(std::move(files))));
    info.push_back(entry("name", BVal::string("big torrent")));
    info.push_back(entry("piece length", BVal::integer(piece)));
    info.push_back(entry("pieces", BVal::bytes(random_bytes(rng, pieces * 20))));
    BVal::Dict top;
    top.push_back(entry("announce", BVal::string("http://tracker.i2p/announce")));
    top.push_back(entry("created by", BVal::string("bench")));
    top.push_back(entry("info", BVal::dict(std::move(info))));
    Bytes out = bittorrent::bencode_encode(BVal::dict(std::move(top)));
    return out;
  }();
  return torrent;
}

const std::vector<Bytes>& krpc_messages() {
  static const std::vector<Bytes> messages = [] {
    using bittorrent::KrpcMessage;
    using bittorrent::KrpcQuery;
    std::mt19937_64 rng(2);
    std::vector<Bytes> out;
    for (int i = 0; i < 10'000; ++i) {
      const Bytes tid = random_bytes(rng, 4);
      const Bytes id = random_bytes(rng, 20);
      KrpcMessage m;
      switch (i % 6) {
        case 0: m.kind = KrpcMessage::Query{tid, id, {KrpcQuery::Ping{}}}; break;
        case 1: m.kind = KrpcMessage::Query{tid, id, {KrpcQuery::FindNode{random_bytes(rng, 20)}}}; break;
        case 2: m.kind = KrpcMessage::Query{tid, id, {KrpcQuery::GetPeers{random_bytes(rng, 20)}}}; break;
        case 3:
          m.kind = KrpcMessage::Query{
              tid, id, {KrpcQuery::AnnouncePeer{random_bytes(rng, 20), 6881, random_bytes(rng, 8), false}}};
          break;
        case 4: m.kind = KrpcMessage::Response{tid, id, random_bytes(rng, 8 * 54), {}, random_bytes(rng, 8)}; break;
        default: {
          std::vector<Bytes> values;
          for (int v = 0; v < 10; ++v) values.push_back(random_bytes(rng, 32));
          m.kind = KrpcMessage::Response{tid, id, {}, std::move(values), random_bytes(rng, 8)};
        }
      }
      out.push_back(bittorrent::encode_krpc(m));
    }
    return out;
  }();
  return messages;
}

std::int64_t total_size(const std::vector<Bytes>& all) {
  std::int64_t n = 0;
  for (const Bytes& b : all) n += static_cast<std::int64_t>(b.size());
  return n;
}

void BM_TorrentOurs(benchmark::State& state) {
  const Bytes& in = big_torrent();
  for (auto _ : state) {
    auto v = bittorrent::bencode_decode(in);
    if (!v) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_TorrentLibtorrent(benchmark::State& state) {
  const Bytes& in = big_torrent();
  const char* p = reinterpret_cast<const char*>(in.data());
  lt::bdecode_node node;
  for (auto _ : state) {
    lt::error_code ec;
    if (lt::bdecode(p, p + in.size(), node, ec, nullptr, 100, 10'000'000) != 0) state.SkipWithError("bdecode failed");
    benchmark::DoNotOptimize(node);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_KrpcOurs(benchmark::State& state) {
  const auto& all = krpc_messages();
  for (auto _ : state) {
    for (const Bytes& m : all) {
      auto v = bittorrent::bencode_decode(m);
      if (!v) state.SkipWithError("decode failed");
      benchmark::DoNotOptimize(v);
    }
  }
  state.SetBytesProcessed(state.iterations() * total_size(all));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(all.size()));
}

void BM_KrpcLibtorrent(benchmark::State& state) {
  const auto& all = krpc_messages();
  lt::bdecode_node node;
  for (auto _ : state) {
    for (const Bytes& m : all) {
      const char* p = reinterpret_cast<const char*>(m.data());
      lt::error_code ec;
      if (lt::bdecode(p, p + m.size(), node, ec) != 0) state.SkipWithError("bdecode failed");
      benchmark::DoNotOptimize(node);
    }
  }
  state.SetBytesProcessed(state.iterations() * total_size(all));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(all.size()));
}

// The whole KRPC decoder (bencode and the message checks), for scale.
void BM_KrpcMessagesOurs(benchmark::State& state) {
  const auto& all = krpc_messages();
  for (auto _ : state) {
    for (const Bytes& m : all) {
      auto v = bittorrent::decode_krpc(m);
      if (!v) state.SkipWithError("decode failed");
      benchmark::DoNotOptimize(v);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(all.size()));
}

}  // namespace

BENCHMARK(BM_TorrentOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TorrentLibtorrent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KrpcOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KrpcLibtorrent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KrpcMessagesOurs)->Unit(benchmark::kMillisecond);
