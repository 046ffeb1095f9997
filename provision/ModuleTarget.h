#pragma once
// One module as the session core sees it, however it is reached (EthernetTarget over TCP,
// SlotTarget through a hub): the outcome of a step, the record's read and write, and the
// write with its verification. Everything runs on the thread that made the target.

#include <cstdint>
#include <functional>
#include <optional>

#include <QString>
#include <QStringList>

#include "ExitCodes.h"
#include "NetworkRecord.h"

namespace vqx::provision {

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

/// "ip 10.0.0.5, mask 255.0.0.0, gateway 0.0.0.0".
QString recordLine(const NetworkRecord& r);
/// The fields that differ, as "ip 1.2.3.4 -> 5.6.7.8" items; their names into *names.
QStringList differences(const NetworkRecord& from, const NetworkRecord& to,
                        QStringList* names = nullptr);

/// Writes the record, then (if verify) reads it back and compares. `after` receives the
/// record read back; the outcome's bytesWritten says how much of the record the module took.
/// A record that reads back different is Exit::Mismatch.
Outcome writeAndVerify(ModuleTarget& target, const NetworkRecord& settings, bool verify,
                       std::optional<NetworkRecord>& after, const Progress& writing,
                       const Progress& verifying);

} // namespace vqx::provision
