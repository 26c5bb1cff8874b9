#pragma once
// One patch format behind one interface. A patch action holds one Patcher per patch while
// it loads and applies it: ReadHeader first (with the patch stream at its start), then the
// caller checks the file to patch against SourceSize and, through ComputeCrc, against
// SourceCrc, creates the new file (DestSize bytes reserved), and calls Apply with the whole
// old file in memory, then Close after a successful Apply. Every operation that can fail
// returns an UpdaterError and throws nothing.
//
// Header-only, so that the patch engine's glue can implement it without linking the rest
// of the updater.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "updater/updater_error.h"

class Patcher {
 public:
  virtual ~Patcher() = default;

  // The CRC-32 of `length` bytes in the format's own variant.
  virtual UpdaterError ComputeCrc(const std::uint8_t* buffer, std::size_t length, std::uint32_t* crc) = 0;
  // The size the file to patch must have.
  virtual std::uint32_t SourceSize() const = 0;
  // The size of the patched file.
  virtual std::uint32_t DestSize() const = 0;
  // The CRC the file to patch must have (in ComputeCrc's variant).
  virtual std::uint32_t SourceCrc() const = 0;
  // Writes the new file to `out` (open for reading and writing, at its start) from the
  // whole old file `source`. The caller flushes and closes `out`.
  virtual UpdaterError Apply(const std::uint8_t* source, std::size_t length, std::FILE* out) = 0;
  // Releases the patch; called only after a successful Apply.
  virtual UpdaterError Close() = 0;
  // Reads and checks the patch header from `patch`, positioned at its start. The stream
  // stays the caller's; the patcher keeps using it until Close or destruction.
  virtual UpdaterError ReadHeader(std::FILE* patch) = 0;
};
