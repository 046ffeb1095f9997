#include "ModuleTypes.h"

namespace vqx::usb {

const char* moduleTypeName(int code) {
    switch (code) {
    case 0:
        return "No";
    case 1:
        return "Oscilloscope";
    case 2:
        return "Afg";
    case 3:
        return "LAG";
    case 4:
        return "ADC";
    case 5:
        return "Strain";
    case 6:
        return "ICP";
    case 9:
        return "Thermo";
    default:
        return "Unknown";
    }
}

std::uint32_t slotTypeWord(const std::uint8_t bytes[4]) {
    return std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
           (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
}

std::array<int, kSlotCount> slotTypes(std::uint32_t word) {
    std::array<int, kSlotCount> codes{};
    for (int n = 0; n < kSlotCount; ++n)
        codes[static_cast<std::size_t>(n)] = static_cast<int>((word >> (4 * n)) & 0xFu);
    return codes;
}

} // namespace vqx::usb
