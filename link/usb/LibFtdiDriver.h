#pragma once
// A D2XX driver on top of libftdi1, emulating what the hub link relies on:
//  * the device list has one entry per channel; a multi-channel chip's entries carry its USB
//    serial number with "A", "B", ... appended (cut to 15 characters) and its product string
//    with " A", " B", ...; ID = vendor << 16 | product. FTDI's own ids and the hub's id
//    0x5A3C2207 are found.
//  * a channel is opened by its position in that list, with an ftdi context of its own.
//  * FT_Read returns when all bytes have arrived or the read time-out has passed (libftdi's
//    reads may return 0 bytes, so they are repeated until then); FT_Write likewise.
//  * time-outs, purge of both buffers, baud rate and bit mode map to their libftdi calls.
//  * a channel the user may not open gives FT_DEVICE_NOT_OPENED, with permissionDenied() set
//    and lastError() naming the device; the programs add the udev hint (kUdevHint) once.
//  * lastError() and permissionDenied() describe the last failure since the last
//    FT_CreateDeviceInfoList or FT_Open, which clear them.
// Before SetTimeouts a channel uses 1000 ms for both time-outs.

#include <map>
#include <memory>
#include <vector>

#include "D2xx.h"
#include "FtdiSeam.h"

namespace vqx::usb {

class LibFtdiDriver final : public D2xxDriver {
public:
    /// Without an api, the real libftdi one.
    explicit LibFtdiDriver(std::unique_ptr<ftdi::Api> api = nullptr);
    ~LibFtdiDriver() override;

    std::string name() const override { return "libftdi"; }
    std::string lastError() const override { return m_lastError; }
    bool permissionDenied() const override { return m_permissionDenied; }

    FT_STATUS CreateDeviceInfoList(std::uint32_t* numDevs) override;
    FT_STATUS GetDeviceInfoList(DeviceListNode* list, std::uint32_t* numDevs) override;
    FT_STATUS Open(int deviceIndex, FT_HANDLE* handle) override;
    FT_STATUS Close(FT_HANDLE handle) override;
    FT_STATUS SetTimeouts(FT_HANDLE handle, std::uint32_t readMs, std::uint32_t writeMs) override;
    FT_STATUS Purge(FT_HANDLE handle, std::uint32_t mask) override;
    FT_STATUS SetBaudRate(FT_HANDLE handle, std::uint32_t baud) override;
    FT_STATUS SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) override;
    FT_STATUS Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                    std::uint32_t* bytesWritten) override;
    FT_STATUS Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                   std::uint32_t* bytesReturned) override;

    /// The D2XX device type for a chip's bcdDevice.
    static std::uint32_t deviceType(std::uint16_t bcdDevice);

private:
    struct Entry {
        std::size_t device = 0; ///< index into m_devices
        int channel = 0;
        DeviceListNode node;
    };
    struct OpenChannel {
        std::unique_ptr<ftdi::Channel> channel;
        std::size_t device = 0;
        int channelIndex = 0;
        std::uint32_t readMs = 1000;
        std::uint32_t writeMs = 1000;
    };

    FT_STATUS rebuildList();
    OpenChannel* find(FT_HANDLE handle);
    template <typename Step>
    FT_STATUS transfer(OpenChannel* c, std::uint32_t total, std::uint32_t timeoutMs,
                       std::uint32_t* moved, const char* failure, Step step);
    void fail(std::string text, bool permission = false);
    void clearError();

    std::unique_ptr<ftdi::Api> m_api;
    std::vector<ftdi::UsbDevice> m_devices;
    std::vector<Entry> m_entries;
    bool m_listBuilt = false;
    std::map<FT_HANDLE, std::unique_ptr<OpenChannel>> m_open;
    std::string m_lastError;
    bool m_permissionDenied = false;
};

} // namespace vqx::usb
