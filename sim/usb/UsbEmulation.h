#pragma once
// The hub emulated at the USB level, for libvqx250-usbemu.so: a dual-channel FTDI chip of the
// FT2232H kind (USB id 5a3c:2207, bcdDevice 0x0700, two interfaces) as libusb-1.0 shows it,
// with the simulated hub (SimHub) behind channel B. LibusbExports.cpp puts the libusb
// functions in front of it, so that libftdi and the libftdi backend run their real code
// against it when the library is preloaded (LD_PRELOAD).
//
// The chip, per channel (port 1 = A = interface 0, port 2 = B = interface 1), as libftdi's
// source and the vendor's application notes describe it:
//  * endpoints: interface 0 has bulk IN 0x81 and OUT 0x02, interface 1 IN 0x83 and OUT 0x04;
//    wMaxPacketSize 512 (high speed) or 64 (full speed, "packet=64").
//  * vendor requests on the device, the port in the low byte of wIndex: reset (0: reset SIO,
//    1: purge the host-to-chip FIFO, 2: purge the chip-to-host FIFO), modem control, flow
//    control (wIndex high byte 0, 1, 2 or 4), baud-rate divisor (H chip: divisor in
//    wValue[13:0], sub-divisor in wValue[15:14] and wIndex[8], 12 MHz base when wIndex[9] is
//    set, else 3 MHz), data characteristics, event and error characters, latency timer
//    (1..255 ms), bit mode (mask in the low byte, mode in the high byte), and the IN requests
//    modem status (two bytes), latency timer, pins and EEPROM read.
//  * every IN packet starts with the two modem-status bytes; a packet carries at most
//    wMaxPacketSize - 2 data bytes. Full packets go out at once; a short one (possibly only
//    the status bytes) when the latency timer, restarted by every packet, runs out. A bulk
//    IN transfer ends with a short packet or when its buffer is full.
//  * the bytes of channel B's OUT endpoint go to the hub as they arrive; its answers queue in
//    the chip's IN FIFO. Channel A keeps the state it is given: the hub needs it at 115200
//    baud, then in synchronous bit-bang mode (0x04) with all pins inputs (mask 0x00), before
//    anything reaches it on channel B.
//
// A request the chip or the hub would not accept is rejected: a wrong port in wIndex, an
// endpoint of an interface the handle has not claimed or of the wrong direction, bit mode on
// channel A before its baud rate, another bit mode, data on channel B before channel A is set
// up, unknown or malformed requests, writes to the chip's EEPROM. The request then fails as on
// the chip (a stall: LIBUSB_ERROR_PIPE, or LIBUSB_ERROR_NOT_FOUND for an endpoint), the
// transcript gets a line "REJECTED: <why>", stderr gets "vqx250-usbemu: rejected: <why>", and
// with "strict" the process ends at once with status 86, so that no test can pass over it.
//
// Configuration: the environment variable VQX250_USBEMU, items separated by blanks or ';':
//   slots=T1,T2,T3,T4,T5,T6   module type codes of the six slots (0 = empty); default the
//                             demo hub's 1,2,9,7,5,0 (type 2 holds a variant-2 module)
//   recordN=<24 hex digits>   the network settings record of slot N (1..6), as stored
//   serial=TEXT               USB serial number (default VQX25001)
//   packet=64|512             wMaxPacketSize of the bulk endpoints (default 512)
//   transcript=PATH           append a line per USB request to PATH ("-" = stderr)
//   strict                    end the process (status 86) at the first rejected request
//   deny-open                 libusb_open fails with LIBUSB_ERROR_ACCESS (no permission)
//   unplug-after=N            the hub is unplugged at bulk transfer N+1 on channel B: from
//                             then on LIBUSB_ERROR_NO_DEVICE, and it is no longer listed
//   silent-after=N            after N bulk IN transfers on channel B the IN endpoint stops
//                             delivering: each transfer runs out its time-out
//   stall-after=N             after N bulk OUT transfers on channel B the OUT endpoint takes
//                             nothing more: each transfer runs out its time-out, 0 bytes
//   short-writes=N            the next N bulk OUT transfers on channel B (from the first)
//                             take half the bytes offered, then run out their time-out
//   busy-polls=N              the hub's status shows "pending" N times after each command
// The configuration is read at libusb_init; it is read again when the variable has changed
// and no device handle is open (the hub then starts afresh).

#include <libusb.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "SimHub.h"

struct libusb_context {
    int unused = 0;
};
struct libusb_device {
    int refs = 1;
};
struct libusb_device_handle {
    libusb_device* device = nullptr;
    unsigned claimed = 0; ///< bit i: interface i claimed through this handle
};

namespace vqx::sim::usbemu {

inline constexpr std::uint16_t kVendorId = 0x5A3C;
inline constexpr std::uint16_t kProductId = 0x2207;
inline constexpr std::uint16_t kBcdDevice = 0x0700; // FT2232H
inline constexpr std::uint8_t kBusNumber = 250;     // no real bus has this number
inline constexpr std::uint8_t kDeviceAddress = 7;
inline constexpr std::uint8_t kPortNumber = 3;
inline constexpr int kRejectedExitStatus = 86;
inline constexpr int kHubBaud = 115200;

struct Config {
    std::array<int, 6> types{};
    std::array<std::optional<std::array<std::uint8_t, 12>>, 6> records{};
    std::string serial = "VQX25001";
    std::string manufacturer = "VQX";
    std::string product = "VQX250 Hub";
    int packetSize = 512;
    std::string transcript;
    bool strict = false;
    bool denyOpen = false;
    long unplugAfter = -1;
    long silentAfter = -1;
    long stallAfter = -1;
    long shortWrites = 0;
    int busyPolls = 0;

