#include "UsbEmulation.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "DemoEnvironment.h"

namespace vqx::sim::usbemu {

namespace {

// Vendor requests (libftdi's SIO_* numbers).
enum : std::uint8_t {
    kReset = 0x00,
    kModemCtrl = 0x01,
    kFlowCtrl = 0x02,
    kBaudRate = 0x03,
    kData = 0x04,
    kPollModemStatus = 0x05,
    kEventChar = 0x06,
    kErrorChar = 0x07,
    kSetLatency = 0x09,
    kGetLatency = 0x0A,
    kBitMode = 0x0B,
    kReadPins = 0x0C,
    kReadEeprom = 0x90,
    kWriteEeprom = 0x91,
    kEraseEeprom = 0x92,
};

constexpr std::uint8_t kVendorOut = 0x40;
constexpr std::uint8_t kVendorIn = 0xC0;
constexpr std::uint8_t kSyncBitBang = 0x04;
// The chip's IN FIFO of a channel (4 KiB on this kind of chip).
constexpr std::size_t kInFifoBytes = 4096;
// Modem status (bit 0 always set, CTS and DSR active) and line status (THRE, TEMT).
constexpr std::uint8_t kModemStatus = 0x31;
constexpr std::uint8_t kLineStatus = 0x60;

std::string hex(const unsigned char* data, int length, int most = 64) {
    std::string text;
    char byte[4];
    for (int i = 0; i < std::min(length, most); ++i) {
        std::snprintf(byte, sizeof byte, "%s%02X", i ? " " : "", unsigned{data[i]});
        text += byte;
    }
    if (length > most)
        text += " ...";
    return text;
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
    return text;
}

std::string hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

const char* channelName(int port) {
    return port == 1 ? "A" : "B";
}

bool parseNumber(const std::string& text, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return *end == '\0' && value >= 0;
}

/// The baud rate an FT2232H divisor gives (AN232B-05, AN_120).
double baudFromDivisor(std::uint16_t value, std::uint16_t index) {
    static const double kEighths[8] = {0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875};
    const unsigned whole = value & 0x3FFFu;
    const unsigned sub = ((value >> 14) & 0x3u) | ((index >> 6) & 0x4u);
    const double clock = (index & 0x200u) ? 12000000.0 : 3000000.0;
    double divisor = whole + kEighths[sub];
    if (whole == 0 && sub == 0)
        divisor = 1;
    else if (whole == 1 && sub == 0)
        divisor = 1.5;
    return clock / divisor;
}

/// A configuration descriptor in one block: two interfaces, their settings and endpoints.
struct ConfigBlock {
    libusb_config_descriptor config;
    libusb_interface interfaces[2];
    libusb_interface_descriptor settings[2];
    libusb_endpoint_descriptor endpoints[2][2];
};

} // namespace

// ---- Configuration -------------------------------------------------------------------------

Config::Config() {
    std::copy(std::begin(DemoEnvironment::kSlotTypes), std::end(DemoEnvironment::kSlotTypes),
              types.begin());
}

bool Config::parse(const std::string& text, Config& config, std::string* error) {
    // Items go into a copy, taken over only when every item is good: a refused text leaves
    // the configuration as it was.
    Config parsed = config;
    std::string items = text;
    std::replace(items.begin(), items.end(), ';', ' ');
    std::istringstream in(items);
    std::string item;
    auto bad = [&](const std::string& why) {
        if (error)
            *error = "'" + item + "': " + why;
        return false;
    };
    while (in >> item) {
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        long number = 0;
        if (key == "strict")
            parsed.strict = true;
        else if (key == "deny-open")
            parsed.denyOpen = true;
        else if (key == "transcript")
            parsed.transcript = value;
        else if (key == "serial" && !value.empty() && value.size() <= 14)
            parsed.serial = value;
        else if (key == "packet" && (value == "64" || value == "512"))
            parsed.packetSize = value == "64" ? 64 : 512;
        else if (key == "unplug-after" && parseNumber(value, number))
            parsed.unplugAfter = number;
        else if (key == "silent-after" && parseNumber(value, number))
            parsed.silentAfter = number;
        else if (key == "stall-after" && parseNumber(value, number))
            parsed.stallAfter = number;
        else if (key == "short-writes" && parseNumber(value, number))
            parsed.shortWrites = number;
        else if (key == "busy-polls" && parseNumber(value, number) && number < 100000)
            parsed.busyPolls = static_cast<int>(number);
        else if (key == "slots") {
            std::istringstream list(value);
            std::string code;
            int slot = 0;
            while (std::getline(list, code, ',')) {
                if (slot >= 6 || !parseNumber(code, number) || number > 15)
                    return bad("six type codes 0..15 expected");
                parsed.types[static_cast<std::size_t>(slot++)] = static_cast<int>(number);
            }
            if (slot != 6)
                return bad("six type codes 0..15 expected");
        } else if (key.size() == 7 && key.starts_with("record") && key[6] >= '1' && key[6] <= '6') {
            if (value.size() != 24 ||
                value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return bad("24 hex digits expected");
            std::array<std::uint8_t, 12> record{};
            for (std::size_t i = 0; i < 12; ++i)
                record[i] =
                    static_cast<std::uint8_t>(std::stoul(value.substr(2 * i, 2), nullptr, 16));
            parsed.records[static_cast<std::size_t>(key[6] - '1')] = record;
        } else
            return bad("unknown item or bad value");
    }
    config = parsed;
    return true;
}

// ---- The emulation -----------------------------------------------------------------------

Emulation& Emulation::instance() {
    const char* text = std::getenv("VQX250_USBEMU");
    static Emulation* emulation = new Emulation(text ? text : ""); // never destroyed
    return *emulation;
}

Emulation::Emulation(const std::string& configText)
    : m_time{[] { return Clock::now(); },
             [](Clock::time_point until) { std::this_thread::sleep_until(until); }} {
    configure(configText);
}

void Emulation::setTime(Time time) {
    std::lock_guard lock(m_mutex);
    m_time = std::move(time);
}

void Emulation::configure(const std::string& text) {
    Config config;
    std::string error;
    if (!Config::parse(text, config, &error)) {
        std::fprintf(stderr, "vqx250-usbemu: VQX250_USBEMU: %s\n", error.c_str());
        std::_Exit(kRejectedExitStatus);
    }
    if (m_transcript && m_transcript != stderr)
        std::fclose(m_transcript);
    m_transcript = nullptr;
    if (config.transcript == "-")
        m_transcript = stderr;
    else if (!config.transcript.empty() &&
             !(m_transcript = std::fopen(config.transcript.c_str(), "a"))) {
        std::fprintf(stderr, "vqx250-usbemu: cannot open the transcript %s\n",
                     config.transcript.c_str());
        std::_Exit(kRejectedExitStatus);
    }
    m_configText = text;
    m_config = config;
    m_hub = makeHub(config.types, config.serial);
    for (std::size_t slot = 0; slot < 6; ++slot)
        if (config.records[slot] && m_hub->module(static_cast<int>(slot)))
            m_hub->module(static_cast<int>(slot))->setRecord(*config.records[slot]);
    m_hub->faults().busyPolls = config.busyPolls;
    m_ports = {};
    m_ports[0].number = 1;
    m_ports[1].number = 2;
    m_unplugged = false;
    m_bTransfers = m_bIn = m_bOut = 0;
    m_shortLeft = config.shortWrites;
    log("plugged in: " + hex4(kVendorId) + ":" + hex4(kProductId) + " serial " + config.serial);
}

void Emulation::log(const std::string& line) {
    if (!m_transcript)
        return;
    std::fprintf(m_transcript, "%ld %s\n", ++m_sequence, line.c_str());
    std::fflush(m_transcript);
}

int Emulation::reject(const std::string& why, int code) {
    ++m_rejections;
    log("REJECTED: " + why);
    std::fprintf(stderr, "vqx250-usbemu: rejected: %s\n", why.c_str());
    std::fflush(stderr);
    if (m_config.strict)
        std::_Exit(kRejectedExitStatus);
    return code;
}

int Emulation::unsupported(const char* what) {
    std::lock_guard lock(m_mutex);
    return reject(std::string(what) + " is not emulated", LIBUSB_ERROR_NOT_SUPPORTED);
}

int Emulation::init(libusb_context** ctx) {
    std::lock_guard lock(m_mutex);
    const char* text = std::getenv("VQX250_USBEMU");
    if (m_handles.empty() && std::string(text ? text : "") != m_configText)
        configure(text ? text : "");
    if (ctx)
        *ctx = new libusb_context;
    return LIBUSB_SUCCESS;
}

void Emulation::exit(libusb_context* ctx) {
    delete ctx;
}

long Emulation::deviceList(libusb_device*** list) {
    std::lock_guard lock(m_mutex);
    if (!list)
        return LIBUSB_ERROR_INVALID_PARAM;
    const long n = m_unplugged ? 0 : 1;
    auto** devices = new libusb_device*[static_cast<std::size_t>(n) + 1];
    if (n) {
        devices[0] = &m_device;
        ++m_device.refs;
    }
    devices[n] = nullptr;
    *list = devices;
    log(std::string("device list: ") + (n ? "the hub" : "empty"));
    return n;
}

void Emulation::freeDeviceList(libusb_device** list, int unref) {
    std::lock_guard lock(m_mutex);
    if (!list)
        return;
    if (unref)
        for (libusb_device** d = list; *d; ++d)
            --(*d)->refs;
    delete[] list;
}

libusb_device* Emulation::ref(libusb_device* dev) {
    std::lock_guard lock(m_mutex);
    if (dev)
        ++dev->refs;
    return dev;
}

void Emulation::unref(libusb_device* dev) {
    std::lock_guard lock(m_mutex);
    if (dev)
        --dev->refs;
}

int Emulation::deviceDescriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    if (dev != &m_device || !desc)
        return LIBUSB_ERROR_INVALID_PARAM;
    *desc = {};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = kVendorId;
    desc->idProduct = kProductId;
    desc->bcdDevice = kBcdDevice;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int Emulation::configDescriptor(libusb_device* dev, std::uint8_t index,
                                libusb_config_descriptor** config) {
    std::lock_guard lock(m_mutex);
    if (dev != &m_device || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    auto* b = new ConfigBlock{};
    const auto packet = static_cast<std::uint16_t>(m_config.packetSize);
    for (int i = 0; i < 2; ++i) {
        const auto in = static_cast<std::uint8_t>(0x81 + 2 * i);
        const auto out = static_cast<std::uint8_t>(0x02 + 2 * i);
        int e = 0;
        for (const std::uint8_t address : {in, out}) {
            libusb_endpoint_descriptor& ep = b->endpoints[i][e++];
            ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
            ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
            ep.bEndpointAddress = address;
            ep.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
            ep.wMaxPacketSize = packet;
        }
        libusb_interface_descriptor& s = b->settings[i];
        s.bLength = LIBUSB_DT_INTERFACE_SIZE;
        s.bDescriptorType = LIBUSB_DT_INTERFACE;
        s.bInterfaceNumber = static_cast<std::uint8_t>(i);
        s.bNumEndpoints = 2;
        s.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
        s.bInterfaceSubClass = 0xFF;
        s.bInterfaceProtocol = 0xFF;
        s.iInterface = 2;
        s.endpoint = b->endpoints[i];
        b->interfaces[i].altsetting = &b->settings[i];
        b->interfaces[i].num_altsetting = 1;
    }
    b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    b->config.bDescriptorType = LIBUSB_DT_CONFIG;
    b->config.wTotalLength =
        LIBUSB_DT_CONFIG_SIZE + 2 * LIBUSB_DT_INTERFACE_SIZE + 4 * LIBUSB_DT_ENDPOINT_SIZE;
    b->config.bNumInterfaces = 2;
    b->config.bConfigurationValue = 1;
    b->config.bmAttributes = 0x80;
    b->config.MaxPower = 50;
    b->config.interface = b->interfaces;
    *config = &b->config;
    return LIBUSB_SUCCESS;
}

void Emulation::freeConfigDescriptor(libusb_config_descriptor* config) {
    // The configuration is the first member of the block configDescriptor allocated.
    delete reinterpret_cast<ConfigBlock*>(config);
}

int Emulation::portNumbers(libusb_device* dev, std::uint8_t* ports, int length) {
    if (dev != &m_device || !ports || length < 1)
        return LIBUSB_ERROR_OVERFLOW;
    ports[0] = kPortNumber;
    return 1;
}

int Emulation::open(libusb_device* dev, libusb_device_handle** handle) {
    std::lock_guard lock(m_mutex);
    if (dev != &m_device || !handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (m_unplugged) {
        log("open -> LIBUSB_ERROR_NO_DEVICE");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (m_config.denyOpen) {
        log("open -> LIBUSB_ERROR_ACCESS");
        return LIBUSB_ERROR_ACCESS;
    }
    auto* h = new libusb_device_handle;
    h->device = dev;
    ++dev->refs;
    m_handles.insert(h);
    log("open");
    *handle = h;
    return LIBUSB_SUCCESS;
}

void Emulation::close(libusb_device_handle* handle) {
    std::lock_guard lock(m_mutex);
    if (!valid(handle))
        return;
    log("close (interfaces " + hex2(handle->claimed) + " released)");
    --handle->device->refs;
    m_handles.erase(handle);
    delete handle;
}

libusb_device* Emulation::device(libusb_device_handle* handle) {
    std::lock_guard lock(m_mutex);
    return valid(handle) ? handle->device : nullptr;
}

int Emulation::configuration(libusb_device_handle* handle, int* config) {
    std::lock_guard lock(m_mutex);
    if (!valid(handle) || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (m_unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    *config = m_configuration;
    return LIBUSB_SUCCESS;
}

int Emulation::setConfiguration(libusb_device_handle* handle, int config) {
    std::lock_guard lock(m_mutex);
    if (!valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (m_unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    log("set configuration " + std::to_string(config));
    if (config != 1 && config != -1 && config != 0)
        return reject("configuration " + std::to_string(config) + " does not exist",
                      LIBUSB_ERROR_NOT_FOUND);
    m_configuration = config == 1 ? 1 : 0;
    return LIBUSB_SUCCESS;
}

int Emulation::claim(libusb_device_handle* handle, int interface, bool claim) {
    std::lock_guard lock(m_mutex);
    if (!valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (m_unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    log(std::string(claim ? "claim" : "release") + " interface " + std::to_string(interface));
    if (interface < 0 || interface > 1)
        return reject("interface " + std::to_string(interface) + " does not exist",
                      LIBUSB_ERROR_NOT_FOUND);
    const unsigned bit = 1u << interface;
    if (claim) {
        for (libusb_device_handle* other : m_handles)
            if (other != handle && (other->claimed & bit))
                return LIBUSB_ERROR_BUSY;
        handle->claimed |= bit;
    } else {
        if (!(handle->claimed & bit))
            return LIBUSB_ERROR_NOT_FOUND;
        handle->claimed &= ~bit;
    }
    return LIBUSB_SUCCESS;
}

int Emulation::kernelDriver(libusb_device_handle* handle, int interface, const char* what) {
    std::lock_guard lock(m_mutex);
    if (!valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (m_unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    log(std::string(what) + " interface " + std::to_string(interface));
    if (interface < 0 || interface > 1)
        return LIBUSB_ERROR_NOT_FOUND;
    // No kernel driver is bound to 5a3c:2207: nothing is active, nothing to detach.
    return std::strcmp(what, "kernel driver active?") == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

std::string Emulation::stringDescriptor(std::uint8_t index) const {
    switch (index) {
    case 1:
        return m_config.manufacturer;
    case 2:
        return m_config.product;
    case 3:
        return m_config.serial;
    default:
        return {};
    }
}

int Emulation::standardRequest(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                               std::uint16_t index, unsigned char* data, std::uint16_t length) {
    if (requestType != 0x80 || request != LIBUSB_REQUEST_GET_DESCRIPTOR || !data)
        return reject("standard request " + hex2(request) + " (type " + hex2(requestType) +
                      ") is not supported");
    const auto type = static_cast<std::uint8_t>(value >> 8);
    const auto which = static_cast<std::uint8_t>(value & 0xFF);
    std::vector<unsigned char> answer;
    if (type == LIBUSB_DT_DEVICE) {
        libusb_device_descriptor d{};
        deviceDescriptor(&m_device, &d);
        answer = {d.bLength,
                  d.bDescriptorType,
                  0x00,
                  0x02,
                  0,
                  0,
                  0,
                  d.bMaxPacketSize0,
                  static_cast<unsigned char>(kVendorId & 0xFF),
                  static_cast<unsigned char>(kVendorId >> 8),
                  static_cast<unsigned char>(kProductId & 0xFF),
                  static_cast<unsigned char>(kProductId >> 8),
                  static_cast<unsigned char>(kBcdDevice & 0xFF),
                  static_cast<unsigned char>(kBcdDevice >> 8),
                  1,
                  2,
                  3,
                  1};
    } else if (type == LIBUSB_DT_STRING && which == 0) {
        answer = {4, LIBUSB_DT_STRING, 0x09, 0x04};
    } else if (type == LIBUSB_DT_STRING && which <= 3) {
        if (index != 0x0409)
            return reject("string descriptor in language " + hex4(index) + ", only 0x0409 exists");
        const std::string text = stringDescriptor(which);
        answer = {static_cast<unsigned char>(2 + 2 * text.size()), LIBUSB_DT_STRING};
        for (char c : text) {
            answer.push_back(static_cast<unsigned char>(c));
            answer.push_back(0);
        }
    } else {
        return reject("descriptor " + hex4(value) + " does not exist");
    }
    const int n = std::min<int>(length, static_cast<int>(answer.size()));
    std::memcpy(data, answer.data(), static_cast<std::size_t>(n));
    return n;
}

int Emulation::control(libusb_device_handle* handle, std::uint8_t requestType, std::uint8_t request,
                       std::uint16_t value, std::uint16_t index, unsigned char* data,
                       std::uint16_t length, unsigned timeout) {
    std::lock_guard lock(m_mutex);
    if (!valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    std::string line = "control type " + hex2(requestType) + " request " + hex2(request) +
                       " value " + hex4(value) + " index " + hex4(index) + " length " +
                       std::to_string(length) + " timeout " + std::to_string(timeout);
    if (m_unplugged) {
        log(line + " -> LIBUSB_ERROR_NO_DEVICE");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    log(line);
    if ((requestType & 0x60) == 0)
        return standardRequest(requestType, request, value, index, data, length);
    return vendorRequest(handle, requestType, request, value, index, data, length);
}

int Emulation::vendorRequest(libusb_device_handle* handle, std::uint8_t requestType,
                             std::uint8_t request, std::uint16_t value, std::uint16_t index,
                             unsigned char* data, std::uint16_t length) {
    const bool in = request == kPollModemStatus || request == kGetLatency || request == kReadPins ||
                    request == kReadEeprom;
    if (requestType != (in ? kVendorIn : kVendorOut))
        return reject("vendor request " + hex2(request) + " with request type " +
                      hex2(requestType) + ", the chip takes " + hex2(in ? kVendorIn : kVendorOut));
    if (request == kReadEeprom) {
        // The chip's own configuration EEPROM: not the port's business, read as erased.
        if (length < 2 || !data)
            return reject("EEPROM read with fewer than two bytes");
        data[0] = data[1] = 0xFF;
        return 2;
    }
    if (request == kWriteEeprom || request == kEraseEeprom)
        return reject("writing or erasing the chip's configuration EEPROM");
    const int portNumber = index & 0xFF;
    if (portNumber < 1 || portNumber > 2)
        return reject("wrong interface index: port " + std::to_string(portNumber) + " in wIndex " +
                      hex4(index) + " of request " + hex2(request) + " (1 = A, 2 = B)");
    if (!(handle->claimed & (1u << (portNumber - 1))))
        return reject("wrong interface index: request " + hex2(request) + " for channel " +
                      channelName(portNumber) + " on a handle that claimed " +
                      (handle->claimed ? std::string("interface ") +
                                             std::to_string(handle->claimed == 1 ? 0 : 1)
                                       : std::string("no interface")));
    Port& port = m_ports[static_cast<std::size_t>(portNumber - 1)];
    switch (request) {
    case kReset:
        if (value == 0 || value == 2) // reset SIO, or purge the chip-to-host FIFO
            port.in.clear();
        else if (value != 1) // 1: purge the host-to-chip FIFO, which is always drained
            return reject("reset request with value " + hex4(value));
        port.lastPacket = m_time.now();
        return 0;
    case kModemCtrl:
        return 0;
    case kFlowCtrl: {
        const unsigned handshake = index >> 8;
        if (handshake != 0 && handshake != 1 && handshake != 2 && handshake != 4)
            return reject("flow control " + hex2(handshake));
        port.flow = static_cast<std::uint16_t>(handshake);
        return 0;
    }
    case kBaudRate:
        port.baud = baudFromDivisor(value, index);
        log("  channel " + std::string(channelName(portNumber)) + " baud rate " +
            std::to_string(std::lround(port.baud)));
        return 0;
    case kData: {
        const unsigned bits = value & 0xFF, parity = (value >> 8) & 0x7, stop = (value >> 11) & 0x7;
        if ((bits != 7 && bits != 8) || parity > 4 || stop > 2 || (value & 0x8000))
            return reject("data characteristics " + hex4(value));
        port.lineProperties = value;
        return 0;
    }
    case kPollModemStatus:
        if (length < 2 || !data)
            return reject("modem status with fewer than two bytes");
        data[0] = kModemStatus;
        data[1] = kLineStatus;
        return 2;
    case kEventChar:
    case kErrorChar:
        return 0;
    case kSetLatency:
        if ((value & 0xFF) == 0 || (value >> 8) != 0)
            return reject("latency timer " + hex4(value) + " (1 to 255 ms)");
        port.latency = static_cast<std::uint8_t>(value);
        return 0;
    case kGetLatency:
        if (length < 1 || !data)
            return reject("latency timer read with no byte");
        data[0] = port.latency;
        return 1;
    case kBitMode:
        return setBitMode(port, static_cast<std::uint8_t>(value & 0xFF),
                          static_cast<std::uint8_t>(value >> 8));
    case kReadPins:
        if (length < 1 || !data)
            return reject("pin read with no byte");
        data[0] = 0xFF; // inputs with pull-ups
        return 1;
    default:
        return reject("unknown vendor request " + hex2(request));
    }
}

int Emulation::setBitMode(Port& port, std::uint8_t mask, std::uint8_t mode) {
    const std::string what = "bit mode " + hex2(mode) + " mask " + hex2(mask) + " on channel " +
                             channelName(port.number);
    const bool known = mode == 0x00 || mode == 0x01 || mode == 0x02 || mode == 0x04 ||
                       mode == 0x08 || mode == 0x10 || (mode == 0x40 && port.number == 1);
    if (!known)
        return reject(what + ": no such mode on this chip");
    if (port.number == 2 && mode != 0x00)
        return reject(what + ": channel B carries the hub's byte stream in its default mode");
    if (port.number == 1 && mode != 0x00) {
        if (mode != kSyncBitBang)
            return reject(what + ": the hub needs synchronous bit-bang (0x04) on channel A");
        if (mask != 0x00)
            return reject(what + ": the hub drives channel A's pins, all must be inputs (0x00)");
        if (port.baud < kHubBaud * 0.97 || port.baud > kHubBaud * 1.03)
            return reject(what + ": bit mode before baud rate: channel A runs at " +
                          std::to_string(std::lround(port.baud)) + " baud, the hub needs " +
                          std::to_string(kHubBaud) + " first");
    }
    port.mask = mask;
    port.mode = mode;
    return 0;
}

bool Emulation::channelAReady(std::string* why) const {
    const Port& a = m_ports[0];
    if (a.mode == kSyncBitBang && a.mask == 0 && a.baud >= kHubBaud * 0.97 &&
        a.baud <= kHubBaud * 1.03)
        return true;
    if (why)
        *why = "data on channel B while channel A is not in synchronous bit-bang at " +
               std::to_string(kHubBaud) + " baud (mode " + hex2(a.mode) + ", mask " + hex2(a.mask) +
               ", " + std::to_string(std::lround(a.baud)) + " baud)";
    return false;
}

void Emulation::takeHubReplies() {
    // The hub's answers move into channel B's IN FIFO as far as it has room; the rest waits
    // in the hub, whose own queue is bounded too (SimHub::kMaxQueuedReply).
    std::uint8_t buffer[256];
    std::deque<std::uint8_t>& in = m_ports[1].in;
    while (in.size() < kInFifoBytes) {
        const std::size_t n =
            m_hub->takeReply(buffer, std::min(sizeof buffer, kInFifoBytes - in.size()));
        if (n == 0)
            break;
        in.insert(in.end(), buffer, buffer + n);
    }
}

int Emulation::bulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                    int length, int* transferred, unsigned timeout) {
    std::lock_guard lock(m_mutex);
    if (transferred)
        *transferred = 0;
    if (!valid(handle) || length < 0 || (!data && length))
        return LIBUSB_ERROR_INVALID_PARAM;
    const bool in = (endpoint & 0x80) != 0;
    const std::string what = std::string("bulk ") + (in ? "in " : "out ") + hex2(endpoint);
    if (m_unplugged) {
        log(what + " -> LIBUSB_ERROR_NO_DEVICE");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    // Interface 0: IN 0x81, OUT 0x02; interface 1: IN 0x83, OUT 0x04.
    int interface = -1;
    if (endpoint == 0x81 || endpoint == 0x02)
        interface = 0;
    else if (endpoint == 0x83 || endpoint == 0x04)
        interface = 1;
    if (interface < 0) {
        log(what);
        return reject("endpoint " + hex2(endpoint) + " does not exist", LIBUSB_ERROR_NOT_FOUND);
    }
    if (!(handle->claimed & (1u << interface))) {
        log(what);
        return reject(std::string(in ? "read" : "write") +
                          " on the wrong endpoint: " + hex2(endpoint) + " belongs to interface " +
                          std::to_string(interface) + ", which this handle has not claimed",
                      LIBUSB_ERROR_NOT_FOUND);
    }
    Port& port = m_ports[static_cast<std::size_t>(interface)];
    if (port.number == 2 && m_config.unplugAfter >= 0 && m_bTransfers++ >= m_config.unplugAfter) {
        m_unplugged = true;
        log(what + " -> LIBUSB_ERROR_NO_DEVICE (unplugged)");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    return in ? bulkIn(port, data, length, transferred, timeout)
              : bulkOut(port, data, length, transferred, timeout);
}

int Emulation::bulkOut(Port& port, const unsigned char* data, int length, int* transferred,
                       unsigned timeout) {
    const std::string what = "bulk out " + hex2(port.number == 1 ? 0x02 : 0x04) + " " +
                             std::to_string(length) + " bytes: " + hex(data, length);
    const auto waitTimeout = [&] {
        m_time.sleepUntil(m_time.now() + std::chrono::milliseconds(timeout ? timeout : 60000));
    };
    int taken = length;
    int rc = LIBUSB_SUCCESS;
    if (port.number == 2) {
        std::string why;
        if (!channelAReady(&why)) {
            log(what);
            return reject(why);
        }
        const long call = m_bOut++;
        if (m_config.stallAfter >= 0 && call >= m_config.stallAfter) {
            waitTimeout();
            log(what + " -> 0, LIBUSB_ERROR_TIMEOUT (stalled)");
            return LIBUSB_ERROR_TIMEOUT;
        }
        if (m_shortLeft > 0 && length > 1) {
            --m_shortLeft;
            taken = length / 2;
            rc = LIBUSB_ERROR_TIMEOUT;
        }
        m_hub->receive(data, static_cast<std::size_t>(taken));
        takeHubReplies();
    } else if (port.mode == kSyncBitBang) {
        // Synchronous bit-bang: each byte written samples the pins once.
        port.in.insert(port.in.end(), static_cast<std::size_t>(length), 0xFF);
    }
    if (rc == LIBUSB_ERROR_TIMEOUT)
        waitTimeout();
    if (transferred)
        *transferred = taken;
    log(what + " -> " + std::to_string(taken) + (rc ? ", LIBUSB_ERROR_TIMEOUT (short)" : ""));
    return rc;
}

int Emulation::bulkIn(Port& port, unsigned char* data, int length, int* transferred,
                      unsigned timeout) {
    const std::string what =
        "bulk in " + hex2(port.number == 1 ? 0x81 : 0x83) + " " + std::to_string(length);
    const auto start = m_time.now();
    const auto limit = start + std::chrono::milliseconds(timeout ? timeout : 60000);
    if (port.number == 2) {
        const long call = m_bIn++;
        if (m_config.silentAfter >= 0 && call >= m_config.silentAfter) {
            m_time.sleepUntil(limit);
            log(what + " -> 0, LIBUSB_ERROR_TIMEOUT (silent)");
            return LIBUSB_ERROR_TIMEOUT;
        }
        takeHubReplies();
    }
    const int packet = m_config.packetSize;
    const int payload = packet - 2;
    int pos = 0;
    auto sendPacket = [&](int bytes) {
        data[pos++] = kModemStatus;
        data[pos++] = kLineStatus;
        for (int i = 0; i < bytes; ++i) {
            data[pos++] = port.in.front();
            port.in.pop_front();
        }
        port.lastPacket = m_time.now();
    };
    const auto refill = [&] {
        if (port.number == 2)
            takeHubReplies();
    };
    for (refill(); static_cast<int>(port.in.size()) >= payload && pos + packet <= length; refill())
        sendPacket(payload);
    int rc = LIBUSB_SUCCESS;
    if (pos + 2 <= length) {
        // A short packet ends the transfer; the chip sends it when the latency timer runs out.
        const auto due = port.lastPacket + std::chrono::milliseconds(port.latency);
        if (due > limit) {
            m_time.sleepUntil(limit);
            rc = LIBUSB_ERROR_TIMEOUT;
        } else {
            m_time.sleepUntil(due);
            sendPacket(std::min({static_cast<int>(port.in.size()), payload - 1, length - pos - 2}));
        }
    }
    if (transferred)
        *transferred = pos;
    log(what + " -> " + std::to_string(pos) + (pos ? ": " + hex(data, pos) : std::string()) +
        (rc ? ", LIBUSB_ERROR_TIMEOUT" : ""));
    return rc;
}

int Emulation::stringAscii(libusb_device_handle* handle, std::uint8_t index, unsigned char* data,
                           int length) {
    std::lock_guard lock(m_mutex);
    if (!valid(handle) || !data || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (index == 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    // As libusb does it: the first language, then the string in it, as ASCII.
    unsigned char languages[255];
    int n = control(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                    LIBUSB_DT_STRING << 8, 0, languages, sizeof languages, 1000);
    if (n < 0)
        return n;
    if (n < 4)
        return LIBUSB_ERROR_IO;
    const auto language = static_cast<std::uint16_t>(languages[2] | languages[3] << 8);
    unsigned char text[255];
    n = control(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                static_cast<std::uint16_t>(LIBUSB_DT_STRING << 8 | index), language, text,
                sizeof text, 1000);
    if (n < 0)
        return n;
    if (n < 2 || text[1] != LIBUSB_DT_STRING || text[0] > n)
        return LIBUSB_ERROR_IO;
    int out = 0;
    for (int i = 2; i + 1 < text[0] && out < length - 1; i += 2)
        data[out++] = (text[i + 1] || text[i] & 0x80) ? '?' : text[i];
    data[out] = 0;
    return out;
}

} // namespace vqx::sim::usbemu
