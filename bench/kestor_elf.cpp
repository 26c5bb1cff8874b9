// "Ex64" elements against memcpy and QBDIFF10 on two x86-64 programs: the router program of
// this build (about 1 MB, found beside this benchmark program) and /usr/bin/cmake (about
// 9 MB). Each file is rebuilt from itself by an identity patch: for kestor one copy of the
// whole image and a zero delta for each of its references (every reference is read, looked
// up and written again); for QBDIFF10 one control triple and a diff block of zeros.
//
//   Engine:  kestor ApplyElement into memory | memcpy of the same bytes | QBDIFF10 blocks
//            applied into memory | the ELF disassembler's Parse alone (per image parsed).
//   Patcher: KestorPatcher::Apply and QbdiffPatcher::Apply writing a new file on tmpfs
//            (/dev/shm), as the updater calls them: mapping or stream, CRC check, flush.
//
// Bytes processed are the image's bytes, so MB/s of different lines compare directly; the
// argument 0 is the router program, 1 cmake, and the cost per MB should not grow with size.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "components/kestor/disassembler_elf.h"
#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"
#include "components/vex_kestor/vex_kestor.h"
#include "tests/support/kestor_patch_writer.h"
#include "updater/qbdiff.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string RouterProgram() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path() / "cmd" / "router" / "router").string();
}

std::string ScratchFolder() { return std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp"; }

void PutBe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// One program with its two identity patches, written to scratch files for the patcher
// benchmarks and removed at exit.
struct Input {
  Input(const std::string& input_name, const std::string& path);
  ~Input() {
    for (const std::string* p : {&kestor_patch_path, &qbdiff_path, &out_path}) {
      if (!p->empty()) std::filesystem::remove(*p);
    }
  }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  std::string name;
  Bytes image;
  Bytes patch;  // kestor identity patch
  QbdiffHeader header{};
  Bytes qbdiff;  // the QBDIFF10 file: header, one triple, a diff block of zeros
  std::string kestor_patch_path, qbdiff_path, out_path;
  bool ok = false;
};

Input::Input(const std::string& input_name, const std::string& path) : name(input_name) {
  std::ifstream f(path, std::ios::binary);
  image.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  if (image.size() < (1 << 20)) return;
  const auto size = static_cast<std::uint32_t>(image.size());
  kestor::DisassemblerElfX64 dis;
  if (!dis.Parse(kestor::ConstBufferView(image.data(), image.size())) || dis.size() != size) return;
  patch = kestor_support::IdentityPatch(dis, KestorCrc32(image.data(), image.size()));

  std::memcpy(header.magic, "QBDIFF10", 8);
  header.source_length = header.dest_length = header.diff_length = size;
  header.control_length = 12;
  qbdiff.assign(32 + 12 + size, 0);
  std::memcpy(qbdiff.data(), "QBDIFF10", 8);
  const std::uint32_t fields[] = {size, 0, size, 12, size, 0};
  for (int i = 0; i < 6; ++i) PutBe32(qbdiff.data() + 8 + 4 * i, fields[i]);
  PutBe32(qbdiff.data() + 32, size);  // add the whole source; copy 0, seek 0

  const std::string scratch = ScratchFolder() + "/kestor_elf_bench_" + std::to_string(::getpid()) + "_" + name;
  kestor_patch_path = scratch + ".kestor";
  qbdiff_path = scratch + ".qbdiff";
  out_path = scratch + ".out";
  std::ofstream(kestor_patch_path, std::ios::binary)
      .write(reinterpret_cast<const char*>(patch.data()), static_cast<std::streamsize>(patch.size()));
  std::ofstream(qbdiff_path, std::ios::binary)
      .write(reinterpret_cast<const char*>(qbdiff.data()), static_cast<std::streamsize>(qbdiff.size()));
  ok = true;
}

const Input& GetInput(std::int64_t which) {
  static const Input router("router", RouterProgram());
  static const Input cmake("cmake", "/usr/bin/cmake");
  return which == 0 ? router : cmake;
}

bool Ready(benchmark::State& state, const Input& in) {
  if (!in.ok) state.SkipWithError(("cannot read or parse " + in.name).c_str());
  state.SetLabel(in.name + " " + std::to_string(in.image.size() >> 10) + " KiB");
  return in.ok;
}

void Processed(benchmark::State& state, const Input& in) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(in.image.size()));
}

