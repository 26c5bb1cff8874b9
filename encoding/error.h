#pragma once
// The one error value of the whole router.
//
// An Error is one variant of one family; each package owns one family. The families
// and their variants together form one program-wide enumeration: the family tag plus
// the variant's index inside its family. New families and new variants are appended,
// never inserted, so existing values keep their meaning.
//
// The payload is nothing, a message, a wrapped inner Error (kept whole), or one or two
// unsigned 32-bit numbers. Errors are immutable once built, so a wrapped error is shared
// rather than copied.

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
// A SAM command line that cannot be parsed; the message names the offending token.
enum class SamError : std::uint8_t { Parse };
// Streaming packets, connections and datagrams. Protocol, InvalidLength and InvalidFormat
// carry a message; Crypto, Common and Encoding wrap the lower package's error.
enum class StreamingError : std::uint8_t {
  Protocol,
  InvalidSignature,
  InvalidLength,
  InvalidFormat,
  Crypto,
  Common,
  Encoding,
};
// The BitTorrent client's codecs and engine. Common and Encoding wrap the lower error; the
// others carry a message.
enum class BittorrentError : std::uint8_t { Common, Encoding, Krpc, Wire, Magnet, Metainfo, Bencode };

// Maps a family's variant enumeration to its family tag. Packages that own a later
// family (SAM, streaming, BitTorrent) specialise this next to their enumeration.
template <typename V>
struct ErrorFamilyOf;

#define ONDREL_ERROR_FAMILY(Enum, Tag)                      \
  template <>                                               \
  struct ErrorFamilyOf<Enum> {                              \
    static constexpr ErrorFamily family = ErrorFamily::Tag; \
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
ONDREL_ERROR_FAMILY(SamError, Sam);
ONDREL_ERROR_FAMILY(StreamingError, Streaming);
ONDREL_ERROR_FAMILY(BittorrentError, Bittorrent);

template <typename V>
concept ErrorVariant = std::is_enum_v<V> && requires {
  ErrorFamilyOf<V>::family;
};

class Error {
 public:
  template <ErrorVariant V>
  explicit Error(V variant) : family_(ErrorFamilyOf<V>::family), code_(static_cast<std::uint8_t>(variant)) {}

  template <ErrorVariant V>
  Error(V variant, std::string message)
      : family_(ErrorFamilyOf<V>::family),
        code_(static_cast<std::uint8_t>(variant)),
        kind_(Payload::Message),
        message_(std::move(message)) {}

  // Wraps a lower package's error whole; the wrapper adds no text.
  template <ErrorVariant V>
  Error(V variant, Error inner)
      : family_(ErrorFamilyOf<V>::family),
        code_(static_cast<std::uint8_t>(variant)),
        kind_(Payload::Wrapped),
        inner_(std::make_shared<const Error>(std::move(inner))) {}

  template <ErrorVariant V>
  Error(V variant, std::uint32_t number)
      : family_(ErrorFamilyOf<V>::family),
        code_(static_cast<std::uint8_t>(variant)),
        kind_(Payload::OneNumber),
        numbers_{number, 0} {}

  template <ErrorVariant V>
  Error(V variant, std::uint32_t first, std::uint32_t second)
      : family_(ErrorFamilyOf<V>::family),
        code_(static_cast<std::uint8_t>(variant)),
        kind_(Payload::TwoNumbers),
        numbers_{first, second} {}

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

  bool has_message() const { return kind_ == Payload::Message; }
  // The message payload, or an empty text when the payload is something else.
  std::string_view message() const { return message_; }

  // The wrapped inner error, or nullptr.
  const Error* inner() const { return inner_.get(); }

  // The innermost error of a chain of wrappers (this error when it wraps nothing).
  const Error& innermost() const {
    const Error* e = this;
    while (const Error* next = e->inner()) e = next;
    return *e;
  }

  // Number of numeric payload values (0, 1 or 2) and their values.
  int number_count() const { return kind_ == Payload::OneNumber ? 1 : kind_ == Payload::TwoNumbers ? 2 : 0; }
  std::optional<std::uint32_t> number(int index) const {
    if (index < 0 || index >= number_count()) return std::nullopt;
    return numbers_[static_cast<std::size_t>(index)];
  }

  friend bool operator==(const Error& a, const Error& b) {
    if (a.family_ != b.family_ || a.code_ != b.code_ || a.kind_ != b.kind_) return false;
    switch (a.kind_) {
      case Payload::None: return true;
      case Payload::Message: return a.message_ == b.message_;
      case Payload::Wrapped: return *a.inner_ == *b.inner_;
      case Payload::OneNumber: return a.numbers_[0] == b.numbers_[0];
      case Payload::TwoNumbers: return a.numbers_ == b.numbers_;
    }
    return false;
  }

 private:
  enum class Payload : std::uint8_t { None, Message, Wrapped, OneNumber, TwoNumbers };

  ErrorFamily family_;
  std::uint8_t code_;
  Payload kind_ = Payload::None;
  std::array<std::uint32_t, 2> numbers_{};
  std::string message_;
  std::shared_ptr<const Error> inner_;
};

template <typename T>
using Result = std::expected<T, Error>;

// Shorthand for returning a failure: `return fail(EncodingError::Truncated, "...")`.
template <ErrorVariant V, typename... Payload>
std::unexpected<Error> fail(V variant, Payload&&... payload) {
  return std::unexpected<Error>(Error(variant, std::forward<Payload>(payload)...));
}

// Shorthand for passing a lower layer's failure up inside a variant of the caller's own
// family: `if (!r) return wrap(NetError::Protocol, std::move(r.error()));`
template <ErrorVariant V>
std::unexpected<Error> wrap(V variant, Error inner) {
  return std::unexpected<Error>(Error(variant, std::move(inner)));
}

// The whole chain of an error as one line, for debug lines and test failure messages:
// each layer's family and variant, outermost first, then the innermost payload, e.g.
// "NetError::Protocol > Ntcp2Error::Encoding > EncodingError::Truncated: read_u8: unexpected
// EOF at 3" or "NetError::Protocol > Ntcp2Error::ClockSkew(1700000000, 1700000100)". A variant
// this table does not name shows as its family and number ("SamError#2").
std::string to_string(const Error& error);

// Builds a message from fixed text and decimal numbers: msg("need ", 32, " bytes, have ", 4).
namespace error_detail {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <std::integral I>
requires(!std::same_as<I, char> && !std::same_as<I, bool>) void append(std::string& out, I value) {
  out.append(std::to_string(value));
}
}  // namespace error_detail

template <typename... Parts>
std::string msg(const Parts&... parts) {
  std::string out;
  (error_detail::append(out, parts), ...);
  return out;
}
