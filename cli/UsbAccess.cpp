#include "UsbAccess.h"

#include <cstring>

#include "CUsbHub.h"
#include "ModuleTypes.h"
#include "UsbFraming.h"

namespace vqx::cli {

using namespace vqx::usb;
namespace fr = vqx::usb::framing;

namespace {

QString hex(const void* data, std::uint32_t size) {
    return QString::fromLatin1(
        QByteArray(static_cast<const char*>(data), static_cast<int>(size)).toHex(' ').toUpper());
}

QString describe(int code) {
    return QStringLiteral("%1 (code %2)").arg(QString::fromUtf8(CUsbHub::Describe(code))).arg(code);
}

} // namespace

TracingDriver::TracingDriver(std::unique_ptr<D2xxDriver> inner,
                             std::function<void(const QString&)> trace)
    : m_inner(std::move(inner)), m_trace(std::move(trace)) {}

FT_STATUS TracingDriver::CreateDeviceInfoList(std::uint32_t* numDevs) {
    return m_inner->CreateDeviceInfoList(numDevs);
}
FT_STATUS TracingDriver::GetDeviceInfoList(DeviceListNode* list, std::uint32_t* numDevs) {
    const FT_STATUS s = m_inner->GetDeviceInfoList(list, numDevs);
    m_listedSerials.clear();
    if (s == FT_OK && list && numDevs)
        for (std::uint32_t i = 0; i < *numDevs; ++i)
            m_listedSerials.emplace_back(
                list[i].SerialNumber, strnlen(list[i].SerialNumber, sizeof list[i].SerialNumber));
    return s;
}
FT_STATUS TracingDriver::Open(int deviceIndex, FT_HANDLE* handle) {
    const FT_STATUS s = m_inner->Open(deviceIndex, handle);
    if (s == FT_OK && m_openedSerial.empty() && deviceIndex >= 0 &&
        static_cast<std::size_t>(deviceIndex) < m_listedSerials.size())
        m_openedSerial = m_listedSerials[static_cast<std::size_t>(deviceIndex)];
    return s;
}
FT_STATUS TracingDriver::Close(FT_HANDLE handle) {
    return m_inner->Close(handle);
}
FT_STATUS TracingDriver::SetTimeouts(FT_HANDLE handle, std::uint32_t readMs,
                                     std::uint32_t writeMs) {
    return m_inner->SetTimeouts(handle, readMs, writeMs);
}
FT_STATUS TracingDriver::Purge(FT_HANDLE handle, std::uint32_t mask) {
    return m_inner->Purge(handle, mask);
}
FT_STATUS TracingDriver::SetBaudRate(FT_HANDLE handle, std::uint32_t baud) {
    return m_inner->SetBaudRate(handle, baud);
}
FT_STATUS TracingDriver::SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    return m_inner->SetBitMode(handle, mask, mode);
}
FT_STATUS TracingDriver::Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                               std::uint32_t* bytesWritten) {
    const FT_STATUS s = m_inner->Write(handle, buffer, bytesToWrite, bytesWritten);
    if (m_sent && s == FT_OK && *bytesWritten > 0)
        m_sent(static_cast<const std::uint8_t*>(buffer), bytesToWrite);
    if (m_trace && s == FT_OK && *bytesWritten > 0)
        m_trace(QStringLiteral("> %1").arg(hex(buffer, *bytesWritten)));
    else if (m_trace && s != FT_OK)
        m_trace(QStringLiteral("> write failed, status %1").arg(s));
    return s;
}
FT_STATUS TracingDriver::Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                              std::uint32_t* bytesReturned) {
    const FT_STATUS s = m_inner->Read(handle, buffer, bytesToRead, bytesReturned);
    if (m_trace && s == FT_OK && *bytesReturned > 0)
        m_trace(QStringLiteral("< %1").arg(hex(buffer, *bytesReturned)));
    else if (m_trace && s != FT_OK)
        m_trace(QStringLiteral("< read failed, status %1").arg(s));
    return s;
}

HubSession::HubSession(std::unique_ptr<D2xxDriver> driver, int hubNumber)
    : m_driverName(driver ? QString::fromStdString(driver->name()) : QString()),
      m_standingNote(driver ? QString::fromStdString(driver->lastError()) : QString()),
      m_number(hubNumber) {
    if (driver) {
        auto watched = std::make_unique<TracingDriver>(std::move(driver), nullptr);
        watched->setSentObserver([this](const std::uint8_t* data, std::uint32_t size) {
            // A slot command is one write request: the header of hub register 2 and one word.
            if (m_watchedSlot < 0 || size < 6 || data[0] != fr::writeHeader(fr::kHubRegCommand))
                return;
            const std::uint32_t word = fr::decodeWord(data + 1);
            for (const std::uint8_t reg : {fr::kModRegCommandV1, fr::kModRegCommandV2})
                if (word == fr::slotCommand(m_watchedSlot, reg, false))
                    m_commandSent = true;
        });
        m_watch = watched.get();
        driver = std::move(watched);
    }
    m_hub = std::make_unique<CUsbHub>(std::move(driver));
}

