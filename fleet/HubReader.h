#pragma once
// Reading every hub's slots for the fleet window, on a thread of its own: the hubs are
// counted, and for each hub the slot-type word and the record of each occupied slot are
// read (about 1.2 s a slot over USB). Results come back as signals on the thread that owns
// the reader, so the window never waits for a transfer.
//
// stop() lets the slot being read finish (a transfer runs to its end) and reads no further
// slot. The session is the caller's and must not be used elsewhere until finished().

#include <atomic>
#include <optional>

#include <QObject>
#include <QString>

#include "NetworkRecord.h"

class QThread;

namespace vqx::provision {
class HubSession;
}

namespace vqx::fleet {

/// One slot as read from a hub.
struct HubSlot {
    int hub = 0;
    int slot = 0; ///< 1..6
    int type = 0; ///< the slot's module type code; 0: empty
    std::optional<NetworkRecord> record;
    QString failure; ///< why the record could not be read
};

class HubReader : public QObject {
    Q_OBJECT
public:
    explicit HubReader(vqx::provision::HubSession& session, QObject* parent = nullptr);
    ~HubReader() override; ///< stops and waits for the thread

    void start();
    void stop() { m_stop = true; }
    bool running() const { return m_running; }

signals:
    void slotRead(const vqx::fleet::HubSlot& slot);
    /// Slots done of all the hubs found hold.
    void progress(int done, int total);
    /// Every hub read, or the reading stopped; `problems` names the hubs that could not be
    /// read (one line each), empty when all could.
    void finished(const QString& problems, bool stopped);

private:
    void run();
    void join();

    vqx::provision::HubSession& m_session;
    QThread* m_thread = nullptr;
    std::atomic<bool> m_stop{false};
    bool m_running = false; ///< from start() until finished() is emitted
};

} // namespace vqx::fleet

Q_DECLARE_METATYPE(vqx::fleet::HubSlot)
