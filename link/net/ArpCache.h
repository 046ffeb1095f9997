#pragma once
// The step before every connection attempt: the host's ARP cache entry for the module's
// address is deleted with the system's arp tool ("arp -d a.b.c.d"), so that a module that
// has just changed its address is found again. The dialog and the command-line tool share it.

#include <cstdint>

#include <QString>
#include <QStringList>

namespace vqx::net {

/// "arp -d 10.0.0.5" for the packed address 0x0A000005.
QString arpDeleteCommand(std::uint32_t packed);

/// Runs a command line's program detached and hidden, without a shell, output dropped. The
/// program is looked up on PATH, then in fallbackDirs (where the arp tool lives on systems
/// whose users do not have it on their PATH). A missing program or a failed start is
/// ignored; nothing waits for the program.
void launchHidden(const QString& commandLine,
                  const QStringList& fallbackDirs = {QStringLiteral("/usr/sbin"),
                                                     QStringLiteral("/sbin")});

} // namespace vqx::net
