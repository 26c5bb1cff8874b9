#pragma once
// One flag per piece of a torrent (the pieces we hold, or those a peer says it has), with
// the number of set flags kept up to date as flags change: the API shows that number for
// every torrent and peer on each request, and counting the flags of thousands of pieces
// each time would cost more than writing the whole document.
//
// A flag counts as set when it is not zero; the engine writes 0 and 1 only. Every change
// goes through the members below, which is what keeps the count exact; there is no way to
// write the flags without it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "encoding/bytes.h"

namespace router {

class PieceFlags {
 public:
  using value_type = std::uint8_t;
  using const_iterator = Bytes::const_iterator;
  using iterator = const_iterator;

  // A flag of a non-const PieceFlags: reads as its value; writing it keeps the count.
  class Ref {
   public:
    operator std::uint8_t() const { return flags_->bytes_[at_]; }
    Ref& operator=(std::uint8_t value) {
      flags_->set(at_, value);
      return *this;
    }
    Ref& operator=(const Ref& other) { return *this = static_cast<std::uint8_t>(other); }

   private:
    friend class PieceFlags;
    Ref(PieceFlags* flags, std::size_t at) : flags_(flags), at_(at) {}
    PieceFlags* flags_;
    std::size_t at_;
  };

  PieceFlags() = default;
  PieceFlags(Bytes flags) : bytes_(std::move(flags)), set_(count_of(bytes_)) {}
  PieceFlags(std::initializer_list<std::uint8_t> flags) : PieceFlags(Bytes(flags)) {}
  PieceFlags& operator=(Bytes flags) {
    bytes_ = std::move(flags);
    set_ = count_of(bytes_);
    return *this;
  }
  PieceFlags& operator=(std::initializer_list<std::uint8_t> flags) { return *this = Bytes(flags); }

  // The number of set flags.
  std::size_t count() const { return set_; }

  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  std::uint8_t operator[](std::size_t at) const { return bytes_[at]; }
  Ref operator[](std::size_t at) { return Ref(this, at); }
  const_iterator begin() const { return bytes_.begin(); }
  const_iterator end() const { return bytes_.end(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  const Bytes& bytes() const { return bytes_; }
  operator const Bytes&() const { return bytes_; }

  void set(std::size_t at, std::uint8_t value) {
    std::uint8_t& flag = bytes_[at];
    set_ = set_ - (flag != 0 ? 1 : 0) + (value != 0 ? 1 : 0);
    flag = value;
  }
  void assign(std::size_t n, std::uint8_t value) {
    bytes_.assign(n, value);
    set_ = value != 0 ? n : 0;
  }
  // Grows with new flags of the value, or drops the flags from n on.
  void resize(std::size_t n, std::uint8_t value = 0) {
    if (n < bytes_.size()) {
      set_ -= count_of(ByteView(bytes_).subspan(n));
    } else if (value != 0) {
      set_ += n - bytes_.size();
    }
    bytes_.resize(n, value);
  }
  void clear() {
    bytes_.clear();
    set_ = 0;
  }

  friend bool operator==(const PieceFlags& a, const PieceFlags& b) { return a.bytes_ == b.bytes_; }
  friend bool operator==(const PieceFlags& a, const Bytes& b) { return a.bytes_ == b; }

 private:
  static std::size_t count_of(ByteView flags) {
    return static_cast<std::size_t>(std::count_if(flags.begin(), flags.end(), [](std::uint8_t f) { return f != 0; }));
  }

  Bytes bytes_;
  std::size_t set_ = 0;
};

}  // namespace router
