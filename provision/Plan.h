#pragma once
// A provisioning plan: many modules, each reached by host (Ethernet) or by hub slot (USB),
// with the network settings to write to it.
//
// CSV form: a header row names the columns, in any order and case: "host", "port"
// (optional), "slot", "ip", "mask", "gateway". "ip", "mask" and "gateway" are required,
// and at least one of "host" and "slot". Each following row fills exactly one of host and
// slot. Fields are separated by commas and trimmed; a field may be enclosed in double
// quotes (a doubled quote inside stands for one quote; quoted fields do not span lines).
// Empty lines and lines whose first non-blank character is '#' are skipped; any other line
// may take at most kMaxPlanLineBytes bytes. A UTF-8 byte order mark at the start is ignored.
//
//   host,port,slot,ip,mask,gateway
//   192.168.1.20,,,10.0.0.20,255.255.255.0,10.0.0.1
//   ,,3,10.0.0.23,255.255.255.0,10.0.0.1
//
// JSON form: an array of objects, or an object whose "modules" member is that array. Each
// object has "host" (string) or "slot" (number 1..6), optionally "port" (number, with
// "host" only), and "ip", "mask", "gateway" (dotted strings). Other keys are refused, so
// that a misspelt key does not go unnoticed.
//
//   [{"host": "192.168.1.20", "ip": "10.0.0.20", "mask": "255.255.255.0",
//     "gateway": "10.0.0.1"},
//    {"slot": 3, "ip": "10.0.0.23", "mask": "255.255.255.0", "gateway": "10.0.0.1"}]
//
// A plan must list at least one module and no module twice (the same host and port, or
// the same slot), and at most kMaxPlanModules modules in at most kMaxPlanBytes bytes.
//
// A plan is read in one pass: a CSV plan a line at a time, a JSON plan as a stream of events
// (a key, a string, the start of an object...), each entry checked as it ends. The first
// problem met ends the reading; the counts and the size are checked as the plan comes, so a
// plan too large is refused before much of it is held.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>

#include "NetworkRecord.h"

class QIODevice;

namespace vqx::provision {

struct PlanEntry {
    int origin = 0;         ///< CSV line number, or JSON entry number (from 1)
    std::uint32_t host = 0; ///< packed address; used when slot is 0
    std::uint16_t port = kModulePort;
    int slot = 0; ///< 1..6 as the user sees slots; 0 = reached by host
    NetworkRecord settings;

    bool bySlot() const { return slot != 0; }
    /// "192.168.1.20", "192.168.1.20:23101" (other port) or "slot 3".
    QString target() const;
};
static_assert(sizeof(PlanEntry) <= 32, "a few dozen bytes a module");

enum class PlanFormat { Auto, Csv, Json };

/// What a plan may hold; anything beyond is refused while it is read, before it can exhaust
/// the memory (`apply /dev/zero`, `yes | ... apply -`). Reading a plan at these bounds
/// peaks under 100 MB (bench/bench_plan: 20 MB for 200,000 CSV rows in 64 MiB; 80 MB for
/// JSON padded with 50 MB of blanks, which the JSON parser keeps with the token after them;
/// 190 MB for the worst refused plan, one JSON string of 64 MiB). The modules are bounded
/// by the run rather than by the reading: `apply` keeps 0.8 to 1.2 KB a module (its report,
/// and under --force its settings warnings), so 200,000 modules stay under 300 MB where a
/// million would take over 1 GB.
inline constexpr qint64 kMaxPlanBytes = qint64{64} * 1024 * 1024;
inline constexpr std::size_t kMaxPlanModules = 200000;
/// A CSV line other than a comment or a blank line (a module's row takes under 100 bytes).
inline constexpr int kMaxPlanLineBytes = 4096;

/// The bounds a plan is read with; smaller ones serve tests.
struct PlanLimits {
    qint64 bytes = kMaxPlanBytes;
    std::size_t modules = kMaxPlanModules;
};

/// Reads a plan from `in` (open for reading) to its end, in one pass. On failure returns
/// nothing and puts a message naming the line or entry into *error: the first problem met,
/// or that the plan is larger than limits.bytes, or that reading failed.
std::optional<std::vector<PlanEntry>> readPlan(QIODevice& in, PlanFormat format, QString* error,
                                               const PlanLimits& limits = {});

/// Parses a plan held in memory, as readPlan does.
std::optional<std::vector<PlanEntry>> parsePlan(const QByteArray& raw, PlanFormat format,
                                                QString* error);

/// Splits one CSV line into trimmed fields; nullopt (with *error set) on an unbalanced quote
/// or text after a closing quote.
std::optional<QStringList> splitCsvLine(const QString& line, QString* error);

} // namespace vqx::provision
