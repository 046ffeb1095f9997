#pragma once
// The record as the links move it: twelve one-byte EEPROM transfers from address 6 upwards,
// stopping at the first failure, which is reported with the link's code, its meaning, the
// failing address and what the module already holds. The dialog and the targets of the
// session core move records through these functions alone.

#include <cstdint>
#include <functional>

#include <QString>

#include "ModuleTarget.h"

class CModuleSocket;
class CUsbHub;

namespace vqx::provision {

/// "EEPROM write failed at address 10: the controller reported failure (code 100)".
QString transferError(bool write, int address, const char* meaning, int code);

/// One EEPROM byte over a link: the link's result code, 0 for success.
using ByteReader = std::function<int(std::uint16_t address, std::uint8_t& byte)>;
/// `reached` is set when the transfer failed after its EEPROM command had gone out to the
/// module, before the module reported how it ended: the byte may have been stored.
using ByteWriter = std::function<int(std::uint16_t address, std::uint8_t byte, bool& reached)>;
/// The meaning of a link's result code.
using CodeMeaning = const char* (*)(int code);
/// The number a link's result code is shown as (the code itself on most links).
using CodeShown = int (*)(int code);

/// The record as twelve one-byte transfers from address 6 upwards, stopping at the first
/// failure, which is reported for `target` with the link's code and its meaning.
/// The outcome's deviceCode is the code as shown.
Outcome readRecordBytes(const QString& target, const ByteReader& read, CodeMeaning meaning,
                        CodeShown shown, NetworkRecord& record, const Progress& progress);
Outcome writeRecordBytes(const QString& target, const ByteWriter& write, CodeMeaning meaning,
                         CodeShown shown, const NetworkRecord& record, const Progress& progress);

/// What the hub's driver knows of a failed transfer (a device unplugged, say), added to the
/// outcome's text.
Outcome withDriverError(const CUsbHub& hub, Outcome outcome);

/// The record over an Ethernet link whose EEPROM variant is chosen. A byte whose command
/// reached the module before the link failed (CModuleSocket::CommandReached), and whose
/// failure the controller did not report itself, counts as maybe written.
Outcome readRecord(CModuleSocket& link, const QString& target, NetworkRecord& record,
                   const Progress& progress = {});
Outcome writeRecord(CModuleSocket& link, const QString& target, const NetworkRecord& record,
                    const Progress& progress = {});
/// The record of the module in hub slot `slotIndex` (0..5) of an open hub; codes as shown
/// (CUsbHub::ShownCode). A byte whose command reached the hub (CUsbHub::CommandReached),
/// unless the hub reported the access failed, counts as maybe written.
Outcome readRecord(CUsbHub& hub, int slotIndex, const QString& target, NetworkRecord& record,
                   const Progress& progress = {});
Outcome writeRecord(CUsbHub& hub, int slotIndex, const QString& target, const NetworkRecord& record,
                    const Progress& progress = {});

} // namespace vqx::provision
