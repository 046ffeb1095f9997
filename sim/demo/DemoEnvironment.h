#pragma once
// Simulated devices for trying the configurator without hardware: one module served over TCP
// on a loopback address, port 23100, and a hub with six slots of assorted module types.
//
//   module server  the first free 127.0.0.N (N = 1, 2, ...) port 23100; a variant-2 module
//                  with IP 192.168.1.20, mask 255.255.255.0, gateway 192.168.1.1
//   hub slot 1     Oscilloscope (type 1), variant 1, IP 192.168.1.101
//   hub slot 2     Afg (type 2), variant 2,          IP 192.168.1.102
//   hub slot 3     Thermo (type 9), variant 1,       IP 192.168.1.103
//   hub slot 4     an unknown type (7), variant 1,   IP 192.168.1.104
//   hub slot 5     Strain (type 5), variant 1,       IP 192.168.1.105
//   hub slot 6     empty (type 0, shown as "No")
// Every hub module has mask 255.255.255.0 and gateway 192.168.1.1, each its own IP address.
// Everything lives on the thread that creates the environment and needs its event loop.

#include <cstdint>
#include <memory>

#include <QObject>
#include <QString>

#include "D2xx.h"
#include "ModuleServer.h"
#include "SimHub.h"

namespace vqx::sim {

class DemoEnvironment : public QObject {
    Q_OBJECT
public:
    static constexpr int kSlotTypes[6] = {1, 2, 9, 7, 5, 0};

    explicit DemoEnvironment(QObject* parent = nullptr);
    ~DemoEnvironment() override;

    /// Serves the module on this loopback address only (packed, 127.x.x.x) instead of the
    /// first free one; call before start().
    void setAddress(quint32 address) { m_wanted = address; }
    /// Starts the module server. False (with the reason in *error) when no loopback address
    /// 127.0.0.1 .. 127.0.0.254 has port 23100 free, or the one set by setAddress() has not
    /// (or is not a loopback address).
    bool start(QString* error = nullptr);
    /// Packed IPv4 address of the served module (first octet in bits 24..31); 0 before start.
    quint32 moduleAddress() const { return m_address; }
    quint16 modulePort() const;
    ModuleServer& moduleServer() { return *m_server; }
    std::shared_ptr<SimHub> hub() const { return m_hub; }
    /// A new driver on hub(); the caller owns it.
    std::unique_ptr<vqx::usb::D2xxDriver> makeHubDriver() const;

private:
    std::shared_ptr<ModuleModel> m_module;
    ModuleServer* m_server = nullptr;
    std::shared_ptr<SimHub> m_hub;
    quint32 m_address = 0;
    quint32 m_wanted = 0;
};

} // namespace vqx::sim
