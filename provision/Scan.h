#pragma once
// Finding modules on a network: every address of the targets is probed on the module port,
// up to `jobs` at once, each on a thread of its own with its own event loop and socket.
//
// A probe is one connection attempt without the arp step (a scan would otherwise run the
// system's arp tool for every address): connect within the time limit, read the version
// register (the EEPROM controller variant), then the record. Every reply must come within
// the same limit. The connection is closed when the probe ends. An address whose connection
// fails, or whose peer does not answer the version read in the module's protocol, holds no
// module.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>

#include "EthernetTarget.h"
#include "NetworkRecord.h"

namespace vqx::provision {

/// first..last, inclusive.
struct AddressRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::uint64_t size() const { return std::uint64_t{last} - first + 1; }
};

/// "10.0.0.5", "10.0.0.10-10.0.0.60" or "192.168.1.0/24" (the whole block, its network and
/// broadcast addresses included). nullopt with *error set otherwise.
std::optional<AddressRange> parseScanTarget(const QString& text, QString* error);

/// The targets sorted and merged, so that no address is probed twice.
std::vector<AddressRange> mergeRanges(std::vector<AddressRange> ranges);
std::uint64_t addressCount(const std::vector<AddressRange>& ranges);

/// Blocks larger than a /16 are refused unless forced.
inline constexpr std::uint64_t kLargestScan = 65536;

struct ScanHit {
    std::uint32_t address = 0;
    int variant = 0;
    std::optional<NetworkRecord> record; ///< nullopt when the record read failed
    Outcome failure;                     ///< why the record could not be read
    /// The record's IP is not the address the module answered on: settings written but not
    /// in effect until the module restarts, or a misconfigured module.
    bool differs() const { return record && record->ip != address; }
};

struct ScanOptions {
    int jobs = 64;
    int connectTimeoutMs = 300;
    std::uint16_t port = kModulePort;
};

struct ScanHooks {
    Diagnostics diagnostics; ///< called on any thread
    /// scanModules: called on the calling thread about ten times a second and at the end.
    std::function<void(std::uint64_t done, std::uint64_t total, int found)> progress;
};

/// A scan being run: `jobs` threads probe one address at a time each (so at most `jobs`
/// connections are open at once). It lives on the thread that made it, and every signal is
/// emitted there. stop() (any thread) starts no further probe; probes in flight end within
/// their time limit. Destroying a running scan stops it and waits for its probes.
class ScanRun : public QObject {
    Q_OBJECT
public:
    ScanRun(const std::vector<AddressRange>& targets, ScanOptions options, ScanHooks hooks,
            QObject* parent = nullptr);
    ~ScanRun() override;

    void start();
    void stop();
    bool running() const { return m_started && !m_finished; }
    bool stopped() const { return m_stop.load(); }
    std::uint64_t total() const { return m_total; }
    /// The modules found; in address order once finished.
    const std::vector<ScanHit>& hits() const { return m_hits; }

signals:
    void found(const vqx::provision::ScanHit& hit);
    /// About ten times a second, and once at the end.
    void progress(quint64 done, quint64 total, int found);
    void finished();

private:
    void threadEnded();

    std::vector<AddressRange> m_ranges;
    ScanOptions m_o;
    ScanHooks m_h;
    std::uint64_t m_total = 0;
    std::vector<ScanHit> m_hits;
    std::vector<std::unique_ptr<QThread>> m_pool;
    QTimer m_ticker;
    int m_running = 0;
    bool m_started = false;
    bool m_finished = false;
    std::atomic<std::uint64_t> m_next{0};
    std::atomic<std::uint64_t> m_done{0};
    std::atomic<bool> m_stop{false};
};

/// Probes every address of the targets (merged first) on the calling thread's event loop;
/// the hits come back in address order.
std::vector<ScanHit> scanModules(const std::vector<AddressRange>& targets,
                                 const ScanOptions& options, const ScanHooks& hooks);

} // namespace vqx::provision
