#pragma once
// A simulated USB hub: a dual-channel device whose channel B speaks the hub's byte protocol,
// with hub registers 0..3, the slot-type word, a slot bus to six module models, and faults
// to inject. SimHubDriver presents one or more of them as a D2XX driver.
//
// Hub registers seen through channel B:
//   0  read   status: bit 0 the slot access completed, bit 1 it failed
//   1  read   the value fetched by the last slot read command
//   2  write  slot command: bits 0..7 module register (bit 5 = read), bits 10..15 slot select
//      read   slot-type word, two words (low half first): 4 bits per slot
//   3  write  value for the next slot write command
// A slot command with not exactly one select bit, or for an empty slot, fails (status 0x2).

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "D2xx.h"
#include "ModuleModel.h"

namespace vqx::sim {

class SimHub {
public:
    static constexpr std::uint32_t kId = 0x5A3C2207;
    /// Reply bytes the hub holds unread at most. A read request whose reply would not fit is
    /// not served (no reply, no effect), as the Ethernet simulator ignores reads beyond what
    /// it serves: a request for up to 2^26 words must not make the simulator hold 128 MiB.
    static constexpr std::size_t kMaxQueuedReply = std::size_t{1024} * 1024;

    struct Faults {
        // Device list
        bool missingPartner = false; ///< channel B is not in the device list
        bool partnerFirst = false;   ///< channel B stands before channel A
        std::uint32_t partnerId = 0; ///< ID of the channel B entry; 0 = the hub's ID
        // FT_Open and the configuration calls: the status each returns
        vqx::usb::FT_STATUS openA = vqx::usb::FT_OK;
        vqx::usb::FT_STATUS openB = vqx::usb::FT_OK;
        vqx::usb::FT_STATUS setTimeoutsA = vqx::usb::FT_OK;
        vqx::usb::FT_STATUS setTimeoutsB = vqx::usb::FT_OK;
        vqx::usb::FT_STATUS purgeA = vqx::usb::FT_OK;
        vqx::usb::FT_STATUS purgeB = vqx::usb::FT_OK;
        vqx::usb::FT_STATUS baudRateA = vqx::usb::FT_OK;
        vqx::usb::FT_STATUS bitModeA = vqx::usb::FT_OK;
        // Transfers on channel B
        std::uint32_t writeLimit = 0; ///< bytes accepted per FT_Write (0 = all)
        std::uint32_t readLimit = 0;  ///< bytes returned per FT_Read (0 = all there are)
        bool zeroByteWrites = false;  ///< FT_Write succeeds and moves nothing
        bool zeroByteReads = false;   ///< FT_Read succeeds and moves nothing
        bool silent = false;          ///< the hub answers no read request
        /// FT_Write moves nothing this many times in a row, then one byte, and so on (0 = off)
        int writeEmptyRun = 0;
        /// FT_Read returns nothing this many times in a row, then one byte, and so on (0 = off)
        int readEmptyRun = 0;
        int failWriteCall = -1; ///< this FT_Write on B (counted from 0) fails ...
        vqx::usb::FT_STATUS writeStatus = vqx::usb::FT_IO_ERROR; ///< ... with this status
        int failReadCall = -1; ///< this FT_Read on B (counted from 0) fails ...
        vqx::usb::FT_STATUS readStatus = vqx::usb::FT_IO_ERROR; ///< ... with this status
        // Slot bus
        int busyPolls = 0;            ///< status reads that show "pending" after a command
        std::uint16_t busyStatus = 0; ///< the status word while pending (bits 0, 1 clear)
        bool neverFinish = false;     ///< the status never sets bit 0 or bit 1
        int forcedStatus = -1;        ///< finished status word of every access (e.g. 0x2, 0x3)
        int failRegister = -1;        ///< accesses to this module register fail (0x2)
    };

    /// One access carried over the slot bus.
    struct SlotAccess {
        int slot = -1; ///< -1 when the select bits named no single slot
        std::uint8_t reg = 0;
        bool read = false;
        std::uint32_t value = 0; ///< written, or read
    };

    /// List entries `serial`+"A" and `serial`+"B", both with the hub's ID.
    explicit SimHub(std::string serial = "VQX25001");

