#pragma once
// The module's network settings record: twelve EEPROM bytes at addresses 6 to 17,
// the same on the Ethernet and the USB link.
//
//   addresses  6.. 9  gateway      (octet 4 first)
//   addresses 10..13  subnet mask  (octet 4 first)
//   addresses 14..17  IP address   (octet 4 first)
//
// Each address is stored last octet first, so its four bytes read as a little-endian
// 32-bit number are its packed form (octet 1 in bits 24..31).

#include <array>
#include <cstdint>
#include <optional>

#include <QString>

namespace vqx {

inline constexpr std::uint16_t kRecordFirstAddress = 6;
inline constexpr int kRecordSize = 12;
inline constexpr std::uint16_t kModulePort = 23100;

using RecordBytes = std::array<std::uint8_t, kRecordSize>;

struct NetworkRecord {
    std::uint32_t gateway = 0; // packed: octet 1 in bits 24..31
    std::uint32_t mask = 0;
    std::uint32_t ip = 0;

    /// Record buffer in EEPROM order: byte i belongs to EEPROM address 6 + i.
    RecordBytes toBytes() const;
    static NetworkRecord fromBytes(const RecordBytes& bytes);

    friend bool operator==(const NetworkRecord&, const NetworkRecord&) = default;
};

/// "192.168.1.20" for the packed address 0xC0A80114.
QString formatAddress(std::uint32_t packed);
/// Parses strict dotted-decimal IPv4 text (four fields of 0..255, no blanks inside, no
/// leading zeros: "010.0.0.1" is refused, since other parsers read 010 as octal).
std::optional<std::uint32_t> parseAddress(const QString& text);

} // namespace vqx
