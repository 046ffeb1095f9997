#pragma once
// A provisioning plan: many modules, each reached by host (Ethernet) or by hub slot (USB),
// with the network settings to write to it.
//
// CSV form: a header row names the columns, in any order and case: "host", "port"
// (optional), "slot", "ip", "mask", "gateway". "ip", "mask" and "gateway" are required,
// and at least one of "host" and "slot". Each following row fills exactly one of host and
// slot. Fields are separated by commas and trimmed; a field may be enclosed in double
// quotes (a doubled quote inside stands for one quote; quoted fields do not span lines).
// Empty lines and lines whose first non-blank character is '#' are skipped. A UTF-8 byte
// order mark at the start is ignored.
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

#include <cstdint>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>

#include "NetworkRecord.h"

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

enum class PlanFormat { Auto, Csv, Json };

/// What a plan may hold. A plan of 200,000 modules takes about 17 MB; anything beyond these
/// is refused before it can exhaust the memory (`apply /dev/zero`, `yes | ... apply -`).
inline constexpr qint64 kMaxPlanBytes = qint64{64} * 1024 * 1024;
inline constexpr std::size_t kMaxPlanModules = 1000000;

/// Parses a plan. On failure returns nothing and puts a message naming the line or entry
/// into *error.
std::optional<std::vector<PlanEntry>> parsePlan(const QByteArray& raw, PlanFormat format,
                                                QString* error);

/// Splits one CSV line into trimmed fields; nullopt (with *error set) on an unbalanced quote
/// or text after a closing quote.
std::optional<QStringList> splitCsvLine(const QString& line, QString* error);

} // namespace vqx::provision
