#pragma once
// Bounds-checked views of image bytes. Values are little-endian (the host's order); every
// access checks its position, so a bad position stops the process instead of touching memory
// outside the image. Code that takes positions from a file tests them first.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base/check.h"

namespace kestor {
namespace internal {

template <class T>
class BufferViewBase {
 public:
  using value_type = T;
  using iterator = T*;
  using size_type = std::size_t;

  static BufferViewBase FromRange(iterator first, iterator last) {
    CHECK_GE(last, first);
    return BufferViewBase(first, static_cast<size_type>(last - first));
  }

  BufferViewBase() = default;
  BufferViewBase(iterator first, size_type size) : first_(first), last_(first + size) {}
  // A writable view converts to a read-only one.
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  BufferViewBase(const BufferViewBase<U>& that) : first_(that.begin()), last_(that.end()) {}

  iterator begin() const { return first_; }
  iterator end() const { return last_; }
  T* data() const { return first_; }
  size_type size() const { return static_cast<size_type>(last_ - first_); }
  bool empty() const { return first_ == last_; }

  T& operator[](size_type pos) const {
    CHECK_LT(pos, size());
    return first_[pos];
  }

  template <class U>
  U read(size_type pos) const {
    CHECK_LE(sizeof(U), size());
    CHECK_LE(pos, size() - sizeof(U));
    U result;
    std::memcpy(&result, first_ + pos, sizeof(U));
    return result;
  }

  template <class U>
  void write(size_type pos, const U& value) const {
    CHECK_LE(sizeof(U), size());
    CHECK_LE(pos, size() - sizeof(U));
    std::memcpy(first_ + pos, &value, sizeof(U));
  }

  // Whether a U fits at pos: the test to make before read or write with an untrusted pos.
  template <class U>
  bool can_access(size_type pos) const {
    return pos <= size() && size() - pos >= sizeof(U);
  }

  // Whether [offset, offset + length) lies inside the view.
  bool covers(size_type offset, size_type length) const { return offset <= size() && size() - offset >= length; }

  // The bytes [offset, offset + length); the caller has tested covers().
  BufferViewBase sub(size_type offset, size_type length) const {
    CHECK(covers(offset, length));
    return BufferViewBase(first_ + offset, length);
  }

  void shrink(size_type new_size) {
    CHECK_LE(new_size, size());
    last_ = first_ + new_size;
  }

 private:
  T* first_ = nullptr;
  T* last_ = nullptr;
};

}  // namespace internal

using ConstBufferView = internal::BufferViewBase<const std::uint8_t>;
using MutableBufferView = internal::BufferViewBase<std::uint8_t>;

}  // namespace kestor
