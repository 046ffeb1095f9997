// A stand-in for the vendor's D2XX library (libftd2xx.so / FTD2XX.dll) on the simulated hub,
// exporting the ten functions with the vendor's C ABI. Built for the tests of the run-time
// loading backend only; never installed.
//
// The library has no context argument to carry a simulator, so it keeps one demonstration
// hub (makeDemoHub) for the life of the process, created on first use. The environment
// variable VQX_STANDIN_SERIAL overrides its serial number.

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "SimHub.h"
#include "VendorAbi.h"

#if defined(_WIN32)
#define VQX_EXPORT extern "C" __declspec(dllexport)
#else
#define VQX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace abi = vqx::usb::abi;

namespace {

struct StandIn {
    std::mutex mutex;
    std::unique_ptr<vqx::sim::SimHubDriver> driver;
};

StandIn& standIn() {
    static StandIn s;
    std::lock_guard lock(s.mutex);
    if (!s.driver) {
        const char* serial = std::getenv("VQX_STANDIN_SERIAL");
        s.driver = std::make_unique<vqx::sim::SimHubDriver>(
            vqx::sim::makeDemoHub(serial && *serial ? serial : "VQX25001"));
    }
    return s;
}

template <typename F> abi::Status call(F f) {
    StandIn& s = standIn();
    std::lock_guard lock(s.mutex);
    return f(*s.driver);
}

} // namespace

VQX_EXPORT abi::Status VQX_FTAPI FT_CreateDeviceInfoList(abi::Dword* numDevs) {
    return call([&](auto& d) { return d.CreateDeviceInfoList(numDevs); });
}

VQX_EXPORT abi::Status VQX_FTAPI FT_GetDeviceInfoList(abi::Node* list, abi::Dword* numDevs) {
    return call([&](auto& d) {
        if (!list || !numDevs)
            return vqx::usb::FT_STATUS{vqx::usb::FT_INVALID_PARAMETER};
        // Like the vendor's, this fills the whole list; the caller sized the array after
        // FT_CreateDeviceInfoList.
        std::uint32_t n = 0;
        if (const auto st = d.CreateDeviceInfoList(&n); st != vqx::usb::FT_OK)
            return st;
        std::vector<vqx::usb::DeviceListNode> nodes(n);
        if (const auto st = d.GetDeviceInfoList(nodes.data(), &n); st != vqx::usb::FT_OK)
            return st;
        for (std::uint32_t i = 0; i < n; ++i) {
            list[i].Flags = nodes[i].Flags;
            list[i].Type = nodes[i].Type;
            list[i].ID = nodes[i].ID;
            list[i].LocId = nodes[i].LocId;
            std::memcpy(list[i].SerialNumber, nodes[i].SerialNumber, sizeof list[i].SerialNumber);
            std::memcpy(list[i].Description, nodes[i].Description, sizeof list[i].Description);
            list[i].ftHandle = nodes[i].ftHandle;
        }
        *numDevs = n;
        return vqx::usb::FT_STATUS{vqx::usb::FT_OK};
    });
}

VQX_EXPORT abi::Status VQX_FTAPI FT_Open(int deviceNumber, abi::Handle* handle) {
    return call([&](auto& d) { return d.Open(deviceNumber, handle); });
}
VQX_EXPORT abi::Status VQX_FTAPI FT_Close(abi::Handle handle) {
    return call([&](auto& d) { return d.Close(handle); });
}
VQX_EXPORT abi::Status VQX_FTAPI FT_SetTimeouts(abi::Handle handle, abi::Dword readTimeout,
                                                abi::Dword writeTimeout) {
    return call([&](auto& d) { return d.SetTimeouts(handle, readTimeout, writeTimeout); });
}
VQX_EXPORT abi::Status VQX_FTAPI FT_Purge(abi::Handle handle, abi::Dword mask) {
    return call([&](auto& d) { return d.Purge(handle, mask); });
}
VQX_EXPORT abi::Status VQX_FTAPI FT_SetBaudRate(abi::Handle handle, abi::Dword baudRate) {
    return call([&](auto& d) { return d.SetBaudRate(handle, baudRate); });
}
VQX_EXPORT abi::Status VQX_FTAPI FT_SetBitMode(abi::Handle handle, unsigned char mask,
                                               unsigned char mode) {
    return call([&](auto& d) { return d.SetBitMode(handle, mask, mode); });
}
VQX_EXPORT abi::Status VQX_FTAPI FT_Write(abi::Handle handle, void* buffer, abi::Dword bytesToWrite,
                                          abi::Dword* bytesWritten) {
    return call([&](auto& d) { return d.Write(handle, buffer, bytesToWrite, bytesWritten); });
}
VQX_EXPORT abi::Status VQX_FTAPI FT_Read(abi::Handle handle, void* buffer, abi::Dword bytesToRead,
                                         abi::Dword* bytesReturned) {
    return call([&](auto& d) { return d.Read(handle, buffer, bytesToRead, bytesReturned); });
}