    const std::string& serial() const { return m_serial; }
    /// The module in a slot (nullptr = empty slot) and the type code the hub reports for it.
    void setSlot(int slot, int typeCode, std::shared_ptr<ModuleModel> module);
    std::shared_ptr<ModuleModel> module(int slot) const;
    int slotType(int slot) const;
    /// The 32-bit slot-type word (bits 24..31 settable through setSlotTypeWord only).
    std::uint32_t slotTypeWord() const { return m_slotTypes; }
    void setSlotTypeWord(std::uint32_t word) { m_slotTypes = word; }

    Faults& faults() { return m_faults; }

    // ---- What the hub saw, for tests ----
    bool channelOpen(char channel) const { return channel == 'A' ? m_openA : m_openB; }
    /// The driver calls on both channels in order, e.g. "Open A", "SetTimeouts B 1000 1000",
    /// "Purge A 3", "SetBaudRate A 115200", "SetBitMode A 0x00 0x04", "Close B".
    const std::vector<std::string>& calls() const { return m_calls; }
    /// The bytes accepted by each FT_Write on channel B.
    const std::vector<std::vector<std::uint8_t>>& writes() const { return m_writes; }
    /// All bytes accepted on channel B, in order.
    std::vector<std::uint8_t> wire() const;
    const std::vector<SlotAccess>& accesses() const { return m_accesses; }
    /// FT_Write and FT_Read calls on channel B, including failed and empty ones, since the
    /// last clearLog(); failWriteCall and failReadCall count the same way.
    int writeCalls() const { return m_writeCalls; }
    int readCalls() const { return m_readCalls; }
    /// Status reads of hub register 0.
    int statusReads() const { return m_statusReads; }
    /// Bytes the hub has answered that no FT_Read has taken yet.
    std::size_t pendingReply() const { return m_reply.size(); }
    void clearLog();

    // ---- Device side for a transport other than SimHubDriver (the USB-level emulation) ----
    /// Bytes arriving on channel B, as if one FT_Write had accepted them all (logged in
    /// writes(); the write faults above are not applied).
    void receive(const std::uint8_t* data, std::size_t size);
    /// Moves up to `max` bytes of the hub's answers to `data`; returns how many.
    std::size_t takeReply(std::uint8_t* data, std::size_t max);

private:
    friend class SimHubDriver;

    // Device side, driven by SimHubDriver.
    void log(std::string call) { m_calls.push_back(std::move(call)); }
    vqx::usb::FT_STATUS write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* written);
    vqx::usb::FT_STATUS read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got);
    void purgeB(std::uint32_t mask);
    void feed(std::uint8_t byte);
    void writeRegister(std::uint8_t reg, std::uint32_t word);
    void readRegister(std::uint8_t reg, std::uint32_t count);
    void startSlotAccess(std::uint32_t command);
    std::uint16_t pollStatus();

    std::string m_serial;
    std::uint32_t m_slotTypes = 0;
    std::shared_ptr<ModuleModel> m_modules[6];
    Faults m_faults;

    bool m_openA = false;
    bool m_openB = false;

    // Channel B protocol state
    int m_header = -1; ///< header of the request being received, -1 between requests
    std::vector<std::uint8_t> m_pending;
    std::deque<std::uint8_t> m_reply;
    int m_writeCalls = 0;
    int m_readCalls = 0;
    int m_writeRun = 0; ///< empty FT_Write calls in a row under writeEmptyRun
    int m_readRun = 0;  ///< empty FT_Read calls in a row under readEmptyRun

    // Hub registers
    std::uint32_t m_writeData = 0;
    std::uint16_t m_readData = 0;
    std::uint16_t m_status = 0;
    int m_pollsLeft = 0;

    std::vector<std::string> m_calls;
    std::vector<std::vector<std::uint8_t>> m_writes;
    std::vector<SlotAccess> m_accesses;
    int m_statusReads = 0;
};

