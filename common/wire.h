#pragma once
// Helpers shared by the structure codecs of this package: byte-reader failures are
// reported as CommonError::Encoding wrapping the reader's own error.
#include <utility>

#include "encoding/error.h"

namespace common {

template <typename T>
Result<T> wrap_encoding(Result<T> r) {
  if (!r) return std::unexpected(Error(CommonError::Encoding, std::move(r.error())));
  return r;
}

}  // namespace common
