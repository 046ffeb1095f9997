#pragma once
// The few libftdi/libusb operations the libftdi backend needs, behind an interface, so that
// its device list and its read/write emulation are tested without a device. The real
// implementation (createLibftdiApi) uses one ftdi context per opened channel.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vqx::usb::ftdi {

/// One FTDI chip found on the bus.
struct UsbDevice {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t bcdDevice = 0; ///< tells the chip type
    int channels = 1;            ///< interfaces of the chip: 2 for a dual-channel chip
    std::string serial;          ///< USB serial number string ("" when unknown)
    std::string description;     ///< USB product string
    std::uint32_t locId = 0;     ///< bus and port, as a number
};

/// One opened channel (interface) of a chip.
class Channel {
public:
    virtual ~Channel() = default;
    /// libftdi's own USB time-outs for one transfer.
    virtual int setUsbTimeouts(int readMs, int writeMs) = 0;
    virtual int purge(bool rx, bool tx) = 0;
    virtual int setBaudRate(int baud) = 0;
    virtual int setBitMode(std::uint8_t mask, std::uint8_t mode) = 0;
    /// Bytes the device accepted (>= 0), or a negative error. When the USB write time-out
    /// passes first, the bytes accepted until then (possibly 0): a time-out is no error.
    virtual int write(const std::uint8_t* data, int size) = 0;
    /// Bytes read (0 when nothing has arrived yet) or a negative libftdi error.
    virtual int read(std::uint8_t* data, int size) = 0;
    virtual std::string errorString() const = 0;
};

enum class OpenError { None, NoPermission, Busy, NotFound, Other };

class Api {
public:
    virtual ~Api() = default;
    /// Lists the FTDI chips: FTDI's own ids and the hub's. 0 or a negative error.
    virtual int enumerate(std::vector<UsbDevice>& devices, std::string* error) = 0;
    /// Opens channel `channel` (0 = A) of the chip at `deviceIndex` of the last enumerate().
    virtual std::unique_ptr<Channel> open(std::size_t deviceIndex, int channel, OpenError* error,
                                          std::string* message) = 0;
    /// A monotonic clock for the time-outs of the read/write emulation.
    virtual std::chrono::milliseconds now() = 0;
};

/// The real thing on top of libftdi1.
std::unique_ptr<Api> createLibftdiApi();

/// libusb's status of a transfer whose time-out passed (LIBUSB_ERROR_TIMEOUT).
inline constexpr int kUsbErrorTimeout = -7;

/// One bulk OUT transfer: 0 or a negative libusb status, the bytes moved in *transferred
/// (also on a time-out).
using BulkOut = std::function<int(const std::uint8_t* data, int size, int* transferred)>;

/// Writes `size` bytes as bulk transfers of at most `pieceSize` bytes. Returns the bytes
/// accepted: all of them, or those accepted until a transfer timed out (libftdi's
/// ftdi_write_data would lose that count). Any other failure gives its negative status.
int writeInPieces(const std::uint8_t* data, int size, int pieceSize, const BulkOut& bulk);

} // namespace vqx::usb::ftdi
