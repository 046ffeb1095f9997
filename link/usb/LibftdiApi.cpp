// The real libftdi1 implementation of the ftdi seam. Not reachable by the tests (they need
// no device); what it does is confirmed on a real hub only.

#include <ftdi.h>
#include <libusb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "FtdiSeam.h"

namespace vqx::usb::ftdi {

static_assert(kUsbErrorTimeout == LIBUSB_ERROR_TIMEOUT);

namespace {

struct FoundDevice {
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
};

/// The id pairs searched: 0/0 stands for libftdi's list of FTDI's own ids, then the hub's.
constexpr struct { int vendor, product; } kSearches[] = {{0, 0}, {0x5A3C, 0x2207}};

std::string sysfsName(libusb_device* dev) {
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, static_cast<int>(sizeof ports));
    if (n <= 0)
        return {};
    std::string name = std::to_string(libusb_get_bus_number(dev)) + "-";
    for (int i = 0; i < n; ++i) {
        if (i)
            name += '.';
        name += std::to_string(ports[i]);
    }
    return name;
}

/// A string attribute from sysfs: readable by everyone, also when the device is not.
std::string sysfsAttribute(const std::string& device, const char* attribute) {
    if (device.empty())
        return {};
    std::ifstream in("/sys/bus/usb/devices/" + device + "/" + attribute);
    std::string value;
    std::getline(in, value);
    return value;
}

/// True when libusb may not open the device for lack of permission (LIBUSB_ERROR_ACCESS):
/// libftdi's own open failure does not say why.
bool openDenied(libusb_device* dev) {
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_open(dev, &handle);
    if (rc == 0)
        libusb_close(handle);
    return rc == LIBUSB_ERROR_ACCESS;
}

bool deviceNodeDenied(std::uint8_t bus, std::uint8_t address) {
    char path[64];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", unsigned{bus}, unsigned{address});
    return access(path, R_OK | W_OK) != 0 && errno == EACCES;
}

class LibftdiChannel final : public Channel {
public:
    explicit LibftdiChannel(ftdi_context* ctx) : m_ctx(ctx) {}
    ~LibftdiChannel() override {
        ftdi_usb_close(m_ctx);
        ftdi_free(m_ctx);
    }
    int setUsbTimeouts(int readMs, int writeMs) override {
        m_ctx->usb_read_timeout = readMs;
        m_ctx->usb_write_timeout = writeMs;
        return 0;
    }
    int purge(bool rx, bool tx) override {
        m_usbError.clear();
        if (rx && tx)
            return ftdi_tcioflush(m_ctx);
        if (rx)
            return ftdi_tciflush(m_ctx);
        if (tx)
            return ftdi_tcoflush(m_ctx);
        return 0;
    }
    int setBaudRate(int baud) override {
        m_usbError.clear();
        return ftdi_set_baudrate(m_ctx, baud);
    }
    int setBitMode(std::uint8_t mask, std::uint8_t mode) override {
        m_usbError.clear();
        return ftdi_set_bitmode(m_ctx, mask, mode);
    }
    // Not ftdi_write_data: it returns -1 when a USB transfer times out and so loses the bytes
    // the chip had accepted. The same bulk transfers, in pieces of libftdi's write chunk size
    // on its write endpoint, keep that count, so a write returns what was accepted when its
    // time-out passed, as the vendor's FT_Write does.
    int write(const std::uint8_t* data, int size) override {
        m_usbError.clear();
        if (!m_ctx->usb_dev) {
            m_usbError = "the device is not open";
            return -1;
        }
        const int n =
            writeInPieces(data, size, static_cast<int>(m_ctx->writebuffer_chunksize),
                          [this](const std::uint8_t* piece, int length, int* transferred) {
                              return libusb_bulk_transfer(m_ctx->usb_dev,
                                                          static_cast<unsigned char>(m_ctx->in_ep),
                                                          const_cast<unsigned char*>(piece), length,
                                                          transferred, m_ctx->usb_write_timeout);
                          });
        if (n < 0)
            m_usbError = std::string("USB bulk write failed: ") + libusb_strerror(n);
        return n;
    }
    // A USB transfer that times out is no error here: the chip sends its status bytes every
    // latency-timer period, so only a chip that stopped answering lets it run out, and then
    // the read has simply returned nothing, as the vendor's FT_Read does at its time-out.
    int read(std::uint8_t* data, int size) override {
        m_usbError.clear();
        const int n = ftdi_read_data(m_ctx, data, size);
        if (n == LIBUSB_ERROR_TIMEOUT)
            return 0;
        // libftdi passes libusb's status of a failed bulk transfer through unchanged.
        if (n < 0 && std::string(ftdi_get_error_string(m_ctx)) == "usb bulk read failed")
            m_usbError = std::string("USB bulk read failed: ") + libusb_strerror(n);
        return n;
    }
    std::string errorString() const override {
        return m_usbError.empty() ? std::string(ftdi_get_error_string(m_ctx)) : m_usbError;
    }

private:
    ftdi_context* m_ctx;
    std::string m_usbError; ///< the failure of the last write, when it was not libftdi's
};

class LibftdiApi final : public Api {
public:
    ~LibftdiApi() override {
        if (m_ctx)
            ftdi_free(m_ctx);
    }

