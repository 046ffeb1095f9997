#include "LibFtdiDriver.h"

#include <algorithm>
#include <cstring>

namespace vqx::usb {

namespace {

constexpr std::uint32_t kFlagOpened = 0x1;

void copyText(char* dest, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(dest, text.data(), n);
    dest[n] = '\0';
}

} // namespace

LibFtdiDriver::LibFtdiDriver(std::unique_ptr<ftdi::Api> api)
    : m_api(api ? std::move(api) : ftdi::createLibftdiApi()) {}

LibFtdiDriver::~LibFtdiDriver() = default; // open channels close with their contexts

std::uint32_t LibFtdiDriver::deviceType(std::uint16_t bcdDevice) {
    switch (bcdDevice & 0xFF00) {
    case 0x0200:
        return 1; // FT_DEVICE_AM
    case 0x0400:
        return 0; // FT_DEVICE_BM
    case 0x0500:
        return 4; // FT_DEVICE_2232C
    case 0x0600:
        return 5; // FT_DEVICE_232R
    case 0x0700:
        return 6; // FT_DEVICE_2232H
    case 0x0800:
        return 7; // FT_DEVICE_4232H
    case 0x0900:
        return 8; // FT_DEVICE_232H
    case 0x1000:
        return 9; // FT_DEVICE_X_SERIES
    default:
        return 3; // FT_DEVICE_UNKNOWN
    }
}

void LibFtdiDriver::fail(std::string text, bool permission) {
    m_lastError = std::move(text);
    m_permissionDenied = permission;
}

void LibFtdiDriver::clearError() {
    m_lastError.clear();
    m_permissionDenied = false;
}

FT_STATUS LibFtdiDriver::rebuildList() {
    std::vector<ftdi::UsbDevice> devices;
    std::string error;
    if (m_api->enumerate(devices, &error) < 0) {
        fail("libftdi could not list the USB devices: " + error);
        return FT_OTHER_ERROR;
    }
    m_devices = std::move(devices);
    m_entries.clear();
    for (std::size_t d = 0; d < m_devices.size(); ++d) {
        const ftdi::UsbDevice& dev = m_devices[d];
        const int channels = std::clamp(dev.channels, 1, 4);
        for (int c = 0; c < channels; ++c) {
            Entry e;
            e.device = d;
            e.channel = c;
            e.node.ID = std::uint32_t{dev.vendor} << 16 | dev.product;
            e.node.Type = deviceType(dev.bcdDevice);
            e.node.LocId = dev.locId + static_cast<std::uint32_t>(channels > 1 ? c + 1 : 0);
            std::string serial = dev.serial;
            std::string description = dev.description;
            if (channels > 1) {
                const char letter = static_cast<char>('A' + c);
                if (!serial.empty()) {
                    serial = serial.substr(0, sizeof e.node.SerialNumber - 2);
                    serial += letter;
                }
                description += ' ';
                description += letter;
            }
            copyText(e.node.SerialNumber, sizeof e.node.SerialNumber, serial);
            copyText(e.node.Description, sizeof e.node.Description, description);
            m_entries.push_back(e);
        }
    }
    m_listBuilt = true;
    return FT_OK;
}

FT_STATUS LibFtdiDriver::CreateDeviceInfoList(std::uint32_t* numDevs) {
    clearError();
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    if (const FT_STATUS st = rebuildList(); st != FT_OK)
        return st;
    *numDevs = static_cast<std::uint32_t>(m_entries.size());
    return FT_OK;
}

FT_STATUS LibFtdiDriver::GetDeviceInfoList(DeviceListNode* list, std::uint32_t* numDevs) {
    if (!list || !numDevs)
        return FT_INVALID_PARAMETER;
    if (!m_listBuilt)
        if (const FT_STATUS st = rebuildList(); st != FT_OK)
            return st;
    const auto n = std::min<std::size_t>(*numDevs, m_entries.size());
    for (std::size_t i = 0; i < n; ++i) {
        list[i] = m_entries[i].node;
        for (const auto& [handle, open] : m_open)
            if (open->device == m_entries[i].device && open->channelIndex == m_entries[i].channel)
                list[i].Flags |= kFlagOpened;
    }
    *numDevs = static_cast<std::uint32_t>(n);
    return FT_OK;
}

FT_STATUS LibFtdiDriver::Open(int deviceIndex, FT_HANDLE* handle) {
    clearError();
    if (!handle)
        return FT_INVALID_PARAMETER;
    if (!m_listBuilt)
        if (const FT_STATUS st = rebuildList(); st != FT_OK)
            return st;
    if (deviceIndex < 0 || static_cast<std::size_t>(deviceIndex) >= m_entries.size())
        return FT_DEVICE_NOT_FOUND;
    const Entry& e = m_entries[static_cast<std::size_t>(deviceIndex)];
    for (const auto& [h, open] : m_open)
        if (open->device == e.device && open->channelIndex == e.channel)
            return FT_DEVICE_NOT_OPENED; // already open
    ftdi::OpenError error = ftdi::OpenError::None;
    std::string message;
    auto channel = m_api->open(e.device, e.channel, &error, &message);
    if (!channel) {
        const std::string what = std::string("USB device ") + e.node.SerialNumber + ": " + message;
        switch (error) {
        case ftdi::OpenError::NoPermission:
            fail(what, true);
            return FT_DEVICE_NOT_OPENED;
        case ftdi::OpenError::NotFound:
            fail(what);
            return FT_DEVICE_NOT_FOUND;
        default:
            fail(what);
            return FT_DEVICE_NOT_OPENED;
        }
    }
    auto open = std::make_unique<OpenChannel>();
    open->channel = std::move(channel);
    open->device = e.device;
    open->channelIndex = e.channel;
    open->channel->setUsbTimeouts(static_cast<int>(open->readMs), static_cast<int>(open->writeMs));
    FT_HANDLE h = open.get();
    m_open.emplace(h, std::move(open));
    *handle = h;
    return FT_OK;
}

LibFtdiDriver::OpenChannel* LibFtdiDriver::find(FT_HANDLE handle) {
    const auto it = m_open.find(handle);
    return it == m_open.end() ? nullptr : it->second.get();
}

FT_STATUS LibFtdiDriver::Close(FT_HANDLE handle) {
    const auto it = m_open.find(handle);
    if (it == m_open.end())
        return FT_INVALID_HANDLE;
    m_open.erase(it);
    return FT_OK;
}

FT_STATUS LibFtdiDriver::SetTimeouts(FT_HANDLE handle, std::uint32_t readMs,
                                     std::uint32_t writeMs) {
    OpenChannel* c = find(handle);
    if (!c)
        return FT_INVALID_HANDLE;
    c->readMs = readMs;
    c->writeMs = writeMs;
    // One USB transfer never outlasts the emulated time-out (0 would mean "wait for ever").
    const auto usb = [](std::uint32_t ms) {
        return static_cast<int>(std::clamp<std::uint32_t>(ms, 1, 60000));
    };
    if (c->channel->setUsbTimeouts(usb(readMs), usb(writeMs)) < 0) {
        fail("setting the time-outs failed: " + c->channel->errorString());
        return FT_IO_ERROR;
    }
    return FT_OK;
}

FT_STATUS LibFtdiDriver::Purge(FT_HANDLE handle, std::uint32_t mask) {
    OpenChannel* c = find(handle);
    if (!c)
        return FT_INVALID_HANDLE;
    if (mask & ~std::uint32_t{FT_PURGE_RX | FT_PURGE_TX})
        return FT_INVALID_PARAMETER;
    if (c->channel->purge((mask & FT_PURGE_RX) != 0, (mask & FT_PURGE_TX) != 0) < 0) {
        fail("purging the buffers failed: " + c->channel->errorString());
        return FT_IO_ERROR;
    }
    return FT_OK;
}

FT_STATUS LibFtdiDriver::SetBaudRate(FT_HANDLE handle, std::uint32_t baud) {
    OpenChannel* c = find(handle);
    if (!c)
        return FT_INVALID_HANDLE;
    if (baud == 0 || baud > 12000000)
        return FT_INVALID_BAUD_RATE;
    const int rc = c->channel->setBaudRate(static_cast<int>(baud));
    if (rc < 0) {
        fail("setting the baud rate failed: " + c->channel->errorString());
        return rc == -1 ? FT_INVALID_BAUD_RATE : FT_IO_ERROR;
    }
    return FT_OK;
}

FT_STATUS LibFtdiDriver::SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    OpenChannel* c = find(handle);
    if (!c)
        return FT_INVALID_HANDLE;
    if (c->channel->setBitMode(mask, mode) < 0) {
        fail("setting the bit mode failed: " + c->channel->errorString());
        return FT_IO_ERROR;
    }
    return FT_OK;
}

