#include "CModuleSocket.h"

#include <algorithm>
#include <cerrno>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>
#include <QtDebug>

#include "ModuleProtocol.h"
#include "NetFraming.h"

namespace mod = vqx::module;

namespace {

// Socket error numbers as the platform's socket layer reports them.
#ifdef _WIN32
constexpr int kErrWouldBlock = 10035; // WSAEWOULDBLOCK
constexpr int kErrNotConnected = 10057;
constexpr int kErrConnReset = 10054;
constexpr int kErrConnRefused = 10061;
constexpr int kErrTimedOut = 10060;
constexpr int kErrHostUnreach = 10065;
constexpr int kErrOther = 10050; // WSAENETDOWN
#else
constexpr int kErrWouldBlock = EWOULDBLOCK;
constexpr int kErrNotConnected = ENOTCONN;
constexpr int kErrConnReset = ECONNRESET;
constexpr int kErrConnRefused = ECONNREFUSED;
constexpr int kErrTimedOut = ETIMEDOUT;
constexpr int kErrHostUnreach = EHOSTUNREACH;
constexpr int kErrOther = ENETDOWN;
#endif

int socketErrorNumber(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return kErrConnRefused;
    case QAbstractSocket::RemoteHostClosedError:
        return kErrConnReset;
    case QAbstractSocket::SocketTimeoutError:
        return kErrTimedOut;
    case QAbstractSocket::HostNotFoundError:
    case QAbstractSocket::NetworkError:
        return kErrHostUnreach;
    default:
        return kErrOther;
    }
}

} // namespace

