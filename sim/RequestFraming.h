#pragma once
// The request side of the module's TCP protocol as the simulated module reads it: 6-byte
// groups cut from a byte stream and checked as a module checks them. Bytes only: ModuleServer
// moves them and acts on the groups; the fuzz target drives this directly.
//
// A group is a header byte (bit 7 set, bit 6 = read, bits 0..4 the register) and five data
// bytes carrying a 32-bit value seven bits at a time, least significant group first. Strict
// (a module's own behaviour): a data byte with bit 7 set ends the group early and the bytes
// before it are refused; a header with the reserved bit 5 or a fifth data byte with bits 4..6
// refuses the whole group; a run of bytes outside any group is refused once. Lax: bytes
// outside a group are skipped silently and every six bytes from a header make a group.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vqx::sim {

/// Reads of more words than this are not served (no reply).
inline constexpr std::uint32_t kMaxServedReadWords = 65536;

/// The 32-bit value of a group's five data bytes; bits 4..7 of the fifth byte are ignored.
std::uint32_t decodeRequestValue(const std::uint8_t* fiveBytes);

struct RequestStep {
    enum class Kind {
        NeedMore, ///< no whole group yet: wait for more bytes (nothing taken)
        Group,    ///< a group of 6 bytes to act on
        Skip,     ///< bytes to drop: outside any group, or a refused group
    };
    Kind kind = Kind::NeedMore;
    std::size_t length = 0; ///< bytes taken from the stream; 0 for NeedMore
    std::string rejection;  ///< strict mode: why the bytes are refused ("" when they are not)
};

/// The next step over the `available` unhandled bytes at `p`. `stray` belongs to the
/// connection: it is set while a run of bytes outside any group is being skipped (so that the
/// run is refused once), and cleared at the next header byte.
RequestStep nextRequest(const std::uint8_t* p, std::size_t available, bool strict, bool& stray);

} // namespace vqx::sim
