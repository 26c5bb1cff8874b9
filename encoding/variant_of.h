#pragma once
// One value out of a closed list of kinds, as blocks and delivery instructions hold it. The
// kinds are declared in a struct of their own that ends with `using Value = std::variant<...>`;
// the type derives from VariantOf over that struct, so its kinds keep their nested names:
//
//   struct BlockKinds {
//     struct DateTime { ... };
//     struct Padding { ... };
//     using Value = std::variant<DateTime, Padding>;
//   };
//   struct Block : encoding::VariantOf<BlockKinds> {
//     using VariantOf::VariantOf;
//   };
//
// A Block is built implicitly from any of its kinds (Block b = Block::Padding{...}).
#include <concepts>
#include <type_traits>
#include <utility>
#include <variant>

namespace encoding {

// What the variant of Wrapper can be built from, a Wrapper (or a type derived from it) itself
// excepted, so that copies and moves stay with the copy and move constructors.
template <class T, class Wrapper>
concept AlternativeOf =
    !std::derived_from<std::remove_cvref_t<T>, Wrapper> && std::constructible_from<typename Wrapper::Value, T&&>;

template <class Kinds>
struct VariantOf : Kinds {
  using Value = typename Kinds::Value;
  Value value;

  template <AlternativeOf<VariantOf> T>
  VariantOf(T&& v) : value(std::forward<T>(v)) {}  // NOLINT: implicit on purpose

  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&value);
  }
  template <class T>
  bool is() const {
    return std::holds_alternative<T>(value);
  }

  bool operator==(const VariantOf& other) const { return value == other.value; }
};

}  // namespace encoding