void BM_KestorEx64Identity(benchmark::State& state) {
  const Input& in = GetInput(state.range(0));
  if (!Ready(state, in)) return;
  std::optional<kestor::Patch> patch = kestor::ReadPatch(kestor::ConstBufferView(in.patch.data(), in.patch.size()));
  if (!patch) {
    state.SkipWithError("identity patch does not read");
    return;
  }
  Bytes out(in.image.size());
  for (auto _ : state) {
    const bool ok =
        kestor::ApplyElement(kestor::kExeTypeElfX64, kestor::ConstBufferView(in.image.data(), in.image.size()),
                             patch->elements[0], kestor::MutableBufferView(out.data(), out.size()));
    if (!ok) state.SkipWithError("apply failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != in.image) state.SkipWithError("identity patch changed the image");
  Processed(state, in);
}

void BM_Memcpy(benchmark::State& state) {
  const Input& in = GetInput(state.range(0));
  if (!Ready(state, in)) return;
  Bytes out(in.image.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.image.data(), in.image.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  Processed(state, in);
}

void BM_QbdiffIdentityBlocks(benchmark::State& state) {
  const Input& in = GetInput(state.range(0));
  if (!Ready(state, in)) return;
  Bytes out(in.image.size());
  for (auto _ : state) {
    std::FILE* sink = ::fmemopen(out.data(), out.size(), "w");
    const UpdaterError e =
        apply_qbdiff_blocks(in.header, in.qbdiff.data() + 32, in.image.data(), in.image.size(), sink);
    std::fclose(sink);
    if (e != OK) state.SkipWithError("qbdiff failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != in.image) state.SkipWithError("qbdiff changed the image");
  Processed(state, in);
}

void BM_KestorParseX64(benchmark::State& state) {
  const Input& in = GetInput(state.range(0));
  if (!Ready(state, in)) return;
  std::size_t references = 0;
  for (auto _ : state) {
    kestor::DisassemblerElfX64 dis;
    if (!dis.Parse(kestor::ConstBufferView(in.image.data(), in.image.size()))) state.SkipWithError("parse failed");
    references = dis.rel32_locations().size() + dis.abs32_locations().size();
    benchmark::DoNotOptimize(references);
  }
  state.counters["references"] = static_cast<double>(references);
  Processed(state, in);
}

// Both patchers as the updater drives them: the patch read (kestor: mapped and validated,
// outside the loop, as it happens once per patch), then Apply into a new file.
template <class MakePatcher>
void PatcherApply(benchmark::State& state, const std::string& patch_path, MakePatcher make) {
  const Input& in = GetInput(state.range(0));
  if (!Ready(state, in)) return;
  std::FILE* patch = std::fopen(patch_path.c_str(), "rb");
  std::unique_ptr<Patcher> patcher = make();
  if (patch == nullptr || patcher->ReadHeader(patch) != OK) {
    state.SkipWithError("patch does not read");
    if (patch != nullptr) std::fclose(patch);
    return;
  }
  for (auto _ : state) {
    std::FILE* out = std::fopen(in.out_path.c_str(), "wb+");
    if (patcher->Apply(in.image.data(), in.image.size(), out) != OK) state.SkipWithError("apply failed");
    std::fclose(out);
    if (std::fseek(patch, 32, SEEK_SET) != 0) state.SkipWithError("seek failed");  // QBDIFF10 reads its blocks
  }
  std::fclose(patch);
  if (std::filesystem::file_size(in.out_path) != in.image.size()) state.SkipWithError("wrong output size");
  Processed(state, in);
}

void BM_KestorPatcherApply(benchmark::State& state) {
  PatcherApply(state, GetInput(state.range(0)).kestor_patch_path, [] { return std::make_unique<KestorPatcher>(); });
}

void BM_QbdiffPatcherApply(benchmark::State& state) {
  PatcherApply(state, GetInput(state.range(0)).qbdiff_path, [] { return std::make_unique<QbdiffPatcher>(); });
}

BENCHMARK(BM_KestorEx64Identity)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QbdiffIdentityBlocks)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KestorParseX64)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KestorPatcherApply)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QbdiffPatcherApply)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
