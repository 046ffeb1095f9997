#pragma once
// The TCP link to one module (port 23100) and its register and EEPROM operations.
//
// Everything runs on the thread that owns the object. Socket events arrive as the
// notifications OnConnect, OnClose and OnReceive, and only while that thread dispatches
// events: in its own event loop, or inside the waits of this class, which run a nested
// event loop. Transfers therefore let other handlers of the thread run while they wait.
//
// Result codes: 0 success;
//   1   a send took fewer bytes than offered        2   sends kept failing for 1000 ms
//   3   the link is not connected (writes)          4   a receive failed (box shown)
//   5   a reply packet's first byte is not 0xEF     6   its second byte is not 0xBE
//   7   a packet number out of sequence             8   the module closed the connection
//                                                       before the reply was complete
//   9   the reply carried more payload than requested (seen when the surplus arrives with
//       the reply's last bytes; surplus arriving later meets the next read as a bad packet)
//   100 the EEPROM controller finished without success (reads; writes on variant 2)
//   -1  the EEPROM controller finished a write without success (variant 1)
//   101 the EEPROM controller never reported done within the poll bound
//   11  refused: another operation of this link is still waiting (see below)
//   12  the link was destroyed while the operation waited
//
// Nested operations. The waits dispatch the thread's events, so a handler can call the link
// again while an operation waits. Such a call (ConnectTo, WriteRegs, ReadRegs, ReadEeprom,
// WriteEeprom) is refused with 11 and changes nothing: the waiting operation keeps its
// reply. A handler may destroy the link inside a wait; the wait notices, touches nothing of
// the destroyed object, and its operation returns 12 up to the original caller.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

class CModuleSocket : public QObject {
    Q_OBJECT
public:
    static constexpr int kSendShort = 1;
    static constexpr int kSendStalled = 2;
    static constexpr int kNotConnected = 3;
    static constexpr int kReceiveError = 4;
    static constexpr int kBadMagic0 = 5;
    static constexpr int kBadMagic1 = 6;
    static constexpr int kBadPacketNumber = 7;
    static constexpr int kClosedMidReply = 8;
    static constexpr int kReplyTooLong = 9;
    static constexpr int kEepromFailed = 100;
    static constexpr int kEepromWriteFailedV1 = -1;
    static constexpr int kEepromNeverDone = 101;
    static constexpr int kBusy = 11;
    static constexpr int kLinkDestroyed = 12;

    static constexpr int kReceiveBufferSize = 131072;

    /// Time limits of the link. The defaults are the protocol's; tests shorten them.
    struct Timing {
        int waitMs = 1000;       ///< WaitForData, and the send stall limit
        int eepromPollMs = 3000; ///< the EEPROM status poll gives up (101) after this long
        /// Bytes the socket layer may hold unsent; a send that would go beyond counts as
        /// blocked.
        qint64 sendBufferLimit = qint64{256} * 1024;
    };

    /// Receives the text and title of the receive-error box. Without one the text is logged.
    using MessageHandler = std::function<void(const QString& text, const QString& title)>;
    /// Sees every byte the link sends (outgoing = true) and receives.
    using TraceHandler = std::function<void(bool outgoing, const QByteArray& bytes)>;

    CModuleSocket();
    ~CModuleSocket() override;

    void SetOwner(QObject* owner) { m_pOwner = owner; }
    /// address: IPv4 in host order, first dotted field in bits 24..31. 0 = attempt started,
    /// 1 = the socket could not be created, kBusy = called while an operation waits.
    int ConnectTo(std::uint32_t address, int port);
    bool IsConnected() const;
    void SetConnected(bool connected);
    /// 0 once data is ready (or the module has closed the link), -1 after more than the wait
    /// limit without data, kLinkDestroyed when a handler destroyed the link meanwhile (the
    /// caller must then leave the object alone). Dispatches the thread's events while it
    /// waits.
    int WaitForData();
    void PumpMessages();
    void SetEepromMode(std::uint8_t mode) { m_nEepromMode = mode; }
    std::uint8_t EepromMode() const { return m_nEepromMode; }

    int WriteRegs(int reg, const std::uint32_t* words, std::uint32_t count);
    int ReadRegs(int reg, std::uint8_t* buffer, std::uint32_t count);
    int ReadEeprom(std::uint16_t address, std::uint8_t* buffer, std::uint32_t count);
    int WriteEeprom(std::uint16_t address, const std::uint8_t* bytes, std::uint32_t count);
    /// Whether the last ReadEeprom or WriteEeprom sent an EEPROM command word to the module:
    /// when it then failed, the module may have carried the command out.
    bool CommandReached() const { return m_bCommandReached; }
    /// Reads the version register and sets the EEPROM mode from its second word (variant 2
    /// for kVersionVariant2, else variant 1). The read's result code is returned; when it fails the
    /// word counts as zero (variant 1), except on kBusy and kLinkDestroyed, which change
    /// nothing. secondWord, when given, receives the word the choice rests on.
    int SelectEepromVariant(std::uint16_t* secondWord = nullptr);

    void SetReceiveErrorHandler(MessageHandler handler) { m_onReceiveError = std::move(handler); }
    void SetTrace(TraceHandler trace) { m_trace = std::move(trace); }
    void SetTiming(const Timing& timing) { m_timing = timing; }
    const Timing& timing() const { return m_timing; }

    /// What a result code of this link means, in words.
    static const char* Describe(int code);

signals:
    /// Emitted by the notifications; the nested waits end on it.
    void activity();

protected:
    virtual void OnConnect(int errorCode);
    virtual void OnClose(int errorCode);
    virtual void OnReceive(int errorCode);
    /// Creates a socket bound to any local port; false when the system refuses one.
    virtual bool Create();
    /// Non-blocking send and receive with the classic socket results: bytes moved, 0 from
    /// Receive when the module has closed the link, -1 when it would block or failed
    /// (LastError() tells which). Send takes a piece whole or not at all.
    virtual int Send(const std::uint8_t* data, int len);
    virtual int Receive(std::uint8_t* buffer, int len);
    int LastError() const { return m_lastError; }

private:
    class Operation;
    int DoWriteRegs(int reg, const std::uint32_t* words, std::uint32_t count);
    int DoReadRegs(int reg, std::uint8_t* buffer, std::uint32_t count);
    void CloseSocket();
    bool DataReady() const;
    void SetDataReady(bool ready);
    bool SocketUsable() const;
    int PollEepromStatus(bool& success);
    int RunEepromCommand(int commandReg, std::uint32_t command, bool& success);

    /// A flag behind a lock of its own.
    class LockedFlag {
    public:
        bool get() const;
        void set(bool value);

    private:
        mutable std::mutex m_mutex;
        bool m_value = false;
    };

    LockedFlag m_bConnected;
    bool m_bCreated = false;
    LockedFlag m_bDataReady;
    QObject* m_pOwner = nullptr;
    bool m_bFirstPacket = true;
    std::uint16_t m_wPacketCounter = 0;
    std::uint8_t m_nEepromMode = 1;

    QTcpSocket* m_pSocket = nullptr;
    quint64 m_generation = 0;
    bool m_bEverConnected = false;
    int m_lastError = 0;
    Timing m_timing;
    std::vector<std::uint8_t> m_receiveBuffer;
    MessageHandler m_onReceiveError;
    TraceHandler m_trace;
    /// False once the destructor has run; waits keep a copy to notice it.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    bool m_bBusy = false;            ///< an operation is running (and maybe waiting)
    std::size_t m_lastBlockSent = 0; ///< bytes of the last DoWriteRegs block handed to the socket
    bool m_bCommandReached = false;
};
