#pragma once
// A thread that runs module sessions with an event loop of its own. The sockets a session
// creates belong to this thread and are used and destroyed only on it; tasks posted to it run
// one after the other, inside its event loop, so the link's nested waits work there as on the
// main thread, and a connection kept open between two tasks still sees its events.

#include <functional>

#include <QObject>
#include <QThread>

namespace vqx::provision {

class SessionThread {
public:
    SessionThread();
    /// Runs `last` on the thread (to destroy what its tasks created), then ends the thread
    /// and waits for it.
    ~SessionThread();
    SessionThread(const SessionThread&) = delete;
    SessionThread& operator=(const SessionThread&) = delete;

    /// Queues a task; callable from any thread.
    void post(std::function<void()> task);
    /// What runs on the thread after the last task, before it ends.
    void setCleanup(std::function<void()> last) { m_cleanup = std::move(last); }

private:
    QThread m_thread;
    QObject* m_context; ///< lives on m_thread; tasks are queued to it
    std::function<void()> m_cleanup;
};

/// Runs `task` on the calling thread's event loop (from another thread): `context` is an
/// object of the thread that should run it.
void postTo(QObject* context, std::function<void()> task);

} // namespace vqx::provision
