#include "UsbAccess.h"

#include "CUsbHub.h"
#include "ModuleTypes.h"

namespace vqx::provision {

using namespace vqx::usb;

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
    return m_inner->GetDeviceInfoList(list, numDevs);
}
FT_STATUS TracingDriver::Open(int deviceIndex, FT_HANDLE* handle) {
    return m_inner->Open(deviceIndex, handle);
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
      m_number(hubNumber) {
    m_hub = std::make_unique<CUsbHub>(std::move(driver));
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
    if (count == 0)
        return Outcome::fail(Exit::Unreachable, QStringLiteral("no device: no hub is attached"));
    if (m_number >= count)
        return Outcome::fail(Exit::Unreachable,
                             QStringLiteral("no hub %1: %2 hub(s) attached, numbered from 0")
                                 .arg(m_number)
                                 .arg(count));
    const int o = m_hub->Open(static_cast<std::uint8_t>(m_number));
    if (o != 0) {
        QString text = QStringLiteral("%1 failure: opening it failed: %2").arg(name(), describe(o));
        if (D2xxDriver* d = m_hub->Driver()) {
            if (!d->lastError().empty())
                text += QStringLiteral(" [%1]").arg(QString::fromStdString(d->lastError()));
            if (d->permissionDenied())
                text += QStringLiteral("\n%1").arg(QString::fromUtf8(kUdevHint));
        }
        return Outcome::fail(Exit::Unreachable, text, o);
    }
    m_open = true;
    return {};
}

void HubSession::select(int number) {
    m_hub->Close();
    m_open = false;
    m_number = number;
}

Outcome HubSession::count(int& hubs) {
    std::uint8_t n = 0;
    if (const int r = m_hub->CountHubs(n); r != 0)
        return Outcome::fail(
            Exit::Unreachable,
            QStringLiteral("no device: listing the USB devices failed: %1").arg(describe(r)), r);
    hubs = n;
    return {};
}

QString HubSession::serial() {
    std::string s;
    if (m_hub->HubSerial(static_cast<std::uint8_t>(m_number), s) != 0)
        return {};
    return QString::fromStdString(s);
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
        [this](std::uint16_t address, std::uint8_t byte) {
            return m_session.hub().WriteSlotEeprom(m_slot - 1, address, byte);
        },
        &CUsbHub::Describe, record, progress);
}

} // namespace vqx::provision
