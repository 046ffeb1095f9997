#include "TargetLock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include "NetworkRecord.h"
#include "UserText.h"

#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#endif

namespace vqx::provision {

namespace {

/// The first line of every lock file a holder has written to.
constexpr char kMagic[] = "vqx250-ipconfig write lock\n";
constexpr qsizetype kMagicSize = sizeof kMagic - 1;
/// More than a holder's record ever takes.
constexpr qsizetype kRecordLimit = 4096;

QString shownPath(const QString& path) {
    return shown(QDir::toNativeSeparators(path), kShownMessageChars);
}

QString programName();

#ifdef _WIN32

QString lastErrorText(DWORD code) {
    return qt_error_string(static_cast<int>(code));
}

std::wstring native(const QString& path) {
    return QDir::toNativeSeparators(path).toStdWString();
}

/// "DOMAIN\name" of the owner of a file or folder, "an unknown user" when it cannot be told.
QString ownerOf(const QString& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring p = native(path);
    if (GetNamedSecurityInfoW(p.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return QStringLiteral("an unknown user");
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    QString text = QStringLiteral("an unknown user");
    if (owner && LookupAccountSidW(nullptr, owner, name, &nameSize, domain, &domainSize, &use))
        text = domainSize ? QStringLiteral("%1\\%2").arg(QString::fromWCharArray(domain),
                                                         QString::fromWCharArray(name))
                          : QString::fromWCharArray(name);
    LocalFree(sd);
    return shown(text);
}

QString thisUser() {
    wchar_t name[257];
    DWORD size = 257;
    if (!GetUserNameW(name, &size) || size == 0)
        return QStringLiteral("unknown");
    return QString::fromWCharArray(name, static_cast<qsizetype>(size - 1));
}

QString programName() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return n ? QFileInfo(QString::fromWCharArray(path, static_cast<qsizetype>(n))).fileName()
             : QStringLiteral("unknown");
}

qint64 processId() {
    return static_cast<qint64>(GetCurrentProcessId());
}

/// Every signed-in user may make and write files in the folder; SYSTEM and administrators
/// have it all.
constexpr wchar_t kFolderSddl[] = L"D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGW;;;AU)";

bool ensureFolder(const QString& dir, QString& problem) {
    const std::wstring d = native(dir);
    DWORD attributes = GetFileAttributesW(d.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        SECURITY_ATTRIBUTES sa{};
        sa.nLength = sizeof sa;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSddl, SDDL_REVISION_1, &sd,
                                                                 nullptr))
            sa.lpSecurityDescriptor = sd;
        const bool made = CreateDirectoryW(d.c_str(), &sa) != 0;
        const DWORD why = GetLastError();
        if (sd)
            LocalFree(sd);
        if (!made && why != ERROR_ALREADY_EXISTS) {
            const QString parent = QFileInfo(dir).path();
            problem =
                QStringLiteral("the folder %1 cannot be made in %2 (owned by %3): %4")
                    .arg(shownPath(dir), shownPath(parent), ownerOf(parent), lastErrorText(why));
            return false;
        }
        attributes = GetFileAttributesW(d.c_str());
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        problem = QStringLiteral("%1 (owned by %2) is a link, not a folder")
                      .arg(shownPath(dir), ownerOf(dir));
        return false;
    }
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        problem =
            QStringLiteral("%1 (owned by %2) is not a folder").arg(shownPath(dir), ownerOf(dir));
        return false;
    }
    return true;
}

#else

QString errorText(int code) {
    return qt_error_string(code);
}

QString userName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("uid %1").arg(uid);
}

QString ownerOf(const QString& path) {
    struct stat st {};
    if (lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("an unknown user");
    return shown(userName(st.st_uid));
}

QString thisUser() {
    return userName(geteuid());
}

QString programName() {
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    return exe.isEmpty() ? QStringLiteral("unknown") : QFileInfo(exe).fileName();
}

qint64 processId() {
    return static_cast<qint64>(getpid());
}

bool ensureFolder(const QString& dir, QString& problem) {
    const QByteArray d = QFile::encodeName(dir);
    struct stat st {};
    if (lstat(d.constData(), &st) != 0) {
        if (const int why = errno; why != ENOENT) {
            problem = QStringLiteral("%1: %2").arg(shownPath(dir), errorText(why));
            return false;
        }
        // Open to every user, whatever the umask; the sticky bit keeps each user's files
        // their own.
        if (mkdir(d.constData(), 01777) == 0) {
            chmod(d.constData(), 01777);
        } else if (errno != EEXIST) {
            const int why = errno;
            const QString parent = QFileInfo(dir).path();
            problem = QStringLiteral("the folder %1 cannot be made in %2 (owned by %3): %4")
                          .arg(shownPath(dir), shownPath(parent), ownerOf(parent), errorText(why));
            return false;
        }
        if (lstat(d.constData(), &st) != 0) {
            const int why = errno;
            problem = QStringLiteral("%1: %2").arg(shownPath(dir), errorText(why));
            return false;
        }
    }
    if (S_ISLNK(st.st_mode)) {
        problem = QStringLiteral("%1 (owned by %2) is a symbolic link, not a folder")
                      .arg(shownPath(dir), ownerOf(dir));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        problem =
            QStringLiteral("%1 (owned by %2) is not a folder").arg(shownPath(dir), ownerOf(dir));
        return false;
    }
    return true;
}

#endif

} // namespace

