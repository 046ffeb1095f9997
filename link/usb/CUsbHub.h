#pragma once
// The USB link to a hub: a dual-channel FTDI device with six module slots, reached through
// the D2XX calls of D2xxDriver. Channel A is configured on open; channel B carries the
// register protocol. All operations return a result code: 0 for success, a D2XX status
// passed through unchanged, or one of the negative codes below. The hub link's own codes
// never coincide with a D2XX status; ShownCode gives the number a user sees for a code.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "D2xx.h"
#include "ModuleTypes.h"

class CUsbHub {
public:
    // Result codes of the hub link besides 0 and the D2XX statuses.
    static constexpr int kNoHub = -1; ///< empty list, no hub with the index, no partner
    static constexpr int kSetTimeoutsFailed = -3;
    static constexpr int kPurgeFailed = -4;
    static constexpr int kSetBitModeFailed = -6;
    static constexpr int kSetBaudRateFailed = -7;
    /// The hub's status reported a failed module access. Shown to the user as 10
    /// (kSlotAccessShown), the number under which the hub's documentation lists it.
    static constexpr int kSlotAccessFailed = -25;
    static constexpr int kSlotAccessShown = 10;
    /// The driver kept moving no bytes; after a read, channel B's receive buffer is purged.
    static constexpr int kTransferStalled = -20;
    static constexpr int kSlotPollTimeout = -21; ///< the slot-bus status never finished
    static constexpr int kBadSlot = -22;         ///< slot index outside 0..5; bus untouched
    static constexpr int kOutOfMemory = -23;     ///< the device-list array could not be allocated
    /// The driver reported more list entries than kMaxListEntries; taken as a broken driver.
    static constexpr int kListTooLong = -24;

    static constexpr std::uint32_t kHubId = 0x5A3C2207;

    /// Consecutive FT_Write or FT_Read calls that move no byte before kTransferStalled.
    static constexpr int kMaxEmptyCalls = 10;
    /// Reads of the slot-bus status after one command before kSlotPollTimeout.
    static constexpr int kMaxStatusPolls = 1000;
    /// A device list longer than this is refused with kListTooLong.
    static constexpr std::uint32_t kMaxListEntries = 4096;

    /// Takes ownership of the driver; without one, the default backend is chosen
    /// (createDriver("auto"): the vendor library when it loads and can reach the hub,
    /// otherwise libftdi).
    explicit CUsbHub(std::unique_ptr<vqx::usb::D2xxDriver> driver = nullptr);
    virtual ~CUsbHub();
    CUsbHub(const CUsbHub&) = delete;
    CUsbHub& operator=(const CUsbHub&) = delete;

    /// Replaces the driver; an open hub is closed first.
    void SetDriver(std::unique_ptr<vqx::usb::D2xxDriver> driver);
    /// The driver; nullptr when no backend could be made (every operation then fails with
    /// FT_DEVICE_NOT_FOUND, and DriverError() says why).
    vqx::usb::D2xxDriver* Driver() const;
    /// Why the default backend could not be made, e.g. "The FTDI D2XX library (FTD2XX.dll)
    /// could not be loaded: ..."; "" while there is a driver.
    std::string DriverError() const;
    /// The fixed waits of the slot EEPROM transfers (100 ms) go through this; tests inject
    /// a clock. The default sleeps the calling thread.
    void SetSleep(std::function<void(unsigned ms)> sleep);

    int CountHubs(std::uint8_t& count);
    int Open(std::uint8_t index);
    /// The serial number of hub `index` (numbered as for Open), without the channel letter.
    int HubSerial(std::uint8_t index, std::string& serial);
    void Close();
    bool IsOpen() const;

    int WriteRegs(std::uint8_t reg, const std::uint32_t* words, std::uint32_t count);
    int ReadRegs(std::uint8_t reg, std::uint8_t* buffer, std::uint32_t count);

    int WriteSlotReg(int slot, std::uint8_t reg, std::uint32_t value);
    int ReadSlotReg(int slot, std::uint8_t reg, std::uint16_t& value);

    /// The module types of slots 1..6 (index 0..5) from the slot-type word (hub register 2,
    /// two words); nothing is written on failure.
    int ReadSlotTypes(std::array<int, vqx::usb::kSlotCount>& types);

    int ReadSlotEeprom(int slot, std::uint16_t address, std::uint8_t& byte);
    int WriteSlotEeprom(int slot, std::uint16_t address, std::uint8_t data);
    /// Whether the last ReadSlotEeprom or WriteSlotEeprom got its EEPROM command word out to
    /// the hub (at least one byte of the slot command that writes the module's command
    /// register was taken by the driver). When it failed after that, the module may have
    /// carried the command out.
    bool CommandReached() const;
    /// The serial number of channel A of the open hub, as the device list gave it ("" when
    /// no hub is open).
    std::string OpenedSerial() const;

    /// What a result code of this link means, in words, for messages and logs.
    static const char* Describe(int code);
    /// The number a code is shown as: kSlotAccessShown for kSlotAccessFailed (which a D2XX
    /// status of the same number then shares; Describe tells them apart), else the code.
    static int ShownCode(int code);

private:
    int PollSlotStatus(std::uint32_t& status);
    int BeginSlotEeprom(int slot, std::uint8_t& commandReg);
    int SendSlotEepromCommand(int slot, std::uint8_t commandReg, std::uint32_t command);

    struct Private;
    std::unique_ptr<Private> d;
};
