#pragma once
// What a module is to every link: its registers, its two EEPROM controller variants, the
// EEPROM command words and status bits. The same map holds over Ethernet (NetFraming) and on
// a hub's slot bus (UsbFraming); the simulators answer by it. No other file spells a module
// register number.

#include <cstdint>

namespace vqx::module {

// ---- Registers -----------------------------------------------------------------------------

inline constexpr std::uint8_t kRegControl = 0;    ///< write 1 before each EEPROM command
inline constexpr std::uint8_t kRegStatusV2 = 3;   ///< variant 2: EEPROM status, one word
inline constexpr std::uint8_t kRegStatusV1 = 4;   ///< variant 1: EEPROM status, six words
inline constexpr std::uint8_t kRegCommandV1 = 10; ///< variant 1: EEPROM command word
inline constexpr std::uint8_t kRegCommandV2 = 13; ///< variant 2: EEPROM command word
inline constexpr std::uint8_t kRegVersion = 14;   ///< two words; the second tells the variant
inline constexpr std::uint8_t kRegData = 15;      ///< EEPROM data: written bytes in, read bytes out

inline constexpr std::uint32_t kVersionWords = 2; ///< the version register is read as two words
/// The second version word of a module with EEPROM controller variant 2.
inline constexpr std::uint16_t kVersionVariant2 = 0x0330;

// ---- Controller variants -------------------------------------------------------------------

inline constexpr int kVariant1 = 1;
inline constexpr int kVariant2 = 2;

/// The variant a second version word selects: 0x0330 variant 2, anything else variant 1.
constexpr int variantFromVersion(std::uint16_t secondWord) {
    return secondWord == kVersionVariant2 ? kVariant2 : kVariant1;
}
/// The variant of the version register's four bytes as read (each word low byte first).
constexpr int variantFromVersionBytes(const std::uint8_t bytes[4]) {
    return variantFromVersion(static_cast<std::uint16_t>(bytes[2] | (bytes[3] << 8)));
}
/// Through a hub the variant follows the slot's module type: type 2 (Afg) has variant 2.
inline constexpr int kTypeAfg = 2;
constexpr int variantFromType(int moduleType) {
    return moduleType == kTypeAfg ? kVariant2 : kVariant1;
}
constexpr std::uint8_t commandRegister(int variant) {
    return variant == kVariant2 ? kRegCommandV2 : kRegCommandV1;
}
constexpr std::uint8_t statusRegister(int variant) {
    return variant == kVariant2 ? kRegStatusV2 : kRegStatusV1;
}
/// Words read from the status register of a variant.
constexpr std::uint32_t statusWords(int variant) {
    return variant == kVariant2 ? 1 : 6;
}

// ---- EEPROM command words ------------------------------------------------------------------

inline constexpr std::uint32_t kCommandRead = 0x80000000;  ///< bit 31: read into the data register
inline constexpr std::uint32_t kCommandWrite = 0x40000000; ///< bit 30: write from the data register
inline constexpr std::uint32_t kAddressMask = 0x7FF;       ///< bits 8..18 carry the address
inline constexpr std::uint32_t kCommandReserved = 0x3FF80000; ///< bits 19..29, always 0
inline constexpr std::uint32_t kMaxReadBytes = 256; ///< bytes one read command moves at most
inline constexpr std::uint32_t kMaxWriteBytes = 64; ///< bytes one write command moves at most

/// A command word: the operation, the address (modulo 2048) in bits 8..18 and the byte
/// count in bits 0..7 (256 is carried as 0).
constexpr std::uint32_t eepromCommand(bool write, std::uint32_t address, std::uint32_t count) {
    return (write ? kCommandWrite : kCommandRead) | ((address & kAddressMask) << 8) |
           (count & 0xFFu);
}
constexpr bool isReadCommand(std::uint32_t word) {
    return (word & kCommandRead) != 0;
}
constexpr bool isWriteCommand(std::uint32_t word) {
    return (word & kCommandWrite) != 0;
}
constexpr std::uint16_t commandAddress(std::uint32_t word) {
    return static_cast<std::uint16_t>((word >> 8) & kAddressMask);
}
constexpr std::uint32_t commandCount(std::uint32_t word) {
    return word & 0xFFu;
}

// ---- EEPROM status -------------------------------------------------------------------------

/// Variant 1: byte 10 of the twelve status bytes (the low byte of the sixth word).
inline constexpr int kStatusByteV1 = 10;
inline constexpr std::uint8_t kStatusDoneV1 = 0x02;
inline constexpr std::uint8_t kStatusSuccessV1 = 0x01;
/// Variant 2: byte 0 (the low byte of the one word).
inline constexpr int kStatusByteV2 = 0;
inline constexpr std::uint8_t kStatusDoneV2 = 0x04;
inline constexpr std::uint8_t kStatusSuccessV2 = 0x08;

struct EepromStatus {
    bool done = false;
    bool success = false; ///< meaningful once done
};

/// The controller's state from the bytes of a status read (2 * statusWords(variant) bytes).
constexpr EepromStatus decodeStatus(int variant, const std::uint8_t* bytes) {
    if (variant == kVariant2)
        return {(bytes[kStatusByteV2] & kStatusDoneV2) != 0,
                (bytes[kStatusByteV2] & kStatusSuccessV2) != 0};
    return {(bytes[kStatusByteV1] & kStatusDoneV1) != 0,
            (bytes[kStatusByteV1] & kStatusSuccessV1) != 0};
}
/// The status bits a controller of `variant` shows (the low byte of its status word).
constexpr std::uint8_t statusBits(int variant, bool done, bool success) {
    if (variant == kVariant2)
        return static_cast<std::uint8_t>((done ? kStatusDoneV2 : 0) |
                                         (success ? kStatusSuccessV2 : 0));
    return static_cast<std::uint8_t>((done ? kStatusDoneV1 : 0) | (success ? kStatusSuccessV1 : 0));
}

// ---- Data register -------------------------------------------------------------------------

/// Bytes to write go two to a data word: the first in bits 0..7, the second in bits 16..23.
constexpr std::uint32_t dataLaneShift(std::uint32_t byteIndex) {
    return (byteIndex % 2) ? 16 : 0;
}
/// The lanes a data word may use; other bits are reserved.
inline constexpr std::uint32_t kDataLanes = 0x00FF00FF;
/// A byte read back is the low byte of its 16-bit data word.
constexpr std::uint8_t dataByte(std::uint16_t word) {
    return static_cast<std::uint8_t>(word & 0xFF);
}

} // namespace vqx::module
