#include "TargetLock.h"

#include <QDir>

namespace vqx::cli {

QString TargetLock::fileFor(const QString& key) {
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty()) {
#ifdef _WIN32
        dir = QDir::tempPath();
#else
        dir = QStringLiteral("/tmp");
#endif
    }
    QString name = key;
    for (QChar& c : name)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'.' && c != u'-' && c != u'_')
            c = u'_';
    return QDir(dir).filePath(QStringLiteral("vqx250-ipconfig-%1.lock").arg(name));
}

TargetLock::TargetLock(const QString& key) : m_file(fileFor(key)) {
    // A write may take long (a long --timeout before the module answers); a lock is stale
    // only when its process is gone.
    m_file.setStaleLockTime(0);
}

TargetLock::~TargetLock() = default; // QLockFile unlocks

TargetLock::Result TargetLock::acquire(int waitMs) {
    if (m_file.tryLock(waitMs))
        return Result::Taken;
    return m_file.error() == QLockFile::LockFailedError ? Result::Busy : Result::Unavailable;
}

QString TargetLock::holder() const {
    qint64 pid = 0;
    QString host, app;
    if (!m_file.getLockInfo(&pid, &host, &app))
        return QStringLiteral("another process");
    QString text = QStringLiteral("process %1").arg(pid);
    if (!app.isEmpty())
        text = QStringLiteral("%1 (%2)").arg(text, app);
    if (!host.isEmpty())
        text += QStringLiteral(" on %1").arg(host);
    return text;
}

QString TargetLock::problem() const {
    switch (m_file.error()) {
    case QLockFile::NoError:
        return {};
    case QLockFile::LockFailedError:
        return QStringLiteral("held by %1").arg(holder());
    case QLockFile::PermissionError:
        return QStringLiteral("no permission to create %1").arg(m_file.fileName());
    default:
        return QStringLiteral("%1 could not be created").arg(m_file.fileName());
    }
}

} // namespace vqx::cli
