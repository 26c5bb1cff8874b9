#include "components/vex_kestor/vex_kestor.h"

#include <sys/mman.h>

#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "base/files/file.h"
#include "base/files/memory_mapped_file.h"
#include "base/logging.h"
#include "components/kestor/buffer_view.h"
#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"
#include "updater/kestor_patcher.h"
#include "updater/update_log.h"

namespace {

// Each glue message names a fixed line of this file in its "[kestor:ERROR:...:line] " prefix,
// so that update logs stay comparable from one build to the next.
constexpr int kLineCreate = 180;
constexpr int kLineInvalidPatchFile = 198;
constexpr int kLinePatchFileError = 204;
constexpr int kLineReadError = 218;
constexpr int kLineReadHeaderException = 237;
constexpr int kLineInvalidNewImage = 264;
constexpr int kLineInvalidNewFile = 279;
constexpr int kLineNewFileError = 290;
constexpr int kLineApplyFailed = 305;
constexpr int kLineFlushError = 310;
constexpr int kLineApplyException = 326;

constexpr char kBadAlloc[] = "std::bad_alloc caught in kestor.";
constexpr char kUnknownException[] = "unknown exception caught in kestor; this is a bug.";

int Status(KestorStatus status) { return static_cast<int>(status); }

// One ERROR line of the glue. Logging runs inside exception handlers too, so a line that
// cannot be made for lack of memory is dropped rather than thrown onwards.
void GlueError(int line, const char* text, const std::string& detail = std::string()) {
  try {
    logging::LogMessage(__FILE__, line, logging::LOGGING_ERROR).stream() << text << detail;
  } catch (...) {
  }
}

// Runs `step` with every exception caught: running out of memory gives the out-of-memory
// status and any other exception ApplyFailed, each after its line at `line`.
template <class Step>
int Guarded(int line, Step&& step) {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    GlueError(line, kBadAlloc);
    return Status(KestorStatus::OutOfMemory);
  } catch (...) {
    GlueError(line, kUnknownException);
    return Status(KestorStatus::ApplyFailed);
  }
}

// Maps a region of `file`; on failure `error` says why.
bool MapFile(base::MemoryMappedFile* mapping, base::File file, const base::MemoryMappedFile::Region& region,
             base::MemoryMappedFile::Access access, std::string* error) {
  const bool valid = file.IsValid();
  if (mapping->Initialize(std::move(file), region, access)) return true;
  *error = valid ? "Can't map file to memory." : "Invalid file.";
  return false;
}

// Slicing-by-8 tables of the reflected CRC-32: table[0] is the classic byte table, table[k]
// advances a byte through k more zero bytes.
using Crc32Tables = std::array<std::array<std::uint32_t, 256>, 8>;

const Crc32Tables& Crc32Table() {
  static const Crc32Tables tables = [] {
    Crc32Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k) {
      for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
    return t;
  }();
  return tables;
}

}  // namespace

