#pragma once
// Reaching one module's network settings record, over Ethernet or through a hub slot, with
// the same sequences as the configurator dialog: the record moves as twelve one-byte EEPROM
// transfers from address 6 upwards. Everything runs on the thread of the QCoreApplication.

#include <cstdint>
#include <functional>
#include <memory>

#include <QString>

#include "ExitCodes.h"
#include "NetworkRecord.h"

class CModuleSocket;

namespace vqx::cli {

/// The result of one step: Exit::Ok, or the kind of failure with a message that says what
/// failed, where, and the device's result code with its meaning.
struct Outcome {
    Exit exit = Exit::Ok;
    QString message;
    int deviceCode = 0; ///< the link's result code when a transfer failed
    /// Bytes of the record a write stored before it ended (0..12); the bytes at EEPROM
    /// address 6 up to 6 + bytesWritten - 1 hold the new values. 0 for other steps.
    int bytesWritten = 0;
    /// 1 when the byte after those (address 6 + bytesWritten) may hold its new value too: its
    /// EEPROM command reached the module, and then the link failed before the module said how
    /// it ended (the connection closed, the status never came). 0 otherwise, and when the
    /// module itself reported the byte failed.
    int bytesMaybeWritten = 0;

    bool ok() const { return exit == Exit::Ok; }
    static Outcome fail(Exit e, QString text, int code = 0) {
        Outcome o;
        o.exit = e;
        o.message = std::move(text);
        o.deviceCode = code;
        return o;
    }
};

/// Called after each byte of a record transfer: bytes done so far and the total (12).
using Progress = std::function<void(int done, int total)>;

class ModuleTarget {
public:
    virtual ~ModuleTarget() = default;
    /// "192.168.1.20", "192.168.1.20:23101" or "slot 3" (as the user sees it).
    virtual QString name() const = 0;
    /// Makes the module ready for transfers (connect sequence / slot check).
    virtual Outcome open() = 0;
    virtual Outcome readRecord(NetworkRecord& record, const Progress& progress) = 0;
    /// Writes the twelve bytes; on a failure the message says which address failed and which
    /// addresses already hold new values. The outcome's bytesWritten counts the bytes stored,
    /// whether the write succeeded (12) or not.
    virtual Outcome writeRecord(const NetworkRecord& record, const Progress& progress) = 0;
    /// The name of the module's write lock (TargetLock): "module-192.168.1.20-23100", or the
    /// hub's serial number and the slot. May open what it needs to learn it.
    virtual Outcome lockKey(QString& key) = 0;
};

/// Pacing of the Ethernet connect sequence. The defaults are the dialog's.
struct ConnectTiming {
    double timeoutSeconds = 10; ///< start no further attempt after this long
    int arpPauseMs = 200;       ///< pause after starting the arp command
    int cycleMs = 1000;         ///< how long one attempt may take before the sequence repeats
    bool runArp = true;         ///< start "arp -d a.b.c.d" before each attempt
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
///   5. read the version register (register 14, two words): the second word 0x0330 selects
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

private:
    bool waitConnected(int ms);
    void pause(int ms);

    std::uint32_t m_address;
    std::uint16_t m_port;
    ConnectTiming m_timing;
    Diagnostics m_diag;
    std::unique_ptr<CModuleSocket> m_socket;
    /// Set when the link sends a write to the EEPROM command register (seen in its trace).
    bool m_commandSent = false;
    int m_variant = 0;
    int m_attempts = 0;
};

/// "EEPROM write failed at address 10: the controller reported failure (code 100)".
QString transferError(bool write, int address, const char* meaning, int code);

/// One EEPROM byte over a link: the link's result code, 0 for success.
using ByteReader = std::function<int(std::uint16_t address, std::uint8_t& byte)>;
/// `reached` is set when the transfer failed after its EEPROM command had gone out to the
/// module, before the module reported how it ended: the byte may have been stored.
using ByteWriter = std::function<int(std::uint16_t address, std::uint8_t byte, bool& reached)>;
/// The meaning of a link's result code.
using CodeMeaning = const char* (*)(int code);

/// The record as twelve one-byte transfers from address 6 upwards, stopping at the first
/// failure, which is reported for `target` with the link's code and its meaning.
Outcome readRecordBytes(const QString& target, const ByteReader& read, CodeMeaning meaning,
                        NetworkRecord& record, const Progress& progress);
Outcome writeRecordBytes(const QString& target, const ByteWriter& write, CodeMeaning meaning,
                         const NetworkRecord& record, const Progress& progress);

} // namespace vqx::cli
