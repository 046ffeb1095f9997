#pragma once
// A D2xxDriver that traces the traffic of the driver it wraps (the tool's -v).

#include <functional>
#include <memory>
#include <string>

#include <QString>

#include "D2xx.h"

namespace vqx::usb {

/// A driver decorator: passes every call on to the driver it wraps, and reports every byte
/// written to and read from the device, and every failed transfer, as a line of hex.
class TracingDriver : public D2xxDriver {
public:
    TracingDriver(std::unique_ptr<D2xxDriver> inner, std::function<void(const QString&)> trace);
    std::string name() const override { return m_inner->name(); }
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
    std::string lastError() const override { return m_inner->lastError(); }
    bool permissionDenied() const override { return m_inner->permissionDenied(); }

private:
    std::unique_ptr<D2xxDriver> m_inner;
    std::function<void(const QString&)> m_trace;
};

} // namespace vqx::usb
