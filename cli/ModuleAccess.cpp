#include "ModuleAccess.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "ArpCache.h"
#include "CModuleSocket.h"

namespace vqx::cli {

namespace {

constexpr int kVersionRegister = 14;
constexpr int kCommandRegisterV1 = 10;
constexpr int kCommandRegisterV2 = 13;
constexpr std::uint16_t kVariant2Version = 0x0330;

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

QString transferError(bool write, int address, const char* meaning, int code) {
    return QStringLiteral("EEPROM %1 failed at address %2: %3 (code %4)")
        .arg(write ? QStringLiteral("write") : QStringLiteral("read"))
        .arg(address)
        .arg(QString::fromUtf8(meaning))
        .arg(code);
}

Outcome readRecordBytes(const QString& target, const ByteReader& read, CodeMeaning meaning,
                        NetworkRecord& record, const Progress& progress) {
    RecordBytes bytes{};
    for (int i = 0; i < kRecordSize; ++i) {
        const auto address = static_cast<std::uint16_t>(kRecordFirstAddress + i);
        const int r = read(address, bytes[static_cast<std::size_t>(i)]);
        if (r != 0)
            return Outcome::fail(
                Exit::Device,
                QStringLiteral("%1: %2").arg(target, transferError(false, address, meaning(r), r)),
                r);
        if (progress)
            progress(i + 1, kRecordSize);
    }
    record = NetworkRecord::fromBytes(bytes);
    return {};
}

Outcome writeRecordBytes(const QString& target, const ByteWriter& write, CodeMeaning meaning,
                         const NetworkRecord& record, const Progress& progress) {
    const RecordBytes bytes = record.toBytes();
    for (int i = 0; i < kRecordSize; ++i) {
        const auto address = static_cast<std::uint16_t>(kRecordFirstAddress + i);
        bool reached = false;
        const int r = write(address, bytes[static_cast<std::size_t>(i)], reached);
        if (r != 0) {
            QString text =
                QStringLiteral("%1: %2").arg(target, transferError(true, address, meaning(r), r));
            if (i > 0)
                text += QStringLiteral("; addresses %1 to %2 already hold the new values")
                            .arg(kRecordFirstAddress)
                            .arg(address - 1);
            // Never claim less than may have been written.
            if (reached)
                text += QStringLiteral("%1 address %2 may hold its new value")
                            .arg(i > 0 ? QStringLiteral(",") : QStringLiteral(";"))
                            .arg(address);
            Outcome o = Outcome::fail(Exit::Device, text, r);
            o.bytesWritten = i;
            o.bytesMaybeWritten = reached ? 1 : 0;
            return o;
        }
        if (progress)
            progress(i + 1, kRecordSize);
    }
    Outcome done;
    done.bytesWritten = kRecordSize;
    return done;
}

EthernetTarget::EthernetTarget(std::uint32_t address, std::uint16_t port, ConnectTiming timing,
                               Diagnostics diagnostics)
    : m_address(address), m_port(port), m_timing(timing), m_diag(std::move(diagnostics)),
      m_socket(std::make_unique<CModuleSocket>()) {
    m_socket->SetTrace([this](bool outgoing, const QByteArray& bytes) {
        // A write request's first byte is 0x80 plus the register.
        const int commandRegister = m_variant == 2 ? kCommandRegisterV2 : kCommandRegisterV1;
        if (outgoing && !bytes.isEmpty() &&
            static_cast<std::uint8_t>(bytes[0]) == (0x80 | commandRegister))
            m_commandSent = true;
        if (m_diag.trace)
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
    do {
        QElapsedTimer cycle;
        cycle.start();
        ++m_attempts;
        if (m_timing.runArp) {
            // Clears a stale ARP entry for the module (it may just have changed its address).
            // Started without a shell and not waited for; a missing tool is no error.
            const QString command = vqx::net::arpDeleteCommand(m_address);
            if (m_diag.trace)
                m_diag.trace(command);
            vqx::net::launchHidden(command);
        }
        pause(m_timing.arpPauseMs);
        if (m_socket->ConnectTo(m_address, m_port) != 0)
            return Outcome::fail(Exit::Failure,
                                 QStringLiteral("%1: could not create a socket").arg(name()));
        // Every attempt gets its full wait, also the last one and also when the pause has used
        // up a short time-out: a module that is there must not be reported unreachable for
        // want of a moment to answer. The time-out bounds when attempts start.
        if (waitConnected(m_timing.cycleMs)) {
            std::uint8_t version[4] = {};
            const int r = m_socket->ReadRegs(kVersionRegister, version, 2);
            if (r == 0) {
                const auto second = static_cast<std::uint16_t>(version[2] | (version[3] << 8));
                m_variant = second == kVariant2Version ? 2 : 1;
                m_socket->SetEepromMode(static_cast<std::uint8_t>(m_variant));
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
            // Keep the dialog's pace: one attempt per cycle, however fast this one failed.
            const qint64 rest =
                std::min<qint64>(m_timing.cycleMs - cycle.elapsed(), limitMs - clock.elapsed());
            pause(static_cast<int>(std::max<qint64>(0, rest)));
        } else {
            lastProblem = QStringLiteral("no connection");
        }
    } while (clock.elapsed() < limitMs);
    return Outcome::fail(
        Exit::Unreachable,
        QStringLiteral("%1 is unreachable: %2 within %3 s (%4 %5)")
            .arg(name(), lastProblem, formatSeconds(m_timing.timeoutSeconds))
            .arg(m_attempts)
            .arg(m_attempts == 1 ? QStringLiteral("attempt") : QStringLiteral("attempts")));
}

Outcome EthernetTarget::lockKey(QString& key) {
    key = QStringLiteral("module-%1-%2").arg(formatAddress(m_address)).arg(m_port);
    return {};
}

Outcome EthernetTarget::readRecord(NetworkRecord& record, const Progress& progress) {
    return readRecordBytes(
        name(),
        [this](std::uint16_t address, std::uint8_t& byte) {
            return m_socket->ReadEeprom(address, &byte, 1);
        },
        &CModuleSocket::Describe, record, progress);
}

Outcome EthernetTarget::writeRecord(const NetworkRecord& record, const Progress& progress) {
    return writeRecordBytes(
        name(),
        [this](std::uint16_t address, std::uint8_t byte, bool& reached) {
            m_commandSent = false;
            const int r = m_socket->WriteEeprom(address, &byte, 1);
            // The controller's own failure report settles the byte; any other failure after
            // the command went out leaves it open.
            reached = r != 0 && m_commandSent && r != CModuleSocket::kEepromFailed &&
                      r != CModuleSocket::kEepromWriteFailedV1;
            return r;
        },
        &CModuleSocket::Describe, record, progress);
}

} // namespace vqx::cli
