#pragma once
// Loopback helpers several suites share.

#include <QHostAddress>
#include <QTcpServer>

namespace vqxtest {

/// A TCP port of 127.0.0.1 that was free a moment ago (nothing listens on it now).
inline quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace vqxtest
