#pragma once
// The module in one slot of a hub, as a target of the session core.

#include "HubSession.h"
#include "ModuleTarget.h"

namespace vqx::provision {

/// The module in one slot (1..6). open() reads the slot-type word and refuses an empty slot
/// (type 0) as unreachable; the transfers are the dialog's: ReadSlotEeprom/WriteSlotEeprom
/// one byte at a time, about 100 ms each.
class SlotTarget : public ModuleTarget {
public:
    SlotTarget(HubSession& session, int slot);
    QString name() const override;
    Outcome open() override;
    Outcome readRecord(NetworkRecord& record, const Progress& progress) override;
    Outcome writeRecord(const NetworkRecord& record, const Progress& progress) override;
    Outcome lockKey(QString& key) override;
    int typeCode() const { return m_type; }

private:
    HubSession& m_session;
    int m_slot;
    int m_type = -1;
};

} // namespace vqx::provision
