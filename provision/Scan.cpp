#include "Scan.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include "SessionThread.h"

namespace vqx::provision {

std::optional<AddressRange> parseScanTarget(const QString& text, QString* error) {
    const auto fail = [&](const QString& why) -> std::optional<AddressRange> {
        *error = QStringLiteral("'%1' %2").arg(text, why);
        return std::nullopt;
    };
    if (const auto slash = text.indexOf(QLatin1Char('/')); slash >= 0) {
        const auto base = parseAddress(text.left(slash));
        const QString bits = text.mid(slash + 1);
        bool ok = false;
        const int prefix = bits.toInt(&ok);
        if (!base || !ok || prefix < 0 || prefix > 32 || bits.isEmpty() ||
            !std::all_of(bits.begin(), bits.end(), [](QChar c) { return c.isDigit(); }))
            return fail(QStringLiteral("is not a block ADDRESS/BITS (BITS 0 to 32)"));
        const std::uint32_t mask = prefix == 0 ? 0u : ~std::uint32_t{0} << (32 - prefix);
        return AddressRange{*base & mask, (*base & mask) | ~mask};
    }
    if (const auto dash = text.indexOf(QLatin1Char('-')); dash >= 0) {
        const auto first = parseAddress(text.left(dash));
        const auto last = parseAddress(text.mid(dash + 1));
        if (!first || !last)
            return fail(QStringLiteral("is not a range FIRST-LAST of dotted IPv4 addresses"));
        if (*last < *first)
            return fail(QStringLiteral("ends before it starts"));
        return AddressRange{*first, *last};
    }
    const auto one = parseAddress(text);
    if (!one)
        return fail(QStringLiteral(
            "is not an address, a range (10.0.0.10-10.0.0.60) or a block (192.168.1.0/24)"));
    return AddressRange{*one, *one};
}

std::vector<AddressRange> mergeRanges(std::vector<AddressRange> ranges) {
    std::sort(ranges.begin(), ranges.end(),
              [](const AddressRange& a, const AddressRange& b) { return a.first < b.first; });
    std::vector<AddressRange> out;
    for (const AddressRange& r : ranges) {
        if (!out.empty() && std::uint64_t{r.first} <= std::uint64_t{out.back().last} + 1)
            out.back().last = std::max(out.back().last, r.last);
        else
            out.push_back(r);
    }
    return out;
}

std::uint64_t addressCount(const std::vector<AddressRange>& ranges) {
    std::uint64_t n = 0;
    for (const AddressRange& r : ranges)
        n += r.size();
    return n;
}

namespace {

constexpr int kProgressMs = 100;

/// One probe; true when a module answered (the hit is filled).
bool probe(std::uint32_t address, const ScanOptions& o, const Diagnostics& diag,
           const std::atomic<bool>* stop, ScanHit& hit) {
    ConnectTiming timing;
    timing.timeoutSeconds = o.connectTimeoutMs / 1000.0;
    timing.runArp = false;
    timing.arpPauseMs = 0;
    timing.cycleMs = o.connectTimeoutMs;
    timing.maxAttempts = 1;
    timing.replyWaitMs = o.connectTimeoutMs;
    Diagnostics quiet;
    quiet.trace = diag.trace;
    quiet.warn = diag.trace; // a peer that does not speak the protocol is no news in a scan
    EthernetTarget target(address, o.port, timing, quiet);
    target.setStop(stop);
    if (Outcome opened = target.open(); !opened.ok()) {
        if (diag.trace)
            diag.trace(QStringLiteral("%1: no module (%2)").arg(target.name(), opened.message));
        return false;
    }
    hit.address = address;
    hit.variant = target.variant();
    NetworkRecord record;
    if (Outcome read = target.readRecord(record, {}); read.ok())
        hit.record = record;
    else
        hit.failure = read;
    return true;
}

} // namespace

ScanRun::ScanRun(const std::vector<AddressRange>& targets, ScanOptions options, ScanHooks hooks,
                 QObject* parent)
    : QObject(parent), m_ranges(mergeRanges(targets)), m_o(options), m_h(std::move(hooks)),
      m_total(addressCount(m_ranges)) {
    connect(&m_ticker, &QTimer::timeout, this,
            [this] { emit progress(m_done.load(), m_total, static_cast<int>(m_hits.size())); });
}

ScanRun::~ScanRun() {
    m_stop = true;
    for (auto& thread : m_pool)
        thread->wait();
}

void ScanRun::start() {
    if (m_started)
        return;
    m_started = true;
    const auto addressAt = [this](std::uint64_t index) {
        for (const AddressRange& r : m_ranges) {
            if (index < r.size())
                return static_cast<std::uint32_t>(r.first + index);
            index -= r.size();
        }
        return std::uint32_t{0};
    };
    const auto work = [this, addressAt] {
        while (!m_stop) {
            const std::uint64_t index = m_next.fetch_add(1);
            if (index >= m_total)
                return;
            ScanHit hit;
            if (probe(addressAt(index), m_o, m_h.diagnostics, &m_stop, hit))
                postTo(this, [this, hit] {
                    m_hits.push_back(hit);
                    emit found(hit);
                });
            ++m_done;
        }
    };
    const std::uint64_t threads =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(std::max(1, m_o.jobs)), m_total);
    for (std::uint64_t t = 0; t < threads; ++t) {
        // QThread::create runs the function inside a thread with an event dispatcher of its
        // own, which the link's waits use.
        m_pool.emplace_back(QThread::create(work));
        connect(m_pool.back().get(), &QThread::finished, this, &ScanRun::threadEnded);
    }
    m_running = static_cast<int>(threads);
    for (auto& thread : m_pool)
        thread->start();
    if (threads == 0) {
        QTimer::singleShot(0, this, [this] {
            m_running = 1;
            threadEnded();
        });
        return;
    }
    m_ticker.start(kProgressMs);
}

void ScanRun::stop() {
    m_stop = true;
}

void ScanRun::threadEnded() {
    if (--m_running > 0)
        return;
    m_ticker.stop();
    for (auto& thread : m_pool)
        thread->wait();
    m_pool.clear();
    std::sort(m_hits.begin(), m_hits.end(),
              [](const ScanHit& a, const ScanHit& b) { return a.address < b.address; });
    m_finished = true;
    emit progress(m_done.load(), m_total, static_cast<int>(m_hits.size()));
    emit finished();
}

std::vector<ScanHit> scanModules(const std::vector<AddressRange>& targets,
                                 const ScanOptions& options, const ScanHooks& hooks) {
    ScanRun run(targets, options, hooks);
    QEventLoop loop;
    QObject::connect(&run, &ScanRun::finished, &loop, &QEventLoop::quit);
    if (hooks.progress)
        QObject::connect(&run, &ScanRun::progress, &loop,
                         [&hooks](quint64 done, quint64 total, int found) {
                             hooks.progress(done, total, found);
                         });
    run.start();
    loop.exec();
    return run.hits();
}

} // namespace vqx::provision
