#include "FleetModel.h"

#include <algorithm>
#include <limits>

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QIcon>
#include <QStyle>

#include "PlanWriter.h"
#include "UserText.h"
#include "Validation.h"

namespace vqx::fleet {

using vqx::provision::PlanEntry;

namespace {

constexpr std::array<const char*, 3> kFieldNames = {"ip", "mask", "gateway"};

quint64 hostKey(std::uint32_t host, std::uint16_t port) {
    return (quint64{host} << 16) | port;
}

int slotKey(int hub, int slot) {
    return hub * 8 + slot;
}

std::uint32_t recordField(const NetworkRecord& r, int field) {
    return field == 0 ? r.ip : field == 1 ? r.mask : r.gateway;
}

} // namespace

QString FleetRow::target() const {
    if (bySlot())
        return QStringLiteral("hub %1 slot %2").arg(hub).arg(slot);
    if (port == kModulePort)
        return formatAddress(host);
    return QStringLiteral("%1:%2").arg(formatAddress(host)).arg(port);
}

bool FleetRow::marked() const {
    return !duplicate.isEmpty() || std::any_of(problems.begin(), problems.end(),
                                               [](const QString& p) { return !p.isEmpty(); });
}

int FleetModel::plannedField(int column) {
    return column >= PlannedIp && column <= PlannedGateway ? column - PlannedIp : -1;
}

FleetModel::FleetModel(QObject* parent) : QAbstractTableModel(parent) {}

int FleetModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : size();
}

int FleetModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant FleetModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    static const std::array<const char*, ColumnCount> titles = {
        "Target",       "Module",          "IP",    "Mask", "Gateway", "Differs", "Planned IP",
        "Planned mask", "Planned gateway", "Status"};
    if (role == Qt::DisplayRole && section >= 0 && section < ColumnCount)
        return QString::fromLatin1(titles[static_cast<std::size_t>(section)]);
    if (role == Qt::ToolTipRole && section == Differs)
        return QStringLiteral("Marked where the record's IP is not the address the module "
                              "answered on");
    return {};
}

QString FleetModel::display(const FleetRow& row, int column) const {
    switch (column) {
    case Target:
        return row.target();
    case Module:
        return row.module;
    case Ip:
    case Mask:
    case Gateway:
        return row.current ? formatAddress(recordField(*row.current, column - Ip)) : QString();
    case Differs:
        return row.differs ? QStringLiteral("\u2260") : QString();
    case PlannedIp:
    case PlannedMask:
    case PlannedGateway:
        return row.planned[static_cast<std::size_t>(column - PlannedIp)];
    case Status:
        return row.status;
    default:
        return {};
    }
}

QVariant FleetModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= size())
        return {};
    const FleetRow& r = row(index.row());
    const int column = index.column();
    const int field = plannedField(column);
    QString problem;
    if (field >= 0) {
        problem = r.problems[static_cast<std::size_t>(field)];
        if (field == 0 && !r.duplicate.isEmpty())
            problem += (problem.isEmpty() ? QString() : QStringLiteral("\n")) + r.duplicate;
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return display(r, column);
    case Qt::ToolTipRole:
        if (field >= 0)
            return problem.isEmpty() ? QVariant() : QVariant(problem);
        if (column == Differs && r.differs)
            return QStringLiteral("The record's IP %1 is not the address the module answered "
                                  "on: written but not in effect until the module restarts, or "
                                  "a misconfigured module")
                .arg(formatAddress(r.current->ip));
        if (column == Status && !r.status.isEmpty())
            return r.status;
        return {};
    case Qt::AccessibleTextRole:
        if (column == Differs)
            return r.differs ? QStringLiteral("differs") : QString();
        return {};
    case Qt::AccessibleDescriptionRole:
        return problem.isEmpty() ? QVariant() : QVariant(problem);
    case Qt::BackgroundRole:
        if (!problem.isEmpty())
            return QBrush(QColor(255, 214, 214));
        return {};
    case Qt::ForegroundRole:
        if (!problem.isEmpty() || (column == Status && r.state == RowState::Failed))
            return QBrush(QColor(150, 0, 0));
        return {};
    case Qt::DecorationRole:
        if (!problem.isEmpty())
            return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
        return {};
    case MarkedRole:
        return !problem.isEmpty();
    case SortRole:
        switch (column) {
        case Target:
            return r.bySlot() ? (quint64{1} << 48) | quint64(slotKey(r.hub, r.slot))
                              : hostKey(r.host, r.port);
        case Ip:
        case Mask:
        case Gateway:
            return r.current ? qulonglong(recordField(*r.current, column - Ip))
                             : qulonglong(std::numeric_limits<quint64>::max());
        case PlannedIp:
        case PlannedMask:
        case PlannedGateway:
            if (const auto a = parseAddress(r.planned[static_cast<std::size_t>(field)]))
                return qulonglong(*a);
            return qulonglong(std::numeric_limits<quint64>::max());
        default:
            return display(r, column);
        }
    default:
        return {};
    }
}

