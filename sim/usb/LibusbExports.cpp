// The libusb-1.0 functions of libvqx250-usbemu.so. Preloaded, they stand in for the real
// library: every call libftdi 1.5 and the libftdi backend make reaches the one Emulation of
// the process. Calls that only asynchronous transfers, hot-plug or streams need are answered
// LIBUSB_ERROR_NOT_SUPPORTED and noted as rejected, so that a use of them is seen at once.

#include <cstdarg>

#include "UsbEmulation.h"

#define VQX_EXPORT extern "C" __attribute__((visibility("default")))

using vqx::sim::usbemu::Emulation;

namespace {

Emulation& emu() {
    return Emulation::instance();
}

} // namespace

// ---- Library, context, errors --------------------------------------------------------------

VQX_EXPORT int libusb_init(libusb_context** ctx) {
    return emu().init(ctx);
}

VQX_EXPORT void libusb_exit(libusb_context* ctx) {
    emu().exit(ctx);
}

VQX_EXPORT void libusb_set_debug(libusb_context*, int) {}

VQX_EXPORT void libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}

VQX_EXPORT int libusb_set_option(libusb_context*, enum libusb_option, ...) {
    return LIBUSB_SUCCESS;
}

VQX_EXPORT int libusb_has_capability(uint32_t) {
    return 0;
}

VQX_EXPORT const struct libusb_version* libusb_get_version(void) {
    static const libusb_version version = {1, 0, 26, 0, "", "vqx250-usbemu"};
    return &version;
}

VQX_EXPORT int libusb_setlocale(const char*) {
    return LIBUSB_SUCCESS;
}

VQX_EXPORT const char* libusb_error_name(int code) {
    switch (code) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    default:
        return "**UNKNOWN**";
    }
}

VQX_EXPORT const char* libusb_strerror(int code) {
    switch (code) {
    case LIBUSB_SUCCESS:
        return "Success";
    case LIBUSB_ERROR_IO:
        return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS:
        return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE:
        return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND:
        return "Entity not found";
    case LIBUSB_ERROR_BUSY:
        return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT:
        return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW:
        return "Overflow";
    case LIBUSB_ERROR_PIPE:
        return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED:
        return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM:
        return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "Operation not supported or unimplemented on this platform";
    default:
        return "Other error";
    }
}

// ---- Devices and descriptors -------------------------------------------------------------

VQX_EXPORT ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
    return emu().deviceList(list);
}

VQX_EXPORT void libusb_free_device_list(libusb_device** list, int unref) {
    emu().freeDeviceList(list, unref);
}

VQX_EXPORT libusb_device* libusb_ref_device(libusb_device* dev) {
    return emu().ref(dev);
}

VQX_EXPORT void libusb_unref_device(libusb_device* dev) {
    emu().unref(dev);
}

VQX_EXPORT int libusb_get_device_descriptor(libusb_device* dev,
                                            struct libusb_device_descriptor* desc) {
    return emu().deviceDescriptor(dev, desc);
}

VQX_EXPORT int libusb_get_config_descriptor(libusb_device* dev, uint8_t index,
                                            struct libusb_config_descriptor** config) {
    return emu().configDescriptor(dev, index, config);
}

VQX_EXPORT int libusb_get_active_config_descriptor(libusb_device* dev,
                                                   struct libusb_config_descriptor** config) {
    return emu().configDescriptor(dev, 0, config);
}

VQX_EXPORT int libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value,
                                                     struct libusb_config_descriptor** config) {
    return value == 1 ? emu().configDescriptor(dev, 0, config) : LIBUSB_ERROR_NOT_FOUND;
}

VQX_EXPORT void libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    Emulation::freeConfigDescriptor(config);
}

VQX_EXPORT uint8_t libusb_get_bus_number(libusb_device*) {
    return vqx::sim::usbemu::kBusNumber;
}

VQX_EXPORT uint8_t libusb_get_device_address(libusb_device*) {
    return vqx::sim::usbemu::kDeviceAddress;
}

VQX_EXPORT uint8_t libusb_get_port_number(libusb_device*) {
    return vqx::sim::usbemu::kPortNumber;
}

VQX_EXPORT int libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers,
                                       int port_numbers_len) {
    return emu().portNumbers(dev, port_numbers, port_numbers_len);
}

VQX_EXPORT libusb_device* libusb_get_parent(libusb_device*) {
    return nullptr;
}

VQX_EXPORT int libusb_get_device_speed(libusb_device*) {
    return LIBUSB_SPEED_HIGH;
}

VQX_EXPORT int libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
    libusb_config_descriptor* config = nullptr;
    if (emu().configDescriptor(dev, 0, &config) != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    int size = LIBUSB_ERROR_NOT_FOUND;
    for (int i = 0; i < config->bNumInterfaces; ++i)
        for (int e = 0; e < config->interface[i].altsetting[0].bNumEndpoints; ++e)
            if (config->interface[i].altsetting[0].endpoint[e].bEndpointAddress == endpoint)
                size = config->interface[i].altsetting[0].endpoint[e].wMaxPacketSize;
    Emulation::freeConfigDescriptor(config);
    return size;
}

