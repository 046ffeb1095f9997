#pragma once
// Serves one simulated module over TCP with the module's register protocol, byte for byte:
// 6-byte request groups in, numbered 1460-byte reply packets (EF BE, number, payload) out.
// Lives on the thread that creates it; it needs that thread's event loop to run.
//
// Output is bounded per connection: once kMaxUnsent reply bytes wait to go out, the server
// takes no further requests from that connection until they have drained below the bound
// (the client's own sends then stall, as on a module that is busy). Nothing is dropped.
//
// When the model is strict (ModuleModel::setStrict), the server refuses request groups a
// module would not accept, with no effect and no reply, and reports each to the model's
// reject handler: a header with the reserved bit 5 set, a data byte with bit 7 set, a fifth
// data byte with bits 4..6 set, and bytes that arrive outside any group. Without strict
// mode it resynchronises silently on the next header byte.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include "ModuleModel.h"

class QTcpServer;
class QTcpSocket;

namespace vqx::sim {

class ModuleServer : public QObject {
    Q_OBJECT
public:
    /// Reply bytes a connection may hold unsent before its requests are no longer taken.
    static constexpr qint64 kMaxUnsent = qint64{1024} * 1024;

    /// Faults of the connection, for tests. Controller faults live in ModuleModel::Faults.
    struct NetFaults {
        bool noReply = false;      ///< read requests are swallowed
        int closeAfterBytes = -1;  ///< close the connection after this many reply bytes
        bool badMagic0 = false;    ///< every packet starts EE instead of EF
        bool badMagic1 = false;    ///< every packet's second byte is BF instead of BE
        int skipNumberAt = -1;     ///< the packet with this index (0 = first sent) skips a number
        int pieceSize = 0;         ///< > 0: replies go out in pieces of this many bytes,
                                   ///< one piece per event-loop pass
        bool ignoreWrites = false; ///< register writes are dropped before the model
    };

    using Logger = std::function<void(const QString& line)>;

    explicit ModuleServer(std::shared_ptr<ModuleModel> model, QObject* parent = nullptr);
    ~ModuleServer() override;

    /// Starts listening. Port 0 picks a free port. False when the address is taken.
    bool listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    /// Stops listening (new connections are then refused) and drops the open connections.
    void close();
    quint16 port() const;
    QHostAddress address() const;

    ModuleModel& model() { return *m_model; }
    std::shared_ptr<ModuleModel> sharedModel() const { return m_model; }
    NetFaults& faults() { return m_faults; }
    /// Packet number of the first reply packet of each new connection.
    void setFirstPacketNumber(std::uint16_t n) { m_firstNumber = n; }
    /// Logs each request and reply in hex.
    void setLogger(Logger logger) { m_logger = std::move(logger); }

    int connectionCount() const { return m_connections; }
    /// Keeps the request bytes received from now on, over every connection (for tests; the
    /// first 4 MiB are kept). Off by default: nothing is kept.
    void setRecording(bool on) { m_recording = on; }
    /// The request bytes received while recording.
    const QByteArray& received() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    /// The most reply bytes any connection has held unsent at once.
    qint64 peakUnsent() const { return m_peakUnsent; }

signals:
    void clientConnected();
    void clientDisconnected();

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(Connection* c);
    bool takeGroup(Connection* c);
    qint64 unsent(const Connection* c) const;
    void handleGroup(Connection* c, const std::uint8_t* group);
    void sendReply(Connection* c, const std::vector<std::uint16_t>& words);
    void sendBytes(Connection* c, const QByteArray& bytes);
    void sendNextPiece(Connection* c);
    void log(const QString& line);
    static void closeLater(QTcpSocket* socket);

    std::shared_ptr<ModuleModel> m_model;
    QTcpServer* m_server = nullptr;
    NetFaults m_faults;
    std::uint16_t m_firstNumber = 0;
    Logger m_logger;
    int m_connections = 0;
    bool m_recording = false;
    QByteArray m_received;
    qint64 m_peakUnsent = 0;
    std::map<QTcpSocket*, std::unique_ptr<Connection>> m_conns;
};

} // namespace vqx::sim
