#pragma once
// An advisory lock on one module, so that two writers never interleave their records: a
// lock file per target ("<dir>/vqx250-ipconfig-<key>.lock", the directory $XDG_RUNTIME_DIR,
// or /tmp when that is unset; the system's temporary directory on Windows), taken with
// QLockFile. It holds the writer's process id; a lock left by a process that no longer runs
// is taken over, and a running holder's lock never expires by age.
//
// Each holder is one TargetLock object, so threads of one process that write modules in
// parallel exclude each other on the same module exactly as processes do.

#include <memory>

#include <QLockFile>
#include <QString>

namespace vqx::cli {

class TargetLock {
public:
    enum class Result { Taken, Busy, Unavailable };

    /// The lock file of a key ("module-127.0.0.1-23100", "hub-VQX25001-slot-3"); characters
    /// other than letters, digits, '.', '-' and '_' become '_'.
    static QString fileFor(const QString& key);

    explicit TargetLock(const QString& key);
    ~TargetLock();
    TargetLock(const TargetLock&) = delete;
    TargetLock& operator=(const TargetLock&) = delete;

    /// Tries for up to waitMs (0: once). Busy: another holder has it (holder() names it);
    /// Unavailable: the lock file cannot be made (problem() says why).
    Result acquire(int waitMs);
    QString fileName() const { return m_file.fileName(); }
    /// "process 1234 on host", as far as the lock file tells.
    QString holder() const;
    QString problem() const;

private:
    QLockFile m_file;
};

} // namespace vqx::cli
