#include "DemoFleet.h"

#include <QHostAddress>

#include "ModuleModel.h"
#include "NetworkRecord.h"

namespace vqx::sim {

DemoFleet::DemoFleet(QObject* parent) : QObject(parent) {}

DemoFleet::~DemoFleet() = default;

bool DemoFleet::start(QString* error) {
    for (std::uint32_t block = 10; block < 20; ++block) {
        const std::uint32_t first = (127u << 24) | (block << 8) | 1u;
        std::vector<ModuleServer*> servers;
        bool all = true;
        for (int i = 0; i < kModules && all; ++i) {
            const std::uint32_t address = first + static_cast<std::uint32_t>(i);
            const int n = i + 1;
            auto model = std::make_shared<ModuleModel>(n % 3 == 0 ? ModuleModel::Variant::V2
                                                                  : ModuleModel::Variant::V1);
            NetworkRecord record{0, 0xFF000000u, address};
            if (n % 8 == 0)
                record = {0xC0A80A01u, 0xFFFFFF00u, 0xC0A80A00u | static_cast<std::uint32_t>(n)};
            model->setRecord(record.toBytes());
            if (n == kFailingModule)
                model->faults().ignoreWrites = true;
            auto* server = new ModuleServer(model, this);
            all = server->listen(QHostAddress(address), kModulePort);
            servers.push_back(server);
        }
        if (all) {
            m_servers = std::move(servers);
            m_first = first;
            return true;
        }
        qDeleteAll(servers);
    }
    if (error)
        *error = QStringLiteral("no block 127.0.10.x to 127.0.19.x has port %1 free on %2 "
                                "addresses")
                     .arg(kModulePort)
                     .arg(kModules);
    return false;
}

QString DemoFleet::targets() const {
    return QStringLiteral("%1/24").arg(formatAddress(m_first & 0xFFFFFF00u));
}

} // namespace vqx::sim
