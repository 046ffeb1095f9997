#include "SessionThread.h"

#include <QMetaObject>

namespace vqx::provision {

void postTo(QObject* context, std::function<void()> task) {
    QMetaObject::invokeMethod(context, std::move(task), Qt::QueuedConnection);
}

SessionThread::SessionThread() : m_context(new QObject) {
    m_context->moveToThread(&m_thread);
    m_thread.start();
}

SessionThread::~SessionThread() {
    QObject* context = m_context;
    QThread* thread = &m_thread;
    postTo(context, [this, context, thread] {
        if (m_cleanup)
            m_cleanup();
        context->deleteLater(); // deleted when the thread ends
        thread->quit();
    });
    m_thread.wait();
}

void SessionThread::post(std::function<void()> task) {
    postTo(m_context, std::move(task));
}

} // namespace vqx::provision
