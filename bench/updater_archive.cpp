// The update archive against the command-line tools, in the same run.
//
// Extraction: one 64 MiB item (64 MiB of words, `xz -1`, one block) decoded into a file by
// vpk_extract_item, against `xz -dc` of the same stream into a file. Both use liblzma.
//
// Verification: a 256 MiB archive signed with RSA-4096: vpk_open and vpk_verify_signatures,
// against `openssl dgst -sha384 -verify` over the same signed bytes. The NSS SHA-384 of the
// same bytes is measured too: the check spends nearly all its time there.
//
// Archives come from tests/support/vpk_writer.py; the first benchmark run prepares them
// (about half a minute, outside the timed loops).
#include <benchmark/benchmark.h>
#include <nss.h>
#include <sechash.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "updater/certificates.h"
#include "updater/vpk_archive.h"
#include "updater/vpk_extract.h"
#include "updater/vpk_index.h"
#include "updater/vpk_signature.h"
#include "updater_bench_util.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kItemSize = 64u << 20;
constexpr std::size_t kArchiveSize = 256u << 20;

const fs::path kSource = updater_bench::source_dir();
using updater_bench::python;
using updater_bench::run;

// 64 MiB of lines of words.
bool write_words(const fs::path& path) {
  const std::string text = updater_bench::WordText(1).next(kItemSize);
  std::ofstream out(path, std::ios::binary);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(out.flush());
}

struct Fixture {
  fs::path dir;
  bool ok = false;

  fs::path extract_dir() const { return dir / "extract"; }
  fs::path verify_dir() const { return dir / "verify"; }

  Fixture() {
    std::string pattern = (fs::temp_directory_path() / "bench_vpk_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir = pattern;
    fs::create_directories(extract_dir());
    fs::create_directories(verify_dir());
    const std::string d = dir.string();
    const std::string src = kSource.string();
    // A 256 MiB archive of random item bytes, its signed stream, signature and public key.
    {
      std::ofstream py(dir / "make.py");
      py << "import os, sys\n"
         << "sys.path.insert(0, '" << src << "/tests/support')\n"
         << "from vpk_writer import *\n"
         << "v = Vpk(items=[Item('blob', os.urandom(" << kArchiveSize - 4096 << "))], "
         << "signatures=[Signature(key_path('test_vpk_key1.pem'))])\n"
         << "data = v.build()\n"
         << "open('" << verify_dir().string() << "/update.vpk', 'wb').write(data)\n"
         << "open('" << d << "/stream', 'wb').write(signed_stream(data))\n"
         << "open('" << d << "/sig', 'wb').write(data[28:28 + 512])\n";
    }
    ok = write_words(dir / "words") &&
         // The item alone, for xz, and the archive holding it.
         run("xz -1 -T1 -c ", d, "/words > ", d, "/item.xz") &&
         run(python(), " ", src, "/tests/support/vpk_writer.py ", extract_dir().string(), "/update.vpk --item f=", d,
             "/words --xz-args '-1 -T1'") &&
         run(python(), " ", d, "/make.py") &&
         run("openssl x509 -inform DER -in ", src, "/tests/data/updater/test_vpk_cert1.der -pubkey -noout > ", d,
             "/pub.pem");
    ok = ok && NSS_NoDB_Init(nullptr) == SECSuccess;
  }
  ~Fixture() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

const Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_ExtractOurs(benchmark::State& state) {
  const Fixture& f = fixture();
  if (!f.ok || vpk_open(f.extract_dir().c_str()) != OK) return state.SkipWithError("setup failed");
  VpkItem* item = vpk_find_item(vpk_archive(), "f");
  if (item == nullptr) return state.SkipWithError("no item");
  const std::string out = (f.dir / "ours.out").string();
  for (auto _ : state) {
    ::unlink(out.c_str());
    std::FILE* file = std::fopen(out.c_str(), "wb");
    if (file == nullptr || vpk_extract_item(item, file) != OK) state.SkipWithError("extraction failed");
    if (file != nullptr) std::fclose(file);
  }
  if (fs::file_size(out) != kItemSize) state.SkipWithError("wrong size");
  vpk_close();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kItemSize));
}

void BM_ExtractXzCommand(benchmark::State& state) {
  const Fixture& f = fixture();
  if (!f.ok) return state.SkipWithError("setup failed");
  const std::string out = (f.dir / "xz.out").string();
  const std::string item = (f.dir / "item.xz").string();
  for (auto _ : state) {
    ::unlink(out.c_str());
    if (!run("xz -dc -T1 ", item, " > ", out)) state.SkipWithError("xz failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kItemSize));
}

void BM_OpenAndVerifyOurs(benchmark::State& state) {
  const Fixture& f = fixture();
  if (!f.ok) return state.SkipWithError("setup failed");
  const VpkCertificate cert = vpk_built_in_certificate(1);
  for (auto _ : state) {
    if (vpk_open(f.verify_dir().c_str()) != OK || vpk_verify_signatures(vpk_archive(), cert.der, cert.size) != 0) {
      state.SkipWithError("verification failed");
    }
    vpk_close();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kArchiveSize));
}

void BM_VerifyOurs(benchmark::State& state) {
  const Fixture& f = fixture();
  if (!f.ok || vpk_open(f.verify_dir().c_str()) != OK) return state.SkipWithError("setup failed");
  const VpkCertificate cert = vpk_built_in_certificate(1);
  for (auto _ : state) {
    if (vpk_verify_signatures(vpk_archive(), cert.der, cert.size) != 0) state.SkipWithError("verification failed");
  }
  vpk_close();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kArchiveSize));
}

void BM_VerifyOpensslCommand(benchmark::State& state) {
  const Fixture& f = fixture();
  if (!f.ok) return state.SkipWithError("setup failed");
  const std::string d = f.dir.string();
  for (auto _ : state) {
    if (!run("openssl dgst -sha384 -verify ", d, "/pub.pem -signature ", d, "/sig ", d, "/stream > /dev/null")) {
      state.SkipWithError("openssl failed");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kArchiveSize));
}

// The floor under our check: NSS's SHA-384 alone over the same number of bytes.
void BM_Sha384Nss(benchmark::State& state) {
  const Fixture& f = fixture();
  if (!f.ok || vpk_open(f.verify_dir().c_str()) != OK) return state.SkipWithError("setup failed");
  const VpkArchive* a = vpk_archive();
  unsigned char digest[48];
  for (auto _ : state) {
    HASHContext* h = HASH_Create(HASH_AlgSHA384);
    HASH_Begin(h);
    HASH_Update(h, a->data, static_cast<unsigned int>(a->size));
    unsigned int n = 0;
    HASH_End(h, digest, &n, sizeof digest);
    HASH_Destroy(h);
    benchmark::DoNotOptimize(digest);
  }
  vpk_close();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kArchiveSize));
}

}  // namespace

BENCHMARK(BM_ExtractOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_ExtractXzCommand)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_OpenAndVerifyOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_VerifyOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_VerifyOpensslCommand)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_Sha384Nss)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