// ---- Handles, configuration, interfaces -------------------------------------------------------

VQX_EXPORT int libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    return emu().open(dev, handle);
}

VQX_EXPORT void libusb_close(libusb_device_handle* handle) {
    emu().close(handle);
}

VQX_EXPORT libusb_device* libusb_get_device(libusb_device_handle* handle) {
    return emu().device(handle);
}

VQX_EXPORT libusb_device_handle* libusb_open_device_with_vid_pid(libusb_context*, uint16_t vendor,
                                                                 uint16_t product) {
    if (vendor != vqx::sim::usbemu::kVendorId || product != vqx::sim::usbemu::kProductId)
        return nullptr;
    libusb_device** list = nullptr;
    libusb_device_handle* handle = nullptr;
    if (emu().deviceList(&list) > 0 && emu().open(list[0], &handle) != 0)
        handle = nullptr;
    emu().freeDeviceList(list, 1);
    return handle;
}

VQX_EXPORT int libusb_get_configuration(libusb_device_handle* dev, int* config) {
    return emu().configuration(dev, config);
}

VQX_EXPORT int libusb_set_configuration(libusb_device_handle* handle, int config) {
    return emu().setConfiguration(handle, config);
}

VQX_EXPORT int libusb_claim_interface(libusb_device_handle* handle, int interface) {
    return emu().claim(handle, interface, true);
}

VQX_EXPORT int libusb_release_interface(libusb_device_handle* handle, int interface) {
    return emu().claim(handle, interface, false);
}

VQX_EXPORT int libusb_set_interface_alt_setting(libusb_device_handle* handle, int interface,
                                                int setting) {
    return setting == 0 && interface >= 0 && interface <= 1 && emu().device(handle)
               ? LIBUSB_SUCCESS
               : LIBUSB_ERROR_NOT_FOUND;
}

VQX_EXPORT int libusb_clear_halt(libusb_device_handle* handle, unsigned char) {
    return emu().device(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_INVALID_PARAM;
}

VQX_EXPORT int libusb_reset_device(libusb_device_handle*) {
    return emu().unsupported("libusb_reset_device");
}

VQX_EXPORT int libusb_kernel_driver_active(libusb_device_handle* handle, int interface) {
    return emu().kernelDriver(handle, interface, "kernel driver active?");
}

VQX_EXPORT int libusb_detach_kernel_driver(libusb_device_handle* handle, int interface) {
    return emu().kernelDriver(handle, interface, "detach kernel driver");
}

VQX_EXPORT int libusb_attach_kernel_driver(libusb_device_handle* handle, int interface) {
    return emu().kernelDriver(handle, interface, "attach kernel driver");
}

VQX_EXPORT int libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int) {
    return emu().device(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_INVALID_PARAM;
}

// ---- Synchronous transfers -------------------------------------------------------------------

VQX_EXPORT int libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type,
                                       uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                       unsigned char* data, uint16_t wLength,
                                       unsigned int timeout) {
    // NOLINTNEXTLINE(readability-suspicious-call-argument): libusb's names, in libusb's order
    return emu().control(dev_handle, request_type, bRequest, wValue, wIndex, data, wLength,
                         timeout);
}

VQX_EXPORT int libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                    unsigned char* data, int length, int* actual_length,
                                    unsigned int timeout) {
    return emu().bulk(dev_handle, endpoint, data, length, actual_length, timeout);
}

VQX_EXPORT int libusb_interrupt_transfer(libusb_device_handle*, unsigned char, unsigned char*, int,
                                         int*, unsigned int) {
    return emu().unsupported("libusb_interrupt_transfer");
}

VQX_EXPORT int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                  unsigned char* data, int length) {
    return emu().stringAscii(handle, index, data, length);
}

// ---- Asynchronous transfers and events: not emulated -------------------------------------------

VQX_EXPORT struct libusb_transfer* libusb_alloc_transfer(int) {
    emu().unsupported("libusb_alloc_transfer");
    return nullptr;
}

VQX_EXPORT void libusb_free_transfer(struct libusb_transfer*) {}

VQX_EXPORT int libusb_submit_transfer(struct libusb_transfer*) {
    return emu().unsupported("libusb_submit_transfer");
}

VQX_EXPORT int libusb_cancel_transfer(struct libusb_transfer*) {
    return emu().unsupported("libusb_cancel_transfer");
}

VQX_EXPORT int libusb_handle_events(libusb_context*) {
    return emu().unsupported("libusb_handle_events");
}

VQX_EXPORT int libusb_handle_events_timeout(libusb_context*, struct timeval*) {
    return emu().unsupported("libusb_handle_events_timeout");
}

VQX_EXPORT int libusb_handle_events_timeout_completed(libusb_context*, struct timeval*, int*) {
    return emu().unsupported("libusb_handle_events_timeout_completed");
}

VQX_EXPORT int libusb_handle_events_completed(libusb_context*, int*) {
    return emu().unsupported("libusb_handle_events_completed");
}
