#include "SlotTarget.h"

#include "CUsbHub.h"
#include "ModuleTypes.h"
#include "RecordTransfer.h"
#include "TargetLock.h"

namespace vqx::provision {

using vqx::usb::kSlotCount;

SlotTarget::SlotTarget(HubSession& session, int slot) : m_session(session), m_slot(slot) {}

QString SlotTarget::name() const {
    return QStringLiteral("slot %1").arg(m_slot);
}

Outcome SlotTarget::open() {
    if (m_slot < 1 || m_slot > kSlotCount)
        return Outcome::fail(Exit::Usage,
                             QStringLiteral("slot %1 does not exist (1 to 6)").arg(m_slot));
    if (Outcome o = m_session.open(); !o.ok())
        return o;
    std::array<int, 6> codes{};
    if (Outcome o = m_session.readSlotTypes(codes); !o.ok())
        return o;
    m_type = codes[static_cast<std::size_t>(m_slot - 1)];
    if (m_type == 0)
        return Outcome::fail(
            Exit::Unreachable,
            QStringLiteral("%1 of %2 holds no module").arg(name(), m_session.name()));
    return {};
}

Outcome SlotTarget::lockKey(QString& key) {
    // The hub is opened first, for its serial number: the same module whatever its number.
    if (Outcome o = m_session.open(); !o.ok())
        return o;
    key = slotLockKey(m_session.lockName(), m_slot);
    return {};
}

Outcome SlotTarget::readRecord(NetworkRecord& record, const Progress& progress) {
    return vqx::provision::readRecord(m_session.hub(), m_slot - 1, name(), record, progress);
}

Outcome SlotTarget::writeRecord(const NetworkRecord& record, const Progress& progress) {
    return vqx::provision::writeRecord(m_session.hub(), m_slot - 1, name(), record, progress);
}

} // namespace vqx::provision