Qt::ItemFlags FleetModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (plannedField(index.column()) >= 0 && !row(index.row()).emptySlot())
        f |= Qt::ItemIsEditable;
    return f;
}

bool FleetModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const int field = plannedField(index.column());
    if (role != Qt::EditRole || field < 0 || !(flags(index) & Qt::ItemIsEditable))
        return false;
    std::array<QString, 3> planned = row(index.row()).planned;
    planned[static_cast<std::size_t>(field)] = value.toString().trimmed();
    setPlanned(index.row(), planned);
    return true;
}

int FleetModel::hostRow(std::uint32_t host, std::uint16_t port) {
    const quint64 key = hostKey(host, port);
    if (const auto it = m_hostIndex.constFind(key); it != m_hostIndex.constEnd())
        return *it;
    FleetRow row;
    row.host = host;
    row.port = port;
    m_hostIndex.insert(key, size());
    return appendRow(row);
}

int FleetModel::slotRow(int hub, int slot) {
    const int key = slotKey(hub, slot);
    if (const auto it = m_slotIndex.constFind(key); it != m_slotIndex.constEnd())
        return *it;
    FleetRow row;
    row.hub = hub;
    row.slot = slot;
    m_slotIndex.insert(key, size());
    return appendRow(row);
}

int FleetModel::appendRow(const FleetRow& row) {
    const int r = size();
    beginInsertRows({}, r, r);
    m_rows.push_back(row);
    endInsertRows();
    return r;
}

void FleetModel::setFound(int r, const QString& module, int typeCode,
                          const std::optional<NetworkRecord>& current, bool differs,
                          const QString& failure) {
    FleetRow& row = m_rows[static_cast<std::size_t>(r)];
    row.module = module;
    row.typeCode = typeCode;
    row.current = current;
    row.differs = differs;
    row.state = RowState::Idle;
    if (row.emptySlot())
        row.status = QStringLiteral("empty slot");
    else if (!current)
        row.status = QStringLiteral("record not read: %1").arg(failure);
    else
        row.status = QStringLiteral("found");
    if (row.emptySlot())
        row.planned = {}; // nothing can be written there
    revalidate(r);
    cellsChanged(r, Module, Status);
    recheckDuplicates();
    emit planChanged();
}

void FleetModel::setCurrent(int r, const NetworkRecord& current) {
    FleetRow& row = m_rows[static_cast<std::size_t>(r)];
    if (row.current == current)
        return;
    row.current = current;
    row.differs = !row.bySlot() && current.ip != row.host;
    markDirty(r);
}

void FleetModel::markDirty(int r) {
    m_dirtyFirst = m_dirtyFirst < 0 ? r : std::min(m_dirtyFirst, r);
    m_dirtyLast = std::max(m_dirtyLast, r);
}

void FleetModel::revalidate(int r) {
    FleetRow& row = m_rows[static_cast<std::size_t>(r)];
    row.problems = {};
    row.plan.reset();
    const bool any = std::any_of(row.planned.begin(), row.planned.end(),
                                 [](const QString& t) { return !t.isEmpty(); });
    if (!any)
        return;
    std::array<std::uint32_t, 3> values{};
    bool complete = true;
    for (std::size_t f = 0; f < 3; ++f) {
        const QString& text = row.planned[f];
        if (text.isEmpty()) {
            row.problems[f] = QStringLiteral("%1 is missing").arg(QLatin1String(kFieldNames[f]));
            complete = false;
        } else if (const auto a = parseAddress(text)) {
            values[f] = *a;
        } else {
            row.problems[f] = QStringLiteral("%1 '%2' is not a dotted IPv4 address")
                                  .arg(QLatin1String(kFieldNames[f]), vqx::provision::shown(text));
            complete = false;
        }
    }
    if (!complete)
        return;
    NetworkRecord plan;
    plan.ip = values[0];
    plan.mask = values[1];
    plan.gateway = values[2];
    row.plan = plan;
    for (const vqx::provision::Violation& v : vqx::provision::checkSettings(plan)) {
        const auto f = static_cast<std::size_t>(
            std::find(kFieldNames.begin(), kFieldNames.end(), v.field.toStdString()) -
            kFieldNames.begin());
        if (f >= 3)
            continue;
        QString& text = row.problems[f];
        text += (text.isEmpty() ? QString() : QStringLiteral("\n")) + v.message;
    }
}

void FleetModel::recheckDuplicates() {
    if (m_batch > 0)
        return;
    QHash<std::uint32_t, QStringList> byIp;
    for (const FleetRow& row : m_rows)
        if (row.plan)
            byIp[row.plan->ip] << row.target();
    for (int r = 0; r < size(); ++r) {
        FleetRow& row = m_rows[static_cast<std::size_t>(r)];
        QString duplicate;
        if (row.plan) {
            QStringList others = byIp.value(row.plan->ip);
            if (others.size() > 1) {
                others.removeOne(row.target());
                duplicate =
                    QStringLiteral("ip %1 is also planned for %2")
                        .arg(formatAddress(row.plan->ip), others.join(QStringLiteral(", ")));
            }
        }
        if (duplicate != row.duplicate) {
            row.duplicate = duplicate;
            cellsChanged(r, PlannedIp, PlannedIp);
        }
    }
}