QString TargetLock::directory() {
    // For tests only: real writers must all meet in the one place.
    const QString forTests = qEnvironmentVariable("VQX250_LOCK_DIR");
    if (!forTests.isEmpty())
        return QDir::cleanPath(forTests);
#ifdef _WIN32
    wchar_t base[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base) == S_OK)
        return QDir::fromNativeSeparators(QString::fromWCharArray(base)) +
               QStringLiteral("/vqx250-ipconfig");
    return QStringLiteral("C:/ProgramData/vqx250-ipconfig");
#else
    for (const char* base : {"/run/lock", "/var/lock"}) {
        struct stat st {};
        if (stat(base, &st) == 0 && S_ISDIR(st.st_mode))
            return QString::fromLatin1(base) + QStringLiteral("/vqx250-ipconfig");
    }
    return QStringLiteral("/tmp/vqx250-ipconfig");
#endif
}

QString TargetLock::fileFor(const QString& key) {
    QString name = key;
    for (QChar& c : name)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'.' && c != u'-' && c != u'_')
            c = u'_';
    return directory() + QStringLiteral("/vqx250-ipconfig-%1.lock").arg(name);
}

TargetLock::TargetLock(const QString& key) : m_path(fileFor(key)) {}

TargetLock::~TargetLock() {
    close();
}

TargetLock::Result TargetLock::acquire(int waitMs, const std::atomic<bool>* stop) {
    if (m_held)
        return Result::Taken;
    QElapsedTimer clock;
    clock.start();
#ifndef _WIN32
    // A lock file replaced while this one waited on the old one (removed by hand) is opened
    // again; a few times at most. (On Windows a lock file in use cannot be removed.)
    int reopened = 0;
#endif
    for (;;) {
        if (!open())
            return Result::Unavailable;
#ifdef _WIN32
        // A byte far beyond the holder's record: a locked range cannot be read by others.
        OVERLAPPED at{};
        at.OffsetHigh = 0x40000000;
        if (LockFileEx(m_handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &at)) {
            m_held = true;
        } else if (const DWORD why = GetLastError();
                   why != ERROR_LOCK_VIOLATION && why != ERROR_IO_PENDING) {
            m_problem = QStringLiteral("%1 (owned by %2) cannot be locked: %3")
                            .arg(shownPath(m_path), ownerOf(m_path), lastErrorText(why));
            close();
            return Result::Unavailable;
        }
#else
        int r = 0;
        do
            r = flock(m_handle, LOCK_EX | LOCK_NB);
        while (r != 0 && errno == EINTR);
        if (r == 0) {
            m_held = true;
            // The file at the path must still be the one locked.
            struct stat held {};
            struct stat there {};
            if (fstat(m_handle, &held) != 0 ||
                lstat(QFile::encodeName(m_path).constData(), &there) != 0 ||
                held.st_ino != there.st_ino || held.st_dev != there.st_dev) {
                m_held = false;
                close();
                if (++reopened < 5)
                    continue;
                m_problem = QStringLiteral("%1 keeps being replaced while it is locked")
                                .arg(shownPath(m_path));
                return Result::Unavailable;
            }
        } else if (const int why = errno; why != EWOULDBLOCK) {
            m_problem = QStringLiteral("%1 (owned by %2) cannot be locked: %3")
                            .arg(shownPath(m_path), ownerOf(m_path), errorText(why));
            close();
            return Result::Unavailable;
        }
#endif
        if (m_held) {
            if (!checkContent()) {
                close();
                return Result::Unavailable;
            }
            recordHolder();
            return Result::Taken;
        }
        // Another holder has it.
        readHolder();
        if (stop && stop->load())
            return Result::Interrupted;
        const qint64 left = waitMs - clock.elapsed();
        if (left <= 0)
            return Result::Busy;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<qint64>(kPollMs, left)));
        if (stop && stop->load())
            return Result::Interrupted;
    }
}

#ifdef _WIN32

