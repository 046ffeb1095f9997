#include "Validation.h"

#include <QCoreApplication>

namespace vqx::provision {

bool isContiguousMask(std::uint32_t mask) {
    if (mask == 0)
        return false;
    // The inverted mask must be of the form 0...01...1, i.e. one below a power of two.
    const std::uint32_t host = ~mask;
    return (host & (host + 1)) == 0;
}

std::vector<Violation> checkSettings(const NetworkRecord& s) {
    std::vector<Violation> out;
    using Rule = Violation::Rule;
    const auto add = [&out](const char* field, Rule rule, const QString& message) {
        out.push_back({QString::fromLatin1(field), message, rule});
    };
    const QString ip = formatAddress(s.ip);
    const QString mask = formatAddress(s.mask);
    const QString gw = formatAddress(s.gateway);

    const bool maskOk = isContiguousMask(s.mask);
    if (!maskOk)
        add("mask", Rule::MaskNotContiguous,
            QStringLiteral("mask %1 is not one unbroken run of 1 bits from the left").arg(mask));

    if (s.ip == 0)
        add("ip", Rule::IpZero, QStringLiteral("ip 0.0.0.0 is not a host address"));
    else if ((s.ip >> 24) == 127)
        add("ip", Rule::IpLoopback, QStringLiteral("ip %1 is a loopback address").arg(ip));
    else if ((s.ip >> 28) == 0xE)
        add("ip", Rule::IpMulticast, QStringLiteral("ip %1 is a multicast address").arg(ip));
    else if (maskOk) {
        if ((s.ip & ~s.mask) == 0)
            add("ip", Rule::IpNetwork,
                QStringLiteral("ip %1 is the network address of its subnet (mask %2)")
                    .arg(ip, mask));
        else if ((s.ip | s.mask) == 0xFFFFFFFFu)
            add("ip", Rule::IpBroadcast,
                QStringLiteral("ip %1 is the broadcast address of its subnet (mask %2)")
                    .arg(ip, mask));
    }

    if (s.gateway != 0) {
        if (s.gateway == s.ip)
            add("gateway", Rule::GatewayIsIp,
                QStringLiteral("gateway %1 is the module's own ip").arg(gw));
        else if (maskOk) {
            if ((s.gateway & s.mask) != (s.ip & s.mask))
                add("gateway", Rule::GatewayOutside,
                    QStringLiteral("gateway %1 is outside the subnet of ip %2 with mask %3")
                        .arg(gw, ip, mask));
            else if ((s.gateway & ~s.mask) == 0)
                add("gateway", Rule::GatewayNetwork,
                    QStringLiteral("gateway %1 is the network address of the subnet").arg(gw));
            else if ((s.gateway | s.mask) == 0xFFFFFFFFu)
                add("gateway", Rule::GatewayBroadcast,
                    QStringLiteral("gateway %1 is the broadcast address of the subnet").arg(gw));
        }
    }
    return out;
}

namespace {

QString sentence(const char* text) {
    return QCoreApplication::translate("vqx::provision", text);
}

} // namespace

QString settingsProblems(const NetworkRecord& s) {
    using Rule = Violation::Rule;
    const QString ip = formatAddress(s.ip);
    const QString mask = formatAddress(s.mask);
    const QString gateway = formatAddress(s.gateway);
    QStringList sentences;
    for (const auto& v : checkSettings(s)) {
        switch (v.rule) {
        case Rule::MaskNotContiguous:
            sentences << sentence("The mask %1 is not a valid subnet mask.").arg(mask);
            break;
        case Rule::IpZero:
            sentences << sentence("The IP address 0.0.0.0 is not a host address.");
            break;
        case Rule::IpLoopback:
            sentences << sentence("The IP address %1 is a loopback address.").arg(ip);
            break;
        case Rule::IpMulticast:
            sentences << sentence("The IP address %1 is a multicast address.").arg(ip);
            break;
        case Rule::IpNetwork:
            sentences
                << sentence("The IP address %1 is the network address of its subnet.").arg(ip);
            break;
        case Rule::IpBroadcast:
            sentences
                << sentence("The IP address %1 is the broadcast address of its subnet.").arg(ip);
            break;
        case Rule::GatewayIsIp:
            sentences << sentence("The gateway %1 is the module's own IP address.").arg(gateway);
            break;
        case Rule::GatewayOutside:
            sentences << sentence("The gateway %1 is outside the subnet of %2 with the mask %3.")
                             .arg(gateway, ip, mask);
            break;
        case Rule::GatewayNetwork:
            sentences
                << sentence("The gateway %1 is the network address of the subnet.").arg(gateway);
            break;
        case Rule::GatewayBroadcast:
            sentences
                << sentence("The gateway %1 is the broadcast address of the subnet.").arg(gateway);
            break;
        }
    }
    return sentences.join(QLatin1Char(' '));
}

} // namespace vqx::provision
