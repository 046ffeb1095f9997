// Reads and writes the 12-byte network settings record over the Ethernet link against an
// in-process module simulator (served from its own thread), and replays the very same
// exchange with a minimal blocking-socket client: the floor any client could reach.
// Prints the time per record and per round trip for both, and their ratio.
//
//   bench_net_record [records]      (default 200)

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QThread>

#include "CModuleSocket.h"
#include "ModuleModel.h"
#include "ModuleServer.h"
#include "NetworkRecord.h"

namespace {

using Clock = std::chrono::steady_clock;

/// One send of the client and the number of reply bytes it then waits for (0 for a send
/// that is not answered).
struct Step {
    QByteArray request;
    int replyBytes = 0;
};

/// Replies to a read of `words` words: payload plus a 4-byte header per 1456 bytes.
int replySize(std::uint32_t words) {
    const int payload = static_cast<int>(words) * 2;
    return payload + 4 * ((payload + 1455) / 1456);
}

/// Turns the traced sends of one record transfer into steps: the same sends, cut where
/// the link cut them, each followed by the wait for its reply if it asks for one.
std::vector<Step> stepsFrom(const QList<QByteArray>& sends) {
    std::vector<Step> steps;
    for (const QByteArray& sent : sends) {
        Step step;
        step.request = sent;
        for (int i = 0; i + 6 <= sent.size(); i += 6) {
            const auto* g = reinterpret_cast<const std::uint8_t*>(sent.constData() + i);
            if (g[0] & 0x40) {
                const std::uint32_t count =
                    std::uint32_t{g[1]} | (std::uint32_t{g[2]} << 7) | (std::uint32_t{g[3]} << 14) |
                    (std::uint32_t{g[4]} << 21) | (std::uint32_t{g[5] & 0x0Fu} << 28);
                step.replyBytes += replySize(count);
            }
        }
        steps.push_back(step);
    }
    return steps;
}

#ifdef _WIN32
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
void closeSocket(SocketHandle s) {
    ::closesocket(s);
}
#else
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
void closeSocket(SocketHandle s) {
    ::close(s);
}
#endif

double runBlocking(quint16 port, const std::vector<Step>& steps, int records) {
#ifdef _WIN32
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return -1;
    struct Cleanup {
        ~Cleanup() { ::WSACleanup(); }
    } cleanup;
#endif
    const SocketHandle fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd == kNoSocket)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closeSocket(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    std::vector<char> buf(1 << 17);
    const auto start = Clock::now();
    for (int r = 0; r < records; ++r) {
        for (const Step& s : steps) {
            if (::send(fd, s.request.constData(), static_cast<int>(s.request.size()), 0) !=
                s.request.size()) {
                closeSocket(fd);
                return -1;
            }
            int got = 0;
            while (got < s.replyBytes) {
                const auto n = ::recv(fd, buf.data(), static_cast<int>(buf.size()), 0);
                if (n <= 0) {
                    closeSocket(fd);
                    return -1;
                }
                got += static_cast<int>(n);
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    closeSocket(fd);
    return seconds;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

    // The simulator runs on a thread of its own, so that the blocking client can wait on it.
    QThread simThread;
    simThread.start();
    QObject anchor;
    anchor.moveToThread(&simThread);
    auto model = std::make_shared<vqx::sim::ModuleModel>(vqx::sim::ModuleModel::Variant::V1);
    vqx::sim::ModuleServer* server = nullptr;
    quint16 port = 0;
    QMetaObject::invokeMethod(
        &anchor,
        [&] {
            server = new vqx::sim::ModuleServer(model);
            if (server->listen(QHostAddress::LocalHost, 0))
                port = server->port();
        },
        Qt::BlockingQueuedConnection);
    if (port == 0) {
        std::fprintf(stderr, "bench: the simulator could not listen\n");
        return 1;
    }

    CModuleSocket link;
    QList<QByteArray> sends;
    int readRequests = 0;
    link.SetTrace([&](bool out, const QByteArray& bytes) {
        if (out)
            sends.append(bytes);
    });
    link.ConnectTo(0x7F000001, port);
    while (!link.IsConnected())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    const vqx::RecordBytes record =
        vqx::NetworkRecord{0xC0A80101, 0xFFFFFF00, 0xC0A80114}.toBytes();
    auto transfer = [&]() -> bool {
        for (int i = 0; i < vqx::kRecordSize; ++i)
            if (link.WriteEeprom(std::uint16_t(6 + i), &record[std::size_t(i)], 1) != 0)
                return false;
        vqx::RecordBytes back{};
        for (int i = 0; i < vqx::kRecordSize; ++i)
            if (link.ReadEeprom(std::uint16_t(6 + i), &back[std::size_t(i)], 1) != 0)
                return false;
        return back == record;
    };

    // One transfer to learn the exchange, then the timed runs.
    if (!transfer()) {
        std::fprintf(stderr, "bench: the record transfer failed\n");
        return 1;
    }
    const std::vector<Step> steps = stepsFrom(sends);
    link.SetTrace({});
    for (const Step& s : steps)
        if (s.replyBytes > 0)
            ++readRequests;

    const auto start = Clock::now();
    for (int r = 0; r < records; ++r)
        if (!transfer()) {
            std::fprintf(stderr, "bench: the record transfer failed\n");
            return 1;
        }
    const double linkSeconds = std::chrono::duration<double>(Clock::now() - start).count();

    const double floorSeconds = runBlocking(port, steps, records);
    if (floorSeconds < 0) {
        std::fprintf(stderr, "bench: the blocking client failed\n");
        return 1;
    }

    const double trips = double(records) * readRequests;
    std::printf("records (each written and read back): %d, round trips per record: %d\n", records,
                readRequests);
    std::printf("link    : %8.1f us per record, %6.1f us per round trip\n",
                linkSeconds * 1e6 / records, linkSeconds * 1e6 / trips);
    std::printf("blocking: %8.1f us per record, %6.1f us per round trip\n",
                floorSeconds * 1e6 / records, floorSeconds * 1e6 / trips);
    std::printf("ratio link / blocking: %.2f\n", linkSeconds / floorSeconds);

    QMetaObject::invokeMethod(
        &anchor, [&] { delete server; }, Qt::BlockingQueuedConnection);
    simThread.quit();
    simThread.wait();
    return 0;
}
