#pragma once
// The one error value of the whole router.
//
// An Error is one variant of one family; each package owns one family. The families
// and their variants together form one program-wide enumeration: the family tag plus
// the variant's index inside its family. New families and new variants are appended,
// never inserted, so existing values keep their meaning.
//
// The payload is nothing, a message, a wrapped inner Error (kept whole), or one or two
// unsigned 32-bit numbers. Errors are immutable once built.

#include <array>
#include <concepts>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

enum class ErrorFamily : std::uint8_t {
  Crypto,
  Encoding,
  Common,
  I2np,
  Noise,
  Ntcp2,
  Net,
  NetDb,
  Ratchet,
  Tunnel,
  Router,
  Sam,
  Streaming,
  Bittorrent,
};

enum class CryptoError : std::uint8_t { AuthFailed, InvalidLength, InvalidNonce, InvalidKey };
enum class EncodingError : std::uint8_t { LimitExceeded, BadLength, InvalidData, Truncated };
enum class CommonError : std::uint8_t { Unsupported, Invalid, Crypto, Encoding };
enum class I2npError : std::uint8_t { Invalid, ChecksumMismatch, Common, Encoding };
enum class NoiseError : std::uint8_t { NonceExhausted, InvalidSipHashParams, Crypto };
enum class Ntcp2Error : std::uint8_t {
  Replay,
  ClockSkew,
  NetworkIdMismatch,
  Malformed,
  UnsupportedVersion,
  HandshakeState,
  I2np,
  Common,
  Encoding,
  Noise,
  Crypto,
};
enum class NetError : std::uint8_t { Peer, Noise, Common, Protocol, Closed, Timeout, Io };
enum class NetDbError : std::uint8_t { Invalid, BadSignature, Common };
enum class RatchetError : std::uint8_t {
  DecryptFailed,
  ElligatorSamplingFailed,
  Malformed,
  I2np,
  Common,
  Encoding,
  Noise,
  Crypto,
};
enum class TunnelError : std::uint8_t { NotForUs, Invalid, InvalidLength, Noise, Common, Encoding, Crypto };
enum class RouterError : std::uint8_t { Message, Tunnel, I2np, NetDb, Noise, Common, Crypto, Net };

// Maps a family's variant enumeration to its family tag. Packages that own a later
// family (SAM, streaming, BitTorrent) specialise this next to their enumeration.
template <typename V>
struct ErrorFamilyOf;

#define ONDREL_ERROR_FAMILY(Enum, Tag)                                    \
  template <>                                                             \
  struct ErrorFamilyOf<Enum> {                                            \
    static constexpr ErrorFamily family = ErrorFamily::Tag;               \
  }

ONDREL_ERROR_FAMILY(CryptoError, Crypto);
ONDREL_ERROR_FAMILY(EncodingError, Encoding);
ONDREL_ERROR_FAMILY(CommonError, Common);
ONDREL_ERROR_FAMILY(I2npError, I2np);
ONDREL_ERROR_FAMILY(NoiseError, Noise);
ONDREL_ERROR_FAMILY(Ntcp2Error, Ntcp2);
ONDREL_ERROR_FAMILY(NetError, Net);
ONDREL_ERROR_FAMILY(NetDbError, NetDb);
ONDREL_ERROR_FAMILY(RatchetError, Ratchet);
ONDREL_ERROR_FAMILY(TunnelError, Tunnel);
ONDREL_ERROR_FAMILY(RouterError, Router);

template <typename V>
concept ErrorVariant = std::is_enum_v<V> && requires { ErrorFamilyOf<V>::family; };

class Error {
 public:
  template <ErrorVariant V>
  explicit Error(V variant) : family_(ErrorFamilyOf<V>::family), code_(static_cast<std::uint8_t>(variant)) {}

  template <ErrorVariant V>
  Error(V variant, std::string message)
      : family_(ErrorFamilyOf<V>::family), code_(static_cast<std::uint8_t>(variant)), payload_(std::move(message)) {}