std::uint32_t KestorCrc32(const std::uint8_t* data, std::size_t length) {
  const Crc32Tables& t = Crc32Table();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (; length >= 8; data += 8, length -= 8) {
    std::uint32_t low, high;
    std::memcpy(&low, data, 4);
    std::memcpy(&high, data + 4, 4);
    low ^= crc;
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^ t[3][high & 0xFF] ^
          t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
  }
  for (; length > 0; ++data, --length) crc = t[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

UpdaterError FromKestorStatus(int status) {
  UpdaterError code;
  switch (status) {
    case 0: return OK;
    case 2:
    case 4: code = READ_ERROR; break;
    case 3: code = WRITE_ERROR; break;
    case 5: code = PATCH_WRITE_ERROR; break;
    case 6:
    case 7: code = CRC_ERROR; break;
    case 100: code = PATCH_MEMORY_ERROR; break;
    default:  // 1 and everything unknown
      code = CORRUPT_PATCH_ERROR;
      break;
  }
  update_log_printf("FromKestorStatus: encountered kestor error %d, converting to updater error %d", status, code);
  return code;
}

bool ForwardLogMessageToUpdateLog(int, const char*, int, std::size_t, const std::string& text) {
  if (logging::gLogPrintHook == nullptr) return false;
  logging::gLogPrintHook(text.c_str());
  return true;
}

void PrintToUpdateLog(const char* text) { update_log_printf("%s", text); }

void install_kestor_log_hooks() {
  // The engine's base layer cannot reach the update log itself: it is given the writer here.
  logging::SetUpdateLogWriter(&PrintToUpdateLog);
  logging::gLogMessageHandler = &ForwardLogMessageToUpdateLog;
  logging::gLogPrintHook = &PrintToUpdateLog;
}

std::unique_ptr<Patcher> create_kestor_patcher() { return std::make_unique<KestorPatcher>(); }

// The patch, mapped read-only from ReadHeader to Close, and what was read from it. The
// elements are views into the mapping, so they go first.
struct KestorPatchState {
  std::optional<base::MemoryMappedFile> patch_mapping;
  std::string mapping_error;
  kestor::PatchHeader header{};
  std::vector<kestor::PatchElement> elements;
};

namespace {

// The new file, mapped read-write at its full new size for one Apply.
class NewFileMapping {
 public:
  bool Map(base::File file, std::uint32_t size) {
    return MapFile(&mapping_, std::move(file), {0, size}, base::MemoryMappedFile::kReadWriteExtend, &error_);
  }
  // Writes the mapped pages back to the file now; a failure is logged with its system error.
  bool Flush() {
    if (::msync(mapping_.data(), mapping_.length(), MS_SYNC | MS_INVALIDATE) == 0) return true;
    PLOG(ERROR) << "msync failed";
    error_ = "Failed to flush changes to disk.";
    return false;
  }
  kestor::MutableBufferView view() { return kestor::MutableBufferView(mapping_.data(), mapping_.length()); }
  const std::string& error() const { return error_; }
  bool out_of_memory() const { return mapping_.out_of_memory(); }

 private:
  std::string error_;
  base::MemoryMappedFile mapping_;
};

}  // namespace

KestorPatcher::KestorPatcher() {
  last_status_ = Guarded(kLineCreate, [this] {
    state_ = std::make_unique<KestorPatchState>();
    return Status(KestorStatus::Success);
  });
}

KestorPatcher::~KestorPatcher() = default;

UpdaterError KestorPatcher::ComputeCrc(const std::uint8_t* buffer, std::size_t length, std::uint32_t* crc) {
  *crc = KestorCrc32(buffer, length);
  return OK;
}

UpdaterError KestorPatcher::ReadHeader(std::FILE* patch) {
  if (!state_) return FromKestorStatus(last_status_);
  return FromKestorStatus(Guarded(kLineReadHeaderException, [&] { return ReadHeaderUnguarded(patch); }));
}

int KestorPatcher::ReadHeaderUnguarded(std::FILE* patch) {
  base::File file(patch);
  if (!file.IsValid()) {
    GlueError(kLineInvalidPatchFile, "Invalid patch file.");
    return Status(KestorStatus::InvalidPatchFile);
  }
  KestorPatchState& state = *state_;
  state.elements.clear();
  state.mapping_error.clear();
  state.patch_mapping.reset();
  state.patch_mapping.emplace();
  MapFile(&*state.patch_mapping, std::move(file), base::MemoryMappedFile::kWholeFile, base::MemoryMappedFile::kReadOnly,
          &state.mapping_error);
  if (!state.mapping_error.empty() || state.patch_mapping->data() == nullptr) {
    GlueError(kLinePatchFileError, "Error with patch file: ", state.mapping_error);
    return Status(state.patch_mapping->out_of_memory() ? KestorStatus::OutOfMemory : KestorStatus::InvalidPatchFile);
  }
  std::optional<kestor::Patch> read =
      kestor::ReadPatch(kestor::ConstBufferView(state.patch_mapping->data(), state.patch_mapping->length()));
  if (!read) {
    GlueError(kLineReadError, "Error reading patch header.");
    return Status(KestorStatus::PatchReadError);
  }
  state.header = read->header;
  state.elements = std::move(read->elements);
  old_size_ = state.header.old_size;
  new_size_ = state.header.new_size;
  old_crc_ = state.header.old_crc;
  return Status(KestorStatus::Success);
}

UpdaterError KestorPatcher::Apply(const std::uint8_t* source, std::size_t length, std::FILE* out) {
  if (!state_) return FromKestorStatus(last_status_);
  return FromKestorStatus(Guarded(kLineApplyException, [&] { return ApplyUnguarded(source, length, out); }));
}

int KestorPatcher::ApplyUnguarded(const std::uint8_t* source, std::size_t length, std::FILE* out) {
  base::File file(out);
  if (!file.IsValid()) {
    GlueError(kLineInvalidNewFile, "Invalid new file.");
    return Status(KestorStatus::NewFileError);
  }
  const kestor::PatchHeader& header = state_->header;
  NewFileMapping writer;
  kestor::MutableBufferView new_image;
  // An empty new image has nothing to map (a mapping of zero bytes fails): its only test is
  // the CRC below.
  if (header.new_size > 0) {
    if (!writer.Map(std::move(file), header.new_size)) {
      GlueError(kLineNewFileError, "Error with new file: ", writer.error());
      return Status(writer.out_of_memory() ? KestorStatus::OutOfMemory : KestorStatus::NewFileError);
    }
    new_image = writer.view();
  }

  // The reader put every element inside the header's sizes; the caller passes an old image of
  // the header's old size. The range tests keep a shorter one from being read past its end.
  const kestor::ConstBufferView old_image(source, length);
  for (const kestor::PatchElement& element : state_->elements) {
    const kestor::ElementMatch& m = element.match;
    if (!old_image.covers(m.old_offset, m.old_length) || !new_image.covers(m.new_offset, m.new_length) ||
        !kestor::ApplyElement(m.exe_type, old_image.sub(m.old_offset, m.old_length), element,
                              new_image.sub(m.new_offset, m.new_length))) {
      GlueError(kLineApplyFailed, "Fatal error encountered while applying patch.");
      return Status(KestorStatus::ApplyFailed);
    }
  }

  if (new_image.size() != header.new_size || KestorCrc32(new_image.data(), new_image.size()) != header.new_crc) {
    GlueError(kLineInvalidNewImage, "Invalid aNewImage.");
    GlueError(kLineApplyFailed, "Fatal error encountered while applying patch.");
    return Status(KestorStatus::NewImageMismatch);
  }
  if (header.new_size > 0 && !writer.Flush()) {
    GlueError(kLineFlushError, "Error flushing changes to disk: ", writer.error());
    return Status(KestorStatus::NewFileError);
  }
  return Status(KestorStatus::Success);
}

UpdaterError KestorPatcher::Close() {
  state_.reset();
  return OK;
}