    Config();
    /// Reads the items of VQX250_USBEMU into `config`; false, with `error`, for an unknown or
    /// bad item, and `config` is then left as it was (no item of the text taken).
    static bool parse(const std::string& text, Config& config, std::string* error);
};

/// One channel of the chip.
struct Port {
    int number = 1;        ///< the port in wIndex: 1 = A, 2 = B
    double baud = 0;       ///< from the last divisor; 0 = never set
    std::uint8_t mask = 0; ///< bit-mode pin directions
    std::uint8_t mode = 0; ///< bit mode; 0 = reset (UART/FIFO)
    std::uint8_t latency = 16;
    std::uint16_t lineProperties = 0x0008; ///< 8 data bits, no parity, 1 stop bit
    std::uint16_t flow = 0;
    std::deque<std::uint8_t> in; ///< chip-to-host FIFO
    std::chrono::steady_clock::time_point lastPacket{};
};

class Emulation {
public:
    using Clock = std::chrono::steady_clock;
    /// The clock of the latency timer and of the transfer time-outs, and the wait until a
    /// moment of it. By default the steady clock and a sleep of the calling thread; the fuzz
    /// target runs the chip on a clock of its own.
    struct Time {
        std::function<Clock::time_point()> now;
        std::function<void(Clock::time_point)> sleepUntil;
    };

    /// The one emulated bus of the process (created on first use, never destroyed: libusb
    /// calls may come from static destructors), configured from VQX250_USBEMU.
    static Emulation& instance();
    /// A bus of its own with the given configuration (for the fuzz target); a bad
    /// configuration ends the process as one in VQX250_USBEMU does.
    explicit Emulation(const std::string& configText);

    void setTime(Time time);
    /// Requests rejected so far.
    long rejections() const { return m_rejections; }

    int init(libusb_context** ctx);
    void exit(libusb_context* ctx);
    long deviceList(libusb_device*** list);
    void freeDeviceList(libusb_device** list, int unref);
    libusb_device* ref(libusb_device* dev);
    void unref(libusb_device* dev);
    int deviceDescriptor(libusb_device* dev, libusb_device_descriptor* desc);
    int configDescriptor(libusb_device* dev, std::uint8_t index, libusb_config_descriptor** config);
    static void freeConfigDescriptor(libusb_config_descriptor* config);
    int portNumbers(libusb_device* dev, std::uint8_t* ports, int length);
    int open(libusb_device* dev, libusb_device_handle** handle);
    void close(libusb_device_handle* handle);
    libusb_device* device(libusb_device_handle* handle);
    int configuration(libusb_device_handle* handle, int* config);
    int setConfiguration(libusb_device_handle* handle, int config);
    int claim(libusb_device_handle* handle, int interface, bool claim);
    int kernelDriver(libusb_device_handle* handle, int interface, const char* what);
    int control(libusb_device_handle* handle, std::uint8_t requestType, std::uint8_t request,
                std::uint16_t value, std::uint16_t index, unsigned char* data, std::uint16_t length,
                unsigned timeout);
    int bulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
             int* transferred, unsigned timeout);
    int stringAscii(libusb_device_handle* handle, std::uint8_t index, unsigned char* data,
                    int length);
    /// A call the emulation does not provide (asynchronous transfers and the like).
    int unsupported(const char* what);

private:
    void configure(const std::string& text);
    bool gone() const { return m_unplugged; }
    bool valid(libusb_device_handle* handle) const { return m_handles.count(handle) != 0; }
    int standardRequest(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index, unsigned char* data, std::uint16_t length);
    int vendorRequest(libusb_device_handle* handle, std::uint8_t requestType, std::uint8_t request,
                      std::uint16_t value, std::uint16_t index, unsigned char* data,
                      std::uint16_t length);
    int setBitMode(Port& port, std::uint8_t mask, std::uint8_t mode);
    bool channelAReady(std::string* why) const;
    int bulkOut(Port& port, const unsigned char* data, int length, int* transferred,
                unsigned timeout);
    int bulkIn(Port& port, unsigned char* data, int length, int* transferred, unsigned timeout);
    void takeHubReplies();
    std::string stringDescriptor(std::uint8_t index) const;
    /// Logs and answers a request the chip or the hub would not accept.
    int reject(const std::string& why, int code = LIBUSB_ERROR_PIPE);
    void log(const std::string& line);

    std::recursive_mutex m_mutex;
    std::string m_configText;
    Config m_config;
    std::shared_ptr<SimHub> m_hub;
    std::array<Port, 2> m_ports;
    libusb_device m_device;
    std::set<libusb_device_handle*> m_handles;
    int m_configuration = 1;
    bool m_unplugged = false;
    long m_bTransfers = 0; ///< bulk transfers on channel B, for unplug-after
    long m_bIn = 0;
    long m_bOut = 0;
    long m_shortLeft = 0;
    std::FILE* m_transcript = nullptr;
    long m_sequence = 0;
    long m_rejections = 0;
    Time m_time;
};

} // namespace vqx::sim::usbemu
