// The hub emulated at the USB level: the chip's control and bulk requests (UsbEmulation) as
// libftdi or anything else may send them, and the configuration text of VQX250_USBEMU.
//
// Each input is a configuration and a run of requests, on a clock of the target's own (no
// real waits). Properties:
//  - every call returns a libusb code the emulation documents; a control IN returns at most
//    the bytes asked for; a bulk transfer moves at most its length; every IN packet starts
//    with the two modem-status bytes;
//  - a rejected request leaves no trace: a second emulation that is given only the requests
//    the first accepted answers every one of them the same (codes, bytes, lengths);
//  - a refused configuration text leaves the configuration as it was, with a message.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "UsbEmulation.h"

using namespace vqx::sim::usbemu;
using Clock = Emulation::Clock;

namespace {

bool sameConfig(const Config& a, const Config& b) {
    return a.types == b.types && a.records == b.records && a.serial == b.serial &&
           a.manufacturer == b.manufacturer && a.product == b.product &&
           a.packetSize == b.packetSize && a.transcript == b.transcript && a.strict == b.strict &&
           a.denyOpen == b.denyOpen && a.unplugAfter == b.unplugAfter &&
           a.silentAfter == b.silentAfter && a.stallAfter == b.stallAfter &&
           a.shortWrites == b.shortWrites && a.busyPolls == b.busyPolls;
}

void checkConfigText(const std::string& text) {
    Config config;
    std::string error;
    if (Config::parse(text, config, &error)) {
        VQX_FUZZ_CHECK(config.packetSize == 64 || config.packetSize == 512);
        VQX_FUZZ_CHECK(!config.serial.empty() && config.serial.size() <= 14);
        for (int t : config.types)
            VQX_FUZZ_CHECK(t >= 0 && t <= 15);
        VQX_FUZZ_CHECK(config.busyPolls >= 0 && config.busyPolls < 100000);
    } else {
        VQX_FUZZ_CHECK(!error.empty());
        VQX_FUZZ_CHECK(sameConfig(config, Config()));
    }
}

/// One emulated chip with its own clock and device handles.
struct Chip {
    explicit Chip(const std::string& config) : emulation(config) {
        emulation.setTime({[this] { return now; },
                           [this](Clock::time_point until) { now = std::max(now, until); }});
        libusb_device** list = nullptr;
        if (emulation.deviceList(&list) > 0)
            device = emulation.ref(list[0]);
        emulation.freeDeviceList(list, 1);
    }
    ~Chip() {
        for (libusb_device_handle* h : handles)
            emulation.close(h);
        if (device)
            emulation.unref(device);
    }
    libusb_device_handle* handle(std::size_t k) const {
        return handles.empty() ? nullptr : handles[k % handles.size()];
    }
    Emulation emulation;
    Clock::time_point now{};
    libusb_device* device = nullptr;
    std::vector<libusb_device_handle*> handles;
};

/// What a request gave back, to compare the two chips.
struct Result {
    int rc = 0;
    int transferred = 0;
    std::vector<unsigned char> bytes;
    bool operator==(const Result&) const = default;
};

bool documented(int rc) {
    return rc >= 0 || rc == LIBUSB_ERROR_IO || rc == LIBUSB_ERROR_INVALID_PARAM ||
           rc == LIBUSB_ERROR_ACCESS || rc == LIBUSB_ERROR_NO_DEVICE ||
           rc == LIBUSB_ERROR_NOT_FOUND || rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_TIMEOUT ||
           rc == LIBUSB_ERROR_OVERFLOW || rc == LIBUSB_ERROR_PIPE ||
           rc == LIBUSB_ERROR_NOT_SUPPORTED;
}

struct Request {
    int op = 0;
    std::size_t handle = 0;
    int interface = 0;
    std::uint8_t type = 0, request = 0;
    std::uint16_t value = 0, index = 0, length = 0;
    unsigned char endpoint = 0;
    std::vector<unsigned char> out;
    unsigned timeout = 0;
    int advanceMs = 0;
};

Request nextRequest(FuzzedDataProvider& in) {
    Request r;
    r.op = in.ConsumeIntegralInRange(0, 10);
    r.handle = in.ConsumeIntegralInRange<std::size_t>(0, 3);
    switch (r.op) {
    case 2:
        r.interface = in.ConsumeIntegralInRange(-1, 2);
        r.value = in.ConsumeBool(); // claim or release
        break;
    case 3: {
        static const std::uint8_t types[] = {0x40, 0xC0, 0x80, 0x00, 0x21};
        r.type = in.ConsumeBool() ? types[in.ConsumeIntegralInRange(0, 4)]
                                  : in.ConsumeIntegral<std::uint8_t>();
        r.request = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint8_t>(0, 0x0C)
                                     : in.ConsumeIntegral<std::uint8_t>();
        r.value = in.ConsumeIntegral<std::uint16_t>();
        r.index = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint16_t>(0, 3)
                                   : in.ConsumeIntegral<std::uint16_t>();
        r.length = in.ConsumeIntegralInRange<std::uint16_t>(0, 300);
        break;
    }
    case 4: {
        static const unsigned char endpoints[] = {0x04, 0x02, 0x83, 0x81};
        r.endpoint = in.ConsumeIntegralInRange(0, 7) == 0
                         ? in.ConsumeIntegral<unsigned char>()
                         : endpoints[in.ConsumeIntegralInRange(0, 1)];
        r.out = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange(0, 700));
        r.timeout = in.ConsumeIntegralInRange(0u, 3000u);
        break;
    }
    case 5: {
        static const unsigned char endpoints[] = {0x83, 0x81, 0x04};
        r.endpoint = endpoints[in.ConsumeIntegralInRange(0, 2)];
        r.length = in.ConsumeIntegralInRange<std::uint16_t>(0, 2048);
        r.timeout = in.ConsumeIntegralInRange(0u, 3000u);
        break;
    }
    case 6:
        r.advanceMs = in.ConsumeIntegralInRange(0, 300);
        break;
    case 7:
        r.interface = in.ConsumeIntegralInRange(-2, 2); // the configuration
        break;
    case 8:
        r.index = in.ConsumeIntegralInRange<std::uint16_t>(0, 5);
        r.length = in.ConsumeIntegralInRange<std::uint16_t>(0, 80);
        break;
    case 10:
        r.value = in.ConsumeBool() ? 0x001A : in.ConsumeIntegral<std::uint16_t>(); // divisor
        break;
    default:
        break;
    }
    return r;
}