// The loop Write and Read share: `step` moves up to a chunk and returns the bytes moved or
// a negative value on failure; the loop goes on until everything moved or the channel's
// time-out has passed.
template <typename Step>
FT_STATUS LibFtdiDriver::transfer(OpenChannel* c, std::uint32_t total, std::uint32_t timeoutMs,
                                  std::uint32_t* moved, const char* failure, Step step) {
    *moved = 0;
    const auto deadline = m_api->now() + std::chrono::milliseconds(timeoutMs);
    std::uint32_t done = 0;
    while (done < total) {
        const auto chunk = static_cast<int>(std::min<std::uint32_t>(total - done, 1u << 30));
        const int n = step(done, chunk);
        if (n < 0) {
            fail(failure + c->channel->errorString());
            *moved = done;
            return FT_IO_ERROR;
        }
        done += static_cast<std::uint32_t>(std::min(n, chunk));
        if (done < total && m_api->now() >= deadline)
            break;
    }
    *moved = done;
    return FT_OK;
}

FT_STATUS LibFtdiDriver::Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                               std::uint32_t* bytesWritten) {
    OpenChannel* c = find(handle);
    if (!c)
        return FT_INVALID_HANDLE;
    if (!bytesWritten || (!buffer && bytesToWrite))
        return FT_INVALID_PARAMETER;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    return transfer(c, bytesToWrite, c->writeMs, bytesWritten,
                    "writing to the USB device failed: ", [&](std::uint32_t at, int chunk) {
                        return c->channel->write(bytes + at, chunk);
                    });
}

FT_STATUS LibFtdiDriver::Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                              std::uint32_t* bytesReturned) {
    OpenChannel* c = find(handle);
    if (!c)
        return FT_INVALID_HANDLE;
    if (!bytesReturned || (!buffer && bytesToRead))
        return FT_INVALID_PARAMETER;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    return transfer(c, bytesToRead, c->readMs, bytesReturned,
                    "reading from the USB device failed: ", [&](std::uint32_t at, int chunk) {
                        return c->channel->read(bytes + at, chunk);
                    });
}

} // namespace vqx::usb
