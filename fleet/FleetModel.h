#pragma once
// The table of the fleet window: one row per module, found by a scan, read from a hub or
// named by a plan, with what the module holds, what is planned for it and how its last run
// went.
//
// Planned values are kept as the user typed them. A row is planned when all three parse as
// dotted addresses; the core's settings check (checkSettings) runs on every change, and a
// planned value that fails it is marked with the reason, as is a planned IP that another row
// plans too, or a value that is not an address. Marked rows are applied only when the user
// allows it for the whole run.
//
// Rows are only ever added (a scan or a plan names a module that is in the table already:
// that row is updated), so a row's number is stable for a run; the view sorts through a
// proxy. Status changes during a run are collected and announced at most every few tens of
// milliseconds (flushStatus), so that a thousand rows updating do not flood the view.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include <QAbstractTableModel>
#include <QHash>
#include <QString>
#include <QStringList>

#include "NetworkRecord.h"
#include "Plan.h"

namespace vqx::fleet {

/// Where a row stands after its last operation; chooses the row for "Select failed".
enum class RowState {
    Idle,    ///< nothing has run on it (or only a scan or hub read)
    Running, ///< queued or in a run
    Ok,      ///< written and verified
    Unchanged,
    WouldChange,
    Failed, ///< the run (or the read) failed for this module
    Interrupted,
    NotStarted,
};

struct FleetRow {
    // Identity: a module by host and port, or the module in a hub's slot.
    std::uint32_t host = 0;
    std::uint16_t port = kModulePort;
    int hub = -1; ///< -1: reached by host; else the hub's number (from 0)
    int slot = 0; ///< 1..6 with a hub

    QString module;    ///< "variant 2", "Oscilloscope", ...; empty while unknown
    int typeCode = -1; ///< slot type; 0 for an empty slot
    std::optional<NetworkRecord> current;
    bool differs = false; ///< the record's IP is not the address the module answered on

    std::array<QString, 3> planned; ///< ip, mask, gateway as typed

    RowState state = RowState::Idle;
    QString status;

    // Derived from `planned` by the model.
    std::optional<NetworkRecord> plan; ///< all three parse
    std::array<QString, 3> problems;   ///< why each planned value is marked; empty: fine
    QString duplicate;                 ///< the other rows that plan the same IP

    bool bySlot() const { return hub >= 0; }
    bool emptySlot() const { return bySlot() && typeCode == 0; }
    /// "127.0.10.4", "127.0.10.4:23101" or "hub 0 slot 3".
    QString target() const;
    bool marked() const;
};

class FleetModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        Target,
        Module,
        Ip,
        Mask,
        Gateway,
        Differs,
        PlannedIp,
        PlannedMask,
        PlannedGateway,
        Status,
        ColumnCount
    };
    enum Role {
        SortRole = Qt::UserRole, ///< a key that sorts addresses by number
        MarkedRole,              ///< bool: the cell holds a marked planned value
    };
    /// The field (0 ip, 1 mask, 2 gateway) of a planned column, or -1.
    static int plannedField(int column);

    explicit FleetModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    const FleetRow& row(int r) const { return m_rows[static_cast<std::size_t>(r)]; }
    int size() const { return static_cast<int>(m_rows.size()); }

    /// The row of a module by host (port) or by hub and slot, added when missing.
    int hostRow(std::uint32_t host, std::uint16_t port);
    int slotRow(int hub, int slot);
    /// What a scan or a hub read found; `failure` explains a record that could not be read.
    void setFound(int r, const QString& module, int typeCode,
                  const std::optional<NetworkRecord>& current, bool differs,
                  const QString& failure);

    /// What a run read from the module (before writing, or read back after): the row's
    /// record, and its mark where the IP is not the address the module answered on (as a
    /// module's is once a new IP is written, until it restarts).
    void setCurrent(int r, const NetworkRecord& current);
    /// Sets the planned texts of a row (any of them may be empty).
    void setPlanned(int r, const std::array<QString, 3>& planned);
    /// Consecutive IPs from `start` for the rows in the order given, one mask and gateway for
    /// all; empty slots are skipped. Returns the rows planned.
    int fill(const std::vector<int>& rows, std::uint32_t start, std::uint32_t mask,
             std::uint32_t gateway);
    /// Clears the planned values of the rows.
    void clearPlanned(const std::vector<int>& rows);
    /// Takes a plan into the table: each entry's row (added when missing; a slot is hub 0's,
    /// as in the tool) gets the entry's settings. Returns the rows touched, in plan order.
    std::vector<int> mergePlan(const std::vector<vqx::provision::PlanEntry>& entries);
    /// The plan entry of a planned row (a slot by its number alone: the hub is the caller's
    /// business); nothing for a row that is not planned.
    std::optional<vqx::provision::PlanEntry> entryFor(int r) const;
    /// The plan of the rows as a plan file holds it: planned rows reached by host, and slots
    /// of hub 0 (a plan names a slot by its number alone, on the tool's default hub). The
    /// rows left out are named in *skipped with the reason.
    std::vector<vqx::provision::PlanEntry> planEntries(const std::vector<int>& rows,
                                                       QStringList* skipped = nullptr) const;

    /// Status of a row; the view hears of it (and of setCurrent) at the next flushStatus().
    void setStatus(int r, RowState state, const QString& status);
    void flushStatus();

    /// The rows as CSV: a header of the column titles, then one line per row.
    QString rowsCsv(const std::vector<int>& rows) const;

signals:
    /// The set of marked rows or of planned rows may have changed.
    void planChanged();

private:
    /// Appends a row (its index entry already made) and returns its number.
    int appendRow(const FleetRow& row);
    void revalidate(int r);
    void recheckDuplicates();
    void cellsChanged(int r, int firstColumn, int lastColumn);
    /// Announced at the next flushStatus().
    void markDirty(int r);
    QString display(const FleetRow& row, int column) const;

    std::vector<FleetRow> m_rows;
    QHash<quint64, int> m_hostIndex; ///< (host << 16 | port) -> row
    QHash<int, int> m_slotIndex;     ///< hub * 8 + slot -> row
    int m_dirtyFirst = -1;
    int m_dirtyLast = -1;
    int m_batch = 0; ///< > 0 while a bulk change defers the duplicate check
};

} // namespace vqx::fleet