bool TargetLock::open() {
    if (m_handle)
        return true;
    if (!ensureFolder(QFileInfo(m_path).path(), m_problem))
        return false;
    const std::wstring p = native(m_path);
    const DWORD attributes = GetFileAttributesW(p.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        m_problem =
            QStringLiteral("%1 (owned by %2) is %3, not a write lock")
                .arg(shownPath(m_path), ownerOf(m_path),
                     (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? QStringLiteral("a link")
                                                                 : QStringLiteral("a folder"));
        return false;
    }
    // No FILE_SHARE_DELETE: a lock file in use cannot be removed or replaced.
    HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD why = GetLastError();
        m_problem = why == ERROR_ACCESS_DENIED
                        ? QStringLiteral("%1 (owned by %2) may not be written by user %3")
                              .arg(shownPath(m_path), ownerOf(m_path), shown(thisUser()))
                        : QStringLiteral("%1 (owned by %2): %3")
                              .arg(shownPath(m_path), ownerOf(m_path), lastErrorText(why));
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(h);
        m_problem = QStringLiteral("%1 (owned by %2) is not a regular file")
                        .arg(shownPath(m_path), ownerOf(m_path));
        return false;
    }
    m_handle = h;
    return true;
}

void TargetLock::close() {
    if (!m_handle)
        return;
    if (m_held) {
        // Emptied for the next holder; the lock ends with the handle.
        SetFilePointer(m_handle, 0, nullptr, FILE_BEGIN);
        SetEndOfFile(m_handle);
    }
    CloseHandle(m_handle);
    m_handle = nullptr;
    m_held = false;
}

namespace {

QByteArray readRecord(void* handle) {
    QByteArray data(kRecordLimit, '\0');
    OVERLAPPED at{};
    DWORD got = 0;
    if (!ReadFile(handle, data.data(), static_cast<DWORD>(data.size()), &got, &at))
        got = 0;
    data.truncate(static_cast<qsizetype>(got));
    return data;
}

void writeRecord(void* handle, const QByteArray& record) {
    SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(handle);
    DWORD put = 0;
    WriteFile(handle, record.constData(), static_cast<DWORD>(record.size()), &put, nullptr);
}

} // namespace

#else

bool TargetLock::open() {
    if (m_handle >= 0)
        return true;
    if (!ensureFolder(QFileInfo(m_path).path(), m_problem))
        return false;
    const QByteArray p = QFile::encodeName(m_path);
    // Never through a symbolic link; a FIFO or device at the path must not block the open.
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = -1;
    for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
        // Made here, or opened without O_CREAT: in a sticky folder the kernel may refuse an
        // O_CREAT open of another user's file (fs.protected_regular).
        fd = ::open(p.constData(), kFlags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            fchmod(fd, 0666); // every user's writers use it, whatever the umask
            break;
        }
        if (errno == ENOENT && attempt + 1 < 5) {
            // The folder was removed since it was made (emptied by hand): made again.
            if (!ensureFolder(QFileInfo(m_path).path(), m_problem))
                return false;
            continue;
        }
        if (errno != EEXIST)
            break;
        fd = ::open(p.constData(), kFlags);
        if (fd < 0 && errno != ENOENT)
            break; // ENOENT: removed in between, made again
    }
    if (fd < 0) {
        const int why = errno;
        const QString dir = QFileInfo(m_path).path();
        if (why == ELOOP)
            m_problem = QStringLiteral("%1 (owned by %2) is a symbolic link, not a write lock")
                            .arg(shownPath(m_path), ownerOf(m_path));
        else if (why == EISDIR)
            m_problem = QStringLiteral("%1 (owned by %2) is a folder, not a write lock")
                            .arg(shownPath(m_path), ownerOf(m_path));
        else if ((why == EACCES || why == EPERM) && !QFileInfo::exists(m_path))
            m_problem = QStringLiteral("%1 (owned by %2) does not let user %3 make files in it")
                            .arg(shownPath(dir), ownerOf(dir), shown(thisUser()));
        else if (why == EACCES || why == EPERM)
            m_problem = QStringLiteral("%1 (owned by %2) may not be written by user %3")
                            .arg(shownPath(m_path), ownerOf(m_path), shown(thisUser()));
        else
            m_problem = QStringLiteral("%1 (owned by %2): %3")
                            .arg(shownPath(m_path), ownerOf(m_path), errorText(why));
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        m_problem = QStringLiteral("%1 (owned by %2) is not a regular file")
                        .arg(shownPath(m_path), ownerOf(m_path));
        return false;
    }
    m_handle = fd;
    return true;
}

