#pragma once
// A module over TCP: the connect sequence with its pacing, the variant choice and the record
// transfers of the Ethernet link.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include <QString>

#include "ModuleTarget.h"

class CModuleSocket;

namespace vqx::provision {

/// Pacing of the Ethernet connect sequence. The defaults are the dialog's.
struct ConnectTiming {
    double timeoutSeconds = 10; ///< start no further attempt after this long
    int arpPauseMs = 200;       ///< pause after starting the arp command
    int cycleMs = 1000;         ///< how long one attempt may take before the sequence repeats
    bool runArp = true;         ///< start "arp -d a.b.c.d" before each attempt
    /// The caller ran the arp step and its pause for the first attempt already (a plan shares
    /// them among the modules it starts together); later attempts run their own.
    bool firstArpDone = false;
    int maxAttempts = 0; ///< 0: attempts until the time-out; n: at most n, without pacing
    int replyWaitMs = 0; ///< > 0: the link's wait for each reply (default 1000 ms)
};

/// Diagnostics: hex traces (-v) and the link's receive-error text. Both may be empty.
struct Diagnostics {
    std::function<void(const QString& line)> trace;
    std::function<void(const QString& line)> warn;
};

/// A module over TCP. open() runs the connect sequence, repeated every cycle until the
/// module answers or the time-out passes:
///   1. start "arp -d a.b.c.d" without a shell, neither waited for nor checked (the tool may
///      be missing or lack the rights; that is ignored);
///   2. pause arpPauseMs;
///   3. ConnectTo(address, port) (a non-zero result: the socket could not be created,
///      Exit::Failure);
///   4. wait up to cycleMs for IsConnected;
///   5. read the version register (two words; SelectEepromVariant): the second word selects
///      EEPROM controller variant 2, anything else variant 1.
/// Attempts are started while the time-out has not passed, and each waits its full cycleMs
/// for the connection, however little of the time-out is left: so open() may take up to one
/// cycle and one pause longer than the time-out, and a time-out shorter than the pause still
/// gives the module one full attempt.
/// A refused connection counts as connected on this link, and its first transfer fails. So
/// a version read that fails because the link is down (codes 1, 2, 3, 8) starts the next
/// cycle, and when the time-out passes the module is reported unreachable. Any other failure
/// of the version read is a device error: the tool does not guess the variant, since the
/// dialog's own choice there rests on a buffer that holds no module data.
class EthernetTarget : public ModuleTarget {
public:
    EthernetTarget(std::uint32_t address, std::uint16_t port, ConnectTiming timing,
                   Diagnostics diagnostics);
    ~EthernetTarget() override;

    QString name() const override;
    Outcome open() override;
    Outcome readRecord(NetworkRecord& record, const Progress& progress) override;
    Outcome writeRecord(const NetworkRecord& record, const Progress& progress) override;
    Outcome lockKey(QString& key) override;

    /// The variant chosen by open() (1 or 2); 0 before.
    int variant() const { return m_variant; }
    /// Connect attempts made by open(), for tests and -v.
    int attempts() const { return m_attempts; }
    /// When set and true, open() starts no further attempt and ends with Exit::Interrupted.
    void setStop(const std::atomic<bool>* stop) { m_stop = stop; }

private:
    bool waitConnected(int ms);
    void pause(int ms);

    std::uint32_t m_address;
    std::uint16_t m_port;
    ConnectTiming m_timing;
    Diagnostics m_diag;
    std::unique_ptr<CModuleSocket> m_socket;
    int m_variant = 0;
    int m_attempts = 0;
    const std::atomic<bool>* m_stop = nullptr;
};

} // namespace vqx::provision
