#pragma once
// Sanity checks of network settings before they are written to a module.
//
// Rules:
//  - mask: one unbroken run of 1 bits from the most significant bit (0.0.0.0 has no run
//    and is refused; 255.255.255.255 is a valid run);
//  - ip: not 0.0.0.0, not loopback (127/8), not multicast (224/4), and neither the network
//    nor the broadcast address of its subnet. With a /31 or /32 mask every address is one of
//    the two, so such masks cannot be written without --force;
//  - gateway: 0.0.0.0 (no gateway), or a host address inside the IP's subnet other than the
//    IP itself. The subnet's network and broadcast addresses count as outside the usable
//    range and are refused as gateways too.
// The subnet rules are only checked once the mask is valid.

#include <cstdint>
#include <vector>

#include <QString>

#include "NetworkRecord.h"

namespace vqx::provision {

struct Violation {
    enum class Rule {
        MaskNotContiguous,
        IpZero,
        IpLoopback,
        IpMulticast,
        IpNetwork,
        IpBroadcast,
        GatewayIsIp,
        GatewayOutside,
        GatewayNetwork,
        GatewayBroadcast,
    };
    QString field;   ///< "ip", "mask" or "gateway"
    QString message; ///< names the field and the value, e.g. "mask 255.0.255.0 is not ..."
    Rule rule = Rule::MaskNotContiguous; ///< which rule (for a user interface's own wording)
};

bool isContiguousMask(std::uint32_t mask);
/// Every rule the settings break, mask first, then ip, then gateway. Empty when all hold.
std::vector<Violation> checkSettings(const NetworkRecord& settings);
/// The rules the settings break as the dialog words them, one sentence each, joined by
/// blanks ("The mask 0.0.0.0 is not a valid subnet mask. ..."); empty when all hold.
QString settingsProblems(const NetworkRecord& settings);

} // namespace vqx::provision