/// Marks the link busy for the length of one operation; a second operation started meanwhile
/// (from a handler run by a wait) is refused. Leaves a destroyed link alone.
class CModuleSocket::Operation {
public:
    explicit Operation(CModuleSocket& link)
        : m_link(link), m_alive(link.m_alive), m_owner(!link.m_bBusy) {
        if (m_owner)
            link.m_bBusy = true;
    }
    ~Operation() {
        if (m_owner && *m_alive)
            m_link.m_bBusy = false;
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    bool refused() const { return !m_owner; }

private:
    CModuleSocket& m_link;
    std::shared_ptr<bool> m_alive;
    bool m_owner;
};

CModuleSocket::CModuleSocket() : m_receiveBuffer(kReceiveBufferSize) {}

CModuleSocket::~CModuleSocket() {
    *m_alive = false;
    emit activity(); // ends a wait in progress at once
    CloseSocket();
}

const char* CModuleSocket::Describe(int code) {
    switch (code) {
    case 0:
        return "success";
    case kSendShort:
        return "the socket took only part of a request";
    case kSendStalled:
        return "the request could not be sent (the connection is down or stalled)";
    case kNotConnected:
        return "the module is not connected";
    case kReceiveError:
        return "receiving the reply failed";
    case kBadMagic0:
        return "a reply packet did not start with 0xEF";
    case kBadMagic1:
        return "a reply packet's second byte was not 0xBE";
    case kBadPacketNumber:
        return "a reply packet arrived out of sequence";
    case kClosedMidReply:
        return "the module closed the connection before the reply was complete";
    case kReplyTooLong:
        return "the reply carried more data than requested";
    case kEepromFailed:
        return "the controller reported failure";
    case kEepromWriteFailedV1:
        return "the controller reported a failed write";
    case kEepromNeverDone:
        return "the controller never reported completion";
    case kBusy:
        return "another operation of the link was still in progress";
    case kLinkDestroyed:
        return "the link was closed while the operation waited";
    default:
        return "unknown result";
    }
}

bool CModuleSocket::Create() {
    auto* socket = new QTcpSocket(this);
    // A module is reached directly, never through a proxy: a proxy named in the environment
    // (http_proxy and the like) would otherwise make every connection attempt fail.
    socket->setProxy(QNetworkProxy::NoProxy);
    if (!socket->bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        delete socket;
        return false;
    }
    const quint64 generation = ++m_generation;
    m_pSocket = socket;
    // Requests are small and each waits for the one before it: without this the system
    // would hold a request back until the previous one is acknowledged.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // The outcome of a connection attempt is delivered later, as a posted event, even where
    // the socket layer knows it at once.
    connect(
        socket, &QTcpSocket::connected, this,
        [this, generation] {
            if (generation == m_generation)
                OnConnect(0);
        },
        Qt::QueuedConnection);
    connect(
        socket, &QTcpSocket::errorOccurred, this,
        [this, generation](QAbstractSocket::SocketError error) {
            if (generation != m_generation || m_bEverConnected)
                return;
            // A failed attempt is an OnConnect with an error code, as on the classic API.
            m_bEverConnected = true;
            OnConnect(socketErrorNumber(error));
        },
        Qt::QueuedConnection);
    connect(socket, &QTcpSocket::disconnected, this, [this, generation] {
        if (generation == m_generation)
            OnClose(0);
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, generation] {
        if (generation == m_generation)
            OnReceive(0);
    });
    return true;
}

void CModuleSocket::CloseSocket() {
    if (!m_pSocket)
        return;
    ++m_generation; // drops notifications still queued for the old socket
    QTcpSocket* socket = m_pSocket;
    m_pSocket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

int CModuleSocket::ConnectTo(std::uint32_t address, int port) {
    const Operation op(*this);
    if (op.refused())
        return kBusy;
    if (m_bCreated) {
        m_bCreated = false;
        CloseSocket();
        SetConnected(false);
    }
    if (!Create())
        return 1;
    m_bCreated = true;
    m_bEverConnected = false;
    const QString text = QStringLiteral("%1.%2.%3.%4")
                             .arg(address >> 24)
                             .arg((address >> 16) & 0xFF)
                             .arg((address >> 8) & 0xFF)
                             .arg(address & 0xFF);
    m_pSocket->connectToHost(QHostAddress(text), static_cast<quint16>(port & 0xFFFF));
    return 0;
}

void CModuleSocket::OnConnect(int errorCode) {
    Q_UNUSED(errorCode)
    m_bEverConnected = true;
    m_bFirstPacket = true;
    SetConnected(true);
    emit activity();
}

void CModuleSocket::OnClose(int errorCode) {
    Q_UNUSED(errorCode)
    SetConnected(false);
    emit activity();
}

void CModuleSocket::OnReceive(int errorCode) {
    Q_UNUSED(errorCode)
    SetDataReady(true);
    emit activity();
}

bool CModuleSocket::LockedFlag::get() const {
    std::lock_guard lock(m_mutex);
    return m_value;
}

void CModuleSocket::LockedFlag::set(bool value) {
    std::lock_guard lock(m_mutex);
    m_value = value;
}

bool CModuleSocket::IsConnected() const {
    return m_bConnected.get();
}

void CModuleSocket::SetConnected(bool connected) {
    m_bConnected.set(connected);
}

bool CModuleSocket::DataReady() const {
    return m_bDataReady.get();
}

void CModuleSocket::SetDataReady(bool ready) {
    m_bDataReady.set(ready);
}

bool CModuleSocket::SocketUsable() const {
    return m_pSocket && m_pSocket->state() == QAbstractSocket::ConnectedState;
}

void CModuleSocket::PumpMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

int CModuleSocket::WaitForData() {
    QElapsedTimer clock;
    clock.start();
    // Bytes the socket layer already holds count as a pending receive notification; and
    // nothing more can arrive on a connection that is gone, so the caller's Receive is left
    // to find out how it ended.
    const auto ready = [this] {
        return DataReady() || (m_pSocket && m_pSocket->bytesAvailable() > 0) ||
               (m_bCreated && m_bEverConnected && !SocketUsable());
    };
    const std::shared_ptr<bool> alive = m_alive;
    for (;;) {
        if (ready())
            return 0;
        if (clock.elapsed() > m_timing.waitMs)
            return -1;
        // Dispatch the thread's events, blocking in the event loop until a notification or
        // the deadline: a reply is noticed as soon as it reaches the socket.
        const qint64 remaining = m_timing.waitMs + 1 - clock.elapsed();
        if (remaining > 0) {
            QEventLoop loop;
            QTimer deadline;
            deadline.setSingleShot(true);
            connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
            connect(this, &CModuleSocket::activity, &loop, &QEventLoop::quit);
            deadline.start(static_cast<int>(remaining));
            // A nested loop does not run once the application is quitting; dispatch the
            // events directly then, so the wait neither spins nor misses its data.
            if (loop.exec() == -1)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (!*alive)
                return kLinkDestroyed; // a handler destroyed the link
        }
    }
}

int CModuleSocket::Send(const std::uint8_t* data, int len) {
    if (!SocketUsable()) {
        m_lastError = kErrNotConnected;
        return -1;
    }
    // A piece that does not fit below the limit of unsent bytes waits whole, as a send on a
    // full socket would block: a module that stops reading shows as a stall (code 2).
    if (m_pSocket->bytesToWrite() + len > m_timing.sendBufferLimit) {
        m_pSocket->flush();
        if (m_pSocket->bytesToWrite() + len > m_timing.sendBufferLimit) {
            m_lastError = kErrWouldBlock;
            return -1;
        }
    }
    const qint64 written = m_pSocket->write(reinterpret_cast<const char*>(data), len);
    if (written < 0) {
        m_lastError = socketErrorNumber(m_pSocket->error());
        return -1;
    }
    m_pSocket->flush(); // hand the bytes to the system now, not when the event loop runs
    if (m_trace && written > 0)
        m_trace(true, QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(written)));
    return static_cast<int>(written);
}

int CModuleSocket::Receive(std::uint8_t* buffer, int len) {
    if (!m_pSocket) {
        m_lastError = kErrNotConnected;
        return -1;
    }
    const qint64 n = m_pSocket->read(reinterpret_cast<char*>(buffer), len);
    if (n > 0) {
        if (m_trace)
            m_trace(false, QByteArray(reinterpret_cast<const char*>(buffer), static_cast<int>(n)));
        return static_cast<int>(n);
    }
    if (SocketUsable()) {
        m_lastError = kErrWouldBlock;
        return -1;
    }
    if (m_bEverConnected && m_pSocket->error() == QAbstractSocket::RemoteHostClosedError)
        return 0; // the module closed the connection and everything it sent has been read
    m_lastError = m_pSocket->error() == QAbstractSocket::UnknownSocketError
                      ? kErrNotConnected
                      : socketErrorNumber(m_pSocket->error());
    return -1;
}

int CModuleSocket::WriteRegs(int reg, const std::uint32_t* words, std::uint32_t count) {
    const Operation op(*this);
    return op.refused() ? kBusy : DoWriteRegs(reg, words, count);
}

int CModuleSocket::ReadRegs(int reg, std::uint8_t* buffer, std::uint32_t count) {
    const Operation op(*this);
    return op.refused() ? kBusy : DoReadRegs(reg, buffer, count);
}

int CModuleSocket::DoWriteRegs(int reg, const std::uint32_t* words, std::uint32_t count) {
    m_lastBlockSent = 0;
    if (!IsConnected())
        return kNotConnected;
    const std::vector<std::uint8_t> block = vqx::net::encodeWriteBlock(reg, words, count);
    std::size_t& sent = m_lastBlockSent;
    sent = 0;
    bool stalled = false;
    QElapsedTimer stall;
    while (sent < block.size()) {
        const int piece =
            static_cast<int>(std::min<std::size_t>(block.size() - sent, vqx::net::kPacketSize));
        const int r = Send(block.data() + sent, piece);
        if (r == piece) {
            sent += static_cast<std::size_t>(piece);
            stalled = false;
        } else if (r == -1) {
            if (!stalled) {
                stalled = true;
                stall.start();
            } else if (stall.elapsed() > m_timing.waitMs) {
                return kSendStalled;
            }
            // A socket that is no longer connected will not take the piece later either.
            if (!SocketUsable())
                return kSendStalled;
        } else {
            return kSendShort;
        }
    }
    SetDataReady(false);
    return 0;
}

int CModuleSocket::DoReadRegs(int reg, std::uint8_t* buffer, std::uint32_t count) {
    const vqx::net::Request request = vqx::net::encodeRead(reg, count);
    SetDataReady(false);
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int r = Send(request.data(), static_cast<int>(request.size()));
        if (r == static_cast<int>(request.size()))
            break;
        if (r != -1)
            return kSendShort;
        if (clock.elapsed() > m_timing.waitMs || !SocketUsable())
            return kSendStalled;
    }
    if (count == 0)
        return 0;

