#pragma once
// Chooses the D2XX backend of a hub link by name.
//
//   "auto"     the vendor's D2XX library when it loads and can reach the hub, otherwise
//              libftdi (see chooseAutoDriver)
//   "d2xx"     the vendor's library only (libftd2xx.so / FTD2XX.dll, loaded at run time)
//   "libftdi"  libftdi1 only
// Further kinds ("sim" for the simulated hub) are added by registerDriver, called explicitly
// by whoever provides them.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "D2xx.h"

namespace vqx::usb {

/// A new driver of the given kind, or nullptr with the reason in *why (when given).
/// For "auto", *why receives why the vendor library was passed over ("" when it loaded).
std::unique_ptr<D2xxDriver> createDriver(const std::string& kind, std::string* why = nullptr);

/// Adds (or replaces) a kind. The built-in kinds cannot be replaced.
void registerDriver(const std::string& kind, std::function<std::unique_ptr<D2xxDriver>()> make);
/// Removes a registered kind; the built-in kinds stay.
void unregisterDriver(const std::string& kind);
/// The built-in kinds followed by the registered ones.
std::vector<std::string> driverKinds();

/// How "auto" chooses once the vendor library has loaded:
///  1. the vendor library when its device list holds an entry with the hub's ID 0x5A3C2207;
///  2. otherwise libftdi (made by makeLibftdi) when its list holds one: a vendor library that
///     cannot list the hub's id must not hide a hub that libftdi reaches;
///  3. with the hub in neither list (none plugged in yet), the vendor library when
///     vendorKnowsHubId (it has the hub's ids registered, so a hub plugged in later shows up),
///     otherwise libftdi.
/// The lists are read once, here. *why receives why the vendor library was passed over, ""
/// when it was chosen. Exposed for the tests.
std::unique_ptr<D2xxDriver>
chooseAutoDriver(std::unique_ptr<D2xxDriver> vendor, bool vendorKnowsHubId,
                 const std::function<std::unique_ptr<D2xxDriver>()>& makeLibftdi, std::string* why);

/// Entries with the hub's ID 0x5A3C2207 (either channel) in the driver's device list; 0 when
/// the list cannot be read.
int countHubIdEntries(D2xxDriver& driver);

/// The vendor library from an explicit file name or path instead of the loader's search;
/// used by tests to load a stand-in. nullptr with the reason in *why when it cannot be used.
std::unique_ptr<D2xxDriver> createVendorDriver(const std::string& libraryPath, std::string* why);

} // namespace vqx::usb
