#pragma once
// The raw DEFLATE inflater (RFC 1951): stored, fixed-Huffman and dynamic-Huffman blocks.
//
// Whole byte strings in and out. One stream never inflates to more than
// inflate_max_output bytes; a stream that would is refused whole.
#include <cstddef>

#include "encoding/bytes.h"
#include "encoding/deflate_tables.h"
#include "encoding/error.h"
#include "encoding/inflate_bit_reader.h"
#include "encoding/inflate_huffman.h"

namespace encoding {

struct Inflated {
  Bytes data;       // the inflated bytes
  std::size_t end;  // offset just after the stream: the first input byte none of whose bits it used
};

// Inflates the DEFLATE stream that starts at offset start of data. Bytes after the stream
// are not looked at. A caller that knows the expected size may lower the output limit so
// that a lying stream is stopped early; it never rises above inflate_max_output.
Result<Inflated> inflate_raw_from(ByteView data, std::size_t start, std::size_t max_output = inflate_max_output);

// Decodes one Huffman-coded block into out, up to and including its end-of-block symbol.
Result<void> inflate_huffman_block(BitReader& reader, const HuffTable& lit, const HuffTable& dist, Bytes& out);

}  // namespace encoding