    vqx::net::ReplyParser parser(buffer, std::size_t{count} * 2, m_bFirstPacket, m_wPacketCounter);
    for (;;) {
        // The wait's result is not examined: after a time-out the receive is tried anyway.
        if (WaitForData() == kLinkDestroyed)
            return kLinkDestroyed;
        const int len = Receive(m_receiveBuffer.data(), kReceiveBufferSize);
        if (len < 0) {
            const QString text = QStringLiteral("len = %1,\nerr = %2").arg(len).arg(m_lastError);
            if (m_onReceiveError) {
                // The box runs an event loop of its own, whose handlers may destroy the link
                // together with this handler: call a copy, and look before going on.
                const std::shared_ptr<bool> alive = m_alive;
                const MessageHandler show = m_onReceiveError;
                show(text, QStringLiteral("Error"));
                if (!*alive)
                    return kLinkDestroyed;
            } else {
                qWarning().noquote() << "Error:" << text;
            }
            return kReceiveError;
        }
        if (len == 0)
            return kClosedMidReply; // nothing more can come on this connection
        SetDataReady(false);
        switch (parser.feed(m_receiveBuffer.data(), static_cast<std::size_t>(len))) {
        case vqx::net::ReplyParser::Status::More:
            break;
        case vqx::net::ReplyParser::Status::Complete:
            return 0;
        case vqx::net::ReplyParser::Status::BadMagic0:
            return kBadMagic0;
        case vqx::net::ReplyParser::Status::BadMagic1:
            return kBadMagic1;
        case vqx::net::ReplyParser::Status::BadNumber:
            return kBadPacketNumber;
        case vqx::net::ReplyParser::Status::Overrun:
            return kReplyTooLong;
        }
    }
}

