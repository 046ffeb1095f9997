#include "ArpCache.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include "NetworkRecord.h"

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <vector>

// POSIX puts environ in no header; glibc declares it only with _GNU_SOURCE, other systems not
// at all: declared here, redundantly on glibc.
extern char** environ; // NOLINT(readability-redundant-declaration): see above
#endif

namespace vqx::net {

QString arpDeleteCommand(std::uint32_t packed) {
    return QStringLiteral("arp -d ") + vqx::formatAddress(packed);
}

namespace {

#ifndef Q_OS_WIN
/// Starts the program with posix_spawn, which does not copy the caller's address space the
/// way fork does. That matters to a tool that starts one arp per module from each of up to
/// 256 session threads: a fork of such a process spends most of its time copying and then
/// faulting in page tables (measured: ~20 ms of CPU a start with 33 threads, and the starts
/// serialise), a spawn a small fraction of that. The child gets its own session (as a
/// detached process would: a Ctrl-C at the terminal is not its business), default signal
/// handling, no blocked signals, and /dev/null as its standard streams. A thread of its own
/// waits for it, so it never lingers as a zombie, and nothing here waits for it.
void spawnDetached(const QString& path, const QStringList& args) {
    const QByteArray program = QFile::encodeName(path);
    std::vector<QByteArray> storage;
    storage.reserve(static_cast<std::size_t>(args.size()));
    for (const QString& a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.constData()));
    for (QByteArray& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&files) != 0)
        return;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&files);
        return;
    }
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&files, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_SETSID
    flags |= POSIX_SPAWN_SETSID;
#else
    flags |= POSIX_SPAWN_SETPGROUP; // at least out of the terminal's foreground group
#endif
    posix_spawnattr_setflags(&attr, flags);
    // The child's messages go nowhere, so it runs in the C locale: loading the user's locale
    // data was a fifth of an arp start (measured), which a run pays twice a module.
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "LC_ALL=", 7) != 0)
            env.push_back(*e);
    }
    static char cLocale[] = "LC_ALL=C";
    env.push_back(cLocale);
    env.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.constData(), &files, &attr, argv.data(), env.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0 || pid <= 0)
        return;
    try {
        std::thread([pid] {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the child is reaped with the process, as a zombie till then.
    }
}
#endif

} // namespace

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
#ifndef Q_OS_WIN
    spawnDetached(path, args);
#else
    QProcess process;
    process.setProgram(path);
    process.setArguments(args);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    // A console program (arp.exe) gets no console window, and any window it would open
    // starts hidden (SW_HIDE); CreateProcess runs it directly, never through cmd.exe.
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* a) {
        a->flags |= CREATE_NO_WINDOW;
        a->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        a->startupInfo->wShowWindow = SW_HIDE;
    });
    process.startDetached(); // the result is not looked at
#endif
}

} // namespace vqx::net