/// A D2XX driver whose device list holds the channels of one or more simulated hubs, in the
/// order given, and optionally other entries (other FTDI devices) that open but do nothing.
class SimHubDriver : public vqx::usb::D2xxDriver {
public:
    struct Faults {
        vqx::usb::FT_STATUS createList = vqx::usb::FT_OK; ///< status of FT_CreateDeviceInfoList
        vqx::usb::FT_STATUS getList = vqx::usb::FT_OK;    ///< status of FT_GetDeviceInfoList
        std::int64_t reportedCount = -1; ///< count FT_CreateDeviceInfoList reports; -1 = true
    };

    explicit SimHubDriver(std::shared_ptr<SimHub> hub);
    explicit SimHubDriver(std::vector<std::shared_ptr<SimHub>> hubs);
    ~SimHubDriver() override;

    /// Another device-list entry: at the end, or in front of everything.
    void addEntry(const vqx::usb::DeviceListNode& node, bool inFront = false);
    Faults& faults() { return m_faults; }
    /// Handles currently open, on all hubs and entries.
    int openHandles() const { return static_cast<int>(m_handles.size()); }

    std::string name() const override { return "sim"; }

    vqx::usb::FT_STATUS CreateDeviceInfoList(std::uint32_t* numDevs) override;
    vqx::usb::FT_STATUS GetDeviceInfoList(vqx::usb::DeviceListNode* list,
                                          std::uint32_t* numDevs) override;
    vqx::usb::FT_STATUS Open(int deviceIndex, vqx::usb::FT_HANDLE* handle) override;
    vqx::usb::FT_STATUS Close(vqx::usb::FT_HANDLE handle) override;
    vqx::usb::FT_STATUS SetTimeouts(vqx::usb::FT_HANDLE handle, std::uint32_t readMs,
                                    std::uint32_t writeMs) override;
    vqx::usb::FT_STATUS Purge(vqx::usb::FT_HANDLE handle, std::uint32_t mask) override;
    vqx::usb::FT_STATUS SetBaudRate(vqx::usb::FT_HANDLE handle, std::uint32_t baud) override;
    vqx::usb::FT_STATUS SetBitMode(vqx::usb::FT_HANDLE handle, std::uint8_t mask,
                                   std::uint8_t mode) override;
    vqx::usb::FT_STATUS Write(vqx::usb::FT_HANDLE handle, const void* buffer,
                              std::uint32_t bytesToWrite, std::uint32_t* bytesWritten) override;
    vqx::usb::FT_STATUS Read(vqx::usb::FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                             std::uint32_t* bytesReturned) override;

private:
    struct Entry {
        SimHub* hub = nullptr; ///< nullptr for another device
        char channel = 0;      ///< 'A' or 'B'
        vqx::usb::DeviceListNode node;
        std::size_t extra = 0; ///< index into m_extraOpen for another device
    };
    struct Handle {
        SimHub* hub = nullptr;
        char channel = 0;
        std::size_t extra = 0;
    };
    std::vector<Entry> entries() const;
    Handle* find(vqx::usb::FT_HANDLE handle);

    std::vector<std::shared_ptr<SimHub>> m_hubs;
    std::vector<std::pair<vqx::usb::DeviceListNode, bool>> m_extras; ///< node, in front
    std::vector<bool> m_extraOpen;
    Faults m_faults;
    std::map<vqx::usb::FT_HANDLE, std::unique_ptr<Handle>> m_handles;
};

/// A hub whose six slots hold the given type codes (0 = an empty slot); a type-2 slot holds a
/// variant-2 module, the others variant 1; each module's network settings record is gateway
/// 192.168.1.1, mask 255.255.255.0 and IP address 192.168.1.101 + slot.
std::shared_ptr<SimHub> makeHub(const std::array<int, 6>& types, std::string serial = "VQX25001");

/// The demonstration hub: slot types 1, 2, 3, 9, 5 and an empty sixth slot (slot-type bytes
/// 0x21 0x93 0x05 0x00); the type-2 slot holds a variant-2 module, the others variant 1; each
/// module's network settings record is gateway 192.168.1.1, mask 255.255.255.0 and IP address
/// 192.168.1.101 + slot.
std::shared_ptr<SimHub> makeDemoHub(std::string serial = "VQX25001");

/// Makes the kind "sim" of vqx::usb::createDriver give a SimHubDriver on `hub`.
void registerSimDriver(const std::shared_ptr<SimHub>& hub);

} // namespace vqx::sim