int CModuleSocket::SelectEepromVariant(std::uint16_t* secondWord) {
    // Zero-initialised: a failed read leaves the compared word 0, which selects variant 1.
    std::uint8_t version[2 * mod::kVersionWords] = {};
    const int r = ReadRegs(mod::kRegVersion, version, mod::kVersionWords);
    if (r == kBusy || r == kLinkDestroyed)
        return r;
    m_nEepromMode = static_cast<std::uint8_t>(mod::variantFromVersionBytes(version));
    if (secondWord)
        *secondWord = static_cast<std::uint16_t>(version[2] | (version[3] << 8));
    return r;
}

int CModuleSocket::PollEepromStatus(bool& success) {
    const int variant = m_nEepromMode == mod::kVariant2 ? mod::kVariant2 : mod::kVariant1;
    const std::shared_ptr<bool> alive = m_alive;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        std::uint8_t status[2 * 6] = {};
        const int r = DoReadRegs(mod::statusRegister(variant), status, mod::statusWords(variant));
        if (r != 0)
            return r;
        if (const mod::EepromStatus st = mod::decodeStatus(variant, status); st.done) {
            success = st.success;
            return 0;
        }
        if (clock.elapsed() > m_timing.eepromPollMs)
            return kEepromNeverDone;
        PumpMessages();
        if (!*alive)
            return kLinkDestroyed;
    }
}

// Sends an EEPROM command word, noting whether it went out to the module, and polls the
// controller until it is done: 0 and `success` as the controller reports it, or the code of
// the step that failed.
int CModuleSocket::RunEepromCommand(int commandReg, std::uint32_t command, bool& success) {
    const int r = DoWriteRegs(commandReg, &command, 1);
    m_bCommandReached = m_lastBlockSent > 0;
    if (r != 0)
        return r;
    success = false;
    return PollEepromStatus(success);
}

int CModuleSocket::ReadEeprom(std::uint16_t address, std::uint8_t* buffer, std::uint32_t count) {
    const Operation op(*this);
    if (op.refused())
        return kBusy;
    m_bCommandReached = false;
    const int commandReg = mod::commandRegister(m_nEepromMode);
    const std::uint32_t one = 1;
    if (int r = DoWriteRegs(mod::kRegControl, &one, 1); r != 0)
        return r;
    std::uint32_t offset = 0;
    std::uint8_t data[2 * mod::kMaxReadBytes];
    while (offset < count) {
        const std::uint32_t n = std::min(count - offset, mod::kMaxReadBytes);
        bool success = false;
        if (int r = RunEepromCommand(commandReg, mod::eepromCommand(false, address + offset, n),
                                     success);
            r != 0)
            return r;
        if (!success)
            return kEepromFailed;
        if (int r = DoReadRegs(mod::kRegData, data, n); r != 0)
            return r;
        for (std::uint32_t i = 0; i < n; ++i)
            buffer[offset + i] = vqx::net::eepromReplyByte(data, i);
        offset += n;
    }
    return 0;
}

int CModuleSocket::WriteEeprom(std::uint16_t address, const std::uint8_t* bytes,
                               std::uint32_t count) {
    const Operation op(*this);
    if (op.refused())
        return kBusy;
    m_bCommandReached = false;
    const bool v2 = m_nEepromMode == mod::kVariant2;
    const int commandReg = mod::commandRegister(m_nEepromMode);
    const std::uint32_t one = 1;
    std::uint32_t offset = 0;
    while (offset < count) {
        if (int r = DoWriteRegs(mod::kRegControl, &one, 1); r != 0)
            return r;
        const std::uint32_t n = std::min(count - offset, mod::kMaxWriteBytes);
        const std::vector<std::uint32_t> words = vqx::net::eepromDataWords(bytes + offset, n);
        if (int r =
                DoWriteRegs(mod::kRegData, words.data(), static_cast<std::uint32_t>(words.size()));
            r != 0)
            return r;
        bool success = false;
        if (int r = RunEepromCommand(commandReg, mod::eepromCommand(true, address + offset, n),
                                     success);
            r != 0)
            return r;
        if (!success)
            return v2 ? kEepromFailed : kEepromWriteFailedV1;
        offset += n;
    }
    return 0;
}