void FleetModel::cellsChanged(int r, int firstColumn, int lastColumn) {
    emit dataChanged(index(r, firstColumn), index(r, lastColumn));
}

void FleetModel::setPlanned(int r, const std::array<QString, 3>& planned) {
    FleetRow& row = m_rows[static_cast<std::size_t>(r)];
    if (row.planned == planned || row.emptySlot())
        return;
    row.planned = planned;
    revalidate(r);
    cellsChanged(r, PlannedIp, PlannedGateway);
    if (m_batch == 0) {
        recheckDuplicates();
        emit planChanged();
    }
}

int FleetModel::fill(const std::vector<int>& rows, std::uint32_t start, std::uint32_t mask,
                     std::uint32_t gateway) {
    ++m_batch;
    int planned = 0;
    std::uint64_t ip = start;
    for (const int r : rows) {
        if (row(r).emptySlot())
            continue;
        if (ip > 0xFFFFFFFFu)
            break;
        setPlanned(r, {formatAddress(static_cast<std::uint32_t>(ip)), formatAddress(mask),
                       formatAddress(gateway)});
        ++ip;
        ++planned;
    }
    --m_batch;
    recheckDuplicates();
    emit planChanged();
    return planned;
}

void FleetModel::clearPlanned(const std::vector<int>& rows) {
    ++m_batch;
    for (const int r : rows)
        if (!row(r).emptySlot())
            setPlanned(r, {});
    --m_batch;
    recheckDuplicates();
    emit planChanged();
}

std::vector<int> FleetModel::mergePlan(const std::vector<PlanEntry>& entries) {
    std::vector<int> rows;
    rows.reserve(entries.size());
    ++m_batch;
    for (const PlanEntry& e : entries) {
        const int r = e.bySlot() ? slotRow(0, e.slot) : hostRow(e.host, e.port);
        setPlanned(r, {formatAddress(e.settings.ip), formatAddress(e.settings.mask),
                       formatAddress(e.settings.gateway)});
        rows.push_back(r);
    }
    --m_batch;
    recheckDuplicates();
    emit planChanged();
    return rows;
}

std::optional<PlanEntry> FleetModel::entryFor(int r) const {
    const FleetRow& row = this->row(r);
    if (!row.plan || row.emptySlot())
        return std::nullopt;
    PlanEntry e;
    e.origin = r + 1;
    if (row.bySlot()) {
        e.slot = row.slot;
    } else {
        e.host = row.host;
        e.port = row.port;
    }
    e.settings = *row.plan;
    return e;
}

std::vector<PlanEntry> FleetModel::planEntries(const std::vector<int>& rows,
                                               QStringList* skipped) const {
    std::vector<PlanEntry> out;
    for (const int r : rows) {
        const FleetRow& row = this->row(r);
        const auto e = entryFor(r);
        if (!e) {
            if (skipped && std::any_of(row.planned.begin(), row.planned.end(),
                                       [](const QString& t) { return !t.isEmpty(); }))
                *skipped << QStringLiteral("%1: the plan is incomplete").arg(row.target());
            continue;
        }
        if (row.bySlot() && row.hub != 0) {
            if (skipped)
                *skipped
                    << QStringLiteral("%1: a plan names the slots of hub 0 only").arg(row.target());
            continue;
        }
        out.push_back(*e);
    }
    return out;
}

void FleetModel::setStatus(int r, RowState state, const QString& status) {
    FleetRow& row = m_rows[static_cast<std::size_t>(r)];
    if (row.state == state && row.status == status)
        return;
    row.state = state;
    row.status = status;
    markDirty(r);
}

void FleetModel::flushStatus() {
    if (m_dirtyFirst < 0)
        return;
    const int first = m_dirtyFirst;
    const int last = m_dirtyLast;
    m_dirtyFirst = m_dirtyLast = -1;
    emit dataChanged(index(first, Ip), index(last, Status));
}

QString FleetModel::rowsCsv(const std::vector<int>& rows) const {
    QStringList header;
    for (int c = 0; c < ColumnCount; ++c)
        header << headerData(c, Qt::Horizontal).toString();
    QString out = vqx::provision::csvLine(header) + QLatin1Char('\n');
    for (const int r : rows) {
        QStringList fields;
        for (int c = 0; c < ColumnCount; ++c)
            fields << (c == Differs ? (row(r).differs ? QStringLiteral("yes") : QString())
                                    : display(row(r), c));
        out += vqx::provision::csvLine(fields) + QLatin1Char('\n');
    }
    return out;
}

} // namespace vqx::fleet
