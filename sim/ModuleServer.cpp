#include "ModuleServer.h"

#include <algorithm>

#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "RequestFraming.h"

namespace vqx::sim {

namespace {
constexpr int kPacket = 1460;
constexpr int kPayloadPerPacket = kPacket - 4;
constexpr qsizetype kMaxRecorded = qsizetype{4} * 1024 * 1024; // request bytes kept for received()
constexpr qint64 kReadChunk = qint64{64} * 1024;               // request bytes taken in at a time
} // namespace

struct ModuleServer::Connection {
    QTcpSocket* socket = nullptr;
    QByteArray pending; // request bytes received and not yet handled, from `pos` on
    qsizetype pos = 0;
    bool inRead = false; // onReadyRead is running for this connection
    bool stray = false;  // the bytes being skipped outside a group have been reported
    QByteArray outgoing; // reply bytes waiting to go out in pieces
    std::uint16_t nextNumber = 0;
    int packetsSent = 0;
    qint64 replyBytesSent = 0;
    bool closing = false;
    bool dead = false; // the peer has gone; the entry is dropped from a later event
};

ModuleServer::ModuleServer(std::shared_ptr<ModuleModel> model, QObject* parent)
    : QObject(parent), m_model(std::move(model)), m_server(new QTcpServer(this)) {
    // Clients reach the module directly; a proxy set in the environment plays no part.
    m_server->setProxy(QNetworkProxy::NoProxy);
    connect(m_server, &QTcpServer::newConnection, this, &ModuleServer::onNewConnection);
}

ModuleServer::~ModuleServer() {
    for (auto& entry : m_conns)
        entry.first->disconnect(this);
    m_conns.clear();
}

bool ModuleServer::listen(const QHostAddress& address, quint16 port) {
    if (m_server->isListening())
        m_server->close();
    return m_server->listen(address, port);
}

void ModuleServer::close() {
    m_server->close();
    std::vector<QTcpSocket*> sockets;
    for (auto& entry : m_conns)
        sockets.push_back(entry.first);
    for (QTcpSocket* s : sockets)
        s->abort(); // each abort runs the disconnect handler, which forgets the connection
}

quint16 ModuleServer::port() const {
    return m_server->serverPort();
}
QHostAddress ModuleServer::address() const {
    return m_server->serverAddress();
}

// Closing from inside a handler of the connection would delete it under the caller's feet.
void ModuleServer::closeLater(QTcpSocket* socket) {
    QTimer::singleShot(0, socket, [socket] { socket->disconnectFromHost(); });
}

void ModuleServer::log(const QString& line) {
    if (m_logger)
        m_logger(line);
}

void ModuleServer::onNewConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // Requests wait in the system's buffers, not ours, while replies are not drained.
        socket->setReadBufferSize(kReadChunk);
        auto owned = std::make_unique<Connection>();
        Connection* c = owned.get();
        m_conns[socket] = std::move(owned);
        c->socket = socket;
        c->nextNumber = m_firstNumber;
        ++m_connections;
        log(QStringLiteral("connection from %1:%2")
                .arg(socket->peerAddress().toString())
                .arg(socket->peerPort()));
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        // Replies going out may make room for the requests held back.
        connect(
            socket, &QTcpSocket::bytesWritten, this, [this, c](qint64) { onReadyRead(c); },
            Qt::QueuedConnection);
        // Qt may report the close from inside a write or flush of ours (a reset peer), so
        // the connection is only marked here and forgotten once that call has returned.
        connect(socket, &QTcpSocket::disconnected, this, [this, c, socket] {
            if (c->dead)
                return;
            c->dead = true;
            log(QStringLiteral("connection closed"));
            QTimer::singleShot(0, this, [this, socket] {
                m_conns.erase(socket);
                socket->deleteLater();
            });
            emit clientDisconnected();
        });
        emit clientConnected();
    }
}

qint64 ModuleServer::unsent(const Connection* c) const {
    return c->socket->bytesToWrite() + c->outgoing.size();
}

void ModuleServer::onReadyRead(Connection* c) {
    if (c->dead || c->inRead)
        return;
    c->inRead = true;
    while (!c->closing && !c->dead && unsent(c) < kMaxUnsent) {
        const int rejected = m_model->rejections();
        if (takeGroup(c)) {
            if (m_model->rejections() != rejected)
                log(QStringLiteral("   rejected: %1")
                        .arg(QString::fromStdString(m_model->lastRejection())));
            continue;
        }
        // No whole group left: compact, then take in what has arrived.
        c->pending.remove(0, c->pos);
        c->pos = 0;
        const QByteArray data = c->socket->read(kReadChunk);
        if (data.isEmpty())
            break;
        if (m_recording && m_received.size() < kMaxRecorded)
            m_received.append(data);
        c->pending.append(data);
    }
    c->inRead = false;
}