void TargetLock::close() {
    if (m_handle < 0)
        return;
    if (m_held) {
        // Emptied for the next holder; the lock ends with the descriptor.
        [[maybe_unused]] const int r = ftruncate(m_handle, 0);
    }
    ::close(m_handle);
    m_handle = -1;
    m_held = false;
}

namespace {

QByteArray readRecord(int fd) {
    QByteArray data(kRecordLimit, '\0');
    ssize_t got = 0;
    do
        got = pread(fd, data.data(), static_cast<size_t>(data.size()), 0);
    while (got < 0 && errno == EINTR);
    data.truncate(got > 0 ? static_cast<qsizetype>(got) : 0);
    return data;
}

void writeRecord(int fd, const QByteArray& record) {
    if (ftruncate(fd, 0) != 0)
        return;
    [[maybe_unused]] const ssize_t put =
        pwrite(fd, record.constData(), static_cast<size_t>(record.size()), 0);
}

} // namespace

#endif

bool TargetLock::checkContent() {
    const QByteArray data = readRecord(m_handle);
    if (data.isEmpty() || data.startsWith(QByteArray(kMagic, kMagicSize)))
        return true;
    m_problem = QStringLiteral("%1 (owned by %2) holds something other than a write lock")
                    .arg(shownPath(m_path), ownerOf(m_path));
    m_held = false; // not ours: left as it is
    return false;
}

void TargetLock::recordHolder() {
    const QByteArray record =
        QByteArray(kMagic, kMagicSize) + QStringLiteral("pid=%1\nuser=%2\nprogram=%3\n")
                                             .arg(processId())
                                             .arg(thisUser(), programName())
                                             .toUtf8();
    writeRecord(m_handle, record);
}

void TargetLock::readHolder() {
    const QByteArray data = readRecord(m_handle);
    if (!data.startsWith(QByteArray(kMagic, kMagicSize))) {
        m_holder = QStringLiteral("another process");
        return;
    }
    QString pid, user, program;
    const QStringList lines = QString::fromUtf8(data.mid(kMagicSize)).split(u'\n');
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("pid=")))
            pid = line.mid(4);
        else if (line.startsWith(QLatin1String("user=")))
            user = line.mid(5);
        else if (line.startsWith(QLatin1String("program=")))
            program = line.mid(8);
    }
    m_holder = QStringLiteral("process %1 (%2) of user %3")
                   .arg(shown(pid.isEmpty() ? QStringLiteral("?") : pid),
                        shown(program.isEmpty() ? QStringLiteral("?") : program),
                        shown(user.isEmpty() ? QStringLiteral("?") : user));
}

QString TargetLock::userName() {
    return thisUser();
}

QString moduleLockKey(std::uint32_t address, std::uint16_t port) {
    return QStringLiteral("module-%1-%2").arg(formatAddress(address)).arg(port);
}

QString slotLockKey(const QString& hubName, int slot) {
    return QStringLiteral("%1-slot-%2").arg(hubName).arg(slot);
}

Outcome takeWriteLock(const QString& key, const QString& target, int waitMs,
                      const std::atomic<bool>* stop,
                      const std::function<void(const QString& holder)>& waiting,
                      std::unique_ptr<TargetLock>& held) {
    auto lock = std::make_unique<TargetLock>(key);
    TargetLock::Result r = lock->acquire(0, stop);
    if (r == TargetLock::Result::Busy && waitMs > 0) {
        if (waiting)
            waiting(lock->holder());
        r = lock->acquire(waitMs, stop);
    }
    switch (r) {
    case TargetLock::Result::Taken:
        held = std::move(lock);
        return {};
    case TargetLock::Result::Busy:
        return Outcome::fail(Exit::Unreachable,
                             QStringLiteral("%1 is busy: %2 is writing it (lock %3); nothing was "
                                            "written")
                                 .arg(target, lock->holder(), shownPath(lock->fileName())));
    case TargetLock::Result::Interrupted:
        return Outcome::fail(Exit::Interrupted,
                             QStringLiteral("%1: interrupted while waiting for the write lock; "
                                            "nothing was written")
                                 .arg(target));
    case TargetLock::Result::Unavailable:
        break;
    }
    return Outcome::fail(Exit::Failure,
                         QStringLiteral("%1: the write lock cannot be taken: %2; nothing was "
                                        "written")
                             .arg(target, lock->problem()));
}

Outcome takeWriteLock(ModuleTarget& target, int waitMs, const std::atomic<bool>* stop,
                      const std::function<void(const QString& holder)>& waiting,
                      std::unique_ptr<TargetLock>& held) {
    QString key;
    if (Outcome o = target.lockKey(key); !o.ok())
        return o;
    return takeWriteLock(key, target.name(), waitMs, stop, waiting, held);
}

} // namespace vqx::provision
