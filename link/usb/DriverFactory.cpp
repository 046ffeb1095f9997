#include "DriverFactory.h"

#include <map>
#include <mutex>
#include <vector>

#include "VendorD2xxDriver.h"
#ifdef VQX_HAVE_LIBFTDI
#include "LibFtdiDriver.h"
#endif

namespace vqx::usb {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::function<std::unique_ptr<D2xxDriver>()>> makers;
};

Registry& registry() {
    static Registry r;
    return r;
}

bool isBuiltIn(const std::string& kind) {
    return kind == "auto" || kind == "d2xx" || kind == "libftdi";
}

constexpr std::uint32_t kMaxSaneListEntries = 4096;

void setWhy(std::string* why, std::string text) {
    if (why)
        *why = std::move(text);
}

} // namespace

std::unique_ptr<D2xxDriver> createDriver(const std::string& kind, std::string* why) {
    setWhy(why, {});
    if (kind == "d2xx")
        return VendorD2xxDriver::load(VendorD2xxDriver::defaultLibraryName(), why);
#ifdef VQX_HAVE_LIBFTDI
    if (kind == "libftdi")
        return std::make_unique<LibFtdiDriver>();
    if (kind == "auto") {
        std::string reason;
        auto vendor = VendorD2xxDriver::load(VendorD2xxDriver::defaultLibraryName(), &reason);
        if (!vendor) {
            setWhy(why, reason);
            return std::make_unique<LibFtdiDriver>();
        }
        const bool knowsHub = vendor->hubIdRegistered();
        return chooseAutoDriver(
            std::move(vendor), knowsHub, [] { return std::make_unique<LibFtdiDriver>(); }, why);
    }
#else
    // Without libftdi (Windows) the vendor's library is the only USB path.
    if (kind == "libftdi") {
        setWhy(why, "libftdi is not part of this build; the FTDI D2XX driver (" +
                        VendorD2xxDriver::defaultLibraryFile() + ") is used instead");
        return nullptr;
    }
    if (kind == "auto")
        return VendorD2xxDriver::load(VendorD2xxDriver::defaultLibraryName(), why);
#endif
    std::function<std::unique_ptr<D2xxDriver>()> make;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        if (auto it = r.makers.find(kind); it != r.makers.end())
            make = it->second;
    }
    if (!make) {
        setWhy(why, "unknown USB driver \"" + kind + "\"");
        return nullptr;
    }
    auto driver = make();
    if (!driver)
        setWhy(why, "the USB driver \"" + kind + "\" could not be created");
    return driver;
}

void registerDriver(const std::string& kind, std::function<std::unique_ptr<D2xxDriver>()> make) {
    if (isBuiltIn(kind) || !make)
        return;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.makers[kind] = std::move(make);
}

void unregisterDriver(const std::string& kind) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.makers.erase(kind);
}

std::vector<std::string> driverKinds() {
#ifdef VQX_HAVE_LIBFTDI
    std::vector<std::string> kinds{"auto", "d2xx", "libftdi"};
#else
    std::vector<std::string> kinds{"auto", "d2xx"};
#endif
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& entry : r.makers)
        kinds.push_back(entry.first);
    return kinds;
}

int countHubIdEntries(D2xxDriver& driver) {
    std::uint32_t n = 0;
    // A list longer than USB can attach is taken as broken, as CUsbHub does.
    if (driver.CreateDeviceInfoList(&n) != FT_OK || n == 0 || n > kMaxSaneListEntries)
        return 0;
    std::vector<DeviceListNode> nodes(n);
    std::uint32_t filled = n;
    if (driver.GetDeviceInfoList(nodes.data(), &filled) != FT_OK)
        return 0;
    int hubs = 0;
    for (std::uint32_t i = 0; i < filled && i < n; ++i)
        if (nodes[i].ID == kHubDeviceId)
            ++hubs;
    return hubs;
}

std::unique_ptr<D2xxDriver>
chooseAutoDriver(std::unique_ptr<D2xxDriver> vendor, bool vendorKnowsHubId,
                 const std::function<std::unique_ptr<D2xxDriver>()>& makeLibftdi,
                 std::string* why) {
    setWhy(why, {});
    if (!vendor)
        return makeLibftdi ? makeLibftdi() : nullptr;
    if (countHubIdEntries(*vendor) > 0 || !makeLibftdi)
        return vendor;
    auto libftdi = makeLibftdi();
    if (!libftdi)
        return vendor;
    if (countHubIdEntries(*libftdi) > 0) {
        std::string text = "The FTDI D2XX library lists no hub (USB id 5a3c:2207) but libftdi "
                           "does, so libftdi is used.";
        if (const std::string note = vendor->lastError(); !note.empty())
            text += " " + note;
        setWhy(why, std::move(text));
        return libftdi;
    }
    if (vendorKnowsHubId)
        return vendor;
    std::string text = "The FTDI D2XX library cannot be told to list the hub (USB id 5a3c:2207), "
                       "so libftdi is used.";
    if (const std::string note = vendor->lastError(); !note.empty())
        text += " " + note;
    setWhy(why, std::move(text));
    return libftdi;
}

std::unique_ptr<D2xxDriver> createVendorDriver(const std::string& libraryPath, std::string* why) {
    setWhy(why, {});
    return VendorD2xxDriver::load(libraryPath, why);
}

} // namespace vqx::usb