// Handles the next group of the pending bytes, or skips bytes outside any group; false when
// more bytes are needed first.
bool ModuleServer::takeGroup(Connection* c) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(c->pending.constData()) + c->pos;
    const qsizetype available = c->pending.size() - c->pos;
    if (available <= 0)
        return false;
    const RequestStep step =
        nextRequest(p, static_cast<std::size_t>(available), m_model->strict(), c->stray);
    if (step.kind == RequestStep::Kind::NeedMore)
        return false;
    if (!step.rejection.empty())
        m_model->reject(step.rejection);
    c->pos += static_cast<qsizetype>(step.length);
    if (step.kind == RequestStep::Kind::Group)
        handleGroup(c, p);
    return true;
}

void ModuleServer::handleGroup(Connection* c, const std::uint8_t* group) {
    const std::uint8_t reg = group[0] & 0x1F;
    const std::uint32_t value = decodeRequestValue(group + 1);
    const bool read = (group[0] & 0x40) != 0;
    log(QStringLiteral("<- %1  %2 reg %3 value 0x%4")
            .arg(QString::fromLatin1(
                QByteArray(reinterpret_cast<const char*>(group), 6).toHex(' ').toUpper()))
            .arg(read ? QStringLiteral("read ") : QStringLiteral("write"))
            .arg(reg)
            .arg(value, 8, 16, QLatin1Char('0')));
    if (!read) {
        if (!m_faults.ignoreWrites)
            m_model->writeRegister(reg, value);
        return;
    }
    if (m_faults.noReply)
        return;
    if (value == 0)
        return; // a read of no words has no reply
    if (value > kMaxServedReadWords) {
        log(QStringLiteral("   read of %1 words ignored: more than the simulator serves")
                .arg(value));
        return;
    }
    const std::vector<std::uint16_t> words = m_model->readRegister(reg, value);
    if (!words.empty()) // a read the module refuses has no reply
        sendReply(c, words);
}

void ModuleServer::sendReply(Connection* c, const std::vector<std::uint16_t>& words) {
    QByteArray payload;
    payload.reserve(static_cast<int>(words.size() * 2));
    for (std::uint16_t w : words) {
        payload.append(static_cast<char>(w & 0xFF));
        payload.append(static_cast<char>(w >> 8));
    }
    QByteArray reply;
    for (int offset = 0; offset < payload.size(); offset += kPayloadPerPacket) {
        if (c->packetsSent == m_faults.skipNumberAt)
            ++c->nextNumber;
        const std::uint16_t number = c->nextNumber++;
        ++c->packetsSent;
        reply.append(static_cast<char>(m_faults.badMagic0 ? 0xEE : 0xEF));
        reply.append(static_cast<char>(m_faults.badMagic1 ? 0xBF : 0xBE));
        reply.append(static_cast<char>(number & 0xFF));
        reply.append(static_cast<char>(number >> 8));
        reply.append(payload.mid(offset, kPayloadPerPacket));
    }
    log(QStringLiteral("-> %1").arg(QString::fromLatin1(reply.left(64).toHex(' ').toUpper()) +
                                    (reply.size() > 64 ? QStringLiteral(" ...") : QString())));
    sendBytes(c, reply);
}

void ModuleServer::sendBytes(Connection* c, const QByteArray& bytes) {
    QByteArray out = bytes;
    if (m_faults.closeAfterBytes >= 0) {
        const qint64 allowed = m_faults.closeAfterBytes - c->replyBytesSent;
        if (allowed < out.size()) {
            out = out.left(static_cast<int>(std::max<qint64>(allowed, 0)));
            c->closing = true;
        }
    }
    c->replyBytesSent += out.size();
    const auto notePeak = [this, c] { m_peakUnsent = std::max(m_peakUnsent, unsent(c)); };
    if (m_faults.pieceSize > 0) {
        const bool idle = c->outgoing.isEmpty();
        c->outgoing.append(out);
        notePeak();
        if (idle)
            sendNextPiece(c);
        return;
    }
    c->socket->write(out);
    c->socket->flush();
    notePeak();
    if (c->closing && !c->dead)
        closeLater(c->socket);
}

void ModuleServer::sendNextPiece(Connection* c) {
    if (c->dead)
        return;
    if (c->outgoing.isEmpty()) {
        if (c->closing)
            closeLater(c->socket);
        return;
    }
    const QByteArray piece = c->outgoing.left(m_faults.pieceSize);
    c->outgoing.remove(0, piece.size());
    c->socket->write(piece);
    c->socket->flush();
    if (c->dead)
        return;
    QTcpSocket* socket = c->socket;
    QTimer::singleShot(0, this, [this, socket] {
        const auto it = m_conns.find(socket); // the connection may have gone meanwhile
        if (it != m_conns.end())
            sendNextPiece(it->second.get());
    });
}

} // namespace vqx::sim