QString HubSession::lockName() const {
    if (m_open && m_watch && !m_watch->openedSerial().empty()) {
        // A dual-channel device lists its channels as the serial number with "A" and "B".
        QString serial = QString::fromStdString(m_watch->openedSerial());
        if (serial.size() > 1 && (serial.endsWith(u'A') || serial.endsWith(u'B')))
            serial.chop(1);
        return QStringLiteral("hub-%1").arg(serial);
    }
    return QStringLiteral("hub-%1").arg(m_number);
}

void HubSession::watchForCommand(int slot) {
    m_watchedSlot = slot;
    m_commandSent = false;
}

HubSession::~HubSession() = default;

Outcome HubSession::open() {
    if (m_open)
        return {};
    std::uint8_t count = 0;
    const int r = m_hub->CountHubs(count);
    if (r != 0) {
        QString text =
            QStringLiteral("no device: listing the USB devices failed: %1").arg(describe(r));
        if (m_hub->Driver() && !m_hub->Driver()->lastError().empty())
            text +=
                QStringLiteral(" [%1]").arg(QString::fromStdString(m_hub->Driver()->lastError()));
        return Outcome::fail(Exit::Unreachable, text, r);
    }
    // A note the driver had from the start (a library that may not list the hub) explains a
    // hub that is not listed, and nothing else.
    const QString note =
        m_standingNote.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(m_standingNote);
    if (count == 0)
        return Outcome::fail(Exit::Unreachable,
                             QStringLiteral("no device: no hub is attached") + note);
    if (m_number >= count)
        return Outcome::fail(Exit::Unreachable,
                             QStringLiteral("no hub %1: %2 hub(s) attached, numbered from 0")
                                     .arg(m_number)
                                     .arg(count) +
                                 note);
    const int o = m_hub->Open(static_cast<std::uint8_t>(m_number));
    if (o != 0) {
        QString text = QStringLiteral("%1 failure: opening it failed: %2").arg(name(), describe(o));
        if (D2xxDriver* d = m_hub->Driver()) {
            const QString error = QString::fromStdString(d->lastError());
            if (!error.isEmpty() && error != m_standingNote)
                text += QStringLiteral(" [%1]").arg(error);
            if (d->permissionDenied())
                text += QStringLiteral("\n%1").arg(QString::fromUtf8(kUdevHint));
        }
        return Outcome::fail(Exit::Unreachable, text, o);
    }
    m_open = true;
    return {};
}

Outcome HubSession::readSlotTypes(std::array<int, 6>& codes) {
    std::uint8_t bytes[4] = {};
    const int r = m_hub->ReadRegs(2, bytes, 2);
    if (r != 0)
        return Outcome::fail(Exit::Device,
                             QStringLiteral("%1 failure: reading the slot types failed: %2")
                                 .arg(name(), describe(r)),
                             r);
    codes = slotTypes(slotTypeWord(bytes));
    return {};
}

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
    key = QStringLiteral("%1-slot-%2").arg(m_session.lockName()).arg(m_slot);
    return {};
}

Outcome SlotTarget::readRecord(NetworkRecord& record, const Progress& progress) {
    return readRecordBytes(
        name(),
        [this](std::uint16_t address, std::uint8_t& byte) {
            return m_session.hub().ReadSlotEeprom(m_slot - 1, address, byte);
        },
        &CUsbHub::Describe, record, progress);
}

Outcome SlotTarget::writeRecord(const NetworkRecord& record, const Progress& progress) {
    return writeRecordBytes(
        name(),
        [this](std::uint16_t address, std::uint8_t byte, bool& reached) {
            m_session.watchForCommand(m_slot - 1);
            const int r = m_session.hub().WriteSlotEeprom(m_slot - 1, address, byte);
            // The hub's report of a failed access settles the byte; a failure after the
            // command went out (status never finished, a stalled or failing transfer) leaves
            // it open.
            reached = r != 0 && r != CUsbHub::kSlotAccessFailed && m_session.commandSent();
            return r;
        },
        &CUsbHub::Describe, record, progress);
}

} // namespace vqx::cli
