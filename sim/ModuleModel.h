#pragma once
// A simulated VQX250 module as its registers show it: the EEPROM controller in either
// variant, the version register and a 2048-byte EEPROM. The Ethernet server
// (ModuleServer) and the simulated hub's slot bus both drive one of these.
//
// It answers by the module's register map (ModuleProtocol.h). A command word with a count
// of 0 moves 256 bytes. A command issued while the controller is not enabled, or one whose
// bytes touch the failing address, finishes without success.
//
// Strict mode (the default) makes the model an honest peer for a client under test:
// - it refuses, with no effect, what a module would not accept: a command word written to
//   the command register of the other variant; a command word with bits 19..29 set or
//   without exactly one of bits 30 and 31; a data word with bits outside its byte lanes; a
//   read of the other variant's status register, which gets no words and so no reply. Each refusal
//   is counted and passed to the reject handler;
// - the bits a client must ignore are not zero: the status words carry other bits besides
//   done and success (bits 2..7 of the variant-1 status byte, bits 0, 1 and 4..7 of the
//   variant-2 one, the high bytes, and the five other words of the status block), and each
//   word read from the data register carries 0xA5 in its high byte.
// Without strict mode everything is accepted and those bits are zero.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace vqx::sim {

class ModuleModel {
public:
    static constexpr int kEepromSize = 2048;
    /// The second version word of this model's variant-1 modules (any but kVersionVariant2).
    static constexpr std::uint16_t kVersionVariant1 = 0x0321;

    enum class Variant { V1 = 1, V2 = 2 };

    struct Faults {
        int failAtAddress = -1;    ///< a transfer touching this address finishes without success
        bool neverDone = false;    ///< the controller never reports done
        bool ignoreWrites = false; ///< writes report success but leave the EEPROM unchanged
        bool successWhileBusy = false; ///< the success bit shows before done does
    };

    using RejectHandler = std::function<void(const std::string& why)>;

    explicit ModuleModel(Variant variant = Variant::V1);

    void setStrict(bool strict) { m_strict = strict; }
    bool strict() const { return m_strict; }
    /// Receives a sentence for each refused request (strict mode).
    void setRejectHandler(RejectHandler handler) { m_onReject = std::move(handler); }
    /// Notes a request the module refused; the transports report their framing faults here.
    void reject(const std::string& why);
    int rejections() const { return m_rejections; }
    const std::string& lastRejection() const { return m_lastRejection; }

    Variant variant() const { return m_variant; }
    void setVariant(Variant v) { m_variant = v; }
    /// First word of the version register (not interpreted by the configurator).
    void setFirmwareWord(std::uint16_t w) { m_firmwareWord = w; }
    /// Status reads that report "busy" after each command before "done".
    void setBusyPolls(int polls) { m_busyPolls = polls < 0 ? 0 : polls; }
    /// Status reads that report "busy" after each write command, in place of the above (an
    /// EEPROM takes far longer to write a byte than to read one); -1: as for every command.
    void setWriteBusyPolls(int polls) { m_writeBusyPolls = polls < 0 ? -1 : polls; }
    Faults& faults() { return m_faults; }
    const Faults& faults() const { return m_faults; }

    std::array<std::uint8_t, kEepromSize>& eeprom() { return m_eeprom; }
    const std::array<std::uint8_t, kEepromSize>& eeprom() const { return m_eeprom; }

    /// The 12-byte network settings record at EEPROM addresses 6..17.
    std::array<std::uint8_t, 12> record() const;
    void setRecord(const std::array<std::uint8_t, 12>& bytes);

    /// One 32-bit register word written by the host.
    void writeRegister(std::uint8_t reg, std::uint32_t value);
    /// `count` 16-bit words read from a register; none when the read is refused.
    std::vector<std::uint16_t> readRegister(std::uint8_t reg, std::uint32_t count);

    /// Counters for tests.
    int commandsExecuted() const { return m_commands; }
    int statusReads() const { return m_statusReads; }

private:
    void startCommand(std::uint32_t word);
    std::uint8_t statusBits() const; // variant-independent: bit 0 done, bit 1 success

    Variant m_variant;
    bool m_strict = true;
    RejectHandler m_onReject;
    int m_rejections = 0;
    std::string m_lastRejection;
    std::uint16_t m_firmwareWord = 0x0100;
    std::array<std::uint8_t, kEepromSize> m_eeprom{};
    Faults m_faults;
    int m_busyPolls = 0;
    int m_writeBusyPolls = -1;

    bool m_enabled = false;
    std::deque<std::uint8_t> m_writeFifo; // bytes written to the data register
    std::vector<std::uint8_t> m_readData; // bytes fetched by the last read command
    std::size_t m_readPos = 0;
    int m_pollsLeft = 0;
    bool m_done = true;
    bool m_success = true;
    int m_commands = 0;
    int m_statusReads = 0;
};

} // namespace vqx::sim
