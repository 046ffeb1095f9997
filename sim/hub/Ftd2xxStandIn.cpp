// A stand-in for the vendor's D2XX library (libftd2xx.so / FTD2XX.dll) on the simulated hub,
// exporting the ten functions and FT_SetVIDPID with the vendor's C ABI. Built for the tests
// of the run-time loading backend only; never installed.
//
// The library has no context argument to carry a simulator, so it keeps one demonstration
// hub (makeDemoHub) for the life of the process, created on first use. The environment
// variable VQX_STANDIN_SERIAL overrides its serial number.
//
// Like the vendor's library on Linux, it lists only FTDI's own vendor id (0x0403) until a
// custom vendor/product pair has been registered with FT_SetVIDPID; the hub (5a3c:2207) is
// therefore listed only after FT_SetVIDPID(0x5A3C, 0x2207). It keeps one custom pair: a later
// call replaces it. Device numbers of FT_Open count the listed entries only.
// On Windows (FTD2XX.dll) the vendor's library has no FT_SetVIDPID: its driver lists the
// devices its installation binds to, the hub among them. The stand-in then lists the hub from
// the start and exports no FT_SetVIDPID either.

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "SimHub.h"
#include "VendorAbi.h"

namespace abi = vqx::usb::abi;

namespace {

constexpr std::uint32_t kFtdiVendorId = 0x0403;
#if defined(_WIN32)
constexpr bool kListsHubWithoutRegistration = true;
#else
constexpr bool kListsHubWithoutRegistration = false;
#endif

struct StandIn {
    std::mutex mutex;
    std::unique_ptr<vqx::sim::SimHubDriver> driver;
    std::uint32_t customId = 0; ///< vid << 16 | pid of FT_SetVIDPID; 0 = none

    /// Positions in the simulated list of the entries this library shows, in order.
    std::vector<int> visible() {
        std::vector<int> shown;
        std::uint32_t n = 0;
        if (driver->CreateDeviceInfoList(&n) != vqx::usb::FT_OK)
            return shown;
        std::vector<vqx::usb::DeviceListNode> nodes(n);
        if (driver->GetDeviceInfoList(nodes.data(), &n) != vqx::usb::FT_OK)
            return shown;
        for (std::uint32_t i = 0; i < n; ++i)
            if (nodes[i].ID >> 16 == kFtdiVendorId || (customId && nodes[i].ID == customId) ||
                (kListsHubWithoutRegistration && nodes[i].ID == vqx::usb::kHubDeviceId))
                shown.push_back(static_cast<int>(i));
        return shown;
    }
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

template <typename F> abi::Status withStandIn(F f) {
    StandIn& s = standIn();
    std::lock_guard lock(s.mutex);
    return f(s);
}

} // namespace

#if !defined(_WIN32)
VQX_FTEXPORT abi::Status VQX_FTAPI FT_SetVIDPID(abi::Dword vid, abi::Dword pid) {
    return withStandIn([&](StandIn& s) {
        if (vid > 0xFFFF || pid > 0xFFFF)
            return vqx::usb::FT_STATUS{vqx::usb::FT_INVALID_PARAMETER};
        s.customId = vid << 16 | pid;
        return vqx::usb::FT_STATUS{vqx::usb::FT_OK};
    });
}
#endif

VQX_FTEXPORT abi::Status VQX_FTAPI FT_CreateDeviceInfoList(abi::Dword* numDevs) {
    return withStandIn([&](StandIn& s) {
        std::uint32_t n = 0;
        if (const auto st = s.driver->CreateDeviceInfoList(&n); st != vqx::usb::FT_OK)
            return st;
        if (!numDevs)
            return vqx::usb::FT_STATUS{vqx::usb::FT_INVALID_PARAMETER};
        *numDevs = static_cast<abi::Dword>(s.visible().size());
        return vqx::usb::FT_STATUS{vqx::usb::FT_OK};
    });
}

VQX_FTEXPORT abi::Status VQX_FTAPI FT_GetDeviceInfoList(abi::Node* list, abi::Dword* numDevs) {
    return withStandIn([&](StandIn& s) {
        if (!list || !numDevs)
            return vqx::usb::FT_STATUS{vqx::usb::FT_INVALID_PARAMETER};
        // Like the vendor's, this fills the whole list; the caller sized the array after
        // FT_CreateDeviceInfoList.
        std::uint32_t n = 0;
        if (const auto st = s.driver->CreateDeviceInfoList(&n); st != vqx::usb::FT_OK)
            return st;
        std::vector<vqx::usb::DeviceListNode> nodes(n);
        if (const auto st = s.driver->GetDeviceInfoList(nodes.data(), &n); st != vqx::usb::FT_OK)
            return st;
        const std::vector<int> shown = s.visible();
        for (std::size_t i = 0; i < shown.size(); ++i) {
            const vqx::usb::DeviceListNode& in = nodes[static_cast<std::size_t>(shown[i])];
            list[i].Flags = in.Flags;
            list[i].Type = in.Type;
            list[i].ID = in.ID;
            list[i].LocId = in.LocId;
            std::memcpy(list[i].SerialNumber, in.SerialNumber, sizeof list[i].SerialNumber);
            std::memcpy(list[i].Description, in.Description, sizeof list[i].Description);
            list[i].ftHandle = in.ftHandle;
        }
        *numDevs = static_cast<abi::Dword>(shown.size());
        return vqx::usb::FT_STATUS{vqx::usb::FT_OK};
    });
}

VQX_FTEXPORT abi::Status VQX_FTAPI FT_Open(int deviceNumber, abi::Handle* handle) {
    return withStandIn([&](StandIn& s) {
        const std::vector<int> shown = s.visible();
        if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= shown.size())
            return vqx::usb::FT_STATUS{vqx::usb::FT_DEVICE_NOT_FOUND};
        return s.driver->Open(shown[static_cast<std::size_t>(deviceNumber)], handle);
    });
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_Close(abi::Handle handle) {
    return call([&](auto& d) { return d.Close(handle); });
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_SetTimeouts(abi::Handle handle, abi::Dword readTimeout,
                                                  abi::Dword writeTimeout) {
    return call([&](auto& d) { return d.SetTimeouts(handle, readTimeout, writeTimeout); });
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_Purge(abi::Handle handle, abi::Dword mask) {
    return call([&](auto& d) { return d.Purge(handle, mask); });
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_SetBaudRate(abi::Handle handle, abi::Dword baudRate) {
    return call([&](auto& d) { return d.SetBaudRate(handle, baudRate); });
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_SetBitMode(abi::Handle handle, unsigned char mask,
                                                 unsigned char mode) {
    return call([&](auto& d) { return d.SetBitMode(handle, mask, mode); });
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_Write(abi::Handle handle, void* buffer,
                                            abi::Dword bytesToWrite, abi::Dword* bytesWritten) {
    return call([&](auto& d) { return d.Write(handle, buffer, bytesToWrite, bytesWritten); });
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_Read(abi::Handle handle, void* buffer, abi::Dword bytesToRead,
                                           abi::Dword* bytesReturned) {
    return call([&](auto& d) { return d.Read(handle, buffer, bytesToRead, bytesReturned); });
}
