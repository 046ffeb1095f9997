#pragma once
// Reaching a USB hub: the opening steps the dialog and the tool share (openHub), and the
// hub session of the tool (count, open, slot types, lock name). Slots are numbered 1..6 here
// as the user sees them; the hub link takes 0..5.

#include <array>
#include <memory>

#include <QString>

#include "D2xx.h"
#include "ModuleTarget.h"
#include "ModuleTypes.h"

class CUsbHub;

namespace vqx::provision {

/// How opening a hub went. The steps: count the hubs (CountHubs), then open the one asked
/// for (Open); nothing else touches the driver.
struct HubOpening {
    enum class Stage {
        Opened,     ///< the hub is open
        ListFailed, ///< listing the devices failed (code); the hub link may have no driver
        NoHub,      ///< no hub is attached
        NotThere,   ///< fewer hubs than the number asked for (count)
        OpenFailed, ///< opening it failed (code); permissionDenied says whether for lack of rights
    };
    Stage stage = Stage::Opened;
    int code = 0;  ///< the hub link's code of the failing step
    int count = 0; ///< the hubs listed
    bool permissionDenied = false;
    bool ok() const { return stage == Stage::Opened; }
};
HubOpening openHub(CUsbHub& hub, int number);
/// What names a hub for locks: its serial number while it is open, without the channel
/// letter ("hub-VQX25001" for channels VQX25001A and VQX25001B), else its number ("hub-0").
QString hubLockName(const CUsbHub& hub, int number);

/// One hub, opened once for all slots a command touches.
class HubSession {
public:
    HubSession(std::unique_ptr<vqx::usb::D2xxDriver> driver, int hubNumber);
    ~HubSession();

    /// Counts the hubs and opens the one numbered hubNumber (from 0). No driver, no hub or a
    /// hub that cannot be opened: Exit::Unreachable. The driver's standing note (a vendor
    /// library that may not list the hub) is added only where the hub was not found.
    Outcome open();
    /// Closes the hub and makes the next open() take hub `number`.
    void select(int number);
    /// The number of hubs attached. Failure: Exit::Unreachable.
    Outcome count(int& hubs);
    /// The serial number of the selected hub, empty when it cannot be read.
    QString serial();
    int number() const { return m_number; }
    /// Reads the slot-type word; codes of slots 1..6 at index 0..5. Failure: Exit::Device.
    Outcome readSlotTypes(std::array<int, vqx::usb::kSlotCount>& codes);
    CUsbHub& hub() { return *m_hub; }
    /// What names this hub for locks (hubLockName).
    QString lockName() const;
    QString name() const { return QStringLiteral("hub %1").arg(m_number); }

private:
    std::unique_ptr<CUsbHub> m_hub;
    QString m_standingNote; ///< the driver's note before any call (e.g. on listing the hub)
    int m_number;
    bool m_open = false;
};

} // namespace vqx::provision