    int enumerate(std::vector<UsbDevice>& devices, std::string* error) override {
        devices.clear();
        m_found.clear();
        m_devices.clear();
        if (!m_ctx && !(m_ctx = ftdi_new())) {
            if (error)
                *error = "libusb could not be initialised";
            return -1;
        }
        for (const auto& search : kSearches) {
            ftdi_device_list* list = nullptr;
            const int n = ftdi_usb_find_all(m_ctx, &list, search.vendor, search.product);
            if (n < 0) {
                if (error)
                    *error = ftdi_get_error_string(m_ctx);
                return n;
            }
            for (ftdi_device_list* it = list; it; it = it->next)
                add(it->dev, devices);
            ftdi_list_free(&list);
        }
        return 0;
    }

    std::unique_ptr<Channel> open(std::size_t deviceIndex, int channel, OpenError* error,
                                  std::string* message) override {
        auto report = [&](OpenError e, std::string text) {
            if (error)
                *error = e;
            if (message)
                *message = std::move(text);
            return nullptr;
        };
        if (deviceIndex >= m_found.size())
            return report(OpenError::NotFound, "no such device");
        const FoundDevice where = m_found[deviceIndex];
        const UsbDevice& dev = m_devices[deviceIndex];

        ftdi_context* ctx = ftdi_new();
        if (!ctx)
            return report(OpenError::Other, "libusb could not be initialised");
        // The interface must be chosen before the device is opened.
        if (dev.channels > 1 &&
            ftdi_set_interface(ctx, static_cast<ftdi_interface>(INTERFACE_A + channel)) < 0) {
            std::string text = ftdi_get_error_string(ctx);
            ftdi_free(ctx);
            return report(OpenError::Other, text);
        }
        ftdi_device_list* list = nullptr;
        libusb_device* target = nullptr;
        if (ftdi_usb_find_all(ctx, &list, dev.vendor, dev.product) > 0)
            for (ftdi_device_list* it = list; it; it = it->next)
                if (libusb_get_bus_number(it->dev) == where.bus &&
                    libusb_get_device_address(it->dev) == where.address)
                    target = it->dev;
        if (!target) {
            ftdi_list_free(&list);
            ftdi_free(ctx);
            return report(OpenError::NotFound, "the device is gone");
        }
        const int rc = ftdi_usb_open_dev(ctx, target);
        const bool denied =
            rc < 0 && (deviceNodeDenied(where.bus, where.address) || openDenied(target));
        ftdi_list_free(&list);
        if (rc < 0) {
            std::string text = ftdi_get_error_string(ctx);
            ftdi_free(ctx);
            if (denied)
                return report(OpenError::NoPermission, "no permission to open it (" + text + ")");
            return report(rc == -5 ? OpenError::Busy : OpenError::Other, text);
        }
        if (error)
            *error = OpenError::None;
        return std::make_unique<LibftdiChannel>(ctx);
    }

    std::chrono::milliseconds now() override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }

private:
    void add(libusb_device* usb, std::vector<UsbDevice>& devices) {
        const FoundDevice where{libusb_get_bus_number(usb), libusb_get_device_address(usb)};
        for (const FoundDevice& f : m_found)
            if (f.bus == where.bus && f.address == where.address)
                return;
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(usb, &desc) != 0)
            return;
        UsbDevice dev;
        dev.vendor = desc.idVendor;
        dev.product = desc.idProduct;
        dev.bcdDevice = desc.bcdDevice;
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(usb, 0, &config) == 0 && config) {
            dev.channels = config->bNumInterfaces;
            libusb_free_config_descriptor(config);
        }
        dev.locId = static_cast<std::uint32_t>(where.bus) << 4 |
                    static_cast<std::uint32_t>(libusb_get_port_number(usb) & 0xF);
        char manufacturer[128] = {}, description[128] = {}, serial[128] = {};
        if (ftdi_usb_get_strings(m_ctx, usb, manufacturer, sizeof manufacturer, description,
                                 sizeof description, serial, sizeof serial) == 0) {
            dev.serial = serial;
            dev.description = description;
        } else {
            // Without permission to open the device its strings still stand in sysfs.
            const std::string name = sysfsName(usb);
            dev.serial = sysfsAttribute(name, "serial");
            dev.description = sysfsAttribute(name, "product");
            // Where sysfs is out of reach too (a sandbox), the device is listed under its
            // location, so that opening it reports the missing permission, not a missing hub.
            if (dev.serial.empty() && !name.empty() && openDenied(usb))
                dev.serial = "USB" + name;
        }
        m_found.push_back(where);
        m_devices.push_back(dev);
        devices.push_back(std::move(dev));
    }

    ftdi_context* m_ctx = nullptr;
    std::vector<FoundDevice> m_found;
    std::vector<UsbDevice> m_devices;
};

} // namespace

std::unique_ptr<Api> createLibftdiApi() {
    return std::make_unique<LibftdiApi>();
}

} // namespace vqx::usb::ftdi
