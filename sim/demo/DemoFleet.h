#pragma once
// A fleet of simulated modules for trying the fleet window without hardware: kModules
// modules served on consecutive loopback addresses 127.0.B.1 upwards, port 23100, in the
// first block B = 10..19 where all of them can listen.
//
//   most modules   variant 1 or 2 (every third is 2); the record's IP is the address the
//                  module is served on, mask 255.0.0.0, no gateway
//   every eighth   the record says 192.168.10.N/24, gateway 192.168.10.1: settings written
//                  but not in effect (the fleet window marks it)
//   module 13      its EEPROM reports every write done but keeps its old bytes: a write ends
//                  in a verification mismatch, the others are written
// Everything lives on the thread that creates the fleet and needs its event loop.

#include <cstdint>
#include <memory>
#include <vector>

#include <QObject>
#include <QString>

#include "ModuleServer.h"

namespace vqx::sim {

class DemoFleet : public QObject {
    Q_OBJECT
public:
    static constexpr int kModules = 36;
    static constexpr int kFailingModule = 13; ///< 1-based, as its address's last octet

    explicit DemoFleet(QObject* parent = nullptr);
    ~DemoFleet() override;

    /// Serves the modules. False (with the reason in *error) when no block 127.0.10 to
    /// 127.0.19 has port 23100 free on all of the fleet's addresses.
    bool start(QString* error = nullptr);
    /// The address of the first module (packed); 0 before start().
    std::uint32_t firstAddress() const { return m_first; }
    /// The block to scan: "127.0.B.0/24".
    QString targets() const;
    int size() const { return static_cast<int>(m_servers.size()); }
    ModuleServer& server(int i) { return *m_servers[static_cast<std::size_t>(i)]; }

private:
    std::vector<ModuleServer*> m_servers;
    std::uint32_t m_first = 0;
};

} // namespace vqx::sim
