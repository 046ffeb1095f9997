#include "DriverFactory.h"

#include <map>
#include <mutex>

#include "LibFtdiDriver.h"
#include "VendorD2xxDriver.h"

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

void setWhy(std::string* why, std::string text) {
    if (why)
        *why = std::move(text);
}

} // namespace

std::unique_ptr<D2xxDriver> createDriver(const std::string& kind, std::string* why) {
    setWhy(why, {});
    if (kind == "d2xx")
        return VendorD2xxDriver::load(VendorD2xxDriver::defaultLibraryName(), why);
    if (kind == "libftdi")
        return std::make_unique<LibFtdiDriver>();
    if (kind == "auto") {
        std::string reason;
        if (auto vendor = VendorD2xxDriver::load(VendorD2xxDriver::defaultLibraryName(), &reason))
            return vendor;
        setWhy(why, reason);
        return std::make_unique<LibFtdiDriver>();
    }
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
    std::vector<std::string> kinds{"auto", "d2xx", "libftdi"};
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& entry : r.makers)
        kinds.push_back(entry.first);
    return kinds;
}

std::unique_ptr<D2xxDriver> createVendorDriver(const std::string& libraryPath, std::string* why) {
    setWhy(why, {});
    return VendorD2xxDriver::load(libraryPath, why);
}

} // namespace vqx::usb
