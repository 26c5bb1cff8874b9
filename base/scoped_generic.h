#pragma once
// Unique ownership of a plain handle (a descriptor) with a close policy: Traits supplies
// InvalidValue() and Free(value). The handle is freed exactly once, by reset, move-assignment
// over it, or destruction.
#include <utility>

#include "base/check.h"

namespace base {

template <typename T, typename Traits>
class ScopedGeneric {
 public:
  ScopedGeneric() : data_(Traits::InvalidValue()) {}
  explicit ScopedGeneric(const T& value) : data_(value) {}
  ScopedGeneric(ScopedGeneric&& other) noexcept : data_(other.release()) {}
  ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedGeneric(const ScopedGeneric&) = delete;
  ScopedGeneric& operator=(const ScopedGeneric&) = delete;

  virtual ~ScopedGeneric() {
    CHECK(!receiving_);
    FreeIfNecessary();
  }

  void reset(const T& value = Traits::InvalidValue()) {
    FreeIfNecessary();
    data_ = value;
  }

  // Gives up ownership without freeing.
  T release() {
    T old = data_;
    data_ = Traits::InvalidValue();
    return old;
  }

  const T& get() const { return data_; }
  bool is_valid() const { return data_ != Traits::InvalidValue(); }

 private:
  void FreeIfNecessary() {
    if (data_ != Traits::InvalidValue()) {
      Traits::Free(data_);
      data_ = Traits::InvalidValue();
    }
  }

  T data_;
  bool receiving_ = false;
};

}  // namespace base
