#include "DemoEnvironment.h"

#include <QHostAddress>

#include "NetworkRecord.h"

namespace vqx::sim {

namespace {

constexpr std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

std::array<std::uint8_t, 12> recordFor(std::uint32_t ip) {
    const vqx::NetworkRecord r{ipv4(192, 168, 1, 1), ipv4(255, 255, 255, 0), ip};
    return r.toBytes();
}

} // namespace

DemoEnvironment::DemoEnvironment(QObject* parent)
    : QObject(parent), m_module(std::make_shared<ModuleModel>(ModuleModel::Variant::V2)),
      m_hub(makeHub({kSlotTypes[0], kSlotTypes[1], kSlotTypes[2], kSlotTypes[3], kSlotTypes[4],
                     kSlotTypes[5]})) {
    m_module->setRecord(recordFor(ipv4(192, 168, 1, 20)));
    m_server = new ModuleServer(m_module, this);
}

DemoEnvironment::~DemoEnvironment() = default;

bool DemoEnvironment::start(QString* error) {
    if (m_wanted != 0) {
        const QString text = vqx::formatAddress(m_wanted);
        if ((m_wanted >> 24) != 127) {
            if (error)
                *error = QStringLiteral("%1 is not a loopback address").arg(text);
            return false;
        }
        if (!m_server->listen(QHostAddress(m_wanted), vqx::kModulePort)) {
            if (error)
                *error =
                    QStringLiteral("port %1 of %2 is not free").arg(vqx::kModulePort).arg(text);
            return false;
        }
        m_address = m_wanted;
        return true;
    }
    for (unsigned n = 1; n < 255; ++n) {
        const std::uint32_t address = ipv4(127, 0, 0, n);
        if (m_server->listen(QHostAddress(address), vqx::kModulePort)) {
            m_address = address;
            return true;
        }
    }
    if (error)
        *error = QStringLiteral("no loopback address 127.0.0.1 to 127.0.0.254 has port %1 free")
                     .arg(vqx::kModulePort);
    return false;
}

quint16 DemoEnvironment::modulePort() const {
    return vqx::kModulePort;
}

std::unique_ptr<vqx::usb::D2xxDriver> DemoEnvironment::makeHubDriver() const {
    return std::make_unique<SimHubDriver>(m_hub);
}

} // namespace vqx::sim
