#pragma once
// The kestor engine as a Patcher of the updater, and the routing of the engine's log lines
// into the update log.
//
// A KestorPatcher maps the patch file, reads and validates the whole patch (ReadHeader), and
// applies every element into a writable mapping of the new file (Apply), which it then checks
// against the patch header's size and CRC-32 and flushes. Engine statuses become UpdaterError
// codes through FromKestorStatus. Nothing throws out of the glue: running out of memory and
// any other exception are caught here and turned into statuses.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "updater/patcher.h"
#include "updater/updater_error.h"

// The engine-side result of the glue's operations.
enum class KestorStatus : int {
  Success = 0,
  InvalidPatchFile = 2,  // the patch file cannot be opened or mapped
  NewFileError = 3,      // the new file cannot be opened, sized, mapped or flushed
  PatchReadError = 4,    // the patch does not parse
  NewImageMismatch = 7,  // the applied image's size or CRC-32 differs from the patch header
  ApplyFailed = 10,      // an element could not be applied, or an unexpected exception
  OutOfMemory = 100,     // memory exhausted, or a mapping failed for lack of memory
};

// The UpdaterError of an engine status (also of statuses the glue itself never produces);
// every non-zero status is logged with the code it becomes.
UpdaterError FromKestorStatus(int status);

// The standard CRC-32 (reflected 0xEDB88320, as zlib's crc32) of `length` bytes; 0 for none.
std::uint32_t KestorCrc32(const std::uint8_t* data, std::size_t length);

// The two log hooks. Once both are installed, every engine log message is one update-log line.
// ForwardLogMessageToUpdateLog writes `text` (the whole message) as one update-log line when
// the print hook is installed and returns true; otherwise it writes nothing and returns false.
bool ForwardLogMessageToUpdateLog(int severity, const char* file, int line, std::size_t message_start,
                                  const std::string& text);
void PrintToUpdateLog(const char* text);

struct KestorPatchState;

class KestorPatcher final : public Patcher {
 public:
  // Sets up the engine-side state; a failure to do so is kept and reported by ReadHeader.
  KestorPatcher();
  ~KestorPatcher() override;
  KestorPatcher(const KestorPatcher&) = delete;
  KestorPatcher& operator=(const KestorPatcher&) = delete;

  UpdaterError ComputeCrc(const std::uint8_t* buffer, std::size_t length, std::uint32_t* crc) override;
  std::uint32_t SourceSize() const override { return old_size_; }
  std::uint32_t DestSize() const override { return new_size_; }
  std::uint32_t SourceCrc() const override { return old_crc_; }
  UpdaterError Apply(const std::uint8_t* source, std::size_t length, std::FILE* out) override;
  UpdaterError Close() override;
  UpdaterError ReadHeader(std::FILE* patch) override;

 private:
  int ReadHeaderUnguarded(std::FILE* patch);
  int ApplyUnguarded(const std::uint8_t* source, std::size_t length, std::FILE* out);

  std::unique_ptr<KestorPatchState> state_;
  int last_status_ = 0;
  std::uint32_t old_size_ = 0;
  std::uint32_t new_size_ = 0;
  std::uint32_t old_crc_ = 0;
};
