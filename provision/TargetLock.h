#pragma once
// One writer per module, machine-wide: a lock per module that the kernel holds for the life of
// the holding process, met by every writer on the machine (the tool and the dialog, whatever
// user, session or environment runs them).
//
// Each module has a lock file, "vqx250-ipconfig-<key>.lock", in one folder fixed for the
// machine (directory()): on Linux /run/lock/vqx250-ipconfig (/var/lock/vqx250-ipconfig where
// /run/lock does not exist, /tmp/vqx250-ipconfig where neither does; the choice rests on what
// exists, never on who asks), on Windows <ProgramData>\vqx250-ipconfig. The folder is made
// open to every user (mode 1777, sticky; on Windows a folder whose files every signed-in user
// may write) and each lock file readable and writable by all, whatever the umask. The
// variable VQX250_LOCK_DIR replaces the folder; it is meant for tests, which must not meet
// the locks of real writers.
//
// The lock is flock(LOCK_EX) on Unix and LockFileEx on Windows, on a descriptor (handle) of
// the holder's own: the kernel ends it with the process, so a dead holder never leaves a stale
// lock and nothing is ever taken over. Each TargetLock opens the file itself, so threads of
// one process exclude each other on a module exactly as processes do. Once it holds the lock
// the holder records itself in the file (process id, user, program) for the messages of those
// who wait; it empties the file when it lets go.
//
// A lock file is never followed through a symbolic link. Whatever at a lock's place is not
// such a lock (a file with other content, another user's file this user cannot open, a link,
// a folder this user cannot write in) makes acquire() return Unavailable, with a problem()
// that names the path and its owner: the caller writes nothing.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include <QString>

#include "ModuleTarget.h"

namespace vqx::provision {

class TargetLock {
public:
    enum class Result { Taken, Busy, Interrupted, Unavailable };

    /// How often acquire() tries again while another holder has the lock.
    static constexpr int kPollMs = 50;

    /// The folder of the lock files (see above).
    static QString directory();
    /// The lock file of a key ("module-127.0.0.1-23100", "hub-VQX25001-slot-3"); characters
    /// other than letters, digits, '.', '-' and '_' become '_'.
    static QString fileFor(const QString& key);

    explicit TargetLock(const QString& key);
    ~TargetLock();
    TargetLock(const TargetLock&) = delete;
    TargetLock& operator=(const TargetLock&) = delete;

    /// Tries for up to waitMs (0: once), every kPollMs. Busy: another holder has it (holder()
    /// names it); Interrupted: *stop became true while it waited; Unavailable: the lock file
    /// cannot be used (problem() says why).
    Result acquire(int waitMs, const std::atomic<bool>* stop = nullptr);
    QString fileName() const { return m_path; }
    /// "process 1234 (vqx250-ipconfig) of user alice", as the holder recorded it when the lock
    /// was last found busy; every field quoted as user text (shown()).
    QString holder() const { return m_holder; }
    /// Why the lock is Unavailable, naming the path and its owner.
    QString problem() const { return m_problem; }
    /// The user this process writes as, as a holder records it ("alice").
    static QString userName();

private:
    bool open();
    void close();
    /// Whether the lock is ours to use once held: an empty file, or one a holder recorded.
    bool checkContent();
    void recordHolder();
    void readHolder();

    QString m_path;
    QString m_holder;
    QString m_problem;
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_handle = -1;
#endif
    bool m_held = false;
};

/// The lock key of a module reached over Ethernet.
QString moduleLockKey(std::uint32_t address, std::uint16_t port);
/// The lock key of the module in a hub's slot (1..6); hubName as HubSession::lockName().
QString slotLockKey(const QString& hubName, int slot);

/// Takes the write lock of the module `key`, named `target` in messages, waiting up to waitMs
/// when another writer holds it (`waiting` is told the holder once, when the wait starts).
/// Ok: `held` holds it until reset. Exit::Unreachable when another writer still holds it
/// ("... is busy: <holder> is writing it ...; nothing was written"), Exit::Interrupted when
/// *stop became true during the wait, Exit::Failure when the lock file cannot be used (the
/// path and its owner named). Whatever fails, the caller must write nothing.
Outcome takeWriteLock(const QString& key, const QString& target, int waitMs,
                      const std::atomic<bool>* stop,
                      const std::function<void(const QString& holder)>& waiting,
                      std::unique_ptr<TargetLock>& held);
/// The same for a module target (its lockKey(), which may open what it needs).
Outcome takeWriteLock(ModuleTarget& target, int waitMs, const std::atomic<bool>* stop,
                      const std::function<void(const QString& holder)>& waiting,
                      std::unique_ptr<TargetLock>& held);

} // namespace vqx::provision
