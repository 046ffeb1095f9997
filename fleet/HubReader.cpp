#include "HubReader.h"

#include <array>

#include <QStringList>
#include <QThread>

#include "HubSession.h"
#include "SlotTarget.h"

namespace vqx::fleet {

using namespace vqx::provision;

HubReader::HubReader(HubSession& session, QObject* parent) : QObject(parent), m_session(session) {
    qRegisterMetaType<HubSlot>();
}

HubReader::~HubReader() {
    m_stop = true;
    join();
}

void HubReader::join() {
    if (!m_thread)
        return;
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
}

void HubReader::start() {
    if (m_running)
        return;
    join(); // the last reading's thread, which has reported and is ending
    m_stop = false;
    m_running = true;
    m_thread = QThread::create([this] { run(); });
    m_thread->start();
}

// On the reader's thread: every signal is queued to the owner's thread.
void HubReader::run() {
    const auto report = [this](auto&& emitter) {
        QMetaObject::invokeMethod(this, std::forward<decltype(emitter)>(emitter),
                                  Qt::QueuedConnection);
    };
    QStringList problems;
    int hubs = 0;
    if (Outcome o = m_session.count(hubs); !o.ok())
        problems << o.message;
    else if (hubs == 0)
        problems << QStringLiteral("no device: no hub is attached");
    const int total = hubs * vqx::usb::kSlotCount;
    int done = 0;
    for (int h = 0; h < hubs && !m_stop; ++h) {
        m_session.select(h);
        std::array<int, vqx::usb::kSlotCount> types{};
        Outcome o = m_session.open();
        if (o.ok())
            o = m_session.readSlotTypes(types);
        if (!o.ok()) {
            problems << o.message;
            done += vqx::usb::kSlotCount;
            report([this, done, total] { emit progress(done, total); });
            continue;
        }
        for (int s = 1; s <= vqx::usb::kSlotCount && !m_stop; ++s) {
            HubSlot slot;
            slot.hub = h;
            slot.slot = s;
            slot.type = types[static_cast<std::size_t>(s - 1)];
            if (slot.type != 0) {
                SlotTarget target(m_session, s);
                NetworkRecord record;
                Outcome read = target.open();
                if (read.ok())
                    read = target.readRecord(record, {});
                if (read.ok())
                    slot.record = record;
                else
                    slot.failure = read.message;
            }
            ++done;
            report([this, slot, done, total] {
                emit slotRead(slot);
                emit progress(done, total);
            });
        }
    }
    const bool stopped = m_stop;
    report([this, text = problems.join(QLatin1Char('\n')), stopped] {
        m_running = false;
        emit finished(text, stopped);
    });
}

} // namespace vqx::fleet
