// "Px64" and "EA64" elements against memcpy and an "Ex64" element made the same way.
//
// When the benchmark starts, tests/components/kestor/pe_arm_fixture.py generates one program
// source of 40,000 functions for x86-64, linked both as an ELF PIE ("Ex64") and as a PE32+
// image ("Px64"), and one of 40,000 AArch64 functions with 10^5 pointers in .data ("EA64"):
// each holds about 10^5 branches and 10^5 absolute addresses. Each image is rebuilt from itself
// by an identity patch: one copy of the whole image and a zero delta for each of its
// references, so every reference is read, projected, looked up and written again.
//
//   Identity/k: ApplyElement into memory (disassembling both images included).
//   Parse/k:    the disassembler's Parse and one read of every reference group.
//   Memcpy/k:   memcpy of the same bytes, the floor.
// k: 0 Ex64, 1 Px64, 2 EA64. Bytes processed are the image's bytes, so MB/s compare directly
// with memcpy; refs/s compares the kinds, whose images differ in size for one program (an ELF
// relocation entry takes 24 bytes, a PE one 2).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "components/kestor/disassembler_factory.h"
#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"
#include "tests/support/kestor_patch_writer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Input {
  std::string name;
  kestor::ExecutableType type{};
  Bytes image;  // the element's bytes (a PE image without the symbol table behind it)
  Bytes patch;  // identity patch
  std::size_t references = 0;
  bool ok = false;
};

// Builds the three programs once; their bytes stay, the files go.
const std::vector<Input>& Inputs() {
  static const std::vector<Input> inputs = [] {
    std::vector<Input> out(3);
    const struct {
      const char* kind;
      const char* name;
      kestor::ExecutableType type;
    } kinds[] = {{"elf64", "Ex64", kestor::kExeTypeElfX64},
                 {"pe64", "Px64", kestor::kExeTypeWin32X64},
                 {"aarch64", "EA64", kestor::kExeTypeElfAArch64}};
    char dir[] = "/tmp/kestor_pe_arm_bench_XXXXXX";
    if (::mkdtemp(dir) == nullptr) return out;
    const std::string folder = dir;
    std::string command = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    command += " " ONDREL_SOURCE_DIR "/tests/components/kestor/pe_arm_fixture.py bench ";
    command += folder + " > " + folder + "/list";
    const bool built = std::system(command.c_str()) == 0;
    std::map<std::string, std::string> paths;
    std::ifstream list(folder + "/list");
    for (std::string kind, path; list >> kind >> path;) paths[kind] = path;
    for (std::size_t i = 0; i < 3; ++i) {
      Input& in = out[i];
      in.name = kinds[i].name;
      in.type = kinds[i].type;
      if (!built || paths.count(kinds[i].kind) == 0) continue;
      std::ifstream f(paths[kinds[i].kind], std::ios::binary);
      in.image.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
      std::unique_ptr<kestor::Disassembler> dis =
          kestor::MakeDisassemblerForType(kestor::ConstBufferView(in.image.data(), in.image.size()), in.type);
      if (dis == nullptr) continue;
      in.image.resize(dis->size());
      for (const kestor::ReferenceGroup& group : dis->MakeReferenceGroups()) {
        std::unique_ptr<kestor::ReferenceReader> reader = group.GetReader(0, dis->size(), *dis);
        while (reader->GetNext()) ++in.references;
      }
      in.patch = kestor_support::IdentityPatch(*dis, 0);
      in.ok = true;
    }
    std::filesystem::remove_all(folder);
    return out;
  }();
  return inputs;
}

const Input* Ready(benchmark::State& state) {
  const Input& in = Inputs()[static_cast<std::size_t>(state.range(0))];
  if (!in.ok) {
    state.SkipWithError(("cannot build or parse the " + in.name + " program").c_str());
    return nullptr;
  }
  std::ostringstream label;
  label << in.name << " " << (in.image.size() >> 10) << " KiB, " << in.references << " references";
  state.SetLabel(label.str());
  return &in;
}

void Processed(benchmark::State& state, const Input& in) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(in.image.size()));
  state.counters["refs/s"] = benchmark::Counter(
      static_cast<double>(in.references) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Identity(benchmark::State& state) {
  const Input* in = Ready(state);
  if (in == nullptr) return;
  std::optional<kestor::Patch> patch = kestor::ReadPatch(kestor::ConstBufferView(in->patch.data(), in->patch.size()));
  if (!patch) {
    state.SkipWithError("identity patch does not read");
    return;
  }
  Bytes out(in->image.size());
  for (auto _ : state) {
    const bool ok = kestor::ApplyElement(in->type, kestor::ConstBufferView(in->image.data(), in->image.size()),
                                         patch->elements[0], kestor::MutableBufferView(out.data(), out.size()));
    if (!ok) state.SkipWithError("apply failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != in->image) state.SkipWithError("identity patch changed the image");
  Processed(state, *in);
}

void BM_Parse(benchmark::State& state) {
  const Input* in = Ready(state);
  if (in == nullptr) return;
  for (auto _ : state) {
    std::unique_ptr<kestor::Disassembler> dis =
        kestor::MakeDisassemblerForType(kestor::ConstBufferView(in->image.data(), in->image.size()), in->type);
    std::size_t n = 0;
    for (const kestor::ReferenceGroup& group : dis->MakeReferenceGroups()) {
      std::unique_ptr<kestor::ReferenceReader> reader = group.GetReader(0, dis->size(), *dis);
      while (reader->GetNext()) ++n;
    }
    benchmark::DoNotOptimize(n);
  }
  Processed(state, *in);
}

// memcpy has no references; its refs/s is the figure it would reach for the image's.
void BM_Memcpy(benchmark::State& state) {
  const Input* in = Ready(state);
  if (in == nullptr) return;
  Bytes out(in->image.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in->image.data(), in->image.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  Processed(state, *in);
}

BENCHMARK(BM_Identity)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