/// Runs one request on a chip; the bytes coming back and the checks of each call.
Result run(Chip& chip, const Request& r, int packetSize) {
    Emulation& e = chip.emulation;
    Result out;
    libusb_device_handle* h = chip.handle(r.handle);
    switch (r.op) {
    case 0: // open
        if (chip.handles.size() < 3 && chip.device) {
            libusb_device_handle* opened = nullptr;
            out.rc = e.open(chip.device, &opened);
            if (out.rc == LIBUSB_SUCCESS)
                chip.handles.push_back(opened);
        }
        break;
    case 1: // close
        if (h) {
            e.close(h);
            chip.handles.erase(chip.handles.begin() +
                               static_cast<long>(r.handle % chip.handles.size()));
        }
        break;
    case 2:
        if (h)
            out.rc = e.claim(h, r.interface, r.value != 0);
        break;
    case 3:
        if (h) {
            std::vector<unsigned char> data(r.length, 0xEE);
            out.rc = e.control(h, r.type, r.request, r.value, r.index,
                               r.length ? data.data() : nullptr, r.length, 1000);
            if (out.rc >= 0)
                VQX_FUZZ_CHECK(out.rc <= r.length);
            if (out.rc > 0)
                out.bytes.assign(data.begin(), data.begin() + out.rc);
        }
        break;
    case 4:
        if (h) {
            std::vector<unsigned char> data = r.out;
            out.rc = e.bulk(h, r.endpoint, data.empty() ? nullptr : data.data(),
                            static_cast<int>(data.size()), &out.transferred, r.timeout);
            VQX_FUZZ_CHECK(out.transferred >= 0 &&
                           out.transferred <= static_cast<int>(data.size()));
        }
        break;
    case 5:
        if (h) {
            std::vector<unsigned char> data(r.length, 0xEE);
            out.rc = e.bulk(h, r.endpoint, r.length ? data.data() : nullptr, r.length,
                            &out.transferred, r.timeout);
            VQX_FUZZ_CHECK(out.transferred >= 0 && out.transferred <= r.length);
            if (r.endpoint & 0x80)
                for (int k = 0; k < out.transferred; k += packetSize) {
                    VQX_FUZZ_CHECK(k + 2 <= out.transferred);
                    VQX_FUZZ_CHECK(data[static_cast<std::size_t>(k)] == 0x31 &&
                                   data[static_cast<std::size_t>(k) + 1] == 0x60);
                }
            out.bytes.assign(data.begin(), data.begin() + out.transferred);
        }
        break;
    case 6:
        chip.now += std::chrono::milliseconds(r.advanceMs);
        break;
    case 7:
        if (h)
            out.rc = e.setConfiguration(h, r.interface);
        break;
    case 8:
        if (h) {
            std::vector<unsigned char> text(r.length, 0xEE);
            out.rc = e.stringAscii(h, static_cast<std::uint8_t>(r.index),
                                   r.length ? text.data() : nullptr, r.length);
            if (out.rc >= 0) {
                VQX_FUZZ_CHECK(out.rc < r.length && text[static_cast<std::size_t>(out.rc)] == 0);
                out.bytes.assign(text.begin(), text.begin() + out.rc);
            }
        }
        break;
    case 9:
        if (chip.device) {
            libusb_device_descriptor d{};
            out.rc = e.deviceDescriptor(chip.device, &d);
            VQX_FUZZ_CHECK(out.rc != 0 || (d.idVendor == kVendorId && d.idProduct == kProductId));
            libusb_config_descriptor* c = nullptr;
            const int rc = e.configDescriptor(chip.device, 0, &c);
            VQX_FUZZ_CHECK(documented(rc));
            if (rc == 0) {
                VQX_FUZZ_CHECK(c && c->bNumInterfaces == 2);
                Emulation::freeConfigDescriptor(c);
            }
        }
        break;
    default: // what libftdi does to bring the hub up: claim both, channel A at the baud rate
        if (h) {
            const int rcs[] = {e.claim(h, 0, true), e.claim(h, 1, true),
                               e.control(h, 0x40, 0x03, r.value, 0x0001, nullptr, 0, 1000),
                               e.control(h, 0x40, 0x0B, 0x0400, 0x0001, nullptr, 0, 1000)};
            for (const int rc : rcs)
                if (rc < 0 && out.rc == 0)
                    out.rc = rc;
        }
        break;
    }
    VQX_FUZZ_CHECK(documented(out.rc));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
        checkConfigText(in.ConsumeRemainingBytesAsString());
        return 0;
    }
    // A configuration the target makes: no transcript, not strict (which ends the process).
    const int packetSize = in.ConsumeBool() ? 64 : 512;
    std::string config = "packet=" + std::to_string(packetSize);
    config += " busy-polls=" + std::to_string(in.ConsumeIntegralInRange(0, 3));
    config += " slots=";
    for (int s = 0; s < 6; ++s)
        config += (s ? "," : "") + std::to_string(in.ConsumeIntegralInRange(0, 15));
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        config += " silent-after=" + std::to_string(in.ConsumeIntegralInRange(0, 20));
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        config += " stall-after=" + std::to_string(in.ConsumeIntegralInRange(0, 20));
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        config += " short-writes=" + std::to_string(in.ConsumeIntegralInRange(0, 5));
    // A rejected transfer still counts towards the unplugging: no second chip then.
    const bool unplug = in.ConsumeIntegralInRange(0, 7) == 0;
    if (unplug)
        config += " unplug-after=" + std::to_string(in.ConsumeIntegralInRange(0, 20));

    Chip first(config);
    auto second = unplug ? nullptr : std::make_unique<Chip>(config);
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        const Request r = nextRequest(in);
        const long firstBefore = first.emulation.rejections();
        const Result a = run(first, r, packetSize);
        if (!second)
            continue;
        const long firstRejected = first.emulation.rejections() - firstBefore;
        // A single request the first chip rejected is not given to the second. The bring-up
        // (several requests, op 10) goes to both, and must be rejected alike.
        if (firstRejected != 0 && r.op != 10)
            continue;
        const long secondBefore = second->emulation.rejections();
        const Result b = run(*second, r, packetSize);
        VQX_FUZZ_CHECK(a == b);
        VQX_FUZZ_CHECK(second->emulation.rejections() - secondBefore == firstRejected);
        VQX_FUZZ_CHECK(first.now == second->now);
    }
    return 0;
}
