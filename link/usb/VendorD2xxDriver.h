#pragma once
// The vendor's D2XX library, loaded at run time (never linked at build time, never shipped):
// FTD2XX.dll on Windows, libftd2xx.so on Linux found by the dynamic loader's search
// (LD_LIBRARY_PATH applies). The ten functions are declared here with the vendor's public C
// ABI and resolved all at once; a library lacking any of them is refused.
//
// On Linux and macOS the library lists only FTDI's own vendor and product ids unless a custom
// pair has been registered with FT_SetVIDPID. The hub's ids (5a3c:2207) are registered right
// after loading, before any list call. FT_SetVIDPID is not one of the ten: a library without
// it, or whose call fails, is still used, but hubIdRegistered() is false and lastError() says
// why the hub may be missing from its list. Windows has no such call; there the driver lists
// whatever its INF binds to, and hubIdRegistered() is true.

#include <memory>
#include <string>

#include "D2xx.h"

namespace vqx::usb {

class VendorD2xxDriver final : public D2xxDriver {
public:
    /// "ftd2xx": the loader turns it into libftd2xx.so or FTD2XX.dll.
    static const char* defaultLibraryName();
    /// The file the loader looks for: "FTD2XX.dll" on Windows (found by the usual DLL search:
    /// the program's folder, the system folders, PATH), "libftd2xx.so" elsewhere.
    static std::string defaultLibraryFile();
    /// Loads the library (a bare name or a path) and resolves the ten functions. On failure
    /// returns nullptr and puts a sentence the user can read into *why: the file looked for,
    /// the loader's reason and, for the default library on Windows, how to get it.
    static std::unique_ptr<VendorD2xxDriver> load(const std::string& library, std::string* why);

    ~VendorD2xxDriver() override;

    std::string name() const override { return "d2xx"; }
    /// The file the library was loaded from.
    std::string libraryFile() const;
    /// True when the library was told to list the hub's USB ids (see above).
    bool hubIdRegistered() const { return m_hubIdRegistered; }
    /// Why the hub's ids could not be registered; "" when they were.
    std::string lastError() const override { return m_note; }

    FT_STATUS CreateDeviceInfoList(std::uint32_t* numDevs) override;
    FT_STATUS GetDeviceInfoList(DeviceListNode* list, std::uint32_t* numDevs) override;
    FT_STATUS Open(int deviceIndex, FT_HANDLE* handle) override;
    FT_STATUS Close(FT_HANDLE handle) override;
    FT_STATUS SetTimeouts(FT_HANDLE handle, std::uint32_t readMs, std::uint32_t writeMs) override;
    FT_STATUS Purge(FT_HANDLE handle, std::uint32_t mask) override;
    FT_STATUS SetBaudRate(FT_HANDLE handle, std::uint32_t baud) override;
    FT_STATUS SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) override;
    FT_STATUS Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                    std::uint32_t* bytesWritten) override;
    FT_STATUS Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                   std::uint32_t* bytesReturned) override;

private:
    struct Api;
    explicit VendorD2xxDriver(std::unique_ptr<Api> api);
    void registerHubId();

    std::unique_ptr<Api> m_api;
    bool m_hubIdRegistered = false;
    std::string m_note;
};

} // namespace vqx::usb