  // Wraps a lower package's error whole; the wrapper adds no text.
  template <ErrorVariant V>
  Error(V variant, Error inner)
      : family_(ErrorFamilyOf<V>::family),
        code_(static_cast<std::uint8_t>(variant)),
        payload_(std::make_shared<const Error>(std::move(inner))) {}

  template <ErrorVariant V>
  Error(V variant, std::uint32_t number)
      : family_(ErrorFamilyOf<V>::family), code_(static_cast<std::uint8_t>(variant)), payload_(Numbers{{number, 0}, 1}) {}

  template <ErrorVariant V>
  Error(V variant, std::uint32_t first, std::uint32_t second)
      : family_(ErrorFamilyOf<V>::family),
        code_(static_cast<std::uint8_t>(variant)),
        payload_(Numbers{{first, second}, 2}) {}

  ErrorFamily family() const { return family_; }

  template <ErrorVariant V>
  bool in_family() const {
    return family_ == ErrorFamilyOf<V>::family;
  }

  // The variant, when this error belongs to V's family.
  template <ErrorVariant V>
  std::optional<V> as() const {
    if (!in_family<V>()) return std::nullopt;
    return static_cast<V>(code_);
  }

  template <ErrorVariant V>
  bool is(V variant) const {
    return family_ == ErrorFamilyOf<V>::family && code_ == static_cast<std::uint8_t>(variant);
  }

  // Index of the variant inside its family.
  std::uint8_t code() const { return code_; }

  bool has_message() const { return std::holds_alternative<std::string>(payload_); }
  // The message payload, or an empty text when the payload is something else.
  std::string_view message() const {
    if (const auto* m = std::get_if<std::string>(&payload_)) return *m;
    return {};
  }

  // The wrapped inner error, or nullptr.
  const Error* inner() const {
    if (const auto* p = std::get_if<std::shared_ptr<const Error>>(&payload_)) return p->get();
    return nullptr;
  }

  // The innermost error of a chain of wrappers (this error when it wraps nothing).
  const Error& innermost() const {
    const Error* e = this;
    while (const Error* next = e->inner()) e = next;
    return *e;
  }

  // Number of numeric payload values (0, 1 or 2) and their values.
  int number_count() const {
    if (const auto* n = std::get_if<Numbers>(&payload_)) return n->count;
    return 0;
  }
  std::optional<std::uint32_t> number(int index) const {
    if (const auto* n = std::get_if<Numbers>(&payload_)) {
      if (index >= 0 && index < n->count) return n->values[static_cast<std::size_t>(index)];
    }
    return std::nullopt;
  }

  friend bool operator==(const Error& a, const Error& b) {
    if (a.family_ != b.family_ || a.code_ != b.code_ || a.payload_.index() != b.payload_.index()) return false;
    if (const Error* ai = a.inner()) return *ai == *b.inner();
    return a.payload_ == b.payload_;
  }

 private:
  struct Numbers {
    std::array<std::uint32_t, 2> values;
    int count;
    friend bool operator==(const Numbers&, const Numbers&) = default;
  };

  ErrorFamily family_;
  std::uint8_t code_;
  std::variant<std::monostate, std::string, std::shared_ptr<const Error>, Numbers> payload_;
};

template <typename T>
using Result = std::expected<T, Error>;

// Shorthand for returning a failure: `return fail(EncodingError::Truncated, "...")`.
template <ErrorVariant V, typename... Payload>
std::unexpected<Error> fail(V variant, Payload&&... payload) {
  return std::unexpected<Error>(Error(variant, std::forward<Payload>(payload)...));
}

// Builds a message from fixed text and decimal numbers: msg("need ", 32, " bytes, have ", 4).
namespace error_detail {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <std::integral I>
  requires(!std::same_as<I, char> && !std::same_as<I, bool>)
void append(std::string& out, I value) {
  out.append(std::to_string(value));
}
}  // namespace error_detail

template <typename... Parts>
std::string msg(const Parts&... parts) {
  std::string out;
  (error_detail::append(out, parts), ...);
  return out;
}
