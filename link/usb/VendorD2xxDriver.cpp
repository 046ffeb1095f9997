#include "VendorD2xxDriver.h"

#include <QLibrary>
#include <algorithm>
#include <cstring>
#include <vector>

#include "VendorAbi.h"

namespace vqx::usb {

struct VendorD2xxDriver::Api {
    QLibrary library;
    abi::CreateDeviceInfoListFn createDeviceInfoList = nullptr;
    abi::GetDeviceInfoListFn getDeviceInfoList = nullptr;
    abi::OpenFn open = nullptr;
    abi::CloseFn close = nullptr;
    abi::SetTimeoutsFn setTimeouts = nullptr;
    abi::PurgeFn purge = nullptr;
    abi::SetBaudRateFn setBaudRate = nullptr;
    abi::SetBitModeFn setBitMode = nullptr;
    abi::WriteFn write = nullptr;
    abi::ReadFn read = nullptr;
    abi::SetVidPidFn setVidPid = nullptr; ///< optional; Linux and macOS only
};

namespace {

/// Resolves one function and notes its name when it is missing.
template <typename Fn>
void resolve(QLibrary& lib, const char* symbol, Fn& fn, std::string& missing) {
    fn = reinterpret_cast<Fn>(lib.resolve(symbol));
    if (!fn) {
        if (!missing.empty())
            missing += ", ";
        missing += symbol;
    }
}

} // namespace

const char* VendorD2xxDriver::defaultLibraryName() {
    return "ftd2xx";
}

std::string VendorD2xxDriver::defaultLibraryFile() {
#if defined(_WIN32)
    return "FTD2XX.dll";
#elif defined(__APPLE__)
    return "libftd2xx.dylib";
#else
    return "libftd2xx.so";
#endif
}

std::unique_ptr<VendorD2xxDriver> VendorD2xxDriver::load(const std::string& library,
                                                         std::string* why) {
    auto api = std::make_unique<Api>();
    api->library.setFileName(QString::fromStdString(library));
    if (!api->library.load()) {
        if (why) {
            const bool byName = library == defaultLibraryName();
            *why = "The FTDI D2XX library (" + (byName ? defaultLibraryFile() : library) +
                   ") could not be loaded: " + api->library.errorString().toStdString();
#if defined(_WIN32)
            if (byName)
                *why += ". Install the FTDI D2XX driver: it puts FTD2XX.dll into the Windows "
                        "system folder (a copy next to the program is found as well).";
#endif
        }
        return nullptr;
    }
    std::string missing;
    QLibrary& lib = api->library;
    resolve(lib, "FT_CreateDeviceInfoList", api->createDeviceInfoList, missing);
    resolve(lib, "FT_GetDeviceInfoList", api->getDeviceInfoList, missing);
    resolve(lib, "FT_Open", api->open, missing);
    resolve(lib, "FT_Close", api->close, missing);
    resolve(lib, "FT_SetTimeouts", api->setTimeouts, missing);
    resolve(lib, "FT_Purge", api->purge, missing);
    resolve(lib, "FT_SetBaudRate", api->setBaudRate, missing);
    resolve(lib, "FT_SetBitMode", api->setBitMode, missing);
    resolve(lib, "FT_Write", api->write, missing);
    resolve(lib, "FT_Read", api->read, missing);
    if (!missing.empty()) {
        if (why)
            *why = "The FTDI D2XX library " + lib.fileName().toStdString() +
                   " is not usable: it lacks " + missing + ".";
        lib.unload();
        return nullptr;
    }
#if !defined(_WIN32)
    api->setVidPid = reinterpret_cast<abi::SetVidPidFn>(lib.resolve("FT_SetVIDPID"));
#endif
    std::unique_ptr<VendorD2xxDriver> driver(new VendorD2xxDriver(std::move(api)));
    driver->registerHubId();
    return driver;
}

VendorD2xxDriver::VendorD2xxDriver(std::unique_ptr<Api> api) : m_api(std::move(api)) {}

void VendorD2xxDriver::registerHubId() {
#if defined(_WIN32)
    m_hubIdRegistered = true;
#else
    const std::string file = m_api->library.fileName().toStdString();
    if (!m_api->setVidPid) {
        m_note = "The FTDI D2XX library " + file +
                 " lacks FT_SetVIDPID, so it lists the hub (USB id 5a3c:2207) only if its own "
                 "device table holds that id.";
        return;
    }
    const abi::Status st = m_api->setVidPid(kHubVendorId, kHubProductId);
    if (st != FT_OK) {
        const char* name = statusName(st);
        m_note = "The FTDI D2XX library " + file + " refused FT_SetVIDPID(0x5A3C, 0x2207) with " +
                 (*name ? std::string(name) : "status " + std::to_string(st)) +
                 ", so it may not list the hub (USB id 5a3c:2207).";
        return;
    }
    m_hubIdRegistered = true;
#endif
}

// The library stays loaded for the rest of the process: handles it gave out may still be
// referenced by threads of its own.
VendorD2xxDriver::~VendorD2xxDriver() = default;

std::string VendorD2xxDriver::libraryFile() const {
    return m_api->library.fileName().toStdString();
}

FT_STATUS VendorD2xxDriver::CreateDeviceInfoList(std::uint32_t* numDevs) {
    abi::Dword n = 0;
    const abi::Status st = m_api->createDeviceInfoList(&n);
    if (numDevs)
        *numDevs = n;
    return st;
}

FT_STATUS VendorD2xxDriver::GetDeviceInfoList(DeviceListNode* list, std::uint32_t* numDevs) {
    if (!list || !numDevs)
        return FT_INVALID_PARAMETER;
    // The library fills its whole list, as its latest FT_CreateDeviceInfoList built it, and
    // takes no count: the list is the library's, shared by every caller in the process, and
    // may have been rebuilt with more entries since the caller sized its array. So the list
    // is built afresh here and staged in an array of exactly its size; the caller gets what
    // its array holds.
    abi::Dword listed = 0;
    if (const abi::Status st = m_api->createDeviceInfoList(&listed); st != FT_OK)
        return st;
    std::vector<abi::Node> nodes(std::max<abi::Dword>(listed, *numDevs));
    abi::Dword n = listed;
    const abi::Status st = m_api->getDeviceInfoList(nodes.data(), &n);
    if (st != FT_OK)
        return st;
    const std::uint32_t filled = n < *numDevs ? n : *numDevs;
    for (std::uint32_t i = 0; i < filled; ++i) {
        DeviceListNode& out = list[i];
        const abi::Node& in = nodes[i];
        out.Flags = in.Flags;
        out.Type = in.Type;
        out.ID = in.ID;
        out.LocId = in.LocId;
        std::memcpy(out.SerialNumber, in.SerialNumber, sizeof out.SerialNumber);
        std::memcpy(out.Description, in.Description, sizeof out.Description);
        out.ftHandle = in.ftHandle;
    }
    *numDevs = filled;
    return FT_OK;
}

FT_STATUS VendorD2xxDriver::Open(int deviceIndex, FT_HANDLE* handle) {
    return m_api->open(deviceIndex, handle);
}
FT_STATUS VendorD2xxDriver::Close(FT_HANDLE handle) {
    return m_api->close(handle);
}
FT_STATUS VendorD2xxDriver::SetTimeouts(FT_HANDLE handle, std::uint32_t readMs,
                                        std::uint32_t writeMs) {
    return m_api->setTimeouts(handle, readMs, writeMs);
}
FT_STATUS VendorD2xxDriver::Purge(FT_HANDLE handle, std::uint32_t mask) {
    return m_api->purge(handle, mask);
}
FT_STATUS VendorD2xxDriver::SetBaudRate(FT_HANDLE handle, std::uint32_t baud) {
    return m_api->setBaudRate(handle, baud);
}
FT_STATUS VendorD2xxDriver::SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    return m_api->setBitMode(handle, mask, mode);
}
FT_STATUS VendorD2xxDriver::Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                                  std::uint32_t* bytesWritten) {
    abi::Dword n = 0;
    const abi::Status st = m_api->write(handle, const_cast<void*>(buffer), bytesToWrite, &n);
    if (bytesWritten)
        *bytesWritten = n;
    return st;
}
FT_STATUS VendorD2xxDriver::Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                                 std::uint32_t* bytesReturned) {
    abi::Dword n = 0;
    const abi::Status st = m_api->read(handle, buffer, bytesToRead, &n);
    if (bytesReturned)
        *bytesReturned = n;
    return st;
}

} // namespace vqx::usb
