#include "RecordTransfer.h"

#include "CModuleSocket.h"
#include "CUsbHub.h"

namespace vqx::provision {

namespace {

int asIs(int code) {
    return code;
}

} // namespace

Outcome withDriverError(const CUsbHub& hub, Outcome outcome) {
    const vqx::usb::D2xxDriver* driver = hub.Driver();
    if (!outcome.ok() && outcome.deviceCode > 0 && driver && !driver->lastError().empty())
        outcome.message += QStringLiteral(" [%1]").arg(QString::fromStdString(driver->lastError()));
    return outcome;
}

QString transferError(bool write, int address, const char* meaning, int code) {
    return QStringLiteral("EEPROM %1 failed at address %2: %3 (code %4)")
        .arg(write ? QStringLiteral("write") : QStringLiteral("read"))
        .arg(address)
        .arg(QString::fromUtf8(meaning))
        .arg(code);
}

Outcome readRecordBytes(const QString& target, const ByteReader& read, CodeMeaning meaning,
                        CodeShown shown, NetworkRecord& record, const Progress& progress) {
    RecordBytes bytes{};
    for (int i = 0; i < kRecordSize; ++i) {
        const auto address = static_cast<std::uint16_t>(kRecordFirstAddress + i);
        const int r = read(address, bytes[static_cast<std::size_t>(i)]);
        if (r != 0)
            return Outcome::fail(Exit::Device,
                                 QStringLiteral("%1: %2").arg(
                                     target, transferError(false, address, meaning(r), shown(r))),
                                 shown(r));
        if (progress)
            progress(i + 1, kRecordSize);
    }
    record = NetworkRecord::fromBytes(bytes);
    return {};
}

Outcome writeRecordBytes(const QString& target, const ByteWriter& write, CodeMeaning meaning,
                         CodeShown shown, const NetworkRecord& record, const Progress& progress) {
    const RecordBytes bytes = record.toBytes();
    for (int i = 0; i < kRecordSize; ++i) {
        const auto address = static_cast<std::uint16_t>(kRecordFirstAddress + i);
        bool reached = false;
        const int r = write(address, bytes[static_cast<std::size_t>(i)], reached);
        if (r != 0) {
            QString text = QStringLiteral("%1: %2").arg(
                target, transferError(true, address, meaning(r), shown(r)));
            if (i > 0)
                text += QStringLiteral("; addresses %1 to %2 already hold the new values")
                            .arg(kRecordFirstAddress)
                            .arg(address - 1);
            // Never claim less than may have been written.
            if (reached)
                text += QStringLiteral("%1 address %2 may hold its new value")
                            .arg(i > 0 ? QStringLiteral(",") : QStringLiteral(";"))
                            .arg(address);
            Outcome o = Outcome::fail(Exit::Device, text, shown(r));
            o.bytesWritten = i;
            o.bytesMaybeWritten = reached ? 1 : 0;
            return o;
        }
        if (progress)
            progress(i + 1, kRecordSize);
    }
    Outcome done;
    done.bytesWritten = kRecordSize;
    return done;
}

Outcome readRecord(CModuleSocket& link, const QString& target, NetworkRecord& record,
                   const Progress& progress) {
    return readRecordBytes(
        target,
        [&link](std::uint16_t address, std::uint8_t& byte) {
            return link.ReadEeprom(address, &byte, 1);
        },
        &CModuleSocket::Describe, &asIs, record, progress);
}

Outcome writeRecord(CModuleSocket& link, const QString& target, const NetworkRecord& record,
                    const Progress& progress) {
    return writeRecordBytes(
        target,
        [&link](std::uint16_t address, std::uint8_t byte, bool& reached) {
            const int r = link.WriteEeprom(address, &byte, 1);
            // The controller's own failure report settles the byte; any other failure after
            // the command went out leaves it open.
            reached = r != 0 && link.CommandReached() && r != CModuleSocket::kEepromFailed &&
                      r != CModuleSocket::kEepromWriteFailedV1;
            return r;
        },
        &CModuleSocket::Describe, &asIs, record, progress);
}

Outcome readRecord(CUsbHub& hub, int slotIndex, const QString& target, NetworkRecord& record,
                   const Progress& progress) {
    return withDriverError(hub, readRecordBytes(
                                    target,
                                    [&hub, slotIndex](std::uint16_t address, std::uint8_t& byte) {
                                        return hub.ReadSlotEeprom(slotIndex, address, byte);
                                    },
                                    &CUsbHub::Describe, &CUsbHub::ShownCode, record, progress));
}

Outcome writeRecord(CUsbHub& hub, int slotIndex, const QString& target, const NetworkRecord& record,
                    const Progress& progress) {
    return withDriverError(
        hub, writeRecordBytes(
                 target,
                 [&hub, slotIndex](std::uint16_t address, std::uint8_t byte, bool& reached) {
                     const int r = hub.WriteSlotEeprom(slotIndex, address, byte);
                     // The hub's report of a failed access settles the byte; a failure after
                     // the command went out (status never finished, a stalled or failing
                     // transfer) leaves it open.
                     reached = r != 0 && r != CUsbHub::kSlotAccessFailed && hub.CommandReached();
                     return r;
                 },
                 &CUsbHub::Describe, &CUsbHub::ShownCode, record, progress));
}

} // namespace vqx::provision
