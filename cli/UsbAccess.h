#pragma once
// Reaching modules through a USB hub: the hub session (count, open, slot types) and a
// ModuleTarget per slot. Slots are numbered 1..6 here as the user sees them; the hub link
// takes 0..5.

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "D2xx.h"
#include "ModuleAccess.h"

class CUsbHub;

namespace vqx::cli {

/// Wraps a driver and reports every byte written to and read from the device (-v).
class TracingDriver : public vqx::usb::D2xxDriver {
public:
    TracingDriver(std::unique_ptr<vqx::usb::D2xxDriver> inner,
                  std::function<void(const QString&)> trace);
    std::string name() const override { return m_inner->name(); }
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
    std::string lastError() const override { return m_inner->lastError(); }
    bool permissionDenied() const override { return m_inner->permissionDenied(); }
    /// The serial number of the first device opened, as the device list gave it ("" before).
    const std::string& openedSerial() const { return m_openedSerial; }
    /// Also called with the bytes of every Write call that moved at least one byte.
    void setSentObserver(std::function<void(const std::uint8_t* data, std::uint32_t size)> f) {
        m_sent = std::move(f);
    }

private:
    std::unique_ptr<vqx::usb::D2xxDriver> m_inner;
    std::function<void(const QString&)> m_trace;
    std::function<void(const std::uint8_t*, std::uint32_t)> m_sent;
    std::vector<std::string> m_listedSerials;
    std::string m_openedSerial;
};

/// One hub, opened once for all slots a command touches.
class HubSession {
public:
    HubSession(std::unique_ptr<vqx::usb::D2xxDriver> driver, int hubNumber);
    ~HubSession();

    /// Counts the hubs and opens the one numbered hubNumber (from 0). No driver, no hub or a
    /// hub that cannot be opened: Exit::Unreachable. The driver's standing note (a vendor
    /// library that may not list the hub) is added only where the hub was not found.
    Outcome open();
    /// Reads the slot-type word; codes of slots 1..6 at index 0..5. Failure: Exit::Device.
    Outcome readSlotTypes(std::array<int, 6>& codes);
    CUsbHub& hub() { return *m_hub; }
    /// Watches the bytes sent to the hub for the slot-bus write of an EEPROM command word to
    /// the module in `slot` (0..5); commandSent() tells whether one has gone out since.
    void watchForCommand(int slot);
    bool commandSent() const { return m_commandSent; }
    /// What names this hub for locks: its serial number once open, without the channel letter
    /// ("hub-VQX25001" for channels VQX25001A and VQX25001B), else its number ("hub-0").
    QString lockName() const;
    QString name() const { return QStringLiteral("hub %1").arg(m_number); }

private:
    std::unique_ptr<CUsbHub> m_hub;
    QString m_driverName;
    QString m_standingNote; ///< the driver's note before any call (e.g. on listing the hub)
    int m_number;
    TracingDriver* m_watch = nullptr; ///< owned by m_hub
    int m_watchedSlot = -1;
    bool m_commandSent = false;
    bool m_open = false;
};

/// The module in one slot (1..6). open() reads the slot-type word and refuses an empty slot
/// (type 0) as unreachable; the transfers are the dialog's: ReadSlotEeprom/WriteSlotEeprom
/// one byte at a time, about 100 ms each.
class SlotTarget : public ModuleTarget {
public:
    SlotTarget(HubSession& session, int slot);
    QString name() const override;
    Outcome open() override;
    Outcome readRecord(NetworkRecord& record, const Progress& progress) override;
    Outcome writeRecord(const NetworkRecord& record, const Progress& progress) override;
    Outcome lockKey(QString& key) override;
    int typeCode() const { return m_type; }

private:
    HubSession& m_session;
    int m_slot;
    int m_type = -1;
};

} // namespace vqx::cli
