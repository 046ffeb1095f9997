#include "EthernetTarget.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "ArpCache.h"
#include "CModuleSocket.h"
#include "RecordTransfer.h"
#include "TargetLock.h"

namespace vqx::provision {

namespace {

/// Result codes of a version read that mean nothing came through the connection.
bool linkDown(int code) {
    return code == CModuleSocket::kSendShort || code == CModuleSocket::kSendStalled ||
           code == CModuleSocket::kNotConnected || code == CModuleSocket::kClosedMidReply;
}

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString formatSeconds(double s) {
    return QString::number(s, 'g', 6);
}

} // namespace

EthernetTarget::EthernetTarget(std::uint32_t address, std::uint16_t port, ConnectTiming timing,
                               Diagnostics diagnostics)
    : m_address(address), m_port(port), m_timing(timing), m_diag(std::move(diagnostics)),
      m_socket(std::make_unique<CModuleSocket>()) {
    if (m_timing.replyWaitMs > 0) {
        CModuleSocket::Timing t = m_socket->timing();
        t.waitMs = m_timing.replyWaitMs;
        m_socket->SetTiming(t);
    }
    if (m_diag.trace)
        m_socket->SetTrace([this](bool outgoing, const QByteArray& bytes) {
            m_diag.trace(QStringLiteral("%1 %2").arg(
                outgoing ? QStringLiteral(">") : QStringLiteral("<"), hex(bytes)));
        });
    m_socket->SetReceiveErrorHandler([this](const QString& text, const QString& title) {
        if (m_diag.warn)
            m_diag.warn(QStringLiteral("%1: %2: %3")
                            .arg(name(), title,
                                 QString(text).replace(QLatin1Char('\n'), QLatin1Char(' '))));
    });
}

EthernetTarget::~EthernetTarget() = default;

QString EthernetTarget::name() const {
    if (m_port == kModulePort)
        return formatAddress(m_address);
    return QStringLiteral("%1:%2").arg(formatAddress(m_address)).arg(m_port);
}

void EthernetTarget::pause(int ms) {
    if (ms <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool EthernetTarget::waitConnected(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!m_socket->IsConnected()) {
        const qint64 left = ms - clock.elapsed();
        if (left <= 0)
            return false;
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(m_socket.get(), &CModuleSocket::activity, &loop, &QEventLoop::quit);
        deadline.start(static_cast<int>(left));
        loop.exec();
    }
    return true;
}

Outcome EthernetTarget::open() {
    QElapsedTimer clock;
    clock.start();
    const qint64 limitMs = static_cast<qint64>(m_timing.timeoutSeconds * 1000.0);
    QString lastProblem;
    m_variant = 0;
    const int firstAttempt = m_attempts;
    const auto stopped = [this] { return m_stop && m_stop->load(); };
    do {
        if (stopped())
            return Outcome::fail(Exit::Interrupted,
                                 QStringLiteral("%1: interrupted while connecting").arg(name()));
        QElapsedTimer cycle;
        cycle.start();
        ++m_attempts;
        const bool arpDone = m_timing.firstArpDone && m_attempts == firstAttempt + 1;
        if (m_timing.runArp && !arpDone) {
            // Clears a stale ARP entry for the module (it may just have changed its address).
            // Started without a shell and not waited for; a missing tool is no error.
            const QString command = vqx::net::arpDeleteCommand(m_address);
            if (m_diag.trace)
                m_diag.trace(command);
            vqx::net::launchHidden(command);
        }
        if (!arpDone)
            pause(m_timing.arpPauseMs);
        if (m_socket->ConnectTo(m_address, m_port) != 0)
            return Outcome::fail(Exit::Failure,
                                 QStringLiteral("%1: could not create a socket").arg(name()));
        // Every attempt gets its full wait, also the last one and also when the pause has used
        // up a short time-out: a module that is there must not be reported unreachable for
        // want of a moment to answer. The time-out bounds when attempts start.
        if (waitConnected(m_timing.cycleMs)) {
            std::uint16_t second = 0;
            const int r = m_socket->SelectEepromVariant(&second);
            if (r == 0) {
                m_variant = m_socket->EepromMode();
                if (m_diag.trace)
                    m_diag.trace(QStringLiteral("version word 0x%1: EEPROM controller variant %2")
                                     .arg(second, 4, 16, QLatin1Char('0'))
                                     .arg(m_variant));
                return {};
            }
            const QString what = QStringLiteral("reading the version register failed: %1 (code %2)")
                                     .arg(QString::fromUtf8(CModuleSocket::Describe(r)))
                                     .arg(r);
            if (!linkDown(r))
                return Outcome::fail(Exit::Device, QStringLiteral("%1: %2").arg(name(), what), r);
            lastProblem =
                QStringLiteral("the connection was refused, failed or dropped (%1)").arg(what);
            if (m_timing.maxAttempts > 0 && m_attempts - firstAttempt >= m_timing.maxAttempts)
                break;
            // Keep the dialog's pace: one attempt per cycle, however fast this one failed.
            const qint64 rest =
                std::min<qint64>(m_timing.cycleMs - cycle.elapsed(), limitMs - clock.elapsed());
            pause(static_cast<int>(std::max<qint64>(0, rest)));
        } else {
            lastProblem = QStringLiteral("no connection");
            if (m_timing.maxAttempts > 0 && m_attempts - firstAttempt >= m_timing.maxAttempts)
                break;
        }
    } while (clock.elapsed() < limitMs);
    const int made = m_attempts - firstAttempt;
    return Outcome::fail(
        Exit::Unreachable,
        QStringLiteral("%1 is unreachable: %2 within %3 s (%4 %5)")
            .arg(name(), lastProblem, formatSeconds(m_timing.timeoutSeconds))
            .arg(made)
            .arg(made == 1 ? QStringLiteral("attempt") : QStringLiteral("attempts")));
}

Outcome EthernetTarget::lockKey(QString& key) {
    key = moduleLockKey(m_address, m_port);
    return {};
}

Outcome EthernetTarget::readRecord(NetworkRecord& record, const Progress& progress) {
    return vqx::provision::readRecord(*m_socket, name(), record, progress);
}

Outcome EthernetTarget::writeRecord(const NetworkRecord& record, const Progress& progress) {
    return vqx::provision::writeRecord(*m_socket, name(), record, progress);
}

} // namespace vqx::provision
