#pragma once
// The D2XX driver calls the hub link relies on, as one abstract interface. Backends:
// the vendor's library loaded at run time, libftdi, and (in sim/) a simulated hub.
// Status codes and the device-list node follow the vendor's D2XX definitions.

#include <cstdint>
#include <memory>
#include <string>

namespace vqx::usb {

using FT_STATUS = std::uint32_t;
using FT_HANDLE = void*;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
    FT_DEVICE_LIST_NOT_READY = 19,
};

/// The hub's USB ids: vendor 0x5A3C, product 0x2207 (D2XX ID 0x5A3C2207).
inline constexpr std::uint16_t kHubVendorId = 0x5A3C;
inline constexpr std::uint16_t kHubProductId = 0x2207;
inline constexpr std::uint32_t kHubDeviceId = std::uint32_t{kHubVendorId} << 16 | kHubProductId;

inline constexpr std::uint8_t FT_PURGE_RX = 1;
inline constexpr std::uint8_t FT_PURGE_TX = 2;
inline constexpr std::uint8_t FT_BITMODE_SYNC_BITBANG = 0x04;

/// One entry of the device list: one per device channel.
struct DeviceListNode {
    std::uint32_t Flags = 0;
    std::uint32_t Type = 0;
    std::uint32_t ID = 0; ///< vendor id << 16 | product id
    std::uint32_t LocId = 0;
    char SerialNumber[16] = {}; ///< up to 15 characters and a terminating zero
    char Description[64] = {};
    FT_HANDLE ftHandle = nullptr;
};

class D2xxDriver {
public:
    virtual ~D2xxDriver() = default;

    /// A short name for messages: "d2xx", "libftdi", "sim".
    virtual std::string name() const = 0;

    virtual FT_STATUS CreateDeviceInfoList(std::uint32_t* numDevs) = 0;
    /// Fills up to *numDevs nodes; *numDevs receives the number filled.
    virtual FT_STATUS GetDeviceInfoList(DeviceListNode* list, std::uint32_t* numDevs) = 0;
    virtual FT_STATUS Open(int deviceIndex, FT_HANDLE* handle) = 0;
    virtual FT_STATUS Close(FT_HANDLE handle) = 0;
    virtual FT_STATUS SetTimeouts(FT_HANDLE handle, std::uint32_t readMs,
                                  std::uint32_t writeMs) = 0;
    virtual FT_STATUS Purge(FT_HANDLE handle, std::uint32_t mask) = 0;
    virtual FT_STATUS SetBaudRate(FT_HANDLE handle, std::uint32_t baud) = 0;
    virtual FT_STATUS SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) = 0;
    virtual FT_STATUS Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                            std::uint32_t* bytesWritten) = 0;
    virtual FT_STATUS Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                           std::uint32_t* bytesReturned) = 0;

    /// A readable account of the last failure of this driver beyond its status code ("" when
    /// there is none), e.g. why the library could not be loaded or which device was refused.
    virtual std::string lastError() const { return {}; }
    /// True when the last failure was a device the user has no permission to open; programs
    /// then point the user at the udev rule (kUdevHint).
    virtual bool permissionDenied() const { return false; }
};

/// What user-facing programs say when a channel could not be opened for lack of permission.
inline constexpr const char* kUdevHint =
    "The USB hub cannot be opened for lack of permission. Install the udev rule "
    "60-vqx250-hub.rules into /etc/udev/rules.d or /lib/udev/rules.d, then run "
    "'udevadm control --reload' and plug the hub in again.";

/// The vendor's name for a D2XX status ("FT_DEVICE_NOT_FOUND"), or "" for an unknown one.
const char* statusName(FT_STATUS status);

} // namespace vqx::usb
