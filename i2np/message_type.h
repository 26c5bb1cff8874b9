#pragma once
// The I2NP message-type byte. Bytes the router does not know are kept and written back.
#include <cstdint>

namespace i2np {

class I2npMessageType {
 public:
  enum class Kind : std::uint8_t {
    DatabaseStore,
    DatabaseLookup,
    DatabaseSearchReply,
    DeliveryStatus,
    Garlic,
    TunnelData,
    TunnelGateway,
    Data,
    TunnelBuild,
    TunnelBuildReply,
    VariableTunnelBuild,
    VariableTunnelBuildReply,
    ShortTunnelBuild,
    OutboundTunnelBuildReply,
    Unknown,
  };

  static const I2npMessageType DatabaseStore;
  static const I2npMessageType DatabaseLookup;
  static const I2npMessageType DatabaseSearchReply;
  static const I2npMessageType DeliveryStatus;
  static const I2npMessageType Garlic;
  static const I2npMessageType TunnelData;
  static const I2npMessageType TunnelGateway;
  static const I2npMessageType Data;
  static const I2npMessageType TunnelBuild;
  static const I2npMessageType TunnelBuildReply;
  static const I2npMessageType VariableTunnelBuild;
  static const I2npMessageType VariableTunnelBuildReply;
  static const I2npMessageType ShortTunnelBuild;
  static const I2npMessageType OutboundTunnelBuildReply;

  static constexpr I2npMessageType from_byte(std::uint8_t byte) { return I2npMessageType(byte); }

  // The wire byte (for Unknown, the byte it was read with).
  constexpr std::uint8_t byte() const { return byte_; }
  constexpr Kind kind() const {
    switch (byte_) {
      case 1: return Kind::DatabaseStore;
      case 2: return Kind::DatabaseLookup;
      case 3: return Kind::DatabaseSearchReply;
      case 10: return Kind::DeliveryStatus;
      case 11: return Kind::Garlic;
      case 18: return Kind::TunnelData;
      case 19: return Kind::TunnelGateway;
      case 20: return Kind::Data;
      case 21: return Kind::TunnelBuild;
      case 22: return Kind::TunnelBuildReply;
      case 23: return Kind::VariableTunnelBuild;
      case 24: return Kind::VariableTunnelBuildReply;
      case 25: return Kind::ShortTunnelBuild;
      case 26: return Kind::OutboundTunnelBuildReply;
      default: return Kind::Unknown;
    }
  }

  friend constexpr bool operator==(I2npMessageType, I2npMessageType) = default;

 private:
  constexpr explicit I2npMessageType(std::uint8_t byte) : byte_(byte) {}
  std::uint8_t byte_;
};

inline constexpr I2npMessageType I2npMessageType::DatabaseStore{1};
inline constexpr I2npMessageType I2npMessageType::DatabaseLookup{2};
inline constexpr I2npMessageType I2npMessageType::DatabaseSearchReply{3};
inline constexpr I2npMessageType I2npMessageType::DeliveryStatus{10};
inline constexpr I2npMessageType I2npMessageType::Garlic{11};
inline constexpr I2npMessageType I2npMessageType::TunnelData{18};
inline constexpr I2npMessageType I2npMessageType::TunnelGateway{19};
inline constexpr I2npMessageType I2npMessageType::Data{20};
inline constexpr I2npMessageType I2npMessageType::TunnelBuild{21};
inline constexpr I2npMessageType I2npMessageType::TunnelBuildReply{22};
inline constexpr I2npMessageType I2npMessageType::VariableTunnelBuild{23};
inline constexpr I2npMessageType I2npMessageType::VariableTunnelBuildReply{24};
inline constexpr I2npMessageType I2npMessageType::ShortTunnelBuild{25};
inline constexpr I2npMessageType I2npMessageType::OutboundTunnelBuildReply{26};

}  // namespace i2np
