#pragma once
// Module type codes as the hub reports them: 4 bits per slot in the slot-type word (hub
// register 2, read as two 16-bit words, low half first). Slot 1 is bits 0..3, slot 2 bits
// 4..7, and so on up to slot 6 in bits 20..23; bits 24..31 carry no slot.

#include <array>
#include <cstdint>

namespace vqx::usb {

inline constexpr int kSlotCount = 6;

/// The display name of a module type code: 0 "No" (empty slot), 1 "Oscilloscope", 2 "Afg",
/// 3 "LAG", 4 "ADC", 5 "Strain", 6 "ICP", 9 "Thermo"; every other code "Unknown".
const char* moduleTypeName(int code);

/// The slot-type word from the four bytes hub register 2 delivers (first word first, each
/// low byte first).
std::uint32_t slotTypeWord(const std::uint8_t bytes[4]);

/// The type codes of slots 1..6 (array index 0..5) in a slot-type word.
std::array<int, kSlotCount> slotTypes(std::uint32_t word);

} // namespace vqx::usb
