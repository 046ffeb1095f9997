#pragma once
// What vqx250-ipconfig prints: results on stdout, as text or JSON, and messages, -v traces
// and the progress of USB transfers on stderr. The module sessions of a plan report from
// their threads, so everything goes through one Console and its lock.

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "ApplyEngine.h"
#include "ModuleTarget.h"
#include "NetworkRecord.h"
#include "Scan.h"
#include "Tool.h"

namespace vqx::cli {

class Console {
public:
    Console(ToolIo io, bool json, int verbose)
        : m_io(std::move(io)), m_json(json), m_verbose(verbose) {}

    bool json() const { return m_json; }
    bool tracing() const { return m_verbose > 0; }
    /// Progress lines are shown on a terminal, and not with -v (whose trace lines say as much).
    bool showsProgress() const { return m_io.progress && m_verbose == 0; }

    /// "vqx250-ipconfig: <text>" on stderr.
    void message(const QString& text);
    /// A line on stderr with -v; nothing without.
    void trace(const QString& text);
    /// A line of the results.
    void print(const QString& text);
    void printJson(const QJsonDocument& doc);
    /// A JSON array of `count` objects, made one at a time by `item` and written as they are
    /// made (a plan's report need not exist whole in memory); the text is exactly that of
    /// printJson with the whole array.
    void printJsonArray(std::size_t count, const std::function<QJsonObject(std::size_t)>& item);
    /// Reports a failure: the message on stderr, and with --json an object on stdout. Returns
    /// the exit status.
    int fail(const vqx::provision::Outcome& o, const QString& target = {});

    /// The progress of one record transfer ("slot 2: reading 4/12 bytes"); empty unless it is
    /// a USB transfer and progress is shown.
    vqx::provision::Progress progressFor(const QString& target, bool usb, const char* verb);
    /// A progress line of its own (scan); the caller checks showsProgress().
    void showProgress(const std::string& text);
    /// Erases the progress line, if one stands; any other output does so first.
    void endProgress();

private:
    ToolIo m_io;
    bool m_json;
    int m_verbose;
    bool m_progressShown = false;
    std::recursive_mutex m_lock;
};

/// "(partly written: addresses 6 to 9)" for a write that stored the first `stored` bytes,
/// "(partly written: addresses 6 to 9, maybe 10)" when the next byte may be stored as well,
/// "(not written)" or "(not written, maybe address 6)" when none was stored for sure.
QString partlyWritten(int stored, int maybe);
/// "<target>: <text>", unless the text names the target already.
QString named(const QString& target, const QString& text);

/// read: the record.
void showRecord(Console& console, const NetworkRecord& record);

/// write: the old record beside what the module holds now as far as it is known.
struct WriteReport {
    QString target;
    NetworkRecord before;
    NetworkRecord written;
    std::optional<NetworkRecord> after; ///< read back
    vqx::provision::Outcome result;
    bool verify = true;
};
void showWrite(Console& console, const WriteReport& w);

/// slots: one slot of a hub, and its record with --records.
struct SlotReport {
    int slot = 0;
    int type = 0;
    bool withHub = false; ///< --hub all: the hub's number and serial number are shown
    int hub = 0;
    QString serial;
    bool withRecord = false; ///< --records
    std::optional<NetworkRecord> record;
    vqx::provision::Outcome failure; ///< why the record was not read
};
/// The line of the hub whose slots follow (--hub all, text only).
void showHubHeading(Console& console, int hub, const QString& serial);
QString slotLine(const SlotReport& slot);
QJsonObject slotJson(const SlotReport& slot);

/// apply: what the read phase found for one module ("no change", the differences or why
/// it failed).
QString readPhaseLine(const vqx::provision::ApplyItem& item);
/// apply: the report of every module and the closing count.
void showApplyReport(Console& console, const std::vector<vqx::provision::ApplyItem>& items,
                     bool dryRun, bool interrupted, int good);

/// scan: one line or object per module found.
void showScan(Console& console, const std::vector<vqx::provision::ScanHit>& hits);

} // namespace vqx::cli
