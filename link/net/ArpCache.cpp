#include "ArpCache.h"

#include <QProcess>
#include <QStandardPaths>

#include "NetworkRecord.h"

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace vqx::net {

QString arpDeleteCommand(std::uint32_t packed) {
    return QStringLiteral("arp -d ") + vqx::formatAddress(packed);
}

void launchHidden(const QString& commandLine, const QStringList& fallbackDirs) {
    QStringList args = QProcess::splitCommand(commandLine);
    if (args.isEmpty())
        return;
    const QString program = args.takeFirst();
    QString path = QStandardPaths::findExecutable(program);
    if (path.isEmpty() && !fallbackDirs.isEmpty())
        path = QStandardPaths::findExecutable(program, fallbackDirs);
    if (path.isEmpty())
        return; // no such tool here: the cache entry simply stays
    QProcess process;
    process.setProgram(path);
    process.setArguments(args);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
#ifdef Q_OS_WIN
    // A console program (arp.exe) gets no console window, and any window it would open
    // starts hidden (SW_HIDE); CreateProcess runs it directly, never through cmd.exe.
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* a) {
        a->flags |= CREATE_NO_WINDOW;
        a->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        a->startupInfo->wShowWindow = SW_HIDE;
    });
#endif
    process.startDetached(); // the result is not looked at
}

} // namespace vqx::net
