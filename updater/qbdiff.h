#pragma once
// QBDIFF10 block-diff patches.
//
// Layout (big-endian u32 fields): "QBDIFF10", source length, source CRC-32/BZIP2,
// destination length, control length, diff length, extra length; then the control block
// (triples of add length u32, copy length u32, seek i32), the diff block (bytes added to
// source bytes, modulo 256) and the extra block (bytes copied as they stand). The file is
// exactly 32 + control + diff + extra bytes and shorter than 2^31 bytes.
//
// Each triple writes `add` bytes of source + diff from the source cursor, then `copy`
// extra bytes, then moves the source cursor by `add` and `seek`. Every bound is checked
// as "at most what remains" in 64-bit signed arithmetic before anything of the triple is
// written, and the output must come to exactly the destination length.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "updater/patcher.h"

inline constexpr std::size_t kQbdiffHeaderSize = 32;
inline constexpr std::size_t kQbdiffTripleSize = 12;

struct QbdiffHeader {
  char magic[8];
  std::uint32_t source_length;
  std::uint32_t source_crc;
  std::uint32_t dest_length;
  std::uint32_t control_length;
  std::uint32_t diff_length;
  std::uint32_t extra_length;
};

// Reads the header from the stream's position and checks it against the stream's file
// size: READ_ERROR for a short read or an unknown size, CORRUPT_PATCH_ERROR for another
// magic, a file of 31 bytes or less or of 2^31 or more, or blocks that do not fill the
// file exactly.
UpdaterError read_qbdiff_header(std::FILE* patch, QbdiffHeader* header);

// Applies the control, diff and extra blocks (`blocks`, laid out as in the file) to
// `source`, writing the new file to `out`. CORRUPT_PATCH_ERROR for a control length that
// is not whole triples, a triple that reads past the source, the diff or the extra block,
// seeks outside the source, or takes the output past dest_length, and for an output
// short of dest_length; PATCH_WRITE_ERROR for a short write.
UpdaterError apply_qbdiff_blocks(const QbdiffHeader& header, const std::uint8_t* blocks, const std::uint8_t* source,
                                 std::size_t source_length, std::FILE* out);

class QbdiffPatcher final : public Patcher {
 public:
  UpdaterError ComputeCrc(const std::uint8_t* buffer, std::size_t length, std::uint32_t* crc) override;
  std::uint32_t SourceSize() const override { return header_.source_length; }
  std::uint32_t DestSize() const override { return header_.dest_length; }
  std::uint32_t SourceCrc() const override { return header_.source_crc; }
  // Reads the three blocks right after the header into one allocation (PATCH_MEMORY_ERROR
  // when it cannot be had, READ_ERROR for a short read) and applies them.
  UpdaterError Apply(const std::uint8_t* source, std::size_t length, std::FILE* out) override;
  UpdaterError Close() override { return OK; }
  UpdaterError ReadHeader(std::FILE* patch) override;

 private:
  std::FILE* patch_ = nullptr;  // not owned: the patch action owns the stream
  QbdiffHeader header_{};
};
