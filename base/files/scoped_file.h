#pragma once
// An owned file descriptor, closed when its owner goes.
#include "base/scoped_generic.h"

namespace base {
namespace internal {

struct ScopedFDCloseTraits {
  static int InvalidValue() { return -1; }
  // Closes fd. EINTR counts as closed (the descriptor is gone on Linux either way); EBADF means
  // the descriptor was closed behind its owner's back, a broken invariant that stops the process.
  static void Free(int fd);
};

}  // namespace internal

using ScopedFD = ScopedGeneric<int, internal::ScopedFDCloseTraits>;

}  // namespace base
